// The fast process scan against the literal one on generated /proc trees:
// processes with odd entry names, comm texts, fd and fdinfo directories that
// are missing or no directory, descriptors that lead to deleted files on the
// target, to files elsewhere, to inotify instances or nowhere, fdinfo
// entries with watch lines, unreadable or missing, and leaders that have
// exited with their descriptors under another thread. Both scans must give
// the same record, on one thread and on two.
//
// The tree keeps to what the kernel shows where the fast scan's status
// filter is documented to differ: every fd entry is a link, an fdinfo that
// is no directory goes with a table holding an instance, and an exited
// leader shows an empty fd directory beside a thread that has one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "literal_scan.h"
#include "procscan.h"
#include "report.h"

namespace {

// Reads the input a choice at a time; an exhausted input chooses 0.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t pick(std::size_t n) { return at_ < size_ ? data_[at_++] % n : 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void write_file(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
  ::close(fd);
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

void make_dir(const std::string& path) { FUZZ_CHECK(::mkdir(path.c_str(), 0755) == 0); }
void make_link(const std::string& target, const std::string& path) {
  FUZZ_CHECK(::symlink(target.c_str(), path.c_str()) == 0);
}

// What the fake descriptors lead to, made once: deleted files of three sizes
// held open by this process, a file that keeps its name, and the target's
// device.
struct Files {
  std::string dir;
  std::vector<std::string> links;  // /proc/self/fd/N of each open file
  std::uint64_t device = 0;

  Files() {
    char pattern[] = "/tmp/brimful-scan-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern) != nullptr);
    dir = pattern;
    for (std::size_t size : {0, 4096, 3 * 4096, 100}) {
      const std::string path = dir + "/file" + std::to_string(size);
      write_file(path, std::string(size, 'x'));
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      FUZZ_CHECK(fd >= 0);
      // The last one keeps its name.
      if (size != 100) FUZZ_CHECK(::unlink(path.c_str()) == 0);
      links.push_back("/proc/self/fd/" + std::to_string(fd));
    }
    struct stat status {};
    FUZZ_CHECK(::stat(dir.c_str(), &status) == 0);
    device = status.st_dev;
    // Removed when the fuzzer exits; after a finding the tree stays to look at.
    static const std::string kept = dir;
    std::atexit([] { std::filesystem::remove_all(kept); });
  }
};

const char* const kPids[] = {"10", "11", "12", "+13", "007", "4294967296", "x", "20"};
const char* const kFds[] = {"3", "4", "5", "6", "-1", "+7", "x", "2147483648", "08"};
const char* const kComms[] = {"worker\n", " spaced  \n", "\xff\xfe\n", ""};

// Fills one descriptor table: fd links, and fdinfo as a directory, missing,
// or (only beside an instance) a file.
void make_table(Choices& in, const Files& files, const std::string& at) {
  make_dir(at + "/fd");
  bool instance = false;
  std::vector<std::string> names;
  for (std::size_t n = in.pick(6); n > 0; --n) {
    const std::string name = kFds[in.pick(std::size(kFds))];
    if (exists(at + "/fd/" + name)) continue;
    const std::size_t kind = in.pick(files.links.size() + 5);
    std::string target;
    if (kind < files.links.size()) {
      target = files.links[kind];
    } else {
      const char* const others[] = {"anon_inode:inotify", "anon_inode:[eventfd]", "socket:[1]", "gone", ""};
      target = others[kind - files.links.size()];
      if (target.empty()) target = name;  // a link loop
    }
    instance = instance || target == "anon_inode:inotify";
    make_link(target, at + "/fd/" + name);
    names.push_back(name);
  }
  const std::size_t infos = in.pick(4);
  if (infos == 1) return;
  if (infos == 2 && instance) {
    write_file(at + "/fdinfo", "");
    return;
  }
  make_dir(at + "/fdinfo");
  for (const std::string& name : names) {
    const std::string path = at + "/fdinfo/" + name;
    switch (in.pick(5)) {
      case 0: break;
      case 1: make_dir(path); break;
      case 2: write_file(path, "pos:\t0\ninotify wd:1 ino:2\n\xff"); break;
      default: {
        std::string text = "pos:\t0\nflags:\t00\n";
        for (std::size_t w = in.pick(4); w > 0; --w) text += "inotify wd:" + std::to_string(w) + " ino:2\n";
        write_file(path, text);
      }
    }
  }
}

void make_process(Choices& in, const Files& files, const std::string& root, const std::string& pid) {
  const std::string at = root + "/" + pid;
  switch (in.pick(8)) {
    case 0: make_link("gone", at); return;
    case 1: write_file(at, ""); return;
    default: break;
  }
  make_dir(at);
  const std::size_t comm = in.pick(std::size(kComms) + 1);
  if (comm < std::size(kComms)) write_file(at + "/comm", kComms[comm]);
  if (in.pick(4) == 0) {
    // A leader that has exited: its table is its lowest other thread's.
    write_file(at + "/stat", "1 (a) b) Z 1 0");
    make_dir(at + "/fd");
    make_dir(at + "/task");
    make_dir(at + "/task/" + pid);
    const std::string thread = at + "/task/9" + std::to_string(in.pick(3));
    make_dir(thread);
    make_table(in, files, thread);
    return;
  }
  if (in.pick(2) == 0) write_file(at + "/stat", "1 (a) R 1 0");
  switch (in.pick(8)) {
    case 0: return;  // no fd directory
    case 1: write_file(at + "/fd", ""); return;
    default: make_table(in, files, at);
  }
}

std::string describe(const brimful::ProcScan& scan) {
  std::string text = std::to_string(scan.processes_scanned) + " scanned, " +
                     std::to_string(scan.processes_inaccessible) + " inaccessible, " +
                     std::to_string(scan.processes_leader_exited) + " through a thread, " +
                     (scan.complete ? "complete" : "incomplete") + "\n";
  for (const brimful::DeletedOpenFile& file : scan.deleted_open) {
    text += std::to_string(file.device) + ":" + std::to_string(file.inode) + " " + std::string(file.path) + " " +
            std::to_string(file.allocated_bytes);
    for (const brimful::Holder& holder : file.holders) {
      text += " " + std::to_string(holder.pid) + "/" + std::string(holder.process) + "/" + std::to_string(holder.fd);
    }
    text += "\n";
  }
  for (const brimful::InotifyConsumer& c : scan.inotify_consumers) {
    text += std::to_string(c.pid) + "/" + c.process + " " + std::to_string(c.instances) + "/" +
            std::to_string(c.watches) + "\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Files files;
  Choices in(data, size);
  const std::string root = files.dir + "/proc";
  make_dir(root);
  for (std::size_t n = in.pick(5); n > 0; --n) {
    const std::string pid = kPids[in.pick(std::size(kPids))];
    if (exists(root + "/" + pid)) continue;
    make_process(in, files, root, pid);
  }
  std::vector<std::uint64_t> devices;
  switch (in.pick(3)) {
    case 0: devices = {files.device}; break;
    case 1: devices = {0}; break;
    default: devices = {0, files.device};
  }
  brimful::ScanSettings settings;
  settings.method = brimful::ScanMethod::proc_only;
  // Another user's processes count for deleted files only.
  if (in.pick(4) == 0) settings.consumer_uid = ::getuid() + 1;
  const std::string literal = describe(brimful::literal_scan(devices, root, settings));
  for (unsigned threads : {1u, 2u}) {
    settings.threads = threads;
    const std::string fast = describe(brimful::scan_processes(devices, root, settings));
    if (fast != literal) {
      std::fprintf(stderr, "threads %u\n--- literal:\n%s--- fast:\n%s", threads, literal.c_str(), fast.c_str());
      std::abort();
    }
  }
  std::filesystem::remove_all(root);
  return 0;
}
