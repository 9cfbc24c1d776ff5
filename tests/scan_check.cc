// A helper the process-scan tests run as the first process of a private PID
// namespace, where /proc shows only what it starts itself:
//
//   brimful_scan_check same DIR PROCESSES DESCRIPTORS DELETED
//       starts the fixture's load on DIR and checks that the record of the
//       scan, written as JSON, is byte for byte that of the literal scan:
//       the /proc scan with one thread, three and the default number, and
//       the scan that has the kernel walk the descriptor tables, with one
//       thread and the default number. Where that walk cannot run, it says
//       so on a line of its own;
//   brimful_scan_check churn DIR RUNS
//       starts the fixture's churn in DIR and runs `brimful DIR --json`
//       RUNS times; every run must exit 0 with a well-formed report of a
//       complete scan.
//
// It prints what went wrong and exits 1, or exits 0.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "json_writer.h"
#include "kernelwalk.h"
#include "literal_scan.h"
#include "procscan.h"
#include "test_util.h"

namespace brimful {
namespace {

std::string scan_json(const ProcScan& scan) {
  Evidence evidence;
  evidence.target = "/";
  evidence.probe_directory = "/";
  evidence.proc_scan = scan;
  Result<std::string> json = encode_json(evidence, Diagnosis{});
  return json.ok() ? json.value() : "error: " + json.error();
}

// The lines around the first difference.
std::string first_difference(const std::string& a, const std::string& b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  const std::size_t from = at < 200 ? 0 : at - 200;
  return "at byte " + std::to_string(at) + "\n--- literal:\n" + a.substr(from, 400) +
         "\n--- scan:\n" + b.substr(from, 400) + "\n";
}

int same(const std::string& dir, const std::string& processes, const std::string& descriptors,
         const std::string& deleted) {
  struct stat status {};
  if (stat(dir.c_str(), &status) != 0) {
    std::perror(dir.c_str());
    return 1;
  }
  testing::Fixture load({BRIMFUL_FIXTURE, "load", dir, processes, descriptors, deleted});
  if (!load.ready()) {
    std::fprintf(stderr, "the load did not start\n");
    return 1;
  }
  const std::string literal = scan_json(literal_scan({status.st_dev}));
  struct Leg {
    std::string label;
    ScanSettings settings;
  };
  std::vector<Leg> legs;
  for (unsigned threads : {1u, 3u, 0u}) {
    Leg leg{"/proc scan, threads=" + std::to_string(threads), {}};
    leg.settings.method = ScanMethod::proc_only;
    leg.settings.threads = threads;
    legs.push_back(leg);
  }
  const bool kernel = walk_in_kernel(status.st_dev).has_value();
  if (kernel) {
    for (unsigned threads : {1u, 0u}) {
      Leg leg{"in-kernel walk, threads=" + std::to_string(threads), {}};
      leg.settings.threads = threads;
      legs.push_back(leg);
    }
  } else {
    std::printf("in-kernel walk unavailable\n");
  }
  int failures = 0;
  for (const Leg& leg : legs) {
    const ProcScan scan = scan_processes(status.st_dev, "/proc", leg.settings);
    const std::string json = scan_json(scan);
    if (json != literal) {
      std::fprintf(stderr, "%s: differs %s", leg.label.c_str(), first_difference(literal, json).c_str());
      ++failures;
    }
    if (!scan.complete || scan.processes_scanned < std::stoul(processes)) {
      std::fprintf(stderr, "%s: scan incomplete:\n%s\n", leg.label.c_str(), json.c_str());
      ++failures;
    }
  }
  std::printf("%zu bytes\n", literal.size());
  return failures == 0 ? 0 : 1;
}

// Brackets balance outside strings, and every string ends.
bool well_formed(const std::string& json) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        return false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') {
      if (--depth < 0) return false;
      if (depth == 0 && json.substr(i + 1) != "\n") return false;
    }
  }
  return depth == 0 && !in_string && !json.empty() && json[0] == '{';
}

int churn(const std::string& dir, int runs) {
  testing::Fixture churning({BRIMFUL_FIXTURE, "churn", dir});
  if (!churning.ready()) {
    std::fprintf(stderr, "the churn did not start\n");
    return 1;
  }
  int failures = 0;
  for (int run = 0; run < runs && failures < 3; ++run) {
    const testing::RunResult r = testing::run_brimful({dir, "--json", "--no-probe"});
    const bool complete = r.out.find("\"processes_inaccessible\": 0,") != std::string::npos &&
                          r.out.find("\"complete\": true") != std::string::npos;
    if (r.status != 0 || !r.err.empty() || !well_formed(r.out) || !complete) {
      std::fprintf(stderr, "run %d: status %d\nstderr: %s\nstdout: %s\n", run, r.status,
                   r.err.c_str(), r.out.c_str());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace brimful

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 5 && args[0] == "same") return brimful::same(args[1], args[2], args[3], args[4]);
  if (args.size() == 3 && args[0] == "churn") return brimful::churn(args[1], std::atoi(args[2].c_str()));
  std::fprintf(stderr,
               "usage: brimful_scan_check same DIR PROCESSES DESCRIPTORS DELETED | churn DIR RUNS\n");
  return 2;
}
