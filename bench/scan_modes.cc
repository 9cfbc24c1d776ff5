// Runs one process scan of /proc the way the benchmark asks and prints what
// it found, so that a scan can be timed on its own:
//
//   brimful_scan_modes kernel|parallel|sequential|literal DIR
//
// "kernel" is brimful's scan, which uses the in-kernel walk where it may,
// "parallel" the /proc scan, "sequential" the same on one thread, "literal"
// the scan that reads every descriptor's link.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "literal_scan.h"
#include "procscan.h"

int main(int argc, char** argv) {
  struct stat status {};
  if (argc != 3 || stat(argv[2], &status) != 0) {
    std::fprintf(stderr, "usage: brimful_scan_modes kernel|parallel|sequential|literal DIR\n");
    return 2;
  }
  brimful::ScanSettings settings;
  const std::string mode = argv[1];
  if (mode == "kernel") {
    settings.method = brimful::ScanMethod::automatic;
  } else if (mode == "parallel" || mode == "sequential") {
    settings.method = brimful::ScanMethod::proc_only;
    settings.threads = mode == "sequential" ? 1 : 0;
  } else if (mode == "literal") {
  } else {
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
  }
  const brimful::ProcScan scan = mode == "literal" ? brimful::literal_scan({status.st_dev})
                                                    : brimful::scan_processes(status.st_dev, "/proc", settings);
  std::printf("%llu processes, %zu deleted files, %zu consumers%s\n",
              static_cast<unsigned long long>(scan.processes_scanned), scan.deleted_open.size(),
              scan.inotify_consumers.size(), scan.complete ? "" : ", incomplete");
  return 0;
}
