// The create probe against a user who races it on the real filesystem.

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "os.h"
#include "test_util.h"

namespace brimful {
namespace {

// A user swaps its own directory on root's target with a link to a root-only
// directory, over and over. Whatever each run caught, its probe file lands
// only where its report says it probed, and nothing is left behind.
TEST(CreateProbeScenario, DirectorySwappedForALinkProbesOnlyWhereTheReportSays) {
  SKIP_UNLESS(testing::can_change_user(&skip_reason));
  testing::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string secret = dir / "secret";
  ASSERT_EQ(::mkdir(secret.c_str(), 0700), 0);
  for (const char* sub : {"user", "user/d"}) testing::make_dir(dir / sub);
  testing::make_symlink(secret, dir / "user/swap");
  ASSERT_EQ(testing::shell("chown -hR 65534:65534 " + dir / "user"), 0);
  testing::Fixture swapper({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                            "import ctypes,os,select,sys\n"
                            "libc = ctypes.CDLL(None)\n"
                            "a, b = os.fsencode(sys.argv[1]), os.fsencode(sys.argv[2])\n"
                            "print('ready', os.getpid(), sep='\\n', flush=True)\n"
                            "while not select.select([0], [], [], 0)[0]:\n"
                            "    for _ in range(100): libc.renameat2(-100, a, -100, b, 2)\n",
                            dir / "user/d", dir / "user/swap"});
  ASSERT_TRUE(swapper.ready());
  UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_GE(inotify_add_watch(watch.get(), secret.c_str(), IN_CREATE), 0);
  for (int run = 0; run < 100; ++run) {
    const testing::RunResult result = testing::run_brimful({dir / "user/d", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    char events[4096];
    const bool created_in_secret = ::read(watch.get(), events, sizeof events) > 0;
    const bool says_secret = testing::json_value(result.out, "probe_directory") == "\"" + secret + "\"" ||
                             result.out.find("the create probe ran in " + secret + ",") != std::string::npos;
    EXPECT_TRUE(!created_in_secret || says_secret) << result.out;
  }
  swapper.stop();
  EXPECT_TRUE(testing::list_dir(secret).empty());
}

}  // namespace
}  // namespace brimful
