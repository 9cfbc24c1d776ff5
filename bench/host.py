#!/usr/bin/env python3
"""Times brimful over the whole host and at many mounts, in a private PID and
mount namespace.

    bench/host.py [BUILD_DIR] [--runs N]

1. `--all` on a host of about 30 filesystems against one single-path run and
   against the sum of the single-path runs on each of them, under a load of
   100,000 descriptors, with the in-kernel walk and with the /proc scan.
2. A single-path run (`PATH --json --no-probe`) at 30, 2,000 and 20,000
   mounts in the namespace.
3. The run of the host's timer: brimful with only the capabilities its unit
   grants (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE, CAP_BPF,
   CAP_PERFMON), and whether it loaded the in-kernel walk.

Needs root, setpriv, strace and GNU time. Ratios are taken within one run.
"""
import ctypes
import os
import resource
import statistics
import subprocess
import sys
import tempfile

from run import WITHOUT_BPF, build_dir, runs, timed

MS_BIND = 4096
LIBC = ctypes.CDLL(None, use_errno=True)
TIMER_CAPS = ["setpriv", "--bounding-set", "-all,+dac_override,+dac_read_search,+sys_ptrace,+bpf,+perfmon",
              "--inh-caps", "-all"]


def mount(source, target, fstype=None, flags=0, data=None):
    enc = lambda s: s.encode() if s is not None else None
    if LIBC.mount(enc(source), enc(target), enc(fstype), flags, enc(data)) != 0:
        sys.exit(f"mount {target}: {os.strerror(ctypes.get_errno())}")


def median(argv, n):
    # brimful's --check statuses: 1 for a confirmed cause, 3 for unknown.
    samples = [timed(argv, statuses=(0, 1, 3)) for _ in range(n)]
    return statistics.median(s for s, _ in samples), max(p for _, p in samples)


def mount_points(brimful):
    out = subprocess.run([brimful, "--all", "--no-probe", "--json"], stdout=subprocess.PIPE, check=False).stdout
    import json
    return [f["target"] for f in json.loads(out)["filesystems"]]


def inside():
    build = build_dir()
    brimful = f"{build}/brimful"
    n = runs()
    subprocess.check_call(["mount", "--make-rprivate", "/"])
    print(f"cores: {os.cpu_count()}, runs per cell: {n} (median)")
    with tempfile.TemporaryDirectory(dir="/dev/shm") as directory:
        # 1. About 30 filesystems under a load of 100,000 descriptors.
        base = os.path.join(directory, "fs")
        os.mkdir(base)
        existing = len(mount_points(brimful))
        for i in range(max(0, 30 - existing)):
            path = os.path.join(base, f"t{i:02d}")
            os.mkdir(path)
            mount("tmpfs", path, "tmpfs", 0, "size=16m")
        points = mount_points(brimful)
        load_dir = os.path.join(base, "t00")
        load = subprocess.Popen([f"{build}/brimful_fixture", "load", load_dir, "200", "500", "2"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if load.stdout.readline() != b"ready\n":
            sys.exit("the load did not start")
        print(f"\n--all over {len(points)} filesystems, 200 processes x 500 descriptors")
        print(f"  {'scan':<12} {'--all ms':>9} {'one path ms':>12} {'sum of paths ms':>16} "
              f"{'all/one':>8} {'all/sum':>8} {'--all RSS':>10}")
        for label, prefix in [("kernel walk", []), ("/proc scan", WITHOUT_BPF)]:
            all_seconds, all_rss = median(prefix + [brimful, "--all", "--no-probe", "--prometheus"], n)
            one_seconds, _ = median(prefix + [brimful, load_dir, "--no-probe", "--prometheus"], n)
            total = sum(median(prefix + [brimful, p, "--no-probe", "--prometheus"], 1)[0] for p in points)
            print(f"  {label:<12} {all_seconds * 1000:>9.1f} {one_seconds * 1000:>12.1f} {total * 1000:>16.1f} "
                  f"{all_seconds / one_seconds:>8.2f} {all_seconds / total:>8.3f} {all_rss / 1024:>6.1f} MiB")

        # 3. The timer's capabilities: does the walk load?
        trace = subprocess.run(TIMER_CAPS + ["strace", "-f", "-qq", "-e", "trace=bpf", brimful, "--all",
                                             "--prometheus"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
        walk = "yes" if "BPF_ITER_CREATE" in trace else "no"
        print(f"\nthe timer's run (--all --prometheus with probes), in-kernel walk loaded: {walk}")
        for label, prefix in [("the unit's capabilities", TIMER_CAPS), ("root", []), ("/proc scan", WITHOUT_BPF)]:
            seconds, peak = median(prefix + [brimful, "--all", "--prometheus"], n)
            print(f"  {label:<24} {seconds * 1000:>8.1f} ms {peak / 1024:>6.1f} MiB")
        load.stdin.close()
        load.wait()

        # 2. One path at 30, 2,000 and 20,000 mounts.
        target = os.path.join(base, "t01")
        binds = os.path.join(directory, "binds")
        os.mkdir(binds)
        mount("tmpfs", binds, "tmpfs", 0, "size=64m,nr_inodes=0")
        made = 0
        print(f"\none path (--json --no-probe) as the namespace's mounts grow")
        print(f"  {'mounts':>7} {'median ms':>10} {'x at ~30':>9} {'reading mountinfo ms':>21}")
        first = None
        for wanted in (30, 2000, 20000):
            with open("/proc/self/mountinfo") as table:
                have = sum(1 for _ in table)
            while have < wanted:
                path = os.path.join(binds, f"b{made}")
                os.mkdir(path)
                mount(binds, path, None, MS_BIND)
                made += 1
                have += 1
            seconds, _ = median([brimful, target, "--json", "--no-probe"], n)
            # What the mountinfo fallback pays on top: the kernel writing the table.
            table, _ = median(["cat", "/proc/self/mountinfo"], n)
            first = first or seconds
            print(f"  {have:>7} {seconds * 1000:>10.1f} {seconds / first:>9.2f} {table * 1000:>21.1f}")
        # The namespace goes with this process; the directory must be empty
        # of mounts before it can be removed.
        for path in [binds] + [os.path.join(base, name) for name in os.listdir(base)]:
            LIBC.umount2(path.encode(), 2)  # MNT_DETACH


def main():
    if os.geteuid() != 0:
        sys.exit("bench/host.py needs root for a private PID and mount namespace")
    if os.environ.get("BRIMFUL_BENCH_INSIDE") == "1":
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        inside()
        return
    env = dict(os.environ, BRIMFUL_BENCH_INSIDE="1")
    sys.exit(subprocess.call(["unshare", "-pfm", "--mount-proc", sys.executable, os.path.abspath(__file__)]
                             + sys.argv[1:], env=env))


if __name__ == "__main__":
    main()
