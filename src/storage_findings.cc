#include "storage_findings.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <string_view>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "capacity.h"
#include "text.h"
#include "units.h"

namespace brimful {

namespace {

// The least severe kernel log level a finding quotes on its own (notice).
constexpr std::uint32_t kNoticeLevel = 5;
// How many kernel messages a finding quotes.
constexpr std::size_t kQuotedMessages = 5;
// The hashed index of an ext4 directory without large_dir has two levels.
constexpr std::uint64_t kExt4IndexLevels = 2;
// XFS allocates inodes in chunks of this many.
constexpr std::uint64_t kXfsInodesPerChunk = 64;
// A directory whose size reaches this share of what its index can hold
// earns a warning when the kernel log cannot tell whether the index is full.
constexpr std::uint64_t kDirectoryIndexPercent = 50;
// An ext4 index block: the root block's header, a further block's header,
// and one index entry, in bytes.
constexpr std::uint64_t kIndexRootHeader = 32;
constexpr std::uint64_t kIndexNodeHeader = 8;
constexpr std::uint64_t kIndexEntry = 8;
// What ext4 logs before the inode of a directory whose index is full:
// "Directory (ino: 1234) index full, reach max htree level :2".
constexpr std::string_view kIndexFullInode = "Directory (ino: ";
// btrfs metadata or data chunks this full, with less than the last share
// of the device left to allocate, leave nothing to grow into.
constexpr std::uint64_t kBtrfsMetadataFullPercent = 90;
constexpr std::uint64_t kBtrfsDataFullPercent = 99;
constexpr std::uint64_t kBtrfsUnallocatedPercent = 1;
constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;
constexpr std::uint64_t kSecondsPerMinute = 60;
constexpr std::uint64_t kSecondsPerHour = 3600;
constexpr std::uint64_t kSecondsPerDay = 86400;

std::string age_text(std::uint64_t now_usec, std::uint64_t then_usec) {
  const std::uint64_t seconds = now_usec > then_usec ? (now_usec - then_usec) / kMicrosecondsPerSecond : 0;
  if (seconds < 2 * kSecondsPerMinute) return std::to_string(seconds) + " s ago";
  if (seconds < 2 * kSecondsPerHour) return std::to_string(seconds / kSecondsPerMinute) + " min ago";
  if (seconds < 2 * kSecondsPerDay) return std::to_string(seconds / kSecondsPerHour) + " h ago";
  return std::to_string(seconds / kSecondsPerDay) + " d ago";
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
  return (fs.total_bytes > 0 && !at_least_percent(fs.available_bytes, fs.total_bytes, kNearlyFullPercent)) ||
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

// A read-only subvolume behind an EROFS: its allocation is beside the point.
bool read_only_subvolume_refused(const RuleInput& in) {
  const std::optional<BtrfsSubvolume>& subvolume = in.facts.btrfs_subvolume;
  return subvolume && subvolume->read_only && failed_with(in.evidence.create_probe.outcome, EROFS);
}

// Which directory an "index full" message names, against the probe
// directory: "; inode N is the probe directory D", or nothing when the
// message names no inode.
std::string index_full_directory_text(std::string_view text, const DirectoryFacts& directory,
                                      const std::string& probe_directory) {
  const std::size_t at = text.find(kIndexFullInode);
  if (at == std::string_view::npos) return {};
  const std::string_view rest = text.substr(at + kIndexFullInode.size());
  const std::optional<std::uint64_t> inode = parse_unsigned(rest.substr(0, rest.find(')')), UINT64_MAX);
  if (!inode) return {};
  if (*inode == directory.inode) {
    return "; inode " + std::to_string(*inode) + " is the probe directory " + probe_directory;
  }
  return "; inode " + std::to_string(*inode) + " is another directory than " + probe_directory + " (inode " +
         std::to_string(directory.inode) + ")";
}

// The bytes a directory's hashed index holds with blocks of this size: the
// root block holds (B - 32) / 8 index entries, each further level (B - 8) / 8,
// and each leaf is one block.
std::uint64_t index_capacity_bytes(std::uint64_t block) {
  std::uint64_t limit = (block - kIndexRootHeader) / kIndexEntry * block;
  for (std::uint64_t level = 1; level < kExt4IndexLevels; ++level) limit *= (block - kIndexNodeHeader) / kIndexEntry;
  return limit;
}

}  // namespace

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

  const std::string large_dir = "`tune2fs -O large_dir " + device_of(in) + "`, " + spread;
  if (const KernelMessage* message = last_message_with(in.facts, {"index full"})) {
    return finding("directory_full",
                   "a directory's hashed index is full, so creating a file in it fails with ENOSPC although blocks "
                   "and inodes are free (a short name may still fit): " + quoted_message(in.facts, *message) +
                       index_full_directory_text(message->text, *directory, probe_directory),
                   "fix: " + large_dir);
  }
  if (in.facts.kernel_messages || directory->block_size < 64) return std::nullopt;
  const std::uint64_t block = directory->block_size;
  const std::uint64_t limit = index_capacity_bytes(block);
  if (!at_least_percent(directory->size_bytes, limit, kDirectoryIndexPercent)) return std::nullopt;
  return finding("directory_full",
                 "the directory " + probe_directory + " is " + human_size(directory->size_bytes) + ", " +
                     percent_text(directory->size_bytes, limit) + " of the " + human_size(limit) +
                     " that a two-level hashed index holds with " + std::to_string(block) +
                     "-byte blocks; when the index is full, creating a file there fails with ENOSPC",
                 "check: the kernel log for \"index full\" (`dmesg | grep 'index full'`); if it is there, " +
                     large_dir);
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

std::optional<Finding> btrfs_allocation(const RuleInput& in) {
  const std::optional<BtrfsAllocation>& a = in.facts.btrfs_allocation;
  if (!a || read_only_subvolume_refused(in)) return std::nullopt;
  const std::uint64_t unallocated = a->unallocated_bytes();
  std::string summary = "btrfs has allocated " + human_size(a->data.total_bytes) + " for data (" +
                        human_size(a->data.used_bytes) + " used) and " + human_size(a->metadata.total_bytes) +
                        " for metadata (" + human_size(a->metadata.used_bytes) + " used, with reservations); " +
                        human_size(unallocated) + " of " + human_size(a->device_bytes) +
                        " of the device is unallocated";
  const bool nothing_left = !at_least_percent(unallocated, a->device_bytes, kBtrfsUnallocatedPercent);
  const bool metadata_full = a->metadata.total_bytes > 0 && nothing_left &&
                             at_least_percent(a->metadata.used_bytes, a->metadata.total_bytes, kBtrfsMetadataFullPercent);
  const bool data_full = !metadata_full && a->data.total_bytes > 0 && nothing_left &&
                         at_least_percent(a->data.used_bytes, a->data.total_bytes, kBtrfsDataFullPercent);
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

// The target's own filesystem, or else the first one under it (a loop
// device's backing file, an overlay's upper directory) that did not answer.
std::optional<Finding> filesystem_not_responding(const RuleInput& in) {
  const Evidence& e = in.evidence;
  std::string where;
  int waited = e.unanswered_after_ms;
  if (e.unanswered != Unanswered::none) {
    where = display(e.mount ? e.mount->mount_point : e.target) + " (" + display(fs_type_of(e)) + ")";
  } else if (!in.facts.unanswered.empty()) {
    const MountPlace& mount = in.facts.unanswered.front();
    where = display(mount.mount_point) + " (" + display(mount.fs_type) + ")";
    waited = in.facts.unanswered_after_ms;
  } else {
    return std::nullopt;
  }
  std::string summary = where + " did not answer within " + waited_text(waited) +
                        ", so what it was not asked is missing from this report";
  const std::optional<FuseConnection>& fuse = in.facts.fuse;
  if (e.unanswered != Unanswered::none && fuse && !fuse->servers.empty()) {
    summary += "; it is served by " + lossy_utf8(fuse->servers[0].process) + " PID " +
               std::to_string(fuse->servers[0].pid) + ", which is stopped, hung or waiting on its own backend";
  }
  return finding("filesystem_not_responding", summary,
                 "check: whether the process that serves it runs (`ps -o stat,wchan PID`: T is stopped), and the "
                 "network or device under it; `umount -l` detaches a mount that will never answer again");
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

}  // namespace brimful
