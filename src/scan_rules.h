// The rules the process scan applies to what /proc shows it, shared by the
// fast scan and the literal scan: how a name becomes a descriptor, what
// counts as a deleted-open file or an inotify instance, which errors mean
// that a process has gone, and which thread's table stands for a process
// whose leader has exited.
#ifndef BRIMFUL_SCAN_RULES_H
#define BRIMFUL_SCAN_RULES_H

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os.h"
#include "procfs.h"
#include "report.h"

namespace brimful {

// An fd entry: an optional sign and digits, within 32 signed bits.
std::optional<std::int32_t> parse_descriptor(std::string_view name);
// A descriptor link that, compared as a path, is "anon_inode:inotify".
bool is_inotify_instance(std::string_view link);
// The lines of an fdinfo text that begin with "inotify wd:".
std::uint64_t count_watch_lines(std::string_view text);
// The state letter of a /proc/PID/stat text ('Z' for a leader that has
// exited while other threads of its process run on).
std::optional<char> process_state(std::string_view stat);

namespace scan {

// The filesystems whose deleted files a scan reports, by st_dev, ascending:
// one for a path, every one examined for the host.
using TargetDevices = std::vector<std::uint64_t>;
using FileKey = std::pair<std::uint64_t, std::uint64_t>;  // (device, inode)

// The link text a deleted file is reported under when its link cannot be read.
constexpr std::string_view kUnreadableDeletedPath = "<deleted file>";
// Most link texts fit; the buffer grows for longer ones.
constexpr std::size_t kLinkBufferSize = 256;

std::uint64_t allocated_bytes(blkcnt_t blocks);
bool is_deleted_file_on(const struct stat& status, const TargetDevices& devices);

// A process that exits while it is scanned shows as ESRCH from any step, or
// as ENOENT while its fd or fdinfo directory is opened or listed. It is then
// passed over like one that was gone before the scan reached it.
inline bool vanished(int error) { return error == ESRCH; }
inline bool listing_vanished(int error) { return error == ESRCH || error == ENOENT; }
// brimful running out of descriptors is its own limit, and the report says
// so apart from permissions.
inline bool exhausted(int error) { return error == EMFILE || error == ENFILE; }

// Most watches first, then most instances; the listing order among equals.
void sort_consumers(std::vector<InotifyConsumer>& consumers);
// The record of a scan whose /proc could not be listed at all.
ProcScan unlistable_root(int error);

// A process whose leader has exited shows an empty fd directory, while its
// other threads may still share a table full of descriptors, under
// task/TID: the lowest-numbered of them stands for the process, as in the
// kernel's walk. Opens that thread's directory, or gives an invalid
// descriptor when the leader is alive or no other thread is left; error is
// the errno of a step that failed for another reason than that.
UniqueFd open_remaining_thread(int process_fd, std::uint32_t pid, std::string& buffer, int& error);

}  // namespace scan
}  // namespace brimful

#endif  // BRIMFUL_SCAN_RULES_H
