// The scan's ways to find its candidates, the kernel's walk, the /proc walk
// and the literal walk, must give the same report. Each test builds a load inside a
// private PID and mount namespace, where /proc shows every process, and
// compares the JSON of both scans byte for byte.
#include "json_writer.h"
#include "kernelwalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "literal_scan.h"
#include "procscan.h"
#include "report.h"
#include "test_util.h"

namespace brimful {
namespace {

using testing::TempDir;

constexpr const char* kSkip = "SKIP ";

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Runs body as PID 1 of a new PID namespace with a private mount namespace
// and its own /proc; returns what body returned, or why it could not run.
// Everything the body starts or mounts ends with the namespace.
std::string in_pid_namespace(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return "pipe failed";
  const pid_t outer = ::fork();
  if (outer < 0) return "fork failed";
  if (outer == 0) {
    ::close(pipe_fds[0]);
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      write_all(pipe_fds[1], std::string(kSkip) + "cannot make PID and mount namespaces");
      ::_exit(0);
    }
    const pid_t init = ::fork();
    if (init == 0) {
      std::string result;
      if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        result = std::string(kSkip) + "cannot mount /proc";
      } else {
        result = body();
      }
      write_all(pipe_fds[1], result);
      ::_exit(0);
    }
    int status = 0;
    if (init > 0) ::waitpid(init, &status, 0);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
  ::close(pipe_fds[0]);
  ::waitpid(outer, nullptr, 0);
  return result;
}

// Processes started inside the namespace that hold things open until
// release() or the end of the body.
class Holders {
 public:
  Holders() {
    if (::pipe2(release_, O_CLOEXEC) != 0) release_[0] = release_[1] = -1;
  }
  ~Holders() { release(); }

  // Starts a process that runs setup (false on failure) and then waits, or
  // with leader_exits ends its main thread and leaves the others waiting.
  // Returns its pid, or -1 when setup failed.
  pid_t start(const std::function<bool()>& setup, bool leader_exits = false) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(ready[0]);
      ::close(release_[1]);
      const char verdict = setup() ? 'y' : 'n';
      if (::write(ready[1], &verdict, 1) != 1) ::_exit(1);
      ::close(ready[1]);
      // Only this thread ends, and without unwinding: pthread_exit would
      // unwind through the test's frames and run their destructors here.
      if (leader_exits) ::syscall(SYS_exit, 0);
      wait_for_release();
      ::_exit(0);
    }
    ::close(ready[1]);
    char verdict = 'n';
    const bool ok = ::read(ready[0], &verdict, 1) == 1 && verdict == 'y';
    ::close(ready[0]);
    return ok ? child : -1;
  }

  void release() {
    if (release_[1] >= 0) ::close(release_[1]);
    release_[1] = -1;
  }

  // For a thread of a holder that outlives its process's main thread.
  static void wait_for_release_of(int fd) {
    char byte;
    while (::read(fd, &byte, 1) > 0) {
    }
  }
  int release_fd() const { return release_[0]; }

 private:
  void wait_for_release() { wait_for_release_of(release_[0]); }

  int release_[2] = {-1, -1};
};

// Opens path, writes bytes to it, unlinks it and leaves the descriptor open.
int hold_deleted(const std::string& path, std::size_t bytes) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return -1;
  const std::string data(bytes, 'x');
  if (!write_all(fd, data) || ::fsync(fd) != 0 || ::unlink(path.c_str()) != 0) return -1;
  return fd;
}

bool hold_inotify(int instances, const std::string& watched) {
  for (int i = 0; i < instances; ++i) {
    const int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0) return false;
    if (i == 0 && ::inotify_add_watch(fd, watched.c_str(), IN_MODIFY) < 0) return false;
  }
  return true;
}

std::uint64_t device_of(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_dev : 0;
}

ScanSettings proc_only() {
  ScanSettings settings;
  settings.method = ScanMethod::proc_only;
  return settings;
}

std::string json_of(const ProcScan& scan) {
  Evidence evidence;
  evidence.proc_scan = scan;
  const Result<std::string> json = encode_json(evidence, Diagnosis{});
  return json.ok() ? json.value() : json.error();
}

// Scans for the target both ways; returns "" when the reports agree and
// hold at least the expected deleted-open files, consumers and processes
// read through another thread than their exited leader.
std::string compare_scans(const std::string& target, std::size_t deleted, std::size_t consumers,
                          std::uint64_t leader_exited = 0) {
  const std::uint64_t device = device_of(target);
  if (!walk_in_kernel(device)) return std::string(kSkip) + "the in-kernel walk is unavailable here";
  const ProcScan kernel = scan_processes(device);
  const ProcScan proc = scan_processes(device, "/proc", proc_only());
  const std::string kernel_json = json_of(kernel);
  const std::string proc_json = json_of(proc);
  const std::string literal_json = json_of(literal_scan({device}));
  if (kernel_json != proc_json || proc_json != literal_json) {
    return "reports differ for " + target + "\nkernel:\n" + kernel_json + "\n/proc:\n" + proc_json +
           "\nliteral:\n" + literal_json;
  }
  if (proc.deleted_open.size() != deleted || proc.inotify_consumers.size() != consumers ||
      proc.processes_leader_exited != leader_exited || !proc.complete) {
    return "unexpected report for " + target + ":\n" + proc_json;
  }
  return "";
}

#define EXPECT_SAME_SCANS(result)                                              \
  do {                                                                         \
    const std::string outcome = (result);                                      \
    if (outcome.rfind(kSkip, 0) == 0) GTEST_SKIP() << outcome.substr(5);       \
    EXPECT_EQ(outcome, "");                                                    \
  } while (false)

class KernelWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::running_as_root()) GTEST_SKIP() << "needs root for namespaces and BPF";
  }
};

void* hold_in_own_table(void* arg) {
  auto* path = static_cast<std::string*>(arg);
  // This thread's table is its own, which /proc/PID/fd does not show.
  if (::unshare(CLONE_FILES) != 0 || hold_deleted(*path, 4096) < 0) return nullptr;
  return path;
}

void* idle(void* arg) {
  Holders::wait_for_release_of(*static_cast<int*>(arg));
  return nullptr;
}

// Waits until the one process whose main thread ends has become a zombie
// leader: /proc lists no descriptors for it then.
bool wait_for_exited_leader() {
  for (int attempt = 0; attempt < 500; ++attempt) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(proc)) {
      const std::string stat_text = testing::read_file(std::string("/proc/") + entry->d_name + "/stat");
      const std::size_t close = stat_text.rfind(')');
      if (close != std::string::npos && stat_text.compare(close, 4, ") Z ") == 0) found = true;
    }
    ::closedir(proc);
    if (found) return true;
    ::usleep(10000);
  }
  return false;
}

// Threads: one table seen once however many threads share it; a thread
// with a table of its own contributes nothing, as /proc/PID/fd does not
// show it; a process whose main thread has exited contributes what its
// other threads hold. Inotify instances of another user never make a
// consumer.
TEST_F(KernelWalk, ThreadsUsersAndSharedFilesGiveTheSameReport) {
  TempDir dir;
  EXPECT_SAME_SCANS(in_pid_namespace([&]() -> std::string {
    const std::string target = dir / "t";
    if (::mkdir(target.c_str(), 0755) != 0 ||
        ::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=16m") != 0) {
      return std::string(kSkip) + "cannot mount tmpfs";
    }
    // Other tests on this host share root's inotify instance limit.
    std::vector<int> spare;
    for (int i = 0; i < 3; ++i) spare.push_back(::inotify_init1(IN_CLOEXEC));
    for (const int fd : spare) {
      if (fd < 0) return std::string(kSkip) + "root's inotify instances are exhausted on this host";
      ::close(fd);
    }
    Holders holders;
    const int release = holders.release_fd();
    pthread_t leaderless;
    // This process and a child hold one file; the child also a second one.
    const int shared = hold_deleted(target + "/shared", 8192);
    int step = 0;
    const bool ok =
        shared >= 0 && ++step &&
        holders.start([&] { return ::dup(shared) >= 0 && hold_deleted(target + "/own", 100) >= 0; }) > 0 && ++step &&
        holders.start([&] { return hold_inotify(2, target); }) > 0 && ++step &&
        holders.start([&] {
          if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            return false;
          }
          return hold_inotify(3, "/");
        }) > 0 && ++step &&
        holders.start([&] {
          std::string own_table = target + "/thread-own";
          pthread_t thread;
          void* result = nullptr;
          if (::pthread_create(&thread, nullptr, hold_in_own_table, &own_table) != 0 ||
              ::pthread_join(thread, &result) != 0 || result == nullptr) {
            return false;
          }
          for (int i = 0; i < 64; ++i) {
            if (::pthread_create(&thread, nullptr, idle, const_cast<int*>(&release)) != 0) {
              return false;
            }
          }
          return hold_deleted(target + "/threaded", 12288) >= 0;
        }) > 0 && ++step &&
        holders.start([&] { return hold_deleted(target + "/leaderless", 4096) >= 0 &&
                                   ::pthread_create(&leaderless, nullptr, idle,
                                                    const_cast<int*>(&release)) == 0; },
                      true) > 0;
    if (!ok) return "could not set up the load: " + std::to_string(step);
    // The process whose main thread ended keeps its files in a thread;
    // /proc shows it with no descriptors once the main thread is gone.
    if (!wait_for_exited_leader()) return "the main thread did not end";
    // shared, own, threaded and leaderless; the thread's own table stays
    // out. Consumers: the one with two instances.
    return compare_scans(target, 4, 1, 1);
  }));
}

// Processes come and go while both walks run; neither counts one that
// vanished, so both scans are complete, and what the stable processes hold
// is reported the same.
TEST_F(KernelWalk, ProcessesExitingDuringTheWalkAreNotCounted) {
  TempDir dir;
  EXPECT_SAME_SCANS(in_pid_namespace([&]() -> std::string {
    const std::string target = dir / "t";
    if (::mkdir(target.c_str(), 0755) != 0 ||
        ::mount("tmpfs", target.c_str(), "tmpfs", 0, "size=16m") != 0) {
      return std::string(kSkip) + "cannot mount tmpfs";
    }
    Holders holders;
    if (holders.start([&] { return hold_deleted(target + "/stable", 4096) >= 0; }) < 0) {
      return "could not set up the load";
    }
    // Short-lived processes, each with a deleted file elsewhere and many
    // descriptors, so some are caught halfway.
    const pid_t churn = ::fork();
    if (churn == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) {
        const pid_t child = ::fork();
        if (child == 0) {
          for (int i = 0; i < 200; ++i) ::open("/", O_RDONLY | O_CLOEXEC);
          hold_deleted(dir / ("churn-" + std::to_string(::getpid())), 10);
          ::_exit(0);
        }
        if (child > 0) ::waitpid(child, nullptr, 0);
      }
    }
    std::string failure;
    for (int round = 0; round < 20 && failure.empty(); ++round) {
      const std::uint64_t device = device_of(target);
      if (!walk_in_kernel(device)) {
        failure = std::string(kSkip) + "the in-kernel walk is unavailable here";
        break;
      }
      const ProcScan kernel = scan_processes(device);
      const ProcScan proc = scan_processes(device, "/proc", proc_only());
      if (!kernel.complete || !proc.complete ||
          json_of(ProcScan{kernel.deleted_open, kernel.inotify_consumers, 0, 0, true}) !=
              json_of(ProcScan{proc.deleted_open, proc.inotify_consumers, 0, 0, true}) ||
          kernel.deleted_open.size() != 1) {
        failure = "round " + std::to_string(round) + "\nkernel:\n" + json_of(kernel) +
                  "\n/proc:\n" + json_of(proc);
      }
    }
    ::kill(churn, SIGKILL);
    ::waitpid(churn, nullptr, 0);
    return failure;
  }));
}

// stat() numbers a btrfs subvolume's files with the subvolume's own
// device, and an overlay's files with the overlay's or a layer's; the
// kernel sees other numbers in both. Only the status call decides.
TEST_F(KernelWalk, BtrfsSubvolumesAndOverlaysGiveTheSameReport) {
  TempDir dir;
  const std::string image = dir / "btrfs.img";
  const bool have_btrfs =
      testing::shell("truncate -s 128M " + image + " && mkfs.btrfs -q " + image + " >/dev/null 2>&1") == 0;
  EXPECT_SAME_SCANS(in_pid_namespace([&]() -> std::string {
    Holders holders;
    std::string failure;
    if (have_btrfs) {
      const std::string top = dir / "btrfs";
      const std::string sub = top + "/sub";
      if (::mkdir(top.c_str(), 0755) != 0 ||
          testing::shell("mount -o loop " + image + " " + top + " && btrfs -q subvolume create " +
                         sub + " >/dev/null") != 0) {
        return std::string(kSkip) + "cannot mount btrfs";
      }
      if (holders.start([&] {
            return hold_deleted(sub + "/in-sub", 65536) >= 0 && hold_deleted(top + "/in-top", 4096) >= 0;
          }) < 0) {
        return "could not set up the btrfs load";
      }
      failure += compare_scans(sub, 1, 0);
      failure += compare_scans(top, 1, 0);
    }
    const std::string layers = dir / "layers";
    const std::string merged = dir / "merged";
    if (::mkdir(layers.c_str(), 0755) != 0 || ::mkdir(merged.c_str(), 0755) != 0 ||
        ::mount("tmpfs", layers.c_str(), "tmpfs", 0, "size=16m") != 0 ||
        testing::shell("mkdir " + layers + "/lower " + layers + "/upper " + layers + "/work && echo x > " +
                       layers + "/lower/old") != 0 ||
        ::mount("overlay", merged.c_str(), "overlay", 0,
                ("lowerdir=" + layers + "/lower,upperdir=" + layers + "/upper,workdir=" + layers +
                 "/work")
                    .c_str()) != 0) {
      return failure.empty() ? std::string(kSkip) + "cannot mount overlayfs" : failure;
    }
    if (holders.start([&] {
          // One file copied up from the lower layer, one made in the upper.
          const std::string old_file = merged + "/old";
          const int old_fd = ::open(old_file.c_str(), O_RDWR | O_CLOEXEC);
          return old_fd >= 0 && ::unlink(old_file.c_str()) == 0 &&
                 hold_deleted(merged + "/new", 4096) >= 0;
        }) < 0) {
      return failure + "could not set up the overlay load";
    }
    const std::string on_overlay = compare_scans(merged, 2, 0);
    // Seen from the upper layer's filesystem the same files may be reported
    // or not, but the same way by both scans.
    const std::string on_upper =
        compare_scans(layers, 0, 0).rfind("reports differ", 0) == 0 ? "upper layer differs" : "";
    return failure + on_overlay + on_upper;
  }));
}

}  // namespace
}  // namespace brimful
