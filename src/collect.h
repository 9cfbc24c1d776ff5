// Turns PATH into the paths brimful examines and gathers every piece of
// evidence about them, in a fixed order.
#ifndef BRIMFUL_COLLECT_H
#define BRIMFUL_COLLECT_H

#include <optional>
#include <string_view>
#include <vector>

#include "probe.h"
#include "process_view.h"
#include "procscan.h"
#include "report.h"

namespace brimful {

// The three paths of a run: the target shown in the report, the existing
// directory the create probe works in, and the existing path (never shown)
// whose filesystem is examined.
struct Resolution {
  OsPath target;
  bool target_exists = false;
  OsPath probe_directory;
  OsPath inspected;
};

Result<Resolution> resolve_target(const OsPath& path);

// The whole Evidence, or the one message that ended the collection.
// progress, when set, hears how the process scan advances.
Result<Evidence> collect_evidence(const OsPath& path, bool probes_disabled, const Viewpoint& viewpoint = {},
                                  const ScanProgress& progress = nullptr);

// Every filesystem of brimful's mount table that can hold user data, each
// once, examined at its mount point with one read of the mount table and
// one process scan shared by all, ordered by mount point. Left out: the
// types of skipped_filesystem_type, a mount hidden under a later one on the
// same mount point, and a filesystem already seen through another mount (a
// bind), of which the mount with the shortest mount point stays. The create
// probe runs at each mount point unless probes are disabled; on a read-only
// mount, whose verdict the create probe's EROFS alone gives, nothing else
// is tried.
Result<std::vector<Evidence>> collect_host_evidence(bool probes_disabled, const Viewpoint& viewpoint = {},
                                                    const ScanProgress& progress = nullptr);

// Filesystem types that hold no user data (the kernel's views of itself:
// proc, sysfs, cgroup, devpts, ...) or never take a write (squashfs,
// iso9660, erofs, ...), and autofs, whose mount points mount on a look.
bool skipped_filesystem_type(std::string_view fs_type);

// The lexical parent of a path (the last component removed, "." and
// repeated separators dropped, ".." kept); none for the root or a path
// with a single relative component.
std::optional<OsPath> lexical_parent(const OsPath& path);

}  // namespace brimful

#endif  // BRIMFUL_COLLECT_H
