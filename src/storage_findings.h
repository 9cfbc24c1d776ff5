// The finding rules under the filesystem: the directory, the device, the
// allocator inside the filesystem and the daemon behind it.
#ifndef BRIMFUL_STORAGE_FINDINGS_H
#define BRIMFUL_STORAGE_FINDINGS_H

#include <optional>

#include "finding_rule.h"

namespace brimful {

std::optional<Finding> kernel_messages(const RuleInput& in);
std::optional<Finding> directory_full(const RuleInput& in);
std::optional<Finding> loop_backing_full(const RuleInput& in);
std::optional<Finding> filesystem_errors(const RuleInput& in);
std::optional<Finding> overlay_upper(const RuleInput& in);
std::optional<Finding> btrfs_allocation(const RuleInput& in);
std::optional<Finding> btrfs_read_only_subvolume(const RuleInput& in);
std::optional<Finding> xfs_inode_limit(const RuleInput& in);
std::optional<Finding> xfs_free_space_fragmented(const RuleInput& in);
std::optional<Finding> filesystem_not_responding(const RuleInput& in);
std::optional<Finding> fuse_backend(const RuleInput& in);
std::optional<Finding> mqueue_queue_limit(const RuleInput& in);
std::optional<Finding> mqueue_byte_limit(const RuleInput& in);

}  // namespace brimful

#endif  // BRIMFUL_STORAGE_FINDINGS_H
