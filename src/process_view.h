// Taking the place of another process for --pid: its mount namespace, its
// root and working directory, the inotify limits of its user namespace and
// of that namespace's parents, and its real user. Entered once, before
// anything else of the run happens.
#ifndef BRIMFUL_PROCESS_VIEW_H
#define BRIMFUL_PROCESS_VIEW_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os.h"
#include "probe.h"
#include "report.h"

namespace brimful {

// Where a run reads the system from. The defaults are brimful's own view;
// under --pid, enter_process_view gives the view of that process, and the
// whole run (collection and --explain) reads through it.
struct Viewpoint {
  // The /proc whose processes are scanned and whose "self" is brimful.
  OsPath proc_root = "/proc";
  // The host's /sys, /dev and kernel log. Under --pid these are paths
  // under proc_root through descriptors opened before entering the
  // process's view ("self/fd/5"): the process's root is its owner's to
  // fill, and a tmpfs over /sys or a FIFO for /dev/kmsg there would speak
  // for the host or stop the run. The descriptors stay open for the run.
  OsPath sys_root = "/sys";
  OsPath dev_root = "/dev";
  OsPath kmsg = "/dev/kmsg";
  // The process the report speaks for; none for brimful itself. Its real
  // user is the one whose inotify consumers count.
  std::optional<ProcessIdentity> as_seen_by;
  // The limit files as a task in that process's user namespace reads them
  // (every value absent when the namespace could not be entered), with
  // those of its parent namespaces; none to read them under proc_root.
  std::optional<InotifyLimitFiles> inotify_limit_files;
  // When the run's bound (--timeout) ends it, on the monotonic clock in
  // ms; 0 for none. No call waits on a filesystem past half of what is left.
  std::int64_t run_ends_ms = 0;
};

struct ProcessView {
  // PATH, made absolute from the process's working directory when relative.
  OsPath path;
  // Its proc_root is the host's /proc, reachable whatever the process's
  // root holds: the working directory is left there, so it is ".".
  Viewpoint view;
};

// A process ID as given on the command line: decimal digits only, not zero,
// no larger than a pid_t holds.
std::optional<std::uint32_t> parse_process_id(std::string_view text);

// Moves this process into pid's mount namespace, root and working directory
// and resolves PATH there. Needs a single-threaded caller (the kernel refuses
// setns otherwise) and, for a process of another namespace or root, the
// privileges to enter them. Errors: "no process PID", "cannot enter the
// mount namespace of process PID: " and the OS error text, and the like for
// its root and working directory.
// run_ends_ms: as in Viewpoint, which keeps it.
Result<ProcessView> enter_process_view(std::uint32_t pid, const OsPath& path, std::int64_t run_ends_ms = 0);

}  // namespace brimful

#endif  // BRIMFUL_PROCESS_VIEW_H
