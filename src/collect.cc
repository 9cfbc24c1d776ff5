#include "collect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "capacity.h"
#include "mountinfo.h"
#include "probe.h"
#include "procscan.h"

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
  if (path.find('\0') != OsPath::npos) {
    metadata.error = EINVAL;
    return metadata;
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    metadata.error = errno;
    return metadata;
  }
  metadata.is_directory = S_ISDIR(status.st_mode);
  metadata.device = status.st_dev;
  return metadata;
}

Result<OsPath> current_directory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(buffer.find('\0'));
      return buffer;
    }
    if (errno != ERANGE) return fail("cannot resolve current directory: " + os_error_text(errno));
    buffer.resize(buffer.size() * 2);
  }
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

  Result<Filesystem> filesystem = filesystem_facts(resolution.inspected, fs_type_of(evidence));
  if (!filesystem.ok()) return fail(filesystem.error());
  evidence.filesystem = filesystem.value();

  // The create probe's file is gone and the inotify instance closed before
  // /proc is read, so brimful never finds its own probes in the scan.
  if (!probes_disabled) {
    KernelProbeSystem kernel;
    evidence.create_probe.outcome = run_create_probe(evidence.probe_directory, kernel);
    evidence.inotify_probe = run_inotify_probe(resolution.inspected, kernel);
  }

  ScanSettings settings;
  settings.progress = progress;
  settings.consumer_uid = viewpoint.consumer_uid;
  evidence.proc_scan = scan_processes(inspected.device, viewpoint.proc_root, settings);

  evidence.inotify_limits = effective_inotify_limits(
      viewpoint.inotify_limit_files ? *viewpoint.inotify_limit_files
                                    : read_inotify_limit_files(viewpoint.proc_root + "/sys"));
  return evidence;
}

}  // namespace brimful
