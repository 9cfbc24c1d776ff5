#include "scan_threads.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "text.h"

namespace brimful {
namespace scan {
namespace {

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

void DescriptorShare::examine_range(SharedProcess& process, std::size_t range, Worker& worker) {
  // A range begun after the process was found gone is passed over, and the
  // fold stops at it.
  if (process.gone.load(std::memory_order_relaxed)) {
    process.results[range].gone = true;
  } else {
    process.scanner->scan_range(process, range, worker);
  }
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

// Finds a file again by its (device, inode): open addressing over the
// files' places in the list being built, four bytes a slot, where a map's
// node would take ten times that for each of a host's deleted files.
class FileIndex {
 public:
  // The file's place, added to files from the sighting when it is new.
  std::size_t find_or_add(DeletedOpenFiles::Builder& files, std::uint64_t device, const Sighting& sighting,
                          std::string_view path) {
    if ((files.file_count() + 1) * kSlotsPerFile > slots_.size()) grow(files);
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
  // At most half the slots are taken, which keeps the probes short; the
  // count of slots stays a power of two.
  static constexpr std::size_t kSlotsPerFile = 2;
  static constexpr std::size_t kFirstSlots = 1024;

  // Inode numbers are often consecutive; the mix spreads them over the table.
  static std::size_t hash(const FileKey& key) {
    std::uint64_t h = key.first * 0x9E3779B97F4A7C15ull ^ key.second;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
  }
  void grow(const DeletedOpenFiles::Builder& files) {
    slots_.assign(std::max<std::size_t>(kFirstSlots, slots_.size() * 2), 0);
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

}  // namespace

// More threads than this wait on /proc more than they scan.
constexpr long kMaxThreads = 16;

unsigned default_threads() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online < 1 ? 1u : static_cast<unsigned>(std::min(online, kMaxThreads));
}

namespace {

// Hands processes to the threads and their results, in order, to the merger.
class Coordinator {
 public:
  // kernel, when not null, is what the kernel's walk found.
  Coordinator(const ProcessScanner& scan, int proc_fd, const ProcEntries& entries,
              const KernelCandidates* kernel)
      : scan_(scan), proc_fd_(proc_fd), entries_(entries), kernel_(kernel),
        results_(entries.pids.size()), done_(entries.pids.size(), false) {}

  ProcScan run(unsigned thread_count, const Progress& progress) {
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

  void scan_one(std::size_t i, const RangeSharer* share, Worker& worker) {
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
      scan_one(i, &sharer_, worker);
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

  void sequential(const Progress& progress) {
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
  void watch(const Progress& progress) {
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

  const ProcessScanner& scan_;
  const int proc_fd_;
  const ProcEntries& entries_;
  const KernelCandidates* const kernel_;
  std::vector<ProcessResult> results_;
  std::atomic<std::size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable ready_;
  std::size_t finished_ = 0;  // guarded by mutex_
  DescriptorShare share_;
  const RangeSharer sharer_ = [this](SharedProcess& process, Worker& worker) {
    share_.share(process, worker);
  };
  std::mutex merge_mutex_;
  std::vector<char> done_;  // guarded by merge_mutex_, as are the two below
  std::size_t merged_ = 0;
  Merger merger_;
};

}  // namespace

ProcScan scan_entries(const ProcessScanner& scanner, int proc_fd, const ProcEntries& entries,
                      const KernelCandidates* kernel, unsigned thread_count, const Progress& progress) {
  Coordinator coordinator(scanner, proc_fd, entries, kernel);
  return coordinator.run(thread_count, progress);
}

}  // namespace scan
}  // namespace brimful
