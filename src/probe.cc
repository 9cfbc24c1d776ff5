#include "probe.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "procfs.h"
#include "text.h"
#include "watchdog.h"

namespace brimful {

ErrnoInfo errno_info(std::int32_t code) {
  const char* name = "UNKNOWN_ERRNO";
  switch (code) {
    case EPERM: name = "EPERM"; break;
    case ENOENT: name = "ENOENT"; break;
    case EIO: name = "EIO"; break;
    case ENOMEM: name = "ENOMEM"; break;
    case EACCES: name = "EACCES"; break;
    case EEXIST: name = "EEXIST"; break;
    case ENOTDIR: name = "ENOTDIR"; break;
    case EINVAL: name = "EINVAL"; break;
    case ENFILE: name = "ENFILE"; break;
    case EMFILE: name = "EMFILE"; break;
    case ENOSPC: name = "ENOSPC"; break;
    case EROFS: name = "EROFS"; break;
    case ENOSYS: name = "ENOSYS"; break;
    case ENOTSUP: name = "ENOTSUP"; break;
    case EDQUOT: name = "EDQUOT"; break;
    default: break;
  }
  return ErrnoInfo{code, name};
}

// ---------------------------------------------------------------------------

namespace {

SysResult from(long value) { return SysResult{value, value < 0 ? errno : 0}; }

}  // namespace

SysResult KernelProbeSystem::open_directory(const char* path) {
  // A directory a user swaps for a link to one of root's must not be where
  // root's probe file lands: no link anywhere on the way is followed.
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return from(fd);
  // Before openat2 (Linux 5.6) only the last component can be held.
  return from(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
}
SysResult KernelProbeSystem::identify(int fd, const char* name, FileIdentity& identity) {
  struct stat status {};
  const int flags = name[0] == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
  const SysResult result = from(::fstatat(fd, name, &status, flags));
  if (result.value == 0) identity = FileIdentity{status.st_dev, status.st_ino, status.st_nlink};
  return result;
}
std::optional<OsPath> KernelProbeSystem::path_of(int fd) {
  std::optional<OsPath> path = read_link("/proc/self/fd/" + std::to_string(fd));
  if (!path || path->empty()) return std::nullopt;
  return path;
}
SysResult KernelProbeSystem::openat(int dirfd, const char* name, int flags, mode_t mode) {
  return from(::openat(dirfd, name, flags, mode));
}
SysResult KernelProbeSystem::unlinkat(int dirfd, const char* name, int flags) {
  return from(::unlinkat(dirfd, name, flags));
}
SysResult KernelProbeSystem::write(int fd, const void* buffer, std::size_t length) {
  return from(::write(fd, buffer, length));
}
SysResult KernelProbeSystem::fsync(int fd) { return from(::fsync(fd)); }
SysResult KernelProbeSystem::close(int fd) { return from(::close(fd)); }
pid_t KernelProbeSystem::getpid() { return ::getpid(); }
SysResult KernelProbeSystem::getrandom(void* buffer, std::size_t length, unsigned flags) {
  return from(::getrandom(buffer, length, flags));
}
SysResult KernelProbeSystem::clock_realtime(timespec& now) {
  return from(::clock_gettime(CLOCK_REALTIME, &now));
}
SysResult KernelProbeSystem::inotify_init1(int flags) { return from(::inotify_init1(flags)); }
SysResult KernelProbeSystem::inotify_add_watch(int fd, const char* path, std::uint32_t mask) {
  return from(::inotify_add_watch(fd, path, mask));
}
SysResult KernelProbeSystem::block_termination_signals(sigset_t& previous) {
  sigset_t block;
  sigemptyset(&block);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&block, signal);
  // pthread_sigmask returns the error number instead of setting errno.
  const int error = ::pthread_sigmask(SIG_BLOCK, &block, &previous);
  return SysResult{error == 0 ? 0 : -1, error};
}
SysResult KernelProbeSystem::restore_signal_mask(const sigset_t& previous) {
  const int error = ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return SysResult{error == 0 ? 0 : -1, error};
}

void KernelProbeSystem::file_may_be_named(int dirfd, const char* name) {
  probe_file_named(path_of(dirfd).value_or(OsPath("(the probe directory)")), name);
}
void KernelProbeSystem::file_name_gone() { probe_file_gone(); }

// ---------------------------------------------------------------------------

namespace {

ProbeOutcome step_failed(Phase phase, int code) {
  return ProbeError{phase, errno_info(static_cast<std::int32_t>(code))};
}

// Random enough that two runs, or a run and a stale file, never share a
// name; the clock stands in when getrandom is unavailable.
std::uint64_t name_suffix(ProbeSystem& system) {
  unsigned char bytes[8];
  if (system.getrandom(bytes, sizeof bytes, 0).value == 8) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  timespec now{};
  if (system.clock_realtime(now).value != 0 || now.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

namespace {

bool same_file(const FileIdentity& a, const FileIdentity& b) { return a.device == b.device && a.inode == b.inode; }

// ".brimful-probe-PID-SUFFIX": no run and no stale file share it.
std::string probe_name(ProbeSystem& system) {
  const long pid = static_cast<long>(system.getpid());
  const std::uint64_t suffix = name_suffix(system);
  char name[64];
  std::snprintf(name, sizeof name, ".brimful-probe-%ld-%016" PRIx64, pid, suffix);
  return name;
}

// Removing the name before writing makes the file exist only through the
// descriptor, so no later failure can leave it behind. If the removal
// fails, the file stays; the outcome says so. The directory's owner may
// have renamed the file and put something else under its name: that is
// not brimful's to remove, and a file of brimful's that still has a name
// after the removal is not written to.
ProbeOutcome remove_name(ProbeSystem& system, int dirfd, int fd, const char* name, CreateProbe& probe) {
  FileIdentity created;
  FileIdentity named;
  const bool ours = system.identify(fd, "", created).value == 0 && system.identify(dirfd, name, named).value == 0 &&
                    same_file(created, named);
  const SysResult unlinked = ours ? system.unlinkat(dirfd, name, 0) : SysResult{0, 0};
  FileIdentity after;
  probe.file_renamed =
      !ours || (unlinked.value == 0 && (system.identify(fd, "", after).value != 0 || after.links != 0));
  if (probe.file_renamed) return step_failed(Phase::unlink, EEXIST);
  if (unlinked.value < 0) return step_failed(Phase::unlink, unlinked.error);
  return ProbeSuccess{};
}

ProbeOutcome write_and_sync(ProbeSystem& system, int fd) {
  const SysResult written = system.write(fd, "N", 1);
  if (written.value < 0) return step_failed(Phase::write, written.error);
  if (written.value == 0) return step_failed(Phase::write, EIO);
  const SysResult synced = system.fsync(fd);
  if (synced.value != 0) return step_failed(Phase::fsync, synced.error);
  return ProbeSuccess{};
}

ProbeOutcome probe_file(const OsPath& directory, ProbeSystem& system, CreateProbe& probe) {
  if (contains_nul(directory)) return step_failed(Phase::open_directory, EINVAL);

  const SysResult dir = system.open_directory(directory.c_str());
  if (dir.value < 0) return step_failed(Phase::open_directory, dir.error);
  const int dirfd = static_cast<int>(dir.value);
  const std::optional<OsPath> probed = system.path_of(dirfd);
  if (probed && *probed != directory) probe.directory_probed = probed;
  const std::string name = probe_name(system);

  // While the file has a name, a Ctrl-C or a kill would leave it behind; the
  // signals wait until the name is gone. Should blocking fail, the probe runs
  // unguarded rather than not at all, and the mask is left alone.
  sigset_t previous;
  sigemptyset(&previous);
  const bool blocked = system.block_termination_signals(previous).value == 0;

  // O_EXCL: the probe never opens, truncates or follows anything that is
  // already there.
  system.file_may_be_named(dirfd, name.c_str());
  const SysResult file = system.openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file.value < 0) {
    system.file_name_gone();
    if (blocked) system.restore_signal_mask(previous);
    const ProbeOutcome outcome = step_failed(Phase::create, file.error);
    system.close(dirfd);
    return outcome;
  }
  const int fd = static_cast<int>(file.value);
  ProbeOutcome outcome = remove_name(system, dirfd, fd, name.c_str(), probe);
  system.file_name_gone();
  if (blocked) system.restore_signal_mask(previous);
  if (is_success(outcome)) outcome = write_and_sync(system, fd);

  const SysResult closed = system.close(fd);
  if (is_success(outcome) && closed.value != 0) outcome = step_failed(Phase::close, closed.error);
  system.close(dirfd);
  return outcome;
}

}  // namespace

CreateProbe run_create_probe(const OsPath& directory, ProbeSystem& system) {
  CreateProbe probe;
  probe.outcome = probe_file(directory, system, probe);
  return probe;
}

InotifyProbe run_inotify_probe(const OsPath& path, ProbeSystem& system) {
  InotifyProbe probe;
  const SysResult instance = system.inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (instance.value < 0) {
    probe.init = step_failed(Phase::init, instance.error);
    probe.add_watch = ProbeNotRun{};
    return probe;
  }
  const int fd = static_cast<int>(instance.value);
  probe.init = ProbeSuccess{};
  if (contains_nul(path)) {
    probe.add_watch = step_failed(Phase::add_watch, EINVAL);
  } else {
    const SysResult watch = system.inotify_add_watch(fd, path.c_str(), IN_ATTRIB);
    probe.add_watch = watch.value < 0 ? step_failed(Phase::add_watch, watch.error) : ProbeOutcome{ProbeSuccess{}};
  }
  // Closing the instance also removes its watch.
  system.close(fd);
  return probe;
}

// ---------------------------------------------------------------------------

std::optional<std::uint64_t> parse_inotify_limit(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  return parse_unsigned(trim_unicode_whitespace(text), UINT64_MAX);
}

std::optional<std::uint64_t> read_inotify_limit(const OsPath& file) {
  const std::optional<std::string> text = read_whole_file(file);
  return text ? parse_inotify_limit(*text) : std::nullopt;
}

InotifyLimitFiles read_inotify_limit_files(const OsPath& proc_sys_root) {
  InotifyLimitFiles files;
  files.global_watches = read_inotify_limit(proc_sys_root + "/fs/inotify/max_user_watches");
  files.namespace_watches = read_inotify_limit(proc_sys_root + "/user/max_inotify_watches");
  files.global_instances = read_inotify_limit(proc_sys_root + "/fs/inotify/max_user_instances");
  files.namespace_instances = read_inotify_limit(proc_sys_root + "/user/max_inotify_instances");
  files.max_queued_events = read_inotify_limit(proc_sys_root + "/fs/inotify/max_queued_events");
  return files;
}

namespace {

std::optional<std::uint64_t> smaller(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

InotifyLimits effective_inotify_limits(const InotifyLimitFiles& files) {
  InotifyLimits limits;
  limits.max_user_watches = smaller(files.global_watches, files.namespace_watches);
  limits.max_user_instances = smaller(files.global_instances, files.namespace_instances);
  for (const UserNamespaceLimits& parent : files.parents) {
    limits.max_user_watches = smaller(limits.max_user_watches, parent.watches);
    limits.max_user_instances = smaller(limits.max_user_instances, parent.instances);
  }
  limits.max_queued_events = files.max_queued_events;
  return limits;
}

}  // namespace brimful
