// The finding rules about the filesystem's space and inodes as statvfs
// counts them, the deleted-open files and inotify use the scan found, and
// what the scan itself could not see.
#ifndef BRIMFUL_SPACE_FINDINGS_H
#define BRIMFUL_SPACE_FINDINGS_H

#include <optional>

#include "finding_rule.h"

namespace brimful {

std::optional<Finding> reserved_space_only(const RuleInput& in);
std::optional<Finding> nearly_full(const RuleInput& in);
std::optional<Finding> deleted_open_space(const RuleInput& in);
std::optional<Finding> scan_unprivileged(const RuleInput& in);
std::optional<Finding> namespace_inotify_limit(const RuleInput& in);
std::optional<Finding> tmpfs_inode_limit(const RuleInput& in);
std::optional<Finding> descriptor_limit(const RuleInput& in);

}  // namespace brimful

#endif  // BRIMFUL_SPACE_FINDINGS_H
