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

// One filesystem's part of an exposition that covers several.
struct MetricsReport {
  const Evidence* evidence = nullptr;
  const Diagnosis* diagnosis = nullptr;
  std::vector<std::string> finding_kinds;
};

// The same over several filesystems: each family once, with the series of
// every filesystem in the order given, told apart by their labels.
std::string render_metrics(const std::vector<MetricsReport>& reports, const RunInfo& run);

}  // namespace brimful

#endif  // BRIMFUL_METRICS_H
