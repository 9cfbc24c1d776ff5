#include "os.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brimful {

std::string os_error_text(int code) {
  char buffer[256];
  const char* description = strerror_r(code, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

int read_whole_file_at(int dir_fd, const char* name, std::string& content) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  // Read straight into the caller's string, whose capacity a caller that
  // reads many small files keeps from one read to the next.
  content.resize(content.capacity() < 256 ? 256 : content.capacity());
  std::size_t used = 0;
  int error = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    const ssize_t n = ::read(fd, &content[used], content.size() - used);
    if (n > 0) {
      used += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  content.resize(error == 0 ? used : 0);
  return error;
}

int read_whole_file(const char* path, std::string& content) {
  return read_whole_file_at(AT_FDCWD, path, content);
}

}  // namespace brimful
