#include "mountinfo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace brimful {

namespace {

constexpr const char* kSensitiveKeys[] = {
    "key",      "pass",     "user",     "token",    "passwd",     "secret",      "workdir",
    "lowerdir", "password", "upperdir", "username", "credential", "credentials",
};

// The kernel separates the fields with one space; a tab is taken as well.
// Carriage returns and form feeds are not separators: the kernel escapes only
// space, tab, newline and backslash, so those reach the table raw, inside a
// field.
bool is_field_separator(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && is_field_separator(line[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && !is_field_separator(line[pos])) ++pos;
    if (pos > start) fields.push_back(line.substr(start, pos - start));
  }
  return fields;
}

void append_options(std::string_view list, std::vector<std::string>& options) {
  std::size_t pos = 0;
  while (pos <= list.size()) {
    std::size_t end = list.find(',', pos);
    if (end == std::string_view::npos) end = list.size();
    // Options are text; a filesystem that shows raw bytes in one gets them
    // shown lossily rather than failing the table.
    if (end > pos) options.push_back(redact_option(lossy_utf8(list.substr(pos, end - pos))));
    pos = end + 1;
  }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

Result<OsPath> unescape_mount_field(std::string_view field) {
  // The kernel writes space, tab, newline and backslash in paths as \040,
  // \011, \012 and \134.
  std::string bytes;
  bytes.reserve(field.size());
  for (std::size_t pos = 0; pos < field.size(); ++pos) {
    if (field[pos] != '\\') {
      bytes += field[pos];
      continue;
    }
    if (field.size() - pos < 4 || !is_digit(field[pos + 1]) || !is_digit(field[pos + 2]) ||
        !is_digit(field[pos + 3])) {
      return fail("invalid escape in " + display(field));
    }
    const int d1 = field[pos + 1] - '0';
    const int d2 = field[pos + 2] - '0';
    const int d3 = field[pos + 3] - '0';
    if (d1 > 3 || d2 > 7 || d3 > 7) return fail("invalid octal escape in " + display(field));
    bytes += static_cast<char>(d1 * 64 + d2 * 8 + d3);
    pos += 3;
  }
  return bytes;
}

std::string redact_option(std::string_view option) {
  const std::size_t equals = option.find('=');
  if (equals == std::string_view::npos || equals == 0) return std::string(option);
  const std::string_view key = option.substr(0, equals);
  std::string lowered(key);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* sensitive : kSensitiveKeys) {
    if (lowered == sensitive) return std::string(key) + "=<redacted>";
  }
  return std::string(option);
}

Result<Mount> parse_mount_line(std::string_view line) {
  // 36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw,errors=continue
  const std::vector<std::string_view> fields = split_fields(line);
  const auto separator = std::find(fields.begin(), fields.end(), std::string_view("-"));
  if (separator == fields.end()) return fail("missing separator");
  const std::size_t k = static_cast<std::size_t>(separator - fields.begin());
  if (k < 6 || fields.size() - k - 1 < 3) return fail("too few fields");

  Mount mount;
  const std::optional<std::uint64_t> id = parse_unsigned(fields[0], UINT64_MAX);
  if (!id) return fail("invalid mount ID");
  mount.mount_id = *id;

  Result<OsPath> mount_point = unescape_mount_field(fields[4]);
  if (!mount_point.ok()) return fail(mount_point.error());
  mount.mount_point = std::move(mount_point).value();

  mount.fs_type = lossy_utf8(fields[k + 1]);

  Result<OsPath> source = unescape_mount_field(fields[k + 2]);
  if (!source.ok()) return fail(source.error());
  if (!source.value().empty() && source.value() != "none") mount.source = std::move(source).value();

  append_options(fields[5], mount.options);
  append_options(fields[k + 3], mount.options);
  std::sort(mount.options.begin(), mount.options.end());
  mount.options.erase(std::unique(mount.options.begin(), mount.options.end()), mount.options.end());
  return mount;
}

Result<std::vector<Mount>> parse_mountinfo(std::string_view text) {
  std::vector<Mount> table;
  std::size_t number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // The kernel escapes a newline inside a field, so every newline ends a
    // line. A carriage return before it is the last byte of the super
    // options, written raw like any other, and stays part of that field.
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (trim_unicode_whitespace(line).empty()) continue;
    ++number;
    Result<Mount> mount = parse_mount_line(line);
    if (!mount.ok()) return fail("mountinfo line " + std::to_string(number) + ": " + mount.error());
    table.push_back(std::move(mount).value());
  }
  return table;
}

const Mount* select_mount(const std::vector<Mount>& table, std::string_view path,
                          std::optional<std::uint64_t> mount_id) {
  if (mount_id) {
    for (const Mount& mount : table) {
      if (mount.mount_id == *mount_id) return &mount;
    }
  }
  // Without a usable mount ID (old kernels, or a mount that appeared after
  // the table was read) the deepest mount point above the path holds it.
  const std::vector<std::string_view> path_parts = path_components(path);
  const Mount* best = nullptr;
  std::size_t best_depth = 0;
  for (const Mount& mount : table) {
    const std::vector<std::string_view> mount_parts = path_components(mount.mount_point);
    if (mount_parts.empty() || mount_parts.size() > path_parts.size()) continue;
    if (!std::equal(mount_parts.begin(), mount_parts.end(), path_parts.begin())) continue;
    if (mount_parts.size() >= best_depth) {
      best = &mount;
      best_depth = mount_parts.size();
    }
  }
  return best;
}

Result<std::optional<Mount>> find_mount(const OsPath& path, const char* mountinfo_file) {
  const std::string file_name = display(mountinfo_file);
  std::string text;
  if (const int error = read_whole_file(mountinfo_file, text)) {
    return fail("cannot read " + file_name + ": " + os_error_text(error));
  }
  Result<std::vector<Mount>> table = parse_mountinfo(text);
  if (!table.ok()) return fail(table.error());

  if (path.find('\0') != OsPath::npos) return fail("target path contains a NUL byte");

  std::optional<std::uint64_t> mount_id;
  struct statx status {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_MNT_ID, &status) == 0) {
    if ((status.stx_mask & STATX_MNT_ID) != 0) mount_id = status.stx_mnt_id;
  } else if (errno != EINVAL && errno != ENOSYS) {
    return fail("statx failed for " + display(path) + ": " + os_error_text(errno));
  }

  const Mount* mount = select_mount(table.value(), path, mount_id);
  if (mount == nullptr) return std::optional<Mount>();
  return std::optional<Mount>(*mount);
}

}  // namespace brimful
