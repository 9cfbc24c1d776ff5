#include "kernelwalk.h"

#include <algorithm>

#ifdef BRIMFUL_HAVE_BPF
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kernelwalk_record.h"
#include "os.h"
#endif

namespace brimful {

std::optional<KernelCandidates> walk_in_kernel(std::uint64_t target_device) {
  return walk_in_kernel(std::vector<std::uint64_t>{target_device});
}

const KernelProcess* KernelCandidates::find(std::uint32_t pid) const {
  const auto found =
      std::lower_bound(processes.begin(), processes.end(), pid,
                       [](const KernelProcess& process, std::uint32_t key) { return process.pid < key; });
  return found != processes.end() && found->pid == pid ? &*found : nullptr;
}

#ifndef BRIMFUL_HAVE_BPF

std::optional<KernelCandidates> walk_in_kernel(const std::vector<std::uint64_t>&) { return std::nullopt; }

#else

namespace {

// A process that plainly may not load the program (an ordinary user, a
// container without the capabilities) does not try. A kernel without type
// information refuses the loader itself; its file is not looked for, since
// under --pid brimful sees the process's /sys, if it has one.
bool may_load_programs() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const auto has = [&data](int capability) {
    return (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
  };
  return has(CAP_SYS_ADMIN) || (has(CAP_BPF) && has(CAP_PERFMON));
}

// The target's st_dev in the kernel's encoding (major << 20 | minor). A
// number that encoding cannot hold matches no superblock; only the
// filesystems whose files stat() renumbers are then reported.
unsigned int kernel_device(std::uint64_t device) {
  constexpr unsigned int kMajorBits = 12;
  constexpr unsigned int kMinorBits = 20;
  constexpr unsigned int kNoDevice = 0xffffffffu;
  const unsigned int major_number = major(device);
  const unsigned int minor_number = minor(device);
  if (major_number >= (1u << kMajorBits) || minor_number >= (1u << kMinorBits)) return kNoDevice;
  return (major_number << kMinorBits) | minor_number;
}

class Walk {
 public:
  // Several devices are not told apart in the kernel: every unlinked file
  // is named and the status call decides.
  explicit Walk(const std::vector<std::uint64_t>& target_devices)
      : iterator_(kernelwalk_start(target_devices.size() == 1 ? kernel_device(target_devices.front()) : 0,
                                   target_devices.size() != 1, &program_)) {}
  ~Walk() {
    // The iterator goes before the program it runs.
    iterator_.reset(-1);
    kernelwalk_stop(program_);
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // The descriptor to read the records from, or -1.
  int iterator() const { return iterator_.get(); }

 private:
  kernelwalk_bpf* program_ = nullptr;
  UniqueFd iterator_;
};

void add(KernelCandidates& candidates, const kernelwalk_record& record) {
  auto& processes = candidates.processes;
  if (processes.empty() || processes.back().pid != record.pid || processes.back().thread != record.thread) {
    KernelProcess process;
    process.pid = record.pid;
    process.thread = record.thread;
    process.first_fd = record.fd;
    processes.push_back(std::move(process));
  }
  KernelProcess& process = processes.back();
  if (record.kind == KERNELWALK_DELETED) process.deleted.push_back(record.fd);
  if (record.kind == KERNELWALK_INOTIFY) process.inotify.push_back(record.fd);
}

// Reads every record the iterator gives into candidates; false when the
// walk failed or broke off.
bool read_records(int iterator, KernelCandidates& candidates) {
  // The kernel hands out whole records; a partial one would mean the walk
  // broke off.
  constexpr std::size_t kReadSize = 64 * 1024;
  std::vector<char> buffer(kReadSize);
  std::size_t held = 0;
  bool failed = false;
  for (;;) {
    const ssize_t n = ::read(iterator, buffer.data() + held, buffer.size() - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = n < 0;
      break;
    }
    held += static_cast<std::size_t>(n);
    std::size_t used = 0;
    while (held - used >= sizeof(kernelwalk_record)) {
      kernelwalk_record record;
      std::memcpy(&record, buffer.data() + used, sizeof(record));
      used += sizeof(record);
      add(candidates, record);
    }
    std::memmove(buffer.data(), buffer.data() + used, held - used);
    held -= used;
  }
  return !failed && held == 0;
}

// The iterator goes through the namespace in ascending order of threads;
// sorting keeps find() right should a kernel ever order it otherwise. The
// threads of a process whose leader has exited may come apart, each with
// the table it holds: the lowest-numbered stands for the process.
void keep_lowest_threads(std::vector<KernelProcess>& processes) {
  std::stable_sort(processes.begin(), processes.end(), [](const KernelProcess& a, const KernelProcess& b) {
    return a.pid != b.pid ? a.pid < b.pid : a.thread < b.thread;
  });
  processes.erase(std::unique(processes.begin(), processes.end(),
                              [](const KernelProcess& a, const KernelProcess& b) { return a.pid == b.pid; }),
                  processes.end());
}

}  // namespace

std::optional<KernelCandidates> walk_in_kernel(const std::vector<std::uint64_t>& target_devices) {
  if (!may_load_programs()) return std::nullopt;
  Walk walk(target_devices);
  const int iterator = walk.iterator();
  if (iterator < 0) return std::nullopt;
  KernelCandidates candidates;
  if (!read_records(iterator, candidates)) return std::nullopt;
  keep_lowest_threads(candidates.processes);
  return candidates;
}

#endif  // BRIMFUL_HAVE_BPF

}  // namespace brimful
