#include "process_facts.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <utility>

#include "bounded_call.h"
#include "mountinfo.h"
#include "procfs.h"
#include "text.h"
#include "units.h"

namespace brimful {

namespace {

std::optional<std::uint64_t> open_files_limit_of(const OsPath& process_dir) {
  const std::optional<std::string> limits = read_whole_file(process_dir + "/limits");
  return limits ? parse_soft_limit(*limits, kOpenFilesLimit) : std::nullopt;
}

std::uint64_t count_entries(const OsPath& path) {
  DirectoryListing fds(path);
  std::uint64_t count = 0;
  if (!fds.is_open()) return 0;
  // Since Linux 6.2 procfs gives the size of a process's fd directory as the
  // number of its open descriptors, which --all asks for once per filesystem.
  struct stat status {};
  struct statfs filesystem {};
  if (::fstat(fds.fd(), &status) == 0 && status.st_size > 0 && ::fstatfs(fds.fd(), &filesystem) == 0 &&
      filesystem.f_type == PROC_SUPER_MAGIC) {
    return static_cast<std::uint64_t>(status.st_size);
  }
  while (fds.next() != nullptr) ++count;
  return count;
}

std::vector<DescriptorKind> sorted_kinds(const std::map<std::string, std::uint64_t>& counts) {
  std::vector<DescriptorKind> kinds;
  for (const auto& entry : counts) kinds.push_back(DescriptorKind{entry.first, entry.second});
  std::stable_sort(kinds.begin(), kinds.end(),
                   [](const DescriptorKind& a, const DescriptorKind& b) { return a.count > b.count; });
  return kinds;
}

// The kernel's PF_KTHREAD in the flags of /proc/PID/stat.
constexpr std::uint64_t kKernelThreadFlag = 0x00200000;

// A process with this share of its descriptor limit open is near it.
constexpr std::uint64_t kNearDescriptorLimitPercent = 90;

bool is_under(std::string_view path, const std::vector<std::string_view>& prefix) {
  const std::vector<std::string_view> components = path_components(path);
  return components.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), components.begin());
}

}  // namespace

bool near_descriptor_limit(std::uint64_t open, std::uint64_t limit) {
  return at_least_percent(open, limit, kNearDescriptorLimitPercent);
}

std::string descriptor_kind(std::string_view link) {
  constexpr std::string_view anonymous = "anon_inode:";
  if (link.substr(0, 7) == "socket:") return "socket";
  if (link.substr(0, 5) == "pipe:") return "pipe";
  if (link.substr(0, anonymous.size()) == anonymous) {
    std::string_view name = link.substr(anonymous.size());
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    return name.empty() || !is_valid_utf8(name) ? "other" : std::string(name);
  }
  if (link.substr(0, 5) == "/dev/") return "device";
  if (link.substr(0, 1) == "/") return "file";
  return "other";
}

std::optional<ProcessDescriptors> read_process_descriptors(const OsPath& proc_root, std::uint32_t pid) {
  const OsPath process_dir = proc_root + "/" + std::to_string(pid);
  const std::optional<std::uint64_t> limit = open_files_limit_of(process_dir);
  if (!limit) return std::nullopt;
  DirectoryListing fds(process_dir + "/fd");
  if (!fds.is_open()) return std::nullopt;
  ProcessDescriptors descriptors;
  descriptors.pid = pid;
  descriptors.process = read_comm(process_dir, pid);
  descriptors.limit = *limit;
  std::map<std::string, std::uint64_t> kinds;
  while (const char* entry = fds.next()) {
    ++descriptors.open;
    if (const std::optional<OsPath> link = read_link(fds.fd(), entry)) ++kinds[descriptor_kind(*link)];
  }
  descriptors.kinds = sorted_kinds(kinds);
  return descriptors;
}

std::vector<CrowdedProcess> read_crowded_processes(const OsPath& proc_root) {
  std::vector<CrowdedProcess> crowded;
  DirectoryListing proc(proc_root);
  if (!proc.is_open()) return crowded;
  const std::optional<OsPath> self = read_link(proc_root + "/self");
  while (const char* entry = proc.next()) {
    const std::optional<std::uint32_t> pid = parse_pid(entry);
    // brimful's own descriptors are the descriptor_limit finding's concern.
    if (!pid || (self && *self == entry)) continue;
    const OsPath process_dir = proc_root + "/" + entry;
    // Counting the entries is cheap; only a process near its limit has
    // each descriptor examined.
    const std::optional<std::uint64_t> limit = open_files_limit_of(process_dir);
    if (!limit) continue;
    const std::uint64_t open = count_entries(process_dir + "/fd");
    if (open == 0 || !near_descriptor_limit(open, *limit)) continue;

    DirectoryListing fds(process_dir + "/fd");
    if (!fds.is_open()) continue;
    CrowdedProcess process;
    process.descriptors.pid = *pid;
    process.descriptors.limit = *limit;
    std::map<std::string, std::uint64_t> kinds;
    while (const char* fd = fds.next()) {
      ++process.descriptors.open;
      // Without a sync the status comes from the inode the kernel holds;
      // FUSE and overlayfs then ask no daemon and no layer.
      struct stat status {};
      if (stat_without_waiting(fds.fd(), fd, status) == 0) process.devices.push_back(status.st_dev);
      if (const std::optional<OsPath> link = read_link(fds.fd(), fd)) ++kinds[descriptor_kind(*link)];
    }
    std::sort(process.devices.begin(), process.devices.end());
    process.devices.erase(std::unique(process.devices.begin(), process.devices.end()), process.devices.end());
    process.descriptors.process = read_comm(process_dir, *pid);
    process.descriptors.kinds = sorted_kinds(kinds);
    crowded.push_back(std::move(process));
  }
  return crowded;
}

std::vector<ProcessDescriptors> crowded_holders(const std::vector<CrowdedProcess>& crowded, std::uint64_t device) {
  std::vector<ProcessDescriptors> holders;
  for (const CrowdedProcess& process : crowded) {
    if (std::binary_search(process.devices.begin(), process.devices.end(), device)) {
      holders.push_back(process.descriptors);
    }
  }
  return holders;
}

std::optional<std::uint64_t> parse_fuse_connection(std::string_view fdinfo) {
  constexpr std::string_view kKey = "fuse_connection:";
  for (std::size_t at = 0; at < fdinfo.size();) {
    const std::size_t end = std::min(fdinfo.find('\n', at), fdinfo.size());
    const std::string_view line = fdinfo.substr(at, end - at);
    if (line.substr(0, kKey.size()) == kKey) {
      return parse_unsigned(trim_unicode_whitespace(line.substr(kKey.size())), UINT64_MAX);
    }
    at = end + 1;
  }
  return std::nullopt;
}

std::vector<FuseServer> read_fuse_servers(const OsPath& proc_root, std::uint64_t connection, bool& exact) {
  constexpr std::string_view kFuseDevice = "/dev/fuse";
  std::vector<FuseServer> holders;
  std::vector<FuseServer> serving;
  DirectoryListing proc(proc_root);
  if (!proc.is_open()) return holders;
  std::vector<char> buffer;
  std::string text;
  while (const char* entry = proc.next()) {
    const std::optional<std::uint32_t> pid = parse_pid(entry);
    if (!pid) continue;
    const UniqueFd process(::openat(proc.fd(), entry, O_PATH | O_DIRECTORY | O_CLOEXEC));
    const UniqueFd infos(::openat(process.get(), "fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirectoryListing fds(process.get(), "fd");
    bool holds = false;
    bool serves = false;
    while (const char* fd = fds.is_open() ? fds.next() : nullptr) {
      if (read_link(fds.fd(), fd, buffer).bytes != kFuseDevice) continue;
      holds = true;
      // A daemon may hold several, one per connection or cloned per thread.
      if (read_whole_file_at(infos.get(), fd, text) != 0) continue;
      if (const std::optional<std::uint64_t> served = parse_fuse_connection(text)) {
        exact = true;
        serves = serves || *served == connection;
      }
    }
    if (!holds) continue;
    int error = 0;
    std::string name = read_comm(process.get(), *pid, text, error);
    if (error != 0) continue;
    if (serves) serving.push_back(FuseServer{*pid, name});
    holders.push_back(FuseServer{*pid, std::move(name)});
  }
  return exact ? serving : holders;
}

std::optional<FileTable> parse_file_table(std::string_view file_nr, std::string_view file_max) {
  // file-nr: "724\t0\t699" (allocated, free, maximum); file-max: "699".
  const std::size_t end = file_nr.find_first_of(" \t\n");
  const std::optional<std::uint64_t> allocated = parse_unsigned(file_nr.substr(0, end), UINT64_MAX);
  const std::optional<std::uint64_t> maximum = parse_unsigned(trim_unicode_whitespace(file_max), UINT64_MAX);
  if (!allocated || !maximum || *maximum == 0) return std::nullopt;
  return FileTable{*allocated, *maximum};
}

std::optional<FileTable> read_file_table(const OsPath& proc_root) {
  const std::optional<std::string> file_nr = read_whole_file(proc_root + "/sys/fs/file-nr");
  const std::optional<std::string> file_max = read_whole_file(proc_root + "/sys/fs/file-max");
  if (!file_nr || !file_max) return std::nullopt;
  return parse_file_table(*file_nr, *file_max);
}

namespace {

bool has_read_only_option(std::string_view options) {
  for (std::size_t start = 0; start <= options.size();) {
    const std::size_t end = std::min(options.find(',', start), options.size());
    if (options.substr(start, end - start) == "ro") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::vector<MountPlace> mount_places(std::string_view mountinfo) {
  std::vector<MountPlace> places;
  std::size_t start = 0;
  while (start < mountinfo.size()) {
    std::size_t end = mountinfo.find('\n', start);
    if (end == std::string_view::npos) end = mountinfo.size();
    const Result<MountFields> split = split_mount_line(mountinfo.substr(start, end - start));
    start = end + 1;
    if (!split.ok()) continue;
    const MountFields& fields = split.value();
    const std::size_t colon = fields.device.find(':');
    if (colon == std::string_view::npos) continue;
    const std::optional<std::uint64_t> major = parse_unsigned(fields.device.substr(0, colon), UINT32_MAX);
    const std::optional<std::uint64_t> minor = parse_unsigned(fields.device.substr(colon + 1), UINT32_MAX);
    Result<std::string> mount_point = unescape_mount_field(fields.mount_point);
    if (!major || !minor || !mount_point.ok()) continue;
    const bool read_only = has_read_only_option(fields.mount_options) || has_read_only_option(fields.super_options);
    places.push_back(MountPlace{
        static_cast<std::uint64_t>(::makedev(static_cast<unsigned>(*major), static_cast<unsigned>(*minor))),
        std::move(mount_point).value(), std::string(fields.fs_type), read_only});
  }
  return places;
}

namespace {

// For each mount, its ancestor mounted on the root's mount (itself when it
// is mounted there, is the root's own, or has no listed parent). Each chain
// is walked once for all the mounts on it: a namespace of thousands of
// stacked mounts costs one walk, not one per mount.
std::vector<std::size_t> ancestors_below_root(const NamespaceListing& listing) {
  const std::vector<NamespaceMount>& mounts = listing.mounts;
  std::map<std::uint64_t, std::size_t> by_id;
  for (std::size_t i = 0; i < mounts.size(); ++i) by_id[mounts[i].id] = i;
  constexpr std::size_t kUnknown = SIZE_MAX;
  constexpr std::size_t kOnChain = SIZE_MAX - 1;
  std::vector<std::size_t> below(mounts.size(), kUnknown);
  std::vector<std::size_t> chain;
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    chain.clear();
    std::size_t at = i;
    std::size_t top = kUnknown;
    while (top == kUnknown) {
      // A parent seen before on this chain closes a loop: it ends there.
      if (below[at] != kUnknown) {
        top = below[at] == kOnChain ? at : below[at];
        break;
      }
      below[at] = kOnChain;
      chain.push_back(at);
      const auto parent =
          mounts[at].id == listing.root_mount ? by_id.end() : by_id.find(mounts[at].parent_id);
      if (parent == by_id.end() || mounts[parent->second].id == listing.root_mount) top = at;
      else at = parent->second;
    }
    for (const std::size_t on_chain : chain) below[on_chain] = top;
  }
  return below;
}

}  // namespace

std::vector<MountPlace> places_under_root(const NamespaceListing& listing) {
  const std::vector<std::string_view> root = path_components(listing.root_path);
  const std::vector<std::size_t> below = ancestors_below_root(listing);
  std::vector<MountPlace> places;
  for (std::size_t i = 0; i < listing.mounts.size(); ++i) {
    const NamespaceMount& mount = listing.mounts[i];
    // The file shows the mount when its ancestor on the root's mount has its
    // mount point at or under the root, or the mount is the root's own and
    // the root is its top.
    const NamespaceMount* below_root = &listing.mounts[below[i]];
    const bool on_root = below_root->id == listing.root_mount;
    if (!on_root && below_root->parent_id != listing.root_mount) continue;
    const std::vector<std::string_view> point = path_components(mount.mount_point);
    if (!is_under(below_root->mount_point, root) || (on_root && point != root)) continue;
    OsPath relative;
    for (std::size_t at = root.size(); at < point.size(); ++at) relative.append("/").append(point[at]);
    places.push_back(MountPlace{mount.device, relative.empty() ? "/" : relative, mount.fs_type, mount.read_only});
  }
  return places;
}

std::optional<MountPlace> covering_place(const std::vector<MountPlace>& places, std::string_view path) {
  const MountPlace* best = nullptr;
  std::size_t best_length = 0;
  for (const MountPlace& place : places) {
    const std::vector<std::string_view> point = path_components(place.mount_point);
    if (!is_under(path, point) || point.size() < best_length) continue;
    best_length = point.size();
    best = &place;
  }
  return best != nullptr ? std::optional<MountPlace>(*best) : std::nullopt;
}

std::optional<MountPlace> covering_mount(std::string_view mountinfo, std::string_view path) {
  return covering_place(mount_places(mountinfo), path);
}

namespace {

// The mounts a process's mountinfo file shows, listed with the kernel's
// mount calls where it can, else read from that file; none when neither can.
std::optional<std::vector<MountPlace>> process_mount_places(const OsPath& process_dir, MountCalls calls,
                                                            std::int64_t give_up_ms) {
  if (calls == MountCalls::where_available) {
    if (const std::optional<NamespaceListing> listing = list_process_mounts(process_dir, give_up_ms)) {
      // Cut, the listing holds too little to say what covers the target,
      // and the file would take the kernel as long again.
      if (listing->cut) return std::nullopt;
      return places_under_root(*listing);
    }
  }
  const std::optional<std::string> table = read_whole_file(process_dir + "/mountinfo", kTableFileLimit);
  if (!table) return std::nullopt;
  return mount_places(*table);
}

}  // namespace

// "27 (kdevtmpfs) S 2 0 0 0 -1 2129984 ...": the name may hold blanks and
// parentheses, so the fields are counted from its last ")".
std::optional<ProcessStat> parse_process_stat(std::string_view stat) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::vector<std::string_view> fields;
  for (std::string_view rest = stat.substr(close + 1); !rest.empty();) {
    const std::size_t start = rest.find_first_not_of(" \n");
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find_first_of(" \n"), rest.size());
    fields.push_back(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  // state, ppid, pgrp, session, tty_nr, tpgid, flags
  if (fields.size() < 7) return std::nullopt;
  const std::optional<std::uint64_t> parent = parse_unsigned(fields[1], UINT32_MAX);
  const std::optional<std::uint64_t> flags = parse_unsigned(fields[6], UINT64_MAX);
  if (!parent || !flags) return std::nullopt;
  return ProcessStat{static_cast<std::uint32_t>(*parent), (*flags & kKernelThreadFlag) != 0};
}

namespace {

// The process works in or holds a file under the target. The kernel writes
// these links relative to the root of the process's own namespace, which is
// how that process names the target too. Reading a link asks no filesystem:
// the kernel writes it from the names it holds, so a directory or file on a
// filesystem that does not answer costs nothing here.
bool uses_target(const OsPath& process_dir, const std::vector<std::string_view>& target_components) {
  const std::optional<OsPath> cwd = read_link(process_dir + "/cwd");
  if (cwd && is_under(*cwd, target_components)) return true;
  DirectoryListing fds(process_dir + "/fd");
  while (fds.is_open()) {
    const char* fd = fds.next();
    if (fd == nullptr) break;
    const std::optional<OsPath> link = read_link(fds.fd(), fd);
    if (link && !link->empty() && (*link)[0] == '/' && is_under(*link, target_components)) return true;
  }
  return false;
}

}  // namespace

std::vector<OtherNamespaceView> read_other_namespace_views(const OsPath& proc_root, const OsPath& target,
                                                           std::uint64_t device, MountCalls calls,
                                                           std::int64_t give_up_ms) {
  std::vector<OtherNamespaceView> views;
  const std::optional<OsPath> own_namespace = read_link(proc_root + "/self/ns/mnt");
  const std::optional<OsPath> self = read_link(proc_root + "/self");
  DirectoryListing proc(proc_root);
  if (!own_namespace || !proc.is_open()) return views;
  const std::optional<std::uint32_t> own_pid = self ? parse_pid(*self) : std::nullopt;
  const std::vector<std::string_view> target_components = path_components(target);
  std::set<OsPath> seen;
  std::optional<bool> own_read_only;
  while (const char* entry = proc.next()) {
    const std::optional<std::uint32_t> pid = parse_pid(entry);
    if (!pid) continue;
    if (give_up_ms > 0 && monotonic_ms() >= give_up_ms) break;
    const OsPath process_dir = proc_root + "/" + entry;
    // Kernel threads (kdevtmpfs keeps a mount namespace of its own) and the
    // helpers brimful forks are nobody's view of the target.
    const std::optional<std::string> stat_text = read_whole_file(process_dir + "/stat");
    const std::optional<ProcessStat> stat = stat_text ? parse_process_stat(*stat_text) : std::nullopt;
    if (!stat || stat->kernel_thread || (own_pid && stat->parent == *own_pid)) continue;
    const std::optional<OsPath> name_space = read_link(process_dir + "/ns/mnt");
    if (!name_space || *name_space == *own_namespace || seen.count(*name_space) != 0) continue;

    if (!uses_target(process_dir, target_components)) continue;
    const std::optional<std::vector<MountPlace>> table = process_mount_places(process_dir, calls, give_up_ms);
    if (!table) continue;
    // One table answers for every process of its namespace, whatever it
    // gave: the cost grows with namespaces, not with processes and mounts.
    seen.insert(*name_space);
    const std::optional<MountPlace> place = covering_place(*table, target);
    if (!place) continue;
    if (place->device == device) {
      // Brimful's own mount of the target, looked up once a view of the
      // same filesystem needs it.
      if (!own_read_only) {
        const Result<std::vector<Mount>> own_table = read_own_mounts(proc_root, calls);
        const Mount* own = own_table.ok() ? select_mount(own_table.value(), target, std::nullopt) : nullptr;
        own_read_only = own != nullptr && std::count(own->options.begin(), own->options.end(), "ro") != 0;
      }
      if (place->read_only == *own_read_only) continue;
    }
    views.push_back(OtherNamespaceView{*pid, read_comm(process_dir, *pid), place->mount_point, place->fs_type,
                                       place->read_only, place->device == device});
  }
  return views;
}

}  // namespace brimful
