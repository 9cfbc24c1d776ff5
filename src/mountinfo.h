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

// Every line of a mount table, strictly: one malformed line fails the whole
// table with "mountinfo line N: reason". The table is bytes: mount points
// and sources are paths, the type and the options are taken as lossy text.
Result<std::vector<Mount>> parse_mountinfo(std::string_view text);

// One line; the error is the bare reason.
Result<Mount> parse_mount_line(std::string_view line);

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
