#include "process_view.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/nsfs.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "bounded_call.h"
#include "process_facts.h"
#include "procfs.h"
#include "text.h"

namespace brimful {

namespace {

// The process vanished (or became a zombie, which has no namespaces left)
// between two steps.
bool vanished(int error) { return error == ENOENT || error == ESRCH; }

// Two descriptors or paths name the same namespace or directory.
bool same_object(int fd, int dir_fd, const char* name) {
  struct stat a {};
  struct stat b {};
  return ::fstat(fd, &a) == 0 && ::fstatat(dir_fd, name, &b, 0) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::string limit_word(const std::optional<std::uint64_t>& value) {
  return value ? std::to_string(*value) : std::string("-");
}

std::optional<std::uint64_t> limit_value(std::string_view word) {
  return word == "-" ? std::nullopt : parse_unsigned(word, UINT64_MAX);
}

// How long the helpers, together, may take to read the limit files of the
// process's user namespace and its parents before they are killed.
constexpr int kHelperDeadlineMs = 2000;
// The most the helper may answer.
constexpr std::size_t kHelperAnswerMax = 256;
// User namespaces nest no deeper than this.
constexpr int kMaxUserNamespaceDepth = 32;
// The group the helper runs as: the kernel does not tell a namespace owner's
// group, and the overflow group grants nothing.
constexpr gid_t kNoGroup = 65534;

// The user who owns the namespace, or its outermost ancestor below brimful's
// own: that user holds every capability in it, and only as that user does
// a process without capabilities of its own get to join it.
std::optional<uid_t> namespace_owner(int user_ns_fd, int proc_fd) {
  UniqueFd ns(::dup(user_ns_fd));
  for (int depth = 0; ns.valid() && depth < kMaxUserNamespaceDepth; ++depth) {
    UniqueFd parent(::ioctl(ns.get(), NS_GET_PARENT));
    if (!parent.valid()) return std::nullopt;
    if (same_object(parent.get(), proc_fd, "self/ns/user")) {
      uid_t owner = 0;
      if (::ioctl(ns.get(), NS_GET_OWNER_UID, &owner) != 0) return std::nullopt;
      return owner;
    }
    ns = std::move(parent);
  }
  return std::nullopt;
}

// In the helper: nothing open but what it needs, the owner's user ID, no
// group, no capability, and no way to be traced, so that the owner, who
// may signal it once it has joined, can do through it nothing it could not
// do alone.
bool become_owner(uid_t owner, int keep_a, int keep_b) {
  const unsigned low = static_cast<unsigned>(std::min(keep_a, keep_b));
  const unsigned high = static_cast<unsigned>(std::max(keep_a, keep_b));
  if ((low > 0 && ::close_range(0, low - 1, 0) != 0) || (high > low + 1 && ::close_range(low + 1, high - 1, 0) != 0) ||
      ::close_range(high + 1, ~0U, 0) != 0) {
    return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  return ::setgroups(0, nullptr) == 0 && ::setresgid(kNoGroup, kNoGroup, kNoGroup) == 0 &&
         ::setresuid(owner, owner, owner) == 0 && ::syscall(SYS_capset, &header, none) == 0 &&
         ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

// The child's answer, read until it closes its end or the deadline (on the
// monotonic clock, in milliseconds) passes; none when it did not answer in
// time.
std::optional<std::string> answer_within_deadline(int answer, std::int64_t deadline) {
  std::string text;
  char buffer[256];
  for (std::int64_t left = deadline - monotonic_ms(); left > 0 && text.size() <= kHelperAnswerMax;
       left = deadline - monotonic_ms()) {
    pollfd ready{answer, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) break;
    const ssize_t n = ::read(answer, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return text;
    if (n < 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// The five words of the child's answer ("-" for an absent value).
InotifyLimitFiles parse_limit_words(std::string_view text) {
  InotifyLimitFiles files;
  std::vector<std::string_view> words;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (words.size() != 5) return files;
  files.global_watches = limit_value(words[0]);
  files.global_instances = limit_value(words[1]);
  files.namespace_watches = limit_value(words[2]);
  files.namespace_instances = limit_value(words[3]);
  files.max_queued_events = limit_value(words[4]);
  return files;
}

// The values of /proc/sys/user/* are those of the reader's user namespace,
// whatever /proc it reads them through. Entering another user namespace
// would cost brimful its capabilities in this one, so a child enters it,
// reads the files and reports them as five words ("-" for an absent one).
// The child becomes the namespace's owner first and is killed when it has
// not answered by the deadline. A namespace the child cannot enter leaves
// every value absent: no limit is better than the limit of another namespace.
InotifyLimitFiles limits_in_user_namespace(int user_ns_fd, int proc_fd, std::int64_t deadline) {
  const std::optional<uid_t> owner = namespace_owner(user_ns_fd, proc_fd);
  if (!owner) return {};
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) return {};
  UniqueFd answer(channel[0]);
  UniqueFd reply(channel[1]);
  const pid_t child = ::fork();
  if (child < 0) return {};
  if (child == 0) {
    if (become_owner(*owner, reply.get(), user_ns_fd) && ::setns(user_ns_fd, CLONE_NEWUSER) == 0) {
      const InotifyLimitFiles read = read_inotify_limit_files();
      const std::string words = limit_word(read.global_watches) + " " + limit_word(read.global_instances) + " " +
                                limit_word(read.namespace_watches) + " " + limit_word(read.namespace_instances) +
                                " " + limit_word(read.max_queued_events);
      write_all(reply.get(), words);
    }
    ::_exit(0);
  }
  reply.reset(-1);
  const std::optional<std::string> text = answer_within_deadline(answer.get(), deadline);
  answer.reset(-1);
  // Whatever it did, the child goes now; a stopped one too.
  ::kill(child, SIGKILL);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return text ? parse_limit_words(*text) : InotifyLimitFiles{};
}

// A user namespace by its inode and its owner, as brimful's namespace
// knows them; no limits yet.
UserNamespaceLimits named_namespace(int user_ns_fd) {
  UserNamespaceLimits level;
  struct stat status {};
  if (::fstat(user_ns_fd, &status) == 0) level.inode = status.st_ino;
  uid_t owner = 0;
  if (::ioctl(user_ns_fd, NS_GET_OWNER_UID, &owner) == 0) level.owner_uid = owner;
  return level;
}

// The limits of each parent of the user namespace, nearest first, up to
// brimful's own, whose files brimful reads itself; a helper reads each of
// the others as it does the namespace's own, all by the one deadline. The
// kernel shows no parent above brimful's own namespace.
std::vector<UserNamespaceLimits> parent_limits(int user_ns_fd, int proc_fd, std::int64_t deadline) {
  std::vector<UserNamespaceLimits> parents;
  UniqueFd ns(::dup(user_ns_fd));
  for (int depth = 0; ns.valid() && depth < kMaxUserNamespaceDepth; ++depth) {
    UniqueFd parent(::ioctl(ns.get(), NS_GET_PARENT));
    if (!parent.valid()) break;
    UserNamespaceLimits level = named_namespace(parent.get());
    const bool own = same_object(parent.get(), proc_fd, "self/ns/user");
    if (own || monotonic_ms() < deadline) {
      const InotifyLimitFiles files =
          own ? read_inotify_limit_files() : limits_in_user_namespace(parent.get(), proc_fd, deadline);
      level.watches = files.namespace_watches;
      level.instances = files.namespace_instances;
    }
    parents.push_back(level);
    if (own) break;
    ns = std::move(parent);
  }
  return parents;
}

}  // namespace

std::optional<std::uint32_t> parse_process_id(std::string_view text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  const std::optional<std::uint64_t> value = parse_unsigned(text, INT32_MAX);
  if (!value || *value == 0) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

namespace {

// A path under the host's /proc that leads to name as brimful sees it now,
// through a descriptor that stays open for the run.
OsPath kept_open(const char* name, int flags) {
  const int fd = ::open(name, flags | O_PATH | O_CLOEXEC);
  return OsPath("self/fd/") + (fd >= 0 ? std::to_string(fd) : std::string("unopened"));
}

// Who the process is: its name and its real user.
Result<ProcessIdentity> identify(int process, std::uint32_t pid) {
  const std::string id = std::to_string(pid);
  ProcessIdentity identity;
  identity.pid = pid;
  std::string text;
  int comm_error = 0;
  identity.process = read_comm(process, pid, text, comm_error);
  const int status_error = read_whole_file_at(process, "status", text);
  if (status_error != 0) {
    if (vanished(status_error)) return fail("no process " + id);
    return fail("cannot read /proc/" + id + "/status: " + os_error_text(status_error));
  }
  const auto uids = parse_status_ids(text, "Uid:");
  if (!uids) return fail("cannot read the real user of process " + id);
  identity.real_uid = (*uids)[kRealId];
  identity.probe_uid = static_cast<std::uint32_t>(::getuid());
  return identity;
}

// The entries of /proc/PID that the view is entered through, opened before
// anything changes: after entering the namespace their names would no
// longer lead here.
struct ProcessEntries {
  UniqueFd mount_ns;
  UniqueFd root;
  UniqueFd cwd;
  UniqueFd user_ns;
};

Result<ProcessEntries> open_entries(int process, std::uint32_t pid) {
  const std::string id = std::to_string(pid);
  const auto open_entry = [&](const char* name, int flags, const char* what, UniqueFd& fd) -> std::optional<Error> {
    fd.reset(::openat(process, name, flags | O_CLOEXEC));
    if (fd.valid()) return std::nullopt;
    if (vanished(errno)) return fail("no process " + id);
    return fail(std::string("cannot enter the ") + what + " of process " + id + ": " + os_error_text(errno));
  };
  ProcessEntries entries;
  for (std::optional<Error> error :
       {open_entry("ns/mnt", O_RDONLY, "mount namespace", entries.mount_ns),
        open_entry("root", O_PATH | O_DIRECTORY, "root directory", entries.root),
        open_entry("cwd", O_PATH | O_DIRECTORY, "working directory", entries.cwd),
        open_entry("ns/user", O_RDONLY, "user namespace", entries.user_ns)}) {
    if (error) return *error;
  }
  return entries;
}

// "MOUNT (TYPE)" of the directory a link of the process names, from the
// process's own mount table: asking the directory would wait again.
std::string mount_named_by(int process, const char* link) {
  const std::optional<OsPath> path = read_link(process, link);
  std::string table;
  if (!path || read_whole_file_at(process, "mountinfo", table, kTableFileLimit) != 0) table.clear();
  const std::optional<MountPlace> mount = path ? covering_mount(table, *path) : std::nullopt;
  if (!mount) return display(path.value_or(link)) + " (unknown)";
  return display(mount->mount_point) + " (" + display(mount->fs_type) + ")";
}

// Moves into the process's mount namespace, root and working directory.
// Entering the namespace one is already in, or taking the root one already
// has, would only ask for privileges the run does not need. fchdir and
// chroot ask the directory's filesystem for leave to search it, which a FUSE
// daemon answers: they run on a thread that shares brimful's root and
// working directory, within the per-call deadline.
std::optional<Error> enter(const ProcessEntries& entries, int proc, int process, const std::string& id,
                           std::int64_t run_ends_ms) {
  const bool other_namespace = !same_object(entries.mount_ns.get(), proc, "self/ns/mnt");
  if (other_namespace && ::setns(entries.mount_ns.get(), CLONE_NEWNS) != 0) {
    return fail("cannot enter the mount namespace of process " + id + ": " + os_error_text(errno));
  }
  const bool take_root = other_namespace || !same_object(entries.root.get(), AT_FDCWD, "/");
  const auto copy = [](const UniqueFd& fd) {
    return std::make_shared<const UniqueFd>(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  };
  // Which directory the thread is entering: "root", then "cwd"; it may
  // still be at it when the deadline passes.
  const auto step = std::make_shared<std::atomic<const char*>>("root");
  const int deadline = call_deadline_ms(monotonic_ms(), run_ends_ms, kCallDeadlineMs);
  const std::optional<int> error = answer_within<int>(
      deadline, [root = copy(entries.root), cwd = copy(entries.cwd), take_root, step] {
        if (take_root && (::fchdir(root->get()) != 0 || ::chroot(".") != 0)) return errno;
        step->store("cwd");
        return ::fchdir(cwd->get()) != 0 ? errno : 0;
      });
  const bool at_root = std::string_view(step->load()) == "root";
  const std::string what = at_root ? "root directory" : "working directory";
  if (!error) {
    return fail("cannot enter the " + what + " of process " + id + ": " + mount_named_by(process, step->load()) +
                " did not answer within " + waited_text(deadline));
  }
  if (*error != 0) return fail("cannot enter the " + what + " of process " + id + ": " + os_error_text(*error));
  return std::nullopt;
}

// PATH made absolute from the working directory just entered.
Result<OsPath> absolute_here(const OsPath& path) {
  if (!path.empty() && path[0] == '/') return path;
  Result<OsPath> working = current_directory();
  if (!working.ok()) return fail(working.error());
  OsPath directory = std::move(working).value();
  if (directory.back() != '/') directory += '/';
  return directory + path;
}

}  // namespace

Result<ProcessView> enter_process_view(std::uint32_t pid, const OsPath& path, std::int64_t run_ends_ms) {
  const std::string id = std::to_string(pid);
  // Every later step reads the host's /proc through this descriptor, since
  // the process's root may hold another /proc (of another PID namespace)
  // or none at all.
  const UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.valid()) return fail("cannot open /proc: " + os_error_text(errno));
  ProcessView result;
  Viewpoint& view = result.view;
  view.run_ends_ms = run_ends_ms;
  view.sys_root = kept_open("/sys", O_DIRECTORY);
  view.dev_root = kept_open("/dev", O_DIRECTORY);
  view.kmsg = kept_open("/dev/kmsg", 0);
  const UniqueFd process(::openat(proc.get(), id.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!process.valid()) {
    if (vanished(errno)) return fail("no process " + id);
    return fail("cannot open /proc/" + id + ": " + os_error_text(errno));
  }
  Result<ProcessIdentity> identity = identify(process.get(), pid);
  if (!identity.ok()) return fail(identity.error());
  view.as_seen_by = std::move(identity).value();
  Result<ProcessEntries> entries = open_entries(process.get(), pid);
  if (!entries.ok()) return fail(entries.error());

  const int user_ns = entries.value().user_ns.get();
  if (same_object(user_ns, proc.get(), "self/ns/user")) {
    view.inotify_limit_files = read_inotify_limit_files();
  } else {
    const std::int64_t deadline = monotonic_ms() + kHelperDeadlineMs;
    view.inotify_limit_files = limits_in_user_namespace(user_ns, proc.get(), deadline);
    view.inotify_limit_files->parents = parent_limits(user_ns, proc.get(), deadline);
  }
  if (std::optional<Error> error = enter(entries.value(), proc.get(), process.get(), id, run_ends_ms)) {
    return *error;
  }
  Result<OsPath> absolute = absolute_here(path);
  if (!absolute.ok()) return fail(absolute.error());
  result.path = std::move(absolute).value();

  if (::fchdir(proc.get()) != 0) return fail("cannot open /proc: " + os_error_text(errno));
  view.proc_root = ".";
  return result;
}

}  // namespace brimful
