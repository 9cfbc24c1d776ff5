// The Report: every piece of evidence brimful gathers about one path, the
// verdict drawn from it, and its JSON encoding.
#ifndef BRIMFUL_REPORT_H
#define BRIMFUL_REPORT_H

#include <cstdint>
#include <deque>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
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

// One descriptor through which a process holds a deleted file. The name is
// a view: a list of deleted-open files stores each process's name once and
// its holders point at it.
struct Holder {
  std::uint32_t pid = 0;
  std::string_view process;
  std::int32_t fd = 0;
};

// A deleted-open file in full, as it is added to a list; the list copies
// what it needs, so the holders' names need live only until it is built.
struct DeletedOpenEntry {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  OsPath path;
  std::uint64_t allocated_bytes = 0;
  std::vector<Holder> holders;
};

// Steps through anything that hands out values by position.
template <typename List, typename Value>
class PositionIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = Value;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = Value;

  PositionIterator(const List* list, std::size_t at) : list_(list), at_(at) {}
  Value operator*() const { return (*list_)[at_]; }
  PositionIterator& operator++() {
    ++at_;
    return *this;
  }
  bool operator==(const PositionIterator& other) const { return at_ == other.at_; }
  bool operator!=(const PositionIterator& other) const { return at_ != other.at_; }

 private:
  const List* list_;
  std::size_t at_;
};

class DeletedOpenFiles;

// One file's holders in the order they were met, viewing the list.
class HolderList {
 public:
  HolderList() = default;
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  Holder operator[](std::size_t i) const;
  Holder front() const { return (*this)[0]; }
  PositionIterator<HolderList, Holder> begin() const { return {this, 0}; }
  PositionIterator<HolderList, Holder> end() const { return {this, count_}; }

 private:
  friend class DeletedOpenFiles;
  const DeletedOpenFiles* files_ = nullptr;
  std::size_t file_ = 0;
  std::size_t more_ = 0;  // where the holders after the first begin
  std::size_t count_ = 0;
};

// One deleted-open file as the list shows it; the path and the holders view
// the list and live as long as it does, unchanged.
struct DeletedOpenFile {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string_view path;  // bytes, as the link text gave them
  std::uint64_t allocated_bytes = 0;
  HolderList holders;
};

// The deleted-open files of a scan, in the list's order. A host may hold
// hundreds of thousands of them, so each is kept in 48 bytes besides its
// path: the paths packed in large blocks, the device as a place in a table
// (a scan finds files on one device), the first holder beside the file (most
// files have only one), and each process's name once, however many files
// the process holds.
class DeletedOpenFiles {
 public:
  class Builder;

  DeletedOpenFiles() = default;
  DeletedOpenFiles(std::initializer_list<DeletedOpenEntry> entries);
  explicit DeletedOpenFiles(const std::vector<DeletedOpenEntry>& entries);

  std::size_t size() const { return files_.size(); }
  bool empty() const { return files_.empty(); }
  DeletedOpenFile operator[](std::size_t i) const;
  PositionIterator<DeletedOpenFiles, DeletedOpenFile> begin() const { return {this, 0}; }
  PositionIterator<DeletedOpenFiles, DeletedOpenFile> end() const { return {this, files_.size()}; }

  // For each file, whether it is the first in the list with its (device,
  // inode): a list built by hand may name one file twice.
  std::vector<bool> first_of_each_file() const;

 private:
  friend class HolderList;

  struct StoredHolder {
    std::uint32_t pid = 0;
    std::int32_t fd = 0;
    std::uint32_t name = 0;
  };
  struct StoredFile {
    std::uint64_t inode = 0;
    std::uint64_t allocated_bytes = 0;
    std::uint64_t path_at = 0;  // the block in the upper half, the offset in the lower
    std::uint32_t path_size = 0;
    std::uint32_t device = 0;
    StoredHolder first;
    std::uint32_t holder_count = 0;
  };
  // Where the holders after the first of a file with several begin.
  struct MoreHolders {
    std::uint32_t file = 0;
    std::uint32_t first = 0;
  };

  // A deque grows without copying what it holds, so a list of many files is
  // never held twice while it is built.
  std::deque<StoredFile> files_;
  std::vector<std::uint64_t> devices_;
  std::vector<std::string> path_blocks_;
  std::vector<std::string> names_;
  std::vector<StoredHolder> more_holders_;
  std::vector<MoreHolders> more_index_;  // ordered by file
};

// Assembles a list: files and names first come first served, holders in any
// order of files; each file's holders keep the order they were added in.
class DeletedOpenFiles::Builder {
 public:
  // A process's name, to be given to each of its holders.
  std::uint32_t add_name(std::string_view process);
  // A file without holders yet; returns its place among those added.
  std::size_t add_file(std::uint64_t device, std::uint64_t inode, std::string_view path,
                       std::uint64_t allocated_bytes);
  void add_holder(std::size_t file, std::uint32_t pid, std::uint32_t name, std::int32_t fd);
  std::size_t file_count() const { return list_.files_.size(); }
  std::pair<std::uint64_t, std::uint64_t> key(std::size_t file) const {
    const StoredFile& stored = list_.files_[file];
    return {list_.devices_[stored.device], stored.inode};
  }

  // The list, its files in the order they were added, or largest first and
  // files of equal size by (device, inode), which must then be distinct.
  DeletedOpenFiles finish(bool largest_first) &&;

 private:
  struct PendingHolder {
    std::uint32_t file = 0;
    StoredHolder holder;
  };
  DeletedOpenFiles list_;
  std::map<std::uint64_t, std::uint32_t> device_places_;
  std::vector<PendingHolder> more_;
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
