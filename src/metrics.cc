#include "metrics.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "deleted_open.h"
#include "text.h"

namespace brimful {

namespace {

// One metric family: its samples are collected first, and a family without
// samples is left out entirely rather than written as a bare header.
class Family {
 public:
  Family(const char* name, const char* help) : name_(name), help_(help) {}

  // extra: the family's own labels, already formatted (may be empty); they
  // follow the labels every series of this filesystem carries.
  void add(const std::string& extra, std::string value) {
    samples_.emplace_back(extra.empty() ? *common_ : *common_ + ',' + extra, std::move(value));
  }
  // The common labels of the samples added from now on.
  void set_common(const std::string* common) { common_ = common; }

  void write(std::string& out) const {
    if (samples_.empty()) return;
    out += "# HELP ";
    out += name_;
    out += ' ';
    out += help_;
    out += "\n# TYPE ";
    out += name_;
    out += " gauge\n";
    for (const auto& [labels, value] : samples_) {
      out += name_;
      out += '{';
      out += labels;
      out += "} ";
      out += value;
      out += '\n';
    }
  }

 private:
  const char* name_;
  const char* help_;
  const std::string* common_ = nullptr;
  std::vector<std::pair<std::string, std::string>> samples_;
};

std::string label(const char* name, std::string_view value) {
  return std::string(name) + "=\"" + metric_label_value(value) + "\"";
}

// The labels every series carries, named as node_exporter names them in
// node_filesystem_* so that the two join. node_exporter takes the device
// from the mount table as written, where a mount without a source reads
// "none"; with no mount at all the labels stay empty, which PromQL treats as
// absent, so such a series joins with nothing rather than with a wrong mount.
std::string common_labels(const OsPath& target, const Mount* mount) {
  std::string labels = label("path", target);
  labels += ',' + label("mountpoint", mount != nullptr ? std::string_view(mount->mount_point) : "");
  labels += ',' + label("fstype", mount != nullptr ? std::string_view(mount->fs_type) : "");
  const std::string device = mount == nullptr ? "" : mount->source ? *mount->source : "none";
  labels += ',' + label("device", device);
  return labels;
}

std::string flag(bool value) { return value ? "1" : "0"; }

// The run's duration to the microsecond, its start to the millisecond.
constexpr int kDurationDecimals = 6;
constexpr int kTimestampDecimals = 3;

std::string seconds(double value, int decimals) {
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  if (length < 0) return "NaN";
  return std::string(buffer, std::min(static_cast<std::size_t>(length), sizeof buffer - 1));
}

void add_probe(Family& success, Family& errno_family, const char* probe, const ProbeOutcome& outcome) {
  if (is_not_run(outcome)) return;
  const std::string probe_label = label("probe", probe);
  success.add(probe_label, flag(is_success(outcome)));
  if (const ProbeError* error = probe_error(outcome)) {
    errno_family.add(probe_label + ',' + label("phase", phase_name(error->phase)) + ',' +
                         label("errno", error->error.name),
                     std::to_string(error->error.code));
  }
}

void add_limit(Family& family, const std::optional<std::uint64_t>& limit) {
  if (limit) family.add("", std::to_string(*limit));
}

}  // namespace

std::string metric_label_value(std::string_view bytes) {
  const std::string text = lossy_utf8(bytes);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string render_metrics(const Evidence& evidence, const Diagnosis& diagnosis, const RunInfo& run,
                           const std::vector<std::string>& finding_kinds) {
  return render_metrics({MetricsReport{&evidence, &diagnosis, finding_kinds}}, run);
}

namespace {

// Every family of the exposition.
struct Families {
  Family status{"brimful_status", "The verdict as a state set: 1 for the current status, 0 for the others."};
  Family cause{"brimful_cause", "Whether the run confirmed this cause of failing writes."};
  Family probe_success{"brimful_probe_success", "Whether the probe succeeded; absent when it did not run."};
  Family probe_errno{"brimful_probe_errno", "The error number of a failed probe, with the failing step and its name."};
  Family deleted_bytes{"brimful_deleted_open_bytes",
                       "Bytes allocated to deleted files on the filesystem that processes still hold open."};
  Family deleted_files{"brimful_deleted_open_files",
                       "Deleted files on the filesystem that processes still hold open."};
  // The filesystem's own size, so that every ratio the alert rules take
  // needs brimful's series alone: node_exporter leaves out many mounts by
  // default (/mnt, /run, /dev/shm, /media among them).
  Family size_bytes{"brimful_filesystem_size_bytes", "The filesystem's size in bytes."};
  Family avail_bytes{"brimful_filesystem_avail_bytes", "Bytes an unprivileged user may still write."};
  Family files{"brimful_filesystem_files", "The filesystem's inodes; absent where it does not count them."};
  Family files_free{"brimful_filesystem_files_free", "Free inodes; absent where the filesystem does not count them."};
  Family watches_used{"brimful_inotify_watches", "Inotify watches held by the processes of the user brimful ran as."};
  Family watches_limit{"brimful_inotify_watches_limit", "The per-user limit of inotify watches."};
  Family instances_used{"brimful_inotify_instances",
                        "Inotify instances held by the processes of the user brimful ran as."};
  Family instances_limit{"brimful_inotify_instances_limit", "The per-user limit of inotify instances."};
  Family scanned{"brimful_processes_scanned", "Processes the scan of /proc examined."};
  Family inaccessible{"brimful_processes_inaccessible", "Processes the scan of /proc could not read."};
  Family finding{"brimful_finding", "A finding of this kind applies."};
  Family duration{"brimful_run_duration_seconds", "How long the run took."};
  Family started{"brimful_last_run_timestamp_seconds", "When the run started, in seconds since the epoch."};

  // In the order they are written.
  std::vector<Family*> all() {
    return {&status, &cause, &probe_success, &probe_errno, &deleted_bytes, &deleted_files, &size_bytes, &avail_bytes,
            &files, &files_free, &watches_used, &watches_limit, &instances_used, &instances_limit, &scanned,
            &inaccessible, &finding, &duration, &started};
  }
};

void add_verdict(Families& families, const Diagnosis& diagnosis) {
  for (const Status each : {Status::confirmed, Status::no_supported_failure, Status::unknown}) {
    families.status.add(label("status", status_name(each)), flag(diagnosis.status == each));
  }
  for (const CauseKind each : {CauseKind::inode_exhaustion, CauseKind::block_exhaustion, CauseKind::inotify_exhaustion,
                               CauseKind::inotify_instance_exhaustion, CauseKind::read_only_filesystem}) {
    const bool confirmed = std::find(diagnosis.causes.begin(), diagnosis.causes.end(), each) != diagnosis.causes.end();
    families.cause.add(label("cause", cause_name(each)), flag(confirmed));
  }
}

void add_evidence(Families& families, const Evidence& evidence) {
  add_probe(families.probe_success, families.probe_errno, "create", evidence.create_probe.outcome);
  add_probe(families.probe_success, families.probe_errno, "inotify_init", evidence.inotify_probe.init);
  add_probe(families.probe_success, families.probe_errno, "inotify_watch", evidence.inotify_probe.add_watch);

  const ProcScan& scan = evidence.proc_scan;
  const DeletedOpenTotals deleted = deleted_open_totals(scan.deleted_open);
  families.deleted_bytes.add("", std::to_string(deleted.bytes));
  families.deleted_files.add("", std::to_string(deleted.files));
  const Filesystem& filesystem = evidence.filesystem;
  // Numbers that did not come are left out, never shown as zero.
  const bool missing = evidence.unanswered == Unanswered::statfs;
  if (!missing) {
    families.size_bytes.add("", std::to_string(filesystem.total_bytes));
    families.avail_bytes.add("", std::to_string(filesystem.available_bytes));
  }
  if (!missing && filesystem.inode_accounting_supported) {
    families.files.add("", std::to_string(filesystem.total_inodes));
    families.files_free.add("", std::to_string(filesystem.free_inodes));
  }
  const InotifyUsage usage = inotify_usage(scan);
  families.watches_used.add("", std::to_string(usage.watches));
  add_limit(families.watches_limit, evidence.inotify_limits.max_user_watches);
  families.instances_used.add("", std::to_string(usage.instances));
  add_limit(families.instances_limit, evidence.inotify_limits.max_user_instances);
  families.scanned.add("", std::to_string(scan.processes_scanned));
  families.inaccessible.add("", std::to_string(scan.processes_inaccessible));
}

}  // namespace

std::string render_metrics(const std::vector<MetricsReport>& reports, const RunInfo& run) {
  Families families;
  const std::vector<Family*> all = families.all();
  std::vector<std::string> commons;
  commons.reserve(reports.size());
  for (const MetricsReport& report : reports) {
    const Evidence& evidence = *report.evidence;
    commons.push_back(common_labels(evidence.target, evidence.mount ? &*evidence.mount : nullptr));
    for (Family* family : all) family->set_common(&commons.back());
    add_verdict(families, *report.diagnosis);
    add_evidence(families, evidence);
    for (const std::string& kind : report.finding_kinds) families.finding.add(label("kind", kind), "1");
    families.duration.add("", seconds(run.duration_seconds, kDurationDecimals));
    families.started.add("", seconds(run.start_time_seconds, kTimestampDecimals));
  }

  std::string out;
  for (const Family* family : all) family->write(out);
  return out;
}

}  // namespace brimful
