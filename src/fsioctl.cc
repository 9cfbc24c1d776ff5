#include "fsioctl.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <linux/fsmap.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace brimful {

namespace {

// struct xfs_fsop_geom of the kernel ABI (xfs_fs.h, version 5 of the
// geometry call, 256 bytes); only the fields brimful reads are named.
struct XfsFsopGeom {
  std::uint32_t blocksize;
  std::uint32_t rtextsize;
  std::uint32_t agblocks;
  std::uint32_t agcount;
  std::uint32_t logblocks;
  std::uint32_t sectsize;
  std::uint32_t inodesize;
  std::uint32_t imaxpct;
  std::uint64_t datablocks;
  std::uint64_t rtblocks;
  std::uint64_t rtextents;
  std::uint64_t logstart;
  unsigned char uuid[16];
  std::uint32_t sunit;
  std::uint32_t swidth;
  std::int32_t version;
  std::uint32_t flags;
  std::uint32_t logsectsize;
  std::uint32_t rtsectsize;
  std::uint32_t dirblocksize;
  std::uint32_t logsunit;
  std::uint32_t sick;
  std::uint32_t checked;
  std::uint64_t reserved[17];
};
static_assert(sizeof(XfsFsopGeom) == 256, "the kernel's xfs_fsop_geom is 256 bytes");

constexpr unsigned long kXfsIocFsgeometry = _IOR('X', 126, XfsFsopGeom);
constexpr std::uint32_t kXfsGeomFlagSparseInodes = 1u << 18;

// How many free-space records one GETFSMAP call returns at most.
constexpr unsigned kFsmapBatch = 256;

// A directory or regular file opened for its filesystem's ioctls; invalid
// for anything else, which an ioctl could act on in ways of its own.
UniqueFd open_for_ioctl(const OsPath& path) {
  struct stat status {};
  if (contains_nul(path) || ::stat(path.c_str(), &status) != 0) return UniqueFd();
  if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode)) return UniqueFd();
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

// A snapshot's root item is keyed by the transaction that took it, a
// subvolume's by 0: "(257 ROOT_ITEM 7)".
std::optional<std::uint64_t> count_snapshots(int fd) {
  btrfs_ioctl_search_args args{};
  btrfs_ioctl_search_key& key = args.key;
  key.tree_id = BTRFS_ROOT_TREE_OBJECTID;
  key.min_objectid = BTRFS_FIRST_FREE_OBJECTID;
  key.max_objectid = BTRFS_LAST_FREE_OBJECTID;
  key.min_type = BTRFS_ROOT_ITEM_KEY;
  key.max_type = BTRFS_ROOT_ITEM_KEY;
  key.max_offset = UINT64_MAX;
  key.max_transid = UINT64_MAX;
  std::uint64_t snapshots = 0;
  // Each round returns at least one item or ends the search; the bound only
  // guards against a kernel that would return the same ones again.
  for (int round = 0; round < 1 << 20; ++round) {
    key.nr_items = 4096;
    if (::ioctl(fd, BTRFS_IOC_TREE_SEARCH, &args) != 0) return std::nullopt;
    if (key.nr_items == 0) return snapshots;
    btrfs_ioctl_search_header header{};
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < key.nr_items && at + sizeof(header) <= sizeof(args.buf); ++i) {
      std::memcpy(&header, args.buf + at, sizeof(header));
      at += sizeof(header) + header.len;
      if (header.type == BTRFS_ROOT_ITEM_KEY && header.offset != 0) ++snapshots;
    }
    // The search goes on after the last key it returned: its next offset,
    // else the next type, else the next object.
    key.min_objectid = header.objectid;
    key.min_type = header.type;
    key.min_offset = header.offset;
    if (key.min_offset < UINT64_MAX) {
      ++key.min_offset;
    } else if (key.min_type < UINT8_MAX) {
      ++key.min_type;
      key.min_offset = 0;
    } else {
      if (key.min_objectid == key.max_objectid) return snapshots;
      ++key.min_objectid;
      key.min_type = 0;
      key.min_offset = 0;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string uuid_text(const unsigned char (&bytes)[16]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xf];
  }
  return text;
}

std::optional<XfsGeometry> KernelFilesystemIoctls::xfs_geometry(const OsPath& path) const {
  const UniqueFd file = open_for_ioctl(path);
  XfsFsopGeom geometry{};
  if (file.get() < 0 || ::ioctl(file.get(), kXfsIocFsgeometry, &geometry) != 0) return std::nullopt;
  return XfsGeometry{geometry.blocksize, geometry.inodesize, geometry.imaxpct,
                     (geometry.flags & kXfsGeomFlagSparseInodes) != 0};
}

std::optional<std::vector<std::uint64_t>> KernelFilesystemIoctls::free_extents(const OsPath& path) const {
  const UniqueFd file = open_for_ioctl(path);
  if (file.get() < 0) return std::nullopt;
  const std::size_t size = sizeof(fsmap_head) + kFsmapBatch * sizeof(fsmap);
  std::unique_ptr<unsigned char[]> memory(new unsigned char[size]);
  std::memset(memory.get(), 0, size);
  auto* head = reinterpret_cast<fsmap_head*>(memory.get());
  head->fmh_count = kFsmapBatch;
  // From the lowest key to the highest: every device, block and owner.
  head->fmh_keys[1].fmr_device = UINT32_MAX;
  head->fmh_keys[1].fmr_flags = UINT32_MAX;
  head->fmh_keys[1].fmr_physical = UINT64_MAX;
  head->fmh_keys[1].fmr_owner = UINT64_MAX;
  head->fmh_keys[1].fmr_offset = UINT64_MAX;
  std::vector<std::uint64_t> extents;
  for (;;) {
    if (::ioctl(file.get(), FS_IOC_GETFSMAP, head) != 0) return std::nullopt;
    if (head->fmh_entries == 0) break;
    for (unsigned i = 0; i < head->fmh_entries; ++i) {
      if (head->fmh_recs[i].fmr_owner == FMR_OWN_FREE) extents.push_back(head->fmh_recs[i].fmr_length);
    }
    if (head->fmh_recs[head->fmh_entries - 1].fmr_flags & FMR_OF_LAST) break;
    fsmap_advance(head);
  }
  return extents;
}

std::optional<std::string> KernelFilesystemIoctls::btrfs_fsid(const OsPath& path) const {
  const UniqueFd file = open_for_ioctl(path);
  btrfs_ioctl_fs_info_args info{};
  if (file.get() < 0 || ::ioctl(file.get(), BTRFS_IOC_FS_INFO, &info) != 0) return std::nullopt;
  return uuid_text(info.fsid);
}

std::optional<BtrfsSubvolume> KernelFilesystemIoctls::btrfs_subvolume(const OsPath& path) const {
  const UniqueFd file = open_for_ioctl(path);
  btrfs_ioctl_get_subvol_info_args info{};
  // The call may return 1 rather than 0, what its last tree search gave;
  // the answer is filled in all the same.
  if (file.get() < 0 || ::ioctl(file.get(), BTRFS_IOC_GET_SUBVOL_INFO, &info) < 0) return std::nullopt;
  BtrfsSubvolume subvolume;
  subvolume.read_only = (info.flags & BTRFS_ROOT_SUBVOL_RDONLY) != 0;
  subvolume.snapshots = count_snapshots(file.get());
  return subvolume;
}

}  // namespace brimful
