#!/usr/bin/env bash
# Soak check of the release program on a large generated plot file:
#  1. one run over the whole file under /usr/bin/time -v: its peak resident
#     memory must be that of a run over a 1 MB file (nothing held per record
#     or per file size);
#  2. the same content cut into PIECES files of whole lines, run one after the
#     other in one directory, so that the carried shift flows from piece to
#     piece through feedfix.ini: the pieces put together must equal the
#     output of the whole run, byte for byte, and so must the final
#     feedfix.ini.
#
#   scripts/soak.sh [BYTES] [PIECES]      defaults: 300000000 and 200
#
# Too big for CI with the defaults; a small size (scripts/soak.sh 20000000 20)
# takes a few seconds. Environment: SOAK_BUILD (default <repo>/build-soak),
# FEEDFIX (a binary to check instead of building one), SOAK_DIR (scratch
# space, default $SOAK_BUILD/scratch; removed at the end unless KEEP=1).
set -euo pipefail

bytes=${1:-300000000}
pieces=${2:-200}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOAK_BUILD:-$root/build-soak}
scratch=${SOAK_DIR:-$build/scratch}
settings='15574\r\n250\r\n'
rss_slack_kib=512

for tool in /usr/bin/time split cmp g++ cmake; do
  command -v "$tool" >/dev/null || { echo "soak.sh: $tool not found" >&2; exit 2; }
done

mkdir -p "$build"
if [ -z "${FEEDFIX:-}" ]; then
  echo "== building the release program in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFEEDFIX_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target feedfix >/dev/null
  FEEDFIX=$build/feedfix
fi
FEEDFIX=$(cd "$(dirname "$FEEDFIX")" && pwd)/$(basename "$FEEDFIX")
g++ -O2 -std=c++20 -Wall -Wextra -Werror -o "$build/gen_plot" "$root/bench/gen_plot.cpp"

rm -rf "$scratch"
mkdir -p "$scratch/whole" "$scratch/small" "$scratch/pieces"
echo "== generating $bytes bytes"
"$build/gen_plot" --bytes "$bytes" "$scratch/input.plt"
"$build/gen_plot" --bytes 1000000 --seed 2 "$scratch/small/plot.plt"
input_bytes=$(stat -c %s "$scratch/input.plt")
input_lines=$(wc -l <"$scratch/input.plt")

# Runs the program in directory $1 on file $2 under /usr/bin/time -v; sets
# rss_kib and seconds, and fails unless the run ends with " OK" and status 0.
timed_run() {
  local report=$1/time.txt
  (cd "$1" && /usr/bin/time -v "$FEEDFIX" "$2" >out.txt 2>"$report") || {
    echo "soak.sh: run on $1/$2 failed" >&2
    cat "$1/out.txt" "$report" >&2
    exit 1
  }
  grep -q ' OK' "$1/out.txt" || { echo "soak.sh: no OK in $1" >&2; cat "$1/out.txt" >&2; exit 1; }
  rss_kib=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$report")
  seconds=$(sed -n 's/^[[:space:]]*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$report")
}

echo "== one run over the whole file"
cp "$scratch/input.plt" "$scratch/whole/plot.plt"
printf "$settings" >"$scratch/whole/feedfix.ini"
timed_run "$scratch/whole" plot.plt
whole_rss=$rss_kib
whole_time=$seconds

printf "$settings" >"$scratch/small/feedfix.ini"
timed_run "$scratch/small" plot.plt
small_rss=$rss_kib

echo "== $pieces runs over the same content in pieces"
(cd "$scratch/pieces" && split -n "l/$pieces" -d -a 5 --additional-suffix=.plt "$scratch/input.plt" piece)
rm "$scratch/input.plt"
printf "$settings" >"$scratch/pieces/feedfix.ini"
max_piece_rss=0
start=$(date +%s.%N)
for piece in "$scratch"/pieces/piece*.plt; do
  timed_run "$scratch/pieces" "$(basename "$piece")"
  [ "$rss_kib" -gt "$max_piece_rss" ] && max_piece_rss=$rss_kib
done
end=$(date +%s.%N)
cat "$scratch"/pieces/piece*.plt >"$scratch/pieces.out"

status=0
if cmp -s "$scratch/pieces.out" "$scratch/whole/plot.plt"; then
  same=yes
else
  same=NO
  status=1
  cmp "$scratch/pieces.out" "$scratch/whole/plot.plt" >&2 || true
fi
if cmp -s "$scratch/pieces/feedfix.ini" "$scratch/whole/feedfix.ini"; then
  same_ini=yes
else
  same_ini=NO
  status=1
fi
if [ "$whole_rss" -gt $((small_rss + rss_slack_kib)) ]; then
  rss_ok=NO
  status=1
else
  rss_ok=yes
fi
leftovers=$(find "$scratch/whole" "$scratch/pieces" -name '~ffx.log' -o -name '.*ffx*' | wc -l)
[ "$leftovers" -eq 0 ] || status=1

echo "== soak figures"
printf 'input                 %s bytes, %s lines (%s bytes rewritten)\n' "$input_bytes" \
  "$input_lines" "$(stat -c %s "$scratch/whole/plot.plt")"
printf 'whole run             %s (m:ss), peak RSS %s KiB\n' "$whole_time" "$whole_rss"
printf '1 MB run              peak RSS %s KiB (whole run within %s KiB of it: %s)\n' \
  "$small_rss" "$rss_slack_kib" "$rss_ok"
printf '%-21s %.1f s in all, largest peak RSS %s KiB\n' "$pieces pieces" \
  "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')" "$max_piece_rss"
printf 'pieces equal whole    plot: %s, feedfix.ini: %s (%s)\n' "$same" "$same_ini" \
  "$(tr -d '\r' <"$scratch/whole/feedfix.ini" | tr '\n' ' ')"
printf 'files left behind     %s\n' "$leftovers"

[ "${KEEP:-0}" = 1 ] || rm -rf "$scratch"
exit $status
