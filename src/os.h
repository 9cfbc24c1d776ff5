// The small OS helpers every module shares: the result type, paths as raw
// bytes, owned descriptors, OS error text, whole-file reads and writes, and
// the current directory.
#ifndef BRIMFUL_OS_H
#define BRIMFUL_OS_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace brimful {

// Results: a value or a one-line message. Nothing is thrown across modules.

struct Error {
  std::string message;
};

inline Error fail(std::string message) { return Error{std::move(message)}; }

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  const T& value() const& { return std::get<T>(state_); }
  T& value() & { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  const std::string& error() const { return std::get<Error>(state_).message; }

 private:
  std::variant<T, Error> state_;
};

// Paths are raw OS bytes from the command line to the output; only the JSON
// encoder insists on UTF-8, and it refuses rather than guesses.
using OsPath = std::string;

// A path with a NUL byte cannot be handed to the kernel: it would name a
// shorter path than the one the user gave.
inline bool contains_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// An owned descriptor, closed when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// fstatat(dir_fd, name) following a link, from what the kernel already
// holds: a filesystem that stopped answering (a stopped FUSE daemon, an
// unreachable NFS server, or one of those under an overlay) is not asked,
// so looking at another process's descriptors never waits on it. Returns 0
// or the errno; fills the type and mode, device, inode, links, owner, size,
// blocks and block size.
int stat_without_waiting(int dir_fd, const char* name, struct stat& status);

// The system's description of an errno followed by " (os error N)".
std::string os_error_text(int code);

// The most a whole-file read takes in. Small files are the one-value and
// one-record files of /proc and /sys (a sysfs attribute is at most a page,
// a status file a few KiB); tables are mount tables and fdinfo files, which
// grow with mounts and watches.
constexpr std::size_t kSmallFileLimit = 64 * 1024;
constexpr std::size_t kTableFileLimit = 64 * 1024 * 1024;

// Reads a whole file into content; returns 0 or the errno of the failure
// (content is then empty). The _at form opens name relative to dir_fd.
// What is read may belong to a user: the last component is never followed
// as a link (ELOOP), the open never waits for a writer, anything but a
// regular file (procfs and sysfs files are regular) is refused with EINVAL,
// and a file longer than limit with EFBIG.
int read_whole_file(const char* path, std::string& content, std::size_t limit = kSmallFileLimit);
int read_whole_file_at(int dir_fd, const char* name, std::string& content, std::size_t limit = kSmallFileLimit);
// The same as a value, for a reader that needs no errno: none on any failure.
std::optional<std::string> read_whole_file(const OsPath& path, std::size_t limit = kSmallFileLimit);

// Writes all of content to fd, again after an interruption or a short
// write; returns 0 or the errno (EIO when the descriptor takes nothing).
int write_all(int fd, std::string_view content);

// The absolute path of the working directory. Error: "cannot resolve
// current directory: " and the OS error text.
Result<OsPath> current_directory();

}  // namespace brimful

#endif  // BRIMFUL_OS_H
