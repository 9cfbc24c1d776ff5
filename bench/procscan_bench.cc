// The cost of one process scan on a host with many descriptors: over a
// built process table, and over the real /proc with this process holding
// thousands of descriptors.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "procscan.h"

namespace brimful {
namespace {

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + " failed");
}

void write_text(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "create " + path);
  check(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write " + path);
  close(fd);
}

// processes × descriptors links laid out like /proc. In each process fd 0 holds
// one shared deleted file, fd 1 is an inotify instance with 5 watches, and
// the rest lead to an ordinary file; every descriptor has its fdinfo entry.
class FakeProcTable {
 public:
  FakeProcTable(int processes, int descriptors) {
    // On tmpfs the 200000 entries take a second to build; on a disk file
    // system they can take a minute.
    struct stat shm {};
    std::string name = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm" : "/tmp";
    name += "/brimful-bench-XXXXXX";
    check(mkdtemp(name.data()) != nullptr, "mkdtemp");
    dir_ = name;
    const std::string held = dir_ + "/held";
    write_text(held, "x");
    deleted_fd_ = open(held.c_str(), O_RDONLY | O_CLOEXEC);
    check(deleted_fd_ >= 0 && unlink(held.c_str()) == 0, "deleted file");
    const std::string file = dir_ + "/file";
    write_text(file, "x");
    struct stat status {};
    check(fstat(deleted_fd_, &status) == 0, "fstat");
    device_ = status.st_dev;

    const std::string deleted_link = "/proc/self/fd/" + std::to_string(deleted_fd_);
    std::string watches;
    for (int i = 1; i <= 5; ++i) watches += "inotify wd:" + std::to_string(i) + " ino:2 mask:fce\n";
    check(mkdir(root().c_str(), 0755) == 0, "mkdir");
    for (int pid = 1; pid <= processes; ++pid) {
      const std::string process = root() + "/" + std::to_string(pid);
      check(mkdir(process.c_str(), 0755) == 0, "mkdir");
      write_text(process + "/comm", "worker\n");
      check(mkdir((process + "/fd").c_str(), 0755) == 0, "mkdir");
      check(mkdir((process + "/fdinfo").c_str(), 0755) == 0, "mkdir");
      for (int fd = 0; fd < descriptors; ++fd) {
        const std::string n = std::to_string(fd);
        const std::string& target = fd == 0 ? deleted_link : fd == 1 ? kInotify : file;
        check(symlink(target.c_str(), (process + "/fd/" + n).c_str()) == 0, "symlink");
        write_text(process + "/fdinfo/" + n, fd == 1 ? watches : "pos:\t0\nflags:\t02\n");
      }
    }
  }
  ~FakeProcTable() {
    close(deleted_fd_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string root() const { return dir_ + "/proc"; }
  std::uint64_t device() const { return device_; }

 private:
  inline static const std::string kInotify = "anon_inode:inotify";
  std::string dir_;
  int deleted_fd_ = -1;
  std::uint64_t device_ = 0;
};

void BM_ScanFakeTable(benchmark::State& state) {
  const auto processes = static_cast<int>(state.range(0));
  const auto descriptors = static_cast<int>(state.range(1));
  const FakeProcTable table(processes, descriptors);
  for (auto _ : state) {
    ProcScan scan = scan_processes(table.device(), table.root());
    if (scan.processes_scanned != static_cast<std::uint64_t>(processes) || !scan.complete) {
      state.SkipWithError("unexpected scan result");
      break;
    }
    benchmark::DoNotOptimize(scan);
  }
  state.SetItemsProcessed(state.iterations() * processes * descriptors);
}
BENCHMARK(BM_ScanFakeTable)->Args({1000, 100})->Unit(benchmark::kMillisecond);

// The real /proc, with this process holding `descriptors` extra descriptors,
// one in a hundred on a deleted file and the rest on an ordinary one.
void BM_ScanRealProc(benchmark::State& state) {
  const auto descriptors = static_cast<rlim_t>(state.range(0));
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < descriptors + 64) {
    state.SkipWithError("descriptor limit too low");
    return;
  }
  char name[] = "/tmp/brimful-bench-XXXXXX";
  const int deleted = mkstemp(name);
  check(deleted >= 0 && unlink(name) == 0, "deleted file");
  const int ordinary = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  check(ordinary >= 0, "open");
  struct stat status {};
  check(fstat(deleted, &status) == 0, "fstat");
  std::vector<int> held;
  for (rlim_t i = 0; i < descriptors; ++i) held.push_back(dup(i % 100 == 0 ? deleted : ordinary));

  for (auto _ : state) {
    ProcScan scan = scan_processes(status.st_dev);
    benchmark::DoNotOptimize(scan);
  }
  for (int fd : held) close(fd);
  close(ordinary);
  close(deleted);
}
BENCHMARK(BM_ScanRealProc)->Arg(0)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brimful

BENCHMARK_MAIN();
