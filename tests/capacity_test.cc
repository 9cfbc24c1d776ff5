#include "capacity.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace brimful {
namespace {

StatvfsCounts counts(std::uint64_t frsize, std::uint64_t bsize, std::uint64_t blocks, std::uint64_t bfree,
                     std::uint64_t bavail) {
  StatvfsCounts c;
  c.frsize = frsize;
  c.bsize = bsize;
  c.blocks = blocks;
  c.bfree = bfree;
  c.bavail = bavail;
  c.files = 100;
  c.ffree = 7;
  return c;
}

TEST(Capacity, BytesUseTheFragmentSizeOrElseTheBlockSize) {
  const Filesystem fs = facts_from_counts(counts(4096, 1, 1000, 300, 250), "xfs").value();
  EXPECT_EQ(fs.total_bytes, 4096u * 1000);
  EXPECT_EQ(fs.free_bytes, 4096u * 300);
  EXPECT_EQ(fs.available_bytes, 4096u * 250);
  EXPECT_EQ(fs.total_inodes, 100u);
  EXPECT_EQ(fs.free_inodes, 7u);

  const Filesystem by_block = facts_from_counts(counts(0, 1024, 10, 5, 2), "xfs").value();
  EXPECT_EQ(by_block.total_bytes, 10240u);
  EXPECT_EQ(by_block.available_bytes, 2048u);
}

TEST(Capacity, OverflowNamesTheFirstQuantityThatDoesNotFit) {
  const std::uint64_t huge = std::uint64_t{1} << 62;
  struct Case {
    StatvfsCounts counts;
    const char* message;
  };
  const Case cases[] = {
      {counts(4, 0, huge, 0, 0), "overflow while calculating total bytes"},
      {counts(4, 0, huge, huge, huge), "overflow while calculating total bytes"},
      {counts(4, 0, 1, huge, 0), "overflow while calculating free bytes"},
      {counts(4, 0, 1, 1, huge), "overflow while calculating available bytes"},
  };
  for (const Case& c : cases) {
    const Result<Filesystem> fs = facts_from_counts(c.counts, "ext4");
    ASSERT_FALSE(fs.ok());
    EXPECT_EQ(fs.error(), c.message);
  }
  EXPECT_EQ(facts_from_counts(counts(4, 0, huge - 1, 0, 0), "ext4").value().total_bytes, (huge - 1) * 4);
}

TEST(Capacity, InodeAccountingOnlyForTheExtFamily) {
  struct Case {
    const char* fs_type;
    std::uint64_t files;
    bool supported;
  };
  const Case cases[] = {
      {"ext2", 10, true}, {"ext3", 10, true}, {"ext4", 10, true},  {"ext4", 0, false},
      {"xfs", 10, false}, {"btrfs", 10, false}, {"tmpfs", 10, false}, {"EXT4", 10, false},
      {"ext", 10, false}, {"ext4x", 10, false}, {"ext5", 10, false},
  };
  for (const Case& c : cases) {
    StatvfsCounts raw = counts(4096, 4096, 1, 1, 1);
    raw.files = c.files;
    EXPECT_EQ(facts_from_counts(raw, c.fs_type).value().inode_accounting_supported, c.supported) << c.fs_type;
  }
}

TEST(Capacity, MagicNumbersNameTheTypeTheRulesKnow) {
  EXPECT_STREQ(fs_type_name(0xEF53), "ext4");  // the whole ext family
  EXPECT_STREQ(fs_type_name(0x01021994), "tmpfs");
  EXPECT_STREQ(fs_type_name(0x9123683E), "btrfs");
  EXPECT_STREQ(fs_type_name(0x12345678), "unknown");
  const Result<std::string> proc = statfs_type_name("/proc");
  ASSERT_TRUE(proc.ok()) << proc.error();
  EXPECT_EQ(proc.value(), "proc");
  EXPECT_EQ(statfs_type_name("/nonexistent-brimful").error(),
            "statfs failed for /nonexistent-brimful: No such file or directory (os error 2)");
}

TEST(Capacity, ReadOnlyIsTheStatvfsBit) {
  StatvfsCounts raw = counts(4096, 4096, 1, 1, 1);
  raw.flag = 1;
  EXPECT_TRUE(facts_from_counts(raw, "ext4").value().read_only);
  raw.flag = 2;  // ST_NOSUID alone
  EXPECT_FALSE(facts_from_counts(raw, "ext4").value().read_only);
}

TEST(Capacity, StatvfsFailuresAreMessages) {
  testing::TempDir dir;
  Result<Filesystem> fs = filesystem_facts(dir / "missing", "ext4");
  ASSERT_FALSE(fs.ok());
  EXPECT_EQ(fs.error(), "statvfs failed for " + (dir / "missing") + ": No such file or directory (os error 2)");
  fs = filesystem_facts(std::string("/tmp\0x", 6), "ext4");
  ASSERT_FALSE(fs.ok());
  EXPECT_EQ(fs.error(), "target path contains a NUL byte");
  EXPECT_TRUE(filesystem_facts(dir.path(), "ext4").ok());
}

}  // namespace
}  // namespace brimful
