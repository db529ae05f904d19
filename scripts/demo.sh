#!/usr/bin/env bash
# Builds feedfix and runs it on the bundled example plot in a scratch directory:
# the first run creates feedfix.ini, the second one corrects the plot.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/deps.sh" demo

cd "$root"
cmake --preset release -DFEEDFIX_TESTS=OFF
cmake --build --preset release -j2
feedfix="$root/build-release/feedfix"

work="$(mktemp -d)"
cp "$root/examples/example.plt" "$work/"
cd "$work"
echo
echo "== scratch directory: $work"
echo "== example.plt before (cat -A shows CR as ^M and each line end as \$):"
cat -A example.plt

echo
echo "== first run: feedfix example.plt (no feedfix.ini yet)"
"$feedfix" example.plt </dev/null | cat -A
echo "== feedfix.ini:"
cat -A feedfix.ini

echo
echo "== second run: feedfix example.plt"
"$feedfix" example.plt </dev/null | cat -A
echo "== example.plt after:"
cat -A example.plt
echo "== feedfix.ini (the shift carried into the next plot):"
cat -A feedfix.ini
echo "== files left in $work:"
ls -A
