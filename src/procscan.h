// The scan of /proc for deleted-but-open files on the target filesystem and
// for the current user's inotify consumers.
#ifndef BRIMFUL_PROCSCAN_H
#define BRIMFUL_PROCSCAN_H

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "report.h"

namespace brimful {

// Called now and then while a scan runs, with the processes scanned so far
// and how many /proc listed; never called by the scan's own threads, only by
// the thread that started the scan.
using ScanProgress = std::function<void(std::uint64_t scanned, std::uint64_t total)>;

// How the scan finds the descriptors it examines. Both methods give the
// same record, the literal scan's (literal_scan.h); brimful itself always
// uses `automatic`, the other is there for the tests and benchmarks to
// compare against.
enum class ScanMethod {
  // The kernel walks the descriptor tables and names the few descriptors
  // worth a look (see kernelwalk.h) when brimful may load that walk and the
  // root is the procfs of brimful's own PID namespace (wherever it is
  // mounted); otherwise the same as proc_only.
  automatic,
  // Every descriptor of every process through /proc, in parallel, with a
  // link read only where a descriptor's status cannot rule out an inotify
  // instance.
  proc_only,
};

struct ScanSettings {
  // How many threads share the processes; 0 picks min(online CPUs, 16), 1
  // scans on the calling thread alone.
  unsigned threads = 0;
  ScanProgress progress;
  // Whose inotify consumers count; none for brimful's own real user.
  std::optional<std::uint32_t> consumer_uid;
  ScanMethod method = ScanMethod::automatic;
};

// Walks proc_root once. Never fails: whatever cannot be read is counted in
// processes_inaccessible. The root is a parameter so tests can scan a tree
// they built; brimful itself scans "/proc", or under --pid the host's /proc
// opened before it entered the process's mount namespace.
//
// Processes are scanned one by one into results of their own, merged in the
// order /proc listed them, so the record is the one a scan of one process
// after the other would give. The descriptors of a process with thousands of
// them are examined in ranges that idle threads take, folded back in the
// order its fd directory listed them.
ProcScan scan_processes(std::uint64_t target_device, const OsPath& proc_root = "/proc",
                        const ScanSettings& settings = {});

// The same over several filesystems at once: the deleted-open files of
// every one of target_devices in one list, which tells them apart by device.
ProcScan scan_processes(std::vector<std::uint64_t> target_devices, const OsPath& proc_root = "/proc",
                        const ScanSettings& settings = {});

}  // namespace brimful

#endif  // BRIMFUL_PROCSCAN_H
