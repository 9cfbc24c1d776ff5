// The Report: every piece of evidence brimful gathers about one path, the
// verdict drawn from it, and its JSON encoding.
#ifndef BRIMFUL_REPORT_H
#define BRIMFUL_REPORT_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "os.h"
#include "text.h"

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

struct Holder {
  std::uint32_t pid = 0;
  std::string process;
  std::int32_t fd = 0;
};

struct DeletedOpenFile {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  OsPath path;
  std::uint64_t allocated_bytes = 0;
  std::vector<Holder> holders;
};

struct InotifyConsumer {
  std::uint32_t pid = 0;
  std::string process;
  std::uint64_t instances = 0;
  std::uint64_t watches = 0;
};

struct ProcScan {
  std::vector<DeletedOpenFile> deleted_open;
  std::vector<InotifyConsumer> inotify_consumers;
  std::uint64_t processes_scanned = 0;
  std::uint64_t processes_inaccessible = 0;
  bool complete = true;
  // Not part of the report: the scan itself ran out of descriptors (EMFILE or
  // ENFILE) somewhere, so what it missed is brimful's own limit, not permissions.
  bool descriptors_exhausted = false;
};

// The process a report speaks for under --pid.
struct ProcessIdentity {
  std::uint32_t pid = 0;
  std::string process;
};

struct Evidence {
  OsPath target;
  // Set by the run driver when PATH was examined as another process sees it.
  std::optional<ProcessIdentity> as_seen_by;
  bool target_exists = false;
  OsPath probe_directory;
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

struct Report {
  Evidence evidence;
  Diagnosis diagnosis;
  std::vector<Finding> findings;
};

// The filesystem type the report speaks of: the mount's, or without a mount
// the name from the statfs magic number.
inline const std::string& fs_type_of(const Evidence& evidence) {
  return evidence.mount ? evidence.mount->fs_type : evidence.statfs_fs_type;
}

// JSON spellings of the enumerations.
const char* phase_name(Phase phase);
const char* status_name(Status status);
const char* cause_name(CauseKind cause);

// The whole report as pretty-printed JSON, without a trailing newline, or
// "path contains invalid UTF-8 characters" when a path cannot be written.
// A deleted-open file's path is written in its lossy form instead: it names a
// stranger's file, which must not cost the caller the report. Any other
// string that is not UTF-8 is refused as well ("text contains invalid UTF-8
// characters"), so the output is always valid JSON.
// Findings, when given, are the last key, also when there are none.
Result<std::string> encode_json(const Evidence& evidence, const Diagnosis& diagnosis,
                                const std::vector<Finding>* findings = nullptr);

// The same document handed to chunks in pieces, so that a large one is never
// held whole; returns its length. When the document cannot be written whole,
// chunks is never called and the message is encode_json's.
using JsonChunks = std::function<void(std::string_view)>;
Result<std::uint64_t> write_json(const Evidence& evidence, const Diagnosis& diagnosis,
                                 const std::vector<Finding>* findings, const JsonChunks& chunks);

}  // namespace brimful

#endif  // BRIMFUL_REPORT_H
