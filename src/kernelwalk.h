// The in-kernel walk: a BPF iterator over every descriptor table that names
// the few descriptors the process scan must look at, so the scan need not
// examine every descriptor through /proc itself.
#ifndef BRIMFUL_KERNELWALK_H
#define BRIMFUL_KERNELWALK_H

#include <cstdint>
#include <optional>
#include <vector>

namespace brimful {

// What the kernel saw of one process (a thread group, by the number its PID
// directory in /proc has for brimful).
struct KernelProcess {
  std::uint32_t pid = 0;
  // The thread whose descriptor table was walked: the process itself, or
  // when its leader has exited, the lowest-numbered of its other threads
  // that still holds one.
  std::uint32_t thread = 0;
  // The lowest descriptor of the process: it had at least one.
  std::int32_t first_fd = 0;
  // Regular files without links that may lie on the target filesystem. Some
  // filesystems report files with a device number other than their
  // superblock's, so these are candidates only: a status call decides.
  std::vector<std::int32_t> deleted;
  // Descriptors that were inotify instances.
  std::vector<std::int32_t> inotify;
};

struct KernelCandidates {
  // Ascending by pid; every descriptor list ascending too.
  std::vector<KernelProcess> processes;

  // The process with this pid, or null when the kernel saw no descriptor of
  // it.
  const KernelProcess* find(std::uint32_t pid) const;
};

// Walks every descriptor table of brimful's PID namespace in the kernel.
// target_device is the st_dev of the target filesystem. Returns nothing,
// without a message, when the walk cannot run here: no BPF support in this
// build, missing privileges, no kernel type information, a kernel that
// refuses the program.
std::optional<KernelCandidates> walk_in_kernel(std::uint64_t target_device);
// The same for several filesystems at once.
std::optional<KernelCandidates> walk_in_kernel(const std::vector<std::uint64_t>& target_devices);

}  // namespace brimful

#endif  // BRIMFUL_KERNELWALK_H
