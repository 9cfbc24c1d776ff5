// Byte and inode counts of the filesystem that holds a path.
#ifndef BRIMFUL_CAPACITY_H
#define BRIMFUL_CAPACITY_H

#include <cstdint>
#include <string_view>

#include "report.h"

namespace brimful {

// The statvfs numbers the facts are computed from.
struct StatvfsCounts {
  std::uint64_t frsize = 0;
  std::uint64_t bsize = 0;
  std::uint64_t blocks = 0;
  std::uint64_t bfree = 0;
  std::uint64_t bavail = 0;
  std::uint64_t files = 0;
  std::uint64_t ffree = 0;
  std::uint64_t flag = 0;
};

// ext2, ext3 or ext4: the family with a fixed inode table, a reserve for
// privileged writers and a superblock brimful reads.
bool is_ext_family(std::string_view fs_type);

// statvfs on path, then facts_from_counts.
Result<Filesystem> filesystem_facts(const OsPath& path, std::string_view fs_type);

// Pure arithmetic: byte products that refuse to overflow, the inode
// accounting rule and the read-only bit.
Result<Filesystem> facts_from_counts(const StatvfsCounts& counts, std::string_view fs_type);

// The filesystem's name from the magic number statfs reports, for a path no
// mount table line holds; "unknown" for a number brimful does not know. The
// ext family shares one number and is named "ext4".
const char* fs_type_name(std::uint64_t magic);

// statfs on path, then fs_type_name.
Result<std::string> statfs_type_name(const OsPath& path);

}  // namespace brimful

#endif  // BRIMFUL_CAPACITY_H
