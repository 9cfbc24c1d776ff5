#include "mountinfo.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace brimful {
namespace {

using Strings = std::vector<std::string>;

TEST(MountLine, KernelExampleLine) {
  const Result<Mount> mount =
      parse_mount_line("36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw,errors=continue");
  ASSERT_TRUE(mount.ok()) << mount.error();
  EXPECT_EQ(mount.value().mount_id, 36u);
  EXPECT_EQ(mount.value().mount_point, "/mnt/parent");
  EXPECT_EQ(mount.value().fs_type, "ext3");
  EXPECT_EQ(mount.value().source, "/dev/root");
  EXPECT_EQ(mount.value().options, (Strings{"errors=continue", "noatime", "rw"}));
}

TEST(MountLine, FieldsAndSeparator) {
  struct Case {
    const char* line;
    const char* reason;  // null: parses
  };
  const Case cases[] = {
      {"1 0 8:1 / / rw - ext4 /dev/sda1 rw", nullptr},            // no optional fields
      {"1 0 8:1 / / rw a:1 b:2 c:3 - ext4 /dev/sda1 rw", nullptr},  // several
      {"1\t0  8:1 / /\trw - ext4 /dev/sda1 rw", nullptr},         // runs of white space
      {"1 0 8:1 / rw - ext4 /dev/sda1 rw", "too few fields"},     // separator at index 5
      {"1 0 8:1 / / rw - ext4 /dev/sda1", "too few fields"},      // two fields after it
      {"1 0 8:1 / / rw ext4 /dev/sda1 rw", "missing separator"},
      {"1 0 8:1 / / rw -- ext4 /dev/sda1 rw", "missing separator"},
      {"+7 0 8:1 / / rw - ext4 /dev/sda1 rw", nullptr},
      {"18446744073709551616 0 8:1 / / rw - ext4 x rw", "invalid mount ID"},
      {"-1 0 8:1 / / rw - ext4 x rw", "invalid mount ID"},
      {"+ 0 8:1 / / rw - ext4 x rw", "invalid mount ID"},
      {"1a 0 8:1 / / rw - ext4 x rw", "invalid mount ID"},
      {"1 0 8:1 / /a\\09x rw - ext4 x rw", "invalid escape in /a\\09x"},
      {"1 0 8:1 / /a\\089 rw - ext4 x rw", "invalid octal escape in /a\\089"},
      {"1 0 8:1 / /a\\400 rw - ext4 x rw", "invalid octal escape in /a\\400"},
      {"1 0 8:1 / /a\\04 rw - ext4 x rw", "invalid escape in /a\\04"},
      {"1 0 8:1 / /a\\377 rw - ext4 x rw", nullptr},            // a path: any bytes
      {"1 0 8:1 / / rw - ext4 /dev/\\377 rw", nullptr},
      {"1 0 8:1 / /a\rb\f rw - ext4 x rw", nullptr},           // CR and FF are field bytes
      {"1 0 8:1 / /m\r-\rx rw - ext4 x rw", nullptr},
      {"1 0 8:1 / / rw \r - ext4 x rw", nullptr},              // "\r" is an optional field
      {"1 0 8:1 / / rw\r- ext4 x rw", "missing separator"},
      {"1 0 8:1 / / rw - ext4 \\9 rw", "invalid escape in \\9"},
  };
  for (const Case& c : cases) {
    const Result<Mount> mount = parse_mount_line(c.line);
    if (c.reason == nullptr) {
      EXPECT_TRUE(mount.ok()) << c.line << ": " << (mount.ok() ? "" : mount.error());
    } else {
      ASSERT_FALSE(mount.ok()) << c.line;
      EXPECT_EQ(mount.error(), c.reason) << c.line;
    }
  }
  EXPECT_EQ(parse_mount_line("+7 0 8:1 / / rw - ext4 /dev/sda1 rw").value().mount_id, 7u);
}

TEST(MountLine, FieldsAreBytesBetweenSpacesAndTabs) {
  const Mount mount =
      parse_mount_line("7 1 0:4 / /mnt/m/mcr\rx\377 rw,relatime - tmpfs src\f\\377 rw\r").value();
  EXPECT_EQ(mount.mount_point, "/mnt/m/mcr\rx\xff");
  EXPECT_EQ(mount.source, "src\f\xff");
  EXPECT_EQ(mount.options, (Strings{"relatime", "rw", "rw\r"}));
  // Type and options are text: stray bytes there are shown lossily.
  const Mount odd = parse_mount_line("7 1 0:4 / / rw,x\xff - fuse.\xfe s rw").value();
  EXPECT_EQ(odd.fs_type, "fuse.\uFFFD");
  EXPECT_EQ(odd.options, (Strings{"rw", "x\uFFFD"}));
}

TEST(MountLine, EscapesAndSource) {
  const Mount mount =
      parse_mount_line("5 1 0:4 / /mnt/a\\040b\\134c\\011d rw - tmpfs none rw").value();
  EXPECT_EQ(mount.mount_point, "/mnt/a b\\c\td");
  EXPECT_EQ(mount.source, std::nullopt);
  EXPECT_EQ(parse_mount_line("5 1 0:4 / / rw - tmpfs None rw").value().source, "None");
  EXPECT_EQ(parse_mount_line("5 1 0:4 / / rw - tmpfs my\\040disk rw").value().source, "my disk");
  // The type is taken verbatim.
  EXPECT_EQ(parse_mount_line("5 1 0:4 / / rw - fuse\\040x src rw").value().fs_type, "fuse\\040x");
}

TEST(MountOptions, RedactionKeepsTheKeyAsWritten) {
  struct Case {
    const char* option;
    const char* shown;
  };
  const Case cases[] = {
      {"user=alice", "user=<redacted>"},
      {"PassWord=hunter2", "PassWord=<redacted>"},
      {"credentials=/root/.smb", "credentials=<redacted>"},
      {"lowerdir=/a:/b", "lowerdir=<redacted>"},
      {"key=", "key=<redacted>"},
      {"token=a=b", "token=<redacted>"},
      {"username", "username"},
      {"=secret", "=secret"},
      {"uid=1000", "uid=1000"},
      {"keys=1", "keys=1"},
      {"mode=755", "mode=755"},
  };
  for (const Case& c : cases) EXPECT_EQ(redact_option(c.option), c.shown) << c.option;
}

TEST(MountOptions, SortedWithoutDuplicatesAcrossBothLists) {
  const Mount mount =
      parse_mount_line("9 1 0:4 / /m rw,user=a,,noexec 1:2 - cifs //srv/s rw,user=b,Secret=x,a").value();
  EXPECT_EQ(mount.options, (Strings{"Secret=<redacted>", "a", "noexec", "rw", "user=<redacted>"}));
}

TEST(MountTable, BlankLinesAreSkippedAndNotCounted) {
  const std::string text =
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\r\n"
      "\n"
      "   \t\n"
      "2 1 8:2 / /home rw - ext4 /dev/sda2 rw\n"
      "3 1 8:3 / /bad rw ext4 /dev/sda3 rw";
  const Result<std::vector<Mount>> table = parse_mountinfo(text);
  ASSERT_FALSE(table.ok());
  EXPECT_EQ(table.error(), "mountinfo line 3: missing separator");

  const Result<std::vector<Mount>> good = parse_mountinfo(
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\r\n\n2 1 8:2 / /home rw - ext4 /dev/sda2 rw");
  ASSERT_TRUE(good.ok());
  ASSERT_EQ(good.value().size(), 2u);
  // A carriage return before the newline is the super options' last byte.
  EXPECT_EQ(good.value()[0].options, (Strings{"rw", "rw\r"}));
  EXPECT_EQ(good.value()[1].mount_point, "/home");
}

std::vector<Mount> table_of(const std::vector<std::pair<std::uint64_t, std::string>>& entries) {
  std::vector<Mount> table;
  for (const auto& [id, point] : entries) {
    Mount mount;
    mount.mount_id = id;
    mount.mount_point = point;
    table.push_back(mount);
  }
  return table;
}

TEST(MountLookup, MountIdThenLongestComponentPrefix) {
  const std::vector<Mount> table = table_of({{1, "/"}, {2, "/home"}, {3, "/home/u"}, {4, "/"}, {2, "/dup"}});
  struct Case {
    const char* path;
    std::optional<std::uint64_t> id;
    const Mount* expected;
  };
  const Case cases[] = {
      {"/home/u/x", 1, &table[0]},           // the ID wins over any prefix
      {"/anything", 2, &table[1]},           // the first entry with the ID
      {"/home/u/x", 99, &table[2]},          // unknown ID: fallback
      {"/home/u/x", std::nullopt, &table[2]},
      {"/home/uv", std::nullopt, &table[1]},
      {"/home", std::nullopt, &table[1]},
      {"/homework", std::nullopt, &table[3]},  // not under /home; the later "/" wins
      {"/", std::nullopt, &table[3]},
  };
  for (const Case& c : cases) EXPECT_EQ(select_mount(table, c.path, c.id), c.expected) << c.path;

  const std::vector<Mount> no_root = table_of({{1, "/home"}});
  EXPECT_EQ(select_mount(no_root, "/srv", std::nullopt), nullptr);
  const std::vector<Mount> ordered = table_of({{1, "/"}, {2, "/home"}});
  EXPECT_EQ(select_mount(ordered, "/home/u/x", std::nullopt), &ordered[1]);
}

TEST(MountLookup, FindMountReportsTableAndLookupFailures) {
  testing::TempDir dir;
  const std::string table = dir / "mountinfo";
  testing::write_file(table, "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n2 1 8:2 / /x rw ext4 y rw\n");
  Result<std::optional<Mount>> mount = find_mount("/", table.c_str());
  ASSERT_FALSE(mount.ok());
  EXPECT_EQ(mount.error(), "mountinfo line 2: missing separator");

  // A line that is not UTF-8 is an ordinary line, and only a path that lies
  // under it sees it.
  testing::write_file(table, "999998 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                             "999999 1 8:2 / /\xff rw - ext4 /dev/\xfe rw\n");
  mount = find_mount("/", table.c_str());
  ASSERT_TRUE(mount.ok()) << mount.error();
  EXPECT_EQ(mount.value()->mount_point, "/");
  const Result<std::vector<Mount>> parsed = parse_mountinfo(testing::read_file(table));
  ASSERT_TRUE(parsed.ok());
  const Mount* odd = select_mount(parsed.value(), "/\xff/x", std::nullopt);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->source, "/dev/\xfe");

  mount = find_mount("/", (dir / "missing").c_str());
  ASSERT_FALSE(mount.ok());
  EXPECT_EQ(mount.error(), "cannot read " + (dir / "missing") + ": No such file or directory (os error 2)");

  // A mount ID that is not in the table falls back to the mount points;
  // when none holds the path either, as in a chroot, there is no mount.
  testing::write_file(table, "999999 0 8:1 / /nowhere rw - ext4 /dev/sda1 rw\n");
  mount = find_mount(dir.path(), table.c_str());
  ASSERT_TRUE(mount.ok()) << mount.error();
  EXPECT_EQ(mount.value(), std::nullopt);

  mount = find_mount(dir / "gone", table.c_str());
  ASSERT_FALSE(mount.ok());
  EXPECT_EQ(mount.error(), "statx failed for " + (dir / "gone") + ": No such file or directory (os error 2)");

  mount = find_mount(std::string("/a\0b", 4), table.c_str());
  ASSERT_FALSE(mount.ok());
  EXPECT_EQ(mount.error(), "target path contains a NUL byte");
}

TEST(MountLookup, RealTableFindsTheRootMount) {
  SKIP_UNLESS(testing::mount_table_shows("/", &skip_reason));
  const Result<std::optional<Mount>> mount = find_mount("/");
  ASSERT_TRUE(mount.ok()) << mount.error();
  ASSERT_TRUE(mount.value().has_value());
  EXPECT_EQ(mount.value()->mount_point, "/");
}

TEST(Mountinfo, OverlayUpperDirectoryIsReadBeforeRedaction) {
  const std::string table =
      "30 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "36 30 0:50 / /merged rw - overlay overlay rw,lowerdir=/l,upperdir=/up\\134\\054per\\040dir,workdir=/w\n";
  EXPECT_EQ(parse_mount_option(table, 36, "upperdir"), "/up\\,per dir");
  EXPECT_EQ(parse_mount_option(table, 36, "upper"), std::nullopt);
  EXPECT_EQ(parse_mount_option(table, 30, "upperdir"), std::nullopt);
}

}  // namespace
}  // namespace brimful
