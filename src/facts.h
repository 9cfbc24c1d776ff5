// The facts that only findings ask for. They are gathered with --explain
// alone, only by reading, each by a small reader named after its source.
#ifndef BRIMFUL_FACTS_H
#define BRIMFUL_FACTS_H

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "os.h"
#include "probe.h"
#include "process_facts.h"

namespace brimful {

struct ExplainFacts {
  // From /proc/self/status: the user ID brimful runs with.
  std::optional<std::uint32_t> effective_uid;
  // From /proc/self/limits: brimful's soft limit of open files; none also
  // when it is "unlimited".
  std::optional<std::uint64_t> open_files_limit;
  // From /proc/sys/fs/inotify and /proc/sys/user.
  InotifyLimitFiles inotify_limit_files;

  // Descriptor limits and other mount namespaces.
  // With a process to speak for: its descriptors against its own limit.
  std::optional<ProcessDescriptors> process_descriptors;
  // Otherwise: the processes near their own limit that hold files on the
  // target's filesystem.
  std::vector<ProcessDescriptors> crowded_holders;
  // From /proc/sys/fs/file-nr and file-max.
  std::optional<FileTable> file_table;
  // Otherwise: processes that see the target on another filesystem.
  std::vector<OtherNamespaceView> other_namespace_views;
};

// Where the readers look; tests point them at a tree they built.
struct FactSources {
  OsPath proc = "/proc";
  // The process the report speaks for, if any.
  std::optional<std::uint32_t> process;
  // The report's target and probe directory; the readers that look for
  // other users of the filesystem skip when they are empty.
  OsPath target;
  OsPath probe_directory;
};

// Every reader once. A fact that cannot be read stays absent.
ExplainFacts gather_explain_facts(const FactSources& sources = {});

// The readers and the parsers of what they read.
std::optional<std::uint32_t> read_effective_uid(const OsPath& proc_root);
std::optional<std::uint32_t> parse_status_effective_uid(std::string_view status);
std::optional<std::uint64_t> read_open_files_limit(const OsPath& proc_root);
std::optional<std::uint64_t> parse_limits_open_files(std::string_view limits);

}  // namespace brimful

#endif  // BRIMFUL_FACTS_H
