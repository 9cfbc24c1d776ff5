// The threads of a process scan and the merge of their results: every
// process is scanned into a result of its own, and the results are folded
// into one record in the order /proc listed the processes.
#ifndef BRIMFUL_SCAN_THREADS_H
#define BRIMFUL_SCAN_THREADS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernelwalk.h"
#include "process_scan.h"
#include "report.h"

namespace brimful {
namespace scan {

// The processes /proc listed, by entry name and PID, in listing order.
struct ProcEntries {
  std::vector<std::string> names;
  std::vector<std::uint32_t> pids;
};

// Hears how far the scan has come: processes scanned of those listed (the
// entry point's ScanProgress; this layer sits below it).
using Progress = std::function<void(std::uint64_t scanned, std::uint64_t total)>;

// The threads a scan uses when the settings leave it open.
unsigned default_threads();

// Scans every process of entries under proc_fd on up to thread_count
// threads (one: the calling thread alone), through what the kernel's walk
// found of each when kernel is not null, and merges the results.
ProcScan scan_entries(const ProcessScanner& scanner, int proc_fd, const ProcEntries& entries,
                      const KernelCandidates* kernel, unsigned thread_count, const Progress& progress);

}  // namespace scan
}  // namespace brimful

#endif  // BRIMFUL_SCAN_THREADS_H
