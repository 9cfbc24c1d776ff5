#include "process_scan.h"

#include <fcntl.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>

#include "text.h"

namespace brimful {
namespace scan {

void Sightings::add(Sighting sighting, std::string_view path) {
  sighting.path_at = paths.size();
  sighting.path_size = static_cast<std::uint32_t>(path.size());
  paths.append(path);
  list.push_back(sighting);
}

// An inotify instance is one of the anonymous inode's descriptors; an
// eventfd serves to learn which inode that is without spending an inotify
// instance, which brimful may be diagnosing the lack of.
std::optional<Reference> anonymous_inode() {
  UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0) return std::nullopt;
  return Reference{status.st_dev, status.st_ino};
}

UniqueFd ProcessScanner::pin_process(int proc_fd, const char* entry, struct stat& status,
                                     ProcessResult& result) const {
  UniqueFd process(::openat(proc_fd, entry, O_PATH | O_CLOEXEC));
  if (!process.valid() || ::fstat(process.get(), &status) != 0) {
    note_inaccessible(errno, result);
    return UniqueFd();
  }
  return process;
}

void ProcessScanner::scan_process(int proc_fd, const char* entry, std::uint32_t pid,
                                  const RangeSharer* share, Worker& worker, ProcessResult& result) const {
  // The O_PATH descriptor pins this process's directory, so the steps below
  // cannot wander into a newer process that reuses the PID.
  struct stat status {};
  const UniqueFd process = pin_process(proc_fd, entry, status, result);
  if (!process.valid()) return;
  int name_error = 0;
  result.name = read_comm(process.get(), pid, worker.text_buffer, name_error);
  if (note(name_error)) return;

  DirectoryListing fds(process.get(), "fd");
  if (!fds.is_open()) {
    note_inaccessible(fds.open_error(), result);
    return;
  }
  result.scanned = true;
  const bool owner = status.st_uid == real_uid_;
  Outcome outcome = scan_table(process.get(), fds, owner, share, worker, result);
  if (outcome == Outcome::empty) outcome = scan_remaining_thread(process.get(), pid, owner, share, worker, result);
  if (outcome == Outcome::partial) result.inaccessible = true;
}

ProcessScanner::Outcome ProcessScanner::scan_remaining_thread(int process_fd, std::uint32_t pid, bool owner,
                                                              const RangeSharer* share, Worker& worker,
                                                              ProcessResult& result) const {
  int error = 0;
  const UniqueFd thread = open_remaining_thread(process_fd, pid, worker.text_buffer, error);
  if (!thread.valid()) {
    if (note(error)) return Outcome::vanished;
    return error == 0 || listing_vanished(error) ? Outcome::whole : Outcome::partial;
  }
  DirectoryListing fds(thread.get(), "fd");
  if (!fds.is_open()) {
    error = fds.open_error();
    if (note(error)) return Outcome::vanished;
    return listing_vanished(error) ? Outcome::whole : Outcome::partial;
  }
  const Outcome outcome = scan_table(thread.get(), fds, owner, share, worker, result);
  if (outcome == Outcome::empty) return Outcome::whole;
  result.through_thread = true;
  return outcome;
}

// One pass over the fd listing serves both questions.
ProcessScanner::Outcome ProcessScanner::scan_descriptors(int process_fd, DirectoryListing& fds, bool owner,
                                                         Worker& worker, ProcessResult& result) const {
  DescriptorPass pass;
  bool any = false;
  while (const char* entry = fds.next()) {
    any = true;
    if (!examine(process_fd, fds.fd(), entry, owner, pass, worker, result)) return Outcome::vanished;
  }
  const int read_error = fds.read_error();
  if (read_error != 0) {
    if (note(read_error) || listing_vanished(read_error)) return Outcome::vanished;
    pass.whole = false;
  }
  return outcome_of(pass, any);
}

ProcessScanner::Outcome ProcessScanner::scan_shared(int process_fd, DirectoryListing& fds, bool owner,
                                                    const RangeSharer& share, Worker& worker,
                                                    ProcessResult& result) const {
  Listing& listing = worker.listing;
  listing.clear();
  while (const char* entry = fds.next()) listing.add(entry);
  bool whole = true;
  const int read_error = fds.read_error();
  if (read_error != 0) {
    if (note(read_error) || listing_vanished(read_error)) return Outcome::vanished;
    whole = false;
  }
  const Outcome outcome = listing.size() <= kShareAbove
                              ? scan_listing(process_fd, fds.fd(), owner, worker, result)
                              : share_listing(process_fd, fds.fd(), owner, share, worker, result);
  if (!whole && (outcome == Outcome::whole || outcome == Outcome::empty)) return Outcome::partial;
  return outcome;
}

// The worker's listing, examined on this thread alone.
ProcessScanner::Outcome ProcessScanner::scan_listing(int process_fd, int fd_dir, bool owner, Worker& worker,
                                                     ProcessResult& result) const {
  const Listing& listing = worker.listing;
  DescriptorPass pass;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    if (!examine(process_fd, fd_dir, listing.at(i), owner, pass, worker, result)) return Outcome::vanished;
  }
  return outcome_of(pass, listing.size() > 0);
}

// The worker's listing, examined in ranges by every idle thread.
ProcessScanner::Outcome ProcessScanner::share_listing(int process_fd, int fd_dir, bool owner,
                                                      const RangeSharer& share, Worker& worker,
                                                      ProcessResult& result) const {
  Listing& listing = worker.listing;
  SharedProcess process;
  process.scanner = this;
  process.process_fd = process_fd;
  process.fd_dir = fd_dir;
  process.owner = owner;
  process.listing = &listing;
  process.ranges = (listing.size() + kRangeSize - 1) / kRangeSize;
  process.results.resize(process.ranges);
  share(process, worker);
  // A huge process's names would otherwise stay with this thread for the
  // rest of the scan.
  release(listing);
  // The ranges folded in listing order give what one pass would have: the
  // same sightings in the same order and the same counts, up to where the
  // process was found gone. A process whose fdinfo directory could not be
  // opened has no instances known at all.
  DescriptorPass pass;
  bool gone = false;
  for (RangeResult& range : process.results) {
    if (!gone) {
      pass.whole = pass.whole && range.whole;
      pass.infos_failed = pass.infos_failed || range.infos_failed;
      result.sightings.append(range.sightings);
      result.instances = saturating_add(result.instances, range.instances);
      result.watches = saturating_add(result.watches, range.watches);
      gone = range.gone;
    }
    release(range.sightings);
  }
  if (pass.infos_failed) {
    result.instances = 0;
    result.watches = 0;
  }
  return gone ? Outcome::vanished : outcome_of(pass, true);
}

void ProcessScanner::scan_range(SharedProcess& process, std::size_t range, Worker& worker) const {
  ProcessResult part;
  DescriptorPass pass;
  RangeResult& out = process.results[range];
  const std::size_t end = std::min((range + 1) * kRangeSize, process.listing->size());
  for (std::size_t i = range * kRangeSize; i < end && !out.gone; ++i) {
    out.gone = !examine(process.process_fd, process.fd_dir, process.listing->at(i), process.owner, pass,
                        worker, part);
  }
  if (out.gone) process.gone.store(true, std::memory_order_relaxed);
  out.sightings = std::move(part.sightings);
  out.instances = part.instances;
  out.watches = part.watches;
  out.whole = pass.whole;
  out.infos_failed = pass.infos_failed;
}

// Every descriptor is statted for the deleted-file check; an inotify
// instance always stats as the shared anonymous inode, so for the owner's
// processes only those descriptors, and the ones whose status failed, need
// their link read.
bool ProcessScanner::examine(int process_fd, int fd_dir, const char* entry, bool owner, DescriptorPass& pass,
                             Worker& worker, ProcessResult& result) const {
  const std::optional<std::int32_t> fd = parse_descriptor(entry);
  if (!fd && !owner) return true;
  struct stat status {};
  const int status_error = stat_without_waiting(fd_dir, entry, status);
  const bool have_status = status_error == 0;
  if (!have_status) {
    if (note(status_error)) return false;
    if (fd && status_error != ENOENT) pass.whole = false;
  } else if (fd && is_deleted_file_on(status, target_devices_)) {
    if (!note_deleted(fd_dir, entry, *fd, status, worker, result)) return false;
  }
  if (!owner || pass.infos_failed) return true;
  if (have_status && anonymous_ &&
      (status.st_dev != anonymous_->device || status.st_ino != anonymous_->inode)) {
    return true;
  }
  const LinkText link = read_link(fd_dir, entry, worker.link_buffer);
  if (link.error != 0) {
    if (note(link.error)) return false;
    if (link.error != ENOENT) pass.whole = false;
    return true;
  }
  if (!is_inotify_instance(link.bytes)) return true;
  return count_instance(process_fd, entry, pass, worker, result);
}

bool ProcessScanner::note_deleted(int fd_dir, const char* entry, std::int32_t fd, const struct stat& status,
                                  Worker& worker, ProcessResult& result) const {
  Sighting sighting;
  sighting.device = status.st_dev;
  sighting.inode = status.st_ino;
  sighting.allocated_bytes = allocated_bytes(status.st_blocks);
  sighting.fd = fd;
  const LinkText link = read_link(fd_dir, entry, worker.link_buffer);
  if (note(link.error)) return false;
  result.sightings.add(sighting, link.error == 0 ? link.bytes : kUnreadableDeletedPath);
  return true;
}

bool ProcessScanner::count_instance(int process_fd, const char* entry, DescriptorPass& pass, Worker& worker,
                                    ProcessResult& result) const {
  if (!pass.infos.valid()) {
    pass.infos.reset(::openat(process_fd, "fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!pass.infos.valid()) {
      // Without fdinfo nothing about this process's instances is known. One
      // that is gone says the process has exited; what its descriptors
      // showed of deleted files, further on too, still counts, as it does
      // for a process that exits between the deleted-file and the inotify
      // questions.
      const int error = errno;
      if (!note(error) && !listing_vanished(error)) pass.whole = false;
      pass.infos_failed = true;
      result.instances = 0;
      result.watches = 0;
      return true;
    }
  }
  const int info_error = read_whole_file_at(pass.infos.get(), entry, worker.text_buffer, kTableFileLimit);
  if (note(info_error)) return false;
  // Without its fdinfo entry the descriptor has been closed: no instance.
  if (info_error == ENOENT) return true;
  result.instances = saturating_add(result.instances, 1);
  if (info_error != 0 || !is_valid_utf8(worker.text_buffer)) {
    pass.whole = false;
    return true;
  }
  result.watches = saturating_add(result.watches, count_watch_lines(worker.text_buffer));
  return true;
}

UniqueFd ProcessScanner::open_walked_thread(int process_fd, const KernelProcess& seen, UniqueFd& thread,
                                            ProcessResult& result) const {
  const std::string path = "task/" + std::to_string(seen.thread);
  thread.reset(::openat(process_fd, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  UniqueFd fds;
  if (thread.valid()) fds.reset(::openat(thread.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fds.valid()) {
    note_inaccessible(errno, result);
    return UniqueFd();
  }
  result.through_thread = true;
  return fds;
}

// The kernel has already named the descriptors that the /proc walk could
// report: deleted regular files and inotify instances. Examining just those
// the same way, in the same ascending order, gives the same result. What
// the /proc walk could also have counted is a failure to examine a
// descriptor at all, which comes from the permission to look at the
// process's descriptors, so the process's first descriptor is examined
// too, standing in for the rest. The name is read only for a process that
// shows in the report.
void ProcessScanner::scan_candidates(int proc_fd, const char* entry, std::uint32_t pid,
                                     const KernelProcess* seen, Worker& worker, ProcessResult& result) const {
  struct stat status {};
  const UniqueFd process = pin_process(proc_fd, entry, status, result);
  if (!process.valid()) return;
  UniqueFd fds(::openat(process.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fds.valid()) {
    note_inaccessible(errno, result);
    return;
  }
  result.scanned = true;
  if (seen == nullptr) return;
  // The kernel walked another thread's table when the leader had exited.
  UniqueFd thread;
  if (seen->thread != pid) {
    fds = open_walked_thread(process.get(), *seen, thread, result);
    if (!fds.valid()) return;
  }
  const int table = thread.valid() ? thread.get() : process.get();
  const bool owner = status.st_uid == real_uid_;
  const Outcome outcome = examine_candidates(table, fds.get(), *seen, owner, worker, result);
  // What a process showed before it vanished counts, as in the /proc scan;
  // one whose name can no longer be read goes by its PID.
  if (!result.sightings.list.empty() || result.instances > 0) {
    int name_error = 0;
    result.name = read_comm(process.get(), pid, worker.text_buffer, name_error);
    note(name_error);
  }
  if (outcome == Outcome::partial) result.inaccessible = true;
}

ProcessScanner::Outcome ProcessScanner::examine_candidates(int process_fd, int fd_dir, const KernelProcess& seen,
                                                           bool owner, Worker& worker,
                                                           ProcessResult& result) const {
  std::vector<std::int32_t>& candidates = worker.candidates;
  candidates.assign(1, seen.first_fd);
  candidates.insert(candidates.end(), seen.deleted.begin(), seen.deleted.end());
  candidates.insert(candidates.end(), seen.inotify.begin(), seen.inotify.end());
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  DescriptorPass pass;
  for (const std::int32_t fd : candidates) {
    const std::string name = std::to_string(fd);
    if (!examine(process_fd, fd_dir, name.c_str(), owner, pass, worker, result)) return Outcome::vanished;
  }
  return outcome_of(pass, true);
}

}  // namespace scan
}  // namespace brimful
