#include "metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brimful {
namespace {

TEST(MetricLabelValue, LossyThenEscaped) {
  const struct {
    std::string bytes;
    std::string expected;
  } cases[] = {
      {"/var/log", "/var/log"},
      {"a\\b", "a\\\\b"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"two\nlines", "two\\nlines"},
      {"tab\tand\rreturn", "tab\tand\rreturn"},
      {"bad\xff\xfe", "bad\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xE2\x82 \\", "\xEF\xBF\xBD \\\\"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(metric_label_value(c.bytes), c.expected) << c.bytes;
}

DeletedOpenEntry deleted(std::uint64_t inode, std::uint64_t bytes) {
  DeletedOpenEntry file;
  file.device = 2049;
  file.inode = inode;
  file.path = "/srv/old.log (deleted)";
  file.allocated_bytes = bytes;
  return file;
}

TEST(RenderMetrics, WholeExposition) {
  Evidence evidence;
  evidence.target = "/srv/data";
  evidence.mount.emplace().mount_point = "/srv";
  evidence.mount->source = "/dev/sda1";
  evidence.mount->fs_type = "ext4";
  evidence.create_probe.outcome = ProbeError{Phase::write, ErrnoInfo{28, "ENOSPC"}};
  evidence.inotify_probe.init = ProbeSuccess{};
  evidence.inotify_probe.add_watch = ProbeError{Phase::add_watch, ErrnoInfo{28, "ENOSPC"}};
  evidence.inotify_limits.max_user_watches = 8192;
  evidence.filesystem = Filesystem{1 << 30, 1 << 20, 0, 65536, 0, true, false};
  // The same file reached through a second descriptor counts once.
  evidence.proc_scan.deleted_open = {deleted(12, 4096), deleted(13, 1 << 20), deleted(12, 4096)};
  evidence.proc_scan.inotify_consumers = {{10, "a", 1, 8000}, {11, "b", 2, 192}};
  evidence.proc_scan.processes_scanned = 140;
  evidence.proc_scan.processes_inaccessible = 2;
  Diagnosis diagnosis;
  diagnosis.status = Status::confirmed;
  diagnosis.causes = {CauseKind::block_exhaustion, CauseKind::inotify_exhaustion};

  const std::string l = "path=\"/srv/data\",mountpoint=\"/srv\",fstype=\"ext4\",device=\"/dev/sda1\"";
  const std::string expected =
      "# HELP brimful_status The verdict as a state set: 1 for the current status, 0 for the others.\n"
      "# TYPE brimful_status gauge\n"
      "brimful_status{" + l + ",status=\"confirmed\"} 1\n"
      "brimful_status{" + l + ",status=\"no_supported_failure\"} 0\n"
      "brimful_status{" + l + ",status=\"unknown\"} 0\n"
      "# HELP brimful_cause Whether the run confirmed this cause of failing writes.\n"
      "# TYPE brimful_cause gauge\n"
      "brimful_cause{" + l + ",cause=\"inode_exhaustion\"} 0\n"
      "brimful_cause{" + l + ",cause=\"block_exhaustion\"} 1\n"
      "brimful_cause{" + l + ",cause=\"inotify_exhaustion\"} 1\n"
      "brimful_cause{" + l + ",cause=\"inotify_instance_exhaustion\"} 0\n"
      "brimful_cause{" + l + ",cause=\"read_only_filesystem\"} 0\n"
      "# HELP brimful_probe_success Whether the probe succeeded; absent when it did not run.\n"
      "# TYPE brimful_probe_success gauge\n"
      "brimful_probe_success{" + l + ",probe=\"create\"} 0\n"
      "brimful_probe_success{" + l + ",probe=\"inotify_init\"} 1\n"
      "brimful_probe_success{" + l + ",probe=\"inotify_watch\"} 0\n"
      "# HELP brimful_probe_errno The error number of a failed probe, with the failing step and its name.\n"
      "# TYPE brimful_probe_errno gauge\n"
      "brimful_probe_errno{" + l + ",probe=\"create\",phase=\"write\",errno=\"ENOSPC\"} 28\n"
      "brimful_probe_errno{" + l + ",probe=\"inotify_watch\",phase=\"add_watch\",errno=\"ENOSPC\"} 28\n"
      "# HELP brimful_deleted_open_bytes Bytes allocated to deleted files on the filesystem that processes "
      "still hold open.\n"
      "# TYPE brimful_deleted_open_bytes gauge\n"
      "brimful_deleted_open_bytes{" + l + "} 1052672\n"
      "# HELP brimful_deleted_open_files Deleted files on the filesystem that processes still hold open.\n"
      "# TYPE brimful_deleted_open_files gauge\n"
      "brimful_deleted_open_files{" + l + "} 2\n"
      "# HELP brimful_filesystem_size_bytes The filesystem's size in bytes.\n"
      "# TYPE brimful_filesystem_size_bytes gauge\n"
      "brimful_filesystem_size_bytes{" + l + "} 1073741824\n"
      "# HELP brimful_filesystem_avail_bytes Bytes an unprivileged user may still write.\n"
      "# TYPE brimful_filesystem_avail_bytes gauge\n"
      "brimful_filesystem_avail_bytes{" + l + "} 0\n"
      "# HELP brimful_filesystem_files The filesystem's inodes; absent where it does not count them.\n"
      "# TYPE brimful_filesystem_files gauge\n"
      "brimful_filesystem_files{" + l + "} 65536\n"
      "# HELP brimful_filesystem_files_free Free inodes; absent where the filesystem does not count them.\n"
      "# TYPE brimful_filesystem_files_free gauge\n"
      "brimful_filesystem_files_free{" + l + "} 0\n"
      "# HELP brimful_inotify_watches Inotify watches held by the processes of the user brimful ran as.\n"
      "# TYPE brimful_inotify_watches gauge\n"
      "brimful_inotify_watches{" + l + "} 8192\n"
      "# HELP brimful_inotify_watches_limit The per-user limit of inotify watches.\n"
      "# TYPE brimful_inotify_watches_limit gauge\n"
      "brimful_inotify_watches_limit{" + l + "} 8192\n"
      "# HELP brimful_inotify_instances Inotify instances held by the processes of the user brimful ran as.\n"
      "# TYPE brimful_inotify_instances gauge\n"
      "brimful_inotify_instances{" + l + "} 3\n"
      "# HELP brimful_processes_scanned Processes the scan of /proc examined.\n"
      "# TYPE brimful_processes_scanned gauge\n"
      "brimful_processes_scanned{" + l + "} 140\n"
      "# HELP brimful_processes_inaccessible Processes the scan of /proc could not read.\n"
      "# TYPE brimful_processes_inaccessible gauge\n"
      "brimful_processes_inaccessible{" + l + "} 2\n"
      "# HELP brimful_finding A finding of this kind applies.\n"
      "# TYPE brimful_finding gauge\n"
      "brimful_finding{" + l + ",kind=\"quota\"} 1\n"
      "# HELP brimful_run_duration_seconds How long the run took.\n"
      "# TYPE brimful_run_duration_seconds gauge\n"
      "brimful_run_duration_seconds{" + l + "} 0.012500\n"
      "# HELP brimful_last_run_timestamp_seconds When the run started, in seconds since the epoch.\n"
      "# TYPE brimful_last_run_timestamp_seconds gauge\n"
      "brimful_last_run_timestamp_seconds{" + l + "} 1700000000.250\n";
  EXPECT_EQ(render_metrics(evidence, diagnosis, RunInfo{0.0125, 1700000000.25}, {"quota"}), expected);
}

// Probes that did not run and findings that were not asked for leave their
// families out; a mount without a source is "none", as node_exporter has it.
TEST(RenderMetrics, WithoutProbesFindingsOrSource) {
  Evidence evidence;
  evidence.target = "/run/a\"b";
  evidence.mount.emplace().mount_point = "/run";
  evidence.mount->fs_type = "tmpfs";
  Diagnosis diagnosis;
  const std::string out = render_metrics(evidence, diagnosis, RunInfo{}, {});
  for (const char* family : {"brimful_probe_", "brimful_finding", "_limit", "brimful_filesystem_files"}) {
    EXPECT_EQ(out.find(family), std::string::npos) << family;
  }
  EXPECT_NE(out.find("brimful_status{path=\"/run/a\\\"b\",mountpoint=\"/run\",fstype=\"tmpfs\",device=\"none\","
                     "status=\"unknown\"} 1\n"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace brimful
