// Scenarios on real mounts: only the kernel can tell what a full tmpfs, a
// loop-mounted ext4 image or a read-only mount really answer. They need
// root and skip otherwise; each builds and removes its own mounts.

#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "test_util.h"

namespace brimful {
namespace {

using testing::json_value;
using testing::RunResult;
using testing::ScopedMount;

#define REQUIRE_ROOT()                                                              \
  do {                                                                              \
    if (!testing::running_as_root()) GTEST_SKIP() << "needs root to mount filesystems"; \
  } while (0)

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream stream(text);
  std::string part;
  while (std::getline(stream, part, separator)) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// The options array of a JSON report as plain strings.
std::vector<std::string> json_options(const std::string& json) {
  std::vector<std::string> options;
  std::size_t at = json.find("\"options\": [");
  if (at == std::string::npos || json.compare(at, 14, "\"options\": []") == 0) return options;
  const std::size_t end = json.find(']', at);
  for (const std::string& line : split(json.substr(at, end - at), '\n')) {
    const std::size_t open = line.find('"');
    if (open == std::string::npos || line.find("\"options\"") != std::string::npos) continue;
    options.push_back(line.substr(open + 1, line.rfind('"') - open - 1));
  }
  return options;
}

TEST(ScenarioMount, TmpfsAtAPathWithSpaceAndBackslash) {
  REQUIRE_ROOT();
  testing::TempDir dir;
  const std::string point = dir / "with space\\and backslash";
  testing::make_dir(point);
  ScopedMount mount("tmpfs", "none", "size=1m,nr_inodes=64", point);
  ASSERT_TRUE(mount.ok()) << mount.error();

  const RunResult r = testing::run_brimful({point, "--json", "--no-probe"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string& json = r.out;
  EXPECT_EQ(json_value(json, "mount_point"), quoted(dir.path() + "/with space\\\\and backslash"));
  EXPECT_EQ(json_value(json, "fs_type"), "\"tmpfs\"");
  EXPECT_EQ(json_value(json, "source"), "null");

  // The same options findmnt reports, sorted and without duplicates.
  const RunResult findmnt = testing::run_program({"findmnt", "-n", "-o", "OPTIONS", "--mountpoint", point});
  ASSERT_EQ(findmnt.status, 0) << findmnt.err;
  std::vector<std::string> expected = split(findmnt.out.substr(0, findmnt.out.find('\n')), ',');
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  EXPECT_EQ(json_options(json), expected);

  struct statvfs fs {};
  ASSERT_EQ(statvfs(point.c_str(), &fs), 0);
  EXPECT_EQ(json_value(json, "total_bytes"), std::to_string(fs.f_blocks * fs.f_frsize));
  EXPECT_EQ(json_value(json, "available_bytes"), std::to_string(fs.f_bavail * fs.f_frsize));
  EXPECT_EQ(json_value(json, "total_inodes"), "64");
  EXPECT_EQ(json_value(json, "free_inodes"), std::to_string(fs.f_ffree));
  EXPECT_EQ(json_value(json, "inode_accounting_supported"), "false");
  EXPECT_EQ(json_value(json, "read_only"), "false");
}

TEST(ScenarioMount, ReadOnlyRemountSetsTheReadOnlyFlag) {
  REQUIRE_ROOT();
  testing::TempDir dir;
  const std::string point = dir / "ro";
  testing::make_dir(point);
  ScopedMount mount("tmpfs", "none", "size=1m", point);
  ASSERT_TRUE(mount.ok()) << mount.error();
  ASSERT_TRUE(mount.remount("ro"));

  const RunResult r = testing::run_brimful({point, "--json", "--no-probe"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_value(r.out, "read_only"), "true");
  const std::vector<std::string> options = json_options(r.out);
  EXPECT_NE(std::find(options.begin(), options.end(), "ro"), options.end());
}

TEST(ScenarioMount, AMountTableBrimfulCannotReadEndsTheRun) {
  REQUIRE_ROOT();
  testing::TempDir dir;
  // The kernel writes a mount point's bytes as they are; one that is not
  // UTF-8 makes the table unreadable for every path, not only for that one.
  const std::string point = dir / "\xff";
  testing::make_dir(point);
  const RunResult r = testing::run_program(
      {"unshare", "-m", "--propagation", "private", "sh", "-c",
       "mount -t tmpfs none \"$1\" && exec \"$0\" / --no-probe", BRIMFUL_BINARY, point});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "brimful: cannot read /proc/self/mountinfo: stream did not contain valid UTF-8\n");
  EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace brimful
