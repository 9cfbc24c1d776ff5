// The records of a report: every piece of evidence brimful gathers about one
// path, the verdict drawn from it and the findings beside it.
#ifndef BRIMFUL_REPORT_H
#define BRIMFUL_REPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "deleted_open.h"
#include "os.h"

namespace brimful {

// ---------------------------------------------------------------------------
// Evidence records.

struct Mount {
  std::uint64_t mount_id = 0;
  OsPath mount_point;
  std::optional<OsPath> source;
  std::string fs_type;
  std::vector<std::string> options;
};

struct Filesystem {
  std::uint64_t total_bytes = 0;
  std::uint64_t free_bytes = 0;
  std::uint64_t available_bytes = 0;
  std::uint64_t total_inodes = 0;
  std::uint64_t free_inodes = 0;
  bool inode_accounting_supported = false;
  bool read_only = false;
};

// The probe step that failed. The first six belong to the create probe, the
// last two to the inotify probe.
enum class Phase { open_directory, create, write, fsync, close, unlink, init, add_watch };

struct ErrnoInfo {
  std::int32_t code = 0;
  std::string name;
};

struct ProbeSuccess {};
struct ProbeError {
  Phase phase = Phase::open_directory;
  ErrnoInfo error;
};
struct ProbeNotRun {};
using ProbeOutcome = std::variant<ProbeSuccess, ProbeError, ProbeNotRun>;

inline bool is_success(const ProbeOutcome& outcome) {
  return std::holds_alternative<ProbeSuccess>(outcome);
}
inline bool is_not_run(const ProbeOutcome& outcome) {
  return std::holds_alternative<ProbeNotRun>(outcome);
}
// The error of a failed step, or null when the step did not fail.
inline const ProbeError* probe_error(const ProbeOutcome& outcome) {
  return std::get_if<ProbeError>(&outcome);
}
// True when the step failed with exactly this errno.
inline bool failed_with(const ProbeOutcome& outcome, std::int32_t code) {
  const ProbeError* error = probe_error(outcome);
  return error != nullptr && error->error.code == code;
}

struct CreateProbe {
  ProbeOutcome outcome = ProbeNotRun{};
  // The directory the probe's descriptor names, when it is not the one
  // first resolved (renamed or replaced meanwhile).
  std::optional<OsPath> directory_probed;
  // The name brimful gave its file no longer led to that file when it was
  // to be removed; the file may remain under another name.
  bool file_renamed = false;
};

struct InotifyProbe {
  ProbeOutcome init = ProbeNotRun{};
  ProbeOutcome add_watch = ProbeNotRun{};
};

struct InotifyLimits {
  std::optional<std::uint64_t> max_user_watches;
  std::optional<std::uint64_t> max_user_instances;
  std::optional<std::uint64_t> max_queued_events;
};

struct InotifyConsumer {
  std::uint32_t pid = 0;
  std::string process;
  std::uint64_t instances = 0;
  std::uint64_t watches = 0;
};

struct ProcScan {
  DeletedOpenFiles deleted_open;
  std::vector<InotifyConsumer> inotify_consumers;
  std::uint64_t processes_scanned = 0;
  std::uint64_t processes_inaccessible = 0;
  bool complete = true;
  // Processes whose leader had exited, whose descriptors were read through
  // the lowest-numbered of their other threads.
  std::uint64_t processes_leader_exited = 0;
  // Not part of the report: the scan itself ran out of descriptors (EMFILE or
  // ENFILE) somewhere, so what it missed is brimful's own limit, not permissions.
  bool descriptors_exhausted = false;
};

// The process a report speaks for under --pid.
struct ProcessIdentity {
  std::uint32_t pid = 0;
  std::string process;
  // Not part of the JSON: the process's real user, whose inotify use the
  // scan counted, and the user brimful's probes ran as.
  std::uint32_t real_uid = 0;
  std::uint32_t probe_uid = 0;
};

// What of a filesystem did not answer within the deadline of one call,
// after which nothing more was asked of it: its statfs (its numbers are
// missing), the create probe or the inotify watch.
enum class Unanswered { none, statfs, create_probe, inotify_watch };
// How long one such call may take: short against the run's own bound, so
// that a few filesystems that do not answer leave time for the rest.
constexpr int kCallDeadlineMs = 2000;
// How long a call was waited for, as the notes say it: "2 s", "480 ms".
std::string waited_text(int milliseconds);

struct Evidence {
  OsPath target;
  // Set when PATH was examined as another process sees it.
  std::optional<ProcessIdentity> as_seen_by;
  bool target_exists = false;
  OsPath probe_directory;
  // Not part of the JSON: the existing path whose filesystem is examined
  // (the target, or the probe directory when the target does not exist),
  // and that filesystem's device number.
  OsPath inspected;
  std::uint64_t device = 0;
  // None when no line of the mount table holds the path, as in a chroot
  // whose root is a plain directory.
  std::optional<Mount> mount;
  // Not part of the JSON: without a mount, the filesystem's name from its
  // statfs magic number ("unknown" for one brimful does not know).
  std::string statfs_fs_type;
  Filesystem filesystem;
  CreateProbe create_probe;
  InotifyProbe inotify_probe;
  InotifyLimits inotify_limits;
  ProcScan proc_scan;
  // Not part of the JSON but through a note (and a null "filesystem" for
  // statfs): what did not answer, and the probe file that may remain then.
  Unanswered unanswered = Unanswered::none;
  int unanswered_after_ms = kCallDeadlineMs;
  OsPath probe_file_left;
};

// ---------------------------------------------------------------------------
// Diagnosis records.

enum class Status { confirmed, no_supported_failure, unknown };

enum class CauseKind {
  inode_exhaustion,
  block_exhaustion,
  inotify_exhaustion,
  inotify_instance_exhaustion,
  read_only_filesystem,
};

struct Contributing {
  std::string kind;
  std::uint64_t bytes = 0;
  std::string description;
};

struct Diagnosis {
  Status status = Status::unknown;
  std::vector<CauseKind> causes;
  std::vector<Contributing> contributing;
  std::vector<std::string> notes;
};

// An observation with its numbers and a next step, reported only on request.
// It never confirms a cause and never changes the status. The remedy starts
// with "fix: " or "check: ".
struct Finding {
  std::string kind;
  std::string summary;
  std::string remedy;
};

// The filesystem type the report speaks of: the mount's, or without a mount
// the name from the statfs magic number.
inline const std::string& fs_type_of(const Evidence& evidence) {
  return evidence.mount ? evidence.mount->fs_type : evidence.statfs_fs_type;
}

// The inotify use a scan counted: watches and instances summed over every
// consumer, without wrapping.
struct InotifyUsage {
  std::uint64_t watches = 0;
  std::uint64_t instances = 0;
};
InotifyUsage inotify_usage(const ProcScan& scan);

// JSON spellings of the enumerations.
const char* phase_name(Phase phase);
const char* status_name(Status status);
const char* cause_name(CauseKind cause);

}  // namespace brimful

#endif  // BRIMFUL_REPORT_H
