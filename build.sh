#!/usr/bin/env bash
# Builds brimful, installing what the build needs on Debian when it is
# missing, then either runs it or runs the test suite.
#
#   ./build.sh run PATH [--json] [--verbose] [--no-probe] [--check]
#   ./build.sh test        the whole suite (scenario tests need root)
#   ./build.sh sanitize    the whole suite under AddressSanitizer and UBSan
#   ./build.sh fuzz [SECONDS [TARGET...]]
#                          each fuzz target for SECONDS (60), built with clang
set -euo pipefail
cd "$(dirname "$0")"

# Compiler and build tools, GoogleTest, and the tools the scenario tests
# drive: mount, losetup, unshare and setpriv, findmnt, mkfs.ext4.
packages=(cmake g++ make libgtest-dev mount util-linux e2fsprogs)

install_missing() {
  local missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {  # build DIR BUILD_TYPE
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE="$2" >/dev/null
  cmake --build "$1" -j"$(nproc)"
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
  run)
    install_missing
    build build RelWithDebInfo >/dev/null
    exec build/brimful "$@"
    ;;
  test)
    install_missing
    build build RelWithDebInfo
    ctest --test-dir build --output-on-failure
    ;;
  sanitize)
    install_missing
    build build-sanitize Sanitize
    ctest --test-dir build-sanitize --output-on-failure
    ;;
  fuzz)
    packages+=(clang libclang-rt-14-dev)
    install_missing
    exec fuzz/run.sh "${1:-60}" "${@:2}"
    ;;
  *)
    echo "usage: ./build.sh run PATH [options] | test | sanitize | fuzz [SECONDS [TARGET...]]" >&2
    exit 2
    ;;
esac
