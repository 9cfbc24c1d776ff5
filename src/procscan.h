// The scan of /proc for deleted-but-open files on the target filesystem and
// for the current user's inotify consumers.
#ifndef BRIMFUL_PROCSCAN_H
#define BRIMFUL_PROCSCAN_H

#include <cstdint>
#include <optional>

#include "report.h"

namespace brimful {

// Walks proc_root once. Never fails: whatever cannot be read is counted in
// processes_inaccessible. The root is a parameter so tests can scan a tree
// they built. The inotify consumers are those of consumer_uid, by default
// brimful's own real user.
ProcScan scan_processes(std::uint64_t target_device, const OsPath& proc_root = "/proc",
                        std::optional<std::uint32_t> consumer_uid = std::nullopt);

}  // namespace brimful

#endif  // BRIMFUL_PROCSCAN_H
