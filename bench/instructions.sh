#!/usr/bin/env bash
# Counts the instructions of one whole run of feedfix on the benchmark's 2 MB
# plot file with callgrind, and prints the total, the lines and the
# instructions a line. See bench/README.md.
#
# Environment (all optional):
#   BUILD    build directory for the release binary  (default: <repo>/build-bench)
#   FEEDFIX  a feedfix binary to measure instead of building one
#   SCRATCH  where the input and the run go         (default: $BUILD/instructions)
#   BYTES    size of the plot file                   (default: 2000000)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
# Absolute, as the measurements run in directories of their own.
BUILD=$(mkdir -p "$BUILD" && cd "$BUILD" && pwd)
SCRATCH=${SCRATCH:-$BUILD/instructions}
SCRATCH=$(mkdir -p "$SCRATCH" && cd "$SCRATCH" && pwd)
BYTES=${BYTES:-2000000}

for tool in valgrind g++ cmake; do
  command -v "$tool" >/dev/null || { echo "instructions.sh: $tool not found" >&2; exit 1; }
done

mkdir -p "$BUILD"
if [ -z "${FEEDFIX:-}" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DFEEDFIX_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target feedfix >/dev/null
  FEEDFIX=$BUILD/feedfix
fi
[ -x "$FEEDFIX" ] || { echo "instructions.sh: feedfix binary $FEEDFIX not found" >&2; exit 1; }
FEEDFIX=$(cd "$(dirname "$FEEDFIX")" && pwd)/$(basename "$FEEDFIX")
g++ -O2 -std=c++20 -Wall -Wextra -Werror -o "$BUILD/gen_plot" "$ROOT/bench/gen_plot.cpp"

rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"
"$BUILD/gen_plot" --bytes "$BYTES" "$SCRATCH/input.plt"
cp "$SCRATCH/input.plt" "$SCRATCH/plot.plt"
# Threshold 15574 and shift 250, as in bench/run.sh: every pen record is shifted.
printf '     15574\r\n       250\r\n' >"$SCRATCH/feedfix.ini"

(cd "$SCRATCH" && valgrind --tool=callgrind --callgrind-out-file=callgrind.out \
  "$FEEDFIX" plot.plt >feedfix.out 2>valgrind.txt </dev/null)
grep -q 'OK' "$SCRATCH/feedfix.out" || { echo "instructions.sh: the run did not end with OK" >&2; exit 1; }

total=$(sed -n 's/^==[0-9]*== Collected : \([0-9]*\)$/\1/p' "$SCRATCH/valgrind.txt")
lines=$(wc -l <"$SCRATCH/input.plt")
echo "binary:         $FEEDFIX"
echo "input:          $SCRATCH/input.plt ($(stat -c %s "$SCRATCH/input.plt") bytes)"
echo "instructions:   $total"
echo "lines:          $lines"
awk -v t="$total" -v l="$lines" 'BEGIN { printf "per line:       %.1f\n", t / l }'
echo "profile:        callgrind_annotate $SCRATCH/callgrind.out"
