#include "capacity.h"

#include <sys/statvfs.h>

#include <cerrno>

namespace brimful {

namespace {

bool multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

}  // namespace

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
  fs.inode_accounting_supported =
      counts.files != 0 && (fs_type == "ext2" || fs_type == "ext3" || fs_type == "ext4");
  fs.read_only = (counts.flag & ST_RDONLY) != 0;
  return fs;
}

Result<Filesystem> filesystem_facts(const OsPath& path, std::string_view fs_type) {
  if (path.find('\0') != OsPath::npos) return fail("target path contains a NUL byte");
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
