#include "kernellog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "text.h"

namespace brimful {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// What follows BEFORE and then the device's name at the start of the text.
std::optional<std::string_view> after_device(std::string_view text, std::string_view before,
                                             std::string_view device) {
  if (!starts_with(text, before)) return std::nullopt;
  text.remove_prefix(before.size());
  if (!starts_with(text, device)) return std::nullopt;
  return text.substr(device.size());
}

bool is_level_word(std::string_view word) {
  if (word.empty() || word.size() > 9) return false;
  for (char c : word) {
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

// The block layer's "%s error, dev %s, sector ..." names, from blk_errors.
bool is_block_error(std::string_view name) {
  for (std::string_view known : {"I/O", "critical space allocation", "critical medium", "critical target",
                                 "critical nexus", "recoverable transport", "timeout", "protection",
                                 "operation not supported", "resource", "device resource"}) {
    if (name == known) return true;
  }
  return false;
}

// The kernel hands out at most one record of this many bytes per read.
constexpr std::size_t kRecordMax = 8192;
// The largest ring buffer the kernel can be built with (CONFIG_LOG_BUF_SHIFT).
constexpr std::size_t kLogMax = std::size_t{32} << 20;

}  // namespace

std::optional<KernelMessage> parse_kmsg_record(std::string_view record) {
  const std::size_t semicolon = record.find(';');
  if (semicolon == std::string_view::npos) return std::nullopt;
  const std::string_view prefix = record.substr(0, semicolon);
  std::string_view fields[4];
  std::size_t count = 0;
  std::size_t start = 0;
  while (count < 4) {
    const std::size_t comma = prefix.find(',', start);
    fields[count++] = prefix.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (count < 3) return std::nullopt;
  const std::optional<std::uint64_t> sequence = parse_unsigned(fields[1], UINT64_MAX);
  const std::optional<std::uint64_t> usec = parse_unsigned(fields[2], UINT64_MAX);
  const std::optional<std::uint64_t> priority = parse_unsigned(fields[0], UINT32_MAX);
  if (!priority || !sequence || !usec) return std::nullopt;
  std::string_view text = record.substr(semicolon + 1);
  text = text.substr(0, text.find('\n'));
  // The priority carries the facility above the level's three bits.
  return KernelMessage{static_cast<std::uint32_t>(*priority & 7), *sequence, *usec, std::string(text)};
}

std::optional<std::vector<KernelMessage>> read_kernel_log(const OsPath& kmsg_path) {
  const UniqueFd fd(::open(kmsg_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  // The kernel log device itself (1:11), or a file standing in for it; never
  // another device, which may never run dry (/dev/zero).
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 ||
      !(S_ISREG(status.st_mode) || (S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 11)))) {
    return std::nullopt;
  }
  std::vector<KernelMessage> log;
  std::string buffer(kRecordMax, '\0');
  // The ring buffer holds at most 32 MiB; a log that keeps coming is cut
  // there. A record overwritten before it was read counts as a whole one:
  // a log written faster than it is read would otherwise be read forever.
  for (std::size_t total = 0; total < kLogMax;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    // EPIPE: the record was overwritten while we read; the next one follows.
    if (n < 0 && errno == EPIPE) {
      total += kRecordMax;
      continue;
    }
    if (n <= 0) break;  // EAGAIN: nothing more without waiting
    total += static_cast<std::size_t>(n);
    if (std::optional<KernelMessage> message = parse_kmsg_record({buffer.data(), static_cast<std::size_t>(n)})) {
      log.push_back(std::move(*message));
    }
  }
  return log;
}

std::optional<std::string_view> message_about(std::string_view text, std::string_view device) {
  if (device.empty()) return std::nullopt;
  for (std::string_view filesystem : {"EXT4-fs (", "XFS (", "F2FS-fs (", "FAT-fs (", "erofs (device ",
                                      "erofs: (device "}) {
    const std::optional<std::string_view> rest = after_device(text, filesystem, device);
    if (rest && starts_with(*rest, "): ")) return rest->substr(3);
  }
  // "EXT4-fs warning (device loop0): ", "EXT4-fs error (device loop0) in ",
  // "BTRFS error (device loop0 state EA): "
  for (std::string_view filesystem : {"EXT4-fs ", "BTRFS "}) {
    if (!starts_with(text, filesystem)) continue;
    const std::string_view rest = text.substr(filesystem.size());
    const std::size_t level_end = rest.find(' ');
    if (level_end == std::string_view::npos || !is_level_word(rest.substr(0, level_end))) continue;
    std::optional<std::string_view> tail = after_device(rest.substr(level_end), " (device ", device);
    if (!tail) continue;
    if (starts_with(*tail, " state ")) {
      const std::size_t close = tail->find(')');
      if (close == std::string_view::npos) continue;
      tail = tail->substr(close);
    }
    if (starts_with(*tail, "): ")) return tail->substr(3);
    if (starts_with(*tail, ") ")) return tail->substr(2);
  }
  // "loop0: detected capacity change from 0 to 8192"
  if (starts_with(device, "loop")) {
    const std::optional<std::string_view> rest = after_device(text, "", device);
    if (rest && starts_with(*rest, ": ")) return rest->substr(2);
  }
  // "I/O error, dev loop0, sector 8 op 0x1:(WRITE) ...", which older kernels
  // begin with the function that logged it.
  std::string_view block = text;
  for (std::string_view function : {"blk_update_request: ", "print_req_error: "}) {
    if (starts_with(block, function)) block.remove_prefix(function.size());
  }
  const std::size_t error = block.find(" error, dev ");
  if (error != std::string_view::npos && is_block_error(block.substr(0, error))) {
    const std::optional<std::string_view> rest = after_device(block.substr(error), " error, dev ", device);
    if (rest && starts_with(*rest, ",")) return rest->substr(1);
  }
  // "Buffer I/O error on dev loop0, logical block 0, async page read"
  if (const std::optional<std::string_view> rest = after_device(text, "Buffer I/O error on dev ", device)) {
    if (starts_with(*rest, ",")) return rest->substr(1);
  }
  // jbd2 names the journal after the device and its inode: "loop0-8".
  if (const std::optional<std::string_view> rest = after_device(text, "Aborting journal on device ", device)) {
    if (starts_with(*rest, "-")) return rest->substr(1);
  }
  return std::nullopt;
}

bool starts_filesystem(std::string_view text, std::string_view device) {
  const std::optional<std::string_view> body = message_about(text, device);
  if (!body) return false;
  if (starts_with(text, device)) return starts_with(*body, "detected capacity change");
  for (std::string_view marker : {"mounted filesystem", "Mounting V", "first mount of filesystem",
                                  "mounted with root inode", "Mounted with checkpoint version"}) {
    if (starts_with(*body, marker)) return true;
  }
  return false;
}

std::optional<std::vector<KernelMessage>> messages_since_start(const std::vector<KernelMessage>& log,
                                                               const std::vector<std::string>& devices) {
  if (devices.empty()) return std::nullopt;
  std::size_t first = log.size() + 1;
  for (std::size_t i = log.size(); i > 0; --i) {
    if (starts_filesystem(log[i - 1].text, devices.front())) {
      first = i;
      break;
    }
  }
  if (first > log.size()) return std::nullopt;
  std::vector<KernelMessage> messages;
  for (std::size_t i = first; i < log.size(); ++i) {
    for (const std::string& device : devices) {
      if (message_about(log[i].text, device)) {
        messages.push_back(log[i]);
        break;
      }
    }
  }
  return messages;
}

}  // namespace brimful
