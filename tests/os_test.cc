#include "os.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>

#include <string>

#include "test_util.h"

namespace brimful {
namespace {

TEST(SharedErrors, OsErrorTextCarriesTheNumber) {
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(20), "Not a directory (os error 20)");
}

// What a user may put where brimful expects a small file: none of it may
// hang the read, grow it past its limit or be followed.
TEST(WholeFileRead, RefusesWhatIsNotASmallRegularFile) {
  testing::TempDir dir;
  testing::write_file(dir / "fits", std::string(16, 'x'));
  testing::write_file(dir / "long", std::string(17, 'x'));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  testing::make_symlink(dir / "fits", dir / "link");
  const std::pair<std::string, int> cases[] = {
      {dir / "fits", 0},        {dir / "long", EFBIG},         {dir / "fifo", EINVAL},
      {"/dev/zero", EINVAL},   {dir / "link", ELOOP},         {dir.path(), EINVAL},
  };
  for (const auto& [path, error] : cases) {
    std::string content = "stale";
    EXPECT_EQ(read_whole_file(path.c_str(), content, 16), error) << path;
    EXPECT_EQ(content.size(), error == 0 ? 16u : 0u) << path;
  }
}

}  // namespace
}  // namespace brimful
