#!/usr/bin/env bash
# Builds brimful, installing what is needed on Debian when it is missing,
# then runs it, runs the test suite, or builds the static binary.
#
#   ./build.sh run PATH [--json] [--verbose] [--no-probe] [--check]
#                          build build/brimful without the tests and run it
#                          on PATH; only brimful's output reaches stdout
#   ./build.sh test        the unit suite, then, when it passed, the system
#                          suite (its scenario tests need root)
#   ./build.sh sanitize    both suites under AddressSanitizer and UBSan
#   ./build.sh static      a static, stripped build-static/brimful to copy
#                          to another host
#   ./build.sh fuzz [SECONDS [TARGET...]]
#                          each fuzz target for SECONDS (60), built with clang
set -euo pipefail
cd "$(dirname "$0")"

# What building the binary needs: the compiler and the build tools.
build_packages=(cmake g++ make)
# What the in-kernel descriptor walk needs to be built in: clang for the BPF
# program, bpftool for its skeleton, libbpf's headers. A build without them
# still builds, scanning /proc only; `run` does without them unless present.
bpf_packages=(clang bpftool libbpf-dev)
# What the test suite needs besides: GoogleTest; the tools the scenario
# tests drive (mount, losetup, unshare and setpriv, findmnt, mkfs.ext4); and
# the checkers of the manual page, completions, schema and package (groff,
# zsh, python3-jsonschema, dpkg-shlibdeps, and file, which CPack's Debian
# generator runs on each file it packages); and the consumers of the metrics
# (systemd-analyze, promtool, node_exporter); the walk's tools, and strace,
# which shows the static binary loading the walk; and the filesystems and
# daemons the findings and the walk are tried on (XFS, btrfs, squashfs, FUSE).
test_packages=("${build_packages[@]}" "${bpf_packages[@]}" strace
               libgtest-dev mount util-linux e2fsprogs
               groff-base zsh python3-jsonschema dpkg-dev file
               systemd prometheus prometheus-node-exporter
               xfsprogs btrfs-progs squashfs-tools fuse3 python3-fusepy)

install_missing() {  # install_missing PACKAGE...
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# After the suite: each skipped test with the reason it gave, from the log
# ctest keeps of every test's output ("file:line: Skipped", then the reason).
list_skipped() {  # list_skipped BUILD_DIR
  local log=$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  awk '
    /^[0-9]+\/[0-9]+ Testing: / { test = $3; reason = ""; next }
    /: Skipped$/ { getline reason; next }
    /^\[  SKIPPED \] / && test != "" { skipped[++n] = test ": " (reason == "" ? "(no reason given)" : reason); test = "" }
    END {
      if (n == 0) exit
      printf "\n%d tests skipped:\n", n
      for (i = 1; i <= n; i++) print "  " skipped[i]
    }' "$log"
}

# The unit suite first, on every core; when it fails the system suite does
# not start. Then the system suite: its tests mostly wait for the kernel and
# for programs, so more run side by side than there are cores, except those
# whose resource lock (see CMakeLists.txt) says they share what the machine
# has once.
run_suites() {  # run_suites BUILD_DIR
  local status=0
  ctest --test-dir "$1" --output-on-failure -L unit -j"$(nproc)" || status=$?
  list_skipped "$1"
  [ $status -eq 0 ] || return $status
  ctest --test-dir "$1" --output-on-failure -L system -j$(($(nproc) * 2)) || status=$?
  list_skipped "$1"
  return $status
}

build() {  # build DIR BUILD_TYPE [CMAKE_OPTION...]
  local dir=$1 type=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
  run)
    # Standard output belongs to brimful alone: a report piped into jq must
    # not start with apt-get's or the compiler's chatter.
    {
      install_missing "${build_packages[@]}"
      build build RelWithDebInfo -DBRIMFUL_TESTS=OFF
    } >&2
    exec build/brimful "$@"
    ;;
  test)
    install_missing "${test_packages[@]}"
    build build RelWithDebInfo -DBRIMFUL_TESTS=ON
    run_suites build
    ;;
  sanitize)
    install_missing "${test_packages[@]}"
    build build-sanitize Sanitize -DBRIMFUL_TESTS=ON
    run_suites build-sanitize
    ;;
  static)
    {
      install_missing "${build_packages[@]}" "${bpf_packages[@]}"
      build build-static Release -DBRIMFUL_TESTS=OFF -DBRIMFUL_STATIC=ON
    } >&2
    echo "build-static/brimful"
    ;;
  fuzz)
    install_missing "${build_packages[@]}" clang libclang-rt-14-dev
    exec fuzz/run.sh "${1:-60}" "${@:2}"
    ;;
  *)
    echo "usage: ./build.sh run PATH [options] | test | sanitize | static | fuzz [SECONDS [TARGET...]]" >&2
    exit 2
    ;;
esac
