#include "findings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

namespace brimful {
namespace {

using Strings = std::vector<std::string>;

constexpr std::uint64_t kGiB = 1ull << 30;

// A healthy ext4 of 100 GiB, 40 GiB available, scanned completely by root,
// with the inotify limits of the initial namespace.
struct Input {
  Evidence evidence;
  Diagnosis diagnosis;
  ExplainFacts facts;
};

Input healthy() {
  Input in;
  Evidence& e = in.evidence;
  e.target = "/srv";
  e.mount.emplace();
  e.mount->mount_point = "/srv";
  e.mount->source = "/dev/sdb1";
  e.mount->fs_type = "ext4";
  e.filesystem.total_bytes = 100 * kGiB;
  e.filesystem.free_bytes = 45 * kGiB;
  e.filesystem.available_bytes = 40 * kGiB;
  e.filesystem.total_inodes = 1000;
  e.filesystem.free_inodes = 900;
  in.diagnosis.status = Status::no_supported_failure;
  in.facts.effective_uid = 0;
  in.facts.ext4_reserve = Ext4Reserve{5 * kGiB, 0, 0, 0};
  in.facts.open_files_limit = 1024;
  in.facts.inotify_limit_files = {8192, 128, 8192, 128, 16384, {}};
  return in;
}

DeletedOpenEntry deleted(std::uint64_t inode, std::uint64_t bytes, Holder holder) {
  return DeletedOpenEntry{1, inode, "/srv/log." + std::to_string(inode) + " (deleted)", bytes, {holder}};
}

// A backing file or upper directory on a 10 GiB tmpfs with this much available.
Place backing(std::uint64_t available) {
  Place place{"/var/lib/images/disk.img", Mount{}, Filesystem{}};
  place.mount->mount_point = "/var/lib/images";
  place.mount->fs_type = "tmpfs";
  place.filesystem->total_bytes = 10 * kGiB;
  place.filesystem->available_bytes = available;
  return place;
}

// btrfs on a 4 GiB device with this much unallocated and metadata full.
BtrfsAllocation btrfs(std::uint64_t unallocated) {
  const std::uint64_t metadata = 256ull << 20;
  const std::uint64_t data = 4 * kGiB - metadata - unallocated - (8 << 20);
  return BtrfsAllocation{{data, kGiB, data}, {metadata, metadata - (1 << 20), metadata}, {8 << 20, 16384, 8 << 20},
                         4 * kGiB};
}

Strings kinds_of(const Input& in) {
  Strings kinds;
  for (const Finding& f : find_findings(in.evidence, in.diagnosis, in.facts)) kinds.push_back(f.kind);
  return kinds;
}

struct Case {
  const char* name;
  std::function<void(Input&)> change;
  Strings kinds;
};

TEST(Findings, EachRuleAppliesExactlyWhenItsFactsSaySo) {
  const Case cases[] = {
      {"healthy", [](Input&) {}, {}},
      {"only the reserve left",
       [](Input& in) { in.evidence.filesystem.available_bytes = 0; },
       {"reserved_space_only"}},
      {"only ext4's own clusters left, no reserve",
       [](Input& in) {
         in.evidence.filesystem.available_bytes = 0;
         in.facts.ext4_reserve->reserved_bytes = 0;
       },
       {}},
      {"btrfs with free space that is not available",
       [](Input& in) {
         in.evidence.filesystem.available_bytes = 0;
         in.evidence.mount->fs_type = "btrfs";
       },
       {}},
      {"nothing left at all",
       [](Input& in) { in.evidence.filesystem.available_bytes = in.evidence.filesystem.free_bytes = 0; },
       {}},
      {"just under 2 % available",
       [](Input& in) { in.evidence.filesystem.available_bytes = 2 * kGiB - 1; },
       {"nearly_full"}},
      {"exactly 2 % available", [](Input& in) { in.evidence.filesystem.available_bytes = 2 * kGiB; }, {}},
      {"deleted-open files hold 1 %",
       [](Input& in) { in.evidence.proc_scan.deleted_open = {deleted(7, kGiB, Holder{10, "app", 4})}; },
       {"deleted_open_space"}},
      {"one file reached twice is counted once",
       [](Input& in) {
         in.evidence.proc_scan.deleted_open = {deleted(7, kGiB / 2 + 1, Holder{10, "app", 4}),
                                               deleted(7, kGiB / 2 + 1, Holder{11, "app", 5})};
       },
       {}},
      {"deleted-open space when nothing is available is the verdict's",
       [](Input& in) {
         in.evidence.filesystem.available_bytes = in.evidence.filesystem.free_bytes = 0;
         in.evidence.proc_scan.deleted_open = {deleted(7, kGiB, Holder{10, "app", 4})};
       },
       {}},
      {"incomplete scan as an ordinary user",
       [](Input& in) {
         in.evidence.proc_scan.complete = false;
         in.facts.effective_uid = 1000;
       },
       {"scan_unprivileged"}},
      {"incomplete scan as root", [](Input& in) { in.evidence.proc_scan.complete = false; }, {}},
      {"incomplete scan, user unknown",
       [](Input& in) {
         in.evidence.proc_scan.complete = false;
         in.facts.effective_uid.reset();
       },
       {}},
      {"namespace instance limit below the global one",
       [](Input& in) { in.facts.inotify_limit_files.namespace_instances = 4; },
       {"namespace_inotify_limit"}},
      {"a parent namespace's lower limit binds",
       [](Input& in) { in.facts.inotify_limit_files.parents = {{4026532175, 1000, 300, std::nullopt}}; },
       {"namespace_inotify_limit"}},
      {"fresh namespace, limits above the global ones",
       [](Input& in) { in.facts.inotify_limit_files.namespace_watches = 2147483647; },
       {}},
      {"namespace limit without a global one to compare",
       [](Input& in) {
         in.facts.inotify_limit_files.namespace_watches = 5;
         in.facts.inotify_limit_files.global_watches.reset();
       },
       {}},
      {"tmpfs at its nr_inodes",
       [](Input& in) {
         in.evidence.mount->fs_type = "tmpfs";
         in.evidence.filesystem.free_inodes = 0;
       },
       {"tmpfs_inode_limit"}},
      {"tmpfs without an inode limit",
       [](Input& in) {
         in.evidence.mount->fs_type = "tmpfs";
         in.evidence.filesystem.total_inodes = in.evidence.filesystem.free_inodes = 0;
       },
       {}},
      {"tmpfs named by statfs in a chroot",
       [](Input& in) {
         in.evidence.mount.reset();
         in.evidence.statfs_fs_type = "tmpfs";
         in.evidence.filesystem.free_inodes = 0;
       },
       {"tmpfs_inode_limit"}},
      {"the scan ran out of descriptors",
       [](Input& in) { in.evidence.proc_scan.descriptors_exhausted = true; },
       {"descriptor_limit"}},
      // Under the filesystem.
      {"kernel warnings about the device since its mount",
       [](Input& in) {
         in.facts.device_name = "loop0";
         in.facts.kernel_messages = {{6, 1, 1, "XFS (loop0): Ending clean mount"},
                                     {4, 2, 2, "EXT4-fs warning (device loop0): index full"}};
         in.facts.probe_directory = DirectoryFacts{12, 4096, 4096};
       },
       {"kernel_messages", "directory_full"}},
      {"only routine information in the log",
       [](Input& in) {
         in.facts.device_name = "loop0";
         in.facts.kernel_messages = {{6, 1, 1, "XFS (loop0): Ending clean mount"}};
       },
       {}},
      {"directory at max_dir_size_kb",
       [](Input& in) {
         in.evidence.mount->options = {"max_dir_size_kb=16", "rw"};
         in.facts.probe_directory = DirectoryFacts{12, 16384, 4096};
       },
       {"directory_full"}},
      {"directory below max_dir_size_kb",
       [](Input& in) {
         in.evidence.mount->options = {"max_dir_size_kb=16", "rw"};
         in.facts.probe_directory = DirectoryFacts{12, 12288, 4096};
       },
       {}},
      {"no kernel log, directory past half the two-level index",
       [](Input& in) { in.facts.probe_directory = DirectoryFacts{12, 8062976, 1024}; },
       {"directory_full"}},
      {"no kernel log, directory just under half the two-level index",
       [](Input& in) { in.facts.probe_directory = DirectoryFacts{12, 8062975, 1024}; },
       {}},
      {"a full directory is not the cause while inodes are gone",
       [](Input& in) {
         in.evidence.filesystem.free_inodes = 0;
         in.evidence.filesystem.inode_accounting_supported = true;
         in.facts.probe_directory = DirectoryFacts{12, 16 << 20, 1024};
       },
       {}},
      {"loop backing file on a full filesystem",
       [](Input& in) { in.facts.loop_layers = {LoopLayer{"loop0", backing(0), std::nullopt}}; },
       {"loop_backing_full"}},
      {"loop backing file with room",
       [](Input& in) { in.facts.loop_layers = {LoopLayer{"loop0", backing(kGiB), std::nullopt}}; },
       {}},
      {"ext4 error count", [](Input& in) { in.facts.ext4_error_count = 1; }, {"filesystem_errors"}},
      {"ext4 error count zero", [](Input& in) { in.facts.ext4_error_count = 0; }, {}},
      {"emergency_ro", [](Input& in) { in.evidence.mount->options = {"emergency_ro"}; }, {"filesystem_errors"}},
      {"overlay upper directory", [](Input& in) { in.facts.overlay_upper = backing(kGiB); }, {"overlay_upper"}},
      {"overlay upper directory unreadable",
       [](Input& in) { in.facts.overlay_upper = Place{"/u", std::nullopt, std::nullopt}; },
       {}},
      {"btrfs allocation", [](Input& in) { in.facts.btrfs_allocation = btrfs(kGiB); }, {"btrfs_allocation"}},
      {"a read-only btrfs subvolume behind an EROFS",
       [](Input& in) {
         in.facts.btrfs_allocation = btrfs(kGiB);
         in.facts.btrfs_subvolume = BtrfsSubvolume{"/srv", true, 0};
         in.evidence.create_probe.outcome = ProbeError{Phase::create, {EROFS, "EROFS"}};
       },
       {"btrfs_read_only_subvolume"}},
      {"xfs with every inode its share allows in use",
       [](Input& in) {
         in.facts.xfs_geometry = XfsGeometry{4096, 512, 1, true};
         in.evidence.filesystem.free_inodes = 0;
       },
       {"xfs_inode_limit"}},
      {"xfs without sparse inodes, ENOSPC from the probe",
       [](Input& in) {
         in.facts.xfs_geometry = XfsGeometry{4096, 512, 25, false};
         in.evidence.create_probe.outcome = ProbeError{Phase::create, {ENOSPC, "ENOSPC"}};
       },
       {"xfs_free_space_fragmented"}},
      {"xfs with sparse inodes, ENOSPC from the probe",
       [](Input& in) {
         in.facts.xfs_geometry = XfsGeometry{4096, 512, 25, true};
         in.evidence.create_probe.outcome = ProbeError{Phase::create, {ENOSPC, "ENOSPC"}};
       },
       {}},
      {"fuse", [](Input& in) { in.facts.fuse = FuseConnection{40, 0, {FuseServer{9, "sshfs"}}}; }, {"fuse_backend"}},
      {"a fuse daemon that does not answer the create probe",
       [](Input& in) {
         in.facts.fuse = FuseConnection{40, 0, {FuseServer{9, "sshfs"}}};
         in.evidence.unanswered = Unanswered::create_probe;
       },
       {"filesystem_not_responding", "fuse_backend"}},
      {"all at once, in the order of the rules",
       [](Input& in) {
         Evidence& e = in.evidence;
         e.mount->fs_type = "tmpfs";
         e.filesystem.available_bytes = kGiB;
         e.filesystem.free_inodes = 0;
         e.proc_scan.deleted_open = {deleted(7, 2 * kGiB, Holder{10, "app", 4})};
         e.proc_scan.complete = false;
         e.proc_scan.descriptors_exhausted = true;
         in.facts.effective_uid = 1000;
         in.facts.inotify_limit_files.namespace_watches = 100;
       },
       {"nearly_full", "deleted_open_space", "scan_unprivileged", "namespace_inotify_limit", "tmpfs_inode_limit",
        "descriptor_limit"}},
  };
  for (const Case& c : cases) {
    Input in = healthy();
    c.change(in);
    EXPECT_EQ(kinds_of(in), c.kinds) << c.name;
  }
}

TEST(Findings, TextsGiveTheNumbersAndTheNextStep) {
  Input in = healthy();
  Evidence& e = in.evidence;
  e.filesystem.total_bytes = 4 * kGiB;
  e.filesystem.available_bytes = 668 * 1024;
  e.proc_scan.deleted_open = {
      DeletedOpenEntry{1, 7, "/srv/app.log (deleted)", 49ull << 20, {Holder{10, "app", 4}, Holder{11, "app", 4}}},
      deleted(8, 1 << 20, Holder{12, "old\xff", 9})};
  e.proc_scan.inotify_consumers = {InotifyConsumer{20, "watcher", 4, 90}};
  in.facts.holder_owners = {{10, 1000, 100}, {12, 0, 0}};
  in.facts.inotify_limit_files.namespace_instances = 4;
  in.facts.inotify_limit_files.namespace_watches = 100000;
  // The reserve with room for its owners, then spent as its owner found.
  Input reserve = healthy();
  reserve.evidence.filesystem.available_bytes = 0;
  reserve.facts.ext4_reserve = Ext4Reserve{40 * kGiB, 4242, 7, kGiB};

  std::vector<Finding> findings = find_findings(e, in.diagnosis, in.facts);
  for (Finding& f : find_findings(reserve.evidence, reserve.diagnosis, reserve.facts)) findings.push_back(f);
  reserve.evidence.create_probe.outcome = ProbeError{Phase::write, {ENOSPC, "ENOSPC"}};
  reserve.facts.effective_uid = 4242;
  for (Finding& f : find_findings(reserve.evidence, reserve.diagnosis, reserve.facts)) findings.push_back(f);
  ASSERT_EQ(findings.size(), 5u);

  const std::string files =
      "/srv/app.log (deleted) (49.0 MiB, held by app PID 10 FD 4 and app PID 11 FD 4); "
      "/srv/log.8 (deleted) (1.0 MiB, held by old\xEF\xBF\xBD PID 12 FD 9)";
  EXPECT_EQ(findings[0].summary,
            "only 668.0 KiB of 4.0 GiB (<0.1%) is available, so a write larger than that fails with ENOSPC; "
            "the largest deleted-open files: " + files);
  EXPECT_EQ(findings[0].remedy, "fix: free space on /srv, for example by releasing the deleted-open files");
  EXPECT_EQ(findings[1].summary, "deleted files still held open take 50.0 MiB (1.2% of the filesystem): " + files);
  EXPECT_EQ(findings[1].remedy,
            "fix: release the space without a restart by truncating through a holder's descriptor, with the "
            "holder's own rights and only while it is still the deleted file (its device and inode): "
            "`test \"$(stat -L -c '%d %i' /proc/10/fd/4)\" = '1 7' && setpriv --reuid=1000 --regid=100 "
            "--clear-groups truncate -s 0 /proc/10/fd/4`; `test \"$(stat -L -c '%d %i' /proc/12/fd/9)\" = '"
            "1 8' && truncate -s 0 /proc/12/fd/9`; or restart the holders");
  EXPECT_EQ(findings[2].summary,
            "this user namespace allows 4 inotify instances per user, fewer than the global 128 (4 in use); "
            "the largest consumers: watcher PID 20 (4 instances, 90 watches)");
  EXPECT_EQ(findings[2].remedy,
            "fix: raise user.max_inotify_instances where the namespace or container is set up, or stop the "
            "largest consumers");
  EXPECT_EQ(findings[3].summary,
            "only the reserved space is left: 45.0 GiB free but 0 B available, 40.0 GiB of it the reserve that "
            "only UID 4242, members of GID 7 and processes with CAP_SYS_RESOURCE may use; 1.0 GiB of it is "
            "ext4's own reserved clusters, which no writer can use; others get ENOSPC");
  EXPECT_EQ(findings[3].remedy,
            "fix: free space on /srv, or lower the reserve with `tune2fs -m PERCENT /dev/sdb1`");
  EXPECT_EQ(findings[4].summary,
            "the reserve for privileged writers is used up too: 45.0 GiB free but 0 B available; 1.0 GiB of it "
            "is ext4's own reserved clusters, which no writer can use; brimful's own write as UID 4242 failed "
            "with ENOSPC, so every writer gets ENOSPC");
  EXPECT_EQ(findings[4].remedy, "fix: free space on /srv");
  Input near = healthy();
  near.evidence.filesystem.free_bytes = 6 * kGiB;
  near.evidence.filesystem.available_bytes = kGiB;
  EXPECT_EQ(find_findings(near.evidence, near.diagnosis, near.facts).at(0).summary,
            "only 1.0 GiB of 100.0 GiB (1.0%) is available, so a write larger than that fails with ENOSPC; most of "
            "the 6.0 GiB free is the reserve of 5.0 GiB that only root (UID 0) and processes with CAP_SYS_RESOURCE "
            "may use");
}

ProcessDescriptors descriptors(std::uint32_t pid, std::uint64_t open, std::uint64_t limit) {
  return ProcessDescriptors{pid, "app" + std::to_string(pid), open, limit, {{"socket", open - 2}, {"file", 2}}};
}

TEST(Findings, DescriptorLimitsAndOtherNamespaces) {
  struct TextCase {
    const char* name;
    std::function<void(Input&)> change;
    Strings kinds;
    std::string summary;  // of the first finding, when given
    std::string remedy;
  };
  const std::string emfile = "EMFILE (\"Too many open files\")";
  const std::string raise = "fix: raise LimitNOFILE= (systemd) or `ulimit -n`, or find the leak";
  const TextCase cases[] = {
      {"the process spoken for is at its limit",
       [](Input& in) { in.facts.process_descriptors = descriptors(7, 64, 64); },
       {"process_descriptor_limit"},
       "app7 PID 7 (64 of 64 open files, 100.0%) is at its own limit of open files or close to it: an open "
       "beyond 64 fails with " + emfile,
       raise + "; app7 PID 7 holds mostly socket (62), file (2)"},
      {"just under 90 %", [](Input& in) { in.facts.process_descriptors = descriptors(7, 899, 1000); }, {}, "", ""},
      {"exactly 90 %",
       [](Input& in) { in.facts.process_descriptors = descriptors(7, 900, 1000); },
       {"process_descriptor_limit"}, "", ""},
      {"holders on the filesystem, largest share first, at most five",
       [](Input& in) {
         for (std::uint32_t pid = 1; pid <= 6; ++pid) in.facts.crowded_holders.push_back(descriptors(pid, 90 + pid, 100));
         in.facts.crowded_holders.push_back(descriptors(9, 10, 100));
       },
       {"process_descriptor_limit"},
       "processes holding files on /srv are at their own limit of open files or close to it, so their next opens "
       "fail with " + emfile + ": app6 PID 6 (96 of 100 open files, 96.0%); app5 PID 5 (95 of 100 open files, "
       "95.0%); app4 PID 4 (94 of 100 open files, 94.0%); app3 PID 3 (93 of 100 open files, 93.0%); app2 PID 2 "
       "(92 of 100 open files, 92.0%)",
       raise + "; app6 PID 6 holds mostly socket (94), file (2); app5 PID 5 holds mostly socket (93), file (2); "
       "app4 PID 4 holds mostly socket (92), file (2); app3 PID 3 holds mostly socket (91), file (2); app2 PID 2 "
       "holds mostly socket (90), file (2)"},
      {"file table at 95 %",
       [](Input& in) { in.facts.file_table = FileTable{665, 700}; },
       {"system_file_limit"},
       "the system has 665 open files against fs.file-max 700 (95.0%): new opens fail with ENFILE for every "
       "process that is not root",
       "fix: raise fs.file-max (`sysctl -w fs.file-max=N`), or find the process that holds the most files"},
      {"file table past its maximum",
       [](Input& in) { in.facts.file_table = FileTable{724, 699}; },
       {"system_file_limit"}, "", ""},
      {"file table just under 95 %", [](Input& in) { in.facts.file_table = FileTable{664, 700}; }, {}, "", ""},
      {"an unlimited file table", [](Input& in) { in.facts.file_table = FileTable{3000, UINT64_MAX}; }, {}, "", ""},
      {"other mount namespaces",
       [](Input& in) {
         in.facts.other_namespace_views = {{40, "nginx", "/srv", "tmpfs"}, {41, "db", "/", "overlay"},
                                           {42, "job", "/srv", "tmpfs"}};
       },
       {"other_mount_namespace"},
       "processes in another mount namespace use /srv where it lies on another filesystem than the one examined "
       "here: nginx PID 40 (tmpfs on /srv); db PID 41 (overlay on /); job PID 42 (tmpfs on /srv)",
       "check: rerun with --pid 40, --pid 41 or --pid 42"},
      {"another namespace's read-only view of the same filesystem",
       [](Input& in) { in.facts.other_namespace_views = {{40, "app", "/srv", "ext4", true, true}}; },
       {"other_mount_namespace"},
       "processes in another mount namespace use /srv where the same filesystem is mounted with other flags than "
       "here: app PID 40 (ext4 on /srv, read-only there: its writes fail with EROFS)",
       "check: rerun with --pid 40"},
      {"another filesystem and the same one writable",
       [](Input& in) {
         in.facts.other_namespace_views = {{40, "app", "/srv", "tmpfs"}, {41, "db", "/", "ext4", false, true}};
       },
       {"other_mount_namespace"},
       "processes in another mount namespace use /srv where it lies on another filesystem than the one examined "
       "here, or on the same one mounted with other flags: app PID 40 (tmpfs on /srv); db PID 41 (ext4 on /, "
       "writable there, read-only here)",
       "check: rerun with --pid 40 or --pid 41"},
      {"all three, after the others",
       [](Input& in) {
         in.evidence.proc_scan.descriptors_exhausted = true;
         in.facts.process_descriptors = descriptors(7, 64, 64);
         in.facts.file_table = FileTable{700, 700};
         in.facts.other_namespace_views = {{40, "nginx", "/srv", "tmpfs"}};
       },
       {"descriptor_limit", "process_descriptor_limit", "system_file_limit", "other_mount_namespace"}, "", ""},
  };
  for (const TextCase& c : cases) {
    Input in = healthy();
    c.change(in);
    EXPECT_EQ(kinds_of(in), c.kinds) << c.name;
    if (c.summary.empty()) continue;
    const std::vector<Finding> findings = find_findings(in.evidence, in.diagnosis, in.facts);
    ASSERT_FALSE(findings.empty()) << c.name;
    EXPECT_EQ(findings[0].summary, c.summary) << c.name;
    EXPECT_EQ(findings[0].remedy, c.remedy) << c.name;
  }
}

TEST(Findings, UnderTheFilesystemTextsGiveTheNumbersAndTheNextStep) {
  Input in = healthy();
  ExplainFacts& f = in.facts;
  f.device_name = "loop0";
  f.now_usec = 100000000;
  f.kernel_messages = {{3, 6, 85000000, "EXT4-fs (loop0): Unrecognized mount option \"x\" or missing value"},
                       {4, 7, 90000000, "EXT4-fs warning (device loop0): ext4_dx_add_entry:2638: Directory (ino: 12) "
                                        "index full, reach max htree level :2"},
                       {3, 8, 95000000, "critical space allocation error, dev loop0, sector 98306"},
                       {4, 9, 99000000, "EXT4-fs warning (device loop0): ext4_dx_add_entry:2638: Directory (ino: 12) "
                                        "index full, reach max htree level :2"}};
  f.probe_directory = DirectoryFacts{13, 4096, 1024};
  in.evidence.probe_directory = "/srv/spool";
  f.loop_layers = {LoopLayer{"loop0", backing(0), "sda1"}};
  f.btrfs_allocation = btrfs(0);
  f.overlay_upper = backing(kGiB);
  f.overlay_upper->filesystem->total_inodes = 64;
  const std::vector<Finding> findings = find_findings(in.evidence, in.diagnosis, in.facts);
  ASSERT_EQ(findings.size(), 5u);
  const std::string index = "\"EXT4-fs warning (device loop0): ext4_dx_add_entry:2638: Directory (ino: 12) index "
                            "full, reach max htree level :2\" (1 s ago)";
  EXPECT_EQ(findings[0].summary,
            "the kernel logged 4 messages naming loop0 or sda1 since the filesystem was mounted; the newest last: "
            "\"EXT4-fs (loop0): Unrecognized mount option \\\"x\\\" or missing value\" (15 s ago); \"critical space allocation error, dev loop0, sector 98306\" (5 s ago); " + index + " (2 times)");
  EXPECT_EQ(findings[1].summary,
            "a directory's hashed index is full, so creating a file in it fails with ENOSPC although blocks and "
            "inodes are free (a short name may still fit): " + index +
            "; inode 12 is another directory than /srv/spool (inode 13)");
  EXPECT_EQ(findings[1].remedy, "fix: `tune2fs -O large_dir /dev/sdb1`, or spread the files over subdirectories");
  EXPECT_EQ(findings[2].summary,
            "the loop device loop0 keeps its data in /var/lib/images/disk.img, which lies on tmpfs at "
            "/var/lib/images with 0 B of 10.0 GiB available: writes the loop device cannot place there fail (ENOSPC "
            "or EIO) whatever this filesystem's own numbers say; the kernel logged \"critical space allocation "
            "error, dev loop0, sector 98306\" (5 s ago)");
  EXPECT_EQ(findings[2].remedy, "fix: free space on /var/lib/images, where the backing file lives");
  EXPECT_EQ(findings[3].summary.substr(findings[3].summary.find(" with ")),
            " with 1.0 GiB of 10.0 GiB available and 0 of 64 inodes free: no inode is free there, so creating a file "
            "through the overlay fails with ENOSPC");
  EXPECT_EQ(findings[3].remedy, "fix: remove files on /var/lib/images, where the upper directory lies, or give that "
                                "filesystem more inodes");
  EXPECT_EQ(findings[4].summary,
            "btrfs has allocated 3.7 GiB for data (1.0 GiB used) and 256.0 MiB for metadata (255.0 MiB used, with "
            "reservations); 0 B of 4.0 GiB of the device is unallocated; metadata is full and nothing is left to "
            "allocate, so creating files fails with ENOSPC while data space is free; btrfs has no fixed inode "
            "table, it makes inodes from metadata space, so the inode numbers statvfs shows do not apply");
  EXPECT_EQ(findings[4].remedy,
            "fix: `btrfs balance start -dusage=10 /srv` to return barely used data chunks to unallocated space, "
            "from which metadata can grow");
}

}  // namespace
}  // namespace brimful
