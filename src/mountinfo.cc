#include "mountinfo.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "bounded_call.h"
#include "procfs.h"
#include "text.h"

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

// The kernel's mount calls, declared here for the headers that predate them
// (linux/mount.h and linux/stat.h of Linux 6.8 and later).
#ifdef SYS_statmount
constexpr long kStatmountCall = SYS_statmount;
constexpr long kListmountCall = SYS_listmount;
#else
constexpr long kStatmountCall = 457;
constexpr long kListmountCall = 458;
#endif
constexpr unsigned kStatxMountIdUnique = 0x4000;

// mnt_id_req; a request about brimful's own namespace stops before the
// namespace ID, which kernels before 6.11 do not know.
struct MountIdRequest {
  std::uint32_t size;
  std::uint32_t spare;
  std::uint64_t mount_id;
  std::uint64_t param;
  std::uint64_t namespace_id;
};
constexpr std::uint32_t kMountIdRequestSize = 24;
constexpr std::uint32_t kNamespacedRequestSize = 32;
static_assert(sizeof(MountIdRequest) == kNamespacedRequestSize, "the second published mnt_id_req");
constexpr std::uint64_t kListRoot = ~std::uint64_t{0};
// NS_GET_MNTNS_ID of linux/nsfs.h: the ID the mount calls take for a namespace.
constexpr unsigned long kGetMountNamespaceId = _IOR(0xb7, 0x5, std::uint64_t);

MountIdRequest mount_request(std::uint64_t mount_id, std::uint64_t param, std::uint64_t namespace_id) {
  return MountIdRequest{namespace_id == 0 ? kMountIdRequestSize : kNamespacedRequestSize, 0, mount_id, param,
                        namespace_id};
}

// struct statmount; string fields are offsets into the text after it.
struct StatmountRecord {
  std::uint32_t size;
  std::uint32_t mnt_opts;
  std::uint64_t mask;
  std::uint32_t sb_dev_major;
  std::uint32_t sb_dev_minor;
  std::uint64_t sb_magic;
  std::uint32_t sb_flags;
  std::uint32_t fs_type;
  std::uint64_t mnt_id;
  std::uint64_t mnt_parent_id;
  std::uint32_t mnt_id_old;
  std::uint32_t mnt_parent_id_old;
  std::uint64_t mnt_attr;
  std::uint64_t mnt_propagation;
  std::uint64_t mnt_peer_group;
  std::uint64_t mnt_master;
  std::uint64_t propagate_from;
  std::uint32_t mnt_root;
  std::uint32_t mnt_point;
  std::uint64_t mnt_ns_id;
  std::uint32_t fs_subtype;
  std::uint32_t sb_source;
  std::uint32_t opt_num;
  std::uint32_t opt_array;
  std::uint32_t opt_sec_num;
  std::uint32_t opt_sec_array;
  std::uint64_t supported_mask;
  std::uint32_t uidmap_num;
  std::uint32_t uidmap;
  std::uint32_t gidmap_num;
  std::uint32_t gidmap;
  std::uint64_t spare[43];
};
static_assert(sizeof(StatmountRecord) == 512, "struct statmount before its strings");

constexpr std::uint64_t kSbBasic = 0x1, kMntBasic = 0x2, kMntPoint = 0x10, kFsType = 0x20, kMntOpts = 0x80,
                        kFsSubtype = 0x100, kSbSource = 0x200, kSupportedMask = 0x1000;
// What a mountinfo line shows. An empty string field leaves its bit out of
// the answer, so only the kernel's supported mask tells what it knows.
constexpr std::uint64_t kLineFields = kSbBasic | kMntBasic | kMntPoint | kFsType | kMntOpts | kFsSubtype | kSbSource;

// Superblock flags as statmount() reports them (SB_* of linux/fs.h).
constexpr std::uint32_t kSbReadOnly = 1, kSbSynchronous = 16, kSbDirSync = 128, kSbLazyTime = 1u << 25;

// The kernel's own escaping of a mountinfo field, which the type field
// keeps in the table.
std::string escape_mount_field(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      const unsigned byte = static_cast<unsigned char>(c);
      escaped += '\\';
      escaped += static_cast<char>('0' + (byte >> 6));
      escaped += static_cast<char>('0' + ((byte >> 3) & 7));
      escaped += static_cast<char>('0' + (byte & 7));
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// The mount with a unique ID as statmount() gives it, built into the record
// its mountinfo line gives. `unreachable` for a mount outside brimful's
// root, which the file leaves out too; `unavailable` when the kernel lacks
// the call or a field; `gone` for a mount unmounted since it was named.
enum class KernelAnswer { found, unreachable, unavailable, gone };

// The mount's own flags, then the superblock's, as the two option fields
// of its mountinfo line show them.
std::string line_flags(const StatmountRecord& record) {
  const std::uint64_t attributes = record.mnt_attr;
  std::string flags = (attributes & MOUNT_ATTR_RDONLY) != 0 ? "ro" : "rw";
  if ((attributes & MOUNT_ATTR_NOSUID) != 0) flags += ",nosuid";
  if ((attributes & MOUNT_ATTR_NODEV) != 0) flags += ",nodev";
  if ((attributes & MOUNT_ATTR_NOEXEC) != 0) flags += ",noexec";
  if ((attributes & MOUNT_ATTR__ATIME) == MOUNT_ATTR_NOATIME) flags += ",noatime";
  if ((attributes & MOUNT_ATTR_NODIRATIME) != 0) flags += ",nodiratime";
  if ((attributes & MOUNT_ATTR__ATIME) == MOUNT_ATTR_RELATIME) flags += ",relatime";
  if ((attributes & MOUNT_ATTR_NOSYMFOLLOW) != 0) flags += ",nosymfollow";
  if ((attributes & MOUNT_ATTR_IDMAP) != 0) flags += ",idmapped";
  flags += (record.sb_flags & kSbReadOnly) != 0 ? ",ro" : ",rw";
  if ((record.sb_flags & kSbSynchronous) != 0) flags += ",sync";
  if ((record.sb_flags & kSbDirSync) != 0) flags += ",dirsync";
  if ((record.sb_flags & kSbLazyTime) != 0) flags += ",lazytime";
  return flags;
}

// One mount's statmount() answer: its record, and its strings after the
// record in buffer. Mount points are relative to brimful's root in its own
// namespace (namespace_id 0), to the namespace's root in another.
KernelAnswer call_statmount(std::uint64_t unique_id, std::uint64_t namespace_id, std::vector<char>& buffer,
                            StatmountRecord& record) {
  if (buffer.size() < 4096) buffer.resize(4096);
  const MountIdRequest request = mount_request(unique_id, kLineFields | kSupportedMask, namespace_id);
  while (::syscall(kStatmountCall, &request, buffer.data(), buffer.size(), 0) != 0) {
    if (errno == ENOENT) return KernelAnswer::gone;
    // Long option lists (overlayfs layers) do not fit at first.
    if (errno != EOVERFLOW || buffer.size() >= (std::size_t{1} << 24)) return KernelAnswer::unavailable;
    buffer.resize(buffer.size() * 2);
  }
  std::memcpy(&record, buffer.data(), sizeof record);
  if ((record.mask & kSupportedMask) == 0 || (record.supported_mask & kLineFields) != kLineFields) {
    return KernelAnswer::unavailable;
  }
  return (record.mask & kMntPoint) == 0 ? KernelAnswer::unreachable : KernelAnswer::found;
}

// A string field of a statmount() answer; none when the kernel left it out.
std::optional<std::string_view> record_field(const StatmountRecord& record, const std::vector<char>& buffer,
                                             std::uint64_t bit, std::uint32_t offset) {
  if ((record.mask & bit) == 0) return std::nullopt;
  return std::string_view(buffer.data() + sizeof record + offset);
}

// The type field as the mountinfo line writes it: "fuse.sshfs", escaped.
std::string line_fs_type(const StatmountRecord& record, const std::vector<char>& buffer) {
  std::string type(record_field(record, buffer, kFsType, record.fs_type).value_or(""));
  if (const std::optional<std::string_view> subtype = record_field(record, buffer, kFsSubtype, record.fs_subtype)) {
    type += '.';
    type += *subtype;
  }
  return escape_mount_field(type);
}

KernelAnswer stat_mount(std::uint64_t unique_id, std::vector<char>& buffer, Mount& mount) {
  StatmountRecord record;
  const KernelAnswer answer = call_statmount(unique_id, 0, buffer, record);
  if (answer != KernelAnswer::found) return answer;
  const auto field = [&](std::uint64_t bit, std::uint32_t offset) {
    return record_field(record, buffer, bit, offset);
  };

  mount = Mount{};
  mount.mount_id = record.mnt_id_old;
  mount.mount_point = OsPath(*field(kMntPoint, record.mnt_point));
  mount.fs_type = lossy_utf8(line_fs_type(record, buffer));
  const std::optional<std::string_view> source = field(kSbSource, record.sb_source);
  if (source && !source->empty() && *source != "none") mount.source = OsPath(*source);

  append_options(line_flags(record), mount.options);
  if (const std::optional<std::string_view> options = field(kMntOpts, record.mnt_opts)) {
    append_options(*options, mount.options);
  }
  std::sort(mount.options.begin(), mount.options.end());
  mount.options.erase(std::unique(mount.options.begin(), mount.options.end()), mount.options.end());
  return KernelAnswer::found;
}

// The unique IDs of every mount of a namespace (0: brimful's own), in the
// order of its mountinfo file; none when the kernel has no listmount().
// Past give_up_ms (0 for never) the ids listed so far.
std::optional<std::vector<std::uint64_t>> list_mount_ids(std::uint64_t namespace_id = 0, std::int64_t give_up_ms = 0) {
  std::vector<std::uint64_t> ids;
  std::uint64_t batch[512];
  for (;;) {
    if (give_up_ms > 0 && monotonic_ms() >= give_up_ms) return ids;
    const MountIdRequest request = mount_request(kListRoot, ids.empty() ? 0 : ids.back(), namespace_id);
    const long count = ::syscall(kListmountCall, &request, batch, std::size(batch), 0);
    if (count < 0) return std::nullopt;
    ids.insert(ids.end(), batch, batch + count);
    if (static_cast<std::size_t>(count) < std::size(batch)) return ids;
  }
}

Result<std::vector<Mount>> read_mountinfo_file(const OsPath& file) {
  std::string text;
  if (const int error = read_whole_file(file.c_str(), text, kTableFileLimit)) {
    return fail("cannot read " + display(file) + ": " + os_error_text(error));
  }
  return parse_mountinfo(text);
}

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

Result<MountFields> split_mount_line(std::string_view line) {
  // 36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw,errors=continue
  const std::vector<std::string_view> fields = split_fields(line);
  const auto separator = std::find(fields.begin(), fields.end(), std::string_view("-"));
  if (separator == fields.end()) return fail("missing separator");
  const std::size_t k = static_cast<std::size_t>(separator - fields.begin());
  if (k < 6 || fields.size() - k - 1 < 3) return fail("too few fields");
  return MountFields{fields[0], fields[2], fields[4], fields[5], fields[k + 1], fields[k + 2], fields[k + 3]};
}

Result<Mount> parse_mount_line(std::string_view line) {
  const Result<MountFields> split = split_mount_line(line);
  if (!split.ok()) return fail(split.error());
  const MountFields& fields = split.value();

  Mount mount;
  const std::optional<std::uint64_t> id = parse_unsigned(fields.mount_id, UINT64_MAX);
  if (!id) return fail("invalid mount ID");
  mount.mount_id = *id;

  Result<OsPath> mount_point = unescape_mount_field(fields.mount_point);
  if (!mount_point.ok()) return fail(mount_point.error());
  mount.mount_point = std::move(mount_point).value();

  mount.fs_type = lossy_utf8(fields.fs_type);

  Result<OsPath> source = unescape_mount_field(fields.source);
  if (!source.ok()) return fail(source.error());
  if (!source.value().empty() && source.value() != "none") mount.source = std::move(source).value();

  append_options(fields.mount_options, mount.options);
  append_options(fields.super_options, mount.options);
  std::sort(mount.options.begin(), mount.options.end());
  mount.options.erase(std::unique(mount.options.begin(), mount.options.end()), mount.options.end());
  return mount;
}

std::optional<OsPath> parse_mount_option(std::string_view mountinfo, std::uint64_t mount_id, std::string_view key) {
  for (std::size_t start = 0; start < mountinfo.size();) {
    std::size_t end = mountinfo.find('\n', start);
    if (end == std::string_view::npos) end = mountinfo.size();
    const Result<MountFields> fields = split_mount_line(mountinfo.substr(start, end - start));
    start = end + 1;
    if (!fields.ok() || parse_unsigned(fields.value().mount_id, UINT64_MAX) != mount_id) continue;
    std::string_view options = fields.value().super_options;
    for (;;) {
      const std::size_t comma = options.find(',');
      const std::string_view option = options.substr(0, comma);
      if (option.size() > key.size() && option.substr(0, key.size()) == key && option[key.size()] == '=') {
        Result<std::string> value = unescape_mount_field(option.substr(key.size() + 1));
        if (!value.ok()) return std::nullopt;
        return std::move(value).value();
      }
      if (comma == std::string_view::npos) break;
      options.remove_prefix(comma + 1);
    }
    return std::nullopt;
  }
  return std::nullopt;
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
  Result<std::vector<Mount>> table = read_mountinfo_file(mountinfo_file);
  if (!table.ok()) return fail(table.error());

  if (contains_nul(path)) return fail("target path contains a NUL byte");

  std::optional<std::uint64_t> mount_id;
  struct statx status {};
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, STATX_MNT_ID, &status) == 0) {
    if ((status.stx_mask & STATX_MNT_ID) != 0) mount_id = status.stx_mnt_id;
  } else if (errno != EINVAL && errno != ENOSYS) {
    return fail("statx failed for " + display(path) + ": " + os_error_text(errno));
  }

  const Mount* mount = select_mount(table.value(), path, mount_id);
  if (mount == nullptr) return std::optional<Mount>();
  return std::optional<Mount>(*mount);
}

Result<std::optional<Mount>> find_own_mount(const OsPath& path, const OsPath& proc_root, MountCalls calls) {
  const OsPath mountinfo = proc_root + "/self/mountinfo";
  if (calls == MountCalls::never || contains_nul(path)) return find_mount(path, mountinfo.c_str());
  // Any answer short of the mount itself leaves it to the file, which also
  // words every failure.
  struct statx status {};
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, kStatxMountIdUnique, &status) != 0 ||
      (status.stx_mask & kStatxMountIdUnique) == 0) {
    return find_mount(path, mountinfo.c_str());
  }
  std::vector<char> buffer;
  Mount mount;
  if (stat_mount(status.stx_mnt_id, buffer, mount) != KernelAnswer::found) return find_mount(path, mountinfo.c_str());
  return std::optional<Mount>(std::move(mount));
}

Result<std::vector<Mount>> read_own_mounts(const OsPath& proc_root, MountCalls calls) {
  const OsPath mountinfo = proc_root + "/self/mountinfo";
  if (calls == MountCalls::never) return read_mountinfo_file(mountinfo);
  const std::optional<std::vector<std::uint64_t>> ids = list_mount_ids();
  if (!ids) return read_mountinfo_file(mountinfo);
  std::vector<Mount> table;
  std::vector<char> buffer;
  for (const std::uint64_t id : *ids) {
    Mount mount;
    switch (stat_mount(id, buffer, mount)) {
      case KernelAnswer::found: table.push_back(std::move(mount)); break;
      // A mount unmounted since it was listed is gone from the file too.
      case KernelAnswer::unreachable:
      case KernelAnswer::gone: break;
      case KernelAnswer::unavailable: return read_mountinfo_file(mountinfo);
    }
  }
  return table;
}

namespace {

// One listed mount of another namespace as its mountinfo line shows it,
// with the mount point relative to that namespace's root.
NamespaceMount namespace_mount(const StatmountRecord& record, const std::vector<char>& buffer) {
  NamespaceMount mount;
  mount.id = record.mnt_id;
  mount.parent_id = record.mnt_parent_id;
  mount.device = ::makedev(record.sb_dev_major, record.sb_dev_minor);
  mount.mount_point = OsPath(*record_field(record, buffer, kMntPoint, record.mnt_point));
  mount.fs_type = line_fs_type(record, buffer);
  std::vector<std::string> options;
  if (const std::optional<std::string_view> listed = record_field(record, buffer, kMntOpts, record.mnt_opts)) {
    append_options(*listed, options);
  }
  mount.read_only = (record.mnt_attr & MOUNT_ATTR_RDONLY) != 0 || (record.sb_flags & kSbReadOnly) != 0 ||
                    std::find(options.begin(), options.end(), "ro") != options.end();
  return mount;
}

}  // namespace

std::optional<NamespaceListing> list_process_mounts(const OsPath& process_dir, std::int64_t give_up_ms) {
  const UniqueFd name_space(::open((process_dir + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
  std::uint64_t namespace_id = 0;
  if (name_space.get() < 0 || ::ioctl(name_space.get(), kGetMountNamespaceId, &namespace_id) != 0) return std::nullopt;
  NamespaceListing listing;
  // The process's root: where it lies in its namespace, and its mount.
  const OsPath root = process_dir + "/root";
  std::optional<OsPath> root_path = read_link(root);
  struct statx status {};
  if (!root_path || root_path->empty() || (*root_path)[0] != '/' ||
      statx(AT_FDCWD, root.c_str(), AT_STATX_DONT_SYNC, kStatxMountIdUnique, &status) != 0 ||
      (status.stx_mask & kStatxMountIdUnique) == 0) {
    return std::nullopt;
  }
  listing.root_path = std::move(*root_path);
  listing.root_mount = status.stx_mnt_id;
  const std::optional<std::vector<std::uint64_t>> ids = list_mount_ids(namespace_id, give_up_ms);
  if (!ids) return std::nullopt;
  // The listing of ids itself may have stopped at the deadline.
  listing.cut = ids->empty() && give_up_ms > 0 && monotonic_ms() >= give_up_ms;
  if (listing.cut) return listing;
  const auto past = [give_up_ms] { return give_up_ms > 0 && monotonic_ms() >= give_up_ms; };
  std::vector<char> buffer;
  for (const std::uint64_t id : *ids) {
    listing.cut = past();
    if (listing.cut) return listing;
    StatmountRecord record;
    switch (call_statmount(id, namespace_id, buffer, record)) {
      case KernelAnswer::found: listing.mounts.push_back(namespace_mount(record, buffer)); break;
      case KernelAnswer::unreachable:
      case KernelAnswer::gone: break;
      case KernelAnswer::unavailable: return std::nullopt;
    }
  }
  return listing;
}

}  // namespace brimful
