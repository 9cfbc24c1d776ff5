#include "facts.h"

#include <sys/stat.h>

#include <vector>

#include "text.h"

namespace brimful {

namespace {

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The blank-separated words of one line.
std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) words.push_back(line.substr(start, pos - start));
  }
  return words;
}

std::optional<std::string> read_text(const OsPath& path) {
  std::string text;
  if (read_whole_file(path.c_str(), text) != 0) return std::nullopt;
  return text;
}

// The device of the examined filesystem: the target's, or the probe
// directory's when the target does not exist.
std::optional<std::uint64_t> device_of(const FactSources& sources) {
  for (const OsPath* path : {&sources.target, &sources.probe_directory}) {
    struct stat status {};
    if (!path->empty() && path->find('\0') == OsPath::npos && ::stat(path->c_str(), &status) == 0) {
      return status.st_dev;
    }
  }
  return std::nullopt;
}

}  // namespace

// "Uid:\t1000\t1000\t1000\t1000": real, effective, saved, filesystem.
std::optional<std::uint32_t> parse_status_effective_uid(std::string_view status) {
  for (std::string_view line : lines_of(status)) {
    const std::vector<std::string_view> words = words_of(line);
    if (words.empty() || words[0] != "Uid:") continue;
    if (words.size() < 3) return std::nullopt;
    const std::optional<std::uint64_t> uid = parse_unsigned(words[2], UINT32_MAX);
    if (!uid) return std::nullopt;
    return static_cast<std::uint32_t>(*uid);
  }
  return std::nullopt;
}

// "Max open files            1024                 1048576              files"
std::optional<std::uint64_t> parse_limits_open_files(std::string_view limits) {
  constexpr std::string_view name = "Max open files";
  for (std::string_view line : lines_of(limits)) {
    if (line.substr(0, name.size()) != name) continue;
    const std::vector<std::string_view> words = words_of(line.substr(name.size()));
    if (words.empty()) return std::nullopt;
    return parse_unsigned(words[0], UINT64_MAX);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> read_effective_uid(const OsPath& proc_root) {
  const std::optional<std::string> text = read_text(proc_root + "/self/status");
  return text ? parse_status_effective_uid(*text) : std::nullopt;
}

std::optional<std::uint64_t> read_open_files_limit(const OsPath& proc_root) {
  const std::optional<std::string> text = read_text(proc_root + "/self/limits");
  return text ? parse_limits_open_files(*text) : std::nullopt;
}

ExplainFacts gather_explain_facts(const FactSources& sources) {
  ExplainFacts facts;
  facts.effective_uid = read_effective_uid(sources.proc);
  facts.open_files_limit = read_open_files_limit(sources.proc);
  facts.inotify_limit_files = read_inotify_limit_files(sources.proc + "/sys");

  facts.file_table = read_file_table(sources.proc);
  if (sources.process) {
    facts.process_descriptors = read_process_descriptors(sources.proc, *sources.process);
  } else if (const std::optional<std::uint64_t> device = device_of(sources)) {
    facts.crowded_holders = read_crowded_holders(sources.proc, *device);
    facts.other_namespace_views = read_other_namespace_views(sources.proc, sources.target, *device);
  }
  return facts;
}

}  // namespace brimful
