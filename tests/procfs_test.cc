#include "procfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "test_util.h"

namespace brimful {
namespace {

TEST(Procfs, ProcessEntryNamesAreDigitsOnly) {
  const struct {
    std::string name;
    std::optional<std::uint32_t> pid;
  } cases[] = {
      {"1", 1}, {"007", 7}, {"4294967295", 4294967295u}, {"+7", {}}, {"-1", {}},
      {" 1", {}}, {"1 ", {}}, {"", {}}, {"self", {}}, {"4294967296", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_pid(c.name), c.pid) << c.name;
}

TEST(Procfs, ListingLinksAndNamesOfATree) {
  testing::TempDir dir;
  testing::make_dir(dir / "7");
  testing::write_file(dir / "7/comm", "worker \n");
  testing::make_dir(dir / "8");
  testing::write_file(dir / "8/comm", "\xff\n");
  // Longer than the first buffer: readlink must not cut it short.
  const std::string target = "/" + std::string(300, 'x');
  ASSERT_EQ(::symlink(target.c_str(), (dir / "7/cwd").c_str()), 0);

  DirectoryListing listing(dir.path());
  std::set<std::string> names;
  while (const char* name = listing.next()) names.insert(name);
  EXPECT_EQ(listing.read_error(), 0);
  EXPECT_EQ(names, (std::set<std::string>{"7", "8"}));
  EXPECT_EQ(read_link(dir / "7/cwd"), target);
  EXPECT_EQ(read_link(dir / "7/comm"), std::nullopt);
  EXPECT_EQ(DirectoryListing(dir / "9").open_error(), ENOENT);

  // A name that is not UTF-8 gives way to the PID, as does a missing comm.
  EXPECT_EQ(read_comm(dir / "7", 7), "worker");
  EXPECT_EQ(read_comm(dir / "8", 8), "8");
  EXPECT_EQ(read_comm(dir / "9", 9), "9");
}

TEST(Procfs, StatusAndLimitsLinesGiveTheirNumbers) {
  using Ids = std::array<std::uint32_t, 4>;
  EXPECT_EQ(parse_status_ids("Name:\tx\nUid:\t1000\t65534\t0\t1\nGid:\t0\t0\t0\t0\n", "Uid:"),
            (Ids{1000, 65534, 0, 1}));
  EXPECT_EQ(parse_status_ids("Uid:\t1000\n", "Uid:"), std::nullopt);
  EXPECT_EQ(parse_status_ids("Gid:\t0\t0\t0\t0\n", "Uid:"), std::nullopt);
  EXPECT_EQ(parse_status_ids("Uid:\t0\t4294967296\t0\t0\n", "Uid:"), std::nullopt);
  EXPECT_EQ(parse_status_sys_resource("CapEff:\t000001ffffffffff\n"), true);
  EXPECT_EQ(parse_status_sys_resource("CapEff:\t000001fffeffffff\n"), false);
  EXPECT_EQ(parse_status_sys_resource("CapEff:\t0x1\n"), std::nullopt);

  const std::string limits =
      "Limit                     Soft Limit           Hard Limit           Units     \n"
      "Max processes             63434                63434                processes \n"
      "Max open files            6                    1048576              files     \n";
  EXPECT_EQ(parse_soft_limit(limits, kOpenFilesLimit), 6u);
  EXPECT_EQ(parse_soft_limit("Max open files            unlimited            unlimited            files\n",
                             kOpenFilesLimit),
            std::nullopt);
  EXPECT_EQ(parse_soft_limit("Max processes 5 5\n", kOpenFilesLimit), std::nullopt);
}

}  // namespace
}  // namespace brimful
