// The mount table read both ways on the host's real mounts, with one of
// this test's own whose names take every byte the file escapes.

#include "mountinfo.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process_facts.h"
#include "test_util.h"

namespace brimful {
namespace {

std::string describe(const Mount& mount) {
  std::string text = std::to_string(mount.mount_id) + " " + mount.mount_point + " " + mount.source.value_or("-") +
                     " " + mount.fs_type;
  for (const std::string& option : mount.options) text += " " + option;
  return text;
}

// The kernel's mount calls and the mountinfo file give the same records for
// every mount of the host, among them one whose mount point and source take
// every byte the file escapes, and a read-only, nosuid, noatime bind.
TEST(MountLookup, KernelCallsAndFileGiveTheSameMounts) {
  SKIP_UNLESS(testing::can_mount(&skip_reason));
  testing::TempDir dir;
  const std::string odd = dir / "a b\tc\nd\\e\xff";
  testing::make_dir(odd);
  testing::make_dir(dir / "bind");
  testing::ScopedMount tmpfs("tmpfs", "src \\\xfe", "size=1m,mode=700,nr_inodes=64", odd);
  ASSERT_TRUE(tmpfs.ok()) << tmpfs.error();
  testing::ScopedMount bind("none", odd, "bind", dir / "bind");
  ASSERT_TRUE(bind.ok()) << bind.error();
  ASSERT_TRUE(bind.remount("bind,ro,nosuid,noatime"));

  const auto by_id = [](Result<std::vector<Mount>> table) {
    EXPECT_TRUE(table.ok()) << table.error();
    std::vector<Mount> mounts = table.ok() ? table.value() : std::vector<Mount>();
    std::sort(mounts.begin(), mounts.end(), [](const Mount& a, const Mount& b) { return a.mount_id < b.mount_id; });
    return mounts;
  };
  const std::vector<Mount> kernel = by_id(read_own_mounts("/proc", MountCalls::where_available));
  const std::vector<Mount> file = by_id(read_own_mounts("/proc", MountCalls::never));
  ASSERT_EQ(kernel.size(), file.size());
  for (std::size_t i = 0; i < kernel.size(); ++i) {
    EXPECT_EQ(describe(kernel[i]), describe(file[i]));
  }
  for (const std::string& path : {odd, dir / "bind", std::string("/")}) {
    const Result<std::optional<Mount>> by_call = find_own_mount(path, "/proc", MountCalls::where_available);
    const Result<std::optional<Mount>> by_file = find_own_mount(path, "/proc", MountCalls::never);
    ASSERT_TRUE(by_call.ok() && by_file.ok());
    ASSERT_TRUE(by_call.value() && by_file.value());
    EXPECT_EQ(describe(*by_call.value()), describe(*by_file.value()));
  }
}

std::string describe_places(const std::vector<MountPlace>& places) {
  std::string text;
  for (const MountPlace& place : places) {
    text += std::to_string(place.device) + " " + place.mount_point + " " + place.fs_type + (place.read_only ? " ro\n" : "\n");
  }
  return text;
}

// A process chrooted inside a mount namespace of its own: the kernel's
// listing gives the places its mountinfo file gives, one of them named with
// bytes the file escapes, and nothing outside its root.
TEST(MountLookup, ListedMountsAndTheFileAgreeUnderAChroot) {
  SKIP_UNLESS(testing::can_unshare("-m --propagation private", &skip_reason));
  testing::TempDir dir;
  const std::string script =
      "b=\"$0/r/b c\\\\\377\" && mount -t tmpfs outer \"$0\" && mkdir -p \"$0/r/a\" \"$b\" && "
      "mount -t tmpfs inner \"$0/r/a\" && mount --bind \"$0/r/a\" \"$b\" && mount -o remount,bind,ro \"$b\" && "
      "exec python3 -c 'import os, sys; os.chroot(sys.argv[1]); print(\"ready\"); print(os.getpid(), flush=True); "
      "sys.stdin.read()' \"$0/r\"";
  testing::Fixture app({"unshare", "-m", "--propagation", "private", "sh", "-c", script, testing::canonical(dir.path())});
  if (!app.ready() || app.lines().empty()) GTEST_SKIP() << "cannot mount and chroot in a new mount namespace";
  const std::string process_dir = "/proc/" + app.lines()[0];
  const std::optional<NamespaceListing> listing = list_process_mounts(process_dir);
  if (!listing) GTEST_SKIP() << "this kernel cannot list another namespace's mounts (Linux 6.11 and later can)";
  const std::string from_file = describe_places(mount_places(testing::read_file(process_dir + "/mountinfo")));
  EXPECT_EQ(std::count(from_file.begin(), from_file.end(), '\n'), 2) << from_file;
  EXPECT_NE(from_file.find(" /b c\\\377 tmpfs ro\n"), std::string::npos) << from_file;
  EXPECT_EQ(describe_places(places_under_root(*listing)), from_file);
  EXPECT_TRUE(list_process_mounts(process_dir, 1)->cut);  // a deadline long past
}

}  // namespace
}  // namespace brimful
