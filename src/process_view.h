// Taking the place of another process for --pid: its mount namespace, its
// root and working directory, the inotify limits of its user namespace and
// its real user. Entered once, before anything else of the run happens.
#ifndef BRIMFUL_PROCESS_VIEW_H
#define BRIMFUL_PROCESS_VIEW_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os.h"
#include "probe.h"

namespace brimful {

struct ProcessView {
  std::uint32_t pid = 0;
  // Its name from comm, or the PID as text when that is unreadable or not UTF-8.
  std::string process;
  // Its real user ID, as this host's user namespace sees it.
  std::uint32_t real_uid = 0;
  // PATH, made absolute from the process's working directory when relative.
  OsPath path;
  // The host's /proc, reachable whatever the process's root holds: the
  // working directory is left there, so this is the relative path ".".
  OsPath proc_root;
  // The host's /sys, /dev and kernel log, as paths under proc_root through
  // descriptors opened before entering the process's view ("self/fd/5"):
  // the process's root is its owner's to fill, and a tmpfs over /sys or a
  // FIFO for /dev/kmsg there would speak for the host or stop the run. The
  // descriptors stay open for the rest of the run.
  OsPath sys_root;
  OsPath dev_root;
  OsPath kmsg;
  // The limit files as a task in the process's user namespace reads them;
  // every value absent when that namespace could not be entered.
  InotifyLimitFiles inotify_limit_files;
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
Result<ProcessView> enter_process_view(std::uint32_t pid, const OsPath& path);

}  // namespace brimful

#endif  // BRIMFUL_PROCESS_VIEW_H
