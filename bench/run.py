#!/usr/bin/env python3
"""Times a whole brimful run, with the in-kernel walk and with the /proc scan,
against the literal scan, the system-call floor and `lsof +L1`, on a fixed
load in a private PID and mount namespace.

    bench/run.py [BUILD_DIR] [--runs N]

BUILD_DIR (default: build) holds brimful, brimful_fixture, brimful_floor and
brimful_scan_modes. Needs root (for the namespace) and lsof. Prints one table
per load: median wall time, the ratio to the floor taken in the same run,
peak RSS, and the cost per descriptor. Then the peak RSS of brimful with
100,000 distinct deleted-open files.

brimful runs here as root in the initial user namespace, so it uses the
in-kernel walk where the kernel and the build allow it; the /proc scan row
runs it without CAP_SYS_ADMIN, CAP_BPF and CAP_PERFMON, which makes it fall
back as an unprivileged user's run would.
"""
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

LOADS = [  # (processes, descriptors per process)
    (20, 500),
    (200, 500),
    (400, 1000),
    # One huge process, which the threads share by ranges of descriptors;
    # 19,000 stays under a hard descriptor limit of 20,000.
    (1, 19000),
]


# Root without the capabilities the in-kernel walk needs: brimful scans /proc.
WITHOUT_BPF = ["setpriv", "--bounding-set", "-sys_admin,-bpf,-perfmon"]


def build_dir():
    args = [a for a in sys.argv[1:] if not a.startswith("--") and not a.isdigit()]
    return os.path.abspath(args[0] if args else "build")


def runs():
    if "--runs" in sys.argv:
        return int(sys.argv[sys.argv.index("--runs") + 1])
    return 5


def start_load(fixture, directory, processes, descriptors, deleted):
    # The load holds on until its standard input closes.
    load = subprocess.Popen([fixture, "load", directory, str(processes), str(descriptors), str(deleted)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    first = load.stdout.readline()
    if first != b"ready\n":
        sys.exit("the load did not start")
    return load


def stop(load):
    load.stdin.close()
    load.wait()


def timed(argv, statuses=(0, 1)):
    """Wall seconds and peak RSS in KiB of one run. GNU time measures the
    RSS: a child forked from this script would count the script's own.
    lsof exits 1 when it lists nothing."""
    with tempfile.NamedTemporaryFile("r") as rss:
        start = time.monotonic()
        status = subprocess.call(["/usr/bin/time", "-q", "-f", "%M", "-o", rss.name] + argv,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        elapsed = time.monotonic() - start
        if status not in statuses:
            sys.exit(f"{argv} failed with {status}")
        return elapsed, int(rss.read().split()[-1])


def measure(programs, n):
    """Interleaves the programs' runs so that noise from the shared machine
    falls on all of them alike; returns median seconds and peak RSS."""
    samples = {name: [] for name in programs}
    rss = {name: 0 for name in programs}
    for _ in range(n):
        for name, argv in programs.items():
            seconds, peak = timed(argv)
            samples[name].append(seconds)
            rss[name] = max(rss[name], peak)
    return {name: (statistics.median(samples[name]), rss[name]) for name in programs}


def inside():
    build = build_dir()
    n = runs()
    lsof = "/usr/bin/lsof"
    print(f"cores: {os.cpu_count()}, runs per cell: {n} (median)")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        for processes, descriptors in LOADS:
            load = start_load(f"{build}/brimful_fixture", directory, processes, descriptors, 2)
            total = processes * descriptors
            brimful = [f"{build}/brimful", directory, "--no-probe"]
            programs = {
                "brimful, kernel walk": brimful,
                "brimful, /proc scan": WITHOUT_BPF + brimful,
                "scan, one thread": [f"{build}/brimful_scan_modes", "sequential", directory],
                "literal scan": [f"{build}/brimful_scan_modes", "literal", directory],
                "floor (C)": [f"{build}/brimful_floor"],
                "lsof +L1": [lsof, "-n", "-w", "+L1"],
            }
            results = measure(programs, n)
            stop(load)
            floor = results["floor (C)"][0]
            print(f"\n{processes} processes x {descriptors} descriptors = {total} descriptors")
            print(f"  {'program':<22} {'median ms':>10} {'x floor':>8} {'peak RSS':>10} {'ns/descriptor':>14}")
            for name, (seconds, peak) in results.items():
                print(f"  {name:<22} {seconds * 1000:>10.1f} {seconds / floor:>8.2f} "
                      f"{peak / 1024:>8.1f} MiB {seconds * 1e9 / total:>14.0f}")
            for name in ("brimful, kernel walk", "brimful, /proc scan"):
                print(f"  {name} vs lsof +L1: {results['lsof +L1'][0] / results[name][0]:.1f}x faster")

        print("\nPeak RSS with many distinct deleted-open files")
        # Ten processes, as the descriptor limit may be as low as 20,000.
        for processes, descriptors, deleted in [(10, 10010, 10000)]:
            load = start_load(f"{build}/brimful_fixture", directory, processes, descriptors, deleted)
            for path, prefix in [("kernel walk", []), ("/proc scan", WITHOUT_BPF)]:
                for label, extra in [("text", []), ("--verbose", ["--verbose"]), ("--json", ["--json"])]:
                    seconds, peak = min(timed(prefix + [f"{build}/brimful", directory, "--no-probe"] + extra)
                                        for _ in range(max(1, n // 2)))
                    print(f"  {processes * deleted} files, {path:<11} {label:<10} {peak / 1024:>6.1f} MiB"
                          f"  {seconds * 1000:>7.0f} ms")
            stop(load)


def main():
    if os.geteuid() != 0:
        sys.exit("bench/run.py needs root for a private PID namespace")
    if os.environ.get("BRIMFUL_BENCH_INSIDE") == "1":
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        inside()
        return
    env = dict(os.environ, BRIMFUL_BENCH_INSIDE="1")
    sys.exit(subprocess.call(["unshare", "-pf", "--mount-proc", sys.executable, os.path.abspath(__file__)]
                             + sys.argv[1:], env=env))


if __name__ == "__main__":
    main()
