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

}  // namespace brimful

#endif  // BRIMFUL_FINDINGS_H
