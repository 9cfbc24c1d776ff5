// The process scan on loads of real processes, each run in a private PID
// namespace with its own /proc where the scan sees only the processes the
// helper starts and can read them all: the literal scan as the oracle, up to
// 19,000 descriptors in one process, and processes that come and go.

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "test_util.h"

namespace brimful {
namespace {

bool can_isolate(std::string& why) {
  if (!testing::running_as_root()) {
    why = "a private PID namespace needs root";
    return false;
  }
  if (testing::run_program({"unshare", "-pf", "--mount-proc", "true"}).status != 0) {
    why = "unshare -pf --mount-proc is not permitted here";
    return false;
  }
  return true;
}

TEST(ProcScanIsolated, RecordIsTheLiteralScansByteForByte) {
  std::string why;
  if (!can_isolate(why)) GTEST_SKIP() << why;
  // Processes of descriptors, each sharing one deleted file, with deleted
  // files of their own, an inotify instance with watches and an eventfd.
  // The /proc scan and, where it can run, the in-kernel walk are compared.
  // The last load is one process too large for one thread's share, whose
  // descriptors the threads take in ranges.
  const struct {
    const char* processes;
    const char* descriptors;
    const char* deleted;
  } sizes[] = {{"4", "40", "2"}, {"40", "300", "20"}, {"120", "250", "3"}, {"1", "19000", "2500"}};
  bool kernel_compared = true;
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::string(size.processes) + " x " + size.descriptors);
    testing::TempDir dir;
    const testing::RunResult r =
        testing::run_program({"unshare", "-pf", "--mount-proc", BRIMFUL_SCAN_CHECK, "same", dir.path(),
                              size.processes, size.descriptors, size.deleted});
    EXPECT_EQ(0, r.status) << r.err;
    if (r.out.find("in-kernel walk unavailable") != std::string::npos) kernel_compared = false;
  }
  if (!kernel_compared) {
    GTEST_SKIP() << "the /proc scan matched; the in-kernel walk cannot run here and was not compared";
  }
}

// Processes fork, exit and open and close descriptors all the while; no run
// may count one that exited as inaccessible. BRIMFUL_CHURN_RUNS sets how
// many runs (20 by default).
TEST(ProcScanIsolated, EveryRunIsCompleteWhileProcessesComeAndGo) {
  std::string why;
  if (!can_isolate(why)) GTEST_SKIP() << why;
  const char* runs = std::getenv("BRIMFUL_CHURN_RUNS");
  testing::TempDir dir;
  const testing::RunResult r =
      testing::run_program({"unshare", "-pf", "--mount-proc", BRIMFUL_SCAN_CHECK, "churn",
                            dir.path(), runs != nullptr ? runs : "20"});
  EXPECT_EQ(0, r.status) << r.err;
}

}  // namespace
}  // namespace brimful
