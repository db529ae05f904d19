#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers) and runs each of them for SECONDS (default 60), one after the
# other, starting from its seeds in fuzz/corpus/<target>/ and the saved
# failures in fuzz/regressions/<target>/.
#
#   scripts/fuzz.sh [SECONDS]
#
# Environment: FUZZ_BUILD (build directory, default <repo>/build-fuzz),
# FUZZ_CXX (default clang++), FUZZ_TARGETS (default: all five).
#
# Fails when a target breaks an invariant, crashes, leaks or hangs. The input
# that did it is kept in $FUZZ_BUILD/crashes/<target>/; once the fault is
# mended, copy it into fuzz/regressions/<target>/, where the test suite
# replays it (tests/fuzz_regression_test.cpp). Inputs that reach new code are
# collected in $FUZZ_BUILD/corpus/<target>/ and used again by the next run.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
cxx=${FUZZ_CXX:-clang++}
read -r -a targets <<<"${FUZZ_TARGETS:-integer_field record_reader command_line intent_record whole_run}"

command -v "$cxx" >/dev/null || { echo "fuzz.sh: $cxx not found (scripts/deps.sh test)" >&2; exit 2; }

echo "== building fuzz targets in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DFEEDFIX_FUZZ=ON -DFEEDFIX_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

failed=()
summary=()
for target in "${targets[@]}"; do
  work=$build/corpus/$target
  crashes=$build/crashes/$target
  log=$build/fuzz_$target.log
  mkdir -p "$work" "$crashes"
  seeds=("$root/fuzz/corpus/$target")
  [ -d "$root/fuzz/regressions/$target" ] && seeds+=("$root/fuzz/regressions/$target")
  # The record reader also gets lines longer than a unit's 64 KiB buffer.
  max_len=4096
  [ "$target" = record_reader ] && max_len=150000
  echo "== fuzzing $target for ${seconds}s"
  status=0
  # New inputs go into the first folder only; the seed folders are only read.
  "$build/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("$(printf '%-14s %12s executions  exit %s' "$target" "${runs:-?}" "$status")")
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "fuzz.sh: $target failed; log: $log" >&2
    grep -E 'broken invariant|ERROR:|SUMMARY:|Test unit written' "$log" | head -20 >&2 || true
  fi
done

echo "== fuzzing summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: failing targets: ${failed[*]}" >&2
  exit 1
fi
