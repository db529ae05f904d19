#!/usr/bin/env bash
# Builds feedfix with its tests and runs them; again with the address and
# undefined-behaviour sanitizers; the black-box tests against the Windows
# program under Wine; each fuzz target for a bounded time; a small soak run.
# Installs missing build packages first (scripts/deps.sh).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" test

echo "== Linux build and tests"
cmake -S "$root" -B "$root/build-test" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$root/build-test" -j2
ctest --test-dir "$root/build-test" --output-on-failure -j2

echo "== sanitizer build and tests"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DFEEDFIX_SANITIZE=ON
cmake --build "$root/build-sanitize" -j2
ctest --test-dir "$root/build-sanitize" --output-on-failure -j2

echo "== Windows program under Wine"
"$root/scripts/test-windows.sh" build-test

echo "== fuzz targets, 60 seconds each"
"$root/scripts/fuzz.sh" 60

echo "== soak: 20 MB whole and in 20 pieces"
"$root/scripts/soak.sh" 20000000 20
