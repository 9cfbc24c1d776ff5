// The fixed rules that turn evidence into causes, contributing factors,
// notes and a status.
#ifndef BRIMFUL_DIAGNOSIS_H
#define BRIMFUL_DIAGNOSIS_H

#include "report.h"

namespace brimful {

// A cause is confirmed only when a probe's errno and a capacity fact agree.
Diagnosis diagnose(const Evidence& evidence);

}  // namespace brimful

#endif  // BRIMFUL_DIAGNOSIS_H
