// The finding rules: observations with numbers and a next step that the
// strict verdict cannot confirm. Pure functions of the evidence, the
// verdict and the facts gathered for --explain.
#ifndef BRIMFUL_FINDINGS_H
#define BRIMFUL_FINDINGS_H

#include <vector>

#include "facts.h"
#include "report.h"

namespace brimful {

// Every finding that applies, in the fixed order of the rules.
std::vector<Finding> find_findings(const Evidence& evidence, const Diagnosis& diagnosis,
                                   const ExplainFacts& facts);

// The verdict's notes worded so that they stand beside the findings without
// contradicting them: a note that the checks behind the verdict explain no
// ENOSPC, or that inodes cannot be counted, names the findings that do.
std::vector<std::string> notes_beside(const std::vector<std::string>& notes, const std::vector<Finding>& findings);

// "brimful: 2 findings explain more (directory_full, kernel_messages); rerun
// with --explain" and a newline, or nothing when there are no findings.
std::string more_findings_hint(const std::vector<Finding>& findings);

// Whether a finding counts this filesystem's inodes exactly, so that the
// remark that its free inodes are not authoritative no longer holds.
bool inodes_counted_by(const std::vector<Finding>& findings);

}  // namespace brimful

#endif  // BRIMFUL_FINDINGS_H
