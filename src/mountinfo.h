// The calling process's mount table and the mount that holds a path.
#ifndef BRIMFUL_MOUNTINFO_H
#define BRIMFUL_MOUNTINFO_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

namespace brimful {

// The mount holding an existing absolute path: found by the mount ID that
// statx reports, else by the longest mount point that is a component-wise
// prefix of the path; none when no line holds it (a chroot whose root is a
// plain directory). The table file is a parameter so tests can hand in
// their own.
Result<std::optional<Mount>> find_mount(const OsPath& path, const char* mountinfo_file = "/proc/self/mountinfo");

// How brimful's own mount table is read: with the kernel's mount calls
// where it has them (statx's unique mount ID, statmount(), listmount();
// Linux 6.8 and later, with every field brimful shows since 6.15), else from
// the mountinfo file under the /proc root. Both give the same records; the
// calls cost the same however many mounts the namespace holds.
enum class MountCalls { where_available, never };

// The mount holding an existing absolute path in brimful's own mount
// namespace and root, as find_mount finds it in proc_root's
// "self/mountinfo".
Result<std::optional<Mount>> find_own_mount(const OsPath& path, const OsPath& proc_root = "/proc",
                                            MountCalls calls = MountCalls::where_available);

// Every mount of brimful's own mount table whose mount point lies under its
// root, in no particular order.
Result<std::vector<Mount>> read_own_mounts(const OsPath& proc_root = "/proc",
                                           MountCalls calls = MountCalls::where_available);

// A mount of another process's namespace, with what its mountinfo line
// shows of it.
struct NamespaceMount {
  std::uint64_t id = 0;  // unique, as listmount() gives it
  std::uint64_t parent_id = 0;
  std::uint64_t device = 0;
  // Relative to the namespace's root, which is not the process's own root
  // where it was chrooted.
  OsPath mount_point;
  // As the line writes it: "fuse.sshfs", with the kernel's escapes.
  std::string fs_type;
  // The mount or its filesystem is read-only.
  bool read_only = false;
};

// A process's namespace as its mount calls list it, and where the process's
// root lies in it: a path relative to the namespace's root, on a mount.
struct NamespaceListing {
  std::vector<NamespaceMount> mounts;  // in the order of the mountinfo file
  OsPath root_path;
  std::uint64_t root_mount = 0;
  // The listing stopped at its deadline, with only the mounts listed so far.
  bool cut = false;
};

// The mount namespace of the process whose /proc directory this is, read
// with listmount() and statmount(); none where the kernel cannot list
// another namespace (before Linux 6.11, or without CAP_SYS_ADMIN over it),
// and the process's mountinfo file is left to read. The kernel writes each
// mount point by walking up the mounts under it, so a user's namespace of
// thousands of stacked mounts takes it seconds: past give_up_ms (on the
// monotonic clock; 0 for never) the listing stops, cut.
std::optional<NamespaceListing> list_process_mounts(const OsPath& process_dir, std::int64_t give_up_ms = 0);

// Every line of a mount table, strictly: one malformed line fails the whole
// table with "mountinfo line N: reason". The table is bytes: mount points
// and sources are paths, the type and the options are taken as lossy text.
Result<std::vector<Mount>> parse_mountinfo(std::string_view text);

// One line; the error is the bare reason.
Result<Mount> parse_mount_line(std::string_view line);

// The fields of one line that brimful reads, as the kernel wrote them
// (escaped, unredacted); the error is the bare reason, as above.
struct MountFields {
  std::string_view mount_id;
  std::string_view device;  // "98:0"
  std::string_view mount_point;
  std::string_view mount_options;
  std::string_view fs_type;
  std::string_view source;
  std::string_view super_options;
};
Result<MountFields> split_mount_line(std::string_view line);

// The unescaped value of a filesystem option of the mount with this ID in a
// mount table text, before any redaction.
std::optional<OsPath> parse_mount_option(std::string_view mountinfo, std::uint64_t mount_id, std::string_view key);

// Undoes the kernel's \ooo octal escapes. The result is a path: any bytes.
Result<OsPath> unescape_mount_field(std::string_view field);

// Hides the value of options that may carry secrets or private paths.
std::string redact_option(std::string_view option);

// The mount chosen for path from a parsed table: the first entry with the
// given mount ID, else the mount-point fallback. Null when nothing matches.
const Mount* select_mount(const std::vector<Mount>& table, std::string_view path,
                          std::optional<std::uint64_t> mount_id);

}  // namespace brimful

#endif  // BRIMFUL_MOUNTINFO_H
