// What every finding rule shares: the input it reads, how it words a
// finding, and the measures several rules apply.
#ifndef BRIMFUL_FINDING_RULE_H
#define BRIMFUL_FINDING_RULE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "facts.h"
#include "report.h"

namespace brimful {

// What every rule reads.
struct RuleInput {
  const Evidence& evidence;
  const Diagnosis& diagnosis;
  const ExplainFacts& facts;
};

// A rule gives its finding when it applies.
using Rule = std::optional<Finding> (*)(const RuleInput&);

// How many inotify consumers, or FUSE servers, a finding names.
constexpr std::size_t kNamedConsumers = 3;

// A filesystem with less than this share of its space available is nearly
// full: one ordinary write may take the rest.
constexpr std::uint64_t kNearlyFullPercent = 2;

Finding finding(const char* kind, std::string summary, std::string remedy);

// The place a remedy names: the mount point, or the target without a mount.
std::string where(const Evidence& evidence);

}  // namespace brimful

#endif  // BRIMFUL_FINDING_RULE_H
