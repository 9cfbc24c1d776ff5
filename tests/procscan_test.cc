#include "procscan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "literal_scan.h"
#include "scan_rules.h"
#include "test_util.h"

namespace brimful {
namespace {

using Strings = std::vector<std::string>;

constexpr const char* kInotify = "anon_inode:inotify";

[[noreturn]] void fail_setup(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A descriptor this test keeps open on something whose name may be gone. A
// fake fd entry reaches it through /proc/self/fd, so the scan's status call
// lands on the real open file.
class HeldOpen {
 public:
  explicit HeldOpen(int fd) : fd_(fd) {
    if (fd_ < 0 || fstat(fd_, &status_) != 0) fail_setup("open");
  }
  ~HeldOpen() { close(fd_); }
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;

  int fd() const { return fd_; }
  std::string link() const { return "/proc/self/fd/" + std::to_string(fd_); }
  std::uint64_t device() const { return status_.st_dev; }
  std::uint64_t inode() const { return status_.st_ino; }
  std::uint64_t allocated_bytes() const {
    return static_cast<std::uint64_t>(status_.st_blocks) * 512;
  }

 private:
  int fd_;
  struct stat status_ {};
};

int deleted_file(const std::string& path, std::size_t size) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const std::string content(size, 'x');
  if (fd < 0 || write(fd, content.data(), size) != static_cast<ssize_t>(size)) fail_setup(path);
  // Settles the allocation so st_blocks holds still during the scan.
  if (fsync(fd) != 0 || unlink(path.c_str()) != 0) fail_setup(path);
  return fd;
}

// Names in the order the file system lists them, which the scan follows.
Strings listing_order(const std::string& path) {
  Strings names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) fail_setup(path);
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

// A process table laid out as the kernel does: PID/comm, PID/fd/N links and
// PID/fdinfo/N files. Paths given to its methods are relative to the root.
class FakeProc {
 public:
  FakeProc() {
    testing::make_dir(root_);
    testing::make_dir(files());
  }

  const std::string& root() const { return root_; }
  // Real files that the fake descriptors lead to, on the tree's file system.
  std::string files() const { return temp_ / "files"; }
  std::string operator/(const std::string& relative) const { return root_ + "/" + relative; }

  FakeProc& dir(const std::string& path) {
    testing::make_dir(*this / path);
    return *this;
  }
  FakeProc& file(const std::string& path, const std::string& content = "") {
    testing::write_file(*this / path, content);
    return *this;
  }
  FakeProc& link(const std::string& path, const std::string& target) {
    testing::make_symlink(target, *this / path);
    return *this;
  }
  FakeProc& remove(const std::string& path) {
    if (unlink((*this / path).c_str()) != 0) fail_setup("unlink " + path);
    return *this;
  }

  FakeProc& process(const std::string& pid, const std::string& comm = "worker\n") {
    return dir(pid).file(pid + "/comm", comm).dir(pid + "/fd").dir(pid + "/fdinfo");
  }
  FakeProc& fd(const std::string& pid, const std::string& n, const std::string& target) {
    return link(pid + "/fd/" + n, target);
  }
  FakeProc& inotify(const std::string& pid, const std::string& n, int watches) {
    std::string info = "pos:\t0\nflags:\t00\nmnt_id:\t15\nino:\t1057\n";
    for (int i = 1; i <= watches; ++i) {
      info += "inotify wd:" + std::to_string(i) + " ino:2 mask:fce\n";
    }
    return fd(pid, n, kInotify).file(pid + "/fdinfo/" + n, info);
  }

  ProcScan scan(std::uint64_t device = 0) const { return scan_processes(device, root_); }

 private:
  testing::TempDir temp_;
  std::string root_ = temp_ / "proc";
};

Strings holders(const DeletedOpenFile& file) {
  Strings texts;
  for (const Holder& h : file.holders) {
    texts.push_back(std::to_string(h.pid) + "/" + std::string(h.process) + "/" + std::to_string(h.fd));
  }
  return texts;
}

std::string consumer(const InotifyConsumer& c) {
  return std::to_string(c.pid) + "/" + c.process + "/" + std::to_string(c.instances) + "/" +
         std::to_string(c.watches);
}

Strings consumers(const ProcScan& scan) {
  Strings texts;
  for (const InotifyConsumer& c : scan.inotify_consumers) texts.push_back(consumer(c));
  return texts;
}

void expect_counts(const ProcScan& scan, std::uint64_t scanned, std::uint64_t inaccessible) {
  EXPECT_EQ(scanned, scan.processes_scanned);
  EXPECT_EQ(inaccessible, scan.processes_inaccessible);
  EXPECT_EQ(inaccessible == 0, scan.complete);
}

TEST(ProcScanRoot, UnlistableRootGivesAnEmptyIncompleteResult) {
  testing::TempDir dir;
  testing::write_file(dir / "file", "");
  for (const std::string& root : {dir / "missing", dir / "file"}) {
    SCOPED_TRACE(root);
    const ProcScan scan = scan_processes(0, root);
    EXPECT_TRUE(scan.deleted_open.empty());
    EXPECT_TRUE(scan.inotify_consumers.empty());
    expect_counts(scan, 0, 1);
  }
}

TEST(ProcScanNames, ProcessEntryNames) {
  const struct {
    std::string name;
    std::optional<std::uint32_t> pid;
  } cases[] = {
      {"1", 1},         {"+7", {}},    {"007", 7}, {"0", 0},           {"4294967295", 4294967295u},
      {"self", {}},     {"sys", {}},   {"+", {}},  {"++1", {}},        {"-1", {}},
      {"1+", {}},       {" 1", {}},    {"1a", {}}, {"4294967296", {}}, {"99999999999999999999", {}},
      {"\xd9\xa3", {}}, {"1\xff", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProc proc;
    HeldOpen file(deleted_file(proc.files() + "/held", 100));
    proc.process(c.name);
    proc.fd(c.name, "3", file.link());
    const ProcScan scan = proc.scan(file.device());
    expect_counts(scan, c.pid ? 1 : 0, 0);
    ASSERT_EQ(c.pid ? 1u : 0u, scan.deleted_open.size());
    if (c.pid) {
      EXPECT_EQ(Strings{std::to_string(*c.pid) + "/worker/3"}, holders(scan.deleted_open[0]));
    }
  }
}

TEST(ProcScanNames, DescriptorEntryNames) {
  const struct {
    std::string name;
    std::optional<std::int32_t> fd;
  } cases[] = {
      {"3", 3}, {"+3", 3}, {"-3", -3}, {"0", 0}, {"-0", 0}, {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"2147483648", {}}, {"-2147483649", {}}, {"+-3", {}},
      {"-+3", {}}, {"--3", {}}, {"3a", {}}, {"+", {}}, {"-", {}}, {"x", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProc proc;
    HeldOpen file(deleted_file(proc.files() + "/held", 100));
    proc.process("10");
    proc.fd("10", c.name, file.link());
    const ProcScan scan = proc.scan(file.device());
    expect_counts(scan, 1, 0);
    ASSERT_EQ(c.fd ? 1u : 0u, scan.deleted_open.size());
    if (c.fd) {
      EXPECT_EQ(Strings{"10/worker/" + std::to_string(*c.fd)}, holders(scan.deleted_open[0]));
    }
  }
}

TEST(ProcScanNames, ProcessNameFromCommOrPid) {
  const struct {
    const char* situation;
    std::function<void(FakeProc&)> arrange;
    std::string name;
  } cases[] = {
      {"plain", [](FakeProc& p) { p.file("42/comm", "sshd\n"); }, "sshd"},
      {"white space around", [](FakeProc& p) { p.file("42/comm", " \t kworker/0:1 x \n"); },
       "kworker/0:1 x"},
      {"Unicode white space", [](FakeProc& p) { p.file("42/comm", "\u2003n\u00e4me\u3000\n"); },
       "n\u00e4me"},
      {"only a newline", [](FakeProc& p) { p.file("42/comm", "\n"); }, ""},
      {"not UTF-8", [](FakeProc& p) { p.file("42/comm", "bad\xff\n"); }, "42"},
      {"missing", [](FakeProc& p) { p.remove("42/comm"); }, "42"},
      {"unreadable", [](FakeProc& p) { p.remove("42/comm").dir("42/comm"); }, "42"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    FakeProc proc;
    proc.process("42");
    proc.inotify("42", "3", 1);
    c.arrange(proc);
    const ProcScan scan = proc.scan();
    expect_counts(scan, 1, 0);
    EXPECT_EQ(Strings{"42/" + c.name + "/1/1"}, consumers(scan));
  }
}

// A leader that has exited leaves its descriptors to its other threads: the
// lowest-numbered one stands for the process, only when the state that
// follows the last parenthesis of its stat is Z.
TEST(ProcScanThreads, AnExitedLeadersTableIsItsLowestOtherThreads) {
  const struct {
    std::string stat;
    Strings threads;
    Strings holders;
  } cases[] = {
      {"42 (a) Z 1 42", {"42", "45", "44"}, {"42/worker/4"}},
      {"42 (a) Z) S 1", {"42", "44"}, {}},
      {"42 (a) S) Z 1", {"42", "44"}, {"42/worker/4"}},
      {"42 (a) S 1 42", {"42", "44"}, {}},
      {"42 (a) Z 1 42", {"42"}, {}},
      {"42 (a)Z", {"42", "44"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stat);
    FakeProc proc;
    HeldOpen file(deleted_file(proc.files() + "/held", 100));
    proc.process("42").file("42/stat", c.stat).dir("42/task");
    for (const std::string& thread : c.threads) {
      const std::string dir = "42/task/" + thread;
      proc.dir(dir).dir(dir + "/fd").dir(dir + "/fdinfo");
      if (thread != "42") proc.fd(dir, thread.substr(1), file.link());
    }
    const ProcScan scan = proc.scan(file.device());
    EXPECT_EQ(c.holders.empty() ? 0u : 1u, scan.processes_leader_exited);
    EXPECT_EQ(c.holders, scan.deleted_open.empty() ? Strings{} : holders(scan.deleted_open[0]));
  }
}

TEST(ProcScanFailures, EachFailureCountsAsItsKindDemands) {
  // Every fake directory belongs to the real user, so the inotify pass runs.
  // Where a descriptor's status already shows it is no inotify instance, the
  // scan does not read its link, so only the literal scan fails on it.
  const struct {
    const char* situation;
    std::uint64_t scanned;
    std::uint64_t inaccessible;
    Strings consumers;
    std::function<void(FakeProc&)> arrange;
    bool status_rules_out = false;
  } cases[] = {
      {"process gone before its status", 0, 0, {}, [](FakeProc& p) { p.link("10", "gone"); }},
      {"status of the process fails", 0, 1, {}, [](FakeProc& p) { p.link("10", "10"); }},
      {"process entry is no directory", 0, 1, {}, [](FakeProc& p) { p.file("10"); }},
      {"fd missing", 0, 0, {}, [](FakeProc& p) { p.dir("10").dir("10/fdinfo"); }},
      {"fd a dangling link", 0, 0, {}, [](FakeProc& p) { p.dir("10").link("10/fd", "gone"); }},
      {"fd no directory", 0, 1, {}, [](FakeProc& p) { p.dir("10").file("10/fd"); }},
      {"fd a link loop", 0, 1, {}, [](FakeProc& p) { p.dir("10").link("10/fd", "fd"); }},
      {"comm unreadable", 1, 0, {}, [](FakeProc& p) { p.process("10").remove("10/comm"); }},
      // A process whose fdinfo is gone has exited.
      {"fdinfo missing", 1, 0, {},
       [](FakeProc& p) { p.dir("10").dir("10/fd").fd("10", "4", kInotify); }},
      {"fdinfo no directory", 1, 1, {},
       [](FakeProc& p) { p.dir("10").dir("10/fd").file("10/fdinfo").fd("10", "4", kInotify); }},
      {"descriptor closed before its status", 1, 0, {},
       [](FakeProc& p) { p.process("10").fd("10", "3", "socket:[1]"); }},
      {"status of a descriptor fails", 1, 1, {},
       [](FakeProc& p) { p.process("10").fd("10", "3", "3"); }},
      {"inotify descriptor closed before its fdinfo", 1, 0, {},
       [](FakeProc& p) { p.process("10").fd("10", "4", kInotify); }},
      {"fdinfo names a closed descriptor", 1, 0, {},
       [](FakeProc& p) { p.process("10").file("10/fdinfo/9"); }},
      {"link of an fdinfo descriptor unreadable", 1, 1, {},
       [](FakeProc& p) { p.process("10").file("10/fd/9").file("10/fdinfo/9"); }, true},
      {"several failures count once", 1, 1, {},
       [](FakeProc& p) { p.process("10").fd("10", "3", "3").file("10/fd/9").file("10/fdinfo/9"); }},
      {"fdinfo file readable", 1, 0, {"10/worker/1/2"},
       [](FakeProc& p) { p.process("10").inotify("10", "5", 2); }},
      // /proc never holds a link there: one is refused, not followed.
      {"fdinfo file a link", 1, 1, {"10/worker/1/0"},
       [](FakeProc& p) { p.process("10").fd("10", "5", kInotify).link("10/fdinfo/5", "gone"); }},
      {"fdinfo file unreadable", 1, 1, {"10/worker/2/0"},
       [](FakeProc& p) {
         p.process("10").inotify("10", "6", 0).fd("10", "5", kInotify).dir("10/fdinfo/5");
       }},
      {"fdinfo file not UTF-8", 1, 1, {"10/worker/1/0"},
       [](FakeProc& p) {
         p.process("10").fd("10", "5", kInotify).file("10/fdinfo/5", "inotify wd:1\n\xff");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    FakeProc proc;
    c.arrange(proc);
    const ProcScan literal = literal_scan({0}, proc.root());
    expect_counts(literal, c.scanned, c.inaccessible);
    EXPECT_TRUE(literal.deleted_open.empty());
    EXPECT_EQ(c.consumers, consumers(literal));
    const ProcScan scan = proc.scan();
    expect_counts(scan, c.scanned, c.status_rules_out ? 0 : c.inaccessible);
    EXPECT_TRUE(scan.deleted_open.empty());
    EXPECT_EQ(c.consumers, consumers(scan));
    EXPECT_FALSE(scan.descriptors_exhausted);
  }
}

// Out of descriptors, the scan misses processes and says that its own limit
// is why. The child lowers its limit to just above what it holds, and scans
// on one thread: the sanitizers need descriptors of their own to start one.
TEST(ProcScanFailures, RunningOutOfDescriptorsIsNoted) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int lowest = dup(0);
    close(lowest);
    const rlimit limit{static_cast<rlim_t>(lowest) + 2, static_cast<rlim_t>(lowest) + 2};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
    ScanSettings one_thread;
    one_thread.threads = 1;
    const ProcScan scan = scan_processes(0, "/proc", one_thread);
    _exit(scan.descriptors_exhausted && !scan.complete ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(ProcScanDeletedOpen, MergesHoldersInDiscoveryOrder) {
  FakeProc proc;
  HeldOpen file(deleted_file(proc.files() + "/held", 10000));
  // Three spellings of one target tell the sightings apart.
  const std::string links[] = {file.link(), "/" + file.link(),
                               "/proc//self/fd/" + std::to_string(file.fd())};
  proc.process("10", "alpha\n");
  proc.fd("10", "3", links[0]);
  proc.fd("10", "4", links[1]);
  proc.process("20", "beta\n");
  proc.fd("20", "5", links[2]);
  proc.fd("20", "6", "socket:[99]");

  Strings expected_holders;
  Strings expected_links;
  for (const std::string& pid : listing_order(proc.root())) {
    for (const std::string& fd : listing_order(proc / pid + "/fd")) {
      if (fd == "6") continue;
      expected_holders.push_back(pid + (pid == "10" ? "/alpha/" : "/beta/") + fd);
      expected_links.push_back(links[std::stoi(fd) - 3]);
    }
  }
  const ProcScan scan = proc.scan(file.device());
  expect_counts(scan, 2, 0);
  ASSERT_EQ(1u, scan.deleted_open.size());
  const DeletedOpenFile& found = scan.deleted_open[0];
  EXPECT_EQ(file.device(), found.device);
  EXPECT_EQ(file.inode(), found.inode);
  EXPECT_EQ(expected_links[0], found.path);
  EXPECT_GT(file.allocated_bytes(), 0u);
  EXPECT_EQ(file.allocated_bytes(), found.allocated_bytes);
  EXPECT_EQ(expected_holders, holders(found));
}

// A process that exits between the two questions loses its fdinfo
// directory: the deleted files its descriptors showed still count, also
// those listed after an inotify instance.
TEST(ProcScanDeletedOpen, KeptWhenFdinfoIsGoneAtAnInstance) {
  FakeProc proc;
  HeldOpen file(deleted_file(proc.files() + "/held", 4096));
  proc.dir("10").file("10/comm", "gone\n").dir("10/fd");
  for (const char* fd : {"3", "4", "5", "6", "7"}) proc.fd("10", fd, file.link());
  const std::string instance = listing_order(proc / "10/fd").front();
  proc.remove("10/fd/" + instance).fd("10", instance, kInotify);
  const Strings order = listing_order(proc / "10/fd");
  ASSERT_NE(instance, order.back()) << "the instance must come before a deleted file";
  Strings expected;
  for (const std::string& fd : order) {
    if (fd != instance) expected.push_back("10/gone/" + fd);
  }
  for (const ProcScan& scan : {proc.scan(file.device()), literal_scan({file.device()}, proc.root())}) {
    expect_counts(scan, 1, 0);
    EXPECT_TRUE(scan.inotify_consumers.empty());
    ASSERT_EQ(1u, scan.deleted_open.size());
    EXPECT_EQ(expected, holders(scan.deleted_open[0]));
  }
}

TEST(ProcScanDeletedOpen, ReportsOnlyDeletedRegularFilesOnTheTarget) {
  FakeProc proc;
  const std::string dir = proc.files();
  auto path = [&](const char* name) { return dir + "/" + name; };
  HeldOpen deleted(deleted_file(path("deleted"), 100));
  HeldOpen linked(open(path("linked").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  HeldOpen renamed(open(path("first").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(0, link(path("first").c_str(), path("second").c_str()));
  ASSERT_EQ(0, unlink(path("first").c_str()));
  ASSERT_EQ(0, mkdir(path("gone").c_str(), 0700));
  HeldOpen directory(open(path("gone").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_EQ(0, rmdir(path("gone").c_str()));
  ASSERT_EQ(0, mkfifo(path("fifo").c_str(), 0600));
  HeldOpen fifo(open(path("fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  ASSERT_EQ(0, unlink(path("fifo").c_str()));
  // A memfd is a regular file without a name, on a file system of its own.
  HeldOpen elsewhere(memfd_create("elsewhere", MFD_CLOEXEC));
  ASSERT_EQ(1, write(elsewhere.fd(), "x", 1));
  ASSERT_NE(deleted.device(), elsewhere.device());

  proc.process("10");
  int n = 3;
  for (const HeldOpen* held : {&linked, &renamed, &directory, &fifo, &elsewhere, &deleted}) {
    proc.fd("10", std::to_string(n++), held->link());
  }
  proc.fd("10", std::to_string(n++), "pipe:[123]");

  const ProcScan scan = proc.scan(deleted.device());
  expect_counts(scan, 1, 0);
  ASSERT_EQ(1u, scan.deleted_open.size());
  EXPECT_EQ(deleted.inode(), scan.deleted_open[0].inode);
  EXPECT_EQ(Strings{"10/worker/8"}, holders(scan.deleted_open[0]));
  EXPECT_TRUE(proc.scan(deleted.device() + 1).deleted_open.empty());
}

TEST(ProcScanDeletedOpen, OrdersBySizeLargestFirstThenByInode) {
  FakeProc proc;
  HeldOpen small_a(deleted_file(proc.files() + "/a", 4096));
  HeldOpen large(deleted_file(proc.files() + "/large", 65536));
  HeldOpen small_b(deleted_file(proc.files() + "/b", 4096));
  HeldOpen empty(deleted_file(proc.files() + "/empty", 0));
  const std::uint64_t small = small_a.allocated_bytes();
  ASSERT_GT(large.allocated_bytes(), small);
  ASSERT_EQ(small, small_b.allocated_bytes());
  ASSERT_GT(small, 0u);
  proc.process("10");
  proc.fd("10", "3", empty.link());
  proc.fd("10", "4", small_a.link());
  proc.fd("10", "5", small_b.link());
  proc.fd("10", "6", large.link());

  std::vector<std::pair<std::uint64_t, std::uint64_t>> found;  // (allocated_bytes, inode)
  for (const DeletedOpenFile& file : proc.scan(large.device()).deleted_open) {
    found.emplace_back(file.allocated_bytes, file.inode);
  }
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
      {large.allocated_bytes(), large.inode()},
      {small, std::min(small_a.inode(), small_b.inode())},
      {small, std::max(small_a.inode(), small_b.inode())},
      {0, empty.inode()},
  };
  EXPECT_EQ(expected, found);
}

TEST(ProcScanDeletedOpen, PathIsTheWholeLinkTextByteForByte) {
  FakeProc files;
  HeldOpen file(deleted_file(files.files() + "/held", 100));
  testing::make_symlink("/proc/self/fd", files.files() + "/\xff");
  const std::string suffix = "/proc/self/fd/" + std::to_string(file.fd());
  for (const std::string& text : {files.files() + "/\xff/" + std::to_string(file.fd()),
                                  std::string(4095 - suffix.size(), '/') + suffix}) {
    SCOPED_TRACE(text.size());
    FakeProc proc;
    proc.process("10");
    proc.fd("10", "3", text);
    const ProcScan scan = proc.scan(file.device());
    ASSERT_EQ(1u, scan.deleted_open.size());
    EXPECT_EQ(text, scan.deleted_open[0].path);
  }
}

TEST(ProcScanInotify, CountsOnlyLinesThatBeginWithTheWatchPrefix) {
  FakeProc proc;
  proc.process("10");
  proc.inotify("10", "4", 0);
  proc.file("10/fdinfo/4",
            "pos:\t0\n"
            "inotify wd:3 ino:2 sdev:800001 mask:fce ignored_mask:0 fhandle-bytes:8\n"
            "inotify wd:2 ino:5 sdev:800001 mask:fce ignored_mask:0 fhandle-bytes:8\n"
            " inotify wd:9\n"
            "xinotify wd:1\n"
            "note: inotify wd:4\n"
            "inotify wd\n"
            "inotify wd:\n"
            "\n"
            "inotify wd:1 ino:7");  // the last line has no newline
  proc.inotify("10", "5", 0);
  proc.fd("10", "6", "anon_inode:[eventpoll]");
  proc.file("10/fdinfo/6", "inotify wd:1\n");
  const ProcScan scan = proc.scan();
  expect_counts(scan, 1, 0);
  EXPECT_EQ(Strings{"10/worker/2/4"}, consumers(scan));
}

TEST(ProcScanInotify, LinkTextIsComparedAsAPath) {
  const struct {
    std::string text;
    bool instance;
  } cases[] = {
      {"anon_inode:inotify", true},      {"anon_inode:inotify/", true},
      {"anon_inode:inotify//", true},    {"anon_inode:inotify/.", true},
      {"/anon_inode:inotify", false},    {"./anon_inode:inotify", false},
      {"anon_inode:inotifyx", false},    {"anon_inode:inotify/x", false},
      {"x/anon_inode:inotify", false},   {"anon_inode:inotify/..", false},
      {"anon_inode:[eventpoll]", false}, {"anon_inode:fanotify", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FakeProc proc;
    proc.process("10");
    proc.fd("10", "4", c.text);
    proc.file("10/fdinfo/4", "inotify wd:1\n");
    const ProcScan scan = proc.scan();
    expect_counts(scan, 1, 0);
    EXPECT_EQ(c.instance ? Strings{"10/worker/1/1"} : Strings{}, consumers(scan));
  }
}

TEST(ProcScanInotify, FdinfoNamesAreTakenAsListed) {
  FakeProc proc;
  proc.process("10");
  proc.inotify("10", "x", 2);
  proc.inotify("10", "+4", 1);
  const ProcScan scan = proc.scan();
  expect_counts(scan, 1, 0);
  EXPECT_EQ(Strings{"10/worker/2/3"}, consumers(scan));
}

TEST(ProcScanInotify, OrdersByWatchesThenInstancesThenListing) {
  FakeProc proc;
  const std::pair<std::string, std::vector<int>> processes[] = {
      {"11", {2}},       {"12", {1, 1, 0}}, {"13", {5}},    {"14", {0}},
      {"15", {0, 2, 0}}, {"16", {}},        {"17", {2, 0}},
  };
  for (const auto& [pid, watches_per_instance] : processes) {
    proc.process(pid, "p" + pid + "\n");
    int n = 3;
    for (int watches : watches_per_instance) proc.inotify(pid, std::to_string(n++), watches);
  }
  // 12 and 15 tie on both keys; the listing decides between them.
  Strings ties;
  for (const std::string& pid : listing_order(proc.root())) {
    if (pid == "12" || pid == "15") ties.push_back(pid + "/p" + pid + "/3/2");
  }
  const ProcScan scan = proc.scan();
  expect_counts(scan, 7, 0);
  EXPECT_EQ((Strings{"13/p13/1/5", ties[0], ties[1], "17/p17/2/2", "11/p11/1/2", "14/p14/1/0"}),
            consumers(scan));
}

TEST(ProcScanInotify, OtherOwnersAreNeverConsumers) {
  if (!testing::running_as_root()) GTEST_SKIP() << "giving a directory to another user needs root";
  FakeProc proc;
  HeldOpen file(deleted_file(proc.files() + "/held", 100));
  for (const char* pid : {"10", "20"}) {
    proc.process(pid);
    proc.inotify(pid, "4", 3);
    proc.fd(pid, "5", file.link());
  }
  ASSERT_EQ(0, lchown((proc / "10").c_str(), 65534, 65534));
  // Never read for another owner, a missing fdinfo costs nothing.
  ASSERT_EQ(0, testing::shell("rm -r '" + proc / "10/fdinfo" + "'"));

  const ProcScan scan = proc.scan(file.device());
  expect_counts(scan, 2, 0);
  EXPECT_EQ(Strings{"20/worker/1/3"}, consumers(scan));
  ASSERT_EQ(1u, scan.deleted_open.size());
  EXPECT_EQ(2u, scan.deleted_open[0].holders.size());
}

std::string own_name() {
  std::string comm = testing::read_file("/proc/self/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

TEST(ProcScanRealProc, FindsOwnDeletedFile) {
  testing::TempDir dir;
  struct stat dir_status {};
  ASSERT_EQ(0, stat(dir.path().c_str(), &dir_status));
  HeldOpen file(deleted_file(dir / "held", 8192));

  const ProcScan scan = scan_processes(dir_status.st_dev);
  const auto found =
      std::find_if(scan.deleted_open.begin(), scan.deleted_open.end(),
                   [&](const DeletedOpenFile& f) { return f.inode == file.inode(); });
  ASSERT_NE(scan.deleted_open.end(), found);
  const DeletedOpenFile own = *found;
  EXPECT_EQ(dir_status.st_dev, own.device);
  EXPECT_EQ(dir / "held (deleted)", own.path);
  EXPECT_EQ(file.allocated_bytes(), own.allocated_bytes);
  EXPECT_EQ(Strings{std::to_string(getpid()) + "/" + own_name() + "/" + std::to_string(file.fd())},
            holders(own));
}

TEST(ProcScanRealProc, FindsOwnInotifyInstance) {
  testing::TempDir dir;
  HeldOpen instance(inotify_init1(IN_CLOEXEC));
  ASSERT_GE(inotify_add_watch(instance.fd(), dir.path().c_str(), IN_CREATE), 0);
  ASSERT_GE(inotify_add_watch(instance.fd(), "/", IN_CREATE), 0);

  const ProcScan scan = scan_processes(0);
  const auto own =
      std::find_if(scan.inotify_consumers.begin(), scan.inotify_consumers.end(),
                   [](const InotifyConsumer& c) { return c.pid == std::uint32_t(getpid()); });
  ASSERT_NE(scan.inotify_consumers.end(), own);
  EXPECT_EQ(std::to_string(getpid()) + "/" + own_name() + "/1/2", consumer(*own));
}

}  // namespace
}  // namespace brimful
