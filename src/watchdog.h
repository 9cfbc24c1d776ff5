// The bound on a whole run. A thread stuck in a filesystem that no longer
// answers (a stopped FUSE daemon) sleeps where no signal handler runs, so
// a thread of its own watches the clock and ends the process at the
// deadline, with one line that says so and a status of its own.
#ifndef BRIMFUL_WATCHDOG_H
#define BRIMFUL_WATCHDOG_H

#include <string>

#include "os.h"

namespace brimful {

// The exit status of a run ended by its bound.
constexpr int kStatusTimedOut = 4;
// The bound when --timeout is not given, in seconds.
constexpr unsigned kDefaultTimeoutSeconds = 15;

// Starts the watching thread; from then on the process ends SECONDS later
// unless it ended before. The thread keeps no share of the caller's root
// and working directory, so the run may still enter another process's
// mount namespace afterwards (the kernel refuses that to a thread that
// shares them).
void start_watchdog(unsigned seconds);

// The line the watchdog writes at the deadline, with the probe file that
// may remain when one had a name then (empty when none had).
std::string timed_out_message(unsigned seconds, const OsPath& probe_file);

// While the create probe's file may have a name: the watchdog names it in
// its line, since ending the process then may leave it behind.
void probe_file_named(const OsPath& directory, const std::string& name);
void probe_file_gone();
// The probe file named now, or empty.
OsPath probe_file_now();

}  // namespace brimful

#endif  // BRIMFUL_WATCHDOG_H
