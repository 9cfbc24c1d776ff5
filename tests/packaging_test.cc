// What ships beside the binary: the manual page and the completions (which
// must name exactly the options the help names), the report schema, the
// Debian package, the install rules and the static binary.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "kernelwalk.h"
#include "test_util.h"

namespace brimful {
namespace {

using testing::RunResult;

const std::string kSource = BRIMFUL_SOURCE_DIR;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> sorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}

// Every option word ("-h", "--no-probe") in a piece of text.
std::vector<std::string> option_words(const std::string& text) {
  static const std::regex option("(^|[^A-Za-z0-9-])(--?[A-Za-z][A-Za-z0-9-]*)");
  std::vector<std::string> words;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it) {
    words.push_back((*it)[2]);
  }
  return words;
}

// The options as the running binary's help lists them: the lines of its
// OPTIONS block that begin with a dash.
std::vector<std::string> help_options() {
  const RunResult r = testing::run_brimful({"--help"});
  std::vector<std::string> options;
  bool in_options = false;
  for (const std::string& line : lines_of(r.out)) {
    if (line == "OPTIONS:") in_options = true;
    const std::size_t start = line.find_first_not_of(' ');
    if (!in_options || start == std::string::npos || line[start] != '-') continue;
    // "    -h, --help   Show this help": the names end at two spaces.
    for (const std::string& word : option_words(line.substr(start, line.find("  ", start) - start))) {
      options.push_back(word);
    }
  }
  return sorted(options);
}

// The tags of the .TP entries in the manual page's OPTIONS section.
std::vector<std::string> manual_options() {
  const std::vector<std::string> lines = lines_of(testing::read_file(kSource + "/packaging/brimful.1"));
  std::vector<std::string> options;
  bool in_options = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(".SH", 0) == 0) in_options = lines[i] == ".SH OPTIONS";
    if (!in_options || lines[i] != ".TP" || i + 1 == lines.size()) continue;
    // ".BR \-h ", " \-\-help": roff's \- is a plain dash here.
    const std::string tag = std::regex_replace(lines[i + 1], std::regex("\\\\-"), "-");
    for (const std::string& word : option_words(tag)) options.push_back(word);
  }
  return sorted(options);
}

std::vector<std::string> bash_completion_options() {
  const RunResult r = testing::run_program(
      {"bash", "-c", "source \"$0\"; COMP_WORDS=(brimful /tmp -); COMP_CWORD=2; _brimful; "
                     "printf '%s\\n' \"${COMPREPLY[@]}\"",
       kSource + "/packaging/brimful.bash-completion"});
  EXPECT_EQ(r.err, "");
  return sorted(lines_of(r.out));
}

std::vector<std::string> zsh_completion_options() {
  const std::string file = kSource + "/packaging/_brimful";
  std::string why;
  if (testing::have_program("zsh", &why)) {
    const RunResult r = testing::run_program({"zsh", "-n", file});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  // Each option is one quoted argument description: '--json[...]' or
  // '(- *)'{-h,--help}'[...]'.
  std::vector<std::string> options;
  for (const std::string& line : lines_of(testing::read_file(file))) {
    if (line.rfind("  '", 0) != 0) continue;
    const std::string described = line.substr(0, line.find('['));
    for (const std::string& word : option_words(described)) options.push_back(word);
  }
  return sorted(options);
}

TEST(Options, ManualAndCompletionsNameExactlyTheOptionsOfTheHelp) {
  const std::vector<std::string> help = help_options();
  ASSERT_FALSE(help.empty());
  EXPECT_EQ(manual_options(), help) << "packaging/brimful.1, OPTIONS";
  EXPECT_EQ(bash_completion_options(), help) << "packaging/brimful.bash-completion";
  EXPECT_EQ(zsh_completion_options(), help) << "packaging/_brimful";
}

TEST(Manual, RendersWithoutWarnings) {
  SKIP_UNLESS(testing::have_program("groff", &skip_reason));
  const RunResult r = testing::run_program({"groff", "-man", "-ww", "-z", kSource + "/packaging/brimful.1"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

// ---------------------------------------------------------------------------
// The schema is strict: a real report passes, and each way a document can
// stray from what brimful writes is refused.

TEST(Schema, RefusesEveryDepartureFromTheReport) {
  SKIP_UNLESS(testing::have_report_checker(&skip_reason));
  testing::TempDir dir;
  SKIP_UNLESS(testing::mount_table_shows(dir.path(), &skip_reason));
  const RunResult run = testing::run_brimful({dir.path(), "--json", "--no-probe"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string& real = run.out;

  struct Case {
    const char* what;
    const char* pattern;  // replaced at its first match
    const char* replacement;
  };
  const Case cases[] = {
      {"an unknown key", "\n  \"target_exists\"", "\n  \"extra\": 1,\n  \"target_exists\""},
      {"a missing key", ",\n *\"read_only\": (true|false)", ""},
      {"a number as a string", "\"mount_id\": ([0-9]+)", "\"mount_id\": \"$1\""},
      {"a negative count", "\"total_inodes\": ([0-9]+)", "\"total_inodes\": -1$1"},
      {"a fraction", "\"processes_scanned\": ([0-9]+)", "\"processes_scanned\": $1.5"},
      {"a source that is neither text nor null", "\"source\": [^,]*,", "\"source\": 0,"},
      {"an unknown status", "\"status\": \"unknown\"", "\"status\": \"fine\""},
      {"an unknown probe result", "\"result\": \"not_run\"", "\"result\": \"skipped\""},
      {"an inotify phase in the create probe", "\"outcome\": \\{\n *\"result\": \"not_run\"\n *\\}",
       "\"outcome\": {\"result\": \"error\", \"phase\": \"init\", \"errno\": {\"code\": 24, \"name\": \"EMFILE\"}}"},
      {"a cause without confirmation", "\"causes\": \\[\\]", "\"causes\": [\"block_exhaustion\"]"},
      {"members out of order", "(\"total_bytes\": [0-9]+),(\n *)(\"free_bytes\": [0-9]+),", "$3,$2$1,"},
      {"as_seen_by away from its place", "\n  \"probe_directory\"",
       "\n  \"as_seen_by\": {\"pid\": 1, \"process\": \"init\"},\n  \"probe_directory\""},
      {"a finding of an unknown kind", "(\"notes\": \\[[^\\]]*\\]\n  \\})",
       "$1,\n  \"findings\": [{\"kind\": \"disk_sad\", \"summary\": \"s\", \"remedy\": \"fix: r\"}]"},
  };
  std::vector<std::string> documents{real};
  for (const Case& c : cases) {
    const std::string document =
        std::regex_replace(real, std::regex(c.pattern), c.replacement, std::regex_constants::format_first_only);
    ASSERT_NE(document, real) << c.what;
    documents.push_back(document);
  }
  const std::vector<std::string> verdicts = testing::check_reports(documents);
  ASSERT_EQ(verdicts.size(), documents.size()) << ::testing::PrintToString(verdicts);
  EXPECT_EQ(verdicts[0], "ok") << real;
  for (std::size_t i = 1; i < documents.size(); ++i) {
    EXPECT_EQ(verdicts[i].rfind("invalid: ", 0), 0u) << cases[i - 1].what << ": " << verdicts[i] << "\n"
                                                      << documents[i];
  }
}

// ---------------------------------------------------------------------------
// Installing and packaging.

// Regular files and links under a directory, relative to it, sorted.
std::vector<std::string> files_under(const std::string& root) {
  const RunResult r = testing::run_program({"find", ".", "!", "-type", "d"}, root);
  std::vector<std::string> files;
  for (const std::string& line : lines_of(r.out)) files.push_back(line.substr(2));
  return sorted(files);
}

const std::vector<std::string> kInstalled = {
    "bin/brimful",
    "lib/systemd/system/brimful-textfile.service",
    "lib/systemd/system/brimful-textfile.timer",
    "lib/systemd/system/brimful-textfile@.service",
    "lib/systemd/system/brimful-textfile@.timer",
    "share/bash-completion/completions/brimful",
    "share/brimful/prometheus/brimful-rules.test.yml",
    "share/brimful/prometheus/brimful-rules.yml",
    "share/doc/brimful/changelog.gz",
    "share/doc/brimful/copyright",
    "share/man/man1/brimful.1.gz",
    "share/zsh/vendor-completions/_brimful",
};

// The program the installed service runs.
std::string exec_start(const std::string& root, const std::string& prefix) {
  const std::string unit = testing::read_file(root + prefix + "/lib/systemd/system/brimful-textfile@.service");
  const std::size_t start = unit.find("\nExecStart=") + 11;
  return unit.substr(start, unit.find(' ', start) - start);
}

TEST(Install, HonoursThePrefixAndDestdir) {
  testing::TempDir dir;
  const RunResult r = testing::run_program(
      {"env", "DESTDIR=" + dir.path() + "/stage", "cmake", "--install", BRIMFUL_BUILD_DIR, "--prefix", "/opt/brimful"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected;
  for (const std::string& file : kInstalled) expected.push_back("opt/brimful/" + file);
  EXPECT_EQ(files_under(dir / "stage"), expected);
  EXPECT_EQ(exec_start(dir / "stage", "/opt/brimful"), "/opt/brimful/bin/brimful");
  const RunResult manual = testing::run_program({"gzip", "-dc", dir / "stage/opt/brimful/share/man/man1/brimful.1.gz"});
  EXPECT_EQ(manual.out, std::regex_replace(testing::read_file(kSource + "/packaging/brimful.1"),
                                           std::regex("@PROJECT_VERSION@"), BRIMFUL_VERSION));
}

TEST(Package, DebianPackageHoldsTheFilesAndRuns) {
  for (const char* program : {"cpack", "dpkg-deb", "dpkg-shlibdeps"}) {
    SKIP_UNLESS(testing::have_program(program, &skip_reason));
  }
  testing::TempDir dir;
  // Packages the finished build; the package and cpack's staging tree go to
  // the temporary directory, not into the build.
  const RunResult cpack = testing::run_program(
      {"cpack", "--config", BRIMFUL_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B", dir / "out"});
  ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
  const RunResult found = testing::run_program({"sh", "-c", "ls \"$0\"/*.deb", dir / "out"});
  const std::vector<std::string> packages = lines_of(found.out);
  ASSERT_EQ(packages.size(), 1u) << found.out << found.err;
  const std::string deb = packages[0];

  const RunResult fields = testing::run_program({"dpkg-deb", "-f", deb, "Package", "Version", "Depends", "Description"});
  ASSERT_EQ(fields.status, 0) << fields.err;
  EXPECT_NE(fields.out.find("Package: brimful\n"), std::string::npos) << fields.out;
  EXPECT_NE(fields.out.find("Version: " BRIMFUL_VERSION "\n"), std::string::npos) << fields.out;
  // Computed from the binary by dpkg-shlibdeps, not written by hand.
  EXPECT_TRUE(std::regex_search(fields.out, std::regex("\nDepends: .*libc6 \\(>= [0-9]"))) << fields.out;
  EXPECT_NE(fields.out.find("Description: evidence-based Linux ENOSPC diagnosis\n "), std::string::npos)
      << fields.out;

  const RunResult unpacked = testing::run_program({"dpkg-deb", "-x", deb, dir / "root"});
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  std::vector<std::string> expected;
  for (const std::string& file : kInstalled) expected.push_back("usr/" + file);
  EXPECT_EQ(files_under(dir / "root"), expected);

  const RunResult version = testing::run_program({dir / "root/usr/bin/brimful", "--version"});
  EXPECT_EQ(version.out.substr(0, version.out.find('\n')), "brimful " BRIMFUL_VERSION);
  EXPECT_EQ(version.status, 0);

  // The units as installed name the program as installed, and systemd
  // accepts them there.
  EXPECT_EQ(exec_start(dir / "root", "/usr"), "/usr/bin/brimful");
  if (testing::have_program("systemd-analyze", nullptr)) {
    // Under --root, verify looks for the program there, and for the targets
    // the units are ordered after, which this host lends.
    const std::string units = dir / "root/usr/lib/systemd/system/";
    testing::shell("cp -n /lib/systemd/system/*.target '" + units + "'");
    const RunResult verify = testing::run_program({"systemd-analyze", "verify", "--man=no", "--root=" + dir / "root",
                                                   units + "brimful-textfile@var-log.service",
                                                   units + "brimful-textfile@var-log.timer"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  }
  if (testing::have_program("lintian", nullptr)) {
    // Errors and warnings fail; the info tags that stay are explained in
    // the README.
    const RunResult lintian = testing::run_program({"lintian", "-I", "-E", "--pedantic", "--fail-on", "error,warning", deb});
    EXPECT_EQ(lintian.status, 0) << lintian.out << lintian.err;
  }
  SKIP_UNLESS(testing::mount_table_shows(dir.path(), &skip_reason));
  const RunResult report = testing::run_program({dir / "root/usr/bin/brimful", dir.path(), "--no-probe"});
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_EQ(report.out.substr(0, report.out.find('\n')), "Target: " + testing::canonical(dir.path()));
}

// ---------------------------------------------------------------------------
// The static binary, in a root that holds nothing but itself and /proc.

TEST(StaticBinary, RunsInARootWithOnlyItselfAndProc) {
#ifndef BRIMFUL_STATIC_BINARY
  GTEST_SKIP() << "no static binary in this build type (the sanitizers cannot be linked statically)";
#else
  const std::string binary = BRIMFUL_STATIC_BINARY;
  if (testing::have_program("ldd", nullptr)) {
    const RunResult ldd = testing::run_program({"ldd", binary});
    EXPECT_NE((ldd.out + ldd.err).find("not a dynamic executable"), std::string::npos) << ldd.out << ldd.err;
  }
  SKIP_UNLESS(testing::can_mount(&skip_reason));
  SKIP_UNLESS(testing::can_unshare("-m -p -f --propagation private", &skip_reason));
  SKIP_UNLESS(testing::have_program("chroot", &skip_reason));
  testing::TempDir dir;
  // A fresh tmpfs as the new root, private to the namespace: nothing of the
  // host's filesystem is reachable from inside, no loader and no library.
  const std::string script =
      "set -e\n"
      "mount -t tmpfs -o size=4m none \"$1\"\n"
      "cp \"$0\" \"$1/brimful\"\n"
      "mkdir \"$1/proc\"\n"
      "mount -t proc proc \"$1/proc\"\n"
      "status=0\n"
      "chroot \"$1\" /brimful / --json --check || status=$?\n"
      "ls -A \"$1\" >&2\n"
      "exit $status\n";
  const RunResult r = testing::run_program(
      {"unshare", "-m", "-p", "-f", "--propagation", "private", "sh", "-c", script, binary, dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "brimful\nproc\n") << "the root holds only the binary and /proc, and the probe left nothing";
  EXPECT_EQ(testing::json_value(r.out, "target"), "\"/\"");
  EXPECT_EQ(testing::json_value(r.out, "fs_type"), "\"tmpfs\"");
  EXPECT_EQ(testing::json_value(r.out, "status"), "\"no_supported_failure\"") << r.out;
  EXPECT_EQ(testing::json_value(r.out, "complete"), "true");
#endif
}

// The static binary carries the in-kernel walk and loads it where this test
// itself can: the kernel hands it an iterator.
TEST(StaticBinary, WalksTheDescriptorTablesInTheKernel) {
#ifndef BRIMFUL_STATIC_BINARY
  GTEST_SKIP() << "no static binary in this build type (the sanitizers cannot be linked statically)";
#else
  testing::TempDir dir;
  struct stat status {};
  ASSERT_EQ(0, stat(dir.path().c_str(), &status));
  if (!walk_in_kernel(status.st_dev)) GTEST_SKIP() << "the in-kernel walk cannot run here";
  SKIP_UNLESS(testing::have_program("strace", &skip_reason));
  const RunResult r = testing::run_program({"strace", "-qq", "-e", "trace=bpf", "-e", "signal=none",
                                            BRIMFUL_STATIC_BINARY, dir.path(), "--no-probe"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex("bpf\\(BPF_ITER_CREATE, .*\\) = [0-9]+\n"))) << r.err;
#endif
}

}  // namespace
}  // namespace brimful
