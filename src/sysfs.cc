#include "sysfs.h"

#include <unistd.h>

#include <string>

#include "procfs.h"
#include "text.h"

namespace brimful {

namespace {

std::optional<std::string> read_line(const OsPath& path) {
  std::optional<std::string> text = read_whole_file(path);
  if (text && !text->empty() && text->back() == '\n') text->pop_back();
  return text;
}

std::optional<std::uint64_t> read_number(const OsPath& path) {
  const std::optional<std::string> text = read_line(path);
  return text ? parse_unsigned(*text, UINT64_MAX) : std::nullopt;
}

std::optional<BtrfsSpace> read_space(const OsPath& directory) {
  const std::optional<std::uint64_t> total = read_number(directory + "/total_bytes");
  const std::optional<std::uint64_t> used = read_number(directory + "/bytes_used");
  const std::optional<std::uint64_t> disk = read_number(directory + "/disk_total");
  if (!total || !used || !disk) return std::nullopt;
  // Space handed to running operations is as good as used.
  const std::uint64_t reserved = read_number(directory + "/bytes_reserved").value_or(0);
  const std::uint64_t may_use = read_number(directory + "/bytes_may_use").value_or(0);
  return BtrfsSpace{*total, saturating_add(saturating_add(*used, reserved), may_use), *disk};
}

}  // namespace

std::optional<std::string> block_device_name(const OsPath& sys_root, std::uint32_t major, std::uint32_t minor) {
  const OsPath link = sys_root + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  const std::optional<OsPath> link_text = read_link(link);
  if (!link_text) return std::nullopt;
  const std::string& target = *link_text;
  const std::size_t slash = target.rfind('/');
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty()) return std::nullopt;
  return name;
}

std::optional<OsPath> loop_backing_file(const OsPath& sys_root, std::string_view device) {
  std::optional<std::string> file = read_line(sys_root + "/block/" + std::string(device) + "/loop/backing_file");
  if (!file || file->empty()) return std::nullopt;
  return file;
}

std::optional<std::uint64_t> ext4_error_count(const OsPath& sys_root, std::string_view device) {
  return read_number(sys_root + "/fs/ext4/" + std::string(device) + "/errors_count");
}

std::optional<std::uint64_t> ext4_reserved_clusters(const OsPath& sys_root, std::string_view device) {
  return read_number(sys_root + "/fs/ext4/" + std::string(device) + "/reserved_clusters");
}

std::uint64_t BtrfsAllocation::unallocated_bytes() const {
  const std::uint64_t allocated =
      saturating_add(saturating_add(data.disk_bytes, metadata.disk_bytes), system.disk_bytes);
  return device_bytes > allocated ? device_bytes - allocated : 0;
}

std::optional<BtrfsAllocation> read_btrfs_allocation(const OsPath& sys_root, const std::string& fsid) {
  const OsPath root = sys_root + "/fs/btrfs/" + fsid;
  const std::optional<BtrfsSpace> data = read_space(root + "/allocation/data");
  const std::optional<BtrfsSpace> metadata = read_space(root + "/allocation/metadata");
  const std::optional<BtrfsSpace> system = read_space(root + "/allocation/system");
  if (!data || !metadata || !system) return std::nullopt;
  BtrfsAllocation allocation{*data, *metadata, *system, 0};
  // Each entry links to the block device, whose size is in 512-byte sectors.
  DirectoryListing devices(root + "/devices");
  if (!devices.is_open()) return std::nullopt;
  bool complete = true;
  while (const char* entry = devices.next()) {
    const std::string name = entry;
    const std::optional<std::uint64_t> sectors = read_number(root + "/devices/" + name + "/size");
    if (!sectors || *sectors > UINT64_MAX / 512) {
      complete = false;
      continue;
    }
    allocation.device_bytes = saturating_add(allocation.device_bytes, *sectors * 512);
  }
  if (!complete || allocation.device_bytes == 0) return std::nullopt;
  return allocation;
}

std::optional<std::uint64_t> fuse_waiting_requests(const OsPath& sys_root, std::uint64_t connection) {
  return read_number(sys_root + "/fs/fuse/connections/" + std::to_string(connection) + "/waiting");
}

}  // namespace brimful
