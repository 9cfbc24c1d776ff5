// The report in the Prometheus text exposition format (version 0.0.4), the
// format node_exporter's textfile collector reads.
#ifndef BRIMFUL_METRICS_H
#define BRIMFUL_METRICS_H

#include <string>
#include <string_view>
#include <vector>

#include "report.h"

namespace brimful {

// What the driver measured about the run itself.
struct RunInfo {
  double duration_seconds = 0;
  double start_time_seconds = 0;  // since the epoch
};

// A label value as the exposition format writes it between its quotes: the
// lossy UTF-8 view of the bytes, then backslash, double quote and newline
// escaped.
std::string metric_label_value(std::string_view bytes);

// Every family with its HELP and TYPE lines; each line ends with a newline.
// finding_kinds are the kinds of the findings that apply, one series each.
std::string render_metrics(const Evidence& evidence, const Diagnosis& diagnosis, const RunInfo& run,
                           const std::vector<std::string>& finding_kinds);

}  // namespace brimful

#endif  // BRIMFUL_METRICS_H
