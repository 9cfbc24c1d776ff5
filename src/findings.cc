#include "findings.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "finding_rule.h"
#include "process_findings.h"
#include "space_findings.h"
#include "storage_findings.h"

namespace brimful {

namespace {

// The order of this table is the order of the report.
constexpr Rule kRules[] = {
    reserved_space_only, nearly_full,       deleted_open_space, scan_unprivileged,
    namespace_inotify_limit, tmpfs_inode_limit, descriptor_limit,
    // Under the filesystem.
    filesystem_not_responding, kernel_messages, directory_full, loop_backing_full, filesystem_errors, overlay_upper, btrfs_allocation,
    btrfs_read_only_subvolume,
    xfs_inode_limit, xfs_free_space_fragmented, fuse_backend, mqueue_queue_limit, mqueue_byte_limit,
    // As the application sees it.
    process_descriptor_limit, system_file_limit, other_mount_namespace,
};

// The kinds that name a cause of ENOSPC, and those among them that count
// inodes exactly where statvfs alone does not.
constexpr std::string_view kExplainsEnospc[] = {
    "reserved_space_only", "nearly_full",      "tmpfs_inode_limit", "directory_full",
    "loop_backing_full",   "btrfs_allocation", "xfs_inode_limit",   "xfs_free_space_fragmented",
    "fuse_backend",        "mqueue_queue_limit", "mqueue_byte_limit",
};
constexpr std::string_view kCountsInodes[] = {"tmpfs_inode_limit", "xfs_inode_limit"};

// How kinds_among names a single finding.
constexpr std::string_view kOneFinding = "the finding ";

template <std::size_t N>
std::string kinds_among(const std::vector<Finding>& findings, const std::string_view (&kinds)[N]) {
  std::vector<std::string> named;
  for (const Finding& f : findings) {
    if (std::find(std::begin(kinds), std::end(kinds), f.kind) != std::end(kinds)) named.push_back(f.kind);
  }
  std::string text;
  for (std::size_t i = 0; i < named.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == named.size() ? " and " : ", ") + named[i];
  }
  return named.size() == 1 ? std::string(kOneFinding) + text : named.empty() ? text : "the findings " + text;
}

constexpr std::string_view kUnexplained = "the observed ENOSPC is not explained by the checks supported by brimful";
constexpr std::string_view kNotCounted = ", but fixed inode accounting is not supported for confirmation";

}  // namespace

std::vector<std::string> notes_beside(const std::vector<std::string>& notes, const std::vector<Finding>& findings) {
  const std::string explaining = kinds_among(findings, kExplainsEnospc);
  const std::string counting = kinds_among(findings, kCountsInodes);
  std::vector<std::string> worded;
  for (const std::string& note : notes) {
    const bool not_counted = note.size() > kNotCounted.size() &&
                             note.compare(note.size() - kNotCounted.size(), kNotCounted.size(), kNotCounted) == 0;
    if (note == kUnexplained && !explaining.empty()) {
      const bool one = explaining.compare(0, kOneFinding.size(), kOneFinding) == 0;
      worded.push_back("the checks behind the verdict do not explain the observed ENOSPC; " + explaining +
                       (one ? " does" : " do"));
    } else if (not_counted && !counting.empty()) {
      worded.push_back(note.substr(0, note.size() - kNotCounted.size()) +
                       ", which the verdict alone cannot confirm; " + counting + " counts them exactly");
    } else {
      worded.push_back(note);
    }
  }
  return worded;
}

std::string more_findings_hint(const std::vector<Finding>& findings) {
  if (findings.empty()) return {};
  std::string kinds;
  for (const Finding& f : findings) kinds += (kinds.empty() ? "" : ", ") + f.kind;
  return "brimful: " + std::to_string(findings.size()) +
         (findings.size() == 1 ? " finding explains" : " findings explain") + " more (" + kinds +
         "); rerun with --explain\n";
}

bool inodes_counted_by(const std::vector<Finding>& findings) { return !kinds_among(findings, kCountsInodes).empty(); }

std::vector<Finding> find_findings(const Evidence& evidence, const Diagnosis& diagnosis,
                                   const ExplainFacts& facts) {
  const RuleInput input{evidence, diagnosis, facts};
  std::vector<Finding> findings;
  for (Rule rule : kRules) {
    if (std::optional<Finding> found = rule(input)) findings.push_back(std::move(*found));
  }
  return findings;
}

}  // namespace brimful
