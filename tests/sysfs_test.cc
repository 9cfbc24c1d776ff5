#include "sysfs.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace brimful {
namespace {

TEST(Sysfs, ReadersFindTheirFactsInTheTreeTheyArePointedAt) {
  testing::TempDir sys;
  for (const char* sub : {"dev", "dev/block", "devices", "devices/loop0", "block", "block/loop0", "block/loop0/loop",
                          "fs", "fs/ext4", "fs/ext4/loop0", "fs/btrfs", "fs/btrfs/u", "fs/btrfs/u/allocation",
                          "fs/btrfs/u/devices", "fs/fuse", "fs/fuse/connections", "fs/fuse/connections/40"}) {
    testing::make_dir(sys / sub);
  }
  testing::make_symlink("../../devices/loop0", sys / "dev/block/7:0");
  testing::write_file(sys / "block/loop0/loop/backing_file", "/var/images/a b.img\n");
  testing::write_file(sys / "fs/ext4/loop0/errors_count", "3\n");
  testing::write_file(sys / "fs/fuse/connections/40/waiting", "2\n");
  const char* kinds[] = {"data", "metadata", "system"};
  for (int i = 0; i < 3; ++i) {
    const std::string dir = sys / ("fs/btrfs/u/allocation/" + std::string(kinds[i]));
    testing::make_dir(dir);
    testing::write_file(dir + "/total_bytes", std::to_string(100 * (i + 1)) + "\n");
    testing::write_file(dir + "/bytes_used", "10\n");
    testing::write_file(dir + "/bytes_reserved", "5\n");
    testing::write_file(dir + "/disk_total", std::to_string(200 * (i + 1)) + "\n");
  }
  testing::make_symlink("../../../../devices/loop0", sys / "fs/btrfs/u/devices/loop0");
  testing::write_file(sys / "devices/loop0/size", "4\n");  // 512-byte sectors

  EXPECT_EQ(block_device_name(sys.path(), 7, 0), "loop0");
  EXPECT_EQ(block_device_name(sys.path(), 7, 1), std::nullopt);
  EXPECT_EQ(loop_backing_file(sys.path(), "loop0"), "/var/images/a b.img");
  EXPECT_EQ(loop_backing_file(sys.path(), "sda"), std::nullopt);
  EXPECT_EQ(ext4_error_count(sys.path(), "loop0"), 3u);
  EXPECT_EQ(fuse_waiting_requests(sys.path(), 40), 2u);
  const std::optional<BtrfsAllocation> allocation = read_btrfs_allocation(sys.path(), "u");
  ASSERT_TRUE(allocation.has_value());
  EXPECT_EQ(allocation->metadata.total_bytes, 200u);
  EXPECT_EQ(allocation->metadata.used_bytes, 15u);
  EXPECT_EQ(allocation->device_bytes, 2048u);
  EXPECT_EQ(allocation->unallocated_bytes(), 2048u - 1200u);
  EXPECT_EQ(read_btrfs_allocation(sys.path(), "other"), std::nullopt);
}

}  // namespace
}  // namespace brimful
