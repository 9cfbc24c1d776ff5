#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>

#include "text.h"

namespace brimful {
namespace {

Error failed(const std::string& step, int code) { return fail(step + ": " + os_error_text(code)); }

// Opens the directory that holds file's last component, one component at a
// time and never through a symbolic link; name receives that last component.
Result<UniqueFd> open_parent(const OsPath& file, OsPath& name) {
  const std::size_t slash = file.rfind('/');
  name = slash == OsPath::npos ? file : file.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return fail("not a file name: " + display(file));
  const OsPath directory = slash == OsPath::npos ? "" : file.substr(0, slash);
  UniqueFd dir(::open(file[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return failed("cannot open the first directory of " + display(file), errno);
  std::size_t start = 0;
  while (start < directory.size()) {
    std::size_t end = directory.find('/', start);
    if (end == OsPath::npos) end = directory.size();
    const OsPath component = directory.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    // ".." would leave a directory already checked for one that was not.
    if (component == "..") return fail("the path holds \"..\": " + display(file));
    UniqueFd next(::openat(dir.get(), component.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      // A symbolic link opened with O_NOFOLLOW|O_DIRECTORY fails with ENOTDIR.
      return failed("cannot open the directory " + display(component) + " of " + display(file) +
                        " (a symbolic link is not followed)",
                    errno);
    }
    dir = std::move(next);
  }
  // The descriptor the file is made in: a real one, not a path handle.
  UniqueFd opened(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.valid()) return failed("cannot open the directory of " + display(file), errno);
  return opened;
}

// Anyone who may write the directory could swap the new file for a link to
// one of root's between the steps below.
Result<Replaced> refuse_shared_directory(int dir, const OsPath& file) {
  struct stat status {};
  if (::fstat(dir, &status) != 0) return failed("cannot examine the directory of " + display(file), errno);
  const uid_t self = ::geteuid();
  if (status.st_uid != 0 && status.st_uid != self) {
    return fail("the directory of " + display(file) + " belongs to user " + std::to_string(status.st_uid) +
                ", not to root or to the user brimful runs as");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return fail("the directory of " + display(file) + " may be written by its group or by others");
  }
  return Replaced{};
}

// Names the new file while it is written; the collector reads *.prom only.
// A name that exists already fails the step below and another is tried.
OsPath temporary_name() {
  static std::mt19937_64 random{std::random_device{}()};
  return ".brimful-output-" + std::to_string(::getpid()) + "-" + std::to_string(random() % 1000000000);
}

// O_EXCL|O_NOFOLLOW: an existing file or link by that name fails the open
// rather than being written through.
UniqueFd create_named(int dir, OsPath& temporary) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = temporary_name();
    UniqueFd fd(::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

// Gives an unnamed file a name in dir; linkat never replaces an existing
// name. AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; /proc/self/fd does the same
// without it.
int link_unnamed(int fd, int dir, OsPath& temporary) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = temporary_name();
    if (::linkat(fd, "", dir, temporary.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno == ENOENT || errno == EPERM) {
      if (::linkat(AT_FDCWD, self.c_str(), dir, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

}  // namespace

Result<Replaced> replace_file(const OsPath& file, std::string_view content, mode_t mode) {
  OsPath name;
  Result<UniqueFd> opened = open_parent(file, name);
  if (!opened.ok()) return Error{opened.error()};
  const int dir = opened.value().get();
  if (Result<Replaced> shared = refuse_shared_directory(dir, file); !shared.ok()) return shared;

  OsPath temporary;
  bool named = false;
  UniqueFd fd(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    // Filesystems without unnamed files answer EOPNOTSUPP (older kernels EISDIR).
    if (errno != EOPNOTSUPP && errno != EISDIR) return failed("cannot create a file beside " + display(file), errno);
    fd = create_named(dir, temporary);
    if (!fd.valid()) return failed("cannot create a file beside " + display(file), errno);
    named = true;
  }
  const auto give_up = [&](const std::string& step, int code) -> Result<Replaced> {
    if (named) (void)::unlinkat(dir, temporary.c_str(), 0);
    return failed(step + " " + display(file), code);
  };
  if (const int code = write_all(fd.get(), content); code != 0) return give_up("cannot write", code);
  if (::fchmod(fd.get(), mode) != 0) return give_up("cannot set the mode of", errno);
  if (::fsync(fd.get()) != 0) return give_up("cannot sync", errno);
  if (!named) {
    if (const int code = link_unnamed(fd.get(), dir, temporary); code != 0) {
      return give_up("cannot name the new", code);
    }
    named = true;
  }
  if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) return give_up("cannot replace", errno);
  // The rename itself reaches the disk only with the directory.
  (void)::fsync(dir);
  return Replaced{};
}

}  // namespace brimful
