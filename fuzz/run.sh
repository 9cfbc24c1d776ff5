#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz/ and runs each one for a
# bounded time, starting from its seeds in fuzz/corpus/TARGET/. Any crash,
# sanitizer finding, leak or timeout fails the script; the input that caused
# it is kept in build-fuzz/artifacts/TARGET/.
#
#   fuzz/run.sh SECONDS [TARGET...]    (default: every target fuzz/CMakeLists.txt lists)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(sed -n '/^set(BRIMFUL_FUZZ_TARGETS/,/^)/{s/^ \+\([a-z0-9_]\+\)$/\1/p}' fuzz/CMakeLists.txt)
fi

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBRIMFUL_FUZZ=ON -DBRIMFUL_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
  artifacts=build-fuzz/artifacts/$target/
  log=build-fuzz/logs/$target.log
  mkdir -p "$artifacts" "$(dirname "$log")"
  # New inputs go to a scratch directory; the seeds in the tree stay as they are.
  scratch=$(mktemp -d)
  echo "== $target: ${seconds}s"
  if build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts" -print_final_stats=1 "$scratch" "fuzz/corpus/$target" >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|new_units_added):' "$log" || true
  else
    tail -n 60 "$log"
    failed+=("$target")
  fi
  rm -rf "$scratch"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
