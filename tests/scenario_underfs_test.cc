// Findings about what lies under the filesystem, each on the real thing: a
// loop image, a tmpfs, an overlay or a FUSE daemon of its own. They need
// root and the filesystem in the kernel, and skip otherwise.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"

namespace brimful {
namespace {

using testing::RunResult;
using testing::ScopedMount;

bool kernel_has(const std::string& type) {
  std::ifstream filesystems("/proc/filesystems");
  std::string line;
  while (std::getline(filesystems, line)) {
    if (line.substr(line.find('\t') + 1) == type) return true;
  }
  return false;
}

bool have_program(const std::string& name) { return testing::shell("command -v " + name + " >/dev/null") == 0; }

bool kernel_log_readable() { return access("/dev/kmsg", R_OK) == 0; }

#define REQUIRE(type, tool)                                                                          \
  do {                                                                                               \
    if (!testing::running_as_root()) GTEST_SKIP() << "needs root to mount filesystems";              \
    if (!kernel_has(type)) GTEST_SKIP() << "this kernel has no " << (type) << " filesystem";         \
    if (*(tool) != '\0' && !have_program(tool)) GTEST_SKIP() << (tool) << " is not installed";       \
  } while (0)

// A sparse image made by MKFS and mounted through a loop device of its own
// for one test; the loop device goes with the mount, or by hand should that
// fail.
class LoopImage {
 public:
  LoopImage(const std::string& image, const std::string& size, const std::string& mkfs, const std::string& type,
            const std::string& options, const std::string& point)
      : image_(image), point_(point) {
    testing::make_dir(point_);
    if (testing::shell("truncate -s " + size + " '" + image_ + "' && " + mkfs + " '" + image_ + "' >/dev/null") != 0) {
      return;
    }
    mount_ = std::make_unique<ScopedMount>(type, image_, options.empty() ? "loop" : "loop," + options, point_);
  }
  ~LoopImage() {
    mount_.reset();
    testing::shell("losetup -j '" + image_ + "' -O NAME -n | xargs -r -n1 losetup -d");
  }
  bool ok() const { return mount_ && mount_->ok(); }
  std::string error() const { return mount_ ? mount_->error() : "mkfs failed"; }
  const std::string& point() const { return point_; }
  // The kernel's name of the loop device ("loop3").
  std::string device() const {
    const std::string source = testing::run_program({"findmnt", "-n", "-o", "SOURCE", "--mountpoint", point_}).out;
    return source.substr(source.rfind('/') + 1, source.find('\n') - source.rfind('/') - 1);
  }

 private:
  std::string image_;
  std::string point_;
  std::unique_ptr<ScopedMount> mount_;
};

// Creates files of the given name length in directory until creating fails;
// returns that errno and counts the files made.
int create_until_failure(const std::string& directory, std::size_t name_length, std::size_t& made,
                         std::size_t bytes = 0) {
  const std::string data(bytes, 'x');
  for (made = 0;; ++made) {
    std::string name = std::to_string(made);
    name.resize(name_length, 'n');
    const int fd = open((directory + "/" + name).c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    const bool written = bytes == 0 || write(fd, data.data(), bytes) == static_cast<ssize_t>(bytes);
    close(fd);
    if (!written) return ENOSPC;
  }
}

struct Found {
  std::string kind;
  std::string summary;
  std::string remedy;
};

// The findings of a JSON report, in order, their strings as written.
std::vector<Found> findings_of(const std::string& json) {
  std::vector<Found> found;
  static const std::regex item(
      "\\{\\s*\"kind\": \"([a-z_]+)\",\\s*\"summary\": \"((?:[^\"\\\\]|\\\\.)*)\",\\s*\"remedy\": "
      "\"((?:[^\"\\\\]|\\\\.)*)\"\\s*\\}");
  const std::size_t at = json.find("\n  \"findings\": [");
  if (at == std::string::npos) return found;
  for (std::sregex_iterator it(json.begin() + static_cast<long>(at), json.end(), item), end; it != end; ++it) {
    found.push_back(Found{(*it)[1], (*it)[2], (*it)[3]});
  }
  return found;
}

const Found* finding(const std::vector<Found>& found, const std::string& kind) {
  for (const Found& f : found) {
    if (f.kind == kind) return &f;
  }
  return nullptr;
}

std::string kinds(const std::vector<Found>& found) {
  std::string names;
  for (const Found& f : found) names += f.kind + " ";
  return names;
}

std::vector<Found> explain(const std::string& path, std::vector<std::string> options = {}) {
  std::vector<std::string> args{path, "--json", "--explain"};
  args.insert(args.end(), options.begin(), options.end());
  const RunResult r = testing::run_brimful(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return findings_of(r.out);
}

TEST(ScenarioUnderFs, Ext4DirectoryIndexFull) {
  REQUIRE("ext4", "mkfs.ext4");
  testing::TempDir dir;
  LoopImage image(dir / "img", "64M", "mkfs.ext4 -q -F -b 1024 -N 32768 -O ^large_dir", "ext4", "", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  const std::string big = image.point() + "/big";
  testing::make_dir(big);
  std::size_t made = 0;
  ASSERT_EQ(create_until_failure(big, 248, made), ENOSPC);
  struct stat status {};
  ASSERT_EQ(stat(big.c_str(), &status), 0);

  const std::vector<Found> found = explain(big);
  const Found* full = finding(found, "directory_full");
  ASSERT_NE(full, nullptr) << kinds(found);
  if (kernel_log_readable()) {
    EXPECT_NE(finding(found, "kernel_messages"), nullptr);
    const std::regex summary(
        "a directory's hashed index is full, so creating a file in it fails with ENOSPC although blocks and inodes "
        "are free \\(a short name may still fit\\): \\\\\"EXT4-fs warning \\(device " + image.device() +
        "\\): [^\"]*Directory \\(ino: " + std::to_string(status.st_ino) +
        "\\) index full, reach max htree level :2\\\\\" \\([0-9]+ s ago\\); inode [0-9]+ is the probe directory " +
        big);
    EXPECT_TRUE(std::regex_match(full->summary, summary)) << full->summary;
  }
  EXPECT_EQ(full->remedy,
            "fix: `tune2fs -O large_dir /dev/" + image.device() + "`, or spread the files over subdirectories");
}

TEST(ScenarioUnderFs, Ext4MaxDirSize) {
  REQUIRE("ext4", "mkfs.ext4");
  testing::TempDir dir;
  LoopImage image(dir / "img", "16M", "mkfs.ext4 -q -F", "ext4", "max_dir_size_kb=16", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  std::size_t made = 0;
  ASSERT_EQ(create_until_failure(image.point(), 160, made), ENOSPC);

  const std::vector<Found> found = explain(image.point());
  const Found* full = finding(found, "directory_full");
  ASSERT_NE(full, nullptr) << kinds(found);
  EXPECT_EQ(full->summary, "the directory " + image.point() +
                               " is 16.0 KiB, the max_dir_size_kb=16 limit of this mount: a new name that needs "
                               "another directory block fails with ENOSPC although blocks and inodes are free");
  EXPECT_EQ(full->remedy, "fix: remount with a larger max_dir_size_kb, or spread the files over subdirectories");
}

// A filesystem in a sparse image on a small tmpfs: writing into it fills
// the tmpfs long before the filesystem inside looks full.
void fill_through_loop(const std::string& type, const std::string& mkfs, const std::string& size,
                       const std::string& tmpfs_size) {
  testing::TempDir dir;
  const std::string under = dir / "under";
  testing::make_dir(under);
  ScopedMount tmpfs("tmpfs", "none", "size=" + tmpfs_size.substr(0, tmpfs_size.find('.')) + "m", under);
  ASSERT_TRUE(tmpfs.ok()) << tmpfs.error();
  LoopImage image(under + "/img", size, mkfs, type, "", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  std::size_t made = 0;
  create_until_failure(image.point(), 8, made, 1 << 20);
  testing::shell("sync -f '" + image.point() + "' 2>/dev/null");

  const std::vector<Found> found = explain(image.point(), {"--no-probe"});
  const Found* backing = finding(found, "loop_backing_full");
  ASSERT_NE(backing, nullptr) << type;
  const std::regex summary("the loop device " + image.device() + " keeps its data in " + under +
                           "/img, which lies on tmpfs at " + under + " with 0 B of " + tmpfs_size +
                           " available and [0-9,]+ of [0-9,]+ inodes free: writes the loop device cannot place there "
                           "fail \\(ENOSPC or EIO\\) whatever this filesystem's own numbers say(; the kernel logged "
                           "\\\\\"critical space allocation error, dev " + image.device() + ", .*)?");
  EXPECT_TRUE(std::regex_match(backing->summary, summary)) << backing->summary;
  EXPECT_EQ(backing->remedy, "fix: free space on " + under + ", where the backing file lives");
}

TEST(ScenarioUnderFs, XfsAndExt4OnAFullBackingFilesystem) {
  REQUIRE("ext4", "mkfs.ext4");
  fill_through_loop("ext4", "mkfs.ext4 -q -F", "64M", "24.0 MiB");
  if (!kernel_has("xfs") || !have_program("mkfs.xfs")) GTEST_SKIP() << "no XFS here";
  // mkfs.xfs writes the whole log, so the tmpfs is larger here.
  fill_through_loop("xfs", "mkfs.xfs -q -f", "320M", "96.0 MiB");
}

TEST(ScenarioUnderFs, Ext4AfterAnError) {
  REQUIRE("ext4", "mkfs.ext4");
  testing::TempDir dir;
  LoopImage image(dir / "img", "16M", "mkfs.ext4 -q -F", "ext4", "errors=remount-ro", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  const std::string trigger = "/sys/fs/ext4/" + image.device() + "/trigger_fs_error";
  if (access(trigger.c_str(), W_OK) != 0) GTEST_SKIP() << "this kernel cannot trigger an ext4 error";
  testing::write_file(trigger, "1\n");

  const RunResult r = testing::run_brimful({image.point(), "--json", "--explain"});
  const std::vector<Found> found = findings_of(r.out);
  const Found* errors = finding(found, "filesystem_errors");
  ASSERT_NE(errors, nullptr) << r.out;
  EXPECT_EQ(errors->summary.substr(0, errors->summary.find(';')),
            "the kernel stopped writes to this filesystem after an error: the mount options show emergency_ro");
  EXPECT_NE(errors->summary.find("; ext4 has recorded 1 error (errors_count)"), std::string::npos);
  EXPECT_EQ(errors->remedy,
            "check: unmount it and run `fsck -f /dev/" + image.device() + "`; `mount -o remount,rw` will not help");
  if (kernel_log_readable()) {
    const Found* log = finding(found, "kernel_messages");
    ASSERT_NE(log, nullptr);
    EXPECT_NE(log->summary.find("\\\"EXT4-fs error (device " + image.device() + "): trigger_test_error:"),
              std::string::npos)
        << log->summary;
  }
}

// Forges lines into the machine's one kernel log and takes a loop device
// name over: it runs alone (see the serial lock).
TEST(ScenarioUnderFs, TheKernelLogSpeaksOnlyForTheFilesystemItStarted) {
  REQUIRE("squashfs", "mksquashfs");
  REQUIRE("ext4", "mkfs.ext4");
  if (!kernel_log_readable()) GTEST_SKIP() << "the kernel log is not readable here";
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("-Urm", &skip_reason));
  testing::TempDir dir;
  // Any user can have the kernel log "tmpfs: Unknown parameter 'TEXT'".
  auto forge = [](const std::string& text) {
    testing::shell("setpriv --reuid=65534 --regid=65534 --clear-groups unshare -Urm mount -t tmpfs -o '" + text +
                   "' none / 2>/dev/null");
  };
  std::string name;
  {
    LoopImage ext4(dir / "ext4", "16M", "mkfs.ext4 -q -F", "ext4", "errors=continue", dir / "m");
    ASSERT_TRUE(ext4.ok()) << ext4.error();
    name = ext4.device();
    forge("EXT4-fs error (device " + name + "): ext4_journal_check_start:83: comm x: Detected aborted journal");
    const std::vector<Found> found = explain(dir / "m", {"--no-probe"});
    EXPECT_EQ(finding(found, "filesystem_errors"), nullptr);
    EXPECT_EQ(finding(found, "kernel_messages"), nullptr);
    // A forged mount line hides no error the kernel logged before it.
    const std::string trigger = "/sys/fs/ext4/" + name + "/trigger_fs_error";
    if (access(trigger.c_str(), W_OK) != 0) GTEST_SKIP() << "this kernel cannot trigger an ext4 error";
    testing::write_file(trigger, "1\n");
    forge("EXT4-fs (" + name + "): mounted filesystem");
    EXPECT_NE(finding(explain(dir / "m", {"--no-probe"}), "kernel_messages"), nullptr);
  }
  // squashfs logs no mount line: on the reused loop device, the ext4's error is not its own.
  ASSERT_EQ(testing::shell("mksquashfs " + dir / "m" + " " + dir / "squashfs" + " -quiet >/dev/null"), 0);
  ScopedMount squashfs("squashfs", dir / "squashfs", "ro,loop=/dev/" + name, dir / "m");
  if (!squashfs.ok()) GTEST_SKIP() << "another test took " << name << " in the meantime: " << squashfs.error();
  EXPECT_EQ(finding(explain(dir / "m", {"--no-probe"}), "kernel_messages"), nullptr);
}

// The upper directory's name holds a comma, which overlayfs's options
// escape with a backslash of their own.
TEST(ScenarioUnderFs, OverlayOverAFullTmpfs) {
  REQUIRE("overlay", "");
  testing::TempDir dir;
  const std::string under = dir / "under";
  testing::make_dir(under);
  ScopedMount tmpfs("tmpfs", "none", "size=1m", under);
  ASSERT_TRUE(tmpfs.ok()) << tmpfs.error();
  for (const char* sub : {"lower", "merged"}) testing::make_dir(dir / sub);
  for (const char* sub : {"/up,per", "/work"}) testing::make_dir(under + sub);
  ScopedMount overlay("overlay", "overlay",
                      "lowerdir=" + dir / "lower" + ",upperdir=" + under + "/up\\,per,workdir=" + under + "/work",
                      dir / "merged");
  ASSERT_TRUE(overlay.ok()) << overlay.error();
  std::size_t made = 0;
  create_until_failure(dir / "merged", 8, made, 64 << 10);

  std::vector<Found> found = explain(dir / "merged");
  const Found* upper = finding(found, "overlay_upper");
  ASSERT_NE(upper, nullptr) << kinds(found);
  EXPECT_EQ(upper->summary.substr(0, upper->summary.find(" with ")),
            "overlayfs writes new and changed files to its upper directory " + under + "/up,per, on tmpfs at " + under);
  EXPECT_EQ(upper->remedy, "fix: free space on " + under + ", where the upper directory lies");

  ASSERT_TRUE(tmpfs.remount("ro"));
  found = explain(dir / "merged", {"--no-probe"});
  upper = finding(found, "overlay_upper");
  ASSERT_NE(upper, nullptr) << kinds(found);
  EXPECT_NE(upper->summary.find(", which is read-only: every write through the overlay fails with EROFS"),
            std::string::npos) << upper->summary;
  EXPECT_EQ(upper->remedy.substr(0, upper->remedy.find('(')), "fix: make " + under + " writable again ");
}

TEST(ScenarioUnderFs, BtrfsAllocation) {
  REQUIRE("btrfs", "mkfs.btrfs");
  testing::TempDir dir;
  LoopImage image(dir / "img", "256M", "mkfs.btrfs -q -f", "btrfs", "", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  const std::vector<Found> found = explain(image.point(), {"--no-probe"});
  const Found* allocation = finding(found, "btrfs_allocation");
  ASSERT_NE(allocation, nullptr) << kinds(found);
  const std::regex summary(
      "btrfs has allocated [0-9.]+ [KMG]?i?B for data \\([0-9.]+ [KMG]?i?B used\\) and [0-9.]+ [KMG]?i?B for metadata "
      "\\([0-9.]+ [KMG]?i?B used, with reservations\\); [0-9.]+ [KMG]?i?B of 256.0 MiB of the device is unallocated; "
      "btrfs has no fixed inode table, it makes inodes from metadata space, so the inode numbers statvfs shows do "
      "not apply");
  EXPECT_TRUE(std::regex_match(allocation->summary, summary)) << allocation->summary;
  EXPECT_EQ(allocation->remedy, "check: `btrfs filesystem usage " + image.point() + "`");
}

// Data chunks full with metadata room: balance cannot help, a snapshot
// keeps what is deleted; the read-only snapshot itself refuses writes.
TEST(ScenarioUnderFs, BtrfsDataFullAndAReadOnlySnapshot) {
  REQUIRE("btrfs", "mkfs.btrfs");
  testing::TempDir dir;
  LoopImage image(dir / "img", "256M", "mkfs.btrfs -q -f", "btrfs", "", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  const std::string snapshot = image.point() + "/snap";
  ASSERT_EQ(testing::shell("dd if=/dev/urandom of=" + image.point() + "/fill bs=1M 2>/dev/null; sync; "
                           "btrfs -q subvolume snapshot -r " + image.point() + " " + snapshot),
            0);

  std::vector<Found> found = explain(image.point(), {"--no-probe"});
  const Found* allocation = finding(found, "btrfs_allocation");
  ASSERT_NE(allocation, nullptr) << kinds(found);
  EXPECT_NE(allocation->summary.find("; the data chunks are full and nothing is left to allocate, so writes fail "
                                     "with ENOSPC while metadata has room; the filesystem has 1 snapshot, which keep "
                                     "what was deleted after they were taken;"),
            std::string::npos) << allocation->summary;
  EXPECT_EQ(allocation->remedy, "fix: delete data, and snapshots that hold deleted data, or add a device (`btrfs "
                                "device add DEVICE " + image.point() + "`); balance will not help");

  found = explain(snapshot);
  EXPECT_EQ(finding(found, "btrfs_allocation"), nullptr);
  const Found* read_only = finding(found, "btrfs_read_only_subvolume");
  ASSERT_NE(read_only, nullptr) << kinds(found);
  EXPECT_EQ(read_only->remedy.substr(0, read_only->remedy.find(';')), "check: `btrfs property get " + snapshot + " ro`");
}

TEST(ScenarioUnderFs, XfsInodeShareUsedUp) {
  REQUIRE("xfs", "mkfs.xfs");
  testing::TempDir dir;
  LoopImage image(dir / "img", "320M", "mkfs.xfs -q -f -i maxpct=1", "xfs", "", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  std::size_t made = 0;
  ASSERT_EQ(create_until_failure(image.point(), 8, made), ENOSPC);

  const std::vector<Found> found = explain(image.point());
  const Found* limit = finding(found, "xfs_inode_limit");
  ASSERT_NE(limit, nullptr) << kinds(found);
  const std::regex summary("XFS lets inodes take at most 1% of its space \\(imaxpct\\), and all [0-9,]+ inodes that "
                           "fit are in use while [0-9.]+ MiB of [0-9.]+ MiB is available, so creating a file fails with "
                           "ENOSPC");
  EXPECT_TRUE(std::regex_match(limit->summary, summary)) << limit->summary;
  EXPECT_EQ(limit->remedy, "fix: `xfs_growfs -m PERCENT " + image.point() + "` with a PERCENT above 1, or remove files");
}

TEST(ScenarioUnderFs, XfsFreeSpaceTooFragmentedForInodes) {
  REQUIRE("xfs", "mkfs.xfs");
  testing::TempDir dir;
  LoopImage image(dir / "img", "320M", "mkfs.xfs -q -f -i sparse=0", "xfs", "", dir / "m");
  ASSERT_TRUE(image.ok()) << image.error();
  // One block per file until nothing fits, then every other file gives its
  // block back: free space in one-block pieces, every inode chunk in use.
  testing::make_dir(image.point() + "/empty");
  std::size_t made = 0;
  create_until_failure(image.point(), 8, made, 4096);
  for (std::size_t i = 0; i < made; i += 2) {
    std::string name = std::to_string(i);
    name.resize(8, 'n');
    ASSERT_EQ(truncate((image.point() + "/" + name).c_str(), 0), 0);
  }
  // Empty files then take what inodes and chunk-sized pieces are left.
  create_until_failure(image.point() + "/empty", 8, made);
  testing::shell("sync -f '" + image.point() + "'");

  const std::vector<Found> found = explain(image.point());
  const Found* fragmented = finding(found, "xfs_free_space_fragmented");
  ASSERT_NE(fragmented, nullptr) << kinds(found);
  const std::regex summary(
      "the create probe failed with ENOSPC while [0-9.]+ [KMG]?i?B is available and [0-9,]+ inodes are free: this XFS "
      "has no sparse inode chunks, so new inodes need 8 contiguous, aligned blocks \\(64 inodes of 512 bytes\\), "
      "which fragmented free space cannot give; [0-9,]+ of [0-9,]+ free extents \\((9[0-9]|100)\\.[0-9]%\\) are shorter; free "
      "extents by length in blocks: 1: [0-9,]+.*");
  EXPECT_TRUE(std::regex_match(fragmented->summary, summary)) << fragmented->summary;
}

TEST(ScenarioUnderFs, FuseDaemonAnswersEnospc) {
  REQUIRE("fuse", "");
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
  if (testing::shell("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0) GTEST_SKIP() << "python3-fusepy is missing";
  testing::TempDir dir;
  testing::make_dir(dir / "m");
  testing::Fixture daemon({"/usr/bin/python3", BRIMFUL_SOURCE_DIR "/tests/enospc_fuse.py", dir / "m"});
  ASSERT_TRUE(daemon.ready());

  const std::vector<Found> found = explain(dir / "m");
  const Found* fuse = finding(found, "fuse_backend");
  ASSERT_NE(fuse, nullptr) << kinds(found);
  const std::regex summary(
      "this is a FUSE filesystem \\(connection [0-9]+\\): its numbers and its errors come from the process that "
      "serves it, (.*, )?python3 PID " + daemon.lines().at(0) +
      "(, .*)?; an ENOSPC here is the backend's \\(a remote, a bucket, a quota\\) and cannot be confirmed locally; "
      "the create probe got ENOSPC while the filesystem reports 1.0 TiB available");
  EXPECT_TRUE(std::regex_match(fuse->summary, summary)) << fuse->summary;
}

// A process holds the root of a FUSE filesystem whose daemon is stopped, as
// its first descriptor, which the scan always examines: brimful on another
// filesystem looks at it without asking the daemon, and finishes.
TEST(ScenarioUnderFs, StoppedFuseDaemonDoesNotHoldTheScan) {
  REQUIRE("fuse", "");
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
  if (testing::shell("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0) GTEST_SKIP() << "python3-fusepy is missing";
  testing::TempDir dir;
  testing::make_dir(dir / "m");
  testing::Fixture daemon({"/usr/bin/python3", BRIMFUL_SOURCE_DIR "/tests/enospc_fuse.py", dir / "m"});
  ASSERT_TRUE(daemon.ready());
  const pid_t holder = fork();
  if (holder == 0) {
    if (dup2(open((dir / "m").c_str(), O_RDONLY | O_DIRECTORY), 0) == 0) pause();
    _exit(1);
  }
  const pid_t server = std::stoi(daemon.lines().at(0));
  struct Release {  // runs first when the test ends, however it ends
    pid_t holder, server;
    ~Release() {
      kill(server, SIGCONT);
      kill(holder, SIGKILL);
      waitpid(holder, nullptr, 0);
    }
  } release{holder, server};
  ASSERT_EQ(testing::shell("for i in $(seq 50); do ls -l /proc/" + std::to_string(holder) + "/fd/0 | grep -q '" +
                           dir / "m' && exit 0; sleep 0.1; done; exit 1"),
            0);
  ASSERT_EQ(kill(server, SIGSTOP), 0);
  const testing::RunResult result = testing::run_brimful({dir.path(), "--no-probe"});
  EXPECT_EQ(result.status, 0) << result.err;
}

// A FUSE filesystem at DIR/m whose daemon is stopped once a child holds its
// root as its working directory; or one that a set-up mounts under point,
// printing the daemon's PID, then its holder's. Whatever happens, the daemon
// is resumed, the holder killed and the mount lazily detached at the end.
class StoppedFuse {
 public:
  explicit StoppedFuse(const testing::TempDir& dir)
      : StoppedFuse(dir / "m", {"/usr/bin/python3", BRIMFUL_SOURCE_DIR "/tests/enospc_fuse.py", dir / "m"}) {}
  StoppedFuse(const std::string& point, const std::vector<std::string>& setup)
      : point_(point), daemon_((testing::make_dir(point_), setup)) {
    if (!daemon_.ready()) return;
    server_ = std::stoi(daemon_.lines().at(0));
    holder_ = daemon_.lines().size() > 1 ? std::stoi(daemon_.lines()[1]) : fork();
    if (holder_ == 0) {
      if (chdir(point_.c_str()) == 0) pause();
      _exit(1);
    }
    stopped_ = testing::shell("for i in $(seq 50); do ls -l /proc/" + std::to_string(holder_) + "/cwd | grep -q '" +
                              point_ + "' && exit 0; sleep 0.1; done; exit 1") == 0 &&
               kill(server_, SIGSTOP) == 0;
  }
  ~StoppedFuse() {
    if (server_ > 0) kill(server_, SIGCONT);
    if (holder_ > 0) {
      kill(holder_, SIGKILL);
      waitpid(holder_, nullptr, 0);
    }
    testing::shell("umount -l '" + point_ + "' 2>/dev/null");
  }
  bool stopped() const { return stopped_; }
  const std::string& point() const { return point_; }
  pid_t holder() const { return holder_; }

 private:
  std::string point_;
  testing::Fixture daemon_;
  pid_t server_ = -1;
  pid_t holder_ = -1;
  bool stopped_ = false;
};

#define REQUIRE_FUSE()                                                                                         \
  do {                                                                                                         \
    REQUIRE("fuse", "");                                                                                       \
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";                                 \
    if (testing::shell("/usr/bin/python3 -c 'import fusepy' 2>/dev/null") != 0) {                             \
      GTEST_SKIP() << "python3-fusepy is missing";                                                             \
    }                                                                                                          \
  } while (0)

// Entering the view of a process whose working directory lies on the
// stopped filesystem asks its daemon, which never answers: past the call's
// deadline brimful says so, sooner in a run bound tighter.
TEST(ScenarioUnderFs, StoppedFuseDaemonEndsTheRunAtItsBound) {
  REQUIRE_FUSE();
  testing::TempDir dir;
  StoppedFuse fuse(dir);
  ASSERT_TRUE(fuse.stopped());
  const std::string holder = std::to_string(fuse.holder());
  RunResult result = testing::run_brimful({"/", "--pid", holder});
  EXPECT_EQ(result.err, "brimful: cannot enter the working directory of process " + holder + ": " + fuse.point() +
                            " (fuse) did not answer within 2 s\n");
  result = testing::run_brimful({"/", "--pid", holder, "--timeout", "1"});
  EXPECT_EQ(result.status, 2);
  const std::regex within(".*: " + fuse.point() + " \\(fuse\\) did not answer within [0-9]+ ms\n");
  EXPECT_TRUE(std::regex_match(result.err, within)) << result.err;
}

// The daemon of a root-mounted FUSE filesystem is stopped: its statfs goes
// unanswered, and brimful goes on without its numbers and says so, alone
// and among every filesystem; --explain names the daemon.
TEST(ScenarioUnderFs, StoppedFuseDaemonLeavesItsNumbersOut) {
  REQUIRE_FUSE();
  testing::TempDir dir;
  StoppedFuse fuse(dir);
  ASSERT_TRUE(fuse.stopped());
  const std::string note = fuse.point() + " (fuse) did not answer within 2 s: its numbers are missing";
  for (const std::vector<std::string>& args : {std::vector<std::string>{fuse.point()}, {"--all"}}) {
    const RunResult result = testing::run_brimful(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(note), std::string::npos) << result.out;
  }
  const RunResult json = testing::run_brimful({fuse.point(), "--json", "--explain"});
  EXPECT_EQ(testing::json_value(json.out, "filesystem"), "null");
  const std::vector<Found> found = findings_of(json.out);
  const Found* silent = finding(found, "filesystem_not_responding");
  ASSERT_NE(silent, nullptr) << json.out;
  EXPECT_NE(silent->summary.find("served by python3 PID "), std::string::npos) << silent->summary;
  // A tmpfs whose mount names a file there as its source.
  ScopedMount tmpfs("tmpfs", fuse.point() + "/held", "", (testing::make_dir(dir / "t"), dir / "t"));
  const std::vector<Found> beside = explain(dir / "t", {"--no-probe"});
  ASSERT_NE(finding(beside, "filesystem_not_responding"), nullptr) << kinds(beside);
  EXPECT_EQ(finding(beside, "filesystem_not_responding")->summary.substr(0, fuse.point().size() + 33),
            fuse.point() + " (fuse) did not answer within 2 s");
}

// Any user's own FUSE filesystem in a user namespace, an overlay over it, a
// file from it held open and deleted: root's runs on /tmp never ask the
// stopped daemon (the scan takes status without a sync) and report as before.
TEST(ScenarioUnderFs, UsersOverlayOverAStoppedFuseDaemon) {
  REQUIRE_FUSE();
  REQUIRE("overlay", "");
  SKIP_UNLESS(testing::can_unshare("-Urm", &skip_reason));
  const auto numberless = [](const std::string& text) { return std::regex_replace(text, std::regex("[0-9]+"), "#"); };
  const std::string before = numberless(testing::run_brimful({"/tmp"}).out);
  testing::TempDir dir;
  StoppedFuse fuse(dir / "ns", {"unshare", "-Urm", "sh", "-ec", R"sh(mount -t tmpfs none "$1"; cd "$1"
    mkdir fuse upper work merged; exec 4<&0; /usr/bin/python3 "$2" "$1/fuse" <&4 >daemon &
    for _ in $(seq 50); do [ -z "$(sed -n 2p daemon)" ] && sleep 0.1; done
    mount -t overlay overlay -o "lowerdir=$1/fuse,upperdir=$1/upper,workdir=$1/work" merged
    cd merged; exec 3<held; rm held; printf 'ready\n%s\n%s\n' "$(sed -n 2p ../daemon)" $$; read -r _ || :)sh",
                                  "sh", dir / "ns", BRIMFUL_SOURCE_DIR "/tests/enospc_fuse.py"});
  if (!fuse.stopped()) GTEST_SKIP() << "a user namespace cannot mount FUSE and an overlay over it here";
  EXPECT_EQ(testing::run_program({"readlink", "/proc/" + std::to_string(fuse.holder()) + "/fd/3"}).out,
            dir / "ns/merged/held (deleted)\n");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"/tmp"}, {"/tmp", "--explain"}}) {
    const RunResult after = testing::run_brimful(args);
    EXPECT_EQ(after.status, 0) << after.err;
    if (args.size() == 1) { EXPECT_EQ(numberless(after.out), before); }
    EXPECT_EQ(after.out.find("did not answer"), std::string::npos) << after.out;
  }
}

}  // namespace
}  // namespace brimful
