#include "literal_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <string>
#include <utility>

#include "scan_rules.h"
#include "text.h"

namespace brimful {
namespace {

using namespace scan;

// The literal scan, kept as the yardstick: one thread, two passes per
// process (the deleted-open files through every fd entry, then the inotify
// instances through every fdinfo entry), every link read.
class ReferenceScanner {
 public:
  // Most link texts and comm files fit the first buffers; the buffers grow
  // for longer ones and stay grown for the rest of the scan.
  ReferenceScanner(const TargetDevices& target_devices, uid_t real_uid)
      : target_devices_(target_devices), real_uid_(real_uid), link_buffer_(kLinkBufferSize) {}

  void scan_process(int proc_fd, const char* entry, std::uint32_t pid);
  ProcScan finish();

 private:
  enum class Outcome { whole, partial, vanished };

  // listed is set when the listing held any entry.
  Outcome deleted_open_pass(DirectoryListing& fds, std::uint32_t pid, const std::string& name, bool& listed);
  Outcome inotify_pass(int process_fd, int fd_dir, std::uint32_t pid, const std::string& name);
  bool note(int error) {
    if (exhausted(error)) exhausted_ = true;
    return vanished(error);
  }

  const TargetDevices& target_devices_;
  const uid_t real_uid_;
  std::map<FileKey, DeletedOpenEntry> deleted_;
  // The holders' names, each kept where it stays until the scan ends.
  std::deque<std::string> names_;
  std::vector<InotifyConsumer> consumers_;
  std::uint64_t scanned_ = 0;
  std::uint64_t inaccessible_ = 0;
  std::uint64_t leader_exited_ = 0;
  bool exhausted_ = false;
  std::string text_buffer_;
  std::vector<char> link_buffer_;
};

void ReferenceScanner::scan_process(int proc_fd, const char* entry, std::uint32_t pid) {
  UniqueFd process(::openat(proc_fd, entry, O_PATH | O_CLOEXEC));
  struct stat status {};
  if (!process.valid() || ::fstat(process.get(), &status) != 0) {
    const int error = errno;
    if (!note(error) && error != ENOENT) ++inaccessible_;
    return;
  }
  int name_error = 0;
  const std::string& name = names_.emplace_back(read_comm(process.get(), pid, text_buffer_, name_error));
  if (note(name_error)) return;

  // A leader that has exited left its descriptors to its other threads.
  int thread_error = 0;
  const UniqueFd thread = open_remaining_thread(process.get(), pid, text_buffer_, thread_error);
  if (note(thread_error)) return;
  const int table = thread.valid() ? thread.get() : process.get();
  DirectoryListing fds(table, "fd");
  if (!fds.is_open()) {
    const int error = fds.open_error();
    if (!note(error) && !listing_vanished(error)) ++inaccessible_;
    return;
  }
  ++scanned_;
  bool listed = false;
  Outcome outcome = deleted_open_pass(fds, pid, name, listed);
  if (thread.valid() && listed) ++leader_exited_;
  if (outcome != Outcome::vanished && status.st_uid == real_uid_) {
    // A process gone by the second pass keeps the first pass's verdict.
    if (inotify_pass(table, fds.fd(), pid, name) == Outcome::partial) outcome = Outcome::partial;
  }
  if (outcome == Outcome::partial) ++inaccessible_;
}

ReferenceScanner::Outcome ReferenceScanner::deleted_open_pass(DirectoryListing& fds,
                                                              std::uint32_t pid,
                                                              const std::string& name, bool& listed) {
  bool whole = true;
  while (const char* entry = fds.next()) {
    listed = true;
    const std::optional<std::int32_t> fd = parse_descriptor(entry);
    if (!fd) continue;
    struct stat status {};
    if (const int error = stat_without_waiting(fds.fd(), entry, status)) {
      if (note(error)) return Outcome::vanished;
      if (error != ENOENT) whole = false;
      continue;
    }
    if (!is_deleted_file_on(status, target_devices_)) continue;
    const FileKey key{status.st_dev, status.st_ino};
    const auto found = deleted_.lower_bound(key);
    if (found != deleted_.end() && found->first == key) {
      found->second.holders.push_back(Holder{pid, name, *fd});
      continue;
    }
    DeletedOpenEntry file;
    file.device = status.st_dev;
    file.inode = status.st_ino;
    const LinkText link = read_link(fds.fd(), entry, link_buffer_);
    if (note(link.error)) return Outcome::vanished;
    file.path = link.error == 0 ? OsPath(link.bytes) : OsPath(kUnreadableDeletedPath);
    file.allocated_bytes = allocated_bytes(status.st_blocks);
    file.holders.push_back(Holder{pid, name, *fd});
    deleted_.emplace_hint(found, key, std::move(file));
  }
  const int read_error = fds.read_error();
  if (read_error != 0) {
    if (note(read_error) || listing_vanished(read_error)) return Outcome::vanished;
    whole = false;
  }
  return whole ? Outcome::whole : Outcome::partial;
}

ReferenceScanner::Outcome ReferenceScanner::inotify_pass(int process_fd, int fd_dir,
                                                         std::uint32_t pid,
                                                         const std::string& name) {
  DirectoryListing infos(process_fd, "fdinfo");
  if (!infos.is_open()) {
    const int error = infos.open_error();
    if (note(error) || listing_vanished(error)) return Outcome::vanished;
    return Outcome::partial;
  }
  bool whole = true;
  bool gone = false;
  std::uint64_t instances = 0;
  std::uint64_t watches = 0;
  while (const char* entry = infos.next()) {
    const LinkText link = read_link(fd_dir, entry, link_buffer_);
    if (link.error != 0) {
      if ((gone = note(link.error))) break;
      if (link.error != ENOENT) whole = false;
      continue;
    }
    if (!is_inotify_instance(link.bytes)) continue;
    const int info_error = read_whole_file_at(infos.fd(), entry, text_buffer_, kTableFileLimit);
    if ((gone = note(info_error))) break;
    // Without its fdinfo entry the descriptor has been closed: no instance.
    if (info_error == ENOENT) continue;
    instances = saturating_add(instances, 1);
    if (info_error != 0 || !is_valid_utf8(text_buffer_)) {
      whole = false;
      continue;
    }
    watches = saturating_add(watches, count_watch_lines(text_buffer_));
  }
  const int read_error = gone ? 0 : infos.read_error();
  if (read_error != 0) {
    gone = note(read_error) || listing_vanished(read_error);
    if (!gone) whole = false;
  }
  if (instances > 0) consumers_.push_back(InotifyConsumer{pid, name, instances, watches});
  if (gone) return Outcome::vanished;
  return whole ? Outcome::whole : Outcome::partial;
}

ProcScan ReferenceScanner::finish() {
  std::vector<DeletedOpenEntry> files;
  files.reserve(deleted_.size());
  for (auto& entry : deleted_) files.push_back(std::move(entry.second));
  // The map left them in (device, inode) order, which the stable sort keeps
  // among files of equal size.
  std::stable_sort(files.begin(), files.end(), [](const DeletedOpenEntry& a, const DeletedOpenEntry& b) {
    return a.allocated_bytes > b.allocated_bytes;
  });
  ProcScan scan;
  scan.deleted_open = DeletedOpenFiles(files);
  scan.inotify_consumers = std::move(consumers_);
  sort_consumers(scan.inotify_consumers);
  scan.processes_scanned = scanned_;
  scan.processes_inaccessible = inaccessible_;
  scan.processes_leader_exited = leader_exited_;
  scan.complete = inaccessible_ == 0;
  scan.descriptors_exhausted = exhausted_;
  return scan;
}

ProcScan scan_literally(const TargetDevices& target_devices, const OsPath& proc_root, uid_t real_uid) {
  DirectoryListing proc(AT_FDCWD, proc_root.c_str());
  if (!proc.is_open()) return unlistable_root(proc.open_error());
  ReferenceScanner scanner(target_devices, real_uid);
  while (const char* entry = proc.next()) {
    if (const std::optional<std::uint32_t> pid = parse_pid(entry)) {
      scanner.scan_process(proc.fd(), entry, *pid);
    }
  }
  return scanner.finish();
}

}  // namespace

ProcScan literal_scan(std::vector<std::uint64_t> target_devices, const OsPath& proc_root,
                      const ScanSettings& settings) {
  std::sort(target_devices.begin(), target_devices.end());
  const uid_t real_uid = settings.consumer_uid ? static_cast<uid_t>(*settings.consumer_uid) : ::getuid();
  return scan_literally(target_devices, proc_root, real_uid);
}

}  // namespace brimful
