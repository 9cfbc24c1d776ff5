#include "render.h"

#include "findings.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "deleted_open.h"
#include "text.h"
#include "units.h"

namespace brimful {

namespace {

// Without --verbose a list stops after this many entries.
constexpr std::size_t kListLimit = 10;

void line(std::string& out, std::string_view text) {
  out += text;
  out += '\n';
}

void blank_line(std::string& out) { out += '\n'; }

std::size_t scalar_count(std::string_view text) {
  std::size_t count = 0;
  char32_t scalar = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    const std::size_t length = decode_utf8(text, pos, scalar);
    pos += length > 0 ? length : 1;
  }
  return count;
}

// Pads on the right to a width in characters; a longer text stays whole and
// pushes what follows to the right.
std::string pad_right(std::string text, std::size_t width) {
  const std::size_t count = scalar_count(text);
  if (count < width) text.append(width - count, ' ');
  return text;
}

// The report names the inotify system calls where JSON has the bare phase.
const char* phase_text(Phase phase) {
  if (phase == Phase::init) return "inotify_init";
  if (phase == Phase::add_watch) return "inotify_add_watch";
  return phase_name(phase);
}

const char* verdict_text(CauseKind cause) {
  switch (cause) {
    case CauseKind::inode_exhaustion: return "inode exhaustion";
    case CauseKind::block_exhaustion: return "filesystem space exhausted";
    case CauseKind::inotify_exhaustion: return "inotify resource exhaustion";
    case CauseKind::inotify_instance_exhaustion: return "inotify instance limit exhausted";
    case CauseKind::read_only_filesystem: return "filesystem is read-only";
  }
  return "";
}

std::string outcome_text(const ProbeOutcome& outcome) {
  if (is_success(outcome)) return "OK";
  if (const ProbeError* error = probe_error(outcome)) {
    return display(error->error.name) + " during " + phase_text(error->phase);
  }
  return "NOT RUN";
}

// What a used count means against its limit. An incomplete scan missed some
// processes, so its count is only a lower bound and no percentage is given.
std::string usage_text(std::uint64_t used, std::optional<std::uint64_t> limit, bool complete) {
  if (!limit) return grouped_number(used) + " observed; limit unavailable";
  const std::string fraction = grouped_number(used) + " / " + grouped_number(*limit);
  if (!complete) return ">= " + fraction + " (lower bound; process scan incomplete)";
  if (*limit == 0) return fraction;
  const std::uint64_t available = used > *limit ? 0 : *limit - used;
  return fraction + " (" + percent_text(used, *limit, ZeroPercent::bare) + "; " + grouped_number(available) +
         " available)";
}

const char* assessment_text(const InotifyProbe& probe) {
  if (failed_with(probe.add_watch, ENOSPC)) {
    return "watch creation failed: inotify resources exhausted";
  }
  if (failed_with(probe.init, EMFILE)) {
    return "instance creation failed with EMFILE; diagnosis requires usage evidence";
  }
  if (is_success(probe.init) && is_success(probe.add_watch)) {
    return "new instance and watch created successfully";
  }
  return "probe did not establish available inotify capacity";
}

void render_header(std::string& out, const Evidence& evidence) {
  line(out, "Target: " + display(evidence.target));
  if (evidence.as_seen_by) {
    line(out, "As seen by: " + std::to_string(evidence.as_seen_by->pid) + " (" +
                  display(evidence.as_seen_by->process) + ")");
  }
  if (!evidence.target_exists) line(out, "Target exists: no (probing nearest existing parent)");
  // Compared by components, so "/srv/data/" and "/srv/data" count as one.
  if (path_components(evidence.probe_directory) != path_components(evidence.target)) {
    line(out, "Probe directory: " + display(evidence.probe_directory));
  }
  if (!evidence.mount) {
    line(out, "Filesystem: unknown");
    line(out, "Mount: unknown (not in this process's mount table)");
    line(out, "Type: " + display(evidence.statfs_fs_type));
    return;
  }
  const Mount& mount = *evidence.mount;
  line(out, "Filesystem: " + (mount.source ? display(*mount.source) : std::string("unknown")));
  line(out, "Mount: " + display(mount.mount_point));
  line(out, "Type: " + display(mount.fs_type));
}

// Yes or no from the mount options; unknown without a mount to ask.
std::string ro_option_text(const std::optional<Mount>& mount) {
  if (!mount) return "unknown";
  const std::vector<std::string>& options = mount->options;
  return std::find(options.begin(), options.end(), "ro") != options.end() ? "yes" : "no";
}

void render_checks(std::string& out, const Evidence& evidence, const std::vector<Finding>* findings) {
  const Filesystem& fs = evidence.filesystem;

  blank_line(out);
  line(out, "Checks:");
  line(out, "  file probe       " + outcome_text(evidence.create_probe.outcome));
  const bool missing = evidence.unanswered == Unanswered::statfs;
  line(out, "  available space  " + (missing ? std::string("unknown") : human_size(fs.available_bytes)));
  std::string inodes = "  free inodes      " + (missing ? std::string("unknown") : std::to_string(fs.free_inodes));
  // Only filesystems with a fixed inode table give a free count that can run
  // out; elsewhere the kernel's number is shown but means little.
  if (missing) {
  } else if (findings != nullptr && !fs.inode_accounting_supported && inodes_counted_by(*findings)) {
    inodes += " (counted exactly at this filesystem's inode limit; see the findings)";
  } else if (!fs.inode_accounting_supported) {
    inodes += " (not authoritative for this filesystem)";
  }
  line(out, inodes);
  line(out, "  inotify init     " + outcome_text(evidence.inotify_probe.init));
  line(out, "  inotify watch    " + outcome_text(evidence.inotify_probe.add_watch));
  line(out, std::string("  read-only        ") + (missing ? "unknown" : fs.read_only ? "yes" : "no"));
  line(out, "  mount option ro  " + ro_option_text(evidence.mount));
}

void render_verdict(std::string& out, const Diagnosis& diagnosis) {
  switch (diagnosis.status) {
    case Status::confirmed:
      for (CauseKind cause : diagnosis.causes) {
        blank_line(out);
        line(out, std::string("CONFIRMED: ") + verdict_text(cause));
      }
      break;
    case Status::no_supported_failure:
      blank_line(out);
      line(out, "OK: no supported failure detected");
      break;
    case Status::unknown:
      blank_line(out);
      line(out, "UNKNOWN");
      break;
  }
  for (const Contributing& item : diagnosis.contributing) {
    blank_line(out);
    if (item.kind == "deleted_open_files") {
      line(out, "CONTRIBUTING: " + human_size(item.bytes) + " is held by deleted-open files");
    } else {
      line(out, "CONTRIBUTING: " + display(item.description));
    }
  }
}

void render_findings(std::string& out, const std::vector<Finding>& findings) {
  blank_line(out);
  if (findings.empty()) {
    line(out, "Findings: none");
    return;
  }
  line(out, "Findings:");
  for (const Finding& finding : findings) {
    line(out, "  - " + display(finding.summary));
    line(out, "    " + display(finding.remedy));
  }
}

std::size_t shown_count(std::size_t size, bool verbose) {
  return verbose ? size : std::min(size, kListLimit);
}

void render_deleted_file(std::string& out, const DeletedOpenFile& file) {
  if (!file.holders.empty()) {
    const Holder first = file.holders.front();
    line(out, "  " + display(first.process) + " PID " + std::to_string(first.pid) + " FD " +
                  std::to_string(first.fd));
  }
  line(out, "    " + display(file.path));
  line(out, "    allocated: " + human_size(file.allocated_bytes));
  if (file.holders.size() >= 2) line(out, "    holders: " + std::to_string(file.holders.size()));
}

void render_deleted_open(std::string& out, const DeletedOpenFiles& files,
                         bool verbose) {
  blank_line(out);
  line(out, "Deleted-open files:");
  const std::size_t shown = shown_count(files.size(), verbose);
  for (std::size_t i = 0; i < shown; ++i) render_deleted_file(out, files[i]);
  if (shown < files.size()) {
    line(out, "  \u2026 " + std::to_string(files.size() - shown) + " more; use --verbose");
  }
}

bool inotify_confirmed(const Diagnosis& diagnosis) {
  return std::any_of(diagnosis.causes.begin(), diagnosis.causes.end(), [](CauseKind cause) {
    return cause == CauseKind::inotify_exhaustion ||
           cause == CauseKind::inotify_instance_exhaustion;
  });
}

// The widths of the consumer table's columns but the last, in characters.
constexpr std::size_t kPidColumn = 9;
constexpr std::size_t kProcessColumn = 24;
constexpr std::size_t kInstancesColumn = 10;

std::string consumer_row(std::string pid, std::string process, std::string instances,
                         const std::string& watches) {
  return "  " + pad_right(std::move(pid), kPidColumn) + " " + pad_right(std::move(process), kProcessColumn) + " " +
         pad_right(std::move(instances), kInstancesColumn) + " " + watches;
}

void render_consumers(std::string& out, const std::vector<InotifyConsumer>& consumers,
                      bool verbose) {
  blank_line(out);
  line(out, "Top inotify consumers:");
  line(out, consumer_row("PID", "PROCESS", "INSTANCES", "WATCHES"));
  const std::size_t shown = shown_count(consumers.size(), verbose);
  for (std::size_t i = 0; i < shown; ++i) {
    const InotifyConsumer& consumer = consumers[i];
    line(out, consumer_row(std::to_string(consumer.pid), display(consumer.process),
                           std::to_string(consumer.instances), std::to_string(consumer.watches)));
  }
}

void render_inotify_usage(std::string& out, const Evidence& evidence, bool verbose) {
  const ProcScan& scan = evidence.proc_scan;
  // The totals cover every consumer, also those the table leaves out.
  const InotifyUsage usage = inotify_usage(scan);
  const InotifyLimits& limits = evidence.inotify_limits;

  blank_line(out);
  // Under --pid the scan counted the process's user, not brimful's.
  line(out, evidence.as_seen_by ? "Inotify usage (the process's real user, uid " +
                                      std::to_string(evidence.as_seen_by->real_uid) + "):"
                                : "Inotify usage (current UID):");
  line(out, "  watches                " +
                usage_text(usage.watches, limits.max_user_watches, scan.complete));
  line(out, "  instances              " +
                usage_text(usage.instances, limits.max_user_instances, scan.complete));
  line(out, std::string("  assessment             ") + assessment_text(evidence.inotify_probe));
  if (!scan.inotify_consumers.empty()) render_consumers(out, scan.inotify_consumers, verbose);
}

void render_notes(std::string& out, const std::vector<std::string>& notes) {
  blank_line(out);
  line(out, "Notes:");
  for (const std::string& note : notes) line(out, "  - " + display(note));
}

}  // namespace

std::string render_text(const Evidence& evidence, const Diagnosis& diagnosis, bool verbose,
                        const std::vector<Finding>* findings) {
  std::string out;
  render_header(out, evidence);
  render_checks(out, evidence, findings);
  render_verdict(out, diagnosis);
  if (findings != nullptr) render_findings(out, *findings);

  const ProcScan& scan = evidence.proc_scan;
  // Deleted-open files only matter once they hold space worth reporting.
  if (!scan.deleted_open.empty() && (!diagnosis.contributing.empty() || verbose)) {
    render_deleted_open(out, scan.deleted_open, verbose);
  }
  if (verbose || inotify_confirmed(diagnosis)) render_inotify_usage(out, evidence, verbose);
  if (!diagnosis.notes.empty()) render_notes(out, diagnosis.notes);
  if (!scan.complete) {
    blank_line(out);
    line(out, "Some process information was unavailable due to permissions or process exit.");
  }
  // Trimmed in place: a verbose report of a large host runs to megabytes.
  out.resize(trim_unicode_whitespace_end(out).size());
  return out;
}

namespace {

// Characters a cell takes on the terminal: its code points, since the
// display has replaced every control and invalid byte by visible text.
std::size_t cell_width(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string short_verdict(const Diagnosis& diagnosis) {
  switch (diagnosis.status) {
    case Status::confirmed: {
      std::string text = "CONFIRMED: ";
      for (std::size_t i = 0; i < diagnosis.causes.size(); ++i) {
        if (i > 0) text += ", ";
        text += verdict_text(diagnosis.causes[i]);
      }
      return text;
    }
    case Status::no_supported_failure: return "OK";
    case Status::unknown: return "UNKNOWN";
  }
  return "UNKNOWN";
}

}  // namespace

std::string render_host_summary(const std::vector<Evidence>& filesystems, const std::vector<Diagnosis>& diagnoses) {
  std::vector<std::vector<std::string>> rows{
      {"MOUNT POINT", "TYPE", "AVAILABLE", "INODES FREE", "DELETED-OPEN", "VERDICT"}};
  for (std::size_t i = 0; i < filesystems.size(); ++i) {
    const Evidence& evidence = filesystems[i];
    const Filesystem& fs = evidence.filesystem;
    const bool missing = evidence.unanswered == Unanswered::statfs;
    rows.push_back({display(evidence.target), display(fs_type_of(evidence)),
                    missing ? "?" : human_size(fs.available_bytes),
                    missing ? "?" : fs.total_inodes == 0 ? "-" : std::to_string(fs.free_inodes),
                    human_size(deleted_open_totals(evidence.proc_scan.deleted_open).bytes), short_verdict(diagnoses[i])});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], cell_width(row[column]));
    }
  }
  std::string out;
  for (const auto& row : rows) {
    if (!out.empty()) out += '\n';
    for (std::size_t column = 0; column < row.size(); ++column) {
      out += row[column];
      if (column + 1 < row.size()) out.append(widths[column] - cell_width(row[column]) + 2, ' ');
    }
  }
  return out;
}

}  // namespace brimful
