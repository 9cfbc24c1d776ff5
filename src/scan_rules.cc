#include "scan_rules.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "text.h"

namespace brimful {

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

namespace {
constexpr std::string_view kInotifyLink = "anon_inode:inotify";
}  // namespace

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

// "4242 (a) b) Z 1 ..." : the state follows the last parenthesis and a
// space, as the name may hold any.
std::optional<char> process_state(std::string_view stat) {
  constexpr std::size_t kSpace = 1;
  constexpr std::size_t kState = 2;
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || stat.size() <= close + kState || stat[close + kSpace] != ' ') {
    return std::nullopt;
  }
  return stat[close + kState];
}

namespace scan {

// 2^55 blocks of 512 bytes would be 2^64 bytes, one more than a count holds.
std::uint64_t allocated_bytes(blkcnt_t blocks) {
  constexpr std::uint64_t kBlockSize = 512;
  constexpr std::uint64_t kBlocksOverflowing = std::uint64_t{1} << 55;
  const auto count = static_cast<std::uint64_t>(blocks);
  return count >= kBlocksOverflowing ? UINT64_MAX : count * kBlockSize;
}

bool is_deleted_file_on(const struct stat& status, const TargetDevices& devices) {
  return (status.st_mode & S_IFMT) == S_IFREG && status.st_nlink == 0 &&
         std::binary_search(devices.begin(), devices.end(), static_cast<std::uint64_t>(status.st_dev));
}

void sort_consumers(std::vector<InotifyConsumer>& consumers) {
  std::stable_sort(consumers.begin(), consumers.end(),
                   [](const InotifyConsumer& a, const InotifyConsumer& b) {
                     if (a.watches != b.watches) return a.watches > b.watches;
                     return a.instances > b.instances;
                   });
}

ProcScan unlistable_root(int error) {
  ProcScan scan;
  scan.processes_inaccessible = 1;
  scan.complete = false;
  scan.descriptors_exhausted = exhausted(error);
  return scan;
}

UniqueFd open_remaining_thread(int process_fd, std::uint32_t pid, std::string& buffer, int& error) {
  error = read_whole_file_at(process_fd, "stat", buffer);
  if (error != 0 || process_state(buffer) != 'Z') return UniqueFd();
  DirectoryListing tasks(process_fd, "task");
  if (!tasks.is_open()) {
    error = tasks.open_error();
    return UniqueFd();
  }
  std::optional<std::uint32_t> lowest;
  while (const char* entry = tasks.next()) {
    const std::optional<std::uint32_t> thread = parse_pid(entry);
    if (thread && *thread != pid && (!lowest || *thread < *lowest)) lowest = thread;
  }
  error = tasks.read_error();
  if (!lowest || error != 0) return UniqueFd();
  UniqueFd thread(::openat(tasks.fd(), std::to_string(*lowest).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!thread.valid()) error = errno;
  return thread;
}

}  // namespace scan
}  // namespace brimful
