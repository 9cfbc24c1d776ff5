#include "procscan.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "kernelwalk.h"
#include "process_scan.h"
#include "scan_rules.h"
#include "scan_threads.h"

namespace brimful {
namespace {

// The kernel's walk numbers processes as brimful's PID namespace does; the
// /proc being listed must number them the same way.
bool is_own_namespace_proc(int proc_fd) {
  constexpr std::size_t kPidLinkSize = 32;
  std::vector<char> buffer(kPidLinkSize);
  const LinkText self = read_link(proc_fd, "self", buffer);
  return self.error == 0 && self.bytes == std::to_string(::getpid());
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
  DirectoryListing proc(AT_FDCWD, proc_root.c_str());
  if (!proc.is_open()) return scan::unlistable_root(proc.open_error());
  // The walk comes before the listing, so every process it missed started
  // after it began and has nothing the walk could have named.
  std::optional<KernelCandidates> kernel;
  // Under --pid the root is the host's /proc opened before brimful took the
  // process's place; the walk covers the whole PID namespace either way.
  if (settings.method == ScanMethod::automatic && is_own_namespace_proc(proc.fd())) {
    kernel = walk_in_kernel(target_devices);
  }
  // A failure partway through the listing keeps what was found so far.
  scan::ProcEntries entries;
  while (const char* entry = proc.next()) {
    if (const std::optional<std::uint32_t> pid = parse_pid(entry)) {
      entries.names.emplace_back(entry);
      entries.pids.push_back(*pid);
    }
  }
  const scan::ProcessScanner scanner(target_devices, real_uid, scan::anonymous_inode());
  // The kernel's walk leaves a handful of calls per process, but a host with
  // many deleted-open files still has one status call and one link to read
  // for each; the threads share that work as they share the /proc scan.
  unsigned threads = settings.threads != 0 ? settings.threads : scan::default_threads();
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, entries.pids.size()));
  return scan::scan_entries(scanner, proc.fd(), entries, kernel ? &*kernel : nullptr, threads, settings.progress);
}

}  // namespace brimful
