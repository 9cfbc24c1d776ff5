#include "diagnosis.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "deleted_open.h"
#include "text.h"

namespace brimful {

namespace {

bool has_cause(const Diagnosis& diagnosis, CauseKind cause) {
  return std::find(diagnosis.causes.begin(), diagnosis.causes.end(), cause) != diagnosis.causes.end();
}

// ENOSPC from the create probe: which capacity fact agrees depends on the
// step that failed. Creating a file needs an inode and possibly a block;
// writing and syncing need blocks only.
void apply_create_space_rules(const Evidence& evidence, const ProbeError& error, Diagnosis& diagnosis) {
  const Filesystem& fs = evidence.filesystem;
  // Without block accounting (mqueue) the numbers below mean nothing.
  if (error.error.code != ENOSPC || fs.total_bytes == 0) return;
  switch (error.phase) {
    case Phase::create:
      if (fs.free_inodes == 0 && fs.inode_accounting_supported) {
        diagnosis.causes.push_back(CauseKind::inode_exhaustion);
      } else if (fs.free_inodes == 0) {
        diagnosis.notes.push_back(fs_type_of(evidence) +
                                  " reports zero free inodes, but fixed inode accounting is not "
                                  "supported for confirmation");
      }
      if (fs.available_bytes == 0) diagnosis.causes.push_back(CauseKind::block_exhaustion);
      break;
    case Phase::write:
    case Phase::fsync:
    case Phase::close:
      if (fs.available_bytes == 0) diagnosis.causes.push_back(CauseKind::block_exhaustion);
      break;
    default:
      break;
  }
}

void apply_inotify_rules(const Evidence& evidence, Diagnosis& diagnosis) {
  const InotifyProbe& probe = evidence.inotify_probe;
  if (failed_with(probe.add_watch, ENOSPC)) diagnosis.causes.push_back(CauseKind::inotify_exhaustion);

  // EMFILE from inotify_init1 is either the per-user instance limit or the
  // process's descriptor limit; only the user's counted instances tell.
  const std::optional<std::uint64_t>& limit = evidence.inotify_limits.max_user_instances;
  if (failed_with(probe.init, EMFILE) && limit) {
    if (inotify_usage(evidence.proc_scan).instances >= *limit) {
      diagnosis.causes.push_back(CauseKind::inotify_instance_exhaustion);
    }
  }
}

// Under --pid the probes ran as brimful, whose inotify use is counted apart
// from the process's: what decides is the process's real user's use against
// the limits of its user namespace. A scan that missed processes gives a
// lower bound, which at the limit proves it reached.
void apply_process_user_inotify_rules(const Evidence& evidence, Diagnosis& diagnosis) {
  const ProcessIdentity& process = *evidence.as_seen_by;
  if (process.real_uid != process.probe_uid) {
    diagnosis.notes.push_back("the probes ran as uid " + std::to_string(process.probe_uid) +
                              ", not as the process's real user (uid " + std::to_string(process.real_uid) +
                              "); its inotify use is judged from the processes of that user");
  }
  const InotifyUsage usage = inotify_usage(evidence.proc_scan);
  const InotifyLimits& limits = evidence.inotify_limits;
  if (limits.max_user_watches && usage.watches >= *limits.max_user_watches &&
      !has_cause(diagnosis, CauseKind::inotify_exhaustion)) {
    diagnosis.causes.push_back(CauseKind::inotify_exhaustion);
  }
  if (limits.max_user_instances && usage.instances >= *limits.max_user_instances &&
      !has_cause(diagnosis, CauseKind::inotify_instance_exhaustion)) {
    diagnosis.causes.push_back(CauseKind::inotify_instance_exhaustion);
  }
}

// How many processes a contributing line names.
constexpr std::size_t kNamedHolders = 3;

// "245 inodes are held by deleted-open files: app PID 12 (240), sh PID 13 (5)",
// each file counted once, for its first holder.
std::string inodes_held_text(const ProcScan& scan, std::uint64_t files) {
  const std::vector<bool> first = scan.deleted_open.first_of_each_file();
  std::vector<std::pair<Holder, std::uint64_t>> holders;
  for (std::size_t i = 0; i < first.size(); ++i) {
    const DeletedOpenFile file = scan.deleted_open[i];
    if (!first[i] || file.holders.empty()) continue;
    const Holder holder = file.holders.front();
    auto known = std::find_if(holders.begin(), holders.end(), [&](const auto& h) { return h.first.pid == holder.pid; });
    if (known == holders.end()) holders.emplace_back(holder, 1);
    else ++known->second;
  }
  std::stable_sort(holders.begin(), holders.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string text = std::to_string(files) + (files == 1 ? " inode is" : " inodes are") + " held by deleted-open files";
  for (std::size_t i = 0; i < holders.size() && i < kNamedHolders; ++i) {
    text += (i == 0 ? ": " : ", ") + lossy_utf8(holders[i].first.process) + " PID " +
            std::to_string(holders[i].first.pid) + " (" + std::to_string(holders[i].second) + ")";
  }
  if (holders.size() > kNamedHolders) text += " and " + std::to_string(holders.size() - kNamedHolders) + " more";
  return text;
}

std::string unsupported(const std::string& call, const ErrnoInfo& error) {
  return call + " failed with " + error.name + ", which is not a supported confirmed diagnosis";
}

std::string final_note(const Evidence& evidence) {
  const ProbeOutcome& create = evidence.create_probe.outcome;
  const ProbeOutcome& init = evidence.inotify_probe.init;
  const ProbeOutcome& add_watch = evidence.inotify_probe.add_watch;
  // The file was created; what stopped the probe is the note on the file
  // taken away, not a failed call.
  if (evidence.create_probe.file_renamed) return "the collected evidence does not satisfy a confirmed diagnosis";
  if (const ProbeError* error = probe_error(create)) {
    if (fs_type_of(evidence) == "mqueue" && error->phase == Phase::write && error->error.code == EINVAL) {
      return "the probe created a message queue, and mqueue takes no write(2) to a queue's file (EINVAL), so "
             "only the creation tells";
    }
    if (error->error.code == ENOSPC && evidence.filesystem.total_bytes == 0) {
      return fs_type_of(evidence) + " reports no blocks in statfs: it keeps no block accounting, so its numbers "
             "can neither confirm nor rule out exhausted space or inodes; the ENOSPC comes from a limit of its own";
    }
    if (error->error.code != ENOSPC) return unsupported("file creation", error->error);
    return "the observed ENOSPC is not explained by the checks supported by brimful";
  }
  if (is_not_run(create)) return "active probes were disabled; deterministic classification may be impossible";
  const ProbeError* init_error = probe_error(init);
  const ProbeError* watch_error = probe_error(add_watch);
  if (init_error == nullptr && watch_error != nullptr) return unsupported("inotify_add_watch", watch_error->error);
  if (init_error == nullptr) return "the collected evidence does not satisfy a confirmed diagnosis";
  if (init_error->error.code == EMFILE) {
    return "inotify_init failed with EMFILE, but the evidence does not distinguish the per-user "
           "inotify instance limit from the process file-descriptor limit";
  }
  return unsupported("inotify_init", init_error->error);
}

// Where the create probe did not run as planned.
void add_probe_notes(const CreateProbe& probe, const OsPath& probe_directory, Diagnosis& diagnosis) {
  if (const std::optional<OsPath>& probed = probe.directory_probed) {
    diagnosis.notes.push_back("the create probe ran in " + display(*probed) + ", which is not " +
                              display(probe_directory) + " as first resolved");
  }
  if (probe.file_renamed) {
    diagnosis.notes.push_back(
        "the probe file was renamed or replaced before brimful could remove it; brimful removed and wrote "
        "nothing, and the empty file it created may remain under another name");
  }
}

// Deleted-open files contribute their space when no space is left, and
// their inodes when the inodes ran out.
void add_deleted_open_contributing(const Evidence& evidence, Diagnosis& diagnosis) {
  const ProcScan& scan = evidence.proc_scan;
  const DeletedOpenTotals totals = deleted_open_totals(scan.deleted_open);
  // Numbers that did not come show no exhausted space.
  const bool numbers = evidence.unanswered != Unanswered::statfs;
  if (totals.bytes > 0 && numbers && evidence.filesystem.available_bytes == 0) {
    diagnosis.contributing.push_back(Contributing{
        "deleted_open_files", totals.bytes,
        std::to_string(totals.bytes) +
            " allocated bytes are reclaimable from deleted-open files on this filesystem"});
  }
  if (totals.files > 0 && has_cause(diagnosis, CauseKind::inode_exhaustion)) {
    diagnosis.contributing.push_back(
        Contributing{"deleted_open_inodes", totals.bytes, inodes_held_text(scan, totals.files)});
  }
}

// "/mnt/remote (fuse.sshfs) did not answer within 2 s: its numbers are
// missing", or the like for a probe; empty when everything answered.
std::string unanswered_note(const Evidence& evidence) {
  const std::string where = display(evidence.mount ? evidence.mount->mount_point : evidence.target) + " (" +
                            display(fs_type_of(evidence)) + ") did not answer ";
  const std::string within = "within " + waited_text(evidence.unanswered_after_ms);
  switch (evidence.unanswered) {
    case Unanswered::none: return {};
    case Unanswered::statfs: return where + within + ": its numbers are missing";
    case Unanswered::inotify_watch: return where + "the inotify watch " + within;
    case Unanswered::create_probe: break;
  }
  std::string note = where + "the create probe " + within;
  if (!evidence.probe_file_left.empty()) {
    note += "; its file " + display(evidence.probe_file_left) + " may remain once it answers";
  }
  return note;
}

}  // namespace

Diagnosis diagnose(const Evidence& evidence) {
  Diagnosis diagnosis;
  const ProbeOutcome& create = evidence.create_probe.outcome;
  const ProbeError* create_error = probe_error(create);
  const bool create_succeeded = is_success(create);

  if (failed_with(create, EROFS)) diagnosis.causes.push_back(CauseKind::read_only_filesystem);
  if (create_error != nullptr) apply_create_space_rules(evidence, *create_error, diagnosis);
  // Without a file created first, an inotify failure could be anything the
  // filesystem refuses; it confirms nothing.
  if (create_succeeded) apply_inotify_rules(evidence, diagnosis);
  if (evidence.as_seen_by) apply_process_user_inotify_rules(evidence, diagnosis);

  if (evidence.filesystem.read_only && !has_cause(diagnosis, CauseKind::read_only_filesystem)) {
    diagnosis.notes.push_back("statvfs reports a read-only mount, but the create probe did not return EROFS");
  }

  add_probe_notes(evidence.create_probe, evidence.probe_directory, diagnosis);

  const ProcScan& scan = evidence.proc_scan;
  if (!scan.complete) {
    diagnosis.notes.push_back("process evidence is incomplete: " + std::to_string(scan.processes_inaccessible) +
                              " process directories were inaccessible");
  }

  add_deleted_open_contributing(evidence, diagnosis);

  const std::string unanswered = unanswered_note(evidence);
  if (!unanswered.empty()) diagnosis.notes.push_back(unanswered);
  if (!diagnosis.causes.empty()) {
    diagnosis.status = Status::confirmed;
  } else if (!unanswered.empty()) {
    diagnosis.status = Status::unknown;
  } else if (create_succeeded && is_success(evidence.inotify_probe.add_watch) &&
             !evidence.filesystem.read_only) {
    diagnosis.status = Status::no_supported_failure;
  } else {
    diagnosis.status = Status::unknown;
    diagnosis.notes.push_back(final_note(evidence));
  }
  return diagnosis;
}

}  // namespace brimful
