// What sysfs says about the device under a filesystem and about the
// filesystem itself. Every reader takes the sysfs root so tests can hand in
// a tree of their own.
#ifndef BRIMFUL_SYSFS_H
#define BRIMFUL_SYSFS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os.h"

namespace brimful {

// The kernel's name of a block device ("loop0", "sda1") from
// SYS/dev/block/MAJOR:MINOR, a link into SYS/devices.
std::optional<std::string> block_device_name(const OsPath& sys_root, std::uint32_t major, std::uint32_t minor);

// The file a loop device reads and writes, from SYS/block/NAME/loop/backing_file.
std::optional<OsPath> loop_backing_file(const OsPath& sys_root, std::string_view device);

// The errors ext4 has recorded in its superblock, from SYS/fs/ext4/NAME/errors_count.
std::optional<std::uint64_t> ext4_error_count(const OsPath& sys_root, std::string_view device);

// The clusters ext4 holds back for itself, which no writer can use, from
// SYS/fs/ext4/NAME/reserved_clusters.
std::optional<std::uint64_t> ext4_reserved_clusters(const OsPath& sys_root, std::string_view device);

struct BtrfsSpace {
  std::uint64_t total_bytes = 0;  // allocated to this kind of chunk
  std::uint64_t used_bytes = 0;   // used and reserved inside them
  std::uint64_t disk_bytes = 0;   // raw device space the chunks take
};

struct BtrfsAllocation {
  BtrfsSpace data;
  BtrfsSpace metadata;
  BtrfsSpace system;
  std::uint64_t device_bytes = 0;  // the size of every device together
  // Device space in no chunk at all, which either kind can still get.
  std::uint64_t unallocated_bytes() const;
};

// SYS/fs/btrfs/FSID/allocation/{data,metadata,system}/ and the sizes of
// the devices under SYS/fs/btrfs/FSID/devices/; FSID is the UUID text.
std::optional<BtrfsAllocation> read_btrfs_allocation(const OsPath& sys_root, const std::string& fsid);

// The requests the FUSE connection has sent and not yet had answered, from
// SYS/fs/fuse/connections/N/waiting (fusectl must be mounted there).
std::optional<std::uint64_t> fuse_waiting_requests(const OsPath& sys_root, std::uint64_t connection);

}  // namespace brimful

#endif  // BRIMFUL_SYSFS_H
