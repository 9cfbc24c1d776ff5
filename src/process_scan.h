// The scan of one process's descriptors: what its deleted-open files on the
// target are, and for the consumer's own processes, how many inotify
// instances and watches it holds. The threads that run it for every process
// and merge the results are in scan_threads.h.
#ifndef BRIMFUL_PROCESS_SCAN_H
#define BRIMFUL_PROCESS_SCAN_H

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernelwalk.h"
#include "os.h"
#include "scan_rules.h"

namespace brimful {
namespace scan {

// One deleted file on the target seen through one descriptor.
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

  void add(Sighting sighting, std::string_view path);
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
  std::vector<char> link_buffer = std::vector<char>(kLinkBufferSize);
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
  // The process was found gone in this range; the ranges after it count
  // for nothing, as the rest of a single pass would not have been made.
  bool gone = false;
};

class ProcessScanner;

// One process's descriptors offered to the threads, range by range.
struct SharedProcess {
  const ProcessScanner* scanner = nullptr;
  int process_fd = -1;
  int fd_dir = -1;
  bool owner = false;
  const Listing* listing = nullptr;
  std::size_t ranges = 0;
  std::vector<RangeResult> results;  // one per range
  // Set by the first range that finds the process gone; the ranges not yet
  // begun are then passed over, as the rest of its descriptors would be.
  std::atomic<bool> gone{false};
  // Guarded by the sharer.
  std::size_t taken = 0;
  std::size_t finished = 0;
};

// Where a huge process's ranges go to be examined by whichever threads are
// idle (see scan_threads.h): examines every range of the process and
// returns once all are done. A callable rather than a virtual function: the
// sanitizers check a virtual call's object with a descriptor of their own,
// which a scan that has run out of them does not have.
using RangeSharer = std::function<void(SharedProcess& process, Worker& worker)>;

struct Reference {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// The inode every descriptor made by the kernel's shared anonymous inode
// stats as; none when it cannot be learnt.
std::optional<Reference> anonymous_inode();

// Scans processes one at a time on any number of threads at once; what it
// keeps across processes is whether brimful ran out of descriptors.
class ProcessScanner {
 public:
  ProcessScanner(const TargetDevices& target_devices, uid_t real_uid, std::optional<Reference> anonymous)
      : target_devices_(target_devices), real_uid_(real_uid), anonymous_(anonymous) {}

  // share, when not null, lets idle threads take part in a huge process.
  void scan_process(int proc_fd, const char* entry, std::uint32_t pid, const RangeSharer* share,
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
    // The fdinfo directory could not be opened: no instance counts.
    bool infos_failed = false;
  };
  // What a pass over a listing that held any descriptor (or none) comes to.
  static Outcome outcome_of(const DescriptorPass& pass, bool any) {
    if (!pass.whole) return Outcome::partial;
    return any ? Outcome::whole : Outcome::empty;
  }

  // Examines the table of fds, with process_fd the directory that holds it
  // (the process's, or one of its threads').
  Outcome scan_table(int process_fd, DirectoryListing& fds, bool owner, const RangeSharer* share,
                     Worker& worker, ProcessResult& result) const {
    return share != nullptr ? scan_shared(process_fd, fds, owner, *share, worker, result)
                            : scan_descriptors(process_fd, fds, owner, worker, result);
  }
  Outcome scan_descriptors(int process_fd, DirectoryListing& fds, bool owner, Worker& worker,
                           ProcessResult& result) const;
  // The same, reading the listing first and sharing it out when it is long.
  Outcome scan_shared(int process_fd, DirectoryListing& fds, bool owner, const RangeSharer& share,
                      Worker& worker, ProcessResult& result) const;
  Outcome scan_listing(int process_fd, int fd_dir, bool owner, Worker& worker, ProcessResult& result) const;
  Outcome share_listing(int process_fd, int fd_dir, bool owner, const RangeSharer& share, Worker& worker,
                        ProcessResult& result) const;
  // The table of a process whose fd directory was empty, should its leader
  // have exited.
  Outcome scan_remaining_thread(int process_fd, std::uint32_t pid, bool owner, const RangeSharer* share,
                                Worker& worker, ProcessResult& result) const;
  // Opens the fd directory of the other thread whose table the kernel
  // walked, keeping the thread's directory in thread; an invalid descriptor
  // when either cannot be opened, with result marked as the error says.
  UniqueFd open_walked_thread(int process_fd, const KernelProcess& seen, UniqueFd& thread,
                              ProcessResult& result) const;
  // Examines the descriptors the kernel named, in ascending order.
  Outcome examine_candidates(int process_fd, int fd_dir, const KernelProcess& seen, bool owner, Worker& worker,
                             ProcessResult& result) const;
  // Examines one descriptor of fd_dir; false when the process is gone.
  bool examine(int process_fd, int fd_dir, const char* entry, bool owner, DescriptorPass& pass,
               Worker& worker, ProcessResult& result) const;
  // Reads the link of a deleted file on the target into result; false when
  // the process is gone.
  bool note_deleted(int fd_dir, const char* entry, std::int32_t fd, const struct stat& status,
                    Worker& worker, ProcessResult& result) const;
  // Counts an inotify instance and its watches; false when the process is gone.
  bool count_instance(int process_fd, const char* entry, DescriptorPass& pass, Worker& worker,
                      ProcessResult& result) const;
  // Opens the process's directory and takes its status; an invalid
  // descriptor when that failed, with result marked as the error says.
  UniqueFd pin_process(int proc_fd, const char* entry, struct stat& status, ProcessResult& result) const;
  // Notes an error's kind; true when it means the process is gone.
  bool note(int error) const {
    if (exhausted(error)) exhausted_.store(true, std::memory_order_relaxed);
    return vanished(error);
  }
  // Marks result inaccessible unless the error means the process is gone.
  void note_inaccessible(int error, ProcessResult& result) const {
    if (!note(error) && !listing_vanished(error)) result.inaccessible = true;
  }

  const TargetDevices& target_devices_;
  const uid_t real_uid_;
  const std::optional<Reference> anonymous_;
  mutable std::atomic<bool> exhausted_{false};
};

}  // namespace scan
}  // namespace brimful

#endif  // BRIMFUL_PROCESS_SCAN_H
