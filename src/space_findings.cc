#include "space_findings.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "capacity.h"
#include "deleted_open.h"
#include "text.h"
#include "units.h"

namespace brimful {

namespace {

// How many of the largest deleted-open files a finding names.
constexpr std::size_t kNamedFiles = 3;
// Deleted-open files worth a finding hold at least this share of the
// filesystem.
constexpr std::uint64_t kDeletedOpenPercent = 1;
// Inotify use at this share of a namespace's own limit names the consumers.
constexpr std::uint64_t kNearInotifyLimitPercent = 80;

// The largest deleted-open files, each inode once, in the scan's order
// (largest first), as many as a finding names.
std::vector<DeletedOpenFile> largest_deleted(const ProcScan& scan) {
  const std::vector<bool> first = scan.deleted_open.first_of_each_file();
  std::vector<DeletedOpenFile> files;
  for (std::size_t i = 0; i < first.size() && files.size() < kNamedFiles; ++i) {
    if (first[i]) files.push_back(scan.deleted_open[i]);
  }
  return files;
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

std::string largest_deleted_text(const std::vector<DeletedOpenFile>& files) {
  std::string text;
  for (std::size_t i = 0; i < files.size(); ++i) {
    text += (i == 0 ? "" : "; ") + deleted_file_text(files[i]);
  }
  return text;
}

// "UID 0, members of GID 4 and processes with CAP_SYS_RESOURCE"
std::string reserve_users_text(const Ext4Reserve& reserve) {
  std::string text = "UID " + std::to_string(reserve.reserve_uid);
  if (reserve.reserve_uid == 0) text = "root (UID 0)";
  if (reserve.reserve_gid != 0) text += ", members of GID " + std::to_string(reserve.reserve_gid);
  return text + " and processes with CAP_SYS_RESOURCE";
}

// The reserve for privileged writers, when this is an ext2/3/4 that has one.
const Ext4Reserve* privileged_reserve(const RuleInput& in) {
  const std::optional<Ext4Reserve>& reserve = in.facts.ext4_reserve;
  if (!is_ext_family(fs_type_of(in.evidence)) || !reserve || reserve->reserved_bytes == 0) return nullptr;
  return &*reserve;
}

// Whether brimful's own probe wrote as one who may use the reserve.
bool probe_may_use_reserve(const RuleInput& in, const Ext4Reserve& reserve) {
  return (in.facts.effective_uid && *in.facts.effective_uid == reserve.reserve_uid) ||
         in.facts.sys_resource_capability.value_or(false);
}

// The lowest per-user limit of one kind on the way up from the user
// namespace the run speaks for, since every level counts the use below it:
// its own, or a parent's that is lower (the nearest of equals).
struct BindingLimit {
  std::uint64_t value = 0;
  // None for the namespace's own limit.
  const UserNamespaceLimits* parent = nullptr;
};

std::optional<BindingLimit> binding_limit(std::optional<std::uint64_t> own,
                                          const std::vector<UserNamespaceLimits>& parents,
                                          std::optional<std::uint64_t> UserNamespaceLimits::*kind) {
  std::optional<BindingLimit> lowest;
  if (own) lowest = BindingLimit{*own, nullptr};
  for (const UserNamespaceLimits& parent : parents) {
    const std::optional<std::uint64_t>& value = parent.*kind;
    if (value && (!lowest || *value < lowest->value)) lowest = BindingLimit{*value, &parent};
  }
  return lowest;
}

// "user namespace 4026532175 (owner UID 100000)", as `readlink
// /proc/PID/ns/user` shows it.
std::string namespace_name(const UserNamespaceLimits& ns) {
  return "user namespace " + std::to_string(ns.inode) +
         (ns.owner_uid ? " (owner UID " + std::to_string(*ns.owner_uid) + ")" : std::string());
}

// "; the largest consumers: watcher PID 20 (4 instances, 90 watches)"
std::string largest_consumers_text(const std::vector<InotifyConsumer>& consumers) {
  std::string text;
  for (std::size_t i = 0; i < consumers.size() && i < kNamedConsumers; ++i) {
    const InotifyConsumer& consumer = consumers[i];
    text += (i == 0 ? "; the largest consumers: " : ", ") + lossy_utf8(consumer.process) + " PID " +
            std::to_string(consumer.pid) + " (" + std::to_string(consumer.instances) + " instances, " +
            std::to_string(consumer.watches) + " watches)";
  }
  return text;
}

}  // namespace

// Free space that only privileged writers may use. ext4 counts its own
// reserved clusters as free too, though no writer can use them, and a
// filesystem without a reserve (ext4 made with -m 0, btrfs) has none.
std::optional<Finding> reserved_space_only(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  const Ext4Reserve* reserve = privileged_reserve(in);
  if (reserve == nullptr || fs.available_bytes != 0 || fs.free_bytes == 0) return std::nullopt;
  const std::uint64_t own = std::min(reserve->own_bytes, fs.free_bytes);
  const std::uint64_t left = std::min(fs.free_bytes - own, reserve->reserved_bytes);
  const std::string users = reserve_users_text(*reserve);
  const bool probe_refused = failed_with(in.evidence.create_probe.outcome, ENOSPC);
  const std::string own_text =
      own == 0 ? std::string() : "; " + human_size(own) + " of it is ext4's own reserved clusters, which no writer can use";
  const std::string probe_text =
      probe_refused && in.facts.effective_uid
          ? "; brimful's own write as UID " + std::to_string(*in.facts.effective_uid) + " failed with ENOSPC"
          : std::string();
  const std::string fix = "fix: free space on " + where(in.evidence);
  if (left == 0 || (probe_refused && probe_may_use_reserve(in, *reserve))) {
    return finding("reserved_space_only",
                   "the reserve for privileged writers is used up too: " + human_size(fs.free_bytes) +
                       " free but 0 B available" + own_text + probe_text + ", so every writer gets ENOSPC",
                   fix);
  }
  const std::string device =
      in.evidence.mount && in.evidence.mount->source ? lossy_utf8(*in.evidence.mount->source) : "DEVICE";
  return finding("reserved_space_only",
                 "only the reserved space is left: " + human_size(fs.free_bytes) + " free but 0 B available, " +
                     human_size(left) + " of it the reserve that only " + users + " may use" + own_text +
                     probe_text + "; others get ENOSPC",
                 fix + ", or lower the reserve with `tune2fs -m PERCENT " + device + "`");
}

std::optional<Finding> nearly_full(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  if (fs.available_bytes == 0 || fs.total_bytes == 0 ||
      at_least_percent(fs.available_bytes, fs.total_bytes, kNearlyFullPercent)) {
    return std::nullopt;
  }
  std::string summary = "only " + human_size(fs.available_bytes) + " of " + human_size(fs.total_bytes) + " (" +
                        percent_text(fs.available_bytes, fs.total_bytes) +
                        ") is available, so a write larger than that fails with ENOSPC";
  const Ext4Reserve* reserve = privileged_reserve(in);
  if (reserve != nullptr && reserve->reserved_bytes > fs.free_bytes / 2) {
    summary += "; most of the " + human_size(fs.free_bytes) + " free is the reserve of " +
               human_size(reserve->reserved_bytes) + " that only " + reserve_users_text(*reserve) + " may use";
  }
  std::string remedy = "fix: free space on " + where(in.evidence);
  const std::vector<DeletedOpenFile> files = largest_deleted(in.evidence.proc_scan);
  if (!files.empty()) {
    summary += "; the largest deleted-open files: " + largest_deleted_text(files);
    remedy += ", for example by releasing the deleted-open files";
  }
  return finding("nearly_full", summary, remedy);
}

std::optional<Finding> deleted_open_space(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  const std::uint64_t held = deleted_open_totals(in.evidence.proc_scan.deleted_open).bytes;
  if (fs.available_bytes == 0 || held == 0 || !at_least_percent(held, fs.total_bytes, kDeletedOpenPercent)) {
    return std::nullopt;
  }
  // The holder's owner may point the descriptor at another file once brimful
  // is gone: the command checks that it is still the deleted file, and acts
  // with no more rights than the owner has, so it can truncate nothing the
  // owner could not.
  std::string commands;
  const std::vector<DeletedOpenFile> files = largest_deleted(in.evidence.proc_scan);
  for (const DeletedOpenFile& file : files) {
    if (file.holders.empty()) continue;  // only a list built by hand has such a file
    const Holder holder = file.holders.front();
    const auto owner = std::find_if(in.facts.holder_owners.begin(), in.facts.holder_owners.end(),
                                    [&](const ProcessOwner& o) { return o.pid == holder.pid; });
    if (owner == in.facts.holder_owners.end()) continue;
    const std::string descriptor = "/proc/" + std::to_string(holder.pid) + "/fd/" + std::to_string(holder.fd);
    const std::string as_owner = owner->uid == 0 ? "" : "setpriv --reuid=" + std::to_string(owner->uid) +
                                                            " --regid=" + std::to_string(owner->gid) +
                                                            " --clear-groups ";
    commands += (commands.empty() ? "`" : "; `") + std::string("test \"$(stat -L -c '%d %i' ") + descriptor +
                ")\" = '" + std::to_string(file.device) + " " + std::to_string(file.inode) + "' && " + as_owner +
                "truncate -s 0 " + descriptor + "`";
  }
  const std::string remedy =
      commands.empty() ? "fix: restart the holders"
                       : "fix: release the space without a restart by truncating through a holder's descriptor, "
                         "with the holder's own rights and only while it is still the deleted file (its device "
                         "and inode): " + commands + "; or restart the holders";
  return finding("deleted_open_space",
                 "deleted files still held open take " + human_size(held) + " (" + percent_text(held, fs.total_bytes) +
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
  const InotifyUsage usage = inotify_usage(in.evidence.proc_scan);
  struct Limit {
    const char* name;
    const char* sysctl;
    std::optional<std::uint64_t> own;
    std::optional<std::uint64_t> UserNamespaceLimits::*kind;
    std::optional<std::uint64_t> global;
    std::uint64_t used;
  };
  const Limit limits[] = {
      {"watches", "user.max_inotify_watches", files.namespace_watches, &UserNamespaceLimits::watches,
       files.global_watches, usage.watches},
      {"instances", "user.max_inotify_instances", files.namespace_instances, &UserNamespaceLimits::instances,
       files.global_instances, usage.instances},
  };
  std::string summary;
  std::string sysctls;
  bool near = false;
  for (const Limit& limit : limits) {
    const std::optional<BindingLimit> binding = binding_limit(limit.own, files.parents, limit.kind);
    if (!binding || !limit.global || binding->value >= *limit.global) continue;
    const std::string allows = " allows " + grouped_number(binding->value) + " inotify " + limit.name +
                               " per user, fewer than ";
    const std::string in_use = " (" + grouped_number(limit.used) + " in use)";
    summary += summary.empty() ? "" : "; ";
    sysctls += std::string(sysctls.empty() ? "" : " and ") + limit.sysctl;
    if (binding->parent == nullptr) {
      summary += "this user namespace" + allows + "the global " + grouped_number(*limit.global) + in_use;
    } else {
      summary += namespace_name(*binding->parent) + ", a parent of this one," + allows +
                 (limit.own ? "this one's own " + grouped_number(*limit.own) + " and " : std::string()) +
                 "the global " + grouped_number(*limit.global) + in_use + ", and the lowest limit on the way up binds";
      sysctls += " in " + namespace_name(*binding->parent);
    }
    near = near || at_least_percent(limit.used, binding->value, kNearInotifyLimitPercent);
  }
  if (summary.empty()) return std::nullopt;
  if (near) summary += largest_consumers_text(in.evidence.proc_scan.inotify_consumers);
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

}  // namespace brimful
