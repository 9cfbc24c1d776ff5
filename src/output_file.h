// Replacing the file another program reads (node_exporter's textfile
// collector) with a new report, safely when that file's directory belongs to
// root and the reader runs as another user.
#ifndef BRIMFUL_OUTPUT_FILE_H
#define BRIMFUL_OUTPUT_FILE_H

#include <sys/types.h>

#include <string_view>

#include "os.h"

namespace brimful {

struct Replaced {};

// Puts content in place of file, whole: a reader sees the old file or the new
// one, never a part. Each directory on the way is opened once, relative to
// the one before, without following a symbolic link; the last one must be
// writable by no one but root and the user brimful runs as (ancestors may be
// sticky and world-writable, like /tmp, since no one else can then replace
// what is in them). The new file is made in that directory's descriptor
// (unnamed where the filesystem allows it, else under a fresh name that no
// existing file or link can take), given mode with fchmod, synced, and
// renamed over file; nothing is ever reopened by name. When any step fails,
// the previous file stays as it was and the error names the step.
Result<Replaced> replace_file(const OsPath& file, std::string_view content, mode_t mode);

}  // namespace brimful

#endif  // BRIMFUL_OUTPUT_FILE_H
