// Reading /proc and the directories beside it: a directory listing that
// owns its handle, link texts, process IDs and names, and the fields of a
// process's status and limits files. Every reader takes its directory as a
// descriptor or a path, so tests can point it at a tree they built.
#ifndef BRIMFUL_PROCFS_H
#define BRIMFUL_PROCFS_H

#include <dirent.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"

namespace brimful {

// A directory opened once and listed once; its handle is closed with it.
class DirectoryListing {
 public:
  explicit DirectoryListing(const OsPath& path);
  // name is opened relative to parent_fd.
  DirectoryListing(int parent_fd, const char* name);
  ~DirectoryListing();
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  bool is_open() const { return dir_ != nullptr; }
  // The errno of the failed open; 0 when the directory is open.
  int open_error() const { return open_error_; }
  int fd() const { return ::dirfd(dir_); }

  // The next name other than "." and "..", or null at the end of the
  // listing or when reading it failed (then read_error() is not 0).
  const char* next();
  int read_error() const { return read_error_; }

 private:
  DIR* dir_ = nullptr;
  int open_error_ = 0;
  int read_error_ = 0;
};

// The text of a link, viewing a buffer the caller reuses from one link to
// the next, or the errno of the failure (then bytes is empty).
struct LinkText {
  int error = 0;
  std::string_view bytes;
};
LinkText read_link(int dir_fd, const char* name, std::vector<char>& buffer);
// The same into a string of its own; none on any failure.
std::optional<OsPath> read_link(int dir_fd, const char* name);
std::optional<OsPath> read_link(const OsPath& path);

// A /proc entry that names a process: ASCII decimal digits only, within 32
// bits. The kernel writes no sign and no blank, so a name with one is not a
// process.
std::optional<std::uint32_t> parse_pid(std::string_view name);

// A process's name from the comm file of its /proc directory, without the
// newline, or the PID as text when comm is unreadable or not UTF-8 (a name
// is set by the process, and the report quotes only UTF-8). error is the
// errno of a failed read, else 0; buffer is reused from one read to the next.
std::string read_comm(int process_fd, std::uint32_t pid, std::string& buffer, int& error);
std::string read_comm(const OsPath& process_dir, std::uint32_t pid);

// "Uid:\t1000\t1000\t1000\t1000": the real, effective, saved and filesystem
// IDs of the line of a status file that starts with key ("Uid:", "Gid:");
// none unless that line holds exactly four IDs.
std::optional<std::array<std::uint32_t, 4>> parse_status_ids(std::string_view status, std::string_view key);
constexpr std::size_t kRealId = 0;
constexpr std::size_t kEffectiveId = 1;

// "CapEff:\t000001ffeeffffff": whether the effective set holds CAP_SYS_RESOURCE.
std::optional<bool> parse_status_sys_resource(std::string_view status);

// "Max open files            1024                 1048576              files":
// the soft limit of the line of a limits file that starts with name; none
// when it is "unlimited" or the line is missing.
std::optional<std::uint64_t> parse_soft_limit(std::string_view limits, std::string_view name);
constexpr std::string_view kOpenFilesLimit = "Max open files";
constexpr std::string_view kMessageQueueLimit = "Max msgqueue size";

}  // namespace brimful

#endif  // BRIMFUL_PROCFS_H
