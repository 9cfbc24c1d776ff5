// Helpers shared by the tests: temporary trees, running programs, files.
#ifndef BRIMFUL_TESTS_TEST_UTIL_H
#define BRIMFUL_TESTS_TEST_UTIL_H

#include <functional>
#include <string>
#include <vector>

namespace brimful::testing {

// A fresh directory under /tmp, removed with everything in it at the end of
// the test, also when the test fails.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal number
};

// Runs argv[0] (searched in PATH) with the given arguments and working
// directory and collects both output streams.
// in_child, when set, runs in the child just before the program starts.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd = "",
                      const std::function<void()>& in_child = nullptr);

// Runs the built brimful with these arguments.
RunResult run_brimful(const std::vector<std::string>& args, const std::string& cwd = "");

// Runs a shell command line; returns its exit status.
int shell(const std::string& command);

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
void make_dir(const std::string& path);
void make_symlink(const std::string& target, const std::string& link);

// Names in a directory, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& path);

bool running_as_root();

// The value of the first member with this key in a JSON report, exactly as
// written (strings keep their quotes), without the trailing comma.
std::string json_value(const std::string& json, const std::string& key);

// The canonical form of an existing path.
std::string canonical(const std::string& path);

// A filesystem mounted for one test and unmounted when it ends, also when
// the test fails. Mounting needs root; ok() says whether it worked.
class ScopedMount {
 public:
  ScopedMount(const std::string& type, const std::string& source, const std::string& options,
              const std::string& directory);
  ~ScopedMount();
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;

  bool ok() const { return mounted_; }
  const std::string& error() const { return error_; }
  bool remount(const std::string& options);

 private:
  std::string directory_;
  bool mounted_ = false;
  std::string error_;
};

// The fixture program, started for one test: it sets itself up, reports
// "ready" and the lines that follow it, and holds on until it is stopped
// (at the latest when this object goes away).
class Fixture {
 public:
  // argv is the whole command (a wrapper such as setpriv may come first).
  explicit Fixture(const std::vector<std::string>& argv);
  ~Fixture();
  Fixture(const Fixture&) = delete;
  Fixture& operator=(const Fixture&) = delete;

  bool ready() const { return ready_; }
  // The lines printed after "ready".
  const std::vector<std::string>& lines() const { return lines_; }
  void stop();

 private:
  int pid_ = -1;
  int stdin_ = -1;
  bool ready_ = false;
  std::vector<std::string> lines_;
};

// Runs the built brimful as root in a private PID namespace with its own
// /proc, where every process is readable and the scan is complete.
RunResult run_brimful_isolated(const std::vector<std::string>& args);

// What a scenario needs from the machine. Each check tries the real thing
// once per test run and remembers the answer; when it fails, *why says what
// is missing, in words fit for a skip message. Use them through SKIP_UNLESS.

// Root, and mounting a tmpfs works (it does not in many containers).
bool can_mount(std::string* why);
// "unshare FLAGS true" works, e.g. can_unshare("-pf --mount-proc", &why);
// a chroot refuses a mount namespace, a container often a user namespace.
bool can_unshare(const std::string& flags, std::string* why);
// This process's root is the machine's, not a chroot's.
bool outside_chroot(std::string* why);
// Root can attach a file to a loop device and detach it again.
bool can_use_loop_devices(std::string* why);
// Root can become another user with setpriv.
bool can_change_user(std::string* why);
// The mount that holds path is listed in /proc/self/mountinfo, so brimful
// can find it. In a chroot the mounts above the new root are hidden, and
// without /proc nothing is listed at all.
bool mount_table_shows(const std::string& path, std::string* why);
// The program is found in PATH.
bool have_program(const std::string& name, std::string* why);

// Checks JSON reports against docs/brimful-report.schema.json: one line per
// document, "ok" or "invalid: " and the problem. Empty when the checker
// cannot run; have_report_checker says why.
std::vector<std::string> check_reports(const std::vector<std::string>& documents,
                                       const std::string& schema = "brimful-report.schema.json");
bool have_report_checker(std::string* why);

}  // namespace brimful::testing

// Skips the running test with the reason unless the check holds; the check
// writes its reason to skip_reason:
//   SKIP_UNLESS(testing::can_mount(&skip_reason));
#define SKIP_UNLESS(check)                         \
  do {                                             \
    std::string skip_reason;                       \
    if (!(check)) GTEST_SKIP() << skip_reason;     \
  } while (0)

#endif  // BRIMFUL_TESTS_TEST_UTIL_H
