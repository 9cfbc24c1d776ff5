#include "facts.h"

#include <fcntl.h>
#include <mqueue.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "bounded_call.h"
#include "capacity.h"
#include "mountinfo.h"
#include "procfs.h"
#include "superblock.h"
#include "text.h"

namespace brimful {

namespace {

// How deep loop devices on files on loop devices are followed.
constexpr int kLoopDepth = 8;

std::optional<struct stat> stat_of(const OsPath& path) {
  struct stat status {};
  if (contains_nul(path) || stat_without_waiting(AT_FDCWD, path.c_str(), status) != 0) return std::nullopt;
  return status;
}

Place place_of(const OsPath& path, const OsPath& proc_root) {
  Place place{path, std::nullopt, std::nullopt};
  Result<std::optional<Mount>> mount = find_own_mount(path, proc_root);
  if (mount.ok()) place.mount = std::move(mount).value();
  Result<Filesystem> filesystem = filesystem_facts(path, place.mount ? place.mount->fs_type : std::string());
  if (filesystem.ok()) place.filesystem = filesystem.value();
  return place;
}

// What a call on path answers within the per-call deadline. Past it the
// answer is absent, and the mount that holds path, found in the mount table
// by its text alone (asking the filesystem would wait again), is recorded as
// unanswered. read must own what it uses: it may outlive this run's facts.
template <typename T, typename Read>
std::optional<T> within_deadline(const OsPath& path, const Viewpoint& view, ExplainFacts& facts, Read read) {
  const int deadline = call_deadline_ms(monotonic_ms(), view.run_ends_ms, kCallDeadlineMs);
  std::optional<T> answer = answer_within<T>(deadline, std::move(read));
  if (answer) return answer;
  if (facts.unanswered.empty()) facts.unanswered_after_ms = deadline;
  std::string table;
  if (read_whole_file((view.proc_root + "/self/mountinfo").c_str(), table, kTableFileLimit) != 0) table.clear();
  const std::optional<MountPlace> mount = covering_mount(table, path);
  facts.unanswered.push_back(mount ? *mount : MountPlace{0, path, "unknown", false});
  return std::nullopt;
}

std::optional<std::string> device_name_of(const OsPath& sys_root, dev_t device) {
  return block_device_name(sys_root, major(device), minor(device));
}

// The filesystem's block device: the one st_dev names, or for filesystems
// with an anonymous st_dev (btrfs) the block device the mount names. The
// mount's source is whatever its mounter wrote, maybe a path on another
// filesystem.
std::optional<std::string> filesystem_device(const Evidence& evidence, const Viewpoint& view, ExplainFacts& facts) {
  if (std::optional<std::string> name = device_name_of(view.sys_root, evidence.device)) return name;
  if (!evidence.mount || !evidence.mount->source) return std::nullopt;
  const OsPath& path = *evidence.mount->source;
  const std::optional<std::optional<struct stat>> source =
      within_deadline<std::optional<struct stat>>(path, view, facts, [path] { return stat_of(path); });
  if (!source || !*source || !S_ISBLK((*source)->st_mode)) return std::nullopt;
  return device_name_of(view.sys_root, (*source)->st_rdev);
}

// The highest directory above path on the same st_dev: every btrfs
// subvolume has an st_dev of its own.
OsPath subvolume_root(const OsPath& path, dev_t device) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  OsPath root(resolved);
  std::free(resolved);
  while (root != "/") {
    const std::size_t slash = root.rfind('/');
    const OsPath parent = slash == 0 ? OsPath("/") : root.substr(0, slash);
    const std::optional<struct stat> status = stat_of(parent);
    if (!status || status->st_dev != device) break;
    root = parent;
  }
  return root;
}

std::uint64_t monotonic_usec() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

bool is_fuse(const std::string& type) { return type == "fuse" || type.compare(0, 5, "fuse.") == 0; }

// Where the kernel does not say which connection a holder of /dev/fuse
// serves: the holders whose name is the filesystem's own ("fuse.sshfs" and
// sshfs) when there are any.
std::vector<FuseServer> servers_of(std::vector<FuseServer> servers, const Mount& mount) {
  std::vector<std::string> names;
  if (mount.fs_type.size() > 5) names.push_back(mount.fs_type.substr(5));
  if (mount.source) names.push_back(mount.source->substr(mount.source->rfind('/') + 1));
  std::vector<FuseServer> named;
  for (const FuseServer& server : servers) {
    for (const std::string& name : names) {
      if (!name.empty() && server.process == name) {
        named.push_back(server);
        break;
      }
    }
  }
  return named.empty() ? servers : named;
}

// The mount options name the reserve's owners when they differ from the
// superblock's defaults ("resuid=4242").
std::optional<Ext4Reserve> read_ext4_reserve(const Evidence& evidence, const Viewpoint& view,
                                             const std::string& device) {
  const std::optional<Ext4Superblock> superblock = read_ext4_superblock(view.dev_root + "/" + device);
  if (!superblock) return std::nullopt;
  Ext4Reserve reserve;
  reserve.reserved_bytes = saturating_multiply(superblock->reserved_blocks, superblock->block_size);
  reserve.reserve_uid = superblock->reserve_uid;
  reserve.reserve_gid = superblock->reserve_gid;
  for (const std::string& option : evidence.mount ? evidence.mount->options : std::vector<std::string>{}) {
    for (auto [key, id] : {std::pair{"resuid=", &reserve.reserve_uid}, std::pair{"resgid=", &reserve.reserve_gid}}) {
      if (option.compare(0, 7, key) != 0) continue;
      if (std::optional<std::uint64_t> value = parse_unsigned(std::string_view(option).substr(7), UINT32_MAX)) {
        *id = static_cast<std::uint32_t>(*value);
      }
    }
  }
  const std::optional<std::uint64_t> own = ext4_reserved_clusters(view.sys_root, device);
  reserve.own_bytes = own ? saturating_multiply(*own, superblock->cluster_size) : 0;
  return reserve;
}

std::optional<std::uint64_t> read_number_file(const OsPath& path) {
  const std::optional<std::string> text = read_whole_file(path);
  return text ? parse_unsigned(trim_unicode_whitespace(*text), UINT64_MAX) : std::nullopt;
}

MqueueFacts read_mqueue(const OsPath& mount_point, const Viewpoint& view, std::uint32_t uid) {
  MqueueFacts facts;
  const OsPath sysctl = view.proc_root + "/sys/fs/mqueue/";
  facts.queues_max = read_number_file(sysctl + "queues_max");
  facts.msg_max = read_number_file(sysctl + "msg_max");
  facts.msgsize_max = read_number_file(sysctl + "msgsize_max");
  const std::optional<std::uint64_t> messages = read_number_file(sysctl + "msg_default");
  const std::optional<std::uint64_t> size = read_number_file(sysctl + "msgsize_default");
  if (messages && size) facts.default_queue_bytes = mqueue_charge(*messages, *size);
  const std::string limits =
      view.proc_root + "/" + (view.as_seen_by ? std::to_string(view.as_seen_by->pid) : std::string("self"));
  if (const std::optional<std::string> text = read_whole_file(limits + "/limits")) {
    facts.byte_limit = parse_soft_limit(*text, kMessageQueueLimit);
  }
  facts.uid = uid;
  DirectoryListing directory(mount_point);
  if (!directory.is_open()) return facts;
  while (const char* entry = directory.next()) {
    if (entry[0] == '.') continue;
    ++facts.queues;
    // Opening a queue for reading takes no message and creates nothing.
    const UniqueFd fd(::openat(directory.fd(), entry, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) continue;
    struct stat status {};
    struct mq_attr attributes {};
    if (::fstat(fd.get(), &status) == 0 && status.st_uid == uid && ::mq_getattr(fd.get(), &attributes) == 0) {
      ++facts.uid_queues;
      facts.uid_bytes = saturating_add(
          facts.uid_bytes, mqueue_charge(static_cast<std::uint64_t>(attributes.mq_maxmsg),
                                         static_cast<std::uint64_t>(attributes.mq_msgsize)));
    }
  }
  return facts;
}

}  // namespace

std::uint64_t mqueue_charge(std::uint64_t max_messages, std::uint64_t message_size) {
  constexpr std::uint64_t kBookkeeping = 48;
  constexpr std::uint64_t kPriorities = 32768;
  return saturating_add(saturating_add(saturating_multiply(max_messages, message_size),
                                       saturating_multiply(max_messages, kBookkeeping)),
                        saturating_multiply(std::min(max_messages, kPriorities), kBookkeeping));
}

// "Uid:\t1000\t1000\t1000\t1000" and "Gid:\t..." alike: a holder that
// changed neither its user nor its group.
std::optional<ProcessOwner> parse_status_owner(std::string_view status) {
  const auto uids = parse_status_ids(status, "Uid:");
  const auto gids = parse_status_ids(status, "Gid:");
  const auto same = [](const std::array<std::uint32_t, 4>& ids) {
    return std::all_of(ids.begin(), ids.end(), [&](std::uint32_t id) { return id == ids[0]; });
  };
  if (!uids || !gids || !same(*uids) || !same(*gids)) return std::nullopt;
  return ProcessOwner{0, (*uids)[0], (*gids)[0]};
}

std::optional<std::uint32_t> read_effective_uid(const OsPath& proc_root) {
  const std::optional<std::string> text = read_whole_file(proc_root + "/self/status");
  const auto uids = text ? parse_status_ids(*text, "Uid:") : std::nullopt;
  return uids ? std::optional<std::uint32_t>((*uids)[kEffectiveId]) : std::nullopt;
}

std::optional<std::uint64_t> read_open_files_limit(const OsPath& proc_root) {
  const std::optional<std::string> text = read_whole_file(proc_root + "/self/limits");
  return text ? parse_soft_limit(*text, kOpenFilesLimit) : std::nullopt;
}

OsPath overlay_option_path(std::string_view value) {
  OsPath path;
  path.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && ++i == value.size()) break;
    path += value[i];
  }
  return path;
}

ExplainFacts gather_explain_facts(const Viewpoint& view) {
  ExplainFacts facts;
  facts.effective_uid = read_effective_uid(view.proc_root);
  facts.open_files_limit = read_open_files_limit(view.proc_root);
  if (const std::optional<std::string> status = read_whole_file(view.proc_root + "/self/status")) {
    facts.sys_resource_capability = parse_status_sys_resource(*status);
  }
  facts.inotify_limit_files =
      view.inotify_limit_files ? *view.inotify_limit_files : read_inotify_limit_files(view.proc_root + "/sys");
  facts.file_table = read_file_table(view.proc_root);
  if (view.as_seen_by) facts.process_descriptors = read_process_descriptors(view.proc_root, view.as_seen_by->pid);
  return facts;
}

// The owners of the first holder of each of the largest deleted-open files,
// in the scan's order (largest first), as many as a finding may name.
std::vector<ProcessOwner> read_holder_owners(const OsPath& proc_root, const DeletedOpenFiles& files) {
  constexpr std::size_t kFiles = 8;
  std::vector<ProcessOwner> owners;
  const std::vector<bool> first = files.first_of_each_file();
  for (std::size_t i = 0, seen = 0; i < first.size() && seen < kFiles; ++i) {
    if (!first[i]) continue;
    ++seen;
    const DeletedOpenFile file = files[i];
    if (file.holders.empty()) continue;
    const std::uint32_t pid = file.holders.front().pid;
    const std::optional<std::string> status = read_whole_file(proc_root + "/" + std::to_string(pid) + "/status");
    std::optional<ProcessOwner> owner = status ? parse_status_owner(*status) : std::nullopt;
    if (!owner) continue;
    owner->pid = pid;
    owners.push_back(*owner);
  }
  return owners;
}

namespace {

// The filesystem's block device, the loop devices under it, what the
// kernel logged about them, and ext4's own counts.
void gather_device_facts(const Evidence& evidence, const Viewpoint& view, ExplainFacts& facts) {
  facts.device_name = filesystem_device(evidence, view, facts);
  if (!facts.device_name) return;
  std::vector<std::string> devices{*facts.device_name};
  std::string device = *facts.device_name;
  for (int depth = 0; depth < kLoopDepth; ++depth) {
    const std::optional<OsPath> file = loop_backing_file(view.sys_root, device);
    if (!file) break;
    // The backing file lies on another filesystem, which may not answer.
    using Backing = std::pair<std::optional<struct stat>, Place>;
    const std::optional<Backing> backing = within_deadline<Backing>(
        *file, view, facts, [file = *file, proc_root = view.proc_root] {
          return Backing{stat_of(file), place_of(file, proc_root)};
        });
    if (!backing) break;
    const std::optional<std::string> under =
        backing->first ? device_name_of(view.sys_root, backing->first->st_dev) : std::nullopt;
    facts.loop_layers.push_back(LoopLayer{device, backing->second, under});
    if (!under) break;
    devices.push_back(*under);
    device = *under;
  }
  if (std::optional<std::vector<KernelMessage>> log = read_kernel_log(view.kmsg)) {
    facts.now_usec = monotonic_usec();
    facts.kernel_messages = messages_since_start(*log, devices);
  }
  if (is_ext_family(fs_type_of(evidence))) {
    facts.ext4_error_count = ext4_error_count(view.sys_root, *facts.device_name);
    // The superblock is read from the block device, which may wait on what
    // lies under it (a loop device's backing file on another filesystem).
    const std::optional<std::optional<Ext4Reserve>> reserve = within_deadline<std::optional<Ext4Reserve>>(
        evidence.inspected, view, facts, [mount = evidence.mount, view, device = *facts.device_name] {
          Evidence options;
          options.mount = mount;
          return read_ext4_reserve(options, view, device);
        });
    if (reserve) facts.ext4_reserve = *reserve;
  }
}

// A question to the target's filesystem through its ioctls: a test's fake
// answers at once, the kernel within the per-call deadline (XFS reads its
// free-space trees from the device, which may hang).
template <typename T>
using IoctlCall = std::optional<T> (FilesystemIoctls::*)(const OsPath&) const;
template <typename T>
std::optional<T> ask_ioctl(const FilesystemIoctls* fake, IoctlCall<T> call, const OsPath& path, const Viewpoint& view,
                           ExplainFacts& facts) {
  if (fake != nullptr) return (fake->*call)(path);
  const std::optional<std::optional<T>> answer = within_deadline<std::optional<T>>(
      path, view, facts, [call, path] { return (KernelFilesystemIoctls().*call)(path); });
  return answer ? *answer : std::nullopt;
}

// What only one type of filesystem can tell. Once one call has gone
// unanswered, nothing more is asked of the filesystems under the target.
void gather_type_facts(const Evidence& evidence, const Viewpoint& view, const FilesystemIoctls* fake,
                       ExplainFacts& facts) {
  const std::string& type = fs_type_of(evidence);
  const OsPath& inspected = evidence.inspected;
  // Of a filesystem that did not answer, only who serves it is read (from
  // /proc and sysfs), never the filesystem itself.
  if ((evidence.unanswered != Unanswered::none || !facts.unanswered.empty()) && !is_fuse(type)) return;
  if (type == "overlay" && evidence.mount) {
    std::string mountinfo;
    if (read_whole_file((view.proc_root + "/self/mountinfo").c_str(), mountinfo, kTableFileLimit) == 0) {
      if (std::optional<OsPath> upper = parse_mount_option(mountinfo, evidence.mount->mount_id, "upperdir")) {
        // The upper directory lies on another filesystem, which may not answer.
        const OsPath path = overlay_option_path(*upper);
        facts.overlay_upper = within_deadline<Place>(
            path, view, facts, [path, proc_root = view.proc_root] { return place_of(path, proc_root); });
      }
    }
  } else if (type == "btrfs") {
    const std::optional<std::string> fsid = ask_ioctl(fake, &FilesystemIoctls::btrfs_fsid, inspected, view, facts);
    if (fsid) facts.btrfs_allocation = read_btrfs_allocation(view.sys_root, *fsid);
    facts.btrfs_subvolume = ask_ioctl(fake, &FilesystemIoctls::btrfs_subvolume, inspected, view, facts);
    // Its root is found by looking up the directories above the target,
    // the last of them on another filesystem.
    if (facts.btrfs_subvolume) {
      std::optional<OsPath> root = within_deadline<OsPath>(
          inspected, view, facts, [inspected, device = evidence.device] { return subvolume_root(inspected, device); });
      facts.btrfs_subvolume->root = root ? std::move(*root) : inspected;
    }
  } else if (type == "xfs") {
    facts.xfs_geometry = ask_ioctl(fake, &FilesystemIoctls::xfs_geometry, inspected, view, facts);
    if (facts.xfs_geometry && !facts.xfs_geometry->sparse_inodes) {
      facts.free_extents = ask_ioctl(fake, &FilesystemIoctls::free_extents, inspected, view, facts);
    }
  } else if (type == "mqueue" && evidence.mount) {
    // The kernel itself is the filesystem: nothing it answers can wait.
    facts.mqueue = read_mqueue(evidence.mount->mount_point, view, facts.effective_uid.value_or(0));
  } else if (is_fuse(type) && evidence.mount) {
    // The connection is named after the kernel's own encoding of st_dev.
    const std::uint64_t id = (static_cast<std::uint64_t>(major(evidence.device)) << 20) | minor(evidence.device);
    bool exact = false;
    std::vector<FuseServer> servers = read_fuse_servers(view.proc_root, id, exact);
    facts.fuse = FuseConnection{id, fuse_waiting_requests(view.sys_root, id),
                                exact ? std::move(servers) : servers_of(std::move(servers), *evidence.mount)};
  }
}

}  // namespace

HostFacts gather_host_facts(const Viewpoint& view) {
  HostFacts host;
  // Who else uses a filesystem matters only when no process is named.
  if (view.as_seen_by) return host;
  host.crowded = read_crowded_processes(view.proc_root);
  const std::int64_t now = monotonic_ms();
  host.namespaces_until_ms = now + call_deadline_ms(now, view.run_ends_ms, kCallDeadlineMs);
  return host;
}

ExplainFacts gather_explain_facts(const Evidence& evidence, const Viewpoint& view, const FilesystemIoctls* ioctls,
                                  const HostFacts* host) {
  ExplainFacts facts = gather_explain_facts(view);
  if (!view.as_seen_by) {
    const HostFacts own = host != nullptr ? HostFacts{} : gather_host_facts(view);
    if (host == nullptr) host = &own;
    facts.crowded_holders = crowded_holders(host->crowded, evidence.device);
    facts.other_namespace_views = read_other_namespace_views(
        view.proc_root, evidence.target, evidence.device, MountCalls::where_available, host->namespaces_until_ms);
  }
  facts.holder_owners = read_holder_owners(view.proc_root, evidence.proc_scan.deleted_open);
  gather_device_facts(evidence, view, facts);
  // A filesystem that did not answer is asked nothing more.
  const std::optional<struct stat> directory =
      evidence.unanswered == Unanswered::none ? stat_of(evidence.probe_directory) : std::nullopt;
  if (directory) {
    facts.probe_directory = DirectoryFacts{directory->st_ino, static_cast<std::uint64_t>(directory->st_size),
                                           static_cast<std::uint64_t>(directory->st_blksize)};
  }
  gather_type_facts(evidence, view, ioctls, facts);
  return facts;
}

}  // namespace brimful
