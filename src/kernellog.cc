#include "kernellog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "text.h"

namespace brimful {

namespace {

bool is_name_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// The kernel hands out at most one record of this many bytes per read.
constexpr std::size_t kRecordMax = 8192;

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
  const int fd = ::open(kmsg_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<KernelMessage> log;
  std::string buffer(kRecordMax, '\0');
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    // EPIPE: the record was overwritten while we read; the next one follows.
    if (n < 0 && errno == EPIPE) continue;
    if (n <= 0) break;  // EAGAIN: nothing more without waiting
    if (std::optional<KernelMessage> message = parse_kmsg_record({buffer.data(), static_cast<std::size_t>(n)})) {
      log.push_back(std::move(*message));
    }
  }
  ::close(fd);
  return log;
}

bool names_device(std::string_view text, std::string_view device) {
  if (device.empty()) return false;
  for (std::size_t at = text.find(device); at != std::string_view::npos; at = text.find(device, at + 1)) {
    const std::size_t end = at + device.size();
    if ((at == 0 || !is_name_byte(text[at - 1])) && (end == text.size() || !is_name_byte(text[end]))) return true;
  }
  return false;
}

bool is_mount_message(std::string_view text) {
  // ext4 "mounted filesystem", XFS "Mounting V5 Filesystem", btrfs
  // "first mount of filesystem".
  for (std::string_view marker : {"mounted filesystem", "Mounting V", "first mount of filesystem"}) {
    if (text.find(marker) != std::string_view::npos) return true;
  }
  return false;
}

std::vector<KernelMessage> messages_since_mount(const std::vector<KernelMessage>& log,
                                                const std::vector<std::string>& devices) {
  std::vector<KernelMessage> messages;
  if (devices.empty()) return messages;
  std::size_t first = 0;
  for (std::size_t i = log.size(); i > 0; --i) {
    if (is_mount_message(log[i - 1].text) && names_device(log[i - 1].text, devices.front())) {
      first = i;
      break;
    }
  }
  for (std::size_t i = first; i < log.size(); ++i) {
    for (const std::string& device : devices) {
      if (names_device(log[i].text, device)) {
        messages.push_back(log[i]);
        break;
      }
    }
  }
  return messages;
}

}  // namespace brimful
