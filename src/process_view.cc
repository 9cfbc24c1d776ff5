#include "process_view.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

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

// "Uid:\t1000\t1000\t1000\t1000": the first is the real user ID.
std::optional<std::uint32_t> parse_status_real_uid(std::string_view status) {
  std::size_t start = 0;
  while (start < status.size()) {
    std::size_t end = status.find('\n', start);
    if (end == std::string_view::npos) end = status.size();
    std::string_view line = status.substr(start, end - start);
    start = end + 1;
    constexpr std::string_view prefix = "Uid:";
    if (line.substr(0, prefix.size()) != prefix) continue;
    line.remove_prefix(prefix.size());
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    line.remove_prefix(first);
    const std::optional<std::uint64_t> uid = parse_unsigned(line.substr(0, line.find_first_of(" \t")), UINT32_MAX);
    if (!uid) return std::nullopt;
    return static_cast<std::uint32_t>(*uid);
  }
  return std::nullopt;
}

std::string limit_word(const std::optional<std::uint64_t>& value) {
  return value ? std::to_string(*value) : std::string("-");
}

std::optional<std::uint64_t> limit_value(std::string_view word) {
  return word == "-" ? std::nullopt : parse_unsigned(word, UINT64_MAX);
}

// The values of /proc/sys/user/* are those of the reader's user namespace,
// whatever /proc it reads them through. Entering another user namespace
// would cost brimful its capabilities in this one, so a child enters it,
// reads the files and reports them as five words ("-" for an absent one).
// A namespace the child cannot enter leaves every value absent: no limit
// is better than the limit of another namespace.
InotifyLimitFiles limits_in_user_namespace(int user_ns_fd) {
  InotifyLimitFiles files;
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) return files;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    return files;
  }
  if (child == 0) {
    ::close(channel[0]);
    if (::setns(user_ns_fd, CLONE_NEWUSER) == 0) {
      const InotifyLimitFiles read = read_inotify_limit_files();
      const std::string words = limit_word(read.global_watches) + " " + limit_word(read.global_instances) + " " +
                                limit_word(read.namespace_watches) + " " + limit_word(read.namespace_instances) +
                                " " + limit_word(read.max_queued_events);
      std::size_t done = 0;
      while (done < words.size()) {
        const ssize_t n = ::write(channel[1], words.data() + done, words.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
    }
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string text;
  char buffer[256];
  for (;;) {
    const ssize_t n = ::read(channel[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(channel[0]);
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }

  std::vector<std::string_view> words;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    words.push_back(std::string_view(text).substr(start, end - start));
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

}  // namespace

std::optional<std::uint32_t> parse_process_id(std::string_view text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  const std::optional<std::uint64_t> value = parse_unsigned(text, INT32_MAX);
  if (!value || *value == 0) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

Result<ProcessView> enter_process_view(std::uint32_t pid, const OsPath& path) {
  const std::string id = std::to_string(pid);
  const std::string no_process = "no process " + id;

  // Every later step reads the host's /proc through this descriptor, since
  // the process's root may hold another /proc (of another PID namespace)
  // or none at all.
  const UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc.valid()) return fail("cannot open /proc: " + os_error_text(errno));
  const UniqueFd process(::openat(proc.get(), id.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!process.valid()) {
    if (vanished(errno)) return fail(no_process);
    return fail("cannot open /proc/" + id + ": " + os_error_text(errno));
  }

  ProcessView view;
  view.pid = pid;
  std::string text;
  if (read_whole_file_at(process.get(), "comm", text) == 0 && is_valid_utf8(text)) {
    view.process = std::string(trim_unicode_whitespace(text));
  } else {
    view.process = id;
  }
  const int status_error = read_whole_file_at(process.get(), "status", text);
  if (status_error != 0) {
    if (vanished(status_error)) return fail(no_process);
    return fail("cannot read /proc/" + id + "/status: " + os_error_text(status_error));
  }
  const std::optional<std::uint32_t> uid = parse_status_real_uid(text);
  if (!uid) return fail("cannot read the real user of process " + id);
  view.real_uid = *uid;

  // Opened before anything changes: after entering the namespace these
  // names would no longer lead here.
  const auto open_entry = [&](const char* name, int flags, const char* what) -> Result<int> {
    const int fd = ::openat(process.get(), name, flags | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (vanished(errno)) return fail(no_process);
    return fail(std::string("cannot enter the ") + what + " of process " + id + ": " + os_error_text(errno));
  };
  Result<int> opened = open_entry("ns/mnt", O_RDONLY, "mount namespace");
  if (!opened.ok()) return fail(opened.error());
  const UniqueFd mount_ns(opened.value());
  opened = open_entry("root", O_PATH | O_DIRECTORY, "root directory");
  if (!opened.ok()) return fail(opened.error());
  const UniqueFd root(opened.value());
  opened = open_entry("cwd", O_PATH | O_DIRECTORY, "working directory");
  if (!opened.ok()) return fail(opened.error());
  const UniqueFd cwd(opened.value());
  opened = open_entry("ns/user", O_RDONLY, "user namespace");
  if (!opened.ok()) return fail(opened.error());
  const UniqueFd user_ns(opened.value());

  view.inotify_limit_files = same_object(user_ns.get(), proc.get(), "self/ns/user")
                                 ? read_inotify_limit_files()
                                 : limits_in_user_namespace(user_ns.get());

  // Entering the namespace one is already in, or taking the root one
  // already has, would only ask for privileges the run does not need.
  const bool other_namespace = !same_object(mount_ns.get(), proc.get(), "self/ns/mnt");
  if (other_namespace && ::setns(mount_ns.get(), CLONE_NEWNS) != 0) {
    return fail("cannot enter the mount namespace of process " + id + ": " + os_error_text(errno));
  }
  if (other_namespace || !same_object(root.get(), AT_FDCWD, "/")) {
    if (::fchdir(root.get()) != 0 || ::chroot(".") != 0) {
      return fail("cannot enter the root directory of process " + id + ": " + os_error_text(errno));
    }
  }
  if (::fchdir(cwd.get()) != 0) {
    return fail("cannot enter the working directory of process " + id + ": " + os_error_text(errno));
  }

  view.path = path;
  if (path.empty() || path[0] != '/') {
    std::string buffer(256, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE) return fail("cannot resolve current directory: " + os_error_text(errno));
      buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    if (buffer.back() != '/') buffer += '/';
    view.path = buffer + path;
  }

  if (::fchdir(proc.get()) != 0) return fail("cannot open /proc: " + os_error_text(errno));
  view.proc_root = ".";
  return view;
}

}  // namespace brimful
