#include "diagnosis.h"

#include <gtest/gtest.h>

#include <functional>

#include "probe.h"

namespace brimful {
namespace {

ProbeOutcome error(Phase phase, std::int32_t code) { return ProbeError{phase, errno_info(code)}; }

// A healthy run: both probes succeed on a writable filesystem with room,
// and the process scan is complete.
Evidence healthy() {
  Evidence e;
  e.mount.emplace();
  e.mount->fs_type = "ext4";
  e.filesystem.total_bytes = 1000;
  e.filesystem.free_bytes = 500;
  e.filesystem.available_bytes = 400;
  e.filesystem.total_inodes = 100;
  e.filesystem.free_inodes = 10;
  e.filesystem.inode_accounting_supported = true;
  e.create_probe.outcome = ProbeSuccess{};
  e.inotify_probe.init = ProbeSuccess{};
  e.inotify_probe.add_watch = ProbeSuccess{};
  e.inotify_limits.max_user_instances = 128;
  e.proc_scan.complete = true;
  return e;
}

void no_probes(Evidence& e) {
  e.create_probe.outcome = ProbeNotRun{};
  e.inotify_probe.init = ProbeNotRun{};
  e.inotify_probe.add_watch = ProbeNotRun{};
}

void consumers(Evidence& e, std::vector<std::uint64_t> instances) {
  for (std::uint64_t count : instances) {
    e.proc_scan.inotify_consumers.push_back(InotifyConsumer{1, "p", count, 0});
  }
}

void emfile(Evidence& e) {
  e.inotify_probe.init = error(Phase::init, 24);
  e.inotify_probe.add_watch = ProbeNotRun{};
}

DeletedOpenEntry deleted(std::uint64_t device, std::uint64_t inode, std::uint64_t bytes) {
  return DeletedOpenEntry{device, inode, "/x (deleted)", bytes, {Holder{1, "p", 3}}};
}

const std::string kDisabled = "active probes were disabled; deterministic classification may be impossible";
const std::string kReadOnly = "statvfs reports a read-only mount, but the create probe did not return EROFS";
const std::string kUnexplained = "the observed ENOSPC is not explained by the checks supported by brimful";
const std::string kNotSatisfied = "the collected evidence does not satisfy a confirmed diagnosis";
const std::string kProbeFileTaken =
    "the probe file was renamed or replaced before brimful could remove it; brimful removed and wrote nothing, and "
    "the empty file it created may remain under another name";
const std::string kEmfileAmbiguous =
    "inotify_init failed with EMFILE, but the evidence does not distinguish the per-user inotify instance "
    "limit from the process file-descriptor limit";
const std::string kZeroInodes = " reports zero free inodes, but fixed inode accounting is not supported for confirmation";

struct Case {
  const char* name;
  std::function<void(Evidence&)> arrange;
  Status status;
  std::vector<CauseKind> causes;
  std::vector<std::string> notes;
  std::vector<Contributing> contributing = {};
};

using C = CauseKind;

const Case kCases[] = {
    {"probes disabled", no_probes, Status::unknown, {}, {kDisabled}},
    {"probes disabled on a read-only mount",
     [](Evidence& e) {
       no_probes(e);
       e.filesystem.read_only = true;
     },
     Status::unknown, {}, {kReadOnly, kDisabled}},
    {"healthy", [](Evidence&) {}, Status::no_supported_failure, {}, {}},
    {"EROFS at create", [](Evidence& e) { e.create_probe.outcome = error(Phase::create, 30); },
     Status::confirmed, {C::read_only_filesystem}, {}},
    {"EROFS on a mount flagged read-only",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::create, 30);
       e.filesystem.read_only = true;
     },
     Status::confirmed, {C::read_only_filesystem}, {}},
    {"EROFS in any phase", [](Evidence& e) { e.create_probe.outcome = error(Phase::unlink, 30); },
     Status::confirmed, {C::read_only_filesystem}, {}},
    {"ENOSPC at create, no inodes and no space",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::create, 28);
       e.filesystem.free_inodes = 0;
       e.filesystem.available_bytes = 0;
     },
     Status::confirmed, {C::inode_exhaustion, C::block_exhaustion}, {}},
    {"ENOSPC at create, no inodes, room left",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::create, 28);
       e.filesystem.free_inodes = 0;
     },
     Status::confirmed, {C::inode_exhaustion}, {}},
    {"ENOSPC at create on btrfs without inode accounting",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::create, 28);
       e.mount->fs_type = "btrfs";
       e.filesystem.free_inodes = 0;
       e.filesystem.inode_accounting_supported = false;
       e.filesystem.available_bytes = 0;
     },
     Status::confirmed, {C::block_exhaustion}, {"btrfs" + kZeroInodes}},
    {"ENOSPC at create on tmpfs without inode accounting, room left",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::create, 28);
       e.mount->fs_type = "tmpfs";
       e.filesystem.free_inodes = 0;
       e.filesystem.inode_accounting_supported = false;
     },
     Status::unknown, {}, {"tmpfs" + kZeroInodes, kUnexplained}},
    {"ENOSPC at write with free but no available bytes",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::write, 28);
       e.filesystem.free_bytes = 4096;
       e.filesystem.available_bytes = 0;
     },
     Status::confirmed, {C::block_exhaustion}, {}},
    {"ENOSPC at fsync", [](Evidence& e) {
       e.create_probe.outcome = error(Phase::fsync, 28);
       e.filesystem.available_bytes = 0;
     },
     Status::confirmed, {C::block_exhaustion}, {}},
    {"ENOSPC at close", [](Evidence& e) {
       e.create_probe.outcome = error(Phase::close, 28);
       e.filesystem.available_bytes = 0;
     },
     Status::confirmed, {C::block_exhaustion}, {}},
    {"ENOSPC at write with room", [](Evidence& e) { e.create_probe.outcome = error(Phase::write, 28); },
     Status::unknown, {}, {kUnexplained}},
    {"ENOSPC at unlink", [](Evidence& e) {
       e.create_probe.outcome = error(Phase::unlink, 28);
       e.filesystem.available_bytes = 0;
       e.filesystem.free_inodes = 0;
     },
     Status::unknown, {}, {kUnexplained}},
    {"ENOSPC at open_directory", [](Evidence& e) {
       e.create_probe.outcome = error(Phase::open_directory, 28);
       e.filesystem.available_bytes = 0;
     },
     Status::unknown, {}, {kUnexplained}},
    {"EDQUOT at write", [](Evidence& e) { e.create_probe.outcome = error(Phase::write, 122); },
     Status::unknown, {}, {"file creation failed with EDQUOT, which is not a supported confirmed diagnosis"}},
    {"unlisted errno", [](Evidence& e) { e.create_probe.outcome = error(Phase::create, 71); },
     Status::unknown, {},
     {"file creation failed with UNKNOWN_ERRNO, which is not a supported confirmed diagnosis"}},
    {"failed create hides inotify failures",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::create, 13);
       e.inotify_probe.add_watch = error(Phase::add_watch, 28);
     },
     Status::unknown, {}, {"file creation failed with EACCES, which is not a supported confirmed diagnosis"}},
    {"instances at the limit",
     [](Evidence& e) {
       emfile(e);
       consumers(e, {100, 28});
     },
     Status::confirmed, {C::inotify_instance_exhaustion}, {}},
    {"instances below the limit",
     [](Evidence& e) {
       emfile(e);
       consumers(e, {100, 27});
     },
     Status::unknown, {}, {kEmfileAmbiguous}},
    {"instance limit unreadable",
     [](Evidence& e) {
       emfile(e);
       consumers(e, {500});
       e.inotify_limits.max_user_instances = std::nullopt;
     },
     Status::unknown, {}, {kEmfileAmbiguous}},
    {"instance sum saturates instead of wrapping",
     [](Evidence& e) {
       emfile(e);
       consumers(e, {UINT64_MAX, 2});
       e.inotify_limits.max_user_instances = UINT64_MAX;
     },
     Status::confirmed, {C::inotify_instance_exhaustion}, {}},
    {"ENFILE from inotify_init",
     [](Evidence& e) {
       e.inotify_probe.init = error(Phase::init, 23);
       e.inotify_probe.add_watch = ProbeNotRun{};
     },
     Status::unknown, {}, {"inotify_init failed with ENFILE, which is not a supported confirmed diagnosis"}},
    {"watches exhausted",
     [](Evidence& e) {
       e.inotify_probe.add_watch = error(Phase::add_watch, 28);
       e.inotify_limits.max_user_watches = std::nullopt;
     },
     Status::confirmed, {C::inotify_exhaustion}, {}},
    {"watch refused with EACCES", [](Evidence& e) { e.inotify_probe.add_watch = error(Phase::add_watch, 13); },
     Status::unknown, {}, {"inotify_add_watch failed with EACCES, which is not a supported confirmed diagnosis"}},
    {"probe file taken away before its removal",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::unlink, 17);
       e.create_probe.file_renamed = true;
     },
     Status::unknown, {}, {kProbeFileTaken, kNotSatisfied}},
    {"read-only flag with working probes", [](Evidence& e) { e.filesystem.read_only = true; }, Status::unknown,
     {}, {kReadOnly, kNotSatisfied}},
    {"incomplete scan on a healthy run",
     [](Evidence& e) {
       e.proc_scan.complete = false;
       e.proc_scan.processes_inaccessible = 2;
     },
     Status::no_supported_failure, {}, {"process evidence is incomplete: 2 process directories were inaccessible"}},
    {"notes keep their order",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::create, 28);
       e.mount->fs_type = "xfs";
       e.filesystem.free_inodes = 0;
       e.filesystem.inode_accounting_supported = false;
       e.filesystem.read_only = true;
       e.proc_scan.complete = false;
       e.proc_scan.processes_inaccessible = 7;
     },
     Status::unknown, {},
     {"xfs" + kZeroInodes, kReadOnly, "process evidence is incomplete: 7 process directories were inaccessible",
      kUnexplained}},
    {"deleted-open space counted once per file",
     [](Evidence& e) {
       e.filesystem.available_bytes = 0;
       e.proc_scan.deleted_open = {deleted(1, 5, 4096), deleted(1, 5, 8192), deleted(2, 5, 100)};
     },
     Status::no_supported_failure, {}, {},
     {Contributing{"deleted_open_files", 4196,
                   "4196 allocated bytes are reclaimable from deleted-open files on this filesystem"}}},
    {"deleted-open space with room left is not contributing",
     [](Evidence& e) {
       e.filesystem.available_bytes = 1;
       e.proc_scan.deleted_open = {deleted(1, 5, 4096)};
     },
     Status::no_supported_failure, {}, {}},
    {"deleted-open files of no size are not contributing",
     [](Evidence& e) {
       e.filesystem.available_bytes = 0;
       e.proc_scan.deleted_open = {deleted(1, 5, 0)};
     },
     Status::no_supported_failure, {}, {}},
    {"deleted-open sum saturates",
     [](Evidence& e) {
       e.create_probe.outcome = error(Phase::write, 28);
       e.filesystem.available_bytes = 0;
       e.proc_scan.deleted_open = {deleted(1, 1, UINT64_MAX), deleted(1, 2, 10)};
     },
     Status::confirmed, {C::block_exhaustion}, {},
     {Contributing{"deleted_open_files", UINT64_MAX,
                   "18446744073709551615 allocated bytes are reclaimable from deleted-open files on this "
                   "filesystem"}}},
};

TEST(Diagnosis, RulesOverEveryEdgeCase) {
  for (const Case& c : kCases) {
    Evidence evidence = healthy();
    c.arrange(evidence);
    const Diagnosis d = diagnose(evidence);
    EXPECT_EQ(d.status, c.status) << c.name;
    EXPECT_EQ(d.causes, c.causes) << c.name;
    EXPECT_EQ(d.notes, c.notes) << c.name;
    ASSERT_EQ(d.contributing.size(), c.contributing.size()) << c.name;
    for (std::size_t i = 0; i < d.contributing.size(); ++i) {
      EXPECT_EQ(d.contributing[i].kind, c.contributing[i].kind) << c.name;
      EXPECT_EQ(d.contributing[i].bytes, c.contributing[i].bytes) << c.name;
      EXPECT_EQ(d.contributing[i].description, c.contributing[i].description) << c.name;
    }
  }
}

}  // namespace
}  // namespace brimful
