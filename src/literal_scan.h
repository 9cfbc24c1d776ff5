// The literal process scan: on one thread, every link of every descriptor
// that a process's fd and fdinfo directories list is read. It gives the
// record the fast scan (procscan.h) must give, and is slow on purpose; only
// the tests, the fuzz targets and the benchmarks link it.
#ifndef BRIMFUL_LITERAL_SCAN_H
#define BRIMFUL_LITERAL_SCAN_H

#include <cstdint>
#include <vector>

#include "procscan.h"
#include "report.h"

namespace brimful {

// What scan_processes would find under proc_root; settings.threads and
// settings.progress are not used.
ProcScan literal_scan(std::vector<std::uint64_t> target_devices, const OsPath& proc_root = "/proc",
                      const ScanSettings& settings = {});

}  // namespace brimful

#endif  // BRIMFUL_LITERAL_SCAN_H
