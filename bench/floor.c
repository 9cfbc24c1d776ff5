/* The floor for a /proc scan: exactly the system calls the literal scan
 * makes, on one thread, with nothing kept. For every process: its directory
 * (O_PATH) and status, its comm, the fd listing with a status call per
 * descriptor, the fdinfo listing with a readlink per descriptor, and the
 * fdinfo text of each inotify instance. Prints how many descriptors it saw.
 *
 *   brimful_floor [PROC]
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char buffer[65536];

static void read_at(int dir, const char *name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  close(fd);
}

int main(int argc, char **argv) {
  DIR *proc = opendir(argc > 1 ? argv[1] : "/proc");
  if (proc == NULL) return 1;
  unsigned long descriptors = 0;
  struct dirent *entry;
  while ((entry = readdir(proc)) != NULL) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    int process = openat(dirfd(proc), entry->d_name, O_PATH | O_CLOEXEC);
    struct stat status;
    if (process < 0 || fstat(process, &status) != 0) continue;
    read_at(process, "comm");
    int fd_dir = openat(process, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *fds = fd_dir < 0 ? NULL : fdopendir(fd_dir);
    if (fds != NULL) {
      struct dirent *fd;
      while ((fd = readdir(fds)) != NULL) {
        if (fd->d_name[0] == '.') continue;
        fstatat(dirfd(fds), fd->d_name, &status, 0);
        ++descriptors;
      }
      int info_dir = openat(process, "fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      DIR *infos = info_dir < 0 ? NULL : fdopendir(info_dir);
      if (infos != NULL) {
        struct dirent *info;
        char link[4096];
        while ((info = readdir(infos)) != NULL) {
          if (info->d_name[0] == '.') continue;
          ssize_t n = readlinkat(dirfd(fds), info->d_name, link, sizeof link);
          if (n == 18 && memcmp(link, "anon_inode:inotify", 18) == 0) read_at(dirfd(infos), info->d_name);
        }
        closedir(infos);
      }
      closedir(fds);
    }
    close(process);
  }
  closedir(proc);
  printf("%lu\n", descriptors);
  return 0;
}
