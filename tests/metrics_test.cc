#include "metrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
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

// Each family once, with the values of the evidence.
TEST(RenderMetrics, EveryFamilyOnceWithItsSamples) {
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

  const std::string out = render_metrics(evidence, diagnosis, RunInfo{0.0125, 1700000000.25}, {"quota"});

  const std::string l = "{path=\"/srv/data\",mountpoint=\"/srv\",fstype=\"ext4\",device=\"/dev/sda1\"";
  for (const std::string& sample : {
           "brimful_status" + l + ",status=\"confirmed\"} 1", "brimful_status" + l + ",status=\"unknown\"} 0",
           "brimful_cause" + l + ",cause=\"block_exhaustion\"} 1",
           "brimful_cause" + l + ",cause=\"inode_exhaustion\"} 0",
           "brimful_probe_success" + l + ",probe=\"inotify_init\"} 1",
           "brimful_probe_errno" + l + ",probe=\"create\",phase=\"write\",errno=\"ENOSPC\"} 28",
           "brimful_deleted_open_bytes" + l + "} 1052672", "brimful_deleted_open_files" + l + "} 2",
           "brimful_filesystem_avail_bytes" + l + "} 0", "brimful_inotify_watches" + l + "} 8192",
           "brimful_inotify_instances" + l + "} 3", "brimful_processes_inaccessible" + l + "} 2",
           "brimful_finding" + l + ",kind=\"quota\"} 1", "brimful_run_duration_seconds" + l + "} 0.012500",
           "brimful_last_run_timestamp_seconds" + l + "} 1700000000.250"}) {
    EXPECT_NE(out.find("\n" + sample + "\n"), std::string::npos) << sample << "\n" << out;
  }
  // The text format: each family's HELP, then its TYPE, then its samples,
  // all together and each family once.
  std::vector<std::string> families;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const std::string name = line.substr(0, line.find('{'));
    if (line.rfind("# HELP ", 0) == 0) {
      families.push_back(line.substr(7, line.find(' ', 7) - 7));
      EXPECT_EQ(std::count(families.begin(), families.end(), families.back()), 1) << line;
    } else if (line.rfind("# TYPE ", 0) == 0) {
      EXPECT_EQ(line, "# TYPE " + families.back() + " gauge");
    } else {
      EXPECT_EQ(name, families.empty() ? "" : families.back()) << line;
    }
  }
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
