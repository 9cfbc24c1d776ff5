// Runs one process scan of /proc the way the benchmark asks and prints what
// it found, so that a scan can be timed on its own:
//
//   brimful_scan_modes parallel|sequential|literal DIR
//
// "parallel" is brimful's scan, "sequential" the same on one thread,
// "literal" the scan that reads every descriptor's link.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "procscan.h"

int main(int argc, char** argv) {
  struct stat status {};
  if (argc != 3 || stat(argv[2], &status) != 0) {
    std::fprintf(stderr, "usage: brimful_scan_modes parallel|sequential|literal DIR\n");
    return 2;
  }
  brimful::ProcScan scan;
  if (std::strcmp(argv[1], "literal") == 0) {
    scan = brimful::scan_processes_reference(status.st_dev);
  } else {
    brimful::ScanSettings settings;
    settings.threads = std::strcmp(argv[1], "sequential") == 0 ? 1 : 0;
    scan = brimful::scan_processes(status.st_dev, "/proc", settings);
  }
  std::printf("%llu processes, %zu deleted files, %zu consumers%s\n",
              static_cast<unsigned long long>(scan.processes_scanned), scan.deleted_open.size(),
              scan.inotify_consumers.size(), scan.complete ? "" : ", incomplete");
  return 0;
}
