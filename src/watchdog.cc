#include "watchdog.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "text.h"

namespace brimful {

namespace {

// What the watchdog reads at the deadline; written by the probe alone.
struct ProbeFileRecord {
  std::mutex lock;
  OsPath path;
};

ProbeFileRecord& probe_file_record() {
  static ProbeFileRecord record;
  return record;
}

[[noreturn]] void watch(unsigned seconds, timespec deadline) {
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  OsPath probe_file;
  {
    ProbeFileRecord& record = probe_file_record();
    // Held only for a copy, never across a system call: taking it cannot stall.
    const std::lock_guard<std::mutex> hold(record.lock);
    probe_file = record.path;
  }
  (void)write_all(STDERR_FILENO, timed_out_message(seconds, probe_file));
  ::_exit(kStatusTimedOut);
}

}  // namespace

std::string timed_out_message(unsigned seconds, const OsPath& probe_file) {
  std::string message = "brimful: stopped: the run did not finish within " + std::to_string(seconds) +
                        " s (--timeout); a filesystem or process it examined did not answer, or there was more "
                        "to examine than that allows\n";
  if (!probe_file.empty()) {
    message += "brimful: the probe file " + display(probe_file) +
               " may remain; remove it once its filesystem answers\n";
  }
  return message;
}

void start_watchdog(unsigned seconds) {
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(seconds);
  std::promise<void> unshared;
  std::future<void> started = unshared.get_future();
  std::thread(
      [seconds, deadline](std::promise<void> done) {
        (void)::unshare(CLONE_FS);
        done.set_value();
        watch(seconds, deadline);
      },
      std::move(unshared))
      .detach();
  started.wait();
}

void probe_file_named(const OsPath& directory, const std::string& name) {
  ProbeFileRecord& record = probe_file_record();
  const std::lock_guard<std::mutex> hold(record.lock);
  record.path = directory + (!directory.empty() && directory.back() == '/' ? "" : "/") + name;
}

void probe_file_gone() {
  ProbeFileRecord& record = probe_file_record();
  const std::lock_guard<std::mutex> hold(record.lock);
  record.path.clear();
}

OsPath probe_file_now() {
  ProbeFileRecord& record = probe_file_record();
  const std::lock_guard<std::mutex> hold(record.lock);
  return record.path;
}

}  // namespace brimful
