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

// The text after the kernel's own prefix for the device, when the message
// begins with one: "EXT4-fs (loop0): ", "EXT4-fs error (device loop0): ",
// "XFS (loop0): ", "BTRFS info (device loop0 state EA): ", "erofs (device
// loop0): ", "loop0: ", "I/O error, dev loop0, ", "Buffer I/O error on dev
// loop0, ", "Aborting journal on device loop0-8.". None when the device's
// name appears anywhere else: messages that quote what a user wrote (a
// mount option, a process name) must not speak for a filesystem.
std::optional<std::string_view> message_about(std::string_view text, std::string_view device);

// True for the message with which a filesystem on the device starts: its
// mount line ("EXT4-fs (loop0): mounted filesystem", "XFS (loop0): Mounting
// V5 Filesystem", "BTRFS info (device loop0): first mount of filesystem",
// "erofs (device loop0): mounted with root inode") or, for a loop device,
// the capacity change with which it takes a backing file (squashfs logs no
// mount line).
bool starts_filesystem(std::string_view text, std::string_view device);

// The messages about any of the devices, oldest first, after the latest
// start of the filesystem on the first device: a device name is reused by
// the next filesystem that gets it, so what came before belongs to another
// one. None when no start is left in the buffer, since then nothing tells
// this filesystem's messages from an earlier one's.
std::optional<std::vector<KernelMessage>> messages_since_start(const std::vector<KernelMessage>& log,
                                                               const std::vector<std::string>& devices);

}  // namespace brimful

#endif  // BRIMFUL_KERNELLOG_H
