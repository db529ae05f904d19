#!/usr/bin/env bash
# Builds feedfix with its tests in Release and runs them; again in Debug with
# the address and undefined-behaviour sanitizers, and with the thread
# sanitizer (warnings are errors in all three); the safety checks of the
# built program (scripts/safety.sh: overlapping runs, killed runs, a plot
# file still being written); the checks in directories shared with other
# users (scripts/shared-dir.sh); the
# black-box tests against the Windows program under Wine; the
# Debian package, the Windows zip, the man page and the version resource
# (scripts/package-check.sh); each fuzz target for a bounded time; a small
# soak run. Installs missing build packages first (scripts/deps.sh).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" test

cd "$root"

echo "== Release build and tests, warnings are errors (preset ci)"
cmake --preset ci
cmake --build --preset ci -j2
ctest --preset ci -j2

echo "== safety: overlapping runs, killed runs, a plot file still being written"
"$root/scripts/safety.sh" "$root/build-ci/feedfix"

echo "== shared directories: another user's files, links, locks and writes"
"$root/scripts/shared-dir.sh" "$root/build-ci/feedfix"

echo "== sanitizer build and tests, warnings are errors (preset sanitize)"
cmake --preset sanitize
cmake --build --preset sanitize -j2
ctest --preset sanitize -j2

echo "== thread sanitizer build and tests, warnings are errors (preset tsan)"
cmake --preset tsan
cmake --build --preset tsan -j2
ctest --preset tsan -j2

echo "== Windows program under Wine"
"$root/scripts/test-windows.sh" build-ci

echo "== packages, man page, version resource"
"$root/scripts/package-check.sh"

echo "== fuzz targets, 60 seconds each"
"$root/scripts/fuzz.sh" 60

echo "== soak: 20 MB whole and in 20 pieces"
"$root/scripts/soak.sh" 20000000 20
