#include "process_findings.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "text.h"
#include "units.h"

namespace brimful {

namespace {

// How many processes near their descriptor limit, and how many of their
// descriptor kinds, a finding names; and how many other namespaces.
constexpr std::size_t kNamedProcesses = 5;
constexpr std::size_t kNamedKinds = 3;
// With this share of fs.file-max open, only root can still open files soon.
constexpr std::uint64_t kFileTableFullPercent = 95;

std::string process_text(const std::string& name, std::uint32_t pid) {
  return lossy_utf8(name) + " PID " + std::to_string(pid);
}

// "socket (40), pipe (12)"
std::string kinds_text(const ProcessDescriptors& descriptors) {
  std::string text;
  for (std::size_t i = 0; i < descriptors.kinds.size() && i < kNamedKinds; ++i) {
    text += (i == 0 ? "" : ", ") + descriptors.kinds[i].kind + " (" + grouped_number(descriptors.kinds[i].count) + ")";
  }
  return text;
}

// "NAME PID N (64 of 64 open files, 100.0%)"
std::string share_text(const ProcessDescriptors& descriptors) {
  return process_text(descriptors.process, descriptors.pid) + " (" + grouped_number(descriptors.open) + " of " +
         grouped_number(descriptors.limit) + " open files, " + percent_text(descriptors.open, descriptors.limit) + ")";
}

std::string leak_text(const ProcessDescriptors& descriptors) {
  const std::string kinds = kinds_text(descriptors);
  return kinds.empty() ? std::string()
                       : "; " + process_text(descriptors.process, descriptors.pid) + " holds mostly " + kinds;
}

// What differs in one view: the filesystem, or only whether it is mounted
// read-only.
std::string view_text(const OtherNamespaceView& view) {
  std::string text = process_text(view.process, view.pid) + " (" + lossy_utf8(view.fs_type) + " on " +
                     lossy_utf8(view.mount_point);
  if (view.same_filesystem) {
    text += view.read_only ? ", read-only there: its writes fail with EROFS" : ", writable there, read-only here";
  }
  return text + ")";
}

}  // namespace

std::optional<Finding> process_descriptor_limit(const RuleInput& in) {
  constexpr const char* fix = "fix: raise LimitNOFILE= (systemd) or `ulimit -n`, or find the leak";
  if (const std::optional<ProcessDescriptors>& own = in.facts.process_descriptors) {
    if (own->limit == 0 || !near_descriptor_limit(own->open, own->limit)) return std::nullopt;
    return finding("process_descriptor_limit",
                   share_text(*own) + " is at its own limit of open files or close to it: an open beyond " +
                       grouped_number(own->limit) + " fails with EMFILE (\"Too many open files\")",
                   fix + leak_text(*own));
  }
  std::vector<const ProcessDescriptors*> near;
  for (const ProcessDescriptors& holder : in.facts.crowded_holders) {
    if (holder.limit != 0 && near_descriptor_limit(holder.open, holder.limit)) near.push_back(&holder);
  }
  if (near.empty()) return std::nullopt;
  std::stable_sort(near.begin(), near.end(), [](const ProcessDescriptors* a, const ProcessDescriptors* b) {
    return static_cast<double>(a->open) / static_cast<double>(a->limit) >
           static_cast<double>(b->open) / static_cast<double>(b->limit);
  });
  if (near.size() > kNamedProcesses) near.resize(kNamedProcesses);
  std::string summary = "processes holding files on " + where(in.evidence) +
                        " are at their own limit of open files or close to it, so their next opens fail with "
                        "EMFILE (\"Too many open files\"): ";
  std::string remedy = fix;
  for (std::size_t i = 0; i < near.size(); ++i) {
    summary += (i == 0 ? "" : "; ") + share_text(*near[i]);
    remedy += leak_text(*near[i]);
  }
  return finding("process_descriptor_limit", summary, remedy);
}

std::optional<Finding> system_file_limit(const RuleInput& in) {
  const std::optional<FileTable>& table = in.facts.file_table;
  if (!table || !at_least_percent(table->allocated, table->maximum, kFileTableFullPercent)) return std::nullopt;
  return finding("system_file_limit",
                 "the system has " + grouped_number(table->allocated) + " open files against fs.file-max " +
                     grouped_number(table->maximum) + " (" + percent_text(table->allocated, table->maximum) +
                     "): new opens fail with ENFILE for every process that is not root",
                 "fix: raise fs.file-max (`sysctl -w fs.file-max=N`), or find the process that holds the most files");
}

std::optional<Finding> other_mount_namespace(const RuleInput& in) {
  const std::vector<OtherNamespaceView>& views = in.facts.other_namespace_views;
  if (views.empty()) return std::nullopt;
  const std::size_t same = static_cast<std::size_t>(
      std::count_if(views.begin(), views.end(), [](const OtherNamespaceView& view) { return view.same_filesystem; }));
  const char* where = same == 0             ? " where it lies on another filesystem than the one examined here: "
                      : same == views.size() ? " where the same filesystem is mounted with other flags than here: "
                                             : " where it lies on another filesystem than the one examined here, or "
                                               "on the same one mounted with other flags: ";
  std::string summary = "processes in another mount namespace use " + lossy_utf8(in.evidence.target) + where;
  std::string remedy = "check: rerun with --pid " + std::to_string(views.front().pid);
  for (std::size_t i = 0; i < views.size() && i < kNamedProcesses; ++i) {
    const OtherNamespaceView& view = views[i];
    summary += (i == 0 ? "" : "; ") + view_text(view);
    if (i > 0) remedy += (i + 1 == views.size() || i + 1 == kNamedProcesses ? " or --pid " : ", --pid ") +
                         std::to_string(view.pid);
  }
  return finding("other_mount_namespace", summary, remedy);
}

}  // namespace brimful
