#include "test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace brimful::testing {

TempDir::TempDir() {
  char name[] = "/tmp/brimful-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  // Restore search permission first: a test may have taken it away.
  shell("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'");
}

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::function<void()>& in_child) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (in_child) in_child();
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult run_brimful(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{BRIMFUL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd);
}

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("cannot write " + path);
  file << content;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + path + ": " + std::strerror(errno));
}

void make_symlink(const std::string& target, const std::string& link) {
  if (symlink(target.c_str(), link.c_str()) != 0) {
    throw std::runtime_error("symlink " + link + ": " + std::strerror(errno));
  }
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool running_as_root() { return geteuid() == 0; }

std::string json_value(const std::string& json, const std::string& key) {
  const std::string marker = "\"" + key + "\": ";
  const std::size_t at = json.find(marker);
  if (at == std::string::npos) return "<missing " + key + ">";
  const std::size_t start = at + marker.size();
  std::string value = json.substr(start, json.find('\n', start) - start);
  if (!value.empty() && value.back() == ',') value.pop_back();
  return value;
}

std::string canonical(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string result = real;
  free(real);
  return result;
}

ScopedMount::ScopedMount(const std::string& type, const std::string& source, const std::string& options,
                         const std::string& directory)
    : directory_(directory) {
  std::vector<std::string> argv{"mount", "-t", type};
  if (!options.empty()) {
    argv.push_back("-o");
    argv.push_back(options);
  }
  argv.push_back(source);
  argv.push_back(directory);
  const RunResult result = run_program(argv);
  mounted_ = result.status == 0;
  error_ = result.err;
}

ScopedMount::~ScopedMount() {
  if (!mounted_) return;
  if (run_program({"umount", directory_}).status != 0) run_program({"umount", "-l", directory_});
}

bool ScopedMount::remount(const std::string& options) {
  return run_program({"mount", "-o", "remount," + options, directory_}).status == 0;
}

Fixture::Fixture(const std::vector<std::string>& argv) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return;
  const pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
  close(in_pipe[0]);
  close(out_pipe[1]);
  stdin_ = in_pipe[1];
  // Everything the fixture prints comes at once, after it is set up; the
  // stream stays open while it holds on, so read until its lines are in.
  std::string text;
  char buffer[4096];
  pollfd fd{out_pipe[0], POLLIN, 0};
  while (poll(&fd, 1, 30000) > 0) {
    const ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.rfind("ready\n", 0) == 0 && text.back() == '\n' && text.find('\n', 6) != std::string::npos) break;
  }
  close(out_pipe[0]);
  std::istringstream stream(text);
  std::string line;
  std::getline(stream, line);
  ready_ = line == "ready";
  while (std::getline(stream, line)) lines_.push_back(line);
}

Fixture::~Fixture() { stop(); }

void Fixture::stop() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
  if (pid_ > 0) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

RunResult run_brimful_isolated(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"unshare", "-pf", "--mount-proc", BRIMFUL_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

namespace {

// A capability check's answer, kept for the rest of the test run.
struct Capability {
  bool ok = false;
  std::string why;
};

bool answer(const Capability& capability, std::string* why) {
  if (!capability.ok && why != nullptr) *why = capability.why;
  return capability.ok;
}

// The first line a failed command wrote, for a skip message.
std::string first_line(const RunResult& result) {
  const std::string& text = result.err.empty() ? result.out : result.err;
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "exit status " + std::to_string(result.status) : line;
}

Capability check_root() {
  if (running_as_root()) return {true, ""};
  return {false, "needs root (running as uid " + std::to_string(geteuid()) + ")"};
}

}  // namespace

bool have_program(const std::string& name, std::string* why) {
  static std::map<std::string, Capability> known;
  const auto found = known.find(name);
  if (found != known.end()) return answer(found->second, why);
  const RunResult r = run_program({"sh", "-c", "command -v \"$0\"", name});
  const Capability capability{r.status == 0, "needs " + name + ", which is not installed"};
  return answer(known.emplace(name, capability).first->second, why);
}

bool mount_table_shows(const std::string& path, std::string* why) {
  const std::string table = read_file("/proc/self/mountinfo");
  Capability capability{false, "cannot read /proc/self/mountinfo; is /proc mounted?"};
  if (!table.empty()) {
    struct statx status {};
    capability.ok = statx(AT_FDCWD, path.c_str(), 0, STATX_MNT_ID, &status) != 0 ||
                    (status.stx_mask & STATX_MNT_ID) == 0 ||
                    ("\n" + table).find("\n" + std::to_string(status.stx_mnt_id) + " ") != std::string::npos;
    capability.why = "the mount that holds " + path +
                     " is not in /proc/self/mountinfo (a chroot hides the mounts above its root)";
  }
  return answer(capability, why);
}

bool can_mount(std::string* why) {
  static const Capability capability = [] {
    const Capability root = check_root();
    if (!root.ok) return Capability{false, root.why + " to mount filesystems"};
    TempDir dir;
    ScopedMount mount("tmpfs", "none", "size=64k", dir.path());
    if (!mount.ok()) {
      return Capability{false, "cannot mount a tmpfs: " + mount.error().substr(0, mount.error().find('\n'))};
    }
    return Capability{true, ""};
  }();
  return answer(capability, why);
}

// The mount that this process sees at "/" shows the machine's whole
// filesystem (root field "/"); a chroot sees either no mount at "/" or, when
// its directory was bind-mounted onto itself, a mount of a subdirectory.
// btrfs mounts its root subvolume as a subdirectory too, so it proves nothing.
static bool root_mount_is_a_subdirectory() {
  std::istringstream table(read_file("/proc/self/mountinfo"));
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mount_point;
    fields >> id >> parent >> device >> root >> mount_point;
    if (mount_point != "/") continue;
    const std::size_t separator = line.find(" - ");
    const bool btrfs = separator != std::string::npos && line.compare(separator + 3, 6, "btrfs ") == 0;
    return root != "/" && !btrfs;
  }
  return true;
}

bool outside_chroot(std::string* why) {
  struct stat root {}, init_root {};
  // PID 1's root is the machine's; a chroot's root is another directory.
  // Where PID 1 cannot be read, the mount table tells.
  const bool chrooted = stat("/", &root) == 0 && stat("/proc/1/root/", &init_root) == 0
                            ? root.st_dev != init_root.st_dev || root.st_ino != init_root.st_ino
                            : root_mount_is_a_subdirectory();
  if (!chrooted) return true;
  if (why != nullptr) *why = "running inside a chroot";
  return false;
}

bool can_unshare(const std::string& flags, std::string* why) {
  static std::map<std::string, Capability> known;
  const auto found = known.find(flags);
  if (found != known.end()) return answer(found->second, why);
  Capability capability;
  if (have_program("unshare", &capability.why)) {
    const RunResult r = run_program({"sh", "-c", "exec unshare " + flags + " true"});
    capability.ok = r.status == 0;
    if (!capability.ok) {
      capability.why = "cannot unshare " + flags + ": " + first_line(r);
      // unshare makes mounts private from "/", which must be a mount point.
      std::string chroot;
      const bool in_chroot = !outside_chroot(&chroot);
      if (in_chroot && (flags.find("-U") != std::string::npos || flags.find("-r") != std::string::npos)) {
        capability.why = chroot + ", where the kernel makes no user namespace: " + capability.why;
      } else if (flags.find("-U") != std::string::npos || flags.find("-r") != std::string::npos) {
        capability.why = "no user namespaces here (see user.max_user_namespaces and the container's seccomp "
                         "policy): " + capability.why;
      } else if (in_chroot) {
        capability.why = chroot + ", whose root is not a mount point (bind-mount it onto itself to run this test): " +
                         capability.why;
      }
    }
  }
  return answer(known.emplace(flags, capability).first->second, why);
}

bool can_use_loop_devices(std::string* why) {
  static const Capability capability = [] {
    Capability result = check_root();
    if (!result.ok) {
      result.why += " for loop devices";
      return result;
    }
    if (!have_program("losetup", &result.why)) return result;
    TempDir dir;
    write_file(dir / "image", std::string(1 << 20, '\0'));
    const RunResult r = run_program({"losetup", "-f", "--show", dir / "image"});
    if (r.status != 0) {
      return Capability{false, "no loop devices here (a container or chroot without /dev/loop-control): cannot "
                               "attach one: " + first_line(r)};
    }
    run_program({"losetup", "-d", r.out.substr(0, r.out.find('\n'))});
    return Capability{true, ""};
  }();
  return answer(capability, why);
}

bool can_change_user(std::string* why) {
  static const Capability capability = [] {
    Capability result = check_root();
    if (!result.ok) {
      result.why += " to run as another user";
      return result;
    }
    if (!have_program("setpriv", &result.why)) return result;
    const RunResult r = run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "true"});
    if (r.status != 0) return Capability{false, "cannot become uid 65534: " + first_line(r)};
    // The tests run brimful and its fixture as that user, from the build
    // directory: a checkout under a directory closed to others (as
    // mktemp -d makes it) hides them.
    for (const char* program : {BRIMFUL_BINARY, BRIMFUL_FIXTURE}) {
      if (run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "test", "-x", program})
              .status != 0) {
        return Capability{false, std::string("uid 65534 cannot run ") + program +
                                     ": a directory above the build is closed to other users (build from a "
                                     "checkout that others may enter)"};
      }
    }
    return Capability{true, ""};
  }();
  return answer(capability, why);
}

bool have_report_checker(std::string* why) {
  static const Capability capability = [] {
    Capability result;
    if (!have_program("python3", &result.why)) return result;
    const RunResult r = run_program({"python3", "-c", "import jsonschema"});
    if (r.status != 0) return Capability{false, "needs python3-jsonschema to check reports against the schema"};
    return Capability{true, ""};
  }();
  return answer(capability, why);
}

std::vector<std::string> check_reports(const std::vector<std::string>& documents, const std::string& schema) {
  if (!have_report_checker(nullptr)) return {};
  TempDir dir;
  std::vector<std::string> argv{"python3", BRIMFUL_SOURCE_DIR "/tests/check_report.py",
                                BRIMFUL_SOURCE_DIR "/docs/" + schema};
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const std::string file = dir / ("report-" + std::to_string(i) + ".json");
    write_file(file, documents[i]);
    argv.push_back(file);
  }
  const RunResult r = run_program(argv);
  std::vector<std::string> lines;
  std::istringstream stream(r.out);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  if (r.status != 0) lines.push_back("checker failed: " + r.err);
  return lines;
}

}  // namespace brimful::testing
