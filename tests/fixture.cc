// A helper the scenario tests start to hold things open while brimful looks:
//
//   brimful_fixture [--name NAME] deleted FILE BYTES
//       creates FILE with BYTES bytes, holds it through two descriptors,
//       unlinks it, and forks a child that holds it through the first one;
//   brimful_fixture inotify INSTANCES DIR WATCHES
//       opens INSTANCES inotify instances; the first watches WATCHES files it
//       creates in DIR;
//   brimful_fixture descriptors FILE LIMIT
//       lowers its soft limit of open files to LIMIT and opens FILE until
//       the next open fails with EMFILE;
//   brimful_fixture load DIR PROCESSES DESCRIPTORS DELETED
//       starts PROCESSES processes that each hold DESCRIPTORS descriptors:
//       one file in DIR that all of them share and that is deleted, DELETED
//       deleted files of their own (every other one with a block of data,
//       the first held once more through the process's last descriptor),
//       in every tenth process an inotify instance watching five files, an
//       eventfd, a pipe, and the rest on one ordinary file;
//   brimful_fixture churn DIR
//       keeps forking short-lived children that open a deleted file and an
//       inotify instance, while it opens and closes descriptors itself.
//
// Once everything is in place it prints "ready" and one line per process
// ("pid fd..." for deleted, "pid" for the others),
// then waits until its standard input is closed and exits with all its
// children.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
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

void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

bool stdin_closed() {
  pollfd in{0, POLLIN, 0};
  if (poll(&in, 1, 0) <= 0) return false;
  char byte;
  return read(0, &byte, 1) <= 0;
}

void load_process(const std::string& dir, int index, long descriptors, long deleted) {
  const std::string name = "load-" + std::to_string(index);
  prctl(PR_SET_NAME, name.c_str());
  long held = 1;  // the shared file
  int first_deleted = -1;
  for (long i = 0; i < deleted && held < descriptors; ++i, ++held) {
    const std::string path = dir + "/" + std::to_string(index) + "-" + std::to_string(i);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) die("open " + path);
    if (first_deleted < 0) first_deleted = fd;
    if (i % 2 == 0 && write(fd, "x", 1) != 1) die("write");
    if (unlink(path.c_str()) != 0) die("unlink");
  }
  // Instances are few per user (128 by default) and other programs may hold
  // them all, so one process in ten tries to have one.
  const int instance = index % 10 == 0 && held < descriptors ? inotify_init1(0) : -1;
  if (instance >= 0) {
    ++held;
    for (int w = 0; w < 5; ++w) {
      const std::string path = dir + "/watched-" + std::to_string(w);
      if (inotify_add_watch(instance, path.c_str(), IN_MODIFY) < 0) die("inotify_add_watch");
    }
  }
  if (held++ < descriptors && eventfd(0, 0) < 0) die("eventfd");
  int ends[2];
  if (held + 1 < descriptors && pipe(ends) == 0) held += 2;
  const int ordinary = open((dir + "/ordinary").c_str(), O_RDONLY);
  if (ordinary < 0) die("open ordinary");
  for (++held; held < descriptors; ++held) {
    // The last descriptor holds the first deleted file again, so that one
    // file's holders in one process lie at both ends of its table.
    const bool last = held + 1 == descriptors && first_deleted >= 0;
    if (dup(last ? first_deleted : ordinary) < 0) die("dup");
  }
}

int hold_load(const std::string& dir, long processes, long descriptors, long deleted) {
  raise_descriptor_limit();
  for (int w = 0; w < 5; ++w) {
    const int fd = open((dir + "/watched-" + std::to_string(w)).c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0) die("open watched");
    close(fd);
  }
  const int ordinary = open((dir + "/ordinary").c_str(), O_WRONLY | O_CREAT, 0600);
  if (ordinary < 0) die("open ordinary");
  close(ordinary);
  const std::string shared_path = dir + "/shared";
  const int shared = open(shared_path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (shared < 0 || write(shared, "shared", 6) != 6 || unlink(shared_path.c_str()) != 0) {
    die("shared " + shared_path);
  }
  // Standard input goes to the children too: they see it close with us.
  std::vector<pid_t> children;
  for (long p = 0; p < processes; ++p) {
    int ready[2];
    if (pipe(ready) != 0) die("pipe");
    const pid_t child = fork();
    if (child < 0) die("fork");
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(ready[0]);
      // Everything but standard input, the shared file and the pipe goes.
      for (int fd = 1; fd < 3; ++fd) close(fd);
      load_process(dir, static_cast<int>(p), descriptors, deleted);
      if (write(ready[1], "y", 1) != 1) _exit(1);
      close(ready[1]);
      wait_for_stdin_close();
      _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    const bool set_up = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    children.push_back(child);
    if (!set_up) {
      for (pid_t started : children) kill(started, SIGKILL);
      die("load process " + std::to_string(p));
    }
  }
  close(shared);
  std::printf("ready\n");
  for (pid_t child : children) std::printf("%d\n", child);
  std::fflush(stdout);
  wait_for_stdin_close();
  for (pid_t child : children) kill(child, SIGKILL);
  for (pid_t child : children) waitpid(child, nullptr, 0);
  return 0;
}

int churn(const std::string& dir) {
  std::printf("ready\n%d\n", getpid());
  std::fflush(stdout);
  std::vector<int> open_fds;
  long round = 0;
  while (!stdin_closed()) {
    for (int i = 0; i < 64; ++i) {
      const pid_t child = fork();
      if (child < 0) die("fork");
      if (child == 0) {
        const std::string path = dir + "/churn-" + std::to_string(getpid());
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd >= 0) unlink(path.c_str());
        inotify_init1(0);
        _exit(0);
      }
      // Descriptors opened and closed in the parent while children come and go.
      open_fds.push_back(eventfd(0, 0));
      open_fds.push_back(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
      if (open_fds.size() > 256) {
        for (int fd : open_fds) close(fd);
        open_fds.clear();
      }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    ++round;
  }
  while (waitpid(-1, nullptr, 0) > 0) {
  }
  return round > 0 ? 0 : 1;
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
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--name") {
    if (prctl(PR_SET_NAME, args[1].c_str()) != 0) die("prctl");
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() == 3 && args[0] == "deleted") return hold_deleted(args[1], std::atol(args[2].c_str()));
  if (args.size() == 4 && args[0] == "inotify") {
    return hold_inotify(std::atol(args[1].c_str()), args[2], std::atol(args[3].c_str()));
  }
  if (args.size() == 5 && args[0] == "load") {
    return hold_load(args[1], std::atol(args[2].c_str()), std::atol(args[3].c_str()),
                     std::atol(args[4].c_str()));
  }
  if (args.size() == 2 && args[0] == "churn") return churn(args[1]);
  if (args.size() == 3 && args[0] == "descriptors") return hold_descriptors(args[1], std::atol(args[2].c_str()));
  std::fprintf(stderr,
               "usage: brimful_fixture [--name NAME] deleted FILE BYTES | inotify INSTANCES DIR WATCHES |\n"
               "       load DIR PROCESSES DESCRIPTORS DELETED | churn DIR | descriptors FILE LIMIT\n");
  return 2;
}
