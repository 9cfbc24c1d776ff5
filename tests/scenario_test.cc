// Scenarios on real mounts: only the kernel can tell what a full tmpfs, a
// loop-mounted ext4 image or a read-only mount really answer. Each first
// checks that the machine gives it what it needs (root, mounts, namespaces,
// loop devices, tools) and skips with the reason otherwise; each builds and
// removes its own mounts.

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>

#include "test_util.h"

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

TEST(ScenarioMount, AMountTableBrimfulCannotReadEndsTheRun) {
  REQUIRE_MOUNTS();
  SKIP_UNLESS(testing::can_unshare("-m --propagation private", &skip_reason));
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
  Ext4Image(const testing::TempDir& dir, const std::string& mkfs_options)
      : image_(dir / "ext4.img"), point_(dir / "ext4") {
    testing::make_dir(point_);
    made_ = testing::shell("truncate -s 16M '" + image_ + "' && mkfs.ext4 -q -F -m 0 -b 4096 " + mkfs_options +
                           " '" + image_ + "'") == 0;
    if (made_) mount_ = std::make_unique<ScopedMount>("ext4", image_, "loop", point_);
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
  EXPECT_EQ(testing::run_program({"losetup", "-j", dir / "ext4.img", "-n"}).out, "") << "loop device left behind";
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
// The published schema against real reports of every shape: probes run and
// not run, errors, deleted-open files with holders, inotify consumers,
// contributing space and notes.

TEST(ScenarioSchema, ReportsOfEveryShapeMatchTheSchema) {
  SKIP_UNLESS(testing::have_report_checker(&skip_reason));
  testing::TempDir dir;
  SKIP_UNLESS(testing::mount_table_shows(dir.path(), &skip_reason));
  std::vector<std::pair<std::string, RunResult>> runs;
  runs.emplace_back("missing path without probes", testing::run_brimful({dir / "missing/deeper", "--json", "--no-probe"}));
  runs.emplace_back("directory with probes", testing::run_brimful({dir.path(), "--json"}));
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
