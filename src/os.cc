#include "os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brimful {

std::string os_error_text(int code) {
  char buffer[256];
  const char* description = strerror_r(code, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

int stat_without_waiting(int dir_fd, const char* name, struct stat& status) {
  struct statx extended {};
  if (::statx(dir_fd, name, AT_STATX_DONT_SYNC, STATX_BASIC_STATS, &extended) != 0) return errno;
  status = {};
  status.st_mode = extended.stx_mode;
  status.st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
  status.st_rdev = makedev(extended.stx_rdev_major, extended.stx_rdev_minor);
  status.st_ino = extended.stx_ino;
  status.st_nlink = extended.stx_nlink;
  status.st_uid = extended.stx_uid;
  status.st_gid = extended.stx_gid;
  status.st_size = static_cast<off_t>(extended.stx_size);
  status.st_blocks = static_cast<blkcnt_t>(extended.stx_blocks);
  status.st_blksize = static_cast<blksize_t>(extended.stx_blksize);
  return 0;
}

int read_whole_file_at(int dir_fd, const char* name, std::string& content, std::size_t limit) {
  // O_NONBLOCK: a FIFO put where a file was expected must not hold the open
  // or the read until someone writes.
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    const int error = errno;
    content.clear();
    return error;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    const int error = S_ISREG(status.st_mode) ? errno : EINVAL;
    content.clear();
    return error;
  }
  // Read straight into the caller's string, whose capacity a caller that
  // reads many small files keeps from one read to the next. One byte past
  // the limit tells a file that is too long from one that just fits.
  content.resize(std::min(limit + 1, content.capacity() < 256 ? std::size_t{256} : content.capacity()));
  std::size_t used = 0;
  int error = 0;
  for (;;) {
    if (used == content.size()) {
      if (used > limit) {
        error = EFBIG;
        break;
      }
      content.resize(std::min(limit + 1, content.size() * 2));
    }
    const ssize_t n = ::read(fd.get(), &content[used], content.size() - used);
    if (n > 0) {
      used += static_cast<std::size_t>(n);
    } else if (n == 0) {
      if (used > limit) error = EFBIG;
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  content.resize(error == 0 ? used : 0);
  return error;
}

int read_whole_file(const char* path, std::string& content, std::size_t limit) {
  return read_whole_file_at(AT_FDCWD, path, content, limit);
}

std::optional<std::string> read_whole_file(const OsPath& path, std::size_t limit) {
  std::string content;
  if (read_whole_file(path.c_str(), content, limit) != 0) return std::nullopt;
  return content;
}

int write_all(int fd, std::string_view content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

Result<OsPath> current_directory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(buffer.find('\0'));
      return buffer;
    }
    if (errno != ERANGE) return fail("cannot resolve current directory: " + os_error_text(errno));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace brimful
