#include "procscan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "kernelwalk.h"

namespace brimful {

// ---------------------------------------------------------------------------
// The rules for names and texts.

// parse_unsigned accepts ASCII digits only, so every name it accepts is
// valid UTF-8 as well.
std::optional<std::uint32_t> parse_pid(std::string_view name) {
  const std::optional<std::uint64_t> value = parse_unsigned(name, UINT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::int32_t> parse_descriptor(std::string_view name) {
  const bool negative = !name.empty() && name[0] == '-';
  if (negative) {
    name.remove_prefix(1);
    // parse_unsigned would take a "+" after the "-".
    if (!name.empty() && name[0] == '+') return std::nullopt;
  }
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : INT32_MAX;
  const std::optional<std::uint64_t> magnitude = parse_unsigned(name, limit);
  if (!magnitude) return std::nullopt;
  const auto value = static_cast<std::int64_t>(*magnitude);
  return static_cast<std::int32_t>(negative ? -value : value);
}

namespace {
constexpr std::string_view kInotifyLink = "anon_inode:inotify";
}  // namespace

bool is_inotify_instance(std::string_view link) {
  if (link == kInotifyLink) return true;
  // Only a text containing the name can match component by component; the
  // search spares a split for every socket, pipe and file.
  if (link.find(kInotifyLink) == std::string_view::npos) return false;
  return path_components(link) == path_components(kInotifyLink);
}

// One line per watch, for example
// "inotify wd:1 ino:2 sdev:fd00001 mask:fce ignored_mask:0 fhandle-bytes:8 ...".
std::uint64_t count_watch_lines(std::string_view text) {
  constexpr std::string_view prefix = "inotify wd:";
  std::uint64_t count = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(start, end - start).substr(0, prefix.size()) == prefix) ++count;
    start = end + 1;
  }
  return count;
}

// "4242 (a) b) Z 1 ..." : the state follows the last parenthesis, as the
// name may hold any.
std::optional<char> process_state(std::string_view stat) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || stat.size() < close + 3 || stat[close + 1] != ' ') return std::nullopt;
  return stat[close + 2];
}

namespace {

// ---------------------------------------------------------------------------
// Descriptors and directory listings.

// A directory opened relative to another and listed once.
class DirectoryListing {
 public:
  DirectoryListing(int parent_fd, const char* name) {
    UniqueFd fd(::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
      open_error_ = errno;
      return;
    }
    dir_ = ::fdopendir(fd.get());
    if (dir_ == nullptr) {
      open_error_ = errno;
      return;
    }
    fd.release();
  }
  ~DirectoryListing() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  bool is_open() const { return dir_ != nullptr; }
  // The errno of the failed open; 0 when the directory is open.
  int open_error() const { return open_error_; }
  int fd() const { return ::dirfd(dir_); }

  // The next name other than "." and "..", or null at the end of the
  // listing or when reading it failed (then read_error() is not 0).
  const char* next() {
    for (;;) {
      errno = 0;
      const dirent64* entry = ::readdir64(dir_);
      if (entry == nullptr) {
        read_error_ = errno;
        return nullptr;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") return entry->d_name;
    }
  }
  int read_error() const { return read_error_; }

 private:
  DIR* dir_ = nullptr;
  int open_error_ = 0;
  int read_error_ = 0;
};

// The bytes of a link, viewing a buffer the caller reuses, or the errno of
// the failure.
struct ReadResult {
  int error = 0;
  std::string_view bytes;
};

ReadResult read_link(int dir_fd, const char* name, std::vector<char>& buffer) {
  for (;;) {
    const ssize_t n = ::readlinkat(dir_fd, name, buffer.data(), buffer.size());
    if (n < 0) return {errno, {}};
    const auto length = static_cast<std::size_t>(n);
    if (length < buffer.size()) return {0, std::string_view(buffer.data(), length)};
    // readlink truncates silently; a full buffer may hold only part of the text.
    buffer.resize(buffer.size() * 2);
  }
}

// 2^55 blocks of 512 bytes would be 2^64 bytes, one more than a count holds.
std::uint64_t allocated_bytes(blkcnt_t blocks) {
  const auto count = static_cast<std::uint64_t>(blocks);
  return count >= (std::uint64_t{1} << 55) ? UINT64_MAX : count * 512;
}

// The filesystems whose deleted files a scan reports, by st_dev: one for a
// path, every one examined for the host.
using TargetDevices = std::vector<std::uint64_t>;

bool is_deleted_file_on(const struct stat& status, const TargetDevices& devices) {
  return (status.st_mode & S_IFMT) == S_IFREG && status.st_nlink == 0 &&
         std::binary_search(devices.begin(), devices.end(), static_cast<std::uint64_t>(status.st_dev));
}

// A process that exits while it is scanned shows as ESRCH from any step, or
// as ENOENT while its fd or fdinfo directory is opened or listed. It is then
// passed over like one that was gone before the scan reached it.
bool vanished(int error) { return error == ESRCH; }
bool listing_vanished(int error) { return error == ESRCH || error == ENOENT; }

// brimful running out of descriptors is its own limit, and the report says
// so apart from permissions.
bool exhausted(int error) { return error == EMFILE || error == ENFILE; }

std::string process_name(int process_fd, std::uint32_t pid, std::string& buffer, int& error) {
  error = read_whole_file_at(process_fd, "comm", buffer);
  if (error == 0 && is_valid_utf8(buffer)) return std::string(trim_unicode_whitespace(buffer));
  return std::to_string(pid);
}

// A process whose leader has exited shows an empty fd directory, while its
// other threads may still share a table full of descriptors, under
// task/TID: the lowest-numbered of them stands for the process, as in the
// kernel's walk. Opens that thread's directory, or gives an invalid
// descriptor when the leader is alive or no other thread is left; error is
// the errno of a step that failed for another reason than that.
UniqueFd open_remaining_thread(int process_fd, std::uint32_t pid, std::string& buffer, int& error) {
  error = read_whole_file_at(process_fd, "stat", buffer);
  if (error != 0 || process_state(buffer) != 'Z') return UniqueFd();
  DirectoryListing tasks(process_fd, "task");
  if (!tasks.is_open()) {
    error = tasks.open_error();
    return UniqueFd();
  }
  std::optional<std::uint32_t> lowest;
  while (const char* entry = tasks.next()) {
    const std::optional<std::uint32_t> thread = parse_pid(entry);
    if (thread && *thread != pid && (!lowest || *thread < *lowest)) lowest = thread;
  }
  error = tasks.read_error();
  if (!lowest || error != 0) return UniqueFd();
  UniqueFd thread(::openat(tasks.fd(), std::to_string(*lowest).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!thread.valid()) error = errno;
  return thread;
}

using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // (device, inode)

void sort_consumers(std::vector<InotifyConsumer>& consumers) {
  std::stable_sort(consumers.begin(), consumers.end(),
                   [](const InotifyConsumer& a, const InotifyConsumer& b) {
                     if (a.watches != b.watches) return a.watches > b.watches;
                     return a.instances > b.instances;
                   });
}

// ---------------------------------------------------------------------------
// The scan: every process into a result of its own, merged in /proc order.

// One deleted file on the target seen through one descriptor; its device
// is the target's.
struct Sighting {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t allocated_bytes = 0;
  std::int32_t fd = 0;
  std::uint32_t path_size = 0;
  std::size_t path_at = 0;
};

// What one process's descriptors showed of deleted files, with their link
// texts side by side in one buffer. Only a file's first sighting in the whole
// scan keeps its text.
struct Sightings {
  std::vector<Sighting> list;
  std::string paths;

  void add(Sighting sighting, std::string_view path) {
    sighting.path_at = paths.size();
    sighting.path_size = static_cast<std::uint32_t>(path.size());
    paths.append(path);
    list.push_back(sighting);
  }
  std::string_view path(const Sighting& sighting) const {
    return std::string_view(paths).substr(sighting.path_at, sighting.path_size);
  }
  void append(const Sightings& other) {
    for (const Sighting& sighting : other.list) add(sighting, other.path(sighting));
  }
};

// Frees what a value holds at once. Assigning an empty value would not: a
// string keeps its buffer when it is assigned a short one.
template <typename T>
void release(T& value) {
  T spent(std::move(value));
  value = T{};
}

struct ProcessResult {
  bool scanned = false;
  bool inaccessible = false;
  // The leader had exited and another thread's descriptors were examined.
  bool through_thread = false;
  std::string name;
  Sightings sightings;
  std::uint64_t instances = 0;
  std::uint64_t watches = 0;
};

// The names of one fd listing, read before any of them is examined.
class Listing {
 public:
  void clear() {
    bytes_.clear();
    starts_.clear();
  }
  void add(const char* name) {
    starts_.push_back(bytes_.size());
    bytes_.append(name);
    bytes_.push_back('\0');
  }
  std::size_t size() const { return starts_.size(); }
  const char* at(std::size_t i) const { return bytes_.data() + starts_[i]; }

 private:
  std::string bytes_;  // every name followed by a NUL
  std::vector<std::size_t> starts_;
};

// What one thread keeps from process to process.
struct Worker {
  std::vector<char> link_buffer = std::vector<char>(256);
  std::string text_buffer;
  std::vector<std::int32_t> candidates;
  Listing listing;
};

// A process with more descriptors than this has them examined in ranges of
// kRangeSize that any idle thread may take, so that one huge process does
// not keep the scan on one thread. Below it a process is one thread's work.
constexpr std::size_t kShareAbove = 4096;
constexpr std::size_t kRangeSize = 1024;

// What one range of a shared process's descriptors gave, kept apart until
// every range is done and then folded in listing order.
struct RangeResult {
  Sightings sightings;
  std::uint64_t instances = 0;
  std::uint64_t watches = 0;
  bool whole = true;
  bool infos_failed = false;
};

class Scan;

// One process's descriptors offered to the threads, range by range.
struct SharedProcess {
  const Scan* scan = nullptr;
  int process_fd = -1;
  int fd_dir = -1;
  bool owner = false;
  const Listing* listing = nullptr;
  std::size_t ranges = 0;
  std::vector<RangeResult> results;  // one per range
  // Set by the first range that finds the process gone; the ranges not yet
  // begun are then passed over, as the rest of its descriptors would be.
  std::atomic<bool> gone{false};
  // Guarded by the share's mutex.
  std::size_t taken = 0;
  std::size_t finished = 0;
};

// Where the threads meet to share out the descriptors of huge processes.
class DescriptorShare {
 public:
  // A thread calls these around taking a process from the counter and
  // scanning it: while any thread is scanning one, a huge process may yet
  // be offered.
  void begin_process() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++scanning_;
  }
  void end_process() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --scanning_;
    }
    changed_.notify_all();
  }

  // Examines every range of the process, on this thread and on whichever
  // threads are idle, and returns once all of them are done.
  void share(SharedProcess& process, Worker& worker);
  // Examines one range of any process on offer; false when there is none.
  bool help(Worker& worker);
  // For a thread with no process left to take: waits until a range is on
  // offer (true) or no thread is scanning a process any more (false).
  bool wait_for_ranges() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !offered_.empty() || scanning_ == 0; });
    return !offered_.empty();
  }

 private:
  // Takes the next range of the process; the caller holds the lock.
  std::size_t take(SharedProcess& process) {
    const std::size_t range = process.taken++;
    if (process.taken == process.ranges) {
      offered_.erase(std::find(offered_.begin(), offered_.end(), &process));
    }
    return range;
  }
  void examine_range(SharedProcess& process, std::size_t range, Worker& worker);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SharedProcess*> offered_;  // processes with ranges not yet taken
  std::size_t scanning_ = 0;
};

struct Reference {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// The inode every descriptor made by the kernel's shared anonymous inode
// stats as. An inotify instance is one of them; an eventfd serves to learn
// which without spending an inotify instance, which brimful may be
// diagnosing the lack of.
std::optional<Reference> anonymous_inode() {
  UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0) return std::nullopt;
  return Reference{status.st_dev, status.st_ino};
}

class Scan {
 public:
  Scan(const TargetDevices& target_devices, uid_t real_uid, std::optional<Reference> anonymous)
      : target_devices_(target_devices), real_uid_(real_uid), anonymous_(anonymous) {}

  // share, when not null, lets idle threads take part in a huge process.
  void scan_process(int proc_fd, const char* entry, std::uint32_t pid, DescriptorShare* share,
                    Worker& worker, ProcessResult& result) const;
  // Examines one range of a shared process's descriptors into its result.
  void scan_range(SharedProcess& process, std::size_t range, Worker& worker) const;
  // The same for a process whose descriptors the kernel has walked: seen is
  // what it found of it, or null when it saw no descriptor.
  void scan_candidates(int proc_fd, const char* entry, std::uint32_t pid, const KernelProcess* seen,
                       Worker& worker, ProcessResult& result) const;
  bool descriptors_exhausted() const { return exhausted_.load(std::memory_order_relaxed); }

 private:
  // empty: whole, and the listing held no descriptor at all.
  enum class Outcome { whole, partial, vanished, empty };

  // What one process's pass over its descriptors carries from one to the
  // next.
  struct DescriptorPass {
    bool whole = true;
    UniqueFd infos;  // the fdinfo directory, opened at the first instance
    bool infos_failed = false;
  };

  // Examines the table of fds, with process_fd the directory that holds it
  // (the process's, or one of its threads').
  Outcome scan_table(int process_fd, DirectoryListing& fds, bool owner, DescriptorShare* share,
                     Worker& worker, ProcessResult& result) const {
    return share != nullptr ? scan_shared(process_fd, fds, owner, *share, worker, result)
                            : scan_descriptors(process_fd, fds, owner, worker, result);
  }
  Outcome scan_descriptors(int process_fd, DirectoryListing& fds, bool owner, Worker& worker,
                           ProcessResult& result) const;
  // The same, reading the listing first and sharing it out when it is long.
  Outcome scan_shared(int process_fd, DirectoryListing& fds, bool owner, DescriptorShare& share,
                      Worker& worker, ProcessResult& result) const;
  // The table of a process whose fd directory was empty, should its leader
  // have exited.
  Outcome scan_remaining_thread(int process_fd, std::uint32_t pid, bool owner, DescriptorShare* share,
                                Worker& worker, ProcessResult& result) const;
  // Examines one descriptor of fd_dir; false when the process is gone.
  bool examine(int process_fd, int fd_dir, const char* entry, bool owner, DescriptorPass& pass,
               Worker& worker, ProcessResult& result) const;
  // Opens the process's directory and takes its status; an invalid
  // descriptor when that failed, with result marked as the error says.
  UniqueFd pin_process(int proc_fd, const char* entry, struct stat& status, ProcessResult& result) const;
  // Notes an error's kind; true when it means the process is gone.
  bool note(int error) const {
    if (exhausted(error)) exhausted_.store(true, std::memory_order_relaxed);
    return vanished(error);
  }

  const TargetDevices& target_devices_;
  const uid_t real_uid_;
  const std::optional<Reference> anonymous_;
  mutable std::atomic<bool> exhausted_{false};
};

UniqueFd Scan::pin_process(int proc_fd, const char* entry, struct stat& status, ProcessResult& result) const {
  UniqueFd process(::openat(proc_fd, entry, O_PATH | O_CLOEXEC));
  if (!process.valid() || ::fstat(process.get(), &status) != 0) {
    const int error = errno;
    if (!note(error) && error != ENOENT) result.inaccessible = true;
    return UniqueFd();
  }
  return process;
}

void Scan::scan_process(int proc_fd, const char* entry, std::uint32_t pid,
                        DescriptorShare* share, Worker& worker, ProcessResult& result) const {
  // The O_PATH descriptor pins this process's directory, so the steps below
  // cannot wander into a newer process that reuses the PID.
  struct stat status {};
  const UniqueFd process = pin_process(proc_fd, entry, status, result);
  if (!process.valid()) return;
  int name_error = 0;
  result.name = process_name(process.get(), pid, worker.text_buffer, name_error);
  if (note(name_error)) return;

  DirectoryListing fds(process.get(), "fd");
  if (!fds.is_open()) {
    const int error = fds.open_error();
    if (!note(error) && !listing_vanished(error)) result.inaccessible = true;
    return;
  }
  result.scanned = true;
  const bool owner = status.st_uid == real_uid_;
  Outcome outcome = scan_table(process.get(), fds, owner, share, worker, result);
  if (outcome == Outcome::empty) outcome = scan_remaining_thread(process.get(), pid, owner, share, worker, result);
  if (outcome == Outcome::partial) result.inaccessible = true;
}

Scan::Outcome Scan::scan_remaining_thread(int process_fd, std::uint32_t pid, bool owner,
                                          DescriptorShare* share, Worker& worker,
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
Scan::Outcome Scan::scan_descriptors(int process_fd, DirectoryListing& fds, bool owner,
                                     Worker& worker, ProcessResult& result) const {
  DescriptorPass pass;
  bool any = false;
  while (const char* entry = fds.next()) {
    any = true;
    if (!examine(process_fd, fds.fd(), entry, owner, pass, worker, result)) {
      return Outcome::vanished;
    }
  }
  const int read_error = fds.read_error();
  if (read_error != 0) {
    if (note(read_error) || listing_vanished(read_error)) return Outcome::vanished;
    pass.whole = false;
  }
  if (!pass.whole) return Outcome::partial;
  return any ? Outcome::whole : Outcome::empty;
}

Scan::Outcome Scan::scan_shared(int process_fd, DirectoryListing& fds, bool owner,
                                DescriptorShare& share, Worker& worker,
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
  if (listing.size() <= kShareAbove) {
    DescriptorPass pass;
    for (std::size_t i = 0; i < listing.size(); ++i) {
      if (!examine(process_fd, fds.fd(), listing.at(i), owner, pass, worker, result)) {
        return Outcome::vanished;
      }
    }
    if (!whole || !pass.whole) return Outcome::partial;
    return listing.size() > 0 ? Outcome::whole : Outcome::empty;
  }

  SharedProcess process;
  process.scan = this;
  process.process_fd = process_fd;
  process.fd_dir = fds.fd();
  process.owner = owner;
  process.listing = &listing;
  process.ranges = (listing.size() + kRangeSize - 1) / kRangeSize;
  process.results.resize(process.ranges);
  share.share(process, worker);
  // A huge process's names would otherwise stay with this thread for the
  // rest of the scan.
  release(listing);
  if (process.gone.load(std::memory_order_relaxed)) return Outcome::vanished;
  // The ranges folded in listing order give what one pass would have: the
  // same sightings in the same order and the same counts. A process whose
  // fdinfo directory could not be opened has no instances known at all.
  bool infos_failed = false;
  for (RangeResult& range : process.results) {
    whole = whole && range.whole;
    infos_failed = infos_failed || range.infos_failed;
    result.sightings.append(range.sightings);
    release(range.sightings);
    result.instances = saturating_add(result.instances, range.instances);
    result.watches = saturating_add(result.watches, range.watches);
  }
  if (infos_failed) {
    result.instances = 0;
    result.watches = 0;
  }
  return whole ? Outcome::whole : Outcome::partial;
}

void Scan::scan_range(SharedProcess& process, std::size_t range, Worker& worker) const {
  ProcessResult part;
  DescriptorPass pass;
  const std::size_t end = std::min((range + 1) * kRangeSize, process.listing->size());
  for (std::size_t i = range * kRangeSize; i < end; ++i) {
    if (!examine(process.process_fd, process.fd_dir, process.listing->at(i), process.owner, pass,
                 worker, part)) {
      process.gone.store(true, std::memory_order_relaxed);
      return;
    }
  }
  RangeResult& out = process.results[range];
  out.sightings = std::move(part.sightings);
  out.instances = part.instances;
  out.watches = part.watches;
  out.whole = pass.whole;
  out.infos_failed = pass.infos_failed;
}

void DescriptorShare::examine_range(SharedProcess& process, std::size_t range, Worker& worker) {
  if (!process.gone.load(std::memory_order_relaxed)) process.scan->scan_range(process, range, worker);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++process.finished;
  }
  changed_.notify_all();
}

void DescriptorShare::share(SharedProcess& process, Worker& worker) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    offered_.push_back(&process);
  }
  changed_.notify_all();
  for (;;) {
    std::size_t range = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (process.taken == process.ranges) break;
      range = take(process);
    }
    examine_range(process, range, worker);
  }
  // The ranges other threads took may still be running; their results and
  // this thread's listing must outlive them.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return process.finished == process.ranges; });
}

bool DescriptorShare::help(Worker& worker) {
  SharedProcess* process = nullptr;
  std::size_t range = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offered_.empty()) return false;
    process = offered_.front();
    range = take(*process);
  }
  examine_range(*process, range, worker);
  return true;
}

// Every descriptor is statted for the deleted-file check; an inotify
// instance always stats as the shared anonymous inode, so for the owner's
// processes only those descriptors, and the ones whose status failed, need
// their link read.
bool Scan::examine(int process_fd, int fd_dir, const char* entry, bool owner,
                   DescriptorPass& pass, Worker& worker, ProcessResult& result) const {
  const std::optional<std::int32_t> fd = parse_descriptor(entry);
  if (!fd && !owner) return true;
  struct stat status {};
  const int status_error = stat_without_waiting(fd_dir, entry, status);
  const bool have_status = status_error == 0;
  if (!have_status) {
    const int error = status_error;
    if (note(error)) return false;
    if (fd && error != ENOENT) pass.whole = false;
  } else if (fd && is_deleted_file_on(status, target_devices_)) {
    Sighting sighting;
    sighting.device = status.st_dev;
    sighting.inode = status.st_ino;
    sighting.allocated_bytes = allocated_bytes(status.st_blocks);
    sighting.fd = *fd;
    const ReadResult link = read_link(fd_dir, entry, worker.link_buffer);
    if (note(link.error)) return false;
    result.sightings.add(sighting, link.error == 0 ? link.bytes : std::string_view("<deleted file>"));
  }
  if (!owner || pass.infos_failed) return true;
  if (have_status && anonymous_ &&
      (status.st_dev != anonymous_->device || status.st_ino != anonymous_->inode)) {
    return true;
  }
  const ReadResult link = read_link(fd_dir, entry, worker.link_buffer);
  if (link.error != 0) {
    if (note(link.error)) return false;
    if (link.error != ENOENT) pass.whole = false;
    return true;
  }
  if (!is_inotify_instance(link.bytes)) return true;
  if (!pass.infos.valid()) {
    pass.infos.reset(::openat(process_fd, "fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!pass.infos.valid()) {
      const int error = errno;
      if (note(error) || listing_vanished(error)) return false;
      // Without fdinfo nothing about this process's instances is known.
      pass.infos_failed = true;
      pass.whole = false;
      result.instances = 0;
      result.watches = 0;
      return true;
    }
  }
  result.instances = saturating_add(result.instances, 1);
  const int info_error = read_whole_file_at(pass.infos.get(), entry, worker.text_buffer, kTableFileLimit);
  if (note(info_error)) return false;
  if (info_error == ENOENT) return true;
  if (info_error != 0 || !is_valid_utf8(worker.text_buffer)) {
    pass.whole = false;
    return true;
  }
  result.watches = saturating_add(result.watches, count_watch_lines(worker.text_buffer));
  return true;
}

// The kernel has already named the descriptors that the /proc walk could
// report: deleted regular files and inotify instances. Examining just those
// the same way, in the same ascending order, gives the same result. What
// the /proc walk could also have counted is a failure to examine a
// descriptor at all, which comes from the permission to look at the
// process's descriptors, so the process's first descriptor is examined
// too, standing in for the rest. The name is read only for a process that
// shows in the report.
void Scan::scan_candidates(int proc_fd, const char* entry, std::uint32_t pid,
                           const KernelProcess* seen, Worker& worker,
                           ProcessResult& result) const {
  struct stat status {};
  const UniqueFd process = pin_process(proc_fd, entry, status, result);
  if (!process.valid()) return;
  UniqueFd fds(::openat(process.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fds.valid()) {
    const int error = errno;
    if (!note(error) && !listing_vanished(error)) result.inaccessible = true;
    return;
  }
  result.scanned = true;
  if (seen == nullptr) return;
  // The kernel walked another thread's table when the leader had exited.
  UniqueFd thread;
  if (seen->thread != pid) {
    const std::string path = "task/" + std::to_string(seen->thread);
    thread.reset(::openat(process.get(), path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (thread.valid()) fds.reset(::openat(thread.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!thread.valid() || !fds.valid()) {
      const int error = errno;
      if (!note(error) && !listing_vanished(error)) result.inaccessible = true;
      return;
    }
    result.through_thread = true;
  }
  const int table = thread.valid() ? thread.get() : process.get();

  std::vector<std::int32_t>& candidates = worker.candidates;
  candidates.clear();
  candidates.push_back(seen->first_fd);
  candidates.insert(candidates.end(), seen->deleted.begin(), seen->deleted.end());
  candidates.insert(candidates.end(), seen->inotify.begin(), seen->inotify.end());
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

  const bool owner = status.st_uid == real_uid_;
  DescriptorPass pass;
  for (const std::int32_t fd : candidates) {
    const std::string name = std::to_string(fd);
    if (!examine(table, fds.get(), name.c_str(), owner, pass, worker, result)) {
      result = ProcessResult{};
      return;
    }
  }
  if (!result.sightings.list.empty() || result.instances > 0) {
    int name_error = 0;
    result.name = process_name(process.get(), pid, worker.text_buffer, name_error);
    if (note(name_error)) {
      result = ProcessResult{};
      return;
    }
  }
  if (!pass.whole) result.inaccessible = true;
}

// Finds a file again by its (device, inode): open addressing over the
// files' places in the list being built, four bytes a slot, where a map's
// node would take ten times that for each of a host's deleted files.
class FileIndex {
 public:
  // The file's place, added to files from the sighting when it is new.
  std::size_t find_or_add(DeletedOpenFiles::Builder& files, std::uint64_t device, const Sighting& sighting,
                          std::string_view path) {
    if ((files.file_count() + 1) * 2 > slots_.size()) grow(files);
    const FileKey key{device, sighting.inode};
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
      if (slots_[i] == 0) {
        const std::size_t place = files.add_file(key.first, key.second, path, sighting.allocated_bytes);
        slots_[i] = static_cast<std::uint32_t>(place + 1);
        return place;
      }
      if (files.key(slots_[i] - 1) == key) return slots_[i] - 1;
    }
  }

 private:
  // Inode numbers are often consecutive; the mix spreads them over the table.
  static std::size_t hash(const FileKey& key) {
    std::uint64_t h = key.first * 0x9E3779B97F4A7C15ull ^ key.second;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
  }
  void grow(const DeletedOpenFiles::Builder& files) {
    slots_.assign(std::max<std::size_t>(1024, slots_.size() * 2), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t place = 0; place < files.file_count(); ++place) {
      std::size_t i = hash(files.key(place)) & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = static_cast<std::uint32_t>(place + 1);
    }
  }

  std::vector<std::uint32_t> slots_;  // a file's place plus one; 0 is free
};

// Folds the processes' results into one record, one process after the other
// in /proc order, freeing each result as it goes.
class Merger {
 public:

  void add(std::uint32_t pid, ProcessResult& result) {
    if (result.scanned) ++scanned_;
    if (result.inaccessible) ++inaccessible_;
    if (result.through_thread) ++leader_exited_;
    if (!result.sightings.list.empty()) {
      const std::uint32_t name = files_.add_name(result.name);
      for (const Sighting& sighting : result.sightings.list) {
        const std::size_t file = index_.find_or_add(files_, sighting.device, sighting, result.sightings.path(sighting));
        files_.add_holder(file, pid, name, sighting.fd);
      }
    }
    if (result.instances > 0) {
      consumers_.push_back(InotifyConsumer{pid, result.name, result.instances, result.watches});
    }
    release(result);
  }

  ProcScan finish(bool descriptors_exhausted) {
    ProcScan scan;
    index_ = FileIndex{};
    scan.deleted_open = std::move(files_).finish(true);
    sort_consumers(consumers_);
    scan.inotify_consumers = std::move(consumers_);
    scan.processes_scanned = scanned_;
    scan.processes_inaccessible = inaccessible_;
    scan.processes_leader_exited = leader_exited_;
    scan.complete = inaccessible_ == 0;
    scan.descriptors_exhausted = descriptors_exhausted;
    return scan;
  }

 private:
  DeletedOpenFiles::Builder files_;
  FileIndex index_;
  std::vector<InotifyConsumer> consumers_;
  std::uint64_t scanned_ = 0;
  std::uint64_t inaccessible_ = 0;
  std::uint64_t leader_exited_ = 0;
};

unsigned default_threads() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1u : static_cast<unsigned>(std::min(online, 16L));
}

struct ProcEntries {
  std::vector<std::string> names;
  std::vector<std::uint32_t> pids;
};

// Hands processes to the threads and their results, in order, to the merger.
class Coordinator {
 public:
  // kernel, when not null, is what the kernel's walk found.
  Coordinator(const Scan& scan, int proc_fd, const ProcEntries& entries,
              const KernelCandidates* kernel)
      : scan_(scan), proc_fd_(proc_fd), entries_(entries), kernel_(kernel),
        results_(entries.pids.size()), done_(entries.pids.size(), false) {}

  ProcScan run(unsigned thread_count, const ScanProgress& progress) {
    if (progress) progress(0, total());
    std::vector<std::thread> threads;
    // One thread would only keep this one waiting.
    for (unsigned i = 0; thread_count > 1 && i < thread_count; ++i) {
      try {
        threads.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        // The threads already running take every process between them.
        break;
      }
    }
    if (threads.empty()) {
      sequential(progress);
    } else {
      watch(progress);
      for (std::thread& thread : threads) thread.join();
    }
    return merger_.finish(scan_.descriptors_exhausted());
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kProgressInterval = std::chrono::milliseconds(200);

  std::size_t total() const { return entries_.pids.size(); }

  void scan_one(std::size_t i, DescriptorShare* share, Worker& worker) {
    const char* entry = entries_.names[i].c_str();
    const std::uint32_t pid = entries_.pids[i];
    if (kernel_ != nullptr) {
      scan_.scan_candidates(proc_fd_, entry, pid, kernel_->find(pid), worker, results_[i]);
    } else {
      scan_.scan_process(proc_fd_, entry, pid, share, worker, results_[i]);
    }
  }

  // A thread helps with a huge process's descriptors before it takes the
  // next process, and once no process is left, waits to help until every
  // other thread is done with its last.
  void work() {
    Worker worker;
    for (;;) {
      if (share_.help(worker)) continue;
      share_.begin_process();
      const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= total()) {
        share_.end_process();
        if (share_.wait_for_ranges()) continue;
        return;
      }
      scan_one(i, &share_, worker);
      share_.end_process();
      merge_done(i);
      {
        // Counted under the lock, so the watching thread cannot miss it.
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
      }
      ready_.notify_one();
    }
  }

  // The thread that finishes a result merges it at once, with every later
  // one that is done, as soon as every earlier one is merged: a result waits
  // only for slower processes before it, which bounds how many are held.
  void merge_done(std::size_t i) {
    std::lock_guard<std::mutex> lock(merge_mutex_);
    done_[i] = true;
    while (merged_ < total() && done_[merged_]) {
      merger_.add(entries_.pids[merged_], results_[merged_]);
      ++merged_;
    }
  }

  void sequential(const ScanProgress& progress) {
    Worker worker;
    Clock::time_point last = Clock::now();
    for (std::size_t i = 0; i < total(); ++i) {
      scan_one(i, nullptr, worker);
      merger_.add(entries_.pids[i], results_[i]);
      if (progress && Clock::now() - last >= kProgressInterval) {
        last = Clock::now();
        progress(i + 1, total());
      }
    }
  }

  // Runs on the calling thread while the others scan, reporting progress.
  void watch(const ScanProgress& progress) {
    Clock::time_point last = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (finished_ < total()) {
      ready_.wait_for(lock, kProgressInterval);
      if (progress && finished_ < total() && Clock::now() - last >= kProgressInterval) {
        last = Clock::now();
        const std::size_t finished = finished_;
        lock.unlock();
        progress(finished, total());
        lock.lock();
      }
    }
  }

  const Scan& scan_;
  const int proc_fd_;
  const ProcEntries& entries_;
  const KernelCandidates* const kernel_;
  std::vector<ProcessResult> results_;
  std::atomic<std::size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable ready_;
  std::size_t finished_ = 0;  // guarded by mutex_
  DescriptorShare share_;
  std::mutex merge_mutex_;
  std::vector<char> done_;  // guarded by merge_mutex_, as are the two below
  std::size_t merged_ = 0;
  Merger merger_;
};

ProcScan unlistable_root(int error) {
  ProcScan scan;
  scan.processes_inaccessible = 1;
  scan.complete = false;
  scan.descriptors_exhausted = exhausted(error);
  return scan;
}

// ---------------------------------------------------------------------------
// The literal scan, kept as the yardstick.

class ReferenceScanner {
 public:
  // Most link texts and comm files fit the first buffers; the buffers grow
  // for longer ones and stay grown for the rest of the scan.
  ReferenceScanner(const TargetDevices& target_devices, uid_t real_uid)
      : target_devices_(target_devices), real_uid_(real_uid), link_buffer_(256) {}

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
  const std::string& name = names_.emplace_back(process_name(process.get(), pid, text_buffer_, name_error));
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
    const Outcome inotify = inotify_pass(table, fds.fd(), pid, name);
    if (inotify != Outcome::whole) outcome = inotify;
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
    const ReadResult link = read_link(fds.fd(), entry, link_buffer_);
    if (note(link.error)) return Outcome::vanished;
    file.path = link.error == 0 ? OsPath(link.bytes) : OsPath("<deleted file>");
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
    const ReadResult link = read_link(fd_dir, entry, link_buffer_);
    if (link.error != 0) {
      if ((gone = note(link.error))) break;
      if (link.error != ENOENT) whole = false;
      continue;
    }
    if (!is_inotify_instance(link.bytes)) continue;
    instances = saturating_add(instances, 1);
    const int info_error = read_whole_file_at(infos.fd(), entry, text_buffer_, kTableFileLimit);
    if ((gone = note(info_error))) break;
    if (info_error == ENOENT) continue;
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

// The kernel's walk numbers processes as brimful's PID namespace does; the
// /proc being listed must number them the same way.
bool is_own_namespace_proc(int proc_fd) {
  std::vector<char> buffer(32);
  const ReadResult self = read_link(proc_fd, "self", buffer);
  return self.error == 0 && self.bytes == std::to_string(::getpid());
}

ProcScan literal_scan(const TargetDevices& target_devices, const OsPath& proc_root, uid_t real_uid) {
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

ProcScan scan_processes(std::uint64_t target_device, const OsPath& proc_root,
                        const ScanSettings& settings) {
  return scan_processes(std::vector<std::uint64_t>{target_device}, proc_root, settings);
}

ProcScan scan_processes(std::vector<std::uint64_t> target_devices, const OsPath& proc_root,
                        const ScanSettings& settings) {
  std::sort(target_devices.begin(), target_devices.end());
  const uid_t real_uid = settings.consumer_uid ? static_cast<uid_t>(*settings.consumer_uid) : ::getuid();
  if (settings.method == ScanMethod::literal) return literal_scan(target_devices, proc_root, real_uid);
  DirectoryListing proc(AT_FDCWD, proc_root.c_str());
  if (!proc.is_open()) return unlistable_root(proc.open_error());
  // The walk comes before the listing, so every process it missed started
  // after it began and has nothing the walk could have named.
  std::optional<KernelCandidates> kernel;
  // Under --pid the root is the host's /proc opened before brimful took the
  // process's place; the walk covers the whole PID namespace either way.
  if (settings.method == ScanMethod::automatic && is_own_namespace_proc(proc.fd())) {
    kernel = walk_in_kernel(target_devices);
  }
  // A failure partway through the listing keeps what was found so far.
  ProcEntries entries;
  while (const char* entry = proc.next()) {
    if (const std::optional<std::uint32_t> pid = parse_pid(entry)) {
      entries.names.emplace_back(entry);
      entries.pids.push_back(*pid);
    }
  }
  const Scan scan(target_devices, real_uid, anonymous_inode());
  Coordinator coordinator(scan, proc.fd(), entries, kernel ? &*kernel : nullptr);
  // The kernel's walk leaves a handful of calls per process, but a host with
  // many deleted-open files still has one status call and one link to read
  // for each; the threads share that work as they share the /proc scan.
  unsigned threads = settings.threads != 0 ? settings.threads : default_threads();
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, entries.pids.size()));
  return coordinator.run(threads, settings.progress);
}

}  // namespace brimful
