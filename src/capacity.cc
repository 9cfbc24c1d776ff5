#include "capacity.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "text.h"

namespace brimful {

namespace {

bool multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

struct MagicName {
  std::uint32_t magic;
  const char* name;
};

// The numbers of the kernel's include/uapi/linux/magic.h and of the
// out-of-tree filesystems that are common enough to meet.
constexpr MagicName kMagicNames[] = {
    {0x0000EF53, "ext4"},     {0x01021994, "tmpfs"},    {0x58465342, "xfs"},
    {0x9123683E, "btrfs"},    {0x794C7630, "overlay"},  {0x65735546, "fuse"},
    {0x00006969, "nfs"},      {0x00009FA0, "proc"},     {0x62656572, "sysfs"},
    {0x858458F6, "ramfs"},    {0x73717368, "squashfs"}, {0x00004D44, "vfat"},
    {0xF2F52010, "f2fs"},     {0x2FC12FC1, "zfs"},      {0x2011BAB0, "exfat"},
    {0xE0F5E1E2, "erofs"},    {0x00009660, "iso9660"},  {0xFF534D42, "cifs"},
    {0xFE534D42, "smb3"},     {0x01021997, "9p"},       {0x00C36400, "ceph"},
    {0xCA451A4E, "bcachefs"}, {0x958458F6, "hugetlbfs"}, {0x00003434, "nilfs2"},
    {0x3153464A, "jfs"},      {0x52654973, "reiserfs"}, {0x5346544E, "ntfs"},
    {0x63677270, "cgroup2"},  {0x00001CD1, "devpts"},
};

}  // namespace

const char* fs_type_name(std::uint64_t magic) {
  for (const MagicName& entry : kMagicNames) {
    if (entry.magic == magic) return entry.name;
  }
  return "unknown";
}

Result<std::string> statfs_type_name(const OsPath& path) {
  if (contains_nul(path)) return fail("target path contains a NUL byte");
  struct statfs raw {};
  if (::statfs(path.c_str(), &raw) != 0) {
    return fail("statfs failed for " + display(path) + ": " + os_error_text(errno));
  }
  // f_type is a signed word; the magic numbers are 32-bit patterns.
  return std::string(fs_type_name(static_cast<std::uint32_t>(raw.f_type)));
}

Result<Filesystem> facts_from_counts(const StatvfsCounts& counts, std::string_view fs_type) {
  const std::uint64_t unit = counts.frsize != 0 ? counts.frsize : counts.bsize;
  Filesystem fs;
  if (!multiply(counts.blocks, unit, fs.total_bytes)) return fail("overflow while calculating total bytes");
  if (!multiply(counts.bfree, unit, fs.free_bytes)) return fail("overflow while calculating free bytes");
  if (!multiply(counts.bavail, unit, fs.available_bytes)) {
    return fail("overflow while calculating available bytes");
  }
  fs.total_inodes = counts.files;
  fs.free_inodes = counts.ffree;
  // Only the ext family has a fixed inode table whose zero free count means
  // that no file can be created; others (xfs, btrfs, tmpfs) allocate inodes
  // dynamically or report estimates.
  fs.inode_accounting_supported = counts.files != 0 && is_ext_family(fs_type);
  fs.read_only = (counts.flag & ST_RDONLY) != 0;
  return fs;
}

bool is_ext_family(std::string_view fs_type) {
  return fs_type == "ext2" || fs_type == "ext3" || fs_type == "ext4";
}

Result<Filesystem> filesystem_facts(const OsPath& path, std::string_view fs_type) {
  if (contains_nul(path)) return fail("target path contains a NUL byte");
  struct statvfs raw {};
  if (statvfs(path.c_str(), &raw) != 0) {
    return fail("statvfs failed for " + display(path) + ": " + os_error_text(errno));
  }
  StatvfsCounts counts;
  counts.frsize = raw.f_frsize;
  counts.bsize = raw.f_bsize;
  counts.blocks = raw.f_blocks;
  counts.bfree = raw.f_bfree;
  counts.bavail = raw.f_bavail;
  counts.files = raw.f_files;
  counts.ffree = raw.f_ffree;
  counts.flag = raw.f_flag;
  return facts_from_counts(counts, fs_type);
}

}  // namespace brimful
