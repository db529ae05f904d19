#!/usr/bin/env bash
# Builds feedfix with its tests and runs them; then builds again with the
# address and undefined-behaviour sanitizers and runs them once more.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"

cmake -S "$root" -B "$root/build-test" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$root/build-test" -j2
ctest --test-dir "$root/build-test" --output-on-failure -j2

cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DFEEDFIX_SANITIZE=ON
cmake --build "$root/build-sanitize" -j2
ctest --test-dir "$root/build-sanitize" --output-on-failure -j2
