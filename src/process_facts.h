// Facts about what other processes hold and where they live: open
// descriptors against their own limit, the system's file table, and
// processes that see the target through another mount namespace. Read
// from a /proc root so tests can point the readers at a tree they built.
#ifndef BRIMFUL_PROCESS_FACTS_H
#define BRIMFUL_PROCESS_FACTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mountinfo.h"
#include "os.h"

namespace brimful {

struct DescriptorKind {
  std::string kind;
  std::uint64_t count = 0;
};

struct ProcessDescriptors {
  std::uint32_t pid = 0;
  std::string process;
  // The entries of /proc/PID/fd.
  std::uint64_t open = 0;
  // The soft "Max open files" of /proc/PID/limits.
  std::uint64_t limit = 0;
  // What the descriptors are, the most common kind first.
  std::vector<DescriptorKind> kinds;
};

// /proc/sys/fs/file-nr's first number against /proc/sys/fs/file-max.
struct FileTable {
  std::uint64_t allocated = 0;
  std::uint64_t maximum = 0;
};

// A process of another mount namespace that uses the target where it lies
// on another filesystem than the one brimful examined, or on the same one
// under a mount that is read-only where brimful's is not, or the other way
// round.
struct OtherNamespaceView {
  std::uint32_t pid = 0;
  std::string process;
  // The mount that holds the target in that namespace.
  OsPath mount_point;
  std::string fs_type;
  // That mount, or its filesystem, is read-only. With the same filesystem,
  // brimful's own mount of the target is the other way.
  bool read_only = false;
  // It holds the filesystem brimful examined.
  bool same_filesystem = false;
};

// A holder of /dev/fuse: the daemon of a FUSE mount, or one of them.
struct FuseServer {
  std::uint32_t pid = 0;
  std::string process;
};

// A process at 90 % of its own open-file limit or more counts as near it.
bool near_descriptor_limit(std::uint64_t open, std::uint64_t limit);

// The descriptors of one process; none when its limit is unlimited or
// unreadable.
std::optional<ProcessDescriptors> read_process_descriptors(const OsPath& proc_root, std::uint32_t pid);

// A process near its own open-files limit, and the devices of the
// filesystems its descriptors lie on, sorted and each once.
struct CrowdedProcess {
  ProcessDescriptors descriptors;
  std::vector<std::uint64_t> devices;
};

// Every process near its own limit but brimful. Only those near their limit
// have their descriptors examined one by one, and once a run however many
// filesystems it examines: a user may hold a million descriptors at its limit.
std::vector<CrowdedProcess> read_crowded_processes(const OsPath& proc_root);
// Those of them that hold a descriptor on device.
std::vector<ProcessDescriptors> crowded_holders(const std::vector<CrowdedProcess>& crowded, std::uint64_t device);

// "fuse_connection:\t41", the line the kernel (6.x) writes in the fdinfo of
// a /dev/fuse descriptor: the connection that descriptor serves.
std::optional<std::uint64_t> parse_fuse_connection(std::string_view fdinfo);

// The holders of /dev/fuse under a /proc tree. Where the kernel names the
// connection of each descriptor, only those serving connection, and exact
// is set; otherwise every holder, for /dev/fuse alone does not say which
// mount it serves.
std::vector<FuseServer> read_fuse_servers(const OsPath& proc_root, std::uint64_t connection, bool& exact);

std::optional<FileTable> read_file_table(const OsPath& proc_root);
std::optional<FileTable> parse_file_table(std::string_view file_nr, std::string_view file_max);

// The fields of /proc/PID/stat that tell whose a process is.
struct ProcessStat {
  std::uint32_t parent = 0;
  bool kernel_thread = false;
};
std::optional<ProcessStat> parse_process_stat(std::string_view stat);

// One process for each mount namespace other than brimful's whose working
// directory or open files lie under target, where the mount holding target
// is not on device, or is read-only where brimful's is not or the other way
// round. Kernel threads and brimful's own children are left out. Past
// give_up_ms (on the monotonic clock; 0 for never) no more namespaces are
// read, whoever makes them slow to list.
std::vector<OtherNamespaceView> read_other_namespace_views(const OsPath& proc_root, const OsPath& target,
                                                           std::uint64_t device,
                                                           MountCalls calls = MountCalls::where_available,
                                                           std::int64_t give_up_ms = 0);

// What a descriptor is, from its link text: "socket", "pipe", "file",
// "device", an anonymous inode's name ("eventfd", "inotify"), or "other".
std::string descriptor_kind(std::string_view link);

// The mount of a mount table that holds path: the longest mount point that
// is a component-wise prefix, the later line where two are equal.
struct MountPlace {
  std::uint64_t device = 0;
  OsPath mount_point;
  std::string fs_type;
  // "ro" among the mount's own options or its filesystem's.
  bool read_only = false;
};
std::optional<MountPlace> covering_mount(std::string_view mountinfo, std::string_view path);
std::optional<MountPlace> covering_place(const std::vector<MountPlace>& places, std::string_view path);

// Every well-formed line of a mount table as a place; others are passed over.
std::vector<MountPlace> mount_places(std::string_view mountinfo);

// The places a process's mountinfo file shows, from its namespace's
// listing: the mounts at or under its root, with mount points relative to
// it, in the listing's order.
std::vector<MountPlace> places_under_root(const NamespaceListing& listing);

}  // namespace brimful

#endif  // BRIMFUL_PROCESS_FACTS_H
