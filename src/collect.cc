#include "collect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>

#include "bounded_call.h"
#include "capacity.h"
#include "mountinfo.h"
#include "probe.h"
#include "procscan.h"
#include "text.h"
#include "watchdog.h"

namespace brimful {

namespace {

// The status of a path, following symbolic links, as errno or facts.
struct Metadata {
  int error = 0;
  bool is_directory = false;
  std::uint64_t device = 0;
};

Metadata query_metadata(const OsPath& path) {
  Metadata metadata;
  if (contains_nul(path)) {
    metadata.error = EINVAL;
    return metadata;
  }
  struct stat status {};
  if (const int error = stat_without_waiting(AT_FDCWD, path.c_str(), status)) {
    metadata.error = error;
    return metadata;
  }
  metadata.is_directory = S_ISDIR(status.st_mode);
  metadata.device = status.st_dev;
  return metadata;
}

Result<OsPath> absolute_path(const OsPath& path) {
  if (!path.empty() && path[0] == '/') return path;
  Result<OsPath> cwd = current_directory();
  if (!cwd.ok()) return cwd;
  OsPath absolute = std::move(cwd).value();
  if (!absolute.empty() && absolute.back() != '/') absolute += '/';
  absolute += path;
  return absolute;
}

// realpath; the error is the OS error text.
Result<OsPath> canonicalize(const OsPath& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return fail(os_error_text(errno));
  return OsPath(resolved.get());
}

bool is_normal_name(std::string_view component) {
  return component != "/" && component != "." && component != "..";
}

void join(OsPath& path, std::string_view name) {
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
}

// PATH does not exist: walk up to the nearest existing directory, which is
// where the probes run, and show the target as that directory's canonical
// path with the missing names put back.
Result<Resolution> resolve_missing(const OsPath& absolute) {
  const std::string cannot_find = "cannot find an existing parent for " + display(absolute);
  std::vector<std::string> missing;
  OsPath current = absolute;
  for (;;) {
    const std::vector<std::string_view> components = path_components(current);
    if (components.empty() || !is_normal_name(components.back())) return fail(cannot_find);
    missing.emplace_back(components.back());
    const std::optional<OsPath> parent = lexical_parent(current);
    if (!parent) return fail(cannot_find);

    const Metadata metadata = query_metadata(*parent);
    if (metadata.error == ENOENT) {
      current = *parent;
      continue;
    }
    if (metadata.error != 0) {
      return fail("cannot inspect " + display(*parent) + ": " + os_error_text(metadata.error));
    }
    if (!metadata.is_directory) return fail("nearest existing parent is not a directory: " + display(*parent));

    Result<OsPath> canonical = canonicalize(*parent);
    if (!canonical.ok()) return fail("cannot resolve parent " + display(*parent) + ": " + canonical.error());
    Resolution resolution;
    resolution.probe_directory = canonical.value();
    resolution.inspected = canonical.value();
    resolution.target = std::move(canonical).value();
    for (auto name = missing.rbegin(); name != missing.rend(); ++name) join(resolution.target, *name);
    resolution.target_exists = false;
    return resolution;
  }
}

}  // namespace

std::optional<OsPath> lexical_parent(const OsPath& path) {
  const std::vector<std::string_view> components = path_components(path);
  if (components.empty()) return std::nullopt;
  const bool absolute = components.front() == "/";
  if (components.size() == 1) return std::nullopt;
  OsPath parent = absolute ? "/" : "";
  for (std::size_t i = absolute ? 1 : 0; i + 1 < components.size(); ++i) {
    if (!parent.empty() && parent.back() != '/') parent += '/';
    parent += components[i];
  }
  return parent;
}

Result<Resolution> resolve_target(const OsPath& path) {
  Result<OsPath> absolute_result = absolute_path(path);
  if (!absolute_result.ok()) return fail(absolute_result.error());
  const OsPath& absolute = absolute_result.value();

  const Metadata metadata = query_metadata(absolute);
  if (metadata.error == ENOENT) return resolve_missing(absolute);
  if (metadata.error != 0) {
    return fail("cannot inspect " + display(path) + ": " + os_error_text(metadata.error));
  }

  Result<OsPath> canonical = canonicalize(absolute);
  if (!canonical.ok()) return fail("cannot resolve " + display(path) + ": " + canonical.error());

  Resolution resolution;
  resolution.target_exists = true;
  resolution.target = canonical.value();
  resolution.inspected = canonical.value();
  if (metadata.is_directory) {
    resolution.probe_directory = std::move(canonical).value();
  } else {
    // A file, device or socket: the probe file goes next to it, while the
    // filesystem facts and the watch are taken on the object itself.
    const std::optional<OsPath> parent = lexical_parent(canonical.value());
    if (!parent) return fail(display(canonical.value()) + " has no parent directory");
    resolution.probe_directory = *parent;
  }
  return resolution;
}

namespace {

// Both probes, each bounded; what does not answer in time is left out with
// everything after it. The termination signals wait here as they wait in
// the probe, so that none ends the run while the probe file has a name.
void run_probes(Evidence& evidence, bool watch, std::int64_t run_ends_ms) {
  KernelProbeSystem signals;
  sigset_t previous;
  sigemptyset(&previous);
  const bool blocked = signals.block_termination_signals(previous).value == 0;
  evidence.unanswered_after_ms = call_deadline_ms(monotonic_ms(), run_ends_ms, kCallDeadlineMs);
  std::optional<CreateProbe> create =
      answer_within<CreateProbe>(evidence.unanswered_after_ms, [directory = evidence.probe_directory] {
        KernelProbeSystem kernel;
        return run_create_probe(directory, kernel);
      });
  if (!create) evidence.probe_file_left = probe_file_now();
  if (blocked) signals.restore_signal_mask(previous);
  if (!create) {
    evidence.unanswered = Unanswered::create_probe;
    return;
  }
  evidence.create_probe = std::move(*create);
  if (!watch) return;
  evidence.unanswered_after_ms = call_deadline_ms(monotonic_ms(), run_ends_ms, kCallDeadlineMs);
  std::optional<InotifyProbe> inotify =
      answer_within<InotifyProbe>(evidence.unanswered_after_ms, [path = evidence.inspected] {
        KernelProbeSystem kernel;
        return run_inotify_probe(path, kernel);
      });
  if (!inotify) evidence.unanswered = Unanswered::inotify_watch;
  else evidence.inotify_probe = *inotify;
}

// The filesystem's numbers, then the probes unless disabled (on a read-only
// filesystem the inotify watch only when watch_read_only is set), each
// bounded by the run's end. The statvfs error, if any.
std::optional<std::string> examine_filesystem(Evidence& evidence, bool probes_disabled, bool watch_read_only,
                                              std::int64_t run_ends_ms) {
  evidence.unanswered_after_ms = call_deadline_ms(monotonic_ms(), run_ends_ms, kCallDeadlineMs);
  std::optional<Result<Filesystem>> numbers = answer_within<Result<Filesystem>>(
      evidence.unanswered_after_ms,
      [path = evidence.inspected, type = fs_type_of(evidence)] { return filesystem_facts(path, type); });
  if (!numbers) {
    evidence.unanswered = Unanswered::statfs;
    return std::nullopt;
  }
  if (!numbers->ok()) return numbers->error();
  evidence.filesystem = numbers->value();
  if (!probes_disabled) run_probes(evidence, watch_read_only || !evidence.filesystem.read_only, run_ends_ms);
  return std::nullopt;
}

// Whose inotify consumers the scan counts: the user of the process the
// report speaks for; none for brimful's own real user.
std::optional<std::uint32_t> consumer_uid(const Viewpoint& viewpoint) {
  if (!viewpoint.as_seen_by) return std::nullopt;
  return viewpoint.as_seen_by->real_uid;
}

}  // namespace

Result<Evidence> collect_evidence(const OsPath& path, bool probes_disabled, const Viewpoint& viewpoint,
                                  const ScanProgress& progress) {
  Result<Resolution> resolved = resolve_target(path);
  if (!resolved.ok()) return fail(resolved.error());
  Resolution& resolution = resolved.value();

  const Metadata inspected = query_metadata(resolution.inspected);
  if (inspected.error != 0) {
    return fail("cannot inspect " + display(resolution.inspected) + ": " + os_error_text(inspected.error));
  }

  Evidence evidence;
  evidence.target = std::move(resolution.target);
  evidence.target_exists = resolution.target_exists;
  evidence.probe_directory = std::move(resolution.probe_directory);
  evidence.inspected = resolution.inspected;
  evidence.device = inspected.device;
  evidence.as_seen_by = viewpoint.as_seen_by;

  Result<std::optional<Mount>> mount = find_own_mount(resolution.inspected, viewpoint.proc_root);
  if (!mount.ok()) return fail(mount.error());
  evidence.mount = std::move(mount).value();
  if (!evidence.mount) {
    // Not in this process's mount table (a chroot on a plain directory):
    // the kernel still names the filesystem type, and every other fact holds.
    Result<std::string> type = statfs_type_name(resolution.inspected);
    if (!type.ok()) return fail(type.error());
    evidence.statfs_fs_type = std::move(type).value();
  }

  // The create probe's file is gone and the inotify instance closed before
  // /proc is read, so brimful never finds its own probes in the scan.
  if (std::optional<std::string> error = examine_filesystem(evidence, probes_disabled, true, viewpoint.run_ends_ms)) {
    return fail(*error);
  }

  ScanSettings settings;
  settings.progress = progress;
  settings.consumer_uid = consumer_uid(viewpoint);
  evidence.proc_scan = scan_processes(inspected.device, viewpoint.proc_root, settings);

  evidence.inotify_limits = effective_inotify_limits(
      viewpoint.inotify_limit_files ? *viewpoint.inotify_limit_files
                                    : read_inotify_limit_files(viewpoint.proc_root + "/sys"));
  return evidence;
}

namespace {

constexpr std::string_view kSkippedTypes[] = {
    // The kernel's views of itself and of processes.
    "autofs", "binfmt_misc", "bpf", "cgroup", "cgroup2", "configfs", "debugfs", "devpts", "devtmpfs",
    "efivarfs", "fusectl", "hugetlbfs", "mqueue", "nsfs", "proc", "pstore", "rpc_pipefs", "securityfs",
    "selinuxfs", "sysfs", "tracefs",
    // Images that are read-only by design.
    "cramfs", "erofs", "iso9660", "romfs", "squashfs",
};

std::size_t depth(const OsPath& path) { return path_components(path).size(); }

// The list of one scan restricted to the files on one device.
DeletedOpenFiles files_on(const DeletedOpenFiles& files, std::uint64_t device) {
  std::vector<DeletedOpenEntry> entries;
  for (const DeletedOpenFile file : files) {
    if (file.device != device) continue;
    DeletedOpenEntry entry{file.device, file.inode, OsPath(file.path), file.allocated_bytes, {}};
    for (const Holder holder : file.holders) entry.holders.push_back(holder);
    entries.push_back(std::move(entry));
  }
  return DeletedOpenFiles(entries);
}

}  // namespace

bool skipped_filesystem_type(std::string_view fs_type) {
  return std::find(std::begin(kSkippedTypes), std::end(kSkippedTypes), fs_type) != std::end(kSkippedTypes);
}

namespace {

// One Evidence for each filesystem of the table that can hold user data,
// by device, at the shallowest mount point that shows it.
std::map<std::uint64_t, Evidence> host_filesystems(std::vector<Mount>& mounts) {
  // Shallow mount points first, so a filesystem is shown where it is
  // mounted rather than where a bind shows part of it again.
  std::sort(mounts.begin(), mounts.end(), [](const Mount& a, const Mount& b) {
    const std::size_t depth_a = depth(a.mount_point);
    const std::size_t depth_b = depth(b.mount_point);
    return depth_a != depth_b ? depth_a < depth_b : a.mount_point < b.mount_point;
  });
  std::map<std::uint64_t, Evidence> by_device;
  for (Mount& mount : mounts) {
    if (skipped_filesystem_type(mount.fs_type) || contains_nul(mount.mount_point)) continue;
    // The mount point shows this mount only when no later mount covers it;
    // a mount point that cannot be reached is passed over.
    struct statx status {};
    if (statx(AT_FDCWD, mount.mount_point.c_str(), AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_MNT_ID, &status) != 0 ||
        (status.stx_mask & STATX_MNT_ID) == 0 || status.stx_mnt_id != mount.mount_id) {
      continue;
    }
    const std::uint64_t device = makedev(status.stx_dev_major, status.stx_dev_minor);
    if (by_device.count(device) != 0) continue;
    Evidence evidence;
    evidence.target = mount.mount_point;
    evidence.target_exists = true;
    evidence.probe_directory = mount.mount_point;
    evidence.inspected = mount.mount_point;
    evidence.device = device;
    evidence.mount = std::move(mount);
    by_device.emplace(device, std::move(evidence));
  }
  return by_device;
}

// Each filesystem's own facts and probes; a filesystem unmounted since the
// table was read, or refused (another user's FUSE mount), is passed over
// like a mount point that cannot be reached. Returns the devices kept.
std::vector<std::uint64_t> examine_each(std::map<std::uint64_t, Evidence>& by_device, bool probes_disabled,
                                        std::int64_t run_ends_ms) {
  std::vector<std::uint64_t> devices;
  for (auto entry = by_device.begin(); entry != by_device.end();) {
    Evidence& evidence = entry->second;
    if (examine_filesystem(evidence, probes_disabled, false, run_ends_ms)) {
      entry = by_device.erase(entry);
      continue;
    }
    devices.push_back(entry->first);
    ++entry;
  }
  return devices;
}

}  // namespace

Result<std::vector<Evidence>> collect_host_evidence(bool probes_disabled, const Viewpoint& viewpoint,
                                                    const ScanProgress& progress) {
  Result<std::vector<Mount>> table = read_own_mounts(viewpoint.proc_root);
  if (!table.ok()) return fail(table.error());
  std::map<std::uint64_t, Evidence> by_device = host_filesystems(table.value());
  const std::vector<std::uint64_t> devices = examine_each(by_device, probes_disabled, viewpoint.run_ends_ms);

  ScanSettings settings;
  settings.progress = progress;
  settings.consumer_uid = consumer_uid(viewpoint);
  const ProcScan scan = scan_processes(devices, viewpoint.proc_root, settings);
  const InotifyLimits limits = effective_inotify_limits(
      viewpoint.inotify_limit_files ? *viewpoint.inotify_limit_files
                                    : read_inotify_limit_files(viewpoint.proc_root + "/sys"));

  std::vector<Evidence> host;
  for (auto& [device, evidence] : by_device) {
    evidence.proc_scan.deleted_open = files_on(scan.deleted_open, device);
    evidence.proc_scan.inotify_consumers = scan.inotify_consumers;
    evidence.proc_scan.processes_scanned = scan.processes_scanned;
    evidence.proc_scan.processes_inaccessible = scan.processes_inaccessible;
    evidence.proc_scan.complete = scan.complete;
    evidence.proc_scan.descriptors_exhausted = scan.descriptors_exhausted;
    evidence.inotify_limits = limits;
    host.push_back(std::move(evidence));
  }
  std::sort(host.begin(), host.end(),
            [](const Evidence& a, const Evidence& b) { return a.mount->mount_point < b.mount->mount_point; });
  return host;
}

}  // namespace brimful
