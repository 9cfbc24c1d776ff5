// The facts that only findings ask for. They are gathered with --explain
// alone, only by reading, each by a small reader named after its source.
#ifndef BRIMFUL_FACTS_H
#define BRIMFUL_FACTS_H

#include <cstdint>
#include <optional>
#include <string_view>

#include "os.h"
#include "probe.h"

namespace brimful {

struct ExplainFacts {
  // From /proc/self/status: the user ID brimful runs with.
  std::optional<std::uint32_t> effective_uid;
  // From /proc/self/limits: brimful's soft limit of open files; none also
  // when it is "unlimited".
  std::optional<std::uint64_t> open_files_limit;
  // From /proc/sys/fs/inotify and /proc/sys/user.
  InotifyLimitFiles inotify_limit_files;
};

// Where the readers look; tests point them at a tree they built.
struct FactSources {
  OsPath proc = "/proc";
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
