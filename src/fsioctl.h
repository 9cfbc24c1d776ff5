// What XFS and btrfs tell about themselves through their ioctls, behind an
// interface so tests can answer in the kernel's place.
#ifndef BRIMFUL_FSIOCTL_H
#define BRIMFUL_FSIOCTL_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os.h"

namespace brimful {

struct XfsGeometry {
  std::uint32_t block_size = 0;
  std::uint32_t inode_size = 0;
  // The share of the data blocks that inodes may take, in percent.
  std::uint32_t imaxpct = 0;
  // Sparse inode chunks: new inodes can go into free space that is not one
  // contiguous chunk.
  bool sparse_inodes = false;
};

// The btrfs subvolume that holds a path.
struct BtrfsSubvolume {
  // Its root directory: the highest directory above the path on the same
  // st_dev (filled in by the facts, not by the ioctls).
  OsPath root;
  // A read-only snapshot, or one made read-only with `btrfs property set`:
  // writes fail with EROFS while the mount is read-write.
  bool read_only = false;
  // The snapshots on the whole filesystem; none when the tree of tree
  // roots may not be searched (that takes CAP_SYS_ADMIN).
  std::optional<std::uint64_t> snapshots;
};

class FilesystemIoctls {
 public:
  virtual ~FilesystemIoctls() = default;
  // XFS_IOC_FSGEOMETRY on the filesystem that holds path.
  virtual std::optional<XfsGeometry> xfs_geometry(const OsPath& path) const = 0;
  // The length in bytes of every free extent, from FS_IOC_GETFSMAP (root).
  virtual std::optional<std::vector<std::uint64_t>> free_extents(const OsPath& path) const = 0;
  // The filesystem UUID from BTRFS_IOC_FS_INFO, as sysfs spells it.
  virtual std::optional<std::string> btrfs_fsid(const OsPath& path) const = 0;
  // BTRFS_IOC_GET_SUBVOL_INFO, and the snapshots from BTRFS_IOC_TREE_SEARCH.
  virtual std::optional<BtrfsSubvolume> btrfs_subvolume(const OsPath& path) const = 0;
};

// The real ioctls. Only directories and regular files are opened, read
// only, so that no device or FIFO is touched.
class KernelFilesystemIoctls : public FilesystemIoctls {
 public:
  std::optional<XfsGeometry> xfs_geometry(const OsPath& path) const override;
  std::optional<std::vector<std::uint64_t>> free_extents(const OsPath& path) const override;
  std::optional<std::string> btrfs_fsid(const OsPath& path) const override;
  std::optional<BtrfsSubvolume> btrfs_subvolume(const OsPath& path) const override;
};

// The UUID text of 16 bytes: 8-4-4-4-12 lowercase hexadecimal digits.
std::string uuid_text(const unsigned char (&bytes)[16]);

}  // namespace brimful

#endif  // BRIMFUL_FSIOCTL_H
