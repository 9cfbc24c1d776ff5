// brimful in a fleet, checked by the programs that consume its output: the
// file --output writes, systemd-analyze on the units, node_exporter scraping
// that file, and promtool on metrics and alert rules.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace brimful {
namespace {

using testing::RunResult;
using testing::run_program;

bool installed(const std::string& program) { return testing::shell("command -v " + program + " >/dev/null") == 0; }

#define REQUIRE_PROGRAM(program)                                                                   \
  do {                                                                                             \
    if (!installed(program)) GTEST_SKIP() << program " is not installed (.ci/run installs it)"; \
  } while (0)

// What the service runs, with the built brimful.
RunResult write_textfile(const std::string& path, const std::string& file) {
  return run_program({BRIMFUL_BINARY, path, "--prometheus", "--explain", "--output", file});
}

// A failed run, and each directory someone else could turn the write
// against, leave the old file as it was.
TEST(FleetOutput, ReplacesTheFileWholeOrLeavesTheOldOne) {
  testing::TempDir dir;
  const std::string file = dir / "brimful-x.prom";
  RunResult r = write_textfile(dir.path(), file);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::list_dir(dir.path()), std::vector<std::string>{"brimful-x.prom"});
  EXPECT_EQ(testing::read_file(file).rfind("# HELP brimful_status ", 0), 0u);
  struct stat status {};
  ASSERT_EQ(stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);  // node_exporter reads it as another user

  const std::string shared = dir / "shared";
  const std::string owned = dir / "owned";
  for (const std::string& d : {shared, owned}) testing::make_dir(d);
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to give a directory to another user";
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  ASSERT_EQ(chown(owned.c_str(), 65534, 65534), 0);
  testing::make_symlink(dir.path(), dir / "link");
  struct Case {
    std::string path, file, error;
  };
  const Case cases[] = {
      {"/proc/self/status/x", file, "brimful: "},
      {dir.path(), shared + "/x.prom", "may be written by its group or by others"},
      {dir.path(), owned + "/x.prom", "belongs to user 65534"},
      {dir.path(), dir / "link/brimful-x.prom", "a symbolic link is not followed"},
      {dir.path(), dir / "../x.prom", "the path holds \"..\""},
  };
  testing::write_file(file, "old\n");
  for (const Case& c : cases) {
    r = write_textfile(c.path, c.file);
    EXPECT_EQ(r.status, 2) << c.file;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(testing::read_file(file), "old\n");
  }
  EXPECT_EQ(testing::list_dir(shared), std::vector<std::string>{});
  EXPECT_EQ(testing::list_dir(owned), std::vector<std::string>{});
}

TEST(FleetUnits, PassSystemdAnalyzeVerify) {
  REQUIRE_PROGRAM("systemd-analyze");
  // The built unit names the program at the build's prefix; this copy
  // names the built one, which verify insists exists.
  testing::TempDir dir;
  for (const std::string name : {"brimful-textfile@", "brimful-textfile"}) {
    std::string service = testing::read_file(std::string(BRIMFUL_UNITS_DIR) + "/" + name + ".service");
    const std::size_t start = service.find("ExecStart=") + 10;
    service.replace(start, service.find(' ', start) - start, BRIMFUL_BINARY);
    testing::write_file(dir / (name + ".service"), service);
    testing::write_file(dir / (name + ".timer"),
                        testing::read_file(std::string(BRIMFUL_SOURCE_DIR) + "/packaging/systemd/" + name + ".timer"));
  }
  // The man page is installed by the package, not present in the tree.
  const RunResult r = run_program({"systemd-analyze", "verify", "--man=no", dir / "brimful-textfile@var-log.service",
                                   dir / "brimful-textfile@var-log.timer", dir / "brimful-textfile.service",
                                   dir / "brimful-textfile.timer"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");  // unknown settings are only warned about
}

TEST(FleetRules, PassPromtool) {
  REQUIRE_PROGRAM("promtool");
  const std::string docs = std::string(BRIMFUL_SOURCE_DIR) + "/docs/prometheus";
  RunResult r = run_program({"promtool", "check", "rules", "brimful-rules.yml"}, docs);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = run_program({"promtool", "test", "rules", "brimful-rules.test.yml"}, docs);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// ---------------------------------------------------------------------------
// node_exporter reading what brimful wrote.

// node_exporter with only the textfile collector, stopped when the test
// ends, also when it fails. It listens on port 0, so the kernel picks a free
// port as it binds, and the test finds that port from the listening socket
// the process holds: no other program can take it in between.
class NodeExporter {
 public:
  NodeExporter(const std::string& directory) {
    // As the unprivileged user it runs as on a real host.
    std::vector<std::string> argv{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                  "prometheus-node-exporter", "--collector.disable-defaults",
                                  "--collector.textfile", "--collector.textfile.directory=" + directory,
                                  "--web.listen-address=127.0.0.1:0"};
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> args;
      for (std::string& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      const int null = open("/dev/null", O_WRONLY);
      if (dup2(null, 2) != 2) _exit(127);
      execvp(args[0], args.data());
      _exit(127);
    }
  }
  ~NodeExporter() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  NodeExporter(const NodeExporter&) = delete;
  NodeExporter& operator=(const NodeExporter&) = delete;

  // The body of GET /metrics, or nothing when node_exporter exited without
  // listening or did not answer. It answers once it listens, however long
  // starting takes on a busy host, so the wait is for that and no deadline.
  std::optional<std::string> scrape() {
    while (port_ == 0 && running()) {
      port_ = listening_port();
      if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::optional<std::string> response = get("/metrics");
    if (!response) return std::nullopt;
    const std::size_t body = response->find("\r\n\r\n");
    if (response->rfind("HTTP/1.", 0) != 0 || body == std::string::npos) return std::nullopt;
    return response->substr(body + 4);
  }

 private:
  // Whether it still runs; an exited one stays a zombie for the destructor.
  bool running() const {
    siginfo_t info{};
    return pid_ > 0 && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  // The port of the listening TCP socket among the process's descriptors,
  // 0 while it has none: its socket inodes, looked up in its net/tcp.
  int listening_port() const {
    const std::string proc = "/proc/" + std::to_string(pid_);
    std::vector<std::string> inodes;
    for (const std::string& fd : testing::list_dir(proc + "/fd")) {
      char target[64] = {};
      if (readlink((proc + "/fd/" + fd).c_str(), target, sizeof target - 1) > 0 &&
          std::string(target).rfind("socket:[", 0) == 0) {
        inodes.push_back(std::string(target + 8, std::strlen(target) - 9));
      }
    }
    // "1: 0100007F:A937 00000000:0000 0A ... 65534 0 2805944 ...": local
    // address, remote, state (0A is LISTEN), ..., uid, timeout, inode.
    std::istringstream table(testing::read_file(proc + "/net/tcp"));
    for (std::string line; std::getline(table, line);) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      if (state == "0A" && std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) {
        return static_cast<int>(std::strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16));
      }
    }
    return 0;
  }

  std::optional<std::string> get(const std::string& target) const {
    if (port_ == 0) return std::nullopt;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port_);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return std::nullopt;
    }
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string response;
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0) response.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return response;
  }

  int port_ = 0;
  pid_t pid_ = -1;
};

// A sample line as node_exporter writes it: labels sorted by name, values
// already escaped.
std::string series(const std::string& name, std::map<std::string, std::string> labels, const std::string& path,
                   const std::string& mountpoint) {
  labels["path"] = path;
  labels["mountpoint"] = mountpoint;
  labels["fstype"] = "tmpfs";
  labels["device"] = "none";
  std::string line = name + "{";
  for (const auto& [label, value] : labels) line += label + "=\"" + value + "\",";
  line.back() = '}';
  return line + " ";
}

std::optional<double> value_of(const std::string& scrape, const std::string& series_prefix) {
  const std::size_t at = scrape.find("\n" + series_prefix);
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(scrape.c_str() + at + 1 + series_prefix.size(), nullptr);
}

// The sample lines of a scrape that contain every one of the given pieces.
std::vector<std::string> samples_with(const std::string& scrape, const std::vector<std::string>& pieces) {
  std::vector<std::string> lines;
  std::istringstream stream(scrape);
  for (std::string line; std::getline(stream, line);) {
    if (line.empty() || line[0] == '#') continue;
    bool all = true;
    for (const std::string& piece : pieces) all = all && line.find(piece) != std::string::npos;
    if (all) lines.push_back(line);
  }
  return lines;
}

// The shipped rules, fed these samples unchanged for 40 minutes: the label
// sets of the alerts firing then. promtool lists what fired when it is told
// to expect nothing.
std::string alerts_firing(const std::vector<std::string>& samples, const std::string& dir) {
  const std::string docs = std::string(BRIMFUL_SOURCE_DIR) + "/docs/prometheus";
  std::string test = "rule_files: ['" + docs + "/brimful-rules.yml']\nevaluation_interval: 1m\ntests:\n"
                     "  - interval: 1m\n    input_series:\n";
  for (const std::string& sample : samples) {
    const std::size_t space = sample.rfind(' ');
    test += "      - series: '" + sample.substr(0, space) + "'\n        values: '" + sample.substr(space + 1) + "x40'\n";
  }
  test += "    alert_rule_test:\n";
  static const std::regex alert("- alert: (\\w+)");
  const std::string rules = testing::read_file(docs + "/brimful-rules.yml");
  for (auto it = std::sregex_iterator(rules.begin(), rules.end(), alert); it != std::sregex_iterator(); ++it) {
    test += "      - eval_time: 40m\n        alertname: " + (*it)[1].str() + "\n        exp_alerts: []\n";
  }
  testing::write_file(dir + "/alerts.test.yml", test);
  const RunResult r = run_program({"promtool", "test", "rules", dir + "/alerts.test.yml"});
  const std::string output = r.out + r.err;  // the failures go to standard error
  std::string fired;
  static const std::regex labels("Labels:(\\{[^\n]*\\})");
  for (auto it = std::sregex_iterator(output.begin(), output.end(), labels); it != std::sregex_iterator(); ++it) {
    fired += (*it)[1].str() + "\n";
  }
  return fired;
}

TEST(FleetNodeExporter, ScrapesHealthyFullAndHostileFilesystems) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to mount filesystems";
  REQUIRE_PROGRAM("prometheus-node-exporter");
  REQUIRE_PROGRAM("promtool");
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // The textfile directory on a filesystem of its own, to fill later.
  const std::string textfiles = dir / "textfiles";
  testing::make_dir(textfiles);
  testing::ScopedMount textfiles_mount("tmpfs", "none", "size=256k,mode=0755", textfiles);
  ASSERT_TRUE(textfiles_mount.ok()) << textfiles_mount.error();

  const std::string healthy = dir / "healthy";
  const std::string full = dir / "full";
  // Quote, backslash and newline in the mount point, and a byte that is not
  // UTF-8 below it; shown as node_exporter escapes them.
  const std::string hostile_mount_point = dir / "q\"b\\s\nn";
  const std::string hostile = hostile_mount_point + "/\xff";
  const std::string hostile_mount_label = dir.path() + "/q\\\"b\\\\s\\nn";
  const std::string hostile_label = hostile_mount_label + "/\xEF\xBF\xBD";
  for (const std::string& point : {healthy, full, hostile_mount_point}) testing::make_dir(point);
  testing::ScopedMount healthy_mount("tmpfs", "none", "size=1m", healthy);
  testing::ScopedMount full_mount("tmpfs", "none", "size=1m", full);
  testing::ScopedMount hostile_mount("tmpfs", "none", "size=1m", hostile_mount_point);
  ASSERT_TRUE(healthy_mount.ok() && full_mount.ok() && hostile_mount.ok()) << healthy_mount.error();
  testing::make_dir(hostile);

  testing::Fixture full_holder({BRIMFUL_FIXTURE, "deleted", full + "/held", "262144"});
  ASSERT_TRUE(full_holder.ready());
  testing::shell("dd if=/dev/zero of='" + full + "/fill' bs=64k 2>/dev/null; sync");
  // The process name the holder shows comes from the name it was started by.
  const std::string hostile_program = dir / "\"\\\n\xff-holder";
  testing::make_symlink(BRIMFUL_FIXTURE, hostile_program);
  testing::Fixture hostile_holder({hostile_program, "deleted", hostile + "/x\"\n\xfe", "4096"});
  ASSERT_TRUE(hostile_holder.ready());

  int index = 0;
  for (const std::string& path : {healthy, full, hostile}) {
    const std::string file = textfiles + "/brimful-" + std::to_string(index++) + ".prom";
    const RunResult r = write_textfile(path, file);
    ASSERT_EQ(r.status, 0) << r.err;
    const RunResult check = run_program({"sh", "-c", "promtool check metrics < \"$0\"", file});
    EXPECT_EQ(check.status, 0) << file;
    EXPECT_EQ(check.out + check.err, "") << file;
  }

  NodeExporter exporter(textfiles);
  const std::optional<std::string> scrape = exporter.scrape();
  ASSERT_TRUE(scrape) << "node_exporter did not answer";
  EXPECT_EQ(value_of(*scrape, "node_textfile_scrape_error "), 0.0) << *scrape;

  const auto at = [&](const std::string& name, const std::map<std::string, std::string>& labels,
                      const std::string& path, const std::string& mountpoint = "") {
    return value_of(*scrape, series(name, labels, path, mountpoint.empty() ? path : mountpoint));
  };
  EXPECT_EQ(at("brimful_status", {{"status", "no_supported_failure"}}, healthy), 1.0) << *scrape;
  EXPECT_EQ(at("brimful_cause", {{"cause", "block_exhaustion"}}, healthy), 0.0);
  EXPECT_EQ(at("brimful_probe_success", {{"probe", "create"}}, healthy), 1.0);
  EXPECT_EQ(at("brimful_deleted_open_files", {}, healthy), 0.0);

  EXPECT_EQ(at("brimful_status", {{"status", "confirmed"}}, full), 1.0);
  EXPECT_EQ(at("brimful_cause", {{"cause", "block_exhaustion"}}, full), 1.0);
  EXPECT_EQ(at("brimful_cause", {{"cause", "inode_exhaustion"}}, full), 0.0);
  EXPECT_EQ(at("brimful_probe_errno", {{"probe", "create"}, {"phase", "write"}, {"errno", "ENOSPC"}}, full), 28.0);
  EXPECT_EQ(at("brimful_deleted_open_bytes", {}, full), 262144.0);
  EXPECT_EQ(at("brimful_deleted_open_files", {}, full), 1.0);

  EXPECT_EQ(at("brimful_deleted_open_files", {}, hostile_label, hostile_mount_label), 1.0) << *scrape;
  EXPECT_EQ(at("brimful_status", {{"status", "no_supported_failure"}}, hostile_label, hostile_mount_label), 1.0);

  // The shipped rules on what node_exporter served: the full target pages,
  // and the deleted file it holds (a quarter of the tmpfs) fires its rule
  // from brimful's series alone.
  const std::string fired = alerts_firing(samples_with(*scrape, {"brimful_", "path=\"" + full + "\""}), dir.path());
  EXPECT_NE(fired.find("{alertname=\"BrimfulWritesFail\", cause=\"block_exhaustion\""), std::string::npos) << fired;
  EXPECT_NE(fired.find("{alertname=\"BrimfulDeletedOpenSpace\", device=\"none\", fstype=\"tmpfs\", mountpoint=\"" +
                       full + "\""),
            std::string::npos)
      << fired;

  // The textfile directory's own filesystem fills: the next run fails and
  // leaves its file, which node_exporter keeps serving, and whose age pages.
  const std::string file = textfiles + "/brimful-1.prom";
  const std::string before = testing::read_file(file);
  testing::shell("dd if=/dev/zero of='" + textfiles + "/fill' bs=64k 2>/dev/null");
  const RunResult failed = write_textfile(full, file);
  EXPECT_EQ(failed.status, 2);
  EXPECT_NE(failed.err.find("No space left on device"), std::string::npos) << failed.err;
  EXPECT_EQ(testing::read_file(file), before);
  const std::optional<std::string> later = exporter.scrape();
  ASSERT_TRUE(later) << "node_exporter did not answer";
  EXPECT_EQ(value_of(*later, "node_textfile_scrape_error "), 0.0) << *later;
  EXPECT_EQ(value_of(*later, series("brimful_status", {{"status", "confirmed"}}, full, full)), 1.0);
  std::vector<std::string> age = samples_with(*later, {"node_textfile_mtime_seconds{", "brimful-1.prom"});
  ASSERT_EQ(age.size(), 1u) << *later;
  age[0] = age[0].substr(0, age[0].rfind(' ')) + " 0";  // written at the start, never again
  EXPECT_NE(alerts_firing(age, dir.path()).find("{alertname=\"BrimfulTextfileStale\""), std::string::npos);
}

}  // namespace
}  // namespace brimful
