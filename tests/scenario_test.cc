// Scenarios on real mounts: only the kernel can tell what a full tmpfs, a
// loop-mounted ext4 image or a read-only mount really answer. Each first
// checks that the machine gives it what it needs (root, mounts, namespaces,
// loop devices, tools) and skips with the reason otherwise; each builds and
// removes its own mounts.

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>

#include "findings.h"
#include "json_check.h"
#include "process_facts.h"
#include "render.h"
#include "test_util.h"
#include "units.h"

namespace brimful {
namespace {

using testing::json_value;
using testing::RunResult;
using testing::ScopedMount;

// Mounting a tmpfs, and for probe runs a private PID namespace with its own
// /proc (see probe_run).
#define REQUIRE_MOUNTS() SKIP_UNLESS(testing::can_mount(&skip_reason))
#define REQUIRE_ISOLATED_MOUNTS()                                   \
  do {                                                              \
    REQUIRE_MOUNTS();                                               \
    SKIP_UNLESS(testing::can_unshare("-pf --mount-proc", &skip_reason)); \
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
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::have_program("findmnt", &skip_reason));
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
  REQUIRE_MOUNTS();
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

TEST(ScenarioMount, MountPointsThatAreNotTextFailNoRun) {
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::can_unshare("-m --propagation private", &skip_reason));
  testing::TempDir dir;
  const std::string root = testing::canonical(dir.path());
  // The kernel writes a mount point's bytes as they are, escaping only
  // space, tab, newline and backslash: these three reach the table raw.
  const std::string not_utf8 = root + "/\xff";
  const std::string with_cr = root + "/mcr\rx";
  const std::string dash = root + "/m\r-\rx";
  for (const std::string& point : {not_utf8, with_cr, dash}) testing::make_dir(point);
  // In a mount namespace of its own, so no other program on the host ever
  // sees these mounts.
  const std::string script =
      "mount -t tmpfs none \"$2\" && mount -t tmpfs none \"$3\" && mount -t tmpfs none \"$4\" || exit 90\n"
      "\"$0\" / --no-probe --json > \"$1/root.json\"; echo $? > \"$1/status\"\n"
      "\"$0\" \"$3\" --no-probe --json > \"$1/cr.json\"; echo $? >> \"$1/status\"\n"
      "\"$0\" \"$3\" --no-probe > \"$1/cr.txt\"; echo $? >> \"$1/status\"\n"
      "\"$0\" \"$2\" --no-probe > \"$1/ff.txt\"; echo $? >> \"$1/status\"\n"
      "\"$0\" \"$2\" --no-probe --json > \"$1/ff.json\" 2> \"$1/ff.err\"; echo $? >> \"$1/status\"\n";
  const RunResult r = testing::run_program(
      {"unshare", "-m", "--propagation", "private", "sh", "-c", script, BRIMFUL_BINARY, root, not_utf8, with_cr, dash});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::read_file(root + "/status"), "0\n0\n0\n0\n2\n");

  const std::string whole = testing::read_file(root + "/root.json");
  EXPECT_TRUE(testing::JsonSyntax::valid(whole)) << whole;

  // The carriage return is part of the mount point, and the options are
  // the mount's own.
  const std::string cr = testing::read_file(root + "/cr.json");
  EXPECT_EQ(json_value(cr, "mount_point"), quoted(root + "/mcr\\rx"));
  const std::vector<std::string> options = json_options(cr);
  EXPECT_NE(std::find(options.begin(), options.end(), "relatime"), options.end()) << cr;
  EXPECT_EQ(std::find(options.begin(), options.end(), "x"), options.end()) << cr;
  const std::string cr_text = testing::read_file(root + "/cr.txt");
  EXPECT_NE(cr_text.find("\nMount: " + root + "/mcr\\rx\nType: tmpfs\n"), std::string::npos) << cr_text;

  // Only a path under the mount that is not UTF-8 sees it: shown lossily,
  // and refused as JSON like any path that is not UTF-8.
  const std::string ff_text = testing::read_file(root + "/ff.txt");
  EXPECT_EQ(ff_text.substr(0, ff_text.find("\nType:")),
            "Target: " + root + "/\uFFFD\nFilesystem: unknown\nMount: " + root + "/\uFFFD");
  EXPECT_EQ(testing::read_file(root + "/ff.json"), "");
  EXPECT_EQ(testing::read_file(root + "/ff.err"),
            "brimful: cannot serialize report: path contains invalid UTF-8 characters\n");
}

// ---------------------------------------------------------------------------
// Full filesystems: the create probe's errno against the capacity facts.

// The diagnosis member of a JSON report, from its key to the end.
std::string diagnosis_of(const std::string& json) {
  const std::size_t at = json.find("  \"diagnosis\": {");
  return at == std::string::npos ? "<no diagnosis in " + json + ">" : json.substr(at);
}

std::string diagnosis_json(const std::string& status, const std::vector<std::string>& causes,
                           const std::vector<std::string>& notes) {
  const auto array = [](const std::vector<std::string>& items) {
    if (items.empty()) return std::string("[]");
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ",\n      \"" : "\n      \"") + items[i] + "\"";
    return text + "\n    ]";
  };
  return "  \"diagnosis\": {\n    \"status\": \"" + status + "\",\n    \"causes\": " + array(causes) +
         ",\n    \"contributing\": [],\n    \"notes\": " + array(notes) + "\n  }\n}\n";
}

// Writes until the filesystem refuses, then once more in small pieces, so
// that not even a partial block is left.
void fill_blocks(const std::string& directory) {
  testing::shell("dd if=/dev/zero of='" + directory + "/fill' bs=64k 2>/dev/null; sync; "
                 "dd if=/dev/zero of='" + directory + "/fill-small' bs=512 2>/dev/null; sync");
}

// Creates empty files until no inode is left.
void fill_inodes(const std::string& directory) {
  testing::shell("i=0; while touch '" + directory + "'/i$i 2>/dev/null; do i=$((i+1)); done");
}

#define REQUIRE_EXT4_IMAGE()                                          \
  do {                                                                \
    REQUIRE_ISOLATED_MOUNTS();                                        \
    SKIP_UNLESS(testing::have_program("mkfs.ext4", &skip_reason));    \
    SKIP_UNLESS(testing::can_use_loop_devices(&skip_reason));         \
  } while (0)

// A small ext4 image, loop-mounted for one test. mount -o loop gives the
// loop device back when the filesystem is unmounted.
class Ext4Image {
 public:
  Ext4Image(const testing::TempDir& dir, const std::string& mkfs_options, const std::string& mount_options = "loop")
      : image_(dir / "ext4.img"), point_(dir / "ext4") {
    testing::make_dir(point_);
    made_ = testing::shell("truncate -s 16M '" + image_ + "' && mkfs.ext4 -q -F -m 0 -b 4096 " + mkfs_options +
                           " '" + image_ + "'") == 0;
    if (made_) mount_ = std::make_unique<ScopedMount>("ext4", image_, mount_options, point_);
  }
  ~Ext4Image() {
    mount_.reset();
    // Should the automatic release have failed, detach by hand.
    testing::shell("losetup -j '" + image_ + "' -O NAME -n | xargs -r -n1 losetup -d");
  }
  bool ok() const { return made_ && mount_ && mount_->ok(); }
  const std::string& point() const { return point_; }

 private:
  std::string image_;
  std::string point_;
  bool made_ = false;
  std::unique_ptr<ScopedMount> mount_;
};

// Runs brimful with a complete process scan and checks that the probe left
// the directory exactly as it found it.
RunResult probe_run(const std::string& directory, const std::vector<std::string>& options) {
  const std::vector<std::string> before = testing::list_dir(directory);
  std::vector<std::string> args{directory};
  args.insert(args.end(), options.begin(), options.end());
  RunResult r = testing::run_brimful_isolated(args);
  EXPECT_EQ(testing::list_dir(directory), before) << "the probe left something behind in " << directory;
  return r;
}

TEST(ScenarioProbe, FullTmpfsIsBlockExhaustion) {
  REQUIRE_ISOLATED_MOUNTS();
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=1m", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  fill_blocks(dir.path());

  const RunResult r = probe_run(dir.path(), {"--json", "--check"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(json_value(r.out, "phase"), "\"write\"");
  EXPECT_EQ(json_value(r.out, "code"), "28");
  EXPECT_EQ(json_value(r.out, "available_bytes"), "0");
  EXPECT_EQ(diagnosis_of(r.out), diagnosis_json("confirmed", {"block_exhaustion"}, {}));
}

TEST(ScenarioProbe, TmpfsWithoutInodesIsOnlyNoted) {
  REQUIRE_ISOLATED_MOUNTS();
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=1m,nr_inodes=8", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  fill_inodes(dir.path());

  const RunResult r = probe_run(dir.path(), {"--json", "--check"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(json_value(r.out, "phase"), "\"create\"");
  EXPECT_EQ(json_value(r.out, "free_inodes"), "0");
  EXPECT_EQ(diagnosis_of(r.out),
            diagnosis_json("unknown", {},
                           {"tmpfs reports zero free inodes, but fixed inode accounting is not supported for "
                            "confirmation",
                            "the observed ENOSPC is not explained by the checks supported by brimful"}));
}

TEST(ScenarioProbe, Ext4WithoutInodesIsInodeExhaustion) {
  REQUIRE_EXT4_IMAGE();
  testing::TempDir dir;
  {
    Ext4Image image(dir, "-N 16");
    ASSERT_TRUE(image.ok());
    fill_inodes(image.point());

    const RunResult r = probe_run(image.point(), {"--json", "--check"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(json_value(r.out, "phase"), "\"create\"");
    EXPECT_EQ(json_value(r.out, "inode_accounting_supported"), "true");
    EXPECT_EQ(diagnosis_of(r.out), diagnosis_json("confirmed", {"inode_exhaustion"}, {}));
  }
  // A mount namespace another test makes meanwhile copies this mount and
  // keeps the device busy until it ends: then the kernel detaches it, as
  // long as it is marked to go with its last user.
  const std::string left = testing::run_program({"losetup", "-l", "-n", "-O", "AUTOCLEAR", "-j", dir / "ext4.img"}).out;
  EXPECT_EQ(left.find('0'), std::string::npos) << "loop device left behind";
}

// Deleted files still open hold their inodes; the verdict says by whom.
TEST(ScenarioProcess, DeletedOpenFilesHoldInodesOfAFullExt4) {
  REQUIRE_EXT4_IMAGE();
  testing::TempDir dir;
  Ext4Image image(dir, "-N 16");
  ASSERT_TRUE(image.ok());
  testing::Fixture holder({BRIMFUL_FIXTURE, "deleted", image.point() + "/held", "4096"});
  ASSERT_TRUE(holder.ready());
  fill_inodes(image.point());
  const RunResult r = testing::run_brimful({image.point()});
  EXPECT_NE(r.out.find("\nCONFIRMED: inode exhaustion\n\nCONTRIBUTING: 1 inode is held by deleted-open files: "
                       "brimful_fixture PID " + split(holder.lines().at(0), ' ').at(0) + " (1)\n\nDeleted-open files:\n"),
            std::string::npos)
      << r.out;
}

TEST(ScenarioProbe, Ext4WithoutBlocksIsBlockExhaustion) {
  REQUIRE_EXT4_IMAGE();
  testing::TempDir dir;
  Ext4Image image(dir, "-N 64");
  ASSERT_TRUE(image.ok());
  fill_blocks(image.point());

  const RunResult r = probe_run(image.point(), {"--json", "--check"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(json_value(r.out, "available_bytes"), "0");
  EXPECT_EQ(json_value(r.out, "code"), "28");
  EXPECT_EQ(diagnosis_of(r.out), diagnosis_json("confirmed", {"block_exhaustion"}, {}));
}

TEST(ScenarioProbe, ReadOnlyMountIsConfirmedByEROFS) {
  REQUIRE_ISOLATED_MOUNTS();
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=1m,ro", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();

  const RunResult r = probe_run(dir.path(), {"--json", "--check"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(json_value(r.out, "phase"), "\"create\"");
  EXPECT_EQ(json_value(r.out, "code"), "30");
  EXPECT_EQ(json_value(r.out, "name"), "\"EROFS\"");
  EXPECT_EQ(json_value(r.out, "read_only"), "true");
  // The flag and the probe agree, so there is no read-only note.
  EXPECT_EQ(diagnosis_of(r.out), diagnosis_json("confirmed", {"read_only_filesystem"}, {}));
}

TEST(ScenarioProbe, HealthyTmpfsHasNoSupportedFailure) {
  REQUIRE_ISOLATED_MOUNTS();
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=1m", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  testing::write_file(dir / "keep", "untouched");

  const RunResult r = probe_run(dir.path(), {"--json", "--check"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_value(r.out, "complete"), "true");
  EXPECT_EQ(diagnosis_of(r.out), diagnosis_json("no_supported_failure", {}, {}));
  EXPECT_EQ(testing::read_file(dir / "keep"), "untouched");
  // Both probes are closed before the scan: brimful never finds itself.
  EXPECT_EQ(json_value(r.out, "deleted_open"), "[]");
  EXPECT_EQ(json_value(r.out, "inotify_consumers"), "[]");
  EXPECT_EQ(json_value(r.out, "processes_scanned"), "1");

  // A file target: the probe works beside it, the file itself is not touched.
  const RunResult on_file = testing::run_brimful_isolated({dir / "keep", "--json"});
  EXPECT_EQ(json_value(on_file.out, "probe_directory"), quoted(dir.path()));
  EXPECT_EQ(testing::list_dir(dir.path()), std::vector<std::string>{"keep"});
  EXPECT_EQ(testing::read_file(dir / "keep"), "untouched");
}

// ---------------------------------------------------------------------------
// Process evidence: deleted-open files and inotify consumers.

std::vector<std::string> words(const std::string& line) { return split(line, ' '); }

TEST(ScenarioProcess, DeletedOpenFileOnAFullTmpfs) {
  REQUIRE_MOUNTS();
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=1m", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  testing::Fixture holder({BRIMFUL_FIXTURE, "deleted", dir / "held", "262144"});
  ASSERT_TRUE(holder.ready());
  ASSERT_EQ(holder.lines().size(), 2u);
  const std::vector<std::string> parent = words(holder.lines()[0]);  // pid fd fd
  const std::vector<std::string> child = words(holder.lines()[1]);   // pid fd
  fill_blocks(dir.path());

  // The host's /proc: the fixture is only visible there, and root reads it.
  const RunResult json = testing::run_brimful({dir.path(), "--json", "--check"});
  EXPECT_EQ(json.status, 1) << json.err;
  struct stat status {};
  ASSERT_EQ(stat(dir.path().c_str(), &status), 0);
  const auto holder_json = [](const std::string& pid, const std::string& fd, bool last) {
    return "          \\{\n            \"pid\": " + pid + ",\n            \"process\": \"brimful_fixture\",\n"
           "            \"fd\": " + fd + "\n          \\}" + (last ? "" : ",") + "\n";
  };
  const std::regex entry(
      "[^]*    \"deleted_open\": \\[\n      \\{\n        \"device\": " + std::to_string(status.st_dev) +
      ",\n        \"inode\": [0-9]+,\n        \"path\": \"" + dir.path() + "/held \\(deleted\\)\",\n"
      "        \"allocated_bytes\": 262144,\n        \"holders\": \\[\n" +
      holder_json(parent[0], parent[1], false) + holder_json(parent[0], parent[2], false) +
      holder_json(child[0], child[1], true) + "        \\]\n      \\}\n    \\],\n[^]*");
  EXPECT_TRUE(std::regex_match(json.out, entry)) << json.out;
  EXPECT_NE(json.out.find("    \"causes\": [\n      \"block_exhaustion\"\n    ],\n"
                          "    \"contributing\": [\n      {\n        \"kind\": \"deleted_open_files\",\n"
                          "        \"bytes\": 262144,\n        \"description\": \"262144 allocated bytes are "
                          "reclaimable from deleted-open files on this filesystem\"\n      }\n    ],\n"),
            std::string::npos)
      << json.out;

  const RunResult text = testing::run_brimful({dir.path()});
  EXPECT_NE(text.out.find("\nCONFIRMED: filesystem space exhausted\n"
                          "\nCONTRIBUTING: 256.0 KiB is held by deleted-open files\n"
                          "\nDeleted-open files:\n"
                          "  brimful_fixture PID " + parent[0] + " FD " + parent[1] + "\n"
                          "    " + dir.path() + "/held (deleted)\n"
                          "    allocated: 256.0 KiB\n"
                          "    holders: 3\n"),
            std::string::npos)
      << text.out;
}

TEST(ScenarioProcess, InotifyWatchExhaustionInAUserNamespace) {
  SKIP_UNLESS(testing::can_unshare("-U -r -p -f --mount-proc", &skip_reason));
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // In its own user namespace the watch limit can be lowered without
  // touching the host; a fixture then takes every watch there is.
  const std::string script =
      "echo 5 > /proc/sys/user/max_inotify_watches || exit 90\n"
      "mkfifo \"$1/hold\"\n"
      "\"$2\" inotify 1 \"$1\" 5 < \"$1/hold\" > \"$1/ready\" &\n"
      "exec 4> \"$1/hold\"\n"
      "while ! grep -q ready \"$1/ready\" 2>/dev/null; do sleep 0.05; done\n"
      "\"$0\" \"$1\" --check > \"$1/text\"; echo $? > \"$1/status\"\n"
      "\"$0\" \"$1\" --json > \"$1/json\"\n"
      "exec 4>&-\n"
      "wait\n";
  const RunResult r = testing::run_program({"unshare", "-U", "-r", "-p", "-f", "--mount-proc", "sh", "-c", script,
                                            BRIMFUL_BINARY, dir.path(), BRIMFUL_FIXTURE});
  if (r.status == 90) GTEST_SKIP() << "this kernel does not let a user namespace lower its watch limit";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::read_file(dir / "status"), "1\n");

  const std::string json = testing::read_file(dir / "json");
  EXPECT_EQ(json_value(json, "add_watch"), "{");
  EXPECT_NE(json.find("      \"result\": \"error\",\n      \"phase\": \"add_watch\",\n      \"errno\": {\n"
                      "        \"code\": 28,\n"),
            std::string::npos)
      << json;
  EXPECT_EQ(diagnosis_of(json), diagnosis_json("confirmed", {"inotify_exhaustion"}, {}));

  const std::string text = testing::read_file(dir / "text");
  const std::string limit = testing::read_file("/proc/sys/fs/inotify/max_user_watches");
  EXPECT_NE(text.find("  inotify watch    ENOSPC during inotify_add_watch\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nCONFIRMED: inotify resource exhaustion\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  assessment             watch creation failed: inotify resources exhausted\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n  instances              1 / "), std::string::npos) << text;
  const std::regex consumer("[^]*\n  [0-9]+ +brimful_fixture +1 +5\n?$");
  EXPECT_TRUE(std::regex_match(text, consumer)) << text;
  EXPECT_FALSE(limit.empty());
}

TEST(ScenarioProcess, InotifyInstanceExhaustionOfAnOrdinaryUser) {
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  const std::optional<std::uint64_t> limit = [] {
    const std::string text = testing::read_file("/proc/sys/fs/inotify/max_user_instances");
    return text.empty() ? std::nullopt : std::optional<std::uint64_t>(std::stoull(text));
  }();
  if (!limit || *limit > 512) GTEST_SKIP() << "max_user_instances is too large to exhaust in a test";
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=1m,mode=1777", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  const std::vector<std::string> as_nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

  std::vector<std::string> fixture_argv = as_nobody;
  fixture_argv.insert(fixture_argv.end(), {BRIMFUL_FIXTURE, "inotify", std::to_string(*limit), dir.path(), "3"});
  testing::Fixture holder(fixture_argv);
  ASSERT_TRUE(holder.ready());
  const std::string pid = holder.lines().at(0);

  std::vector<std::string> brimful_argv = as_nobody;
  brimful_argv.insert(brimful_argv.end(), {BRIMFUL_BINARY, dir.path(), "--json", "--check"});
  const RunResult r = testing::run_program(brimful_argv);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("    \"init\": {\n      \"result\": \"error\",\n      \"phase\": \"init\",\n"
                       "      \"errno\": {\n        \"code\": 24,\n        \"name\": \"EMFILE\"\n      }\n    },\n"
                       "    \"add_watch\": {\n      \"result\": \"not_run\"\n    }\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("      {\n        \"pid\": " + pid + ",\n        \"process\": \"brimful_fixture\",\n"
                       "        \"instances\": " + std::to_string(*limit) + ",\n        \"watches\": 3\n      }"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("    \"causes\": [\n      \"inotify_instance_exhaustion\"\n    ],\n"), std::string::npos)
      << r.out;
  // Other users' processes are closed to an ordinary user.
  EXPECT_EQ(json_value(r.out, "complete"), "false");
  EXPECT_NE(r.out.find("      \"process evidence is incomplete: "), std::string::npos) << r.out;
}

// ---------------------------------------------------------------------------
// Findings under --explain: observations the verdict alone does not confirm.

// The kinds of the findings of a JSON report, in order.
std::vector<std::string> finding_kinds(const std::string& json) {
  std::vector<std::string> kinds;
  const std::size_t at = json.find("\n  \"findings\": [");
  if (at == std::string::npos) return {"<no findings in " + json + ">"};
  static const std::regex kind("\"kind\": \"([a-z_]+)\"");
  for (std::sregex_iterator it(json.begin() + static_cast<long>(at), json.end(), kind), end; it != end; ++it) {
    kinds.push_back((*it)[1]);
  }
  return kinds;
}

const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

// The reserve as ext4 keeps it: whoever fills the filesystem, the finding
// names the reserve only where there is one, names its owners, and never
// says that a writer can write who just could not.
TEST(ScenarioExplain, TheReserveOfExt4) {
  REQUIRE_EXT4_IMAGE();
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  struct Case {
    const char *mkfs, *mount;
    std::vector<std::string> filler, kinds;
    const char* says;
  };
  const Case cases[] = {
      {"-m 10", "loop", kAsNobody, {"reserved_space_only"},
       "the reserve that only root (UID 0) and processes with CAP_SYS_RESOURCE may use; "},
      // ext4's own reserved clusters stay free but are nobody's.
      {"-m 0", "loop", {}, {}, ""},
      {"-m 5", "loop", {}, {"reserved_space_only"}, "the reserve for privileged writers is used up too: "},
      {"-m 50", "loop,resuid=4242", kAsNobody, {"reserved_space_only"},
       "the reserve that only UID 4242 and processes with CAP_SYS_RESOURCE may use; "},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    Ext4Image image(dir, c.mkfs, c.mount);
    ASSERT_TRUE(image.ok());
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(image.point().c_str(), 01777), 0);
    std::vector<std::string> fill = c.filler;
    fill.insert(fill.end(), {"sh", "-c", "dd if=/dev/zero of=\"$0/fill\" bs=64k; sync; "
                                         "dd if=/dev/zero of=\"$0/fill-small\" bs=4k; sync", image.point()});
    EXPECT_NE(testing::run_program(fill).err.find("No space left on device"), std::string::npos);
    const RunResult r = probe_run(image.point(), {"--json", "--explain"});
    EXPECT_EQ(json_value(r.out, "available_bytes"), "0") << c.mkfs;
    EXPECT_EQ(finding_kinds(r.out), c.kinds) << c.mkfs;
    EXPECT_NE(json_value(r.out, "summary").find(c.says), std::string::npos) << r.out;
  }
}

TEST(ScenarioExplain, NearlyFullWithADeletedFileHeldOpen) {
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=4m,mode=1777", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  std::vector<std::string> argv = kAsNobody;
  argv.insert(argv.end(), {BRIMFUL_FIXTURE, "deleted", dir / "held", "524288"});
  testing::Fixture holder(argv);
  ASSERT_TRUE(holder.ready());
  const std::vector<std::string> parent = words(holder.lines().at(0));  // pid fd fd
  const std::vector<std::string> child = words(holder.lines().at(1));   // pid fd
  const std::string descriptor = "/proc/" + parent[0] + "/fd/" + parent[1];
  struct stat held {};
  ASSERT_EQ(stat(descriptor.c_str(), &held), 0);
  fill_blocks(dir.path());
  ASSERT_EQ(testing::shell("truncate -s -40K '" + dir.path() + "/fill'"), 0);

  const RunResult r = testing::run_brimful({dir.path(), "--explain", "--check"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string files = dir.path() + "/held (deleted) (512.0 KiB, held by brimful_fixture PID " + parent[0] +
                            " FD " + parent[1] + " and brimful_fixture PID " + parent[0] + " FD " + parent[2] +
                            " and brimful_fixture PID " + child[0] + " FD " + child[1] + ")";
  const std::string command = "test \"$(stat -L -c '%d %i' " + descriptor + ")\" = '" + std::to_string(held.st_dev) +
                              " " + std::to_string(held.st_ino) + "' && " +
                              "setpriv --reuid=65534 --regid=65534 --clear-groups truncate -s 0 " + descriptor;
  EXPECT_NE(r.out.find("\nOK: no supported failure detected\n"
                       "\nFindings:\n"
                       "  - only 40.0 KiB of 4.0 MiB (1.0%) is available, so a write larger than that fails with "
                       "ENOSPC; the largest deleted-open files: " + files + "\n"
                       "    fix: free space on " + dir.path() + ", for example by releasing the deleted-open files\n"
                       "  - deleted files still held open take 512.0 KiB (12.5% of the filesystem): " + files + "\n"
                       "    fix: release the space without a restart by truncating through a holder's descriptor, "
                       "with the holder's own rights and only while it is still the deleted file (its device and "
                       "inode): `" + command + "`; or restart the holders\n"),
            std::string::npos)
      << r.out;

  // Should the holder's owner point the descriptor at a root-owned file it
  // may read, the command truncates nothing: the inode differs, and were it
  // the same, the owner's rights do not reach the file.
  testing::write_file(dir / "victim", "root's");
  struct stat victim {};
  ASSERT_EQ(stat((dir / "victim").c_str(), &victim), 0);
  testing::Fixture turned({"sh", "-c", "exec 3<" + dir / "victim" + "; exec setpriv --reuid=65534 --regid=65534 "
                           "--clear-groups sh -c 'echo ready; echo $$; exec cat >/dev/null'"});
  ASSERT_TRUE(turned.ready());
  std::string swapped = std::regex_replace(command, std::regex(descriptor), "/proc/" + turned.lines().at(0) + "/fd/3");
  EXPECT_NE(testing::shell(swapped + " 2>/dev/null"), 0);
  swapped = std::regex_replace(swapped, std::regex("'[0-9]+ [0-9]+'"),
                               "'" + std::to_string(victim.st_dev) + " " + std::to_string(victim.st_ino) + "'");
  EXPECT_NE(testing::shell(swapped + " 2>/dev/null"), 0);
  EXPECT_EQ(testing::read_file(dir / "victim"), "root's");

  // Without --explain the report stays as it was.
  const RunResult plain = testing::run_brimful({dir.path()});
  EXPECT_EQ(plain.out.find("Findings"), std::string::npos) << plain.out;
}

// POSIX message queues in an IPC namespace of their own: statfs counts no
// blocks there, so only the findings name the limit that was reached.
TEST(ScenarioExplain, MessageQueuesAtTheirLimits) {
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("--ipc --mount", &skip_reason));
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string script =
      "mount -t mqueue none \"$1\" && echo 2 > /proc/sys/fs/mqueue/queues_max && touch \"$1/a\" \"$1/b\" || exit 90\n"
      "setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" \"$1\" --json --explain > \"$2/count.json\"\n"
      "rm \"$1/b\"; setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --msgqueue=1000 \"$0\" \"$1\" "
      "--json --explain > \"$2/bytes.json\"\n";
  testing::make_dir(dir / "mq");
  const RunResult r = testing::run_program(
      {"unshare", "--ipc", "--mount", "--propagation", "private", "sh", "-c", script, BRIMFUL_BINARY, dir / "mq", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string count = testing::read_file(dir / "count.json");
  EXPECT_EQ(finding_kinds(count), (std::vector<std::string>{"scan_unprivileged", "mqueue_queue_limit"}));
  EXPECT_NE(count.find("\"mqueue reports no blocks in statfs: it keeps no block accounting"), std::string::npos) << count;
  EXPECT_EQ(json_value(count, "status"), "\"unknown\"");
  const std::string bytes = testing::read_file(dir / "bytes.json");
  EXPECT_EQ(finding_kinds(bytes), (std::vector<std::string>{"scan_unprivileged", "mqueue_byte_limit"}));
}

// Whether a test program (one of the suites or their helpers, all named
// brimful_*, run by anyone on the machine) started the process; one that is gone can no longer be told apart and counts.
bool started_by_a_test(const std::string& pid) {
  for (std::string at = pid; at != "0" && at != "1";) {
    std::string stat;
    if (read_whole_file(("/proc/" + at + "/stat").c_str(), stat) != 0) return true;
    const std::size_t close = stat.rfind(')');
    if (stat.find(" (brimful_") != std::string::npos) return true;
    at = split(stat.substr(close + 2), ' ').at(1);
  }
  return false;
}

// The usual places of this machine have no finding, kdevtmpfs's mount
// namespace least of all; one that names only processes of suites running
// at the same time is theirs.
TEST(ScenarioExplain, TheUsualPlacesOfAHealthyHostHaveNoFindings) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to see every process";
  for (const char* path : {"/", "/tmp", "/var", "/home", "/run", "/dev/shm"}) {
    if (access(path, F_OK) != 0) continue;
    const RunResult r = testing::run_brimful({path, "--explain"});
    const std::size_t at = r.out.find("\nFindings:");
    ASSERT_NE(at, std::string::npos) << r.out << r.err;
    if (r.out.compare(at, 15, "\nFindings: none") == 0) continue;
    for (const std::string& line : split(r.out.substr(at + 11, r.out.find("\n\n", at + 1) - at - 11), '\n')) {
      if (line.compare(0, 4, "  - ") != 0) continue;
      static const std::regex pid(" PID ([0-9]+)");
      bool any = false;
      for (std::sregex_iterator it(line.begin(), line.end(), pid), end; it != end; ++it, any = true) {
        EXPECT_TRUE(started_by_a_test((*it)[1])) << path << ": " << line;
      }
      EXPECT_TRUE(any) << path << ": " << line;
    }
  }
}

TEST(ScenarioExplain, AnOrdinaryUserMissesOtherUsersProcesses) {
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::vector<std::string> argv = kAsNobody;
  argv.insert(argv.end(), {BRIMFUL_BINARY, dir.path(), "--json", "--no-probe", "--explain"});
  const RunResult r = testing::run_program(argv);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_value(r.out, "complete"), "false");
  EXPECT_EQ(finding_kinds(r.out), std::vector<std::string>{"scan_unprivileged"});
  const std::string inaccessible = json_value(r.out, "processes_inaccessible");
  EXPECT_EQ(json_value(r.out, "summary"),
            quoted("brimful runs as UID 65534, not root, and could not read " + inaccessible +
                   " process directories: deleted-open files and inotify consumers of other users may be missing"));
  EXPECT_EQ(json_value(r.out, "remedy"), quoted("fix: rerun brimful as root"));
}

TEST(ScenarioExplain, ALoweredNamespaceInstanceLimitBinds) {
  SKIP_UNLESS(testing::can_unshare("-U -r -p -f --mount-proc", &skip_reason));
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // /proc/sys/fs/inotify shows the initial namespace's limit; the one this
  // namespace sets is lower and is the one the kernel applies.
  const std::string script =
      "echo 4 > /proc/sys/user/max_inotify_instances || exit 90\n"
      "mkfifo \"$1/hold\"\n"
      "\"$2\" inotify 4 \"$1\" 0 < \"$1/hold\" > \"$1/ready\" &\n"
      "exec 4> \"$1/hold\"\n"
      "while ! grep -q ready \"$1/ready\" 2>/dev/null; do sleep 0.05; done\n"
      "\"$0\" \"$1\" --check > \"$1/text\"; echo $? > \"$1/status\"\n"
      "\"$0\" \"$1\" --json --explain > \"$1/json\"\n"
      "cat /proc/sys/fs/inotify/max_user_instances > \"$1/global\"\n"
      "exec 4>&-\n"
      "wait\n";
  const RunResult r = testing::run_program({"unshare", "-U", "-r", "-p", "-f", "--mount-proc", "sh", "-c", script,
                                            BRIMFUL_BINARY, dir.path(), BRIMFUL_FIXTURE});
  if (r.status == 90) GTEST_SKIP() << "this kernel does not let a user namespace lower its instance limit";
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::read_file(dir / "status"), "1\n");
  const std::string text = testing::read_file(dir / "text");
  EXPECT_NE(text.find("\nCONFIRMED: inotify instance limit exhausted\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  instances              4 / 4 (100.0%; 0 available)\n"), std::string::npos) << text;

  const std::string json = testing::read_file(dir / "json");
  const std::string global = testing::read_file(dir / "global");
  EXPECT_EQ(json_value(json, "max_user_instances"), "4");
  EXPECT_NE(json.find("    \"causes\": [\n      \"inotify_instance_exhaustion\"\n    ],\n"), std::string::npos) << json;
  EXPECT_EQ(finding_kinds(json), std::vector<std::string>{"namespace_inotify_limit"});
  const std::regex summary("\"this user namespace allows 4 inotify instances per user, fewer than the global " +
                           grouped_number(std::stoull(global)) +
                           " \\(4 in use\\); the largest consumers: brimful_fixture PID [0-9]+ \\(4 instances, 0 "
                           "watches\\)\"");
  EXPECT_TRUE(std::regex_match(json_value(json, "summary"), summary)) << json;
}

TEST(ScenarioExplain, TmpfsAtItsInodeLimit) {
  REQUIRE_ISOLATED_MOUNTS();
  testing::TempDir dir;
  ScopedMount mount("tmpfs", "none", "size=1m,nr_inodes=50", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  fill_inodes(dir.path());

  const RunResult r = probe_run(dir.path(), {"--explain", "--check"});
  // The verdict stays strict; the finding says what the count means, and
  // nothing beside it says otherwise.
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("  free inodes      0 (counted exactly at this filesystem's inode limit; see the findings)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nUNKNOWN\n"
                       "\nFindings:\n"
                       "  - tmpfs has used all 50 of its inodes: the nr_inodes limit is reached, and tmpfs counts "
                       "inodes exactly, so creating a file fails with ENOSPC\n"
                       "    fix: `mount -o remount,nr_inodes=N " + dir.path() + "` with a larger N, or remove files\n"
                       "\nNotes:\n"
                       "  - tmpfs reports zero free inodes, which the verdict alone cannot confirm; the finding "
                       "tmpfs_inode_limit counts them exactly\n"
                       "  - the checks behind the verdict do not explain the observed ENOSPC; the finding "
                       "tmpfs_inode_limit does\n"),
            std::string::npos)
      << r.out;
}

TEST(ScenarioExplain, BrimfulOutOfDescriptorsDuringTheScan) {
  SKIP_UNLESS(testing::can_unshare("-pf --mount-proc", &skip_reason));
  testing::TempDir dir;
  // Equal soft and hard limits, so that nothing can raise the soft one.
  // Descriptor 3 is held open and 4 and 5 closed, so that brimful has two
  // left, one fewer than its scan of itself needs, whatever the test runner
  // leaves open.
  const RunResult r = testing::run_program({"unshare", "-pf", "--mount-proc", "sh", "-c",
                                            "exec prlimit --nofile=6:6 \"$0\" \"$@\" 3</dev/null 4<&- 5<&-", BRIMFUL_BINARY,
                                            dir.path(), "--json", "--no-probe", "--explain"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_value(r.out, "complete"), "false");
  EXPECT_EQ(finding_kinds(r.out), std::vector<std::string>{"descriptor_limit"});
  EXPECT_EQ(json_value(r.out, "summary"),
            quoted("brimful itself ran out of file descriptors (EMFILE or ENFILE) during the process scan with a "
                   "limit of 6 open files, so deleted-open files and inotify consumers may be missing"));
  EXPECT_EQ(json_value(r.out, "remedy"), quoted("fix: raise the limit (for example `ulimit -n 4096`) and rerun brimful"));
}

// ---------------------------------------------------------------------------
// As another process sees it.

void without_mount_calls();

// The JSON text of the finding of this kind, from its "kind" line on.
std::string finding_of(const std::string& json, const std::string& kind) {
  const std::size_t at = json.find("\"kind\": \"" + kind + "\"");
  return at == std::string::npos ? std::string() : json.substr(at, json.find('}', at) - at);
}

// DIR is a full 1 MiB tmpfs only inside the mount namespace of one process;
// on the host it is a healthy directory. Run from the host, brimful points
// at that process; run for it, it confirms what that process gets.
TEST(ScenarioPid, AFullTmpfsInAnotherMountNamespace) {
  REQUIRE_MOUNTS();
  // In a chroot, the other namespace's process is not found under the
  // target, so the finding this test expects never comes.
  SKIP_UNLESS(testing::outside_chroot(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("-m --propagation private", &skip_reason));
  testing::TempDir dir;
  const std::string target = testing::canonical(dir.path());
  testing::Fixture app({"unshare", "-m", "--propagation", "private", "sh", "-c",
                        "mount -t tmpfs -o size=1m tmpfs \"$0\" && head -c 2097152 /dev/zero >\"$0/fill\"; "
                        "cd \"$0\" && echo ready && echo $$ && exec cat >/dev/null",
                        target});
  if (!app.ready() || app.lines().empty()) GTEST_SKIP() << "cannot mount a tmpfs in a new mount namespace";
  const std::string pid = app.lines()[0];

  RunResult r = testing::run_brimful({target, "--json", "--explain", "--check"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("as_seen_by"), std::string::npos);
  const std::string other = finding_of(r.out, "other_mount_namespace");
  EXPECT_NE(other.find("cat PID " + pid + " (tmpfs on " + target + ")"), std::string::npos) << r.out;
  EXPECT_NE(other.find("check: rerun with --pid " + pid), std::string::npos) << other;
  r = testing::run_program({BRIMFUL_BINARY, target, "--json", "--explain"}, "", without_mount_calls);
  EXPECT_EQ(finding_of(r.out, "other_mount_namespace"), other) << "read from the mountinfo files";

  r = testing::run_brimful({"--pid", pid, ".", "--json", "--explain", "--check"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(json_value(r.out, "target"), quoted(target));
  EXPECT_EQ(json_value(r.out, "pid"), pid);
  EXPECT_EQ(json_value(r.out, "fs_type"), quoted("tmpfs"));
  EXPECT_EQ(json_value(r.out, "status"), quoted("confirmed"));
  EXPECT_NE(r.out.find("\"causes\": [\n      \"block_exhaustion\"\n    ]"), std::string::npos) << r.out;
  EXPECT_EQ(finding_of(r.out, "other_mount_namespace"), "");
  r = testing::run_brimful({"--pid", pid, target, "--no-probe"});
  EXPECT_EQ(r.out.substr(0, r.out.find("Filesystem:")), "Target: " + target + "\nAs seen by: " + pid + " (cat)\n");

  // The host's directory never saw the probe or the filling.
  EXPECT_EQ(testing::list_dir(target), std::vector<std::string>{});
}

// A read-only bind of the target in the application's namespace, as
// systemd's ReadOnlyPaths= makes: the same filesystem, but EROFS there.
TEST(ScenarioPid, AReadOnlyBindInAnotherMountNamespace) {
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::outside_chroot(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("-m --propagation private", &skip_reason));
  testing::TempDir dir;
  const std::string target = testing::canonical(dir.path());
  testing::Fixture app({"unshare", "-m", "--propagation", "private", "sh", "-c",
                        "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && "
                        "cd \"$0\" && echo ready && echo $$ && exec cat >/dev/null",
                        target});
  if (!app.ready() || app.lines().empty()) GTEST_SKIP() << "cannot bind-mount in a new mount namespace";
  const std::string pid = app.lines()[0];

  RunResult r = testing::run_brimful({target, "--json", "--explain", "--check"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string other = finding_of(r.out, "other_mount_namespace");
  EXPECT_NE(other.find("cat PID " + pid + " ("), std::string::npos) << r.out;
  EXPECT_NE(other.find(" on " + target + ", read-only there: its writes fail with EROFS)"), std::string::npos) << other;
  r = testing::run_program({BRIMFUL_BINARY, target, "--json", "--explain"}, "", without_mount_calls);
  EXPECT_EQ(finding_of(r.out, "other_mount_namespace"), other) << "read from the mountinfo files";

  r = testing::run_brimful({"--pid", pid, ".", "--json", "--check"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("\"causes\": [\n      \"read_only_filesystem\"\n    ]"), std::string::npos) << r.out;
}

// A container-like process: root of a user namespace that uid 100000 made,
// at the 4 inotify instances that namespace allows. brimful's probes, as
// root of the host, succeed; the process's user is at its limit.
TEST(ScenarioPid, AContainerUserAtItsInotifyInstanceLimit) {
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("-U -r", &skip_reason));
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  testing::Fixture app({"setpriv", "--reuid=100000", "--regid=100000", "--clear-groups", "unshare", "-U", "-r", "sh",
                        "-c", "echo 4 > /proc/sys/user/max_inotify_instances && exec \"$0\" inotify 4 \"$1\" 0",
                        BRIMFUL_FIXTURE, dir.path()});
  if (!app.ready() || app.lines().empty()) GTEST_SKIP() << "an ordinary user's namespace cannot lower its limit here";
  const RunResult r = testing::run_brimful({"--pid", app.lines()[0], dir.path(), "--check"});
  EXPECT_EQ(r.status, 1) << r.err << r.out;
  EXPECT_NE(r.out.find("\nCONFIRMED: inotify instance limit exhausted\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nInotify usage (the process's real user, uid 100000):\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the probes ran as uid 0, not as the process's real user (uid 100000)"), std::string::npos)
      << r.out;
}

// Nested user namespaces of uid 100300: the parent allows 300 watches and a
// process in it holds them; the child allows 50,000, yet its add_watch gets
// ENOSPC, for the parent counts the child's watches too.
TEST(ScenarioPid, ANestedNamespaceBoundByItsParentsWatchLimit) {
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("-U -r", &skip_reason));
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  const std::string script =
      "echo 300 > /proc/sys/user/max_inotify_watches && readlink /proc/self/ns/user > \"$1/parent\" || exit\n"
      "exec 3<&0; \"$0\" inotify 1 \"$1\" 300 <&3 > \"$1/held\" &\n"
      "while kill -0 $! && ! grep -q ready \"$1/held\"; do sleep 0.05; done\n"
      "unshare -U -r sh -c 'echo 50000 > /proc/sys/user/max_inotify_watches || exit\n"
      "\"$0\" inotify 1 \"$1\" 1 2> \"$1/enospc\"; exec \"$0\" inotify 1 \"$1\" 0' \"$0\" \"$1\"; wait";
  testing::Fixture app({"setpriv", "--reuid=100300", "--regid=100300", "--clear-groups", "unshare", "-U", "-r", "sh",
                        "-c", script, BRIMFUL_FIXTURE, dir.path()});
  if (!app.ready() || app.lines().empty()) GTEST_SKIP() << "an ordinary user cannot nest namespaces with limits here";
  EXPECT_NE(testing::read_file(dir / "enospc").find("No space left on device"), std::string::npos);
  const std::string parent = testing::read_file(dir / "parent");
  const std::string ns = "user namespace " + parent.substr(6, parent.size() - 8) + " (owner UID 100300)";
  const RunResult r = testing::run_brimful({"--pid", app.lines()[0], dir.path(), "--explain", "--json"});
  EXPECT_NE(r.out.find("\"inotify_exhaustion\""), std::string::npos) << r.out;
  const std::string found = finding_of(r.out, "namespace_inotify_limit");
  EXPECT_NE(found.find("\"summary\": \"" + ns + ", a parent of this one, allows 300 inotify watches per user, fewer "
                       "than this one's own 50,000 and the global "), std::string::npos) << r.out;
  EXPECT_TRUE(std::regex_search(found, std::regex("global [0-9,]+ \\([0-9,]+ in use\\), and the lowest limit on the "
                                                  "way up binds; the largest consumers: "))) << found;
  EXPECT_NE(found.find("\"remedy\": \"fix: raise user.max_inotify_watches in " + ns +
                       " where the namespace or container is set up, or stop the largest consumers\""), std::string::npos);
}

// A user's own view, as hostile as it can make it: a FIFO over the error
// count of the filesystem's sysfs directory, /dev/zero over /dev/kmsg, and
// a loop that stops every process it may signal, brimful's helper once it
// has joined the user's namespace. --pid --explain ends and finds nothing.
TEST(ScenarioPid, AHostileViewNeitherStopsNorMisleadsTheRun) {
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("-pf --mount-proc", &skip_reason));
  SKIP_UNLESS(testing::can_unshare("-Urm", &skip_reason));
  testing::TempDir dir;
  struct stat status {};
  ASSERT_EQ(stat(dir.path().c_str(), &status), 0);
  const std::string device = testing::run_program({"sh", "-c", "basename $(readlink /sys/dev/block/$0)",
                                                   std::to_string(major(status.st_dev)) + ":" +
                                                       std::to_string(minor(status.st_dev))}).out;
  const std::string errors = "/sys/fs/ext4/" + device.substr(0, device.find('\n')) + "/errors_count";
  if (access(errors.c_str(), R_OK) != 0) GTEST_SKIP() << dir.path() << " is not on an ext4 block device";
  ASSERT_EQ(testing::shell("chmod 1777 " + dir.path() + " && mkfifo -m 666 " + dir / "fifo"), 0);
  const std::string hostile = "mount --bind " + dir / "fifo" + " " + errors + " && mount --bind /dev/zero /dev/kmsg" +
                              " && echo $$ >" + dir / "pid" + " && while :; do kill -STOP -1; done";
  const RunResult r = testing::run_program(
      {"unshare", "-pf", "--mount-proc", "sh", "-c",
       "setpriv --reuid=65534 --regid=65534 --clear-groups unshare -Urm sh -c \"$0\" 2>/dev/null & "
       "while [ ! -s $1/pid ]; do sleep 0.1; done; timeout 60 $2 --pid $(cat $1/pid) --explain --json $1",
       hostile, dir.path(), BRIMFUL_BINARY});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(finding_of(r.out, "filesystem_errors"), "") << r.out;
  EXPECT_EQ(finding_of(r.out, "kernel_messages"), "") << r.out;
}

// A process that lowered its own limit to 16 and filled it: EMFILE for it,
// while brimful itself has room to spare. Descriptors it inherited above
// the new limit stay open and count too.
TEST(ScenarioPid, AProcessAtItsOwnDescriptorLimit) {
  SKIP_UNLESS(testing::running_as_root() || (skip_reason = "needs root", false));
  testing::TempDir dir;
  testing::Fixture app({BRIMFUL_FIXTURE, "descriptors", dir / "held", "16"});
  ASSERT_TRUE(app.ready());
  const std::string pid = app.lines().at(0);

  RunResult r = testing::run_brimful({"--pid", pid, dir.path(), "--json", "--no-probe", "--explain"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_value(r.out, "process"), quoted("brimful_fixture"));
  std::string found = finding_of(r.out, "process_descriptor_limit");
  EXPECT_NE(found.find("brimful_fixture PID " + pid + " ("), std::string::npos) << r.out;
  EXPECT_NE(found.find(" of 16 open files, "), std::string::npos) << found;
  EXPECT_NE(found.find("holds mostly file ("), std::string::npos) << found;

  // Without --pid it is named as a process holding files on the filesystem.
  r = testing::run_brimful({dir.path(), "--json", "--no-probe", "--explain"});
  ASSERT_EQ(r.status, 0) << r.err;
  found = finding_of(r.out, "process_descriptor_limit");
  EXPECT_NE(found.find("brimful_fixture PID " + pid + " ("), std::string::npos) << r.out;
  EXPECT_NE(found.find(" of 16 open files, "), std::string::npos) << found;
}

// fs.file-max is global, and other test runs share this machine: it is
// lowered only for one read, to a value the system stays just below so
// nobody else's open fails, and restored when the guard goes, also when an
// assertion fails.
class FileMaxGuard {
 public:
  FileMaxGuard() : original_(testing::read_file("/proc/sys/fs/file-max")) {}
  ~FileMaxGuard() {
    if (changed_) set(original_);
  }
  FileMaxGuard(const FileMaxGuard&) = delete;
  FileMaxGuard& operator=(const FileMaxGuard&) = delete;

  bool set(const std::string& value) {
    const int fd = ::open("/proc/sys/fs/file-max", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    ::close(fd);
    changed_ = changed_ || written;
    return written;
  }
  void restore() {
    if (changed_ && set(original_)) changed_ = false;
  }

 private:
  std::string original_;
  bool changed_ = false;
};

TEST(ScenarioExplain, TheSystemFileTableNearlyFull) {
  SKIP_UNLESS(testing::running_as_root() || (skip_reason = "needs root to change fs.file-max", false));
  const std::optional<FileTable> before = read_file_table("/proc");
  ASSERT_TRUE(before);
  std::optional<FileTable> lowered;
  {
    FileMaxGuard guard;
    // 96 % in use: inside the finding, with room left for everyone else.
    if (!guard.set(std::to_string(before->allocated * 100 / 96 + 1))) {
      GTEST_SKIP() << "cannot write /proc/sys/fs/file-max here";
    }
    lowered = read_file_table("/proc");
    guard.restore();
  }
  EXPECT_EQ(read_file_table("/proc")->maximum, before->maximum);
  ASSERT_TRUE(lowered);
  ASSERT_LT(lowered->maximum, before->maximum);
  ExplainFacts facts;
  facts.file_table = lowered;
  Evidence evidence;
  evidence.filesystem.total_bytes = evidence.filesystem.available_bytes = evidence.filesystem.free_bytes = 1 << 30;
  const std::vector<Finding> findings = find_findings(evidence, Diagnosis{}, facts);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, "system_file_limit");
  EXPECT_NE(findings[0].summary.find("against fs.file-max " + grouped_number(lowered->maximum)), std::string::npos)
      << findings[0].summary;
}

// ---------------------------------------------------------------------------
// A chroot whose root is a plain directory: no mount table line holds it.

TEST(ScenarioChroot, APlainDirectoryRootHasNoMount) {
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::can_unshare("-m --propagation private", &skip_reason));
  testing::TempDir dir;
  // In a private mount namespace every mount below goes away with it.
  const std::string script =
      "set -e\n"
      "mount -t tmpfs -o size=256m none \"$1\"\n"
      "root=\"$1/root\"\n"
      "mkdir -p \"$root/proc\" \"$root/var/log\"\n"
      "cp \"$0\" \"$root/brimful\"\n"
      "for lib in $(ldd \"$0\" | grep -o '/[^ ]*'); do\n"
      "  mkdir -p \"$root$(dirname \"$lib\")\"; cp \"$lib\" \"$root$lib\"\n"
      "done\n"
      "mount -t proc proc \"$root/proc\"\n"
      "set +e\n"
      "chroot \"$root\" /brimful /var/log --check > \"$1/../text\"; echo $? > \"$1/../status\"\n"
      "chroot \"$root\" /brimful /var/log --json > \"$1/../json\"\n";
  testing::make_dir(dir / "fs");
  const RunResult r = testing::run_program(
      {"unshare", "-m", "--propagation", "private", "sh", "-c", script, BRIMFUL_BINARY, dir / "fs"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::read_file(dir / "status"), "0\n");
  const std::string text = testing::read_file(dir / "text");
  EXPECT_EQ(text.substr(0, text.find("\nChecks:")),
            "Target: /var/log\n"
            "Filesystem: unknown\n"
            "Mount: unknown (not in this process's mount table)\n"
            "Type: tmpfs\n")
      << text;
  EXPECT_NE(text.find("\n  mount option ro  unknown\n\nOK: no supported failure detected\n"), std::string::npos)
      << text;
  const std::string json = testing::read_file(dir / "json");
  EXPECT_NE(json.find("  \"probe_directory\": \"/var/log\",\n  \"mount\": null,\n  \"filesystem\": {\n"),
            std::string::npos)
      << json;
  EXPECT_EQ(json_value(json, "inode_accounting_supported"), "false");
  std::string no_checker;
  if (testing::have_report_checker(&no_checker)) {
    EXPECT_EQ(testing::check_reports({json}), std::vector<std::string>{"ok"}) << json;
  }
}

// A process named with terminal control sequences that holds a deleted file
// whose name would forge a report line: both are shown, neither is obeyed.
TEST(ScenarioProcess, HostileNamesAreShownEscaped) {
  REQUIRE_ISOLATED_MOUNTS();
  testing::TempDir dir;
  testing::TempDir control;
  ScopedMount mount("tmpfs", "none", "size=1m", dir.path());
  ASSERT_TRUE(mount.ok()) << mount.error();
  const std::string root = testing::canonical(dir.path());
  const std::string script =
      "mkfifo \"$1/hold\"\n"
      "\"$2\" --name \"$3\" deleted \"$4\" 262144 < \"$1/hold\" > \"$1/ready\" &\n"
      "exec 4> \"$1/hold\"\n"
      "i=0; while ! grep -q ready \"$1/ready\" 2>/dev/null; do\n"
      "  i=$((i+1)); [ $i -lt 400 ] || exit 91; sleep 0.05\n"
      "done\n"
      "stat -f -c '%a %S %d' \"$5\" > \"$1/statfs\"\n"
      "\"$0\" \"$5\" --verbose > \"$1/text\"; echo $? > \"$1/status\"\n"
      "\"$0\" \"$5\" --json > \"$1/json\"; echo $? >> \"$1/status\"\n"
      "exec 4>&-\n"
      "wait\n";
  const RunResult r = testing::run_program(
      {"unshare", "-pf", "--mount-proc", "sh", "-c", script, BRIMFUL_BINARY, control.path(), BRIMFUL_FIXTURE,
       "\x1b[31mEVIL\x1b[0m", root + "/held\nfake line \x1b[2J", root});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::read_file(control / "status"), "0\n0\n");
  const std::vector<std::string> ready = split(testing::read_file(control / "ready"), '\n');
  ASSERT_EQ(ready.size(), 3u);
  const std::vector<std::string> parent = words(ready[1]);  // pid fd fd

  // The counts as they were while the file was held: available blocks,
  // block size, free inodes.
  std::string statfs = testing::read_file(control / "statfs");
  if (!statfs.empty() && statfs.back() == '\n') statfs.pop_back();
  const std::vector<std::string> counts = words(statfs);
  ASSERT_EQ(counts.size(), 3u);
  const std::string text = testing::read_file(control / "text");
  const std::string expected =
      "Target: " + root + "\n"
      "Filesystem: unknown\n"
      "Mount: " + root + "\n"
      "Type: tmpfs\n"
      "\n"
      "Checks:\n"
      "  file probe       OK\n"
      "  available space  " + human_size(std::stoull(counts[0]) * std::stoull(counts[1])) + "\n"
      "  free inodes      " + counts[2] + " (not authoritative for this filesystem)\n"
      "  inotify init     OK\n"
      "  inotify watch    OK\n"
      "  read-only        no\n"
      "  mount option ro  no\n"
      "\n"
      "OK: no supported failure detected\n"
      "\n"
      "Deleted-open files:\n"
      "  \\x1b[31mEVIL\\x1b[0m PID " + parent[0] + " FD " + parent[1] + "\n"
      "    " + root + "/held\\nfake line \\x1b[2J (deleted)\n"
      "    allocated: 256.0 KiB\n"
      "    holders: 3\n"
      "\n"
      "Inotify usage (current UID):\n";
  EXPECT_EQ(text.substr(0, expected.size()), expected);
  // The rest is the usage against the host's limits; the scan was complete.
  const std::regex usage("  watches                0 [^\n]*\n  instances              0 [^\n]*\n"
                         "  assessment             new instance and watch created successfully\n");
  EXPECT_TRUE(std::regex_match(text.substr(std::min(expected.size(), text.size())), usage)) << text;

  const std::string json = testing::read_file(control / "json");
  EXPECT_TRUE(testing::JsonSyntax::valid(json)) << json;
  EXPECT_NE(json.find("        \"path\": \"" + root + "/held\\nfake line \\u001b[2J (deleted)\",\n"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"process\": \"\\u001b[31mEVIL\\u001b[0m\",\n"), std::string::npos) << json;
  EXPECT_EQ(json_value(json, "complete"), "true");
}

// A caller's low soft descriptor limit is not brimful's: the scan raises it
// to the hard limit and reads every process.
TEST(ScenarioProcess, LowSoftDescriptorLimitStillScansEverything) {
  SKIP_UNLESS(testing::can_unshare("-pf --mount-proc", &skip_reason));
  const RunResult r = testing::run_program({"unshare", "-pf", "--mount-proc", "prlimit", "--nofile=6:1024",
                                            BRIMFUL_BINARY, "/", "--json", "--no-probe"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_value(r.out, "processes_inaccessible"), "0");
  EXPECT_EQ(json_value(r.out, "complete"), "true");
}

// ---------------------------------------------------------------------------
// The published schema against real reports of every shape: probes run and
// not run, errors, deleted-open files with holders, inotify consumers,
// contributing space, notes, findings and the view of another process.

TEST(ScenarioSchema, ReportsOfEveryShapeMatchTheSchema) {
  SKIP_UNLESS(testing::have_report_checker(&skip_reason));
  testing::TempDir dir;
  SKIP_UNLESS(testing::mount_table_shows(dir.path(), &skip_reason));
  std::vector<std::pair<std::string, RunResult>> runs;
  runs.emplace_back("missing path without probes", testing::run_brimful({dir / "missing/deeper", "--json", "--no-probe"}));
  runs.emplace_back("directory with probes", testing::run_brimful({dir.path(), "--json"}));
  // This test process shares brimful's namespaces, so no privilege is needed
  // to speak for it.
  runs.emplace_back("as this process sees it, with findings",
                    testing::run_brimful({dir.path(), "--json", "--explain", "--pid", std::to_string(::getpid())}));
  EXPECT_NE(runs.back().second.out.find("\n  \"as_seen_by\": {"), std::string::npos) << runs.back().second.out;
  std::string without_mounts;
  if (testing::can_mount(&without_mounts)) {
    const std::string full = dir / "full";
    const std::string read_only = dir / "ro";
    const std::string no_inodes = dir / "no-inodes";
    for (const std::string& point : {full, read_only, no_inodes}) testing::make_dir(point);
    ScopedMount full_mount("tmpfs", "none", "size=1m", full);
    ScopedMount read_only_mount("tmpfs", "none", "size=1m,ro", read_only);
    ScopedMount no_inodes_mount("tmpfs", "none", "size=1m,nr_inodes=8", no_inodes);
    ASSERT_TRUE(full_mount.ok() && read_only_mount.ok() && no_inodes_mount.ok());
    testing::Fixture deleted({BRIMFUL_FIXTURE, "deleted", full + "/held", "65536"});
    testing::Fixture inotify({BRIMFUL_FIXTURE, "inotify", "2", dir.path(), "3"});
    ASSERT_TRUE(deleted.ready() && inotify.ready());
    fill_blocks(full);
    fill_inodes(no_inodes);
    runs.emplace_back("full tmpfs with a deleted-open file", testing::run_brimful({full, "--json"}));
    runs.emplace_back("read-only tmpfs", testing::run_brimful({read_only, "--json"}));
    runs.emplace_back("tmpfs without inodes", testing::run_brimful({no_inodes, "--json"}));
    runs.emplace_back("findings on a tmpfs without inodes", testing::run_brimful({no_inodes, "--json", "--explain"}));
    EXPECT_NE(runs.back().second.out.find("\"kind\": \"tmpfs_inode_limit\""), std::string::npos)
        << runs.back().second.out;
    runs.emplace_back("inotify consumers", testing::run_brimful({dir.path(), "--json", "--no-probe"}));
    EXPECT_NE(runs.back().second.out.find("\"instances\": 2,"), std::string::npos) << runs.back().second.out;
  }

  std::vector<std::string> documents;
  for (const auto& [name, run] : runs) {
    EXPECT_EQ(run.status, 0) << name << ": " << run.err;
    documents.push_back(run.out);
  }
  const std::vector<std::string> verdicts = testing::check_reports(documents);
  ASSERT_EQ(verdicts.size(), documents.size()) << ::testing::PrintToString(verdicts);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(verdicts[i], "ok") << runs[i].first << "\n" << documents[i];
  }
  if (!without_mounts.empty()) GTEST_SKIP() << "checked the reports that need no mounts; " << without_mounts;
}

}  // namespace
}  // namespace brimful

namespace brimful {
namespace {

// The kernel of the child refuses statmount() and listmount() as kernels
// before 6.8 do, so brimful reads /proc/self/mountinfo instead.
void without_mount_calls() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 457, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 458, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(125);
  }
}

// The line of the summary table that starts with the mount point.
std::string summary_row(const std::string& text, const std::string& mount_point) {
  std::istringstream lines(text.substr(0, text.find("\n\n")));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(mount_point + " ", 0) == 0) return line;
  }
  return "";
}

// --all on a host with a full tmpfs (holding a deleted file open) beside a
// healthy one and a bind of it: each shows once with its own verdict and
// deleted-open bytes, in the table, the JSON and the metrics, and a kernel
// without the mount calls gives the same report on them.
TEST(HostScenario, FullTmpfsAmongHealthyOnes) {
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::have_report_checker(&skip_reason));
  testing::TempDir dir;
  const std::string full = dir / "full";
  const std::string healthy = dir / "healthy";
  const std::string again = dir / "healthy-again";
  for (const std::string& path : {full, healthy, again}) testing::make_dir(path);
  ScopedMount full_mount("tmpfs", "brimful-full", "size=256k", full);
  ScopedMount healthy_mount("tmpfs", "brimful-healthy", "size=4m", healthy);
  ScopedMount bind_mount("none", healthy, "bind", again);
  ASSERT_TRUE(full_mount.ok() && healthy_mount.ok() && bind_mount.ok()) << full_mount.error();
  testing::write_file(full + "/held", std::string(65536, 'x'));
  const int held = ::open((full + "/held").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ::unlink((full + "/held").c_str());
  fill_blocks(full);

  const RunResult text = testing::run_brimful({"--all", "--check"});
  EXPECT_EQ(text.status, 1) << text.err;
  EXPECT_EQ(summary_row(text.out, again), "");
  const std::string full_row = summary_row(text.out, full);
  const std::string healthy_row = summary_row(text.out, healthy);
  EXPECT_TRUE(std::regex_match(full_row.substr(std::min(full.size(), full_row.size())),
                               std::regex(" +tmpfs +0 B +[0-9]+ +64\\.0 KiB +CONFIRMED: filesystem space exhausted")))
      << full_row;
  EXPECT_TRUE(std::regex_match(healthy_row.substr(std::min(healthy.size(), healthy_row.size())),
                               std::regex(" +tmpfs +4\\.0 MiB +[0-9]+ +0 B +OK")))
      << text.out;
  EXPECT_NE(text.out.find("\nTarget: " + full + "\n"), std::string::npos);
  EXPECT_EQ(text.out.find("Target: " + healthy + "\n"), std::string::npos);

  const RunResult metrics = testing::run_brimful({"--all", "--prometheus"});
  const std::string full_labels =
      "{path=\"" + full + "\",mountpoint=\"" + full + "\",fstype=\"tmpfs\",device=\"brimful-full\"";
  EXPECT_NE(metrics.out.find("brimful_status" + full_labels + ",status=\"confirmed\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics.out.find("brimful_deleted_open_bytes" + full_labels + "} 65536\n"), std::string::npos);
  EXPECT_NE(metrics.out.find("brimful_status{path=\"" + healthy + "\",mountpoint=\"" + healthy +
                             "\",fstype=\"tmpfs\",device=\"brimful-healthy\",status=\"no_supported_failure\"} 1\n"),
            std::string::npos);
  EXPECT_EQ(metrics.out.find("path=\"" + again + "\""), std::string::npos);

  // The reports on this test's mounts, both ways.
  const std::string script =
      "import json, sys\n"
      "for f in json.load(open(sys.argv[1]))['filesystems']:\n"
      "    if f['target'].startswith(sys.argv[2]):\n"
      "        print(f['target'], json.dumps([f['mount'], f['create_probe'], f['diagnosis'],\n"
      "              [d['allocated_bytes'] for d in f['proc_scan']['deleted_open']]]))\n";
  const auto reports_of = [&](const RunResult& run) {
    EXPECT_EQ(testing::check_reports({run.out}, "brimful-host-report.schema.json"), std::vector<std::string>{"ok"});
    testing::write_file(dir / "host.json", run.out);
    return testing::run_program({"python3", "-c", script, dir / "host.json", dir.path()}).out;
  };
  const std::string by_calls = reports_of(testing::run_brimful({"--all", "--json"}));
  const std::string by_file =
      reports_of(testing::run_program({BRIMFUL_BINARY, "--all", "--json"}, "", without_mount_calls));
  EXPECT_NE(by_calls.find(full + " [{\"mount_id\""), std::string::npos) << by_calls;
  EXPECT_NE(by_calls.find("[65536]]"), std::string::npos) << by_calls;
  EXPECT_EQ(by_calls, by_file);
  ::close(held);
}

}  // namespace
}  // namespace brimful
