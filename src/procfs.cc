#include "procfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "text.h"

namespace brimful {

namespace {

// The blank-separated words of one line.
std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) words.push_back(line.substr(start, pos - start));
  }
  return words;
}

// The first line of text that starts with prefix, or none.
std::optional<std::string_view> line_starting(std::string_view text, std::string_view prefix) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    if (line.substr(0, prefix.size()) == prefix) return line;
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace

DirectoryListing::DirectoryListing(const OsPath& path) : DirectoryListing(AT_FDCWD, path.c_str()) {}

DirectoryListing::DirectoryListing(int parent_fd, const char* name) {
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

DirectoryListing::~DirectoryListing() {
  if (dir_ != nullptr) ::closedir(dir_);
}

const char* DirectoryListing::next() {
  for (;;) {
    errno = 0;
    const dirent64* entry = ::readdir64(dir_);
    if (entry == nullptr) {
      read_error_ = errno;
      return nullptr;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") return entry->d_name;
  }
}

LinkText read_link(int dir_fd, const char* name, std::vector<char>& buffer) {
  if (buffer.empty()) buffer.resize(256);
  for (;;) {
    const ssize_t n = ::readlinkat(dir_fd, name, buffer.data(), buffer.size());
    if (n < 0) return {errno, {}};
    const auto length = static_cast<std::size_t>(n);
    if (length < buffer.size()) return {0, std::string_view(buffer.data(), length)};
    // readlink truncates silently; a full buffer may hold only part of the text.
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<OsPath> read_link(int dir_fd, const char* name) {
  std::vector<char> buffer;
  const LinkText link = read_link(dir_fd, name, buffer);
  if (link.error != 0) return std::nullopt;
  return OsPath(link.bytes);
}

std::optional<OsPath> read_link(const OsPath& path) { return read_link(AT_FDCWD, path.c_str()); }

std::optional<std::uint32_t> parse_pid(std::string_view name) {
  // parse_unsigned also takes a leading "+".
  if (name.empty() || name[0] < '0' || name[0] > '9') return std::nullopt;
  const std::optional<std::uint64_t> pid = parse_unsigned(name, UINT32_MAX);
  if (!pid) return std::nullopt;
  return static_cast<std::uint32_t>(*pid);
}

std::string read_comm(int process_fd, std::uint32_t pid, std::string& buffer, int& error) {
  error = read_whole_file_at(process_fd, "comm", buffer);
  if (error == 0 && is_valid_utf8(buffer)) return std::string(trim_unicode_whitespace(buffer));
  return std::to_string(pid);
}

std::string read_comm(const OsPath& process_dir, std::uint32_t pid) {
  const UniqueFd process(::open(process_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string buffer;
  int error = 0;
  return read_comm(process.valid() ? process.get() : -1, pid, buffer, error);
}

std::optional<std::array<std::uint32_t, 4>> parse_status_ids(std::string_view status, std::string_view key) {
  const std::optional<std::string_view> line = line_starting(status, key);
  if (!line) return std::nullopt;
  const std::vector<std::string_view> words = words_of(*line);
  if (words.size() != 5 || words[0] != key) return std::nullopt;
  std::array<std::uint32_t, 4> ids{};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::optional<std::uint64_t> id = parse_unsigned(words[i + 1], UINT32_MAX);
    if (!id) return std::nullopt;
    ids[i] = static_cast<std::uint32_t>(*id);
  }
  return ids;
}

std::optional<bool> parse_status_sys_resource(std::string_view status) {
  constexpr std::string_view key = "CapEff:";
  constexpr unsigned kSysResource = 24;
  const std::optional<std::string_view> line = line_starting(status, key);
  if (!line) return std::nullopt;
  const std::vector<std::string_view> words = words_of(*line);
  if (words.size() != 2 || words[0] != key || words[1].empty() || words[1].size() > 16) return std::nullopt;
  std::uint64_t mask = 0;
  for (char digit : words[1]) {
    const int value = std::isdigit(static_cast<unsigned char>(digit)) ? digit - '0'
                      : digit >= 'a' && digit <= 'f'                  ? digit - 'a' + 10
                                                                       : -1;
    if (value < 0) return std::nullopt;
    mask = mask << 4 | static_cast<std::uint64_t>(value);
  }
  return (mask >> kSysResource & 1) != 0;
}

std::optional<std::uint64_t> parse_soft_limit(std::string_view limits, std::string_view name) {
  const std::optional<std::string_view> line = line_starting(limits, name);
  if (!line) return std::nullopt;
  const std::vector<std::string_view> words = words_of(line->substr(name.size()));
  return words.empty() ? std::nullopt : parse_unsigned(words[0], UINT64_MAX);
}

}  // namespace brimful
