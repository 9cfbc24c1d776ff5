#include "procscan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brimful {

namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A directory opened relative to another and listed once.
class DirectoryListing {
 public:
  DirectoryListing(int parent_fd, const char* name) {
    UniqueFd fd(::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
      open_error_ = errno;
      return;
    }
    dir_ = ::fdopendir(fd.get());
    if (dir_ == nullptr) {
      open_error_ = errno;
      return;
    }
    fd.release();
  }
  ~DirectoryListing() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  bool is_open() const { return dir_ != nullptr; }
  // The errno of the failed open; 0 when the directory is open.
  int open_error() const { return open_error_; }
  int fd() const { return ::dirfd(dir_); }

  // The next name other than "." and "..", or null at the end of the
  // listing or when reading it failed (then read_failed()).
  const char* next() {
    for (;;) {
      errno = 0;
      const dirent64* entry = ::readdir64(dir_);
      if (entry == nullptr) {
        read_failed_ = errno != 0;
        return nullptr;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") return entry->d_name;
    }
  }
  bool read_failed() const { return read_failed_; }

 private:
  DIR* dir_ = nullptr;
  int open_error_ = 0;
  bool read_failed_ = false;
};

// The bytes of a link, viewing a buffer the caller reuses, or the errno of
// the failure.
struct ReadResult {
  int error = 0;
  std::string_view bytes;
};

ReadResult read_link(int dir_fd, const char* name, std::vector<char>& buffer) {
  for (;;) {
    const ssize_t n = ::readlinkat(dir_fd, name, buffer.data(), buffer.size());
    if (n < 0) return {errno, {}};
    const auto length = static_cast<std::size_t>(n);
    if (length < buffer.size()) return {0, std::string_view(buffer.data(), length)};
    // readlink truncates silently; a full buffer may hold only part of the text.
    buffer.resize(buffer.size() * 2);
  }
}

// parse_unsigned accepts ASCII digits only, so every name it accepts is
// valid UTF-8 as well.
std::optional<std::uint32_t> parse_pid(std::string_view name) {
  const std::optional<std::uint64_t> value = parse_unsigned(name, UINT32_MAX);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::int32_t> parse_descriptor(std::string_view name) {
  const bool negative = !name.empty() && name[0] == '-';
  if (negative) {
    name.remove_prefix(1);
    // parse_unsigned would take a "+" after the "-".
    if (!name.empty() && name[0] == '+') return std::nullopt;
  }
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : INT32_MAX;
  const std::optional<std::uint64_t> magnitude = parse_unsigned(name, limit);
  if (!magnitude) return std::nullopt;
  const auto value = static_cast<std::int64_t>(*magnitude);
  return static_cast<std::int32_t>(negative ? -value : value);
}

// 2^55 blocks of 512 bytes would be 2^64 bytes, one more than a count holds.
std::uint64_t allocated_bytes(blkcnt_t blocks) {
  const auto count = static_cast<std::uint64_t>(blocks);
  return count >= (std::uint64_t{1} << 55) ? UINT64_MAX : count * 512;
}

constexpr std::string_view kInotifyLink = "anon_inode:inotify";

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

bool is_inotify_instance(std::string_view link) {
  if (link == kInotifyLink) return true;
  // Only a text containing the name can match component by component; the
  // search spares a split for every socket, pipe and file.
  if (link.find(kInotifyLink) == std::string_view::npos) return false;
  return path_components(link) == path_components(kInotifyLink);
}

// One line per watch, for example
// "inotify wd:1 ino:2 sdev:fd00001 mask:fce ignored_mask:0 fhandle-bytes:8 ...".
std::uint64_t count_watch_lines(std::string_view text) {
  constexpr std::string_view prefix = "inotify wd:";
  std::uint64_t count = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(start, end - start).substr(0, prefix.size()) == prefix) ++count;
    start = end + 1;
  }
  return count;
}

class ProcessScanner {
 public:
  // Most link texts and comm files fit the first buffers; the buffers grow
  // for longer ones and stay grown for the rest of the scan.
  ProcessScanner(std::uint64_t target_device, uid_t real_uid)
      : target_device_(target_device), real_uid_(real_uid), link_buffer_(256) {}

  void scan_process(int proc_fd, const char* entry, std::uint32_t pid);
  ProcScan finish();

 private:
  using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // (device, inode)

  std::string process_name(int process_fd, std::uint32_t pid);
  // Each pass returns false when it saw only part of what it walks.
  bool deleted_open_pass(DirectoryListing& fds, std::uint32_t pid, const std::string& name);
  bool inotify_pass(int process_fd, int fd_dir, std::uint32_t pid, const std::string& name);

  const std::uint64_t target_device_;
  const uid_t real_uid_;
  std::map<FileKey, DeletedOpenFile> deleted_;
  std::vector<InotifyConsumer> consumers_;
  std::uint64_t scanned_ = 0;
  std::uint64_t inaccessible_ = 0;
  bool descriptors_exhausted_ = false;
  std::string text_buffer_;
  std::vector<char> link_buffer_;
};

void ProcessScanner::scan_process(int proc_fd, const char* entry, std::uint32_t pid) {
  // The O_PATH descriptor pins this process's directory, so the steps below
  // cannot wander into a newer process that reuses the PID.
  UniqueFd process(::openat(proc_fd, entry, O_PATH | O_CLOEXEC));
  struct stat status {};
  if (!process.valid() || ::fstat(process.get(), &status) != 0) {
    if (out_of_descriptors(errno)) descriptors_exhausted_ = true;
    if (errno != ENOENT) ++inaccessible_;
    return;
  }
  const std::string name = process_name(process.get(), pid);

  DirectoryListing fds(process.get(), "fd");
  if (!fds.is_open()) {
    if (out_of_descriptors(fds.open_error())) descriptors_exhausted_ = true;
    if (fds.open_error() != ENOENT) ++inaccessible_;
    return;
  }
  ++scanned_;
  bool whole = deleted_open_pass(fds, pid, name);
  if (status.st_uid == real_uid_) whole = inotify_pass(process.get(), fds.fd(), pid, name) && whole;
  if (!whole) ++inaccessible_;
}

std::string ProcessScanner::process_name(int process_fd, std::uint32_t pid) {
  const int error = read_whole_file_at(process_fd, "comm", text_buffer_);
  if (out_of_descriptors(error)) descriptors_exhausted_ = true;
  if (error == 0 && is_valid_utf8(text_buffer_)) {
    return std::string(trim_unicode_whitespace(text_buffer_));
  }
  return std::to_string(pid);
}

bool ProcessScanner::deleted_open_pass(DirectoryListing& fds, std::uint32_t pid,
                                       const std::string& name) {
  bool whole = true;
  while (const char* entry = fds.next()) {
    const std::optional<std::int32_t> fd = parse_descriptor(entry);
    if (!fd) continue;
    struct stat status {};
    if (::fstatat(fds.fd(), entry, &status, 0) != 0) {
      if (errno != ENOENT) whole = false;
      continue;
    }
    if ((status.st_mode & S_IFMT) != S_IFREG || status.st_dev != target_device_ ||
        status.st_nlink != 0) {
      continue;
    }
    const FileKey key{status.st_dev, status.st_ino};
    const auto found = deleted_.lower_bound(key);
    if (found != deleted_.end() && found->first == key) {
      found->second.holders.push_back(Holder{pid, name, *fd});
      continue;
    }
    DeletedOpenFile file;
    file.device = status.st_dev;
    file.inode = status.st_ino;
    const ReadResult link = read_link(fds.fd(), entry, link_buffer_);
    file.path = link.error == 0 ? OsPath(link.bytes) : OsPath("<deleted file>");
    file.allocated_bytes = allocated_bytes(status.st_blocks);
    file.holders.push_back(Holder{pid, name, *fd});
    deleted_.emplace_hint(found, key, std::move(file));
  }
  return whole && !fds.read_failed();
}

bool ProcessScanner::inotify_pass(int process_fd, int fd_dir, std::uint32_t pid,
                                  const std::string& name) {
  DirectoryListing infos(process_fd, "fdinfo");
  if (!infos.is_open()) {
    if (out_of_descriptors(infos.open_error())) descriptors_exhausted_ = true;
    return false;
  }
  bool whole = true;
  std::uint64_t instances = 0;
  std::uint64_t watches = 0;
  while (const char* entry = infos.next()) {
    const ReadResult link = read_link(fd_dir, entry, link_buffer_);
    if (link.error != 0) {
      if (link.error != ENOENT) whole = false;
      continue;
    }
    if (!is_inotify_instance(link.bytes)) continue;
    instances = saturating_add(instances, 1);
    const int info_error = read_whole_file_at(infos.fd(), entry, text_buffer_);
    if (out_of_descriptors(info_error)) descriptors_exhausted_ = true;
    if (info_error == ENOENT) continue;
    if (info_error != 0 || !is_valid_utf8(text_buffer_)) {
      whole = false;
      continue;
    }
    watches = saturating_add(watches, count_watch_lines(text_buffer_));
  }
  if (infos.read_failed()) whole = false;
  if (instances > 0) consumers_.push_back(InotifyConsumer{pid, name, instances, watches});
  return whole;
}

ProcScan ProcessScanner::finish() {
  ProcScan scan;
  scan.deleted_open.reserve(deleted_.size());
  for (auto& entry : deleted_) scan.deleted_open.push_back(std::move(entry.second));
  // The map left them in (device, inode) order, which the stable sort keeps
  // among files of equal size.
  std::stable_sort(scan.deleted_open.begin(), scan.deleted_open.end(),
                   [](const DeletedOpenFile& a, const DeletedOpenFile& b) {
                     return a.allocated_bytes > b.allocated_bytes;
                   });
  scan.inotify_consumers = std::move(consumers_);
  std::stable_sort(scan.inotify_consumers.begin(), scan.inotify_consumers.end(),
                   [](const InotifyConsumer& a, const InotifyConsumer& b) {
                     if (a.watches != b.watches) return a.watches > b.watches;
                     return a.instances > b.instances;
                   });
  scan.processes_scanned = scanned_;
  scan.processes_inaccessible = inaccessible_;
  scan.complete = inaccessible_ == 0;
  scan.descriptors_exhausted = descriptors_exhausted_;
  return scan;
}

}  // namespace

ProcScan scan_processes(std::uint64_t target_device, const OsPath& proc_root,
                        std::optional<std::uint32_t> consumer_uid) {
  const uid_t real_uid = consumer_uid ? static_cast<uid_t>(*consumer_uid) : ::getuid();
  DirectoryListing proc(AT_FDCWD, proc_root.c_str());
  if (!proc.is_open()) {
    ProcScan scan;
    scan.processes_inaccessible = 1;
    scan.complete = false;
    scan.descriptors_exhausted = out_of_descriptors(proc.open_error());
    return scan;
  }
  ProcessScanner scanner(target_device, real_uid);
  // A failure partway through the listing keeps what was found so far.
  while (const char* entry = proc.next()) {
    if (const std::optional<std::uint32_t> pid = parse_pid(entry)) {
      scanner.scan_process(proc.fd(), entry, *pid);
    }
  }
  return scanner.finish();
}

}  // namespace brimful
