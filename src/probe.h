// The active probes: a short-lived file in the probe directory and a
// short-lived inotify instance with one watch; plus errno names and the
// inotify limits.
#ifndef BRIMFUL_PROBE_H
#define BRIMFUL_PROBE_H

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include "report.h"

namespace brimful {

// The errno and its fixed name ("UNKNOWN_ERRNO" outside the table).
ErrnoInfo errno_info(std::int32_t code);

// What one system call returned: value is negative on failure, and error
// then holds errno as read right after the call.
struct SysResult {
  long value = 0;
  int error = 0;
};

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t links = 0;
};

// The system calls the probes make. The kernel implementation below is the
// only one brimful uses; tests substitute a fake that records and fails.
class ProbeSystem {
 public:
  virtual ~ProbeSystem() = default;
  // A directory, read-only, resolved with no symbolic link on the way.
  virtual SysResult open_directory(const char* path) = 0;
  // The (device, inode, links) of the file fd names, or of name in the
  // directory fd when name is not empty (not following a link).
  virtual SysResult identify(int fd, const char* name, FileIdentity& identity) = 0;
  // The path of what fd names, as the kernel tells it; none if unknown.
  virtual std::optional<OsPath> path_of(int fd) = 0;
  virtual SysResult openat(int dirfd, const char* name, int flags, mode_t mode) = 0;
  virtual SysResult unlinkat(int dirfd, const char* name, int flags) = 0;
  virtual SysResult write(int fd, const void* buffer, std::size_t length) = 0;
  virtual SysResult fsync(int fd) = 0;
  virtual SysResult close(int fd) = 0;
  virtual pid_t getpid() = 0;
  virtual SysResult getrandom(void* buffer, std::size_t length, unsigned flags) = 0;
  virtual SysResult clock_realtime(timespec& now) = 0;
  virtual SysResult inotify_init1(int flags) = 0;
  virtual SysResult inotify_add_watch(int fd, const char* path, std::uint32_t mask) = 0;
  // Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT for the calling thread and
  // stores the mask they replaced; the restore puts that mask back.
  virtual SysResult block_termination_signals(sigset_t& previous) = 0;
  virtual SysResult restore_signal_mask(const sigset_t& previous) = 0;
  // From just before the probe's file is created until its name is gone:
  // a run ended meanwhile may leave the file there, and says so.
  virtual void file_may_be_named(int /*dirfd*/, const char* /*name*/) {}
  virtual void file_name_gone() {}
};

class KernelProbeSystem : public ProbeSystem {
 public:
  SysResult open_directory(const char* path) override;
  SysResult identify(int fd, const char* name, FileIdentity& identity) override;
  std::optional<OsPath> path_of(int fd) override;
  SysResult openat(int dirfd, const char* name, int flags, mode_t mode) override;
  SysResult unlinkat(int dirfd, const char* name, int flags) override;
  SysResult write(int fd, const void* buffer, std::size_t length) override;
  SysResult fsync(int fd) override;
  SysResult close(int fd) override;
  pid_t getpid() override;
  SysResult getrandom(void* buffer, std::size_t length, unsigned flags) override;
  SysResult clock_realtime(timespec& now) override;
  SysResult inotify_init1(int flags) override;
  SysResult inotify_add_watch(int fd, const char* path, std::uint32_t mask) override;
  SysResult block_termination_signals(sigset_t& previous) override;
  SysResult restore_signal_mask(const sigset_t& previous) override;
  void file_may_be_named(int dirfd, const char* name) override;
  void file_name_gone() override;
};

// Creates, unlinks, writes, syncs and closes a uniquely named file in
// directory; the first failing step is the outcome. The termination signals
// are held back while the file has a name, so an interrupted run leaves none
// behind; one that arrives meanwhile is delivered right after the unlink.
// The directory is opened once, with no link followed, and every step goes
// through that descriptor; a name that no longer leads to the file created
// is neither removed nor written, and the outcome says so.
CreateProbe run_create_probe(const OsPath& directory, ProbeSystem& system);

// Creates an inotify instance and adds one watch on path; the instance is
// closed again in every outcome.
InotifyProbe run_inotify_probe(const OsPath& path, ProbeSystem& system);

// One of the files under /proc/sys/fs/inotify; absent when unreadable or
// not a plain number.
std::optional<std::uint64_t> read_inotify_limit(const OsPath& file);
std::optional<std::uint64_t> parse_inotify_limit(std::string_view text);

// The per-user inotify limits a user namespace sets for itself, under
// /proc/sys/user as a task in it reads them, and how to name it.
struct UserNamespaceLimits {
  // Its inode in the namespace filesystem, as `readlink /proc/PID/ns/user`
  // shows it, and the user who made it.
  std::uint64_t inode = 0;
  std::optional<std::uint32_t> owner_uid;
  std::optional<std::uint64_t> watches;
  std::optional<std::uint64_t> instances;
};

// The per-user inotify limits as the kernel states them twice: under
// fs/inotify for the initial user namespace, under user/ for the user
// namespace brimful runs in. Each is absent when its file is.
struct InotifyLimitFiles {
  std::optional<std::uint64_t> global_watches;
  std::optional<std::uint64_t> global_instances;
  std::optional<std::uint64_t> namespace_watches;
  std::optional<std::uint64_t> namespace_instances;
  std::optional<std::uint64_t> max_queued_events;
  // The parents of that namespace, nearest first, up to brimful's own: each
  // level charges the use below it too (a parent charges it to the owner of
  // its child on the way), so the lowest limit of all binds.
  std::vector<UserNamespaceLimits> parents;
};

// Reads the five files under proc_sys_root ("/proc/sys" for brimful itself).
InotifyLimitFiles read_inotify_limit_files(const OsPath& proc_sys_root = "/proc/sys");

// The limits that bind: every user namespace on the way up counts the same
// watches and instances, so the smallest of the readable values holds.
InotifyLimits effective_inotify_limits(const InotifyLimitFiles& files);

}  // namespace brimful

#endif  // BRIMFUL_PROBE_H
