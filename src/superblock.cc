#include "superblock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace brimful {

namespace {

constexpr std::size_t kOffset = 1024;
constexpr std::size_t kSize = 1024;
constexpr std::uint16_t kMagic = 0xEF53;
// Feature flags: 64-bit block numbers, bigalloc.
constexpr std::uint32_t kIncompat64Bit = 0x80;
constexpr std::uint32_t kRoCompatBigalloc = 0x200;

std::uint64_t little_endian(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i > 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i - 1]);
  return value;
}

}  // namespace

std::optional<Ext4Superblock> parse_ext4_superblock(std::string_view bytes) {
  if (bytes.size() < kSize || little_endian(bytes, 0x38, 2) != kMagic) return std::nullopt;
  const std::uint64_t log_block = little_endian(bytes, 0x18, 4);
  const std::uint64_t log_cluster = little_endian(bytes, 0x1C, 4);
  // Blocks of 1 KiB to 64 KiB; clusters up to 2^16 blocks.
  if (log_block > 6 || log_cluster > 22) return std::nullopt;
  Ext4Superblock superblock;
  superblock.block_size = std::uint64_t{1024} << log_block;
  const bool bigalloc = (little_endian(bytes, 0x64, 4) & kRoCompatBigalloc) != 0;
  superblock.cluster_size = bigalloc ? std::uint64_t{1024} << log_cluster : superblock.block_size;
  superblock.reserved_blocks = little_endian(bytes, 0x08, 4);
  if ((little_endian(bytes, 0x60, 4) & kIncompat64Bit) != 0) {
    superblock.reserved_blocks |= little_endian(bytes, 0x154, 4) << 32;
  }
  superblock.reserve_uid = static_cast<std::uint32_t>(little_endian(bytes, 0x50, 2));
  superblock.reserve_gid = static_cast<std::uint32_t>(little_endian(bytes, 0x52, 2));
  return superblock;
}

std::optional<Ext4Superblock> read_ext4_superblock(const OsPath& device) {
  if (contains_nul(device)) return std::nullopt;
  const UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat status {};
  std::string bytes(kSize, '\0');
  ssize_t n = -1;
  if (::fstat(fd.get(), &status) == 0 && S_ISBLK(status.st_mode)) n = ::pread(fd.get(), bytes.data(), kSize, kOffset);
  if (n != static_cast<ssize_t>(kSize)) return std::nullopt;
  return parse_ext4_superblock(bytes);
}

}  // namespace brimful
