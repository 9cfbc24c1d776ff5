// The fixed rules that turn evidence into causes, contributing factors,
// notes and a status.
#ifndef BRIMFUL_DIAGNOSIS_H
#define BRIMFUL_DIAGNOSIS_H

#include "report.h"

namespace brimful {

// A cause is confirmed only when a probe's errno and a capacity fact agree.
Diagnosis diagnose(const Evidence& evidence);

// The deleted-open files of a scan as the contributing rule counts them:
// the same file reached through several descriptors counts once.
struct DeletedOpenTotals {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};
DeletedOpenTotals deleted_open_totals(const ProcScan& scan);

}  // namespace brimful

#endif  // BRIMFUL_DIAGNOSIS_H
