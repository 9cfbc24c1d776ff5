// The kernel log as /dev/kmsg hands it out, one record per read, and the
// messages in it that speak of one block device.
#ifndef BRIMFUL_KERNELLOG_H
#define BRIMFUL_KERNELLOG_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"

namespace brimful {

struct KernelMessage {
  // 0 (emergency) to 7 (debug); 4 is a warning, 6 information.
  std::uint32_t level = 6;
  std::uint64_t sequence = 0;
  // Microseconds on the monotonic clock when the kernel logged it.
  std::uint64_t timestamp_usec = 0;
  // The text as the kernel escapes it (unprintable bytes as \xHH).
  std::string text;
};

// One record, "6,453,1952458128,-;EXT4-fs (loop0): mounted filesystem ...",
// possibly followed by " KEY=VALUE" lines, which are dropped. None when the
// record is malformed.
std::optional<KernelMessage> parse_kmsg_record(std::string_view record);

// Every record still in the ring buffer, read without blocking; none when
// the log cannot be opened (it needs root or kernel.dmesg_restrict=0).
std::optional<std::vector<KernelMessage>> read_kernel_log(const OsPath& kmsg_path = "/dev/kmsg");

// True when the text names the device as a word of its own: "(loop0)",
// "loop0:", "device loop0)", "dev loop0," but never "loop01".
bool names_device(std::string_view text, std::string_view device);

// True for the message a filesystem logs when it is mounted.
bool is_mount_message(std::string_view text);

// The messages that name any of the devices, oldest first, after the last
// mount message of the first device: a device name is reused by the next
// filesystem that gets it, so what came before its last mount belongs to
// another one. All of them when no mount message is left in the buffer.
std::vector<KernelMessage> messages_since_mount(const std::vector<KernelMessage>& log,
                                                const std::vector<std::string>& devices);

}  // namespace brimful

#endif  // BRIMFUL_KERNELLOG_H
