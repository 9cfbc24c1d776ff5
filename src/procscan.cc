#include "procscan.h"

namespace brimful {

// Placeholder until the process scan lands: nothing found, nothing missed.
ProcScan scan_processes(std::uint64_t, const OsPath&) { return ProcScan{}; }

}  // namespace brimful
