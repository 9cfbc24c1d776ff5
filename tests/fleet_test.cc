// brimful in a fleet, checked by the programs that consume its output: the
// textfile writer the units run, systemd-analyze on the units, node_exporter
// scraping what the writer wrote, and promtool on metrics and alert rules.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace brimful {
namespace {

using testing::RunResult;
using testing::run_program;

const std::string kWriter = std::string(BRIMFUL_UNITS_DIR) + "/brimful-textfile";

bool installed(const std::string& program) { return testing::shell("command -v " + program + " >/dev/null") == 0; }

#define REQUIRE_PROGRAM(program)                                                                   \
  do {                                                                                             \
    if (!installed(program)) GTEST_SKIP() << program " is not installed (.ci/run installs it)"; \
  } while (0)

// Runs the writer the service runs, with the built brimful.
RunResult write_textfile(const std::string& path, const std::string& file) {
  return run_program({"env", std::string("BRIMFUL=") + BRIMFUL_BINARY, kWriter, path, file});
}

TEST(FleetWriter, ReplacesTheFileOrRemovesIt) {
  testing::TempDir dir;
  const std::string file = dir / "brimful-x.prom";
  testing::write_file(file, "old\n");
  RunResult r = write_textfile(dir.path(), file);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testing::list_dir(dir.path()), std::vector<std::string>{"brimful-x.prom"});
  EXPECT_EQ(testing::read_file(file).rfind("# HELP brimful_status ", 0), 0u);
  struct stat status {};
  ASSERT_EQ(stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);  // node_exporter reads it as another user

  // A path brimful cannot examine fails the run; the old numbers go too.
  r = write_textfile("/proc/self/status/x", file);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("brimful: "), std::string::npos) << r.err;
  EXPECT_EQ(testing::list_dir(dir.path()), std::vector<std::string>{});

  r = write_textfile("relative", file);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "usage: brimful-textfile PATH FILE (PATH absolute)\n");
}

TEST(FleetUnits, PassSystemdAnalyzeVerify) {
  REQUIRE_PROGRAM("systemd-analyze");
  // The installed unit names the installed script; this copy names the
  // built one, which verify insists exists.
  testing::TempDir dir;
  std::string service = testing::read_file(std::string(BRIMFUL_UNITS_DIR) + "/brimful-textfile@.service");
  const std::size_t start = service.find("ExecStart=") + 10;
  service.replace(start, service.find(' ', start) - start, kWriter);
  testing::write_file(dir / "brimful-textfile@.service", service);
  testing::write_file(dir / "brimful-textfile@.timer",
                      testing::read_file(std::string(BRIMFUL_SOURCE_DIR) + "/packaging/systemd/brimful-textfile@.timer"));
  // The man page is installed by the package, not present in the tree.
  const RunResult r = run_program({"systemd-analyze", "verify", "--man=no", dir / "brimful-textfile@var-log.service",
                                   dir / "brimful-textfile@var-log.timer"});
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
// node_exporter reading what the writer wrote.

// node_exporter on a free loopback port with only the textfile collector,
// stopped when the test ends, also when it fails.
class NodeExporter {
 public:
  NodeExporter(const std::string& directory) {
    port_ = free_port();
    // As the unprivileged user it runs as on a real host.
    std::vector<std::string> argv{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                  "prometheus-node-exporter", "--collector.disable-defaults",
                                  "--collector.textfile", "--collector.textfile.directory=" + directory,
                                  "--web.listen-address=127.0.0.1:" + std::to_string(port_)};
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> args;
      for (std::string& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      freopen("/dev/null", "w", stderr);
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

  // The body of GET /metrics, or nothing when it never answered.
  std::optional<std::string> scrape() const {
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (std::optional<std::string> response = get("/metrics")) {
        const std::size_t body = response->find("\r\n\r\n");
        if (response->rfind("HTTP/1.", 0) == 0 && body != std::string::npos) return response->substr(body + 4);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::nullopt;
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  static int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
  }

  std::optional<std::string> get(const std::string& target) const {
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

TEST(FleetNodeExporter, ScrapesHealthyFullAndHostileFilesystems) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to mount filesystems";
  REQUIRE_PROGRAM("prometheus-node-exporter");
  REQUIRE_PROGRAM("promtool");
  testing::TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string textfiles = dir / "textfiles";
  testing::make_dir(textfiles);

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
}

}  // namespace
}  // namespace brimful
