// What --explain reads from places a user may fill or the kernel may write
// oddly: kernel log records, sysfs values, mount options, /proc/PID/status,
// stat and limits, and the ext4 superblock. The first byte picks the reader;
// the rest is its input. Beyond not crashing, a message counts for a device
// only behind the kernel's own prefix, and no parser invents what its input
// does not hold.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "facts.h"
#include "fuzz_check.h"
#include "kernellog.h"
#include "mountinfo.h"
#include "process_facts.h"
#include "procfs.h"
#include "superblock.h"
#include "sysfs.h"
#include "text.h"

namespace {

using namespace brimful;

constexpr std::string_view kDevice = "loop0";

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void kernel_log(std::string_view input) {
  std::vector<KernelMessage> log;
  for (std::string_view record : lines_of(input)) {
    const std::optional<KernelMessage> message = parse_kmsg_record(record);
    if (!message) continue;
    FUZZ_CHECK(message->level <= 7);
    FUZZ_CHECK(message->text.find('\n') == std::string::npos);
    const std::optional<std::string_view> body = message_about(message->text, kDevice);
    if (body) {
      // The body is what follows the prefix, and the prefix names the device.
      FUZZ_CHECK(body->data() >= message->text.data() &&
                 body->data() + body->size() == message->text.data() + message->text.size());
      const std::string_view prefix(message->text.data(), static_cast<std::size_t>(body->data() - message->text.data()));
      FUZZ_CHECK(prefix.find(kDevice) != std::string_view::npos);
    }
    FUZZ_CHECK(!starts_filesystem(message->text, kDevice) || body);
    log.push_back(*message);
  }
  const std::optional<std::vector<KernelMessage>> since = messages_since_start(log, {std::string(kDevice), "vda"});
  if (!since) return;
  FUZZ_CHECK(since->size() < log.size());
  for (const KernelMessage& message : *since) {
    FUZZ_CHECK(message_about(message.text, kDevice) || message_about(message.text, "vda"));
  }
}

void status_and_stat(std::string_view input) {
  const std::optional<std::array<std::uint32_t, 4>> uids = parse_status_ids(input, "Uid:");
  const std::optional<ProcessOwner> owner = parse_status_owner(input);
  FUZZ_CHECK(!owner || uids);
  (void)parse_status_sys_resource(input);
  (void)parse_process_stat(input);
  (void)parse_soft_limit(input, "Max open files");
  (void)parse_soft_limit(input, "Max msgqueue size");
  const std::size_t half = input.size() / 2;
  (void)parse_file_table(input.substr(0, half), input.substr(half));
  (void)parse_fuse_connection(input);
  if (parse_pid(input)) {
    FUZZ_CHECK(!input.empty() && std::all_of(input.begin(), input.end(), [](char c) { return c >= '0' && c <= '9'; }));
  }
}

void mount_options(std::string_view input) {
  for (std::string_view key : {"upperdir", "lowerdir", "resuid"}) {
    if (const std::optional<OsPath> value = parse_mount_option(input, 36, key)) {
      const OsPath path = overlay_option_path(*value);
      FUZZ_CHECK(path.size() <= value->size());
    }
  }
  FUZZ_CHECK(overlay_option_path(input).size() <= input.size());
}

constexpr const char* kTreeDirs[] = {"", "/fs", "/fs/ext4", "/fs/ext4/loop0"};
constexpr const char* kValueFile = "/fs/ext4/loop0/errors_count";

std::string tree;

// The tree goes when the fuzzer exits, as every run of brimful's leaves
// nothing behind.
void remove_tree() {
  ::unlink((tree + kValueFile).c_str());
  for (std::size_t i = std::size(kTreeDirs); i > 0; --i) ::rmdir((tree + kTreeDirs[i - 1]).c_str());
}

// A sysfs tree of one value per file, made once per fuzzing process.
const std::string& sys_root() {
  if (tree.empty()) {
    char name[] = "/tmp/brimful-explain-fuzz.XXXXXX";
    const char* made = ::mkdtemp(name);
    FUZZ_CHECK(made != nullptr);
    tree = made;
    for (const char* sub : kTreeDirs) ::mkdir((tree + sub).c_str(), 0700);
    std::atexit(remove_tree);
  }
  return tree;
}

void sysfs_values(std::string_view input) {
  const std::string file = sys_root() + kValueFile;
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  const bool written = write_all(fd, input) == 0;
  ::close(fd);
  FUZZ_CHECK(written);
  const std::optional<std::uint64_t> count = ext4_error_count(sys_root(), kDevice);
  // A value is one line: at most the kernel's newline ends it.
  if (count) {
    const std::string_view line = !input.empty() && input.back() == '\n' ? input.substr(0, input.size() - 1) : input;
    FUZZ_CHECK(!line.empty() && line.find_first_of("\n ") == std::string_view::npos);
  }
  if (input.size() > kSmallFileLimit) FUZZ_CHECK(!count);
}

void superblock(std::string_view input) {
  if (const std::optional<Ext4Superblock> block = parse_ext4_superblock(input)) {
    FUZZ_CHECK(block->block_size >= 1024 && (block->block_size & (block->block_size - 1)) == 0);
    FUZZ_CHECK(block->cluster_size >= block->block_size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0: kernel_log(input); break;
    case 1: status_and_stat(input); break;
    case 2: mount_options(input); break;
    case 3: sysfs_values(input); break;
    default: superblock(input); break;
  }
  return 0;
}
