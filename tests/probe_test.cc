#include "probe.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "test_util.h"

namespace brimful {
namespace {

// Records every call the probes make and fails the ones a test asks for.
// Descriptors are handed out from 10 upwards: the directory gets 10, the
// probe file 11, an inotify instance 12.
class FakeSystem final : public ProbeSystem {
 public:
  std::vector<std::string> calls;
  std::map<std::string, int> failures;  // call name -> errno
  long write_result = 1;
  long random_result = 8;
  timespec clock{1, 5};

  SysResult open_directory(const char* path) override {
    record("open " + std::string(path));
    return result("open", 10);
  }
  // The probe file (descriptor 11) is inode 7; its name leads to
  // named_inode, and a removal leaves it links_after_unlink.
  SysResult identify(int fd, const char* name, FileIdentity& identity) override {
    if (name[0] != '\0') identity = FileIdentity{1, named_inode, 1};
    if (name[0] == '\0') identity = FileIdentity{1, 7, removed ? links_after_unlink : 1};
    return SysResult{fd == 10 || fd == 11 ? 0 : -1, 0};
  }
  std::optional<OsPath> path_of(int) override { return probed; }
  SysResult openat(int dirfd, const char* name, int flags, mode_t mode) override {
    created_name = name;
    record("openat " + std::to_string(dirfd) + " " + std::to_string(flags) + " " + std::to_string(mode));
    return result("openat", 11);
  }
  SysResult unlinkat(int dirfd, const char* name, int flags) override {
    record("unlinkat " + std::to_string(dirfd) + " " + (name == created_name ? "same-name" : name) + " " +
           std::to_string(flags));
    const SysResult unlinked = result("unlinkat", 0);
    removed = unlinked.value == 0;
    return unlinked;
  }
  SysResult write(int fd, const void* buffer, std::size_t length) override {
    record("write " + std::to_string(fd) + " " + std::string(static_cast<const char*>(buffer), length));
    if (failures.count("write")) return result("write", 0);
    return SysResult{write_result, 0};
  }
  SysResult fsync(int fd) override {
    record("fsync " + std::to_string(fd));
    return result("fsync", 0);
  }
  SysResult close(int fd) override {
    record("close " + std::to_string(fd));
    // Only the probe file's own close is made to fail.
    if (fd == 11) return result("close", 0);
    return SysResult{0, 0};
  }
  pid_t getpid() override {
    record("getpid");
    return 4242;
  }
  SysResult getrandom(void* buffer, std::size_t length, unsigned flags) override {
    record("getrandom " + std::to_string(length) + " " + std::to_string(flags));
    if (failures.count("getrandom")) return result("getrandom", 0);
    const unsigned char bytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    std::memcpy(buffer, bytes, length < 8 ? length : 8);
    return SysResult{random_result, 0};
  }
  SysResult clock_realtime(timespec& now) override {
    record("clock_gettime");
    now = clock;
    return SysResult{0, 0};
  }
  SysResult inotify_init1(int flags) override {
    record("inotify_init1 " + std::to_string(flags));
    return result("inotify_init1", 12);
  }
  SysResult inotify_add_watch(int fd, const char* path, std::uint32_t mask) override {
    record("inotify_add_watch " + std::to_string(fd) + " " + path + " " + std::to_string(mask));
    return result("inotify_add_watch", 1);
  }
  SysResult block_termination_signals(sigset_t& previous) override {
    record("block_signals");
    // A mask the probe must hand back unchanged.
    sigemptyset(&previous);
    sigaddset(&previous, SIGUSR1);
    return result("block_signals", 0);
  }
  SysResult restore_signal_mask(const sigset_t& previous) override {
    record(std::string("restore_signals") + (sigismember(&previous, SIGUSR1) == 1 ? " previous" : " other"));
    return SysResult{0, 0};
  }

  std::string created_name;
  std::uint64_t named_inode = 7;
  std::uint64_t links_after_unlink = 0;
  bool removed = false;
  std::optional<OsPath> probed = "/probe/dir";

 private:
  void record(const std::string& call) { calls.push_back(call); }
  SysResult result(const std::string& name, long value) {
    const auto failure = failures.find(name);
    if (failure == failures.end()) return SysResult{value, 0};
    return SysResult{-1, failure->second};
  }
};

const std::string kOpenDir = "open /probe/dir";
const std::string kCreate = "openat 10 " + std::to_string(O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC) + " 384";

TEST(CreateProbe, SuccessfulRunMakesExactlyTheseCalls) {
  FakeSystem system;
  const ProbeOutcome outcome = run_create_probe("/probe/dir", system).outcome;
  EXPECT_TRUE(is_success(outcome));
  const std::vector<std::string> expected = {
      kOpenDir, "getpid", "getrandom 8 0", "block_signals", kCreate, "unlinkat 10 same-name 0",
      "restore_signals previous", "write 11 N", "fsync 11", "close 11", "close 10",
  };
  EXPECT_EQ(system.calls, expected);
  // Eight random bytes in machine byte order (little-endian here).
  EXPECT_EQ(system.created_name, ".brimful-probe-4242-efcdab8967452301");
}

// The directory's owner renames the probe file away (another file under
// its name, or the name taken after the check): nothing is removed that is
// not brimful's, nothing is written, and the outcome is no success.
TEST(CreateProbe, AFileRenamedAwayIsNoSuccess) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {{8, 0}, {7, 1}};  // named inode, links after unlink
  for (const auto& [named, links] : cases) {
    FakeSystem system;
    system.named_inode = named;
    system.links_after_unlink = links;
    system.probed = "/elsewhere";
    const CreateProbe probe = run_create_probe("/probe/dir", system);
    EXPECT_TRUE(failed_with(probe.outcome, 17)) << named;
    EXPECT_TRUE(probe.file_renamed);
    EXPECT_EQ(probe.directory_probed, "/elsewhere");
    EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "unlinkat 10 same-name 0"), named == 7 ? 1 : 0);
    EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "write 11 N"), 0);
  }
}

TEST(CreateProbe, EachFailingStepIsRecordedAndCleanedUp) {
  struct Case {
    const char* failing;
    int error;
    Phase phase;
    std::vector<std::string> tail;  // the calls after the failing one
  };
  const Case cases[] = {
      {"open", 2, Phase::open_directory, {}},
      {"openat", 28, Phase::create, {"restore_signals previous", "close 10"}},
      {"openat", 17, Phase::create, {"restore_signals previous", "close 10"}},
      {"openat", 30, Phase::create, {"restore_signals previous", "close 10"}},
      {"unlinkat", 1, Phase::unlink, {"restore_signals previous", "close 11", "close 10"}},
      {"write", 28, Phase::write, {"close 11", "close 10"}},
      {"fsync", 5, Phase::fsync, {"close 11", "close 10"}},
      {"close", 122, Phase::close, {"close 10"}},
  };
  for (const Case& c : cases) {
    FakeSystem system;
    system.failures[c.failing] = c.error;
    const ProbeOutcome outcome = run_create_probe("/probe/dir", system).outcome;
    const ProbeError* error = probe_error(outcome);
    ASSERT_NE(error, nullptr) << c.failing;
    EXPECT_EQ(error->phase, c.phase) << c.failing;
    EXPECT_EQ(error->error.code, c.error) << c.failing;
    EXPECT_EQ(error->error.name, errno_info(c.error).name);
    // Find the failing call and compare everything after it.
    std::size_t at = 0;
    while (at < system.calls.size() && system.calls[at].rfind(c.failing, 0) != 0) ++at;
    if (std::string(c.failing) == "close") at = 9;  // "close 11" comes after "fsync 11"
    ASSERT_LT(at, system.calls.size()) << c.failing;
    const std::vector<std::string> tail(system.calls.begin() + static_cast<long>(at) + 1, system.calls.end());
    EXPECT_EQ(tail, c.tail) << c.failing;
  }
}

TEST(CreateProbe, NameIsRemovedBeforeAnythingIsWritten) {
  FakeSystem system;
  (void)run_create_probe("/probe/dir", system).outcome;
  const auto position = [&](const std::string& prefix) {
    for (std::size_t i = 0; i < system.calls.size(); ++i) {
      if (system.calls[i].rfind(prefix, 0) == 0) return i;
    }
    return system.calls.size();
  };
  EXPECT_LT(position("openat"), position("unlinkat"));
  EXPECT_LT(position("unlinkat"), position("write"));
}

TEST(CreateProbe, ZeroByteWriteIsAnIoError) {
  FakeSystem system;
  system.write_result = 0;
  const ProbeOutcome outcome = run_create_probe("/probe/dir", system).outcome;
  ASSERT_NE(probe_error(outcome), nullptr);
  EXPECT_EQ(probe_error(outcome)->phase, Phase::write);
  EXPECT_EQ(probe_error(outcome)->error.code, 5);
  EXPECT_EQ(probe_error(outcome)->error.name, "EIO");
  EXPECT_EQ(system.calls.back(), "close 10");
}

TEST(CreateProbe, ClockStandsInWhenGetrandomFails) {
  struct Case {
    bool fail;
    long delivered;
    timespec clock;
    const char* name;
  };
  const Case cases[] = {
      {true, 0, {1, 5}, ".brimful-probe-4242-000000003b9aca05"},   // ENOSYS
      {false, 4, {0, 255}, ".brimful-probe-4242-00000000000000ff"},  // short read
      {true, 0, {-1, 0}, ".brimful-probe-4242-0000000000000000"},    // before the epoch
  };
  for (const Case& c : cases) {
    FakeSystem system;
    if (c.fail) system.failures["getrandom"] = 38;
    system.random_result = c.delivered;
    system.clock = c.clock;
    EXPECT_TRUE(is_success(run_create_probe("/probe/dir", system).outcome));
    EXPECT_EQ(system.created_name, c.name);
    EXPECT_EQ(system.calls[3], "clock_gettime");
  }
}

TEST(CreateProbe, UnguardedWhenSignalsCannotBeBlocked) {
  FakeSystem system;
  system.failures["block_signals"] = 22;
  EXPECT_TRUE(is_success(run_create_probe("/probe/dir", system).outcome));
  EXPECT_EQ(std::count_if(system.calls.begin(), system.calls.end(),
                          [](const std::string& call) { return call.rfind("restore", 0) == 0; }),
            0);
}

// A SIGTERM that arrives while the probe file has a name: the real kernel
// holds it back and delivers it once the name is gone.
volatile sig_atomic_t g_delivered = 0;
volatile sig_atomic_t g_name_existed = 0;
int g_probe_dirfd = -1;
char g_probe_name[64];

void on_sigterm(int) {
  g_delivered = 1;
  g_name_existed = ::faccessat(g_probe_dirfd, g_probe_name, F_OK, 0) == 0 ? 1 : 0;
}

class SignalledKernel final : public KernelProbeSystem {
 public:
  SysResult openat(int dirfd, const char* name, int flags, mode_t mode) override {
    const SysResult file = KernelProbeSystem::openat(dirfd, name, flags, mode);
    g_probe_dirfd = dirfd;
    std::snprintf(g_probe_name, sizeof g_probe_name, "%s", name);
    ::raise(SIGTERM);
    return file;
  }
};

TEST(CreateProbe, TerminationSignalWaitsUntilTheNameIsGone) {
  testing::TempDir dir;
  struct sigaction handler {};
  struct sigaction saved {};
  handler.sa_handler = on_sigterm;
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(sigaction(SIGTERM, &handler, &saved), 0);
  g_delivered = 0;
  g_name_existed = 1;

  SignalledKernel kernel;
  const ProbeOutcome outcome = run_create_probe(dir.path(), kernel).outcome;
  sigset_t now;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &now), 0);
  sigaction(SIGTERM, &saved, nullptr);

  EXPECT_TRUE(is_success(outcome));
  EXPECT_EQ(g_delivered, 1) << "the signal was not delivered after the probe";
  EXPECT_EQ(g_name_existed, 0) << "the signal came while the probe file still had its name";
  EXPECT_EQ(sigismember(&now, SIGTERM), 0) << "the signal mask was not restored";
  EXPECT_EQ(testing::list_dir(dir.path()), std::vector<std::string>{});
}

TEST(CreateProbe, PathWithNulOpensNothing) {
  FakeSystem system;
  const ProbeOutcome outcome = run_create_probe(std::string("/a\0b", 4), system).outcome;
  ASSERT_NE(probe_error(outcome), nullptr);
  EXPECT_EQ(probe_error(outcome)->phase, Phase::open_directory);
  EXPECT_EQ(probe_error(outcome)->error.code, 22);
  EXPECT_EQ(probe_error(outcome)->error.name, "EINVAL");
  EXPECT_TRUE(system.calls.empty());
}

TEST(CreateProbe, RealDirectoryIsLeftAsItWas) {
  testing::TempDir dir;
  testing::write_file(dir / "existing", "data");
  KernelProbeSystem kernel;
  EXPECT_TRUE(is_success(run_create_probe(dir.path(), kernel).outcome));
  EXPECT_EQ(testing::list_dir(dir.path()), std::vector<std::string>{"existing"});
  EXPECT_EQ(testing::read_file(dir / "existing"), "data");

  const ProbeOutcome vanished = run_create_probe(dir / "gone", kernel).outcome;
  ASSERT_NE(probe_error(vanished), nullptr);
  EXPECT_EQ(probe_error(vanished)->phase, Phase::open_directory);
  EXPECT_EQ(probe_error(vanished)->error.code, 2);
}

// ---------------------------------------------------------------------------

TEST(InotifyProbe, OutcomesAndCalls) {
  const std::string watch = "inotify_add_watch 12 /watched " + std::to_string(IN_ATTRIB);
  const std::string init = "inotify_init1 " + std::to_string(IN_NONBLOCK | IN_CLOEXEC);
  struct Case {
    const char* failing;
    int error;
    bool init_ok;
    int watch_error;  // 0: success, -1: not run
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"", 0, true, 0, {init, watch, "close 12"}},
      {"inotify_init1", 24, false, -1, {init}},
      {"inotify_init1", 23, false, -1, {init}},
      {"inotify_add_watch", 28, true, 28, {init, watch, "close 12"}},
      {"inotify_add_watch", 13, true, 13, {init, watch, "close 12"}},
  };
  for (const Case& c : cases) {
    FakeSystem system;
    if (*c.failing) system.failures[c.failing] = c.error;
    const InotifyProbe probe = run_inotify_probe("/watched", system);
    EXPECT_EQ(system.calls, c.calls) << c.failing;
    if (c.init_ok) {
      EXPECT_TRUE(is_success(probe.init));
    } else {
      ASSERT_NE(probe_error(probe.init), nullptr);
      EXPECT_EQ(probe_error(probe.init)->phase, Phase::init);
      EXPECT_EQ(probe_error(probe.init)->error.code, c.error);
      EXPECT_EQ(probe_error(probe.init)->error.name, errno_info(c.error).name);
    }
    if (c.watch_error == 0) {
      EXPECT_TRUE(is_success(probe.add_watch)) << c.failing;
    } else if (c.watch_error < 0) {
      EXPECT_TRUE(is_not_run(probe.add_watch)) << c.failing;
    } else {
      ASSERT_NE(probe_error(probe.add_watch), nullptr);
      EXPECT_EQ(probe_error(probe.add_watch)->phase, Phase::add_watch);
      EXPECT_EQ(probe_error(probe.add_watch)->error.code, c.watch_error);
    }
  }
}

TEST(InotifyProbe, PathWithNulClosesTheInstance) {
  FakeSystem system;
  const InotifyProbe probe = run_inotify_probe(std::string("/a\0b", 4), system);
  EXPECT_TRUE(is_success(probe.init));
  ASSERT_NE(probe_error(probe.add_watch), nullptr);
  EXPECT_EQ(probe_error(probe.add_watch)->error.code, 22);
  EXPECT_EQ(system.calls.back(), "close 12");
}

TEST(InotifyProbe, RealKernelLeavesNoInstanceOpen) {
  testing::TempDir dir;
  const std::vector<std::string> before = testing::list_dir("/proc/self/fd");
  KernelProbeSystem kernel;
  const InotifyProbe probe = run_inotify_probe(dir.path(), kernel);
  EXPECT_TRUE(is_success(probe.init));
  EXPECT_TRUE(is_success(probe.add_watch));
  EXPECT_EQ(testing::list_dir("/proc/self/fd"), before);

  const InotifyProbe missing = run_inotify_probe(dir / "gone", kernel);
  ASSERT_NE(probe_error(missing.add_watch), nullptr);
  EXPECT_EQ(probe_error(missing.add_watch)->error.code, 2);
}

// ---------------------------------------------------------------------------

TEST(InotifyLimits, ParsingIsStrict) {
  struct Case {
    std::string text;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"8192\n", 8192},
      {"+8192\n", 8192},
      {"  128  ", 128},
      {"0", 0},
      {"18446744073709551615\n", UINT64_MAX},
      {"18446744073709551616\n", std::nullopt},
      {"-1\n", std::nullopt},
      {"", std::nullopt},
      {"   \n", std::nullopt},
      {"81 92\n", std::nullopt},
      {"0x10\n", std::nullopt},
      {"+\n", std::nullopt},
      {"-\n", std::nullopt},
      {"8192\xff", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_inotify_limit(c.text), c.value) << c.text;
}

TEST(InotifyLimits, FilesThatCannotBeReadAreAbsent) {
  testing::TempDir dir;
  testing::write_file(dir / "max_user_watches", "8192\n");
  EXPECT_EQ(read_inotify_limit(dir / "max_user_watches"), 8192u);
  EXPECT_EQ(read_inotify_limit(dir / "missing"), std::nullopt);
  EXPECT_EQ(read_inotify_limit(dir.path()), std::nullopt);  // a directory
  EXPECT_TRUE(read_inotify_limit("/proc/sys/fs/inotify/max_user_instances").has_value());
}

TEST(InotifyLimits, TheSmallerOfTheGlobalAndTheNamespaceLimitBinds) {
  using Limit = std::optional<std::uint64_t>;
  struct Case {
    const char* global;  // null: the file is absent
    const char* own;
    Limit effective;
  };
  const Case cases[] = {
      {"128\n", "128\n", 128},         // the initial namespace: the same number twice
      {"128\n", "4\n", 4},             // a namespace that lowered its limit
      {"128\n", "2147483647\n", 128},  // a fresh namespace: no limit of its own
      {nullptr, "4\n", 4},
      {"128\n", nullptr, 128},
      {"128\n", "-1\n", 128},          // unparsable takes no part
      {nullptr, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    for (const char* sub : {"fs", "fs/inotify", "user"}) testing::make_dir(dir / sub);
    if (c.global != nullptr) testing::write_file(dir / "fs/inotify/max_user_instances", c.global);
    if (c.own != nullptr) testing::write_file(dir / "user/max_inotify_instances", c.own);
    testing::write_file(dir / "fs/inotify/max_user_watches", "8192\n");
    testing::write_file(dir / "user/max_inotify_watches", "100\n");
    testing::write_file(dir / "fs/inotify/max_queued_events", "16384\n");
    const InotifyLimits limits = effective_inotify_limits(read_inotify_limit_files(dir.path()));
    EXPECT_EQ(limits.max_user_instances, c.effective) << (c.global ? c.global : "-") << (c.own ? c.own : "-");
    EXPECT_EQ(limits.max_user_watches, 100u);
    EXPECT_EQ(limits.max_queued_events, 16384u);
  }
}

}  // namespace
}  // namespace brimful
