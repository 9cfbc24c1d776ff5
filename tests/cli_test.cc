// Runs the built binary and compares what it prints and how it exits.

#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <regex>

#include "test_util.h"

namespace brimful {
namespace {

using testing::run_brimful;
using testing::canonical;
using testing::json_value;
using testing::RunResult;

// The help as the binary prints it; its options are checked against the
// manual and the completions elsewhere.
const std::string& help() {
  static const std::string text = run_brimful({"--help"}).out;
  return text;
}

const std::string& version() {
  static const std::string text = run_brimful({"--version"}).out;
  return text;
}

std::string usage(const std::string& message) { return "error: " + message + "\n\n" + help(); }

// Both spellings print the same text and succeed; the version is the one the
// build was made with.
TEST(Cli, HelpAndVersion) {
  EXPECT_EQ(help().rfind("brimful \xE2\x80\x94 ", 0), 0u) << help();
  EXPECT_EQ(version().substr(0, version().find('\n')), "brimful " BRIMFUL_VERSION);
  for (const char* flag : {"-h", "--help", "-V", "--version"}) {
    const RunResult r = run_brimful({flag});
    EXPECT_EQ(r.err, "") << flag;
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_EQ(r.out, flag[1] == 'h' || flag[2] == 'h' ? help() : version()) << flag;
  }
}

TEST(Cli, ArgumentsDecideStrictlyLeftToRight) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {{}, "", usage("PATH is required"), 2},
      {{"--json", "--check", "--json"}, "", usage("PATH is required"), 2},
      {{"--json=1", "/"}, "", usage("unknown option: --json=1"), 2},
      {{"-"}, "", usage("unknown option: -"), 2},
      {{"--"}, "", usage("unknown option: --"), 2},
      {{"-hV"}, "", usage("unknown option: -hV"), 2},
      {{"--JSON"}, "", usage("unknown option: --JSON"), 2},
      {{"a", "b"}, "", usage("expected exactly one PATH"), 2},
      {{"a", "b", "--help"}, "", usage("expected exactly one PATH"), 2},
      {{"--all", "/"}, "", usage("--all examines every filesystem and takes no PATH"), 2},
      {{"--all", "--pid", "1"}, "", usage("--all and --pid cannot be used together"), 2},
      {{"--bogus", "-h"}, "", usage("unknown option: --bogus"), 2},
      {{"-h", "--bogus"}, help(), "", 0},
      {{"/", "--version", "x", "y"}, version(), "", 0},
      {{"-V", "a", "b"}, version(), "", 0},
      {{"a", "-x", "b"}, "", usage("unknown option: -x"), 2},
      {{"--\x1b[2J\n"}, "", usage("unknown option: --\\x1b[2J\\n"), 2},  // shown, never obeyed
      {{"--prometheus", "/", "--json"}, "", usage("--json and --prometheus cannot be used together"), 2},
      {{"--json", "--prometheus", "a", "b"}, "", usage("expected exactly one PATH"), 2},
      {{"--json", "--prometheus", "-h"}, help(), "", 0},
      {{"--pid", "x1", "/"}, "", usage("invalid process id: x1"), 2},
      {{"--pid", "-h", "/"}, "", usage("invalid process id: -h"), 2},
      {{"--pid", "0", "/"}, "", usage("invalid process id: 0"), 2},
      {{"/", "--pid"}, "", usage("--pid needs a process id"), 2},
      {{"--pid", "1", "--pid", "2", "/"}, "", usage("expected exactly one --pid"), 2},
      {{"/", "--output", "f"}, "", usage("--output needs --json or --prometheus"), 2},
      {{"/", "--prometheus", "--output"}, "", usage("--output needs a file"), 2},
      {{"/", "--json", "--output", "f", "--output", "g"}, "", usage("expected exactly one --output"), 2},
      {{"/", "--timeout", "0"}, "", usage("invalid timeout: 0 (whole seconds, 1 to 86400)"), 2},
      {{"/", "--timeout", "+5"}, "", usage("invalid timeout: +5 (whole seconds, 1 to 86400)"), 2},
      {{"/", "--timeout", "86401"}, "", usage("invalid timeout: 86401 (whole seconds, 1 to 86400)"), 2},
      {{"/", "--timeout"}, "", usage("--timeout needs a number of seconds"), 2},
  };
  for (const Case& c : cases) {
    const RunResult r = run_brimful(c.args);
    const std::string shown = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, c.out) << shown;
    EXPECT_EQ(r.err, c.err) << shown;
    EXPECT_EQ(r.status, c.status) << shown;
  }
}

class CliOnTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = canonical(dir_.path());
    testing::make_dir(root_ + "/d");
    testing::write_file(root_ + "/d/log.txt", "x");
    // Most runs here need brimful to find the mount of the temporary tree.
    SKIP_UNLESS(testing::mount_table_shows(root_, &skip_reason));
  }

  // A run that must succeed; returns its JSON report.
  std::string json_of(const std::vector<std::string>& args, const std::string& cwd = "") {
    std::vector<std::string> all = args;
    all.push_back("--json");
    all.push_back("--no-probe");
    const RunResult r = run_brimful(all, cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  void expect_failure(const std::vector<std::string>& args, const std::string& message) {
    const RunResult r = run_brimful(args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "brimful: " + message + "\n");
    EXPECT_EQ(r.status, 2);
  }

  testing::TempDir dir_;
  std::string root_;
};

TEST_F(CliOnTree, EmptyArgumentIsTheWorkingDirectory) {
  const std::string json = json_of({""}, root_ + "/d");
  EXPECT_EQ(json_value(json, "target"), "\"" + root_ + "/d\"");
  EXPECT_EQ(json_value(json, "probe_directory"), "\"" + root_ + "/d\"");
  EXPECT_EQ(json_value(json, "target_exists"), "true");
}

TEST_F(CliOnTree, RelativePathsResolveAgainstTheWorkingDirectory) {
  const std::string json = json_of({"d/./new/deeper/x"}, root_);
  EXPECT_EQ(json_value(json, "target"), "\"" + root_ + "/d/new/deeper/x\"");
  EXPECT_EQ(json_value(json, "target_exists"), "false");
  EXPECT_EQ(json_value(json, "probe_directory"), "\"" + root_ + "/d\"");
}

// This test process shares brimful's namespaces and root, so no privilege
// is needed to speak for it; a relative PATH comes from its working
// directory, not from the one brimful is started in.
TEST_F(CliOnTree, PidNamesTheProcessAndTakesItsWorkingDirectory) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  const std::string pid = std::to_string(::getpid());
  std::string comm = testing::read_file("/proc/self/comm");
  comm.pop_back();
  const std::string json = json_of({"--pid", pid, "."}, root_ + "/d");
  EXPECT_EQ(json_value(json, "target"), "\"" + canonical(cwd) + "\"");
  EXPECT_NE(json.find("\"target\": \"" + canonical(cwd) + "\",\n  \"as_seen_by\": {\n    \"pid\": " + pid +
                      ",\n    \"process\": \"" + comm + "\"\n  },\n  \"target_exists\""),
            std::string::npos)
      << json;
  const RunResult text = run_brimful({"--pid", pid, root_, "--no-probe"});
  EXPECT_EQ(text.out.substr(0, text.out.find("Filesystem:")),
            "Target: " + root_ + "\nAs seen by: " + pid + " (" + comm + ")\n");
  EXPECT_EQ(json_of({root_}).find("as_seen_by"), std::string::npos);

  const pid_t gone = ::fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  expect_failure({"--pid", std::to_string(gone), root_}, "no process " + std::to_string(gone));
}

TEST_F(CliOnTree, RegularFileAndLinks) {
  std::string json = json_of({root_ + "/d/log.txt"});
  EXPECT_EQ(json_value(json, "target"), "\"" + root_ + "/d/log.txt\"");
  EXPECT_EQ(json_value(json, "probe_directory"), "\"" + root_ + "/d\"");

  testing::make_symlink(root_ + "/d", root_ + "/to-d");
  json = json_of({root_ + "/to-d"});
  EXPECT_EQ(json_value(json, "target"), "\"" + root_ + "/d\"");

  testing::make_symlink(root_ + "/gone", root_ + "/d/dangling");
  json = json_of({root_ + "/d/dangling"});
  EXPECT_EQ(json_value(json, "target"), "\"" + root_ + "/d/dangling\"");
  EXPECT_EQ(json_value(json, "target_exists"), "false");
  EXPECT_EQ(json_value(json, "probe_directory"), "\"" + root_ + "/d\"");
}

TEST_F(CliOnTree, ResolutionFailuresEndWithStatusTwo) {
  expect_failure({root_ + "/missing/../x"}, "cannot find an existing parent for " + root_ + "/missing/../x");
  expect_failure({root_ + "/d/log.txt/x"}, "cannot inspect " + root_ + "/d/log.txt/x: Not a directory (os error 20)");
  const std::string long_path = root_ + "/" + std::string(300, 'a') + "/" + std::string(4000, 'b');
  expect_failure({long_path}, "cannot inspect " + long_path + ": File name too long (os error 36)");
  testing::make_symlink("self-loop", root_ + "/self-loop");
  expect_failure({root_ + "/self-loop/x"},
                 "cannot inspect " + root_ + "/self-loop/x: Too many levels of symbolic links (os error 40)");
  // Relative paths are named as typed.
  const RunResult r = run_brimful({"d/log.txt/x"}, root_);
  EXPECT_EQ(r.err, "brimful: cannot inspect d/log.txt/x: Not a directory (os error 20)\n");
}

TEST_F(CliOnTree, RelativePathFromADeletedWorkingDirectory) {
  const RunResult r = testing::run_program(
      {"sh", "-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$0\" x", BRIMFUL_BINARY}, root_);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "brimful: cannot resolve current directory: No such file or directory (os error 2)\n");
  EXPECT_EQ(r.status, 2);
  // An absolute PATH does not need the working directory.
  const RunResult absolute = testing::run_program(
      {"sh", "-c", "mkdir gone && cd gone && rmdir ../gone && exec \"$0\" \"$1\" --no-probe --json",
       BRIMFUL_BINARY, root_ + "/d"},
      root_);
  EXPECT_EQ(absolute.status, 0) << absolute.err;
}

TEST_F(CliOnTree, UnsearchableDirectory) {
  testing::make_dir(root_ + "/locked");
  testing::make_dir(root_ + "/locked/inner");
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  ASSERT_EQ(chmod((root_ + "/locked").c_str(), 0700), 0);
  const std::string target = root_ + "/locked/inner";
  RunResult r;
  if (testing::running_as_root()) {
    // Root searches anything; an ordinary user is what this is about.
    SKIP_UNLESS(testing::can_change_user(&skip_reason));
    r = testing::run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", BRIMFUL_BINARY, target});
  } else {
    ASSERT_EQ(chown((root_ + "/locked").c_str(), getuid(), getgid()), 0);
    ASSERT_EQ(chmod((root_ + "/locked").c_str(), 0), 0);
    r = run_brimful({target});
  }
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "brimful: cannot inspect " + target + ": Permission denied (os error 13)\n");
  EXPECT_EQ(r.status, 2);
}

TEST_F(CliOnTree, NonUtf8PathsRenderAsTextButAreRefusedAsJson) {
  const std::string bad = root_ + "/d/\xff-name";
  const RunResult json = run_brimful({bad, "--json", "--no-probe"});
  EXPECT_EQ(json.out, "");
  EXPECT_EQ(json.err, "brimful: cannot serialize report: path contains invalid UTF-8 characters\n");
  EXPECT_EQ(json.status, 2);

  const RunResult text = run_brimful({bad, "--no-probe"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out.substr(0, text.out.find('\n')), "Target: " + root_ + "/d/\xEF\xBF\xBD-name");

  const RunResult metrics = run_brimful({bad, "--prometheus", "--no-probe"});
  EXPECT_EQ(metrics.status, 0) << metrics.err;
  EXPECT_NE(metrics.out.find("{path=\"" + root_ + "/d/\xEF\xBF\xBD-name\","), std::string::npos) << metrics.out;

  // Not UTF-8, so never an option, even with a leading '-'.
  const RunResult dashed = run_brimful({"-\xff", "--no-probe"}, root_ + "/d");
  EXPECT_EQ(dashed.status, 0) << dashed.err;
  EXPECT_EQ(dashed.out.substr(0, dashed.out.find('\n')), "Target: " + root_ + "/d/-\xEF\xBF\xBD");
}

TEST_F(CliOnTree, ControlCharactersInAPathAreEscapedInMessages) {
  const std::string target = root_ + "/d/log.txt/\x1b]0;x\x07\n";  // under a file: cannot be inspected
  expect_failure({target}, "cannot inspect " + root_ + "/d/log.txt/\\x1b]0;x\\x07\\n: Not a directory (os error 20)");
}

TEST_F(CliOnTree, NewlineInPathIsEscapedInJson) {
  const std::string json = json_of({root_ + "/d/a\nb"});
  EXPECT_EQ(json_value(json, "target"), "\"" + root_ + "/d/a\\nb\"");
}

TEST_F(CliOnTree, VerboseDoesNotChangeJson) {
  // Alone in a PID namespace brimful finds the same processes twice; on the
  // host, others come and go between two runs.
  SKIP_UNLESS(testing::can_unshare("-pf --mount-proc", &skip_reason));
  const auto json = [&](const std::string& extra) {
    const RunResult r = testing::run_program({"unshare", "-pf", "--mount-proc", BRIMFUL_BINARY, root_ + "/d",
                                             "--json", "--no-probe", extra});
    EXPECT_EQ(r.status, 0) << r.err;
    // Counters may move between two runs; the document's shape may not.
    return std::regex_replace(r.out, std::regex("[0-9]+"), "0");
  };
  EXPECT_EQ(json("--json"), json("--verbose"));
}

TEST_F(CliOnTree, CheckTurnsTheVerdictIntoTheExitStatus) {
  // Without probes nothing can be confirmed: the verdict is unknown.
  RunResult r = run_brimful({root_ + "/d", "--no-probe", "--check"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("\nUNKNOWN\n"), std::string::npos) << r.out;
  r = run_brimful({root_ + "/d", "--no-probe", "--check", "--json"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(json_value(r.out, "status"), "\"unknown\"");
  r = run_brimful({root_ + "/d", "--no-probe", "--prometheus", "--check"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find(",status=\"unknown\"} 1\n"), std::string::npos) << r.out;
  r = run_brimful({root_ + "/d", "--no-probe"});
  EXPECT_EQ(r.status, 0);
  r = run_brimful({root_ + "/d", "--check"});
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(CliOnTree, TextHeaderAndChecksAgreeWithJson) {
  // Without probes the two runs see the same mount and nearly the same
  // counts; free inodes and space may move, so those are compared by form.
  const std::string target = root_ + "/d/missing";
  const RunResult json = run_brimful({target, "--json", "--no-probe"});
  const RunResult text = run_brimful({target, "--no-probe"});
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_EQ(text.status, 0) << text.err;
  const auto unquote = [](std::string value) { return value.substr(1, value.size() - 2); };
  const std::string source = json_value(json.out, "source");
  const std::string ro_option = json.out.find("\"ro\"") != std::string::npos ? "yes" : "no";
  const std::string header = "Target: " + root_ + "/d/missing\n"
                             "Target exists: no (probing nearest existing parent)\n"
                             "Probe directory: " + root_ + "/d\n"
                             "Filesystem: " + (source == "null" ? "unknown" : unquote(source)) + "\n"
                             "Mount: " + unquote(json_value(json.out, "mount_point")) + "\n"
                             "Type: " + unquote(json_value(json.out, "fs_type")) + "\n"
                             "\n"
                             "Checks:\n"
                             "  file probe       NOT RUN\n";
  EXPECT_EQ(text.out.substr(0, header.size()), header);
  const std::string rest = text.out.substr(header.size());
  const std::regex checks(
      "  available space  [0-9.]+ (B|KiB|MiB|GiB|TiB)\n"
      "  free inodes      [0-9]+( \\(not authoritative for this filesystem\\))?\n"
      "  inotify init     NOT RUN\n"
      "  inotify watch    NOT RUN\n"
      "  read-only        " + std::string(json_value(json.out, "read_only") == "true" ? "yes" : "no") + "\n"
      "  mount option ro  " + ro_option + "\n"
      "\nUNKNOWN\n[^]*");
  EXPECT_TRUE(std::regex_match(rest, checks)) << rest;
  const bool authoritative = json_value(json.out, "inode_accounting_supported") == "true";
  EXPECT_EQ(rest.find("not authoritative") == std::string::npos, authoritative);
  EXPECT_NE(rest.find("  - active probes were disabled; deterministic classification may be impossible\n"),
            std::string::npos);
  EXPECT_EQ(text.out.back(), '\n');
  EXPECT_NE(text.out[text.out.size() - 2], '\n');
}

TEST_F(CliOnTree, ProbesLeaveNothingBehind) {
  const std::vector<std::string> before = testing::list_dir(root_ + "/d");
  const RunResult r = run_brimful({root_ + "/d", "--json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(json_value(r.out, "result"), "\"success\"");
  EXPECT_EQ(testing::list_dir(root_ + "/d"), before);
}

// ---------------------------------------------------------------------------

// An ordinary user's run has a finding (scan_unprivileged) that only
// --explain shows: standard error says so on a terminal, and only there.
TEST(CliOutput, ATerminalHearsThatExplainHasMore) {
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  SKIP_UNLESS(testing::have_program("script", &skip_reason));
  const std::string as_nobody = std::string("setpriv --reuid=65534 --regid=65534 --clear-groups ") + BRIMFUL_BINARY;
  const std::string hint = "brimful: 1 finding explains more (scan_unprivileged); rerun with --explain";
  for (const char* options : {" --no-probe", " --no-probe --explain"}) {
    const RunResult r = testing::run_program({"script", "-qec", as_nobody + " /proc/1" + options, "/dev/null"});
    EXPECT_EQ(r.out.find(hint) != std::string::npos, std::string(options) == " --no-probe") << r.out;
  }
  EXPECT_EQ(testing::run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", BRIMFUL_BINARY,
                                  "/proc/1", "--no-probe"}).err, "");
}

TEST(CliOutput, FailedWritesAreReportedAndNotSuccess) {
  const std::string binary = BRIMFUL_BINARY;
  RunResult r = testing::run_program({"sh", "-c", "exec \"$0\" --version >/dev/full", binary});
  EXPECT_EQ(r.err, "failed printing to stdout: No space left on device (os error 28)\n");
  EXPECT_NE(r.status, 0);

  r = testing::run_program({"sh", "-c", "exec \"$0\" --version >&-", binary});
  EXPECT_EQ(r.err, "failed printing to stdout: Bad file descriptor (os error 9)\n");
  EXPECT_NE(r.status, 0);

  SKIP_UNLESS(testing::mount_table_shows("/", &skip_reason));
  r = testing::run_program({"sh", "-c", "exec \"$0\" / --no-probe --json >/dev/full", binary});
  EXPECT_EQ(r.err, "failed printing to stdout: No space left on device (os error 28)\n");
  EXPECT_NE(r.status, 0);
}

TEST(CliOutput, ClosedPipeIsAWriteErrorNotASignal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int err_pipe[2];
  ASSERT_EQ(pipe(err_pipe), 0);
  close(fds[0]);  // nobody will ever read
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(err_pipe[1], 2);
    execl(BRIMFUL_BINARY, BRIMFUL_BINARY, "--help", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  close(err_pipe[1]);
  std::string err;
  char buffer[512];
  ssize_t n = 0;
  while ((n = read(err_pipe[0], buffer, sizeof buffer)) > 0) err.append(buffer, static_cast<std::size_t>(n));
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_EQ(err, "failed printing to stdout: Broken pipe (os error 32)\n");
}

// True once the process waits in poll, or has exited. The kernel shows the
// system call a blocked process is in, and "running" while it runs.
bool waiting_in_poll_or_gone(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
    return true;
  }
  std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
  std::string number;
  syscall >> number;
#ifdef SYS_poll
  if (number == std::to_string(SYS_poll)) return true;
#endif
  return number == std::to_string(SYS_ppoll);
}

// The pipe is full before brimful starts, so its first write meets EAGAIN
// whatever the timing; the reader empties the pipe only once brimful waits.
TEST(CliOutput, NonBlockingPipeIsWaitedForNotAbandoned) {
  if (testing::read_file("/proc/self/syscall").empty()) {
    GTEST_SKIP() << "/proc does not show which system call a process waits in";
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  const std::string filler(4096, 'f');
  std::size_t filled = 0;
  for (ssize_t n; (n = write(fds[1], filler.data(), filler.size())) > 0;) filled += static_cast<std::size_t>(n);
  ASSERT_EQ(errno, EAGAIN);
  int err_pipe[2];
  ASSERT_EQ(pipe(err_pipe), 0);
  testing::TempDir dir;
  const std::string target = canonical(dir.path()) + "/missing";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(err_pipe[1], 2);
    execl(BRIMFUL_BINARY, BRIMFUL_BINARY, target.c_str(), "--json", "--no-probe", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  close(err_pipe[1]);
  while (!waiting_in_poll_or_gone(pid)) sched_yield();
  std::string out;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  std::string err;
  while ((n = read(err_pipe[0], buffer, sizeof buffer)) > 0) err.append(buffer, static_cast<std::size_t>(n));
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(err, "");
  ASSERT_GT(out.size(), filled);
  EXPECT_EQ(out.substr(0, filled), std::string(filled, 'f'));
  out.erase(0, filled);
  EXPECT_EQ(json_value(out, "target"), "\"" + target + "\"");
  EXPECT_EQ(out.substr(out.size() - 3), "\n}\n");
}

}  // namespace
}  // namespace brimful
