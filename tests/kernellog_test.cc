#include "kernellog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace brimful {
namespace {

TEST(KernelLog, RecordsParseToLevelSequenceTimeAndText) {
  struct Case {
    const char* record;
    bool valid;
    std::uint32_t level;
    std::uint64_t sequence;
    std::uint64_t usec;
    const char* text;
  };
  const Case cases[] = {
      {"6,453,1952458128,-;EXT4-fs (loop0): mounted filesystem\n", true, 6, 453, 1952458128,
       "EXT4-fs (loop0): mounted filesystem"},
      // Facility 3 (daemon) above level 4; dictionary lines are dropped.
      {"28,9,17,c;systemd: x\\x0a y\n SUBSYSTEM=block\n DEVICE=b7:0\n", true, 4, 9, 17, "systemd: x\\x0a y"},
      {"3,1,2;", true, 3, 1, 2, ""},
      {"6,1;no time", false, 0, 0, 0, ""},
      {"6,x,2,-;bad sequence", false, 0, 0, 0, ""},
      {"no semicolon", false, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    const std::optional<KernelMessage> message = parse_kmsg_record(c.record);
    ASSERT_EQ(message.has_value(), c.valid) << c.record;
    if (!message) continue;
    EXPECT_EQ(message->level, c.level) << c.record;
    EXPECT_EQ(message->sequence, c.sequence) << c.record;
    EXPECT_EQ(message->timestamp_usec, c.usec) << c.record;
    EXPECT_EQ(message->text, c.text) << c.record;
  }
}

TEST(KernelLog, OnlyTheKernelsOwnPrefixSpeaksForADeviceAndOnlyAfterItsStart) {
  auto message = [](std::uint64_t sequence, const char* text) { return KernelMessage{4, sequence, 0, text}; };
  const std::vector<KernelMessage> log = {
      message(1, "EXT4-fs (loop0): mounted filesystem 1111 r/w"),
      message(2, "EXT4-fs error (device loop0): an old image's error"),
      message(3, "loop0: detected capacity change from 0 to 8"),  // squashfs logs no mount line
      message(4, "XFS (loop1): Mounting V5 Filesystem"),
      message(5, "EXT4-fs error (device loop0) in ext4_reserve_inode_write:5771: Journal has aborted"),
      message(6, "BTRFS error (device loop0 state EA): bdev /dev/loop0 errs: wr 1"),
      message(7, "blk_update_request: I/O error, dev loop0, sector 8"),
      message(8, "Buffer I/O error on dev loop0, logical block 0, async page read"),
      message(9, "Aborting journal on device loop0-8."),
      message(10, "I/O error, dev sda1, sector 8"),
      message(11, "tmpfs: Unknown parameter 'EXT4-fs (loop0): mounted filesystem'"),
      message(12, "Memory cgroup out of memory: Killed process 7 (loop0) total-vm:4kB"),
      message(13, "loop0 invoked oom-killer: gfp_mask=0xcc0(GFP_KERNEL)"),
      message(14, "EXT4-fs (loop01): mounted filesystem"),
      message(15, "critical space allocation error, dev loop01, sector 8"),
  };
  auto sequences = [](const std::optional<std::vector<KernelMessage>>& messages) {
    std::vector<std::uint64_t> found;
    for (const KernelMessage& m : messages.value_or(std::vector<KernelMessage>{})) found.push_back(m.sequence);
    return found;
  };
  EXPECT_EQ(sequences(messages_since_start(log, {"loop0", "sda1"})), (std::vector<std::uint64_t>{5, 6, 7, 8, 9, 10}));
  // With the start gone from the ring buffer, nothing tells whose the rest is.
  EXPECT_EQ(messages_since_start({log.begin() + 3, log.end()}, {"loop0"}), std::nullopt);
}

TEST(KernelLog, AnUnreadableLogIsNoLog) {
  EXPECT_EQ(read_kernel_log("/nonexistent/kmsg"), std::nullopt);
  // A regular file gives its one record per read as the device does.
  testing::TempDir dir;
  testing::write_file(dir / "kmsg", "4,1,2,-;one\n");
  const std::optional<std::vector<KernelMessage>> log = read_kernel_log(dir / "kmsg");
  ASSERT_TRUE(log.has_value());
  ASSERT_EQ(log->size(), 1u);
  EXPECT_EQ(log->front().text, "one");
}

}  // namespace
}  // namespace brimful
