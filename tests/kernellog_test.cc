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

TEST(KernelLog, OnlyMessagesSinceTheLastMountOfAReusedNameCount) {
  EXPECT_TRUE(names_device("EXT4-fs (loop0): x", "loop0"));
  EXPECT_TRUE(names_device("critical space allocation error, dev loop0, sector 8", "loop0"));
  EXPECT_TRUE(names_device("loop0: detected capacity change", "loop0"));
  EXPECT_FALSE(names_device("EXT4-fs (loop01): x", "loop0"));
  EXPECT_FALSE(names_device("EXT4-fs (sda1): x", "sda"));

  auto message = [](std::uint64_t sequence, const char* text) { return KernelMessage{4, sequence, 0, text}; };
  const std::vector<KernelMessage> log = {
      message(1, "EXT4-fs (loop0): mounted filesystem 1111 r/w"),
      message(2, "EXT4-fs error (device loop0): an old image's error"),
      message(3, "XFS (loop1): Mounting V5 Filesystem"),
      message(4, "XFS (loop0): Mounting V5 Filesystem"),
      message(5, "XFS (loop0): Ending clean mount"),
      message(6, "XFS (loop1): another filesystem"),
      message(7, "sda1: I/O error"),
  };
  std::vector<std::uint64_t> sequences;
  for (const KernelMessage& m : messages_since_mount(log, {"loop0", "sda1"})) sequences.push_back(m.sequence);
  EXPECT_EQ(sequences, (std::vector<std::uint64_t>{5, 7}));
  // With the mount message gone from the ring buffer, everything left counts.
  sequences.clear();
  for (const KernelMessage& m : messages_since_mount({log.begin() + 1, log.begin() + 3}, {"loop0"})) {
    sequences.push_back(m.sequence);
  }
  EXPECT_EQ(sequences, (std::vector<std::uint64_t>{2}));
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
