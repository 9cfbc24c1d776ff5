// The facts that only findings ask for. They are gathered with --explain
// alone, only by reading, each by a small reader named after its source.
#ifndef BRIMFUL_FACTS_H
#define BRIMFUL_FACTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fsioctl.h"
#include "kernellog.h"
#include "os.h"
#include "probe.h"
#include "process_facts.h"
#include "process_view.h"
#include "report.h"
#include "sysfs.h"

namespace brimful {

// A path brimful looks past the mount to, with the mount and the statvfs
// numbers of the filesystem it lies on, each absent when unreadable.
struct Place {
  OsPath path;
  std::optional<Mount> mount;
  std::optional<Filesystem> filesystem;
};

struct LoopLayer {
  std::string device;
  Place backing_file;
  // The block device the backing file's filesystem lies on, if any.
  std::optional<std::string> backing_device;
};

struct DirectoryFacts {
  std::uint64_t inode = 0;
  std::uint64_t size_bytes = 0;
  std::uint64_t block_size = 0;
};

struct FuseConnection {
  std::uint64_t id = 0;
  // Requests sent to the daemon and not yet answered (fusectl).
  std::optional<std::uint64_t> waiting;
  // The processes holding /dev/fuse; those whose name matches the
  // filesystem's when any does.
  std::vector<FuseServer> servers;
};

// The space of an ext2/3/4 filesystem that statfs counts free but not
// available to everyone.
struct Ext4Reserve {
  // For privileged writers: the UID and GID below and CAP_SYS_RESOURCE.
  std::uint64_t reserved_bytes = 0;
  std::uint32_t reserve_uid = 0;
  std::uint32_t reserve_gid = 0;
  // ext4's own reserved clusters, which no writer can use.
  std::uint64_t own_bytes = 0;
};

// The user and group a process runs as, when its real, effective, saved and
// filesystem IDs agree: only then can a command with those IDs reach its
// descriptors through /proc.
struct ProcessOwner {
  std::uint32_t pid = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

// A POSIX message queue filesystem: its queues are its files, and creating
// one is bound by the IPC namespace's fs.mqueue sysctls and by the
// creator's RLIMIT_MSGQUEUE.
struct MqueueFacts {
  std::uint64_t queues = 0;
  std::optional<std::uint64_t> queues_max;
  std::optional<std::uint64_t> msg_max;
  std::optional<std::uint64_t> msgsize_max;
  // What a queue made without attributes charges, as the kernel counts it.
  std::optional<std::uint64_t> default_queue_bytes;
  // RLIMIT_MSGQUEUE of brimful, or under --pid of the process.
  std::optional<std::uint64_t> byte_limit;
  // What the queues here owned by brimful's user charge against it.
  std::uint32_t uid = 0;
  std::uint64_t uid_queues = 0;
  std::uint64_t uid_bytes = 0;
};

// The bytes a queue charges against RLIMIT_MSGQUEUE: its messages and the
// kernel's bookkeeping for each (48 bytes a message and a priority on 64-bit).
std::uint64_t mqueue_charge(std::uint64_t max_messages, std::uint64_t message_size);

struct ExplainFacts {
  // From /proc/self/status: the user ID brimful runs with.
  std::optional<std::uint32_t> effective_uid;
  // From /proc/self/limits: brimful's soft limit of open files; none also
  // when it is "unlimited".
  std::optional<std::uint64_t> open_files_limit;
  // From /proc/self/status: whether brimful holds CAP_SYS_RESOURCE.
  std::optional<bool> sys_resource_capability;
  // From /proc/sys/fs/inotify and /proc/sys/user.
  InotifyLimitFiles inotify_limit_files;

  // Under the filesystem: its device, the kernel's words about it, and what
  // sysfs and the filesystem's own ioctls say.
  // The kernel's name of the block device under the filesystem ("loop0").
  std::optional<std::string> device_name;
  // A loop device and its backing file, then the loop device that file
  // lies on, if any, and so on down.
  std::vector<LoopLayer> loop_layers;
  // The kernel log's messages about the device (and the devices under it)
  // since the filesystem on it started, oldest first; none when the log is
  // unreadable or holds no start of this filesystem.
  std::optional<std::vector<KernelMessage>> kernel_messages;
  // The monotonic clock when the log was read, in microseconds.
  std::uint64_t now_usec = 0;
  std::optional<DirectoryFacts> probe_directory;
  std::optional<std::uint64_t> ext4_error_count;
  std::optional<Ext4Reserve> ext4_reserve;
  // overlayfs: the upper directory, from the unredacted mount table line.
  std::optional<Place> overlay_upper;
  std::optional<BtrfsAllocation> btrfs_allocation;
  std::optional<BtrfsSubvolume> btrfs_subvolume;
  std::optional<XfsGeometry> xfs_geometry;
  // XFS without sparse inode chunks: the length of each free extent in bytes.
  std::optional<std::vector<std::uint64_t>> free_extents;
  std::optional<FuseConnection> fuse;
  std::optional<MqueueFacts> mqueue;

  // The owners of the first holders of the largest deleted-open files.
  std::vector<ProcessOwner> holder_owners;

  // Descriptor limits and other mount namespaces.
  // With a process to speak for: its descriptors against its own limit.
  std::optional<ProcessDescriptors> process_descriptors;
  // Otherwise: the processes near their own limit that hold files on the
  // target's filesystem.
  std::vector<ProcessDescriptors> crowded_holders;
  // From /proc/sys/fs/file-nr and file-max.
  std::optional<FileTable> file_table;
  // Otherwise: processes that see the target on another filesystem.
  std::vector<OtherNamespaceView> other_namespace_views;

  // The mounts that did not answer a call within the per-call deadline, in
  // the order they were asked; the facts they held are absent, and a call
  // may still wait on them.
  std::vector<MountPlace> unanswered;
  // How long the first of them was waited for.
  int unanswered_after_ms = kCallDeadlineMs;
};

// Every reader once, through the view (tests point it at a tree they
// built). A fact that cannot be read stays absent. Without evidence: the
// facts of the process the view speaks for (brimful itself by default).
ExplainFacts gather_explain_facts(const Viewpoint& view = {});
// What a run of many filesystems reads of the host once for all of them,
// or gives a bound for all of them together.
struct HostFacts {
  std::vector<CrowdedProcess> crowded;
  // When the reading of other mount namespaces gives up, on the monotonic
  // clock: as long as one call on a filesystem, for every filesystem.
  std::int64_t namespaces_until_ms = 0;
};
HostFacts gather_host_facts(const Viewpoint& view);

// The same, and the facts about the evidence's filesystem, what lies under
// it and who else uses it. ioctls: the kernel's when null. host: read here
// when null.
ExplainFacts gather_explain_facts(const Evidence& evidence, const Viewpoint& view,
                                  const FilesystemIoctls* ioctls = nullptr, const HostFacts* host = nullptr);

// The readers and the parsers of what they read.
std::optional<std::uint32_t> read_effective_uid(const OsPath& proc_root);
// The user and group IDs of a status text when each set agrees in itself.
std::optional<ProcessOwner> parse_status_owner(std::string_view status);
std::optional<std::uint64_t> read_open_files_limit(const OsPath& proc_root);
// A path as overlayfs takes it from its own option text, where a backslash
// makes the next byte literal (\, for a comma, \\ for a backslash).
OsPath overlay_option_path(std::string_view value);

}  // namespace brimful

#endif  // BRIMFUL_FACTS_H
