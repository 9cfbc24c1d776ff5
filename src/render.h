// The human-readable report.
#ifndef BRIMFUL_RENDER_H
#define BRIMFUL_RENDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"

namespace brimful {

// The whole report, without trailing white space. verbose lifts the limit
// of ten entries per list and shows the process sections in every case.
// Findings, when given, follow the verdict lines.
std::string render_text(const Evidence& evidence, const Diagnosis& diagnosis, bool verbose,
                        const std::vector<Finding>* findings = nullptr);

// The table that opens a report over every filesystem: one line per
// filesystem (mount point, type, available space, free inodes, space held by
// deleted-open files, verdict) under a heading, without trailing white
// space. diagnoses[i] is the verdict on filesystems[i].
std::string render_host_summary(const std::vector<Evidence>& filesystems, const std::vector<Diagnosis>& diagnoses);

}  // namespace brimful

#endif  // BRIMFUL_RENDER_H
