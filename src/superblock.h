// What an ext2/3/4 superblock says about the space it holds back: read from
// the block device, where a mounted filesystem's superblock is the kernel's
// own copy in the page cache.
#ifndef BRIMFUL_SUPERBLOCK_H
#define BRIMFUL_SUPERBLOCK_H

#include <cstdint>
#include <optional>
#include <string_view>

#include "os.h"

namespace brimful {

struct Ext4Superblock {
  std::uint64_t block_size = 0;
  // The unit of ext4's own reserved clusters: the block size unless the
  // filesystem was made with bigalloc.
  std::uint64_t cluster_size = 0;
  // The blocks set aside for privileged writers (mke2fs -m, tune2fs -m).
  std::uint64_t reserved_blocks = 0;
  // Who may write into them besides CAP_SYS_RESOURCE, unless mount options
  // say otherwise.
  std::uint32_t reserve_uid = 0;
  std::uint32_t reserve_gid = 0;
};

// The superblock as it lies 1024 bytes into the device; none when the
// bytes are not an ext2/3/4 superblock.
std::optional<Ext4Superblock> parse_ext4_superblock(std::string_view bytes);

// Reads the superblock of a block device, such as "/dev/loop0".
std::optional<Ext4Superblock> read_ext4_superblock(const OsPath& device);

}  // namespace brimful

#endif  // BRIMFUL_SUPERBLOCK_H
