// A helper the scenario tests start to hold things open while brimful looks:
//
//   brimful_fixture deleted FILE BYTES
//       creates FILE with BYTES bytes, holds it through two descriptors,
//       unlinks it, and forks a child that holds it through the first one;
//   brimful_fixture inotify INSTANCES DIR WATCHES
//       opens INSTANCES inotify instances; the first watches WATCHES files it
//       creates in DIR;
//   brimful_fixture descriptors FILE LIMIT
//       lowers its soft limit of open files to LIMIT and opens FILE until
//       the next open fails with EMFILE.
//
// Once everything is in place it prints "ready" and one line per process
// ("pid fd..." for deleted, "pid" for inotify), then waits until its
// standard input is closed and exits with all its children.

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
  std::perror(what.c_str());
  std::exit(1);
}

void wait_for_stdin_close() {
  char byte;
  while (read(0, &byte, 1) > 0) {
  }
}

int hold_deleted(const std::string& file, long bytes) {
  const int first = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (first < 0) die("open " + file);
  const std::vector<char> block(65536, 'x');
  for (long left = bytes; left > 0;) {
    const long chunk = left < 65536 ? left : 65536;
    if (write(first, block.data(), static_cast<std::size_t>(chunk)) != chunk) die("write");
    left -= chunk;
  }
  if (fsync(first) != 0) die("fsync");
  const int second = dup(first);
  if (second < 0) die("dup");
  if (unlink(file.c_str()) != 0) die("unlink");

  int ready[2];
  if (pipe(ready) != 0) die("pipe");
  const pid_t child = fork();
  if (child < 0) die("fork");
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(second);
    close(ready[0]);
    close(ready[1]);  // tells the parent the child is set up
    wait_for_stdin_close();
    _exit(0);
  }
  close(ready[1]);
  char byte;
  while (read(ready[0], &byte, 1) > 0) {
  }
  std::printf("ready\n%d %d %d\n%d %d\n", getpid(), first, second, child, first);
  std::fflush(stdout);
  wait_for_stdin_close();
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return 0;
}

int hold_inotify(long instances, const std::string& dir, long watches) {
  std::vector<int> fds;
  for (long i = 0; i < instances; ++i) {
    const int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0) die("inotify_init1");
    fds.push_back(fd);
  }
  for (long i = 0; i < watches; ++i) {
    const std::string path = dir + "/watched-" + std::to_string(i);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0) die("open " + path);
    close(fd);
    if (inotify_add_watch(fds.at(0), path.c_str(), IN_MODIFY) < 0) die("inotify_add_watch " + path);
  }
  std::printf("ready\n%d\n", getpid());
  std::fflush(stdout);
  wait_for_stdin_close();
  return 0;
}

int hold_descriptors(const std::string& file, long limit) {
  rlimit nofile{};
  if (getrlimit(RLIMIT_NOFILE, &nofile) != 0) die("getrlimit");
  nofile.rlim_cur = static_cast<rlim_t>(limit);
  if (setrlimit(RLIMIT_NOFILE, &nofile) != 0) die("setrlimit");
  for (;;) {
    if (open(file.c_str(), O_RDONLY | O_CREAT, 0600) >= 0) continue;
    if (errno == EMFILE) break;
    die("open " + file);
  }
  std::printf("ready\n%d\n", getpid());
  std::fflush(stdout);
  wait_for_stdin_close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "deleted") return hold_deleted(args[1], std::atol(args[2].c_str()));
  if (args.size() == 4 && args[0] == "inotify") {
    return hold_inotify(std::atol(args[1].c_str()), args[2], std::atol(args[3].c_str()));
  }
  if (args.size() == 3 && args[0] == "descriptors") return hold_descriptors(args[1], std::atol(args[2].c_str()));
  std::fprintf(stderr,
               "usage: brimful_fixture deleted FILE BYTES | inotify INSTANCES DIR WATCHES | descriptors FILE LIMIT\n");
  return 2;
}
