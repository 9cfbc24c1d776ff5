// Load and floor for timing the in-kernel walk against /proc:
//
//   kernelwalk_load hold P D DIR   P processes of D descriptors each: one
//                                  shared deleted file in DIR, one inotify
//                                  instance, the rest an ordinary file; prints
//                                  "ready" and holds until stdin closes
//   kernelwalk_load floor          the calls the literal /proc scan makes,
//                                  on one thread, with nothing kept
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int hold(int processes, int descriptors, const std::string& dir) {
  rlimit limit{static_cast<rlim_t>(descriptors + 64), static_cast<rlim_t>(descriptors + 64)};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  const std::string deleted = dir + "/deleted";
  const std::string plain = dir + "/plain";
  const int held = open(deleted.c_str(), O_RDWR | O_CREAT, 0600);
  const int file = open(plain.c_str(), O_RDWR | O_CREAT, 0600);
  if (held < 0 || file < 0 || write(held, "x", 1) != 1 || unlink(deleted.c_str()) != 0) return 1;
  int ready[2];
  if (pipe(ready) != 0) return 1;
  for (int p = 0; p < processes; ++p) {
    if (fork() == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(ready[0]);
      const int instance = inotify_init1(0);
      if (instance >= 0) inotify_add_watch(instance, dir.c_str(), IN_MODIFY);
      for (int d = 4; d < descriptors; ++d) {
        if (dup(file) < 0) break;
      }
      close(ready[1]);
      char byte;
      while (read(0, &byte, 1) > 0) {
      }
      _exit(0);
    }
  }
  close(ready[1]);
  char byte;
  while (read(ready[0], &byte, 1) > 0) {
  }
  std::printf("ready\n");
  std::fflush(stdout);
  while (read(0, &byte, 1) > 0) {
  }
  return 0;
}

int floor_scan() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 1;
  char buffer[4096];
  unsigned long found = 0;
  const uid_t uid = getuid();
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const int process = openat(dirfd(proc), entry->d_name, O_PATH | O_CLOEXEC);
    struct stat status {};
    if (process < 0 || fstat(process, &status) != 0) continue;
    const int comm = openat(process, "comm", O_RDONLY | O_CLOEXEC);
    if (comm >= 0) {
      found += read(comm, buffer, sizeof buffer) > 0;
      close(comm);
    }
    const int fd_dir = openat(process, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* fds = fd_dir >= 0 ? fdopendir(fd_dir) : nullptr) {
      while (dirent* fd = readdir(fds)) {
        struct stat target {};
        if (fd->d_name[0] != '.' && fstatat(dirfd(fds), fd->d_name, &target, 0) == 0) {
          found += target.st_nlink == 0;
        }
        if (status.st_uid == uid && fd->d_name[0] != '.') {
          found += readlinkat(dirfd(fds), fd->d_name, buffer, sizeof buffer) > 0;
        }
      }
      closedir(fds);
    }
    close(process);
  }
  closedir(proc);
  return found == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hold" && argc == 5) return hold(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
  if (mode == "floor") return floor_scan();
  std::fprintf(stderr, "usage: kernelwalk_load hold P D DIR | floor\n");
  return 2;
}
