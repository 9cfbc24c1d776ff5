#include "findings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "capacity.h"
#include "deleted_open.h"
#include "text.h"
#include "units.h"

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

std::string where(const Evidence& evidence) {
  return lossy_utf8(evidence.mount ? evidence.mount->mount_point : evidence.target);
}

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
  if (fs.available_bytes == 0 || fs.total_bytes == 0 || at_least_percent(fs.available_bytes, fs.total_bytes, 2)) {
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
  if (fs.available_bytes == 0 || held == 0 || !at_least_percent(held, fs.total_bytes, 1)) return std::nullopt;
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
    std::optional<std::uint64_t> global;
    std::uint64_t used;
  };
  const Limit limits[] = {
      {"watches", "user.max_inotify_watches", files.namespace_watches, files.global_watches, usage.watches},
      {"instances", "user.max_inotify_instances", files.namespace_instances, files.global_instances, usage.instances},
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

// ---------------------------------------------------------------------------
// Under the filesystem: the directory, the device, the allocator inside the
// filesystem and the daemon behind it.

// The least severe kernel log level a finding quotes on its own (notice).
constexpr std::uint32_t kNoticeLevel = 5;
// How many kernel messages a finding quotes.
constexpr std::size_t kQuotedMessages = 5;
// The hashed index of an ext4 directory without large_dir has two levels.
constexpr std::uint64_t kExt4IndexLevels = 2;
// XFS allocates inodes in chunks of this many.
constexpr std::uint64_t kXfsInodesPerChunk = 64;

std::string age_text(std::uint64_t now_usec, std::uint64_t then_usec) {
  const std::uint64_t seconds = now_usec > then_usec ? (now_usec - then_usec) / 1000000 : 0;
  if (seconds < 120) return std::to_string(seconds) + " s ago";
  if (seconds < 2 * 3600) return std::to_string(seconds / 60) + " min ago";
  if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h ago";
  return std::to_string(seconds / 86400) + " d ago";
}

// The message as the display shows it, its own quotes escaped so that its
// end cannot be forged; the kernel's text escapes the backslash itself.
std::string quoted_message(const ExplainFacts& facts, const KernelMessage& message) {
  std::string quoted = "\"";
  for (char c : display(message.text)) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\" (" + age_text(facts.now_usec, message.timestamp_usec) + ")";
}

// The newest message about the device that contains any of the markers.
const KernelMessage* last_message_with(const ExplainFacts& facts, std::initializer_list<std::string_view> markers) {
  if (!facts.kernel_messages) return nullptr;
  for (auto it = facts.kernel_messages->rbegin(); it != facts.kernel_messages->rend(); ++it) {
    for (std::string_view marker : markers) {
      if (it->text.find(marker) != std::string::npos) return &*it;
    }
  }
  return nullptr;
}

std::string device_of(const RuleInput& in) {
  const Evidence& e = in.evidence;
  if (e.mount && e.mount->source && !e.mount->source->empty() && (*e.mount->source)[0] == '/') {
    return lossy_utf8(*e.mount->source);
  }
  return in.facts.device_name ? "/dev/" + lossy_utf8(*in.facts.device_name) : "DEVICE";
}

bool blocks_and_inodes_free(const Filesystem& fs) {
  return fs.available_bytes > 0 && (fs.free_inodes > 0 || !fs.inode_accounting_supported);
}

// "tmpfs at /tmp/x with 0 B of 8.0 MiB available and 12 of 2,000 inodes free"
std::string place_text(const Place& place) {
  std::string text;
  if (place.mount) text += lossy_utf8(place.mount->fs_type) + " at " + lossy_utf8(place.mount->mount_point);
  else text += "a filesystem brimful finds in no mount";
  const Filesystem& fs = *place.filesystem;
  text += " with " + human_size(fs.available_bytes) + " of " + human_size(fs.total_bytes) + " available";
  if (fs.total_inodes > 0) {
    text += " and " + grouped_number(fs.free_inodes) + " of " + grouped_number(fs.total_inodes) + " inodes free";
  }
  return text;
}

bool place_is_full(const Filesystem& fs) {
  return (fs.total_bytes > 0 && !at_least_percent(fs.available_bytes, fs.total_bytes, 2)) ||
         (fs.total_inodes > 0 && fs.free_inodes == 0);
}

std::string place_mount_point(const Place& place) {
  return place.mount ? lossy_utf8(place.mount->mount_point) : lossy_utf8(place.path);
}

std::optional<std::uint64_t> option_number(const Evidence& evidence, std::string_view key) {
  if (!evidence.mount) return std::nullopt;
  for (const std::string& option : evidence.mount->options) {
    if (option.size() > key.size() && option.compare(0, key.size(), key) == 0 && option[key.size()] == '=') {
      return parse_unsigned(std::string_view(option).substr(key.size() + 1), UINT64_MAX);
    }
  }
  return std::nullopt;
}

bool has_option(const Evidence& evidence, std::string_view name) {
  return evidence.mount &&
         std::find(evidence.mount->options.begin(), evidence.mount->options.end(), name) !=
             evidence.mount->options.end();
}

std::optional<Finding> kernel_messages(const RuleInput& in) {
  const ExplainFacts& facts = in.facts;
  if (!facts.kernel_messages || !facts.device_name) return std::nullopt;
  // Notices, warnings and errors; routine information ("Ending clean mount") is left out.
  std::vector<KernelMessage> messages;
  for (const KernelMessage& message : *facts.kernel_messages) {
    if (message.level <= kNoticeLevel) messages.push_back(message);
  }
  if (messages.empty()) return std::nullopt;
  std::string devices = lossy_utf8(*facts.device_name);
  for (const LoopLayer& layer : facts.loop_layers) {
    if (layer.backing_device) devices += " or " + lossy_utf8(*layer.backing_device);
  }
  // Newest first while collecting, each text once with how often it came.
  std::vector<std::pair<const KernelMessage*, std::size_t>> distinct;
  for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
    auto same =
        std::find_if(distinct.begin(), distinct.end(), [&](const auto& d) { return d.first->text == it->text; });
    if (same != distinct.end()) ++same->second;
    else if (distinct.size() < kQuotedMessages) distinct.push_back({&*it, 1});
  }
  std::string summary = "the kernel logged " + grouped_number(messages.size()) + " message" +
                        (messages.size() == 1 ? "" : "s") + " naming " + devices +
                        " since the filesystem was mounted; the newest last: ";
  for (auto it = distinct.rbegin(); it != distinct.rend(); ++it) {
    summary += (it == distinct.rbegin() ? "" : "; ") + quoted_message(facts, *it->first);
    if (it->second > 1) summary += " (" + grouped_number(it->second) + " times)";
  }
  return finding("kernel_messages", summary,
                 "check: the kernel log around them (`dmesg -T`) for what they say about " + devices);
}

std::optional<Finding> directory_full(const RuleInput& in) {
  const Evidence& e = in.evidence;
  const std::optional<DirectoryFacts>& directory = in.facts.probe_directory;
  if (!is_ext_family(fs_type_of(e)) || !directory || !blocks_and_inodes_free(e.filesystem)) return std::nullopt;
  const std::string spread = "or spread the files over subdirectories";
  const std::string probe_directory = lossy_utf8(e.probe_directory);

  if (const std::optional<std::uint64_t> limit_kib = option_number(e, "max_dir_size_kb")) {
    if (*limit_kib > 0 && directory->size_bytes / 1024 >= *limit_kib) {
      return finding("directory_full",
                     "the directory " + probe_directory + " is " + human_size(directory->size_bytes) +
                         ", the max_dir_size_kb=" + std::to_string(*limit_kib) +
                         " limit of this mount: a new name that needs another directory block fails with ENOSPC "
                         "although blocks and inodes are free",
                     "fix: remount with a larger max_dir_size_kb, " + spread);
    }
  }

  const std::string large_dir = "fix: `tune2fs -O large_dir " + device_of(in) + "`, " + spread;
  if (const KernelMessage* message = last_message_with(in.facts, {"index full"})) {
    std::string which;
    const std::size_t at = message->text.find("Directory (ino: ");
    if (at != std::string::npos) {
      const std::string_view rest = std::string_view(message->text).substr(at + 16);
      const std::optional<std::uint64_t> inode = parse_unsigned(rest.substr(0, rest.find(')')), UINT64_MAX);
      if (inode && *inode == directory->inode) {
        which = "; inode " + std::to_string(*inode) + " is the probe directory " + probe_directory;
      } else if (inode) {
        which = "; inode " + std::to_string(*inode) + " is another directory than " + probe_directory + " (inode " +
                std::to_string(directory->inode) + ")";
      }
    }
    return finding("directory_full",
                   "a directory's hashed index is full, so creating a file in it fails with ENOSPC although blocks "
                   "and inodes are free (a short name may still fit): " + quoted_message(in.facts, *message) + which,
                   large_dir);
  }
  if (in.facts.kernel_messages || directory->block_size < 64) return std::nullopt;
  // Without the kernel log: the root block holds (B - 32) / 8 index entries,
  // each further level (B - 8) / 8, and each leaf is one block.
  const std::uint64_t block = directory->block_size;
  std::uint64_t limit = (block - 32) / 8 * block;
  for (std::uint64_t level = 1; level < kExt4IndexLevels; ++level) limit *= (block - 8) / 8;
  if (!at_least_percent(directory->size_bytes, limit, 50)) return std::nullopt;
  return finding("directory_full",
                 "the directory " + probe_directory + " is " + human_size(directory->size_bytes) + ", " +
                     percent_text(directory->size_bytes, limit) + " of the " + human_size(limit) +
                     " that a two-level hashed index holds with " + std::to_string(block) +
                     "-byte blocks; when the index is full, creating a file there fails with ENOSPC",
                 "check: the kernel log for \"index full\" (`dmesg | grep 'index full'`); if it is there, " +
                     large_dir.substr(5));
}

std::optional<Finding> loop_backing_full(const RuleInput& in) {
  std::string summary;
  std::string places;
  for (const LoopLayer& layer : in.facts.loop_layers) {
    const Place& file = layer.backing_file;
    if (!file.filesystem || !place_is_full(*file.filesystem)) continue;
    summary += std::string(summary.empty() ? "" : "; ") + "the loop device " + lossy_utf8(layer.device) +
               " keeps its data in " + lossy_utf8(file.path) + ", which lies on " + place_text(file);
    places += std::string(places.empty() ? "" : " and ") + place_mount_point(file);
  }
  if (summary.empty()) return std::nullopt;
  summary += ": writes the loop device cannot place there fail (ENOSPC or EIO) whatever this filesystem's own "
             "numbers say";
  if (const KernelMessage* message = last_message_with(in.facts, {"critical space allocation error"})) {
    summary += "; the kernel logged " + quoted_message(in.facts, *message);
  }
  return finding("loop_backing_full", summary, "fix: free space on " + places + ", where the backing file lives");
}

std::optional<Finding> filesystem_errors(const RuleInput& in) {
  const Evidence& e = in.evidence;
  std::vector<std::string> signs;
  if (has_option(e, "emergency_ro")) signs.push_back("the mount options show emergency_ro");
  if (in.facts.ext4_error_count && *in.facts.ext4_error_count > 0) {
    signs.push_back("ext4 has recorded " + grouped_number(*in.facts.ext4_error_count) + " error" +
                    (*in.facts.ext4_error_count == 1 ? "" : "s") + " (errors_count)");
  }
  if (const KernelMessage* message = last_message_with(in.facts, {"Aborting journal", "ournal has aborted",
                                                                  "Detected aborted journal"})) {
    signs.push_back("the journal was aborted: " + quoted_message(in.facts, *message));
  }
  if (const KernelMessage* message = last_message_with(in.facts, {"hutting down filesystem", "has been shut down"})) {
    signs.push_back("XFS was shut down: " + quoted_message(in.facts, *message));
  }
  if (signs.empty()) return std::nullopt;
  // An error count alone may be old; the other signs mean writes stopped.
  const bool stopped = signs.size() > 1 || !in.facts.ext4_error_count || *in.facts.ext4_error_count == 0;
  std::string summary = stopped ? "the kernel stopped writes to this filesystem after an error: "
                                : "the filesystem has recorded errors: ";
  for (std::size_t i = 0; i < signs.size(); ++i) summary += (i == 0 ? "" : "; ") + signs[i];
  if (stopped && !e.filesystem.read_only) summary += "; statvfs does not show it read-only";
  const std::string repair = fs_type_of(e) == "xfs" ? "xfs_repair " : "fsck -f ";
  return finding("filesystem_errors", summary,
                 "check: unmount it and run `" + repair + device_of(in) +
                     "`; `mount -o remount,rw` will not help");
}

std::optional<Finding> overlay_upper(const RuleInput& in) {
  const std::optional<Place>& upper = in.facts.overlay_upper;
  if (!upper || !upper->filesystem) return std::nullopt;
  const std::string where_upper = place_mount_point(*upper);
  const Filesystem& fs = *upper->filesystem;
  std::string summary = "overlayfs writes new and changed files to its upper directory " + lossy_utf8(upper->path) +
                        ", on " + place_text(*upper);
  std::string remedy;
  if (fs.read_only) {
    summary += ", which is read-only: every write through the overlay fails with EROFS";
    remedy = "fix: make " + where_upper + " writable again (`mount -o remount,rw " + where_upper +
             "`), after the kernel log tells why it went read-only";
  } else if (fs.total_inodes > 0 && fs.free_inodes == 0) {
    summary += ": no inode is free there, so creating a file through the overlay fails with ENOSPC";
    remedy = "fix: remove files on " + where_upper + ", where the upper directory lies, or give that filesystem "
             "more inodes";
  } else if (place_is_full(fs)) {
    remedy = "fix: free space on " + where_upper + ", where the upper directory lies";
  } else {
    remedy = "check: " + where_upper + " (`df " + where_upper + "`), where the upper directory lies, when writes fail";
  }
  return finding("overlay_upper", summary, remedy);
}

// A read-only subvolume behind an EROFS: its allocation is beside the point.
bool read_only_subvolume_refused(const RuleInput& in) {
  const std::optional<BtrfsSubvolume>& subvolume = in.facts.btrfs_subvolume;
  return subvolume && subvolume->read_only && failed_with(in.evidence.create_probe.outcome, EROFS);
}

std::optional<Finding> btrfs_allocation(const RuleInput& in) {
  const std::optional<BtrfsAllocation>& a = in.facts.btrfs_allocation;
  if (!a || read_only_subvolume_refused(in)) return std::nullopt;
  const std::uint64_t unallocated = a->unallocated_bytes();
  std::string summary = "btrfs has allocated " + human_size(a->data.total_bytes) + " for data (" +
                        human_size(a->data.used_bytes) + " used) and " + human_size(a->metadata.total_bytes) +
                        " for metadata (" + human_size(a->metadata.used_bytes) + " used, with reservations); " +
                        human_size(unallocated) + " of " + human_size(a->device_bytes) +
                        " of the device is unallocated";
  const bool metadata_full = a->metadata.total_bytes > 0 &&
                             at_least_percent(a->metadata.used_bytes, a->metadata.total_bytes, 90) &&
                             !at_least_percent(unallocated, a->device_bytes, 1);
  const bool data_full = !metadata_full && a->data.total_bytes > 0 &&
                         at_least_percent(a->data.used_bytes, a->data.total_bytes, 99) &&
                         !at_least_percent(unallocated, a->device_bytes, 1);
  if (metadata_full) {
    summary += "; metadata is full and nothing is left to allocate, so creating files fails with ENOSPC while data "
               "space is free";
  }
  if (data_full) {
    summary += "; the data chunks are full and nothing is left to allocate, so writes fail with ENOSPC while "
               "metadata has room";
  }
  const std::optional<BtrfsSubvolume>& subvolume = in.facts.btrfs_subvolume;
  const std::uint64_t snapshots = subvolume && subvolume->snapshots ? *subvolume->snapshots : 0;
  if ((metadata_full || data_full) && snapshots > 0) {
    summary += "; the filesystem has " + grouped_number(snapshots) + " snapshot" + (snapshots == 1 ? "" : "s") +
               ", which keep what was deleted after they were taken";
  }
  summary += "; btrfs has no fixed inode table, it makes inodes from metadata space, so the inode numbers "
             "statvfs shows do not apply";
  const std::string point = where(in.evidence);
  std::string remedy;
  if (metadata_full) {
    remedy = "fix: `btrfs balance start -dusage=10 " + point +
             "` to return barely used data chunks to unallocated space, from which metadata can grow";
  } else if (data_full) {
    remedy = std::string("fix: delete data") + (snapshots > 0 ? ", and snapshots that hold deleted data," : "") +
             " or add a device (`btrfs device add DEVICE " + point + "`); balance will not help";
  } else {
    remedy = "check: `btrfs filesystem usage " + point + "`";
  }
  return finding("btrfs_allocation", summary, remedy);
}

std::optional<Finding> btrfs_read_only_subvolume(const RuleInput& in) {
  const std::optional<BtrfsSubvolume>& subvolume = in.facts.btrfs_subvolume;
  if (!subvolume || !subvolume->read_only || in.evidence.filesystem.read_only) return std::nullopt;
  const std::string root = lossy_utf8(subvolume->root);
  return finding("btrfs_read_only_subvolume",
                 "the btrfs subvolume " + root + " is read-only (a read-only snapshot, or set so with `btrfs "
                 "property set`), so writes under it fail with EROFS although the filesystem is mounted read-write",
                 "check: `btrfs property get " + root + " ro`; write to a writable snapshot of it (`btrfs subvolume "
                 "snapshot " + root + " NEW`), or if it was not received, `btrfs property set " + root + " ro false`");
}

std::optional<Finding> xfs_inode_limit(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  const std::optional<XfsGeometry>& geometry = in.facts.xfs_geometry;
  if (!geometry || fs.total_inodes == 0 || fs.free_inodes != 0 || fs.available_bytes == 0) return std::nullopt;
  return finding("xfs_inode_limit",
                 "XFS lets inodes take at most " + std::to_string(geometry->imaxpct) +
                     "% of its space (imaxpct), and all " + grouped_number(fs.total_inodes) +
                     " inodes that fit are in use while " + human_size(fs.available_bytes) + " of " +
                     human_size(fs.total_bytes) + " is available, so creating a file fails with ENOSPC",
                 "fix: `xfs_growfs -m PERCENT " + where(in.evidence) + "` with a PERCENT above " +
                     std::to_string(geometry->imaxpct) + ", or remove files");
}

std::optional<Finding> xfs_free_space_fragmented(const RuleInput& in) {
  const Filesystem& fs = in.evidence.filesystem;
  const std::optional<XfsGeometry>& geometry = in.facts.xfs_geometry;
  if (!geometry || geometry->sparse_inodes || geometry->block_size == 0 || fs.free_inodes == 0 ||
      fs.available_bytes == 0) {
    return std::nullopt;
  }
  const KernelMessage* message = last_message_with(in.facts, {"ENOSPC", "error -28"});
  const bool probe = failed_with(in.evidence.create_probe.outcome, ENOSPC);
  if (!probe && message == nullptr) return std::nullopt;
  const std::uint64_t chunk_blocks =
      std::max<std::uint64_t>(1, kXfsInodesPerChunk * geometry->inode_size / geometry->block_size);
  const std::string failure =
      probe ? "the create probe failed with ENOSPC" : "the kernel logged " + quoted_message(in.facts, *message);
  std::string summary = failure + " while " + human_size(fs.available_bytes) + " is available and " +
                        grouped_number(fs.free_inodes) +
                        " inodes are free: this XFS has no sparse inode chunks, so new inodes need " +
                        grouped_number(chunk_blocks) + " contiguous, aligned blocks (" +
                        std::to_string(kXfsInodesPerChunk) + " inodes of " + std::to_string(geometry->inode_size) +
                        " bytes), which fragmented free space cannot give";
  if (in.facts.free_extents && !in.facts.free_extents->empty()) {
    // Free extents by length in blocks, in powers of two as xfs_db freesp counts them.
    std::uint64_t buckets[64] = {};
    std::uint64_t shorter = 0;
    for (std::uint64_t bytes : *in.facts.free_extents) {
      const std::uint64_t blocks = std::max<std::uint64_t>(1, bytes / geometry->block_size);
      ++buckets[63 - __builtin_clzll(blocks)];
      if (blocks < chunk_blocks) ++shorter;
    }
    const std::uint64_t total = in.facts.free_extents->size();
    summary += "; " + grouped_number(shorter) + " of " + grouped_number(total) + " free extents (" +
               percent_text(shorter, total) + ") are shorter; free extents by length in blocks:";
    bool first = true;
    for (int i = 0; i < 64; ++i) {
      if (buckets[i] == 0) continue;
      const std::uint64_t low = 1ull << i;
      const std::string range = i == 0 ? "1" : std::to_string(low) + "-" + std::to_string(low * 2 - 1);
      summary += std::string(first ? " " : ", ") + range + ": " + grouped_number(buckets[i]);
      first = false;
    }
  }
  return finding("xfs_free_space_fragmented", summary,
                 "fix: free contiguous space (remove or move large files), or move the data to a new filesystem "
                 "made with sparse inodes (`mkfs.xfs -i sparse=1`)");
}

std::optional<Finding> fuse_backend(const RuleInput& in) {
  const std::optional<FuseConnection>& fuse = in.facts.fuse;
  if (!fuse) return std::nullopt;
  std::string servers;
  for (std::size_t i = 0; i < fuse->servers.size() && i < kNamedConsumers; ++i) {
    servers += (i == 0 ? "" : ", ") + lossy_utf8(fuse->servers[i].process) + " PID " +
               std::to_string(fuse->servers[i].pid);
  }
  std::string summary = "this is a FUSE filesystem (connection " + std::to_string(fuse->id) +
                        "): its numbers and its errors come from the process that serves it, " +
                        (servers.empty() ? "which brimful cannot see" : servers);
  if (fuse->waiting) summary += ", with " + grouped_number(*fuse->waiting) + " requests waiting for an answer";
  summary += "; an ENOSPC here is the backend's (a remote, a bucket, a quota) and cannot be confirmed locally";
  if (failed_with(in.evidence.create_probe.outcome, ENOSPC)) {
    summary += "; the create probe got ENOSPC while the filesystem reports " +
               human_size(in.evidence.filesystem.available_bytes) + " available";
  }
  return finding("fuse_backend", summary,
                 "check: the space and quota of the backend " + (servers.empty() ? std::string("daemon") : servers) +
                     " serves, and that daemon's own log");
}

std::optional<Finding> mqueue_queue_limit(const RuleInput& in) {
  const std::optional<MqueueFacts>& mq = in.facts.mqueue;
  if (!mq || !mq->queues_max || mq->queues < *mq->queues_max) return std::nullopt;
  return finding("mqueue_queue_limit",
                 "this IPC namespace holds " + grouped_number(mq->queues) +
                     " POSIX message queues, its limit fs.mqueue.queues_max: creating another (mq_open with "
                     "O_CREAT) fails with ENOSPC for processes without CAP_SYS_RESOURCE",
                 "fix: raise fs.mqueue.queues_max (`sysctl -w fs.mqueue.queues_max=N`) in that IPC namespace, or "
                 "remove queues that are no longer used (mq_unlink, or rm under " +
                     where(in.evidence) + ")");
}

std::optional<Finding> mqueue_byte_limit(const RuleInput& in) {
  const std::optional<MqueueFacts>& mq = in.facts.mqueue;
  if (!mq || !mq->byte_limit || !mq->default_queue_bytes) return std::nullopt;
  const bool refused = failed_with(in.evidence.create_probe.outcome, EMFILE);
  if (!refused && saturating_add(mq->uid_bytes, *mq->default_queue_bytes) <= *mq->byte_limit) return std::nullopt;
  std::string summary = "UID " + std::to_string(mq->uid) + "'s " + grouped_number(mq->uid_queues) +
                        " queues here take " + grouped_number(mq->uid_bytes) + " bytes of its RLIMIT_MSGQUEUE of " +
                        grouped_number(*mq->byte_limit) + " bytes, and a queue of the default size takes " +
                        grouped_number(*mq->default_queue_bytes) + ", so creating it fails with EMFILE";
  if (refused) summary += "; brimful's own queue was refused with EMFILE";
  if (mq->msg_max && mq->msgsize_max) {
    summary += "; a queue may have at most " + grouped_number(*mq->msg_max) + " messages (fs.mqueue.msg_max) of " +
               grouped_number(*mq->msgsize_max) + " bytes (fs.mqueue.msgsize_max), or mq_open fails with EINVAL";
  }
  return finding("mqueue_byte_limit", summary,
                 "fix: raise the limit (`ulimit -q`, LimitMSGQUEUE= under systemd), create queues with a smaller "
                 "mq_maxmsg or mq_msgsize, or remove queues that are no longer used");
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
         grouped_number(descriptors.limit) + " open files, " + percent_text(descriptors.open, descriptors.limit) + ")";
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
                     grouped_number(table->maximum) + " (" + percent_text(table->allocated, table->maximum) +
                     "): new opens fail with ENFILE for every process that is not root",
                 "fix: raise fs.file-max (`sysctl -w fs.file-max=N`), or find the process that holds the most files");
}

// What differs in one view: the filesystem, or only whether it is mounted
// read-only.
std::string view_text(const OtherNamespaceView& view) {
  std::string text = process_text(view.process, view.pid) + " (" + lossy_utf8(view.fs_type) + " on " +
                     lossy_utf8(view.mount_point);
  if (view.same_filesystem) {
    text += view.read_only ? ", read-only there: its writes fail with EROFS" : ", writable there, read-only here";
  }
  return text + ")";
}

std::optional<Finding> other_mount_namespace(const RuleInput& in) {
  const std::vector<OtherNamespaceView>& views = in.facts.other_namespace_views;
  if (views.empty()) return std::nullopt;
  const std::size_t same = static_cast<std::size_t>(
      std::count_if(views.begin(), views.end(), [](const OtherNamespaceView& view) { return view.same_filesystem; }));
  const char* where = same == 0             ? " where it lies on another filesystem than the one examined here: "
                      : same == views.size() ? " where the same filesystem is mounted with other flags than here: "
                                             : " where it lies on another filesystem than the one examined here, or "
                                               "on the same one mounted with other flags: ";
  std::string summary = "processes in another mount namespace use " + lossy_utf8(in.evidence.target) + where;
  std::string remedy = "check: rerun with --pid " + std::to_string(views.front().pid);
  for (std::size_t i = 0; i < views.size() && i < kNamedProcesses; ++i) {
    const OtherNamespaceView& view = views[i];
    summary += (i == 0 ? "" : "; ") + view_text(view);
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
    // Under the filesystem.
    kernel_messages, directory_full, loop_backing_full, filesystem_errors, overlay_upper, btrfs_allocation,
    btrfs_read_only_subvolume,
    xfs_inode_limit, xfs_free_space_fragmented, fuse_backend, mqueue_queue_limit, mqueue_byte_limit,
    // As the application sees it.
    process_descriptor_limit, system_file_limit, other_mount_namespace,
};

// The kinds that name a cause of ENOSPC, and those among them that count
// inodes exactly where statvfs alone does not.
constexpr std::string_view kExplainsEnospc[] = {
    "reserved_space_only", "nearly_full",      "tmpfs_inode_limit", "directory_full",
    "loop_backing_full",   "btrfs_allocation", "xfs_inode_limit",   "xfs_free_space_fragmented",
    "fuse_backend",        "mqueue_queue_limit", "mqueue_byte_limit",
};
constexpr std::string_view kCountsInodes[] = {"tmpfs_inode_limit", "xfs_inode_limit"};

template <std::size_t N>
std::string kinds_among(const std::vector<Finding>& findings, const std::string_view (&kinds)[N]) {
  std::vector<std::string> named;
  for (const Finding& f : findings) {
    if (std::find(std::begin(kinds), std::end(kinds), f.kind) != std::end(kinds)) named.push_back(f.kind);
  }
  std::string text;
  for (std::size_t i = 0; i < named.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == named.size() ? " and " : ", ") + named[i];
  }
  return named.size() == 1 ? "the finding " + text : named.empty() ? text : "the findings " + text;
}

constexpr std::string_view kUnexplained = "the observed ENOSPC is not explained by the checks supported by brimful";
constexpr std::string_view kNotCounted = ", but fixed inode accounting is not supported for confirmation";

}  // namespace

std::vector<std::string> notes_beside(const std::vector<std::string>& notes, const std::vector<Finding>& findings) {
  const std::string explaining = kinds_among(findings, kExplainsEnospc);
  const std::string counting = kinds_among(findings, kCountsInodes);
  std::vector<std::string> worded;
  for (const std::string& note : notes) {
    const bool not_counted = note.size() > kNotCounted.size() &&
                             note.compare(note.size() - kNotCounted.size(), kNotCounted.size(), kNotCounted) == 0;
    if (note == kUnexplained && !explaining.empty()) {
      worded.push_back("the checks behind the verdict do not explain the observed ENOSPC; " + explaining +
                       (explaining.compare(0, 12, "the finding ") == 0 ? " does" : " do"));
    } else if (not_counted && !counting.empty()) {
      worded.push_back(note.substr(0, note.size() - kNotCounted.size()) +
                       ", which the verdict alone cannot confirm; " + counting + " counts them exactly");
    } else {
      worded.push_back(note);
    }
  }
  return worded;
}

std::string more_findings_hint(const std::vector<Finding>& findings) {
  if (findings.empty()) return {};
  std::string kinds;
  for (const Finding& f : findings) kinds += (kinds.empty() ? "" : ", ") + f.kind;
  return "brimful: " + std::to_string(findings.size()) +
         (findings.size() == 1 ? " finding explains" : " findings explain") + " more (" + kinds +
         "); rerun with --explain\n";
}

bool inodes_counted_by(const std::vector<Finding>& findings) { return !kinds_among(findings, kCountsInodes).empty(); }

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
