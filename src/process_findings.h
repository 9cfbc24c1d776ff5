// The finding rules as the application sees it: its descriptor limit, the
// system's file table and other mount namespaces.
#ifndef BRIMFUL_PROCESS_FINDINGS_H
#define BRIMFUL_PROCESS_FINDINGS_H

#include <optional>

#include "finding_rule.h"

namespace brimful {

std::optional<Finding> process_descriptor_limit(const RuleInput& in);
std::optional<Finding> system_file_limit(const RuleInput& in);
std::optional<Finding> other_mount_namespace(const RuleInput& in);

}  // namespace brimful

#endif  // BRIMFUL_PROCESS_FINDINGS_H
