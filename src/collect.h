// Turns PATH into the paths brimful examines and gathers every piece of
// evidence about them, in a fixed order.
#ifndef BRIMFUL_COLLECT_H
#define BRIMFUL_COLLECT_H

#include <optional>

#include "probe.h"
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

// Where the collection reads the system from; the defaults are brimful's
// own view.
struct Viewpoint {
  // The /proc whose processes are scanned and whose "self" is brimful.
  OsPath proc_root = "/proc";
  // Whose inotify consumers count; none for brimful's own real user.
  std::optional<std::uint32_t> consumer_uid;
  // The limit files as read elsewhere (by a task of another user
  // namespace); none to read them here.
  std::optional<InotifyLimitFiles> inotify_limit_files;
};

// The whole Evidence, or the one message that ended the collection.
// progress, when set, hears how the process scan advances.
Result<Evidence> collect_evidence(const OsPath& path, bool probes_disabled, const Viewpoint& viewpoint = {},
                                  const ScanProgress& progress = nullptr);

// The lexical parent of a path (the last component removed, "." and
// repeated separators dropped, ".." kept); none for the root or a path
// with a single relative component.
std::optional<OsPath> lexical_parent(const OsPath& path);

}  // namespace brimful

#endif  // BRIMFUL_COLLECT_H
