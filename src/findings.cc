#include "findings.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "render.h"

namespace brimful {

namespace {

// What every rule reads.
struct RuleInput {
  const Evidence& evidence;
  const Diagnosis& diagnosis;
  const ExplainFacts& facts;
};

// How many of the largest deleted-open files a finding names.
constexpr std::size_t kNamedFiles = 3;
// How many inotify consumers a finding names.
constexpr std::size_t kNamedConsumers = 3;

Finding finding(const char* kind, std::string summary, std::string remedy) {
  return Finding{kind, std::move(summary), std::move(remedy)};
}

// part / whole as a percentage with one decimal; a sliver is "<0.1%".
std::string percent_of(std::uint64_t part, std::uint64_t whole) {
  char buffer[32];
  const double value = whole == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(whole);
  if (part > 0 && value < 0.1) return "<0.1%";
  std::snprintf(buffer, sizeof buffer, "%.1f%%", value);
  return buffer;
}

// part * 100 >= whole * percent without overflow.
bool at_least_percent(std::uint64_t part, std::uint64_t whole, std::uint64_t percent) {
  const std::uint64_t floor = whole / 100 * percent;
  const std::uint64_t rest = whole % 100 * percent;  // the hundredths left over
  if (part < floor) return false;
  return part - floor >= (rest + 99) / 100;
}

std::string where(const Evidence& evidence) {
  return lossy_utf8(evidence.mount ? evidence.mount->mount_point : evidence.target);
}

bool is_ext(const std::string& type) { return type == "ext2" || type == "ext3" || type == "ext4"; }

// Deleted-open files, each inode once, largest first (the scan's order).
std::vector<const DeletedOpenFile*> distinct_deleted(const ProcScan& scan) {
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
  std::vector<const DeletedOpenFile*> files;
  for (const DeletedOpenFile& file : scan.deleted_open) {
    if (seen.insert({file.device, file.inode}).second) files.push_back(&file);
  }
  return files;
}

std::uint64_t total_deleted(const std::vector<const DeletedOpenFile*>& files) {
  std::uint64_t total = 0;
  for (const DeletedOpenFile* file : files) total = saturating_add(total, file->allocated_bytes);
  return total;
}

std::string holder_text(const Holder& holder) {
  return lossy_utf8(holder.process) + " PID " + std::to_string(holder.pid) + " FD " + std::to_string(holder.fd);
}

// "PATH (SIZE, held by NAME PID N FD M and ...)"
std::string deleted_file_text(const DeletedOpenFile& file) {
  std::string text = lossy_utf8(file.path) + " (" + human_size(file.allocated_bytes);
  for (std::size_t i = 0; i < file.holders.size(); ++i) {
    text += (i == 0 ? ", held by " : " and ") + holder_text(file.holders[i]);
  }
  return text + ")";
}

std::string largest_deleted_text(const std::vector<const DeletedOpenFile*>& files) {
  std::string text;
  for (std::size_t i = 0; i < files.size() && i < kNamedFiles; ++i) {
    text += (i == 0 ? "" : "; ") + deleted_file_text(*files[i]);
  }
  return text;
}

std::optional<Finding> reserved_space_only(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  if (fs.available_bytes != 0 || fs.free_bytes == 0) return std::nullopt;
  std::string remedy = "fix: free space on " + where(in.evidence);
  if (is_ext(fs_type_of(in.evidence))) {
    const std::string device =
        in.evidence.mount && in.evidence.mount->source ? lossy_utf8(*in.evidence.mount->source) : "DEVICE";
    remedy += ", or lower the reserve with `tune2fs -m PERCENT " + device + "`";
  }
  return finding("reserved_space_only",
                 "only the reserved space is left: " + human_size(fs.free_bytes) +
                     " free but 0 B available, so only privileged writers (root or "
                     "CAP_SYS_RESOURCE) can still write; others get ENOSPC",
                 remedy);
}

std::optional<Finding> nearly_full(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  if (fs.available_bytes == 0 || fs.total_bytes == 0 || at_least_percent(fs.available_bytes, fs.total_bytes, 2)) {
    return std::nullopt;
  }
  std::string summary = "only " + human_size(fs.available_bytes) + " of " + human_size(fs.total_bytes) + " (" +
                        percent_of(fs.available_bytes, fs.total_bytes) +
                        ") is available, so a write larger than that fails with ENOSPC";
  std::string remedy = "fix: free space on " + where(in.evidence);
  const std::vector<const DeletedOpenFile*> files = distinct_deleted(in.evidence.proc_scan);
  if (!files.empty()) {
    summary += "; the largest deleted-open files: " + largest_deleted_text(files);
    remedy += ", for example by releasing the deleted-open files";
  }
  return finding("nearly_full", summary, remedy);
}

std::optional<Finding> deleted_open_space(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  const std::vector<const DeletedOpenFile*> files = distinct_deleted(in.evidence.proc_scan);
  const std::uint64_t held = total_deleted(files);
  if (fs.available_bytes == 0 || held == 0 || !at_least_percent(held, fs.total_bytes, 1)) return std::nullopt;
  std::string remedy = "fix: release the space without a restart by truncating through a holder's descriptor: ";
  for (std::size_t i = 0; i < files.size() && i < kNamedFiles; ++i) {
    const Holder& holder = files[i]->holders.front();
    remedy += (i == 0 ? "`" : "; `") + std::string("truncate -s 0 /proc/") + std::to_string(holder.pid) + "/fd/" +
              std::to_string(holder.fd) + "`";
  }
  remedy += "; or restart the holders";
  return finding("deleted_open_space",
                 "deleted files still held open take " + human_size(held) + " (" + percent_of(held, fs.total_bytes) +
                     " of the filesystem): " + largest_deleted_text(files),
                 remedy);
}

std::optional<Finding> scan_unprivileged(const RuleInput& in) {
  const ProcScan& scan = in.evidence.proc_scan;
  const std::optional<std::uint32_t>& uid = in.facts.effective_uid;
  if (scan.complete || !uid || *uid == 0) return std::nullopt;
  return finding("scan_unprivileged",
                 "brimful runs as UID " + std::to_string(*uid) + ", not root, and could not read " +
                     std::to_string(scan.processes_inaccessible) +
                     " process directories: deleted-open files and inotify consumers of other users may be missing",
                 "fix: rerun brimful as root");
}

std::optional<Finding> namespace_inotify_limit(const RuleInput& in) {
  const InotifyLimitFiles& files = in.facts.inotify_limit_files;
  std::uint64_t watches = 0;
  std::uint64_t instances = 0;
  for (const InotifyConsumer& consumer : in.evidence.proc_scan.inotify_consumers) {
    watches = saturating_add(watches, consumer.watches);
    instances = saturating_add(instances, consumer.instances);
  }
  struct Limit {
    const char* name;
    const char* sysctl;
    std::optional<std::uint64_t> own;
    std::optional<std::uint64_t> global;
    std::uint64_t used;
  };
  const Limit limits[] = {
      {"watches", "user.max_inotify_watches", files.namespace_watches, files.global_watches, watches},
      {"instances", "user.max_inotify_instances", files.namespace_instances, files.global_instances, instances},
  };
  std::string summary;
  std::string sysctls;
  bool near = false;
  for (const Limit& limit : limits) {
    if (!limit.own || !limit.global || *limit.own >= *limit.global) continue;
    summary += std::string(summary.empty() ? "" : "; ") + "this user namespace allows " +
               grouped_number(*limit.own) + " inotify " + limit.name + " per user, fewer than the global " +
               grouped_number(*limit.global) + " (" + grouped_number(limit.used) + " in use)";
    sysctls += std::string(sysctls.empty() ? "" : " and ") + limit.sysctl;
    near = near || at_least_percent(limit.used, *limit.own, 80);
  }
  if (summary.empty()) return std::nullopt;
  const std::vector<InotifyConsumer>& consumers = in.evidence.proc_scan.inotify_consumers;
  if (near && !consumers.empty()) {
    summary += "; the largest consumers: ";
    for (std::size_t i = 0; i < consumers.size() && i < kNamedConsumers; ++i) {
      const InotifyConsumer& consumer = consumers[i];
      summary += (i == 0 ? "" : ", ") + lossy_utf8(consumer.process) + " PID " + std::to_string(consumer.pid) + " (" +
                 std::to_string(consumer.instances) + " instances, " + std::to_string(consumer.watches) +
                 " watches)";
    }
  }
  return finding("namespace_inotify_limit", summary,
                 "fix: raise " + sysctls + " where the namespace or container is set up, or stop the largest consumers");
}

std::optional<Finding> tmpfs_inode_limit(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  if (fs_type_of(in.evidence) != "tmpfs" || fs.total_inodes == 0 || fs.free_inodes != 0) return std::nullopt;
  return finding("tmpfs_inode_limit",
                 "tmpfs has used all " + grouped_number(fs.total_inodes) +
                     " of its inodes: the nr_inodes limit is reached, and tmpfs counts inodes exactly, so creating "
                     "a file fails with ENOSPC",
                 "fix: `mount -o remount,nr_inodes=N " + where(in.evidence) + "` with a larger N, or remove files");
}

std::optional<Finding> descriptor_limit(const RuleInput& in) {
  if (!in.evidence.proc_scan.descriptors_exhausted) return std::nullopt;
  const std::optional<std::uint64_t>& limit = in.facts.open_files_limit;
  return finding("descriptor_limit",
                 "brimful itself ran out of file descriptors (EMFILE or ENFILE) during the process scan" +
                     (limit ? " with a limit of " + grouped_number(*limit) + " open files" : std::string()) +
                     ", so deleted-open files and inotify consumers may be missing",
                 "fix: raise the limit (for example `ulimit -n 4096`) and rerun brimful");
}

// How many processes near their descriptor limit, and how many of their
// descriptor kinds, a finding names; and how many other namespaces.
constexpr std::size_t kNamedProcesses = 5;
constexpr std::size_t kNamedKinds = 3;

std::string process_text(const std::string& name, std::uint32_t pid) {
  return lossy_utf8(name) + " PID " + std::to_string(pid);
}

// "socket (40), pipe (12)"
std::string kinds_text(const ProcessDescriptors& descriptors) {
  std::string text;
  for (std::size_t i = 0; i < descriptors.kinds.size() && i < kNamedKinds; ++i) {
    text += (i == 0 ? "" : ", ") + descriptors.kinds[i].kind + " (" + grouped_number(descriptors.kinds[i].count) + ")";
  }
  return text;
}

// "NAME PID N (64 of 64 open files, 100.0%)"
std::string share_text(const ProcessDescriptors& descriptors) {
  return process_text(descriptors.process, descriptors.pid) + " (" + grouped_number(descriptors.open) + " of " +
         grouped_number(descriptors.limit) + " open files, " + percent_of(descriptors.open, descriptors.limit) + ")";
}

std::string leak_text(const ProcessDescriptors& descriptors) {
  const std::string kinds = kinds_text(descriptors);
  return kinds.empty() ? std::string()
                       : "; " + process_text(descriptors.process, descriptors.pid) + " holds mostly " + kinds;
}

std::optional<Finding> process_descriptor_limit(const RuleInput& in) {
  constexpr const char* fix = "fix: raise LimitNOFILE= (systemd) or `ulimit -n`, or find the leak";
  if (const std::optional<ProcessDescriptors>& own = in.facts.process_descriptors) {
    if (own->limit == 0 || !near_descriptor_limit(own->open, own->limit)) return std::nullopt;
    return finding("process_descriptor_limit",
                   share_text(*own) + " is at its own limit of open files or close to it: an open beyond " +
                       grouped_number(own->limit) + " fails with EMFILE (\"Too many open files\")",
                   fix + leak_text(*own));
  }
  std::vector<const ProcessDescriptors*> near;
  for (const ProcessDescriptors& holder : in.facts.crowded_holders) {
    if (holder.limit != 0 && near_descriptor_limit(holder.open, holder.limit)) near.push_back(&holder);
  }
  if (near.empty()) return std::nullopt;
  std::stable_sort(near.begin(), near.end(), [](const ProcessDescriptors* a, const ProcessDescriptors* b) {
    return static_cast<double>(a->open) / static_cast<double>(a->limit) >
           static_cast<double>(b->open) / static_cast<double>(b->limit);
  });
  if (near.size() > kNamedProcesses) near.resize(kNamedProcesses);
  std::string summary = "processes holding files on " + where(in.evidence) +
                        " are at their own limit of open files or close to it, so their next opens fail with "
                        "EMFILE (\"Too many open files\"): ";
  std::string remedy = fix;
  for (std::size_t i = 0; i < near.size(); ++i) {
    summary += (i == 0 ? "" : "; ") + share_text(*near[i]);
    remedy += leak_text(*near[i]);
  }
  return finding("process_descriptor_limit", summary, remedy);
}

std::optional<Finding> system_file_limit(const RuleInput& in) {
  const std::optional<FileTable>& table = in.facts.file_table;
  if (!table || !at_least_percent(table->allocated, table->maximum, 95)) return std::nullopt;
  return finding("system_file_limit",
                 "the system has " + grouped_number(table->allocated) + " open files against fs.file-max " +
                     grouped_number(table->maximum) + " (" + percent_of(table->allocated, table->maximum) +
                     "): new opens fail with ENFILE for every process that is not root",
                 "fix: raise fs.file-max (`sysctl -w fs.file-max=N`), or find the process that holds the most files");
}

std::optional<Finding> other_mount_namespace(const RuleInput& in) {
  const std::vector<OtherNamespaceView>& views = in.facts.other_namespace_views;
  if (views.empty()) return std::nullopt;
  std::string summary = "processes in another mount namespace use " + lossy_utf8(in.evidence.target) +
                        " where it lies on another filesystem than the one examined here: ";
  std::string remedy = "check: rerun with --pid " + std::to_string(views.front().pid);
  for (std::size_t i = 0; i < views.size() && i < kNamedProcesses; ++i) {
    const OtherNamespaceView& view = views[i];
    summary += (i == 0 ? "" : "; ") + process_text(view.process, view.pid) + " (" + lossy_utf8(view.fs_type) +
               " on " + lossy_utf8(view.mount_point) + ")";
    if (i > 0) remedy += (i + 1 == views.size() || i + 1 == kNamedProcesses ? " or --pid " : ", --pid ") +
                         std::to_string(view.pid);
  }
  return finding("other_mount_namespace", summary, remedy);
}

using Rule = std::optional<Finding> (*)(const RuleInput&);

// The order of this table is the order of the report.
constexpr Rule kRules[] = {
    reserved_space_only, nearly_full,       deleted_open_space, scan_unprivileged,
    namespace_inotify_limit, tmpfs_inode_limit, descriptor_limit,
    process_descriptor_limit, system_file_limit, other_mount_namespace,
};

}  // namespace

std::vector<Finding> find_findings(const Evidence& evidence, const Diagnosis& diagnosis,
                                   const ExplainFacts& facts) {
  const RuleInput input{evidence, diagnosis, facts};
  std::vector<Finding> findings;
  for (Rule rule : kRules) {
    if (std::optional<Finding> found = rule(input)) findings.push_back(std::move(*found));
  }
  return findings;
}

}  // namespace brimful
