#!/usr/bin/env bash
# Measures a whole run of feedfix against the least a durable rewrite in place
# costs, the durable I/O floor and an awk program doing the same rewrite, on
# three generated plot files (200 MB, 2 MB, 50 kB), its peak resident memory
# and its instructions a line. See bench/README.md.
#
# Environment (all optional):
#   BUILD      build directory for the release binary  (default: <repo>/build-bench)
#   FEEDFIX    a feedfix binary to measure instead of building one
#   SCRATCH    where inputs and working copies go     (default: $BUILD/scratch)
#   AWK        the awk to compare with                 (default: awk)
#   BIG_BYTES  size of the large plot file             (default: 200000000)
#   RUNS_BIG, RUNS_MID, RUNS_SMALL   timed runs per command (default: 5, 10, 30)
#   SKIP_AWK_BIG=1   leave the awk program out of the large measurement
#   SKIP_INSTRUCTIONS=1   leave out the instruction count (needs valgrind)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
# Absolute, as the measurements run in directories of their own.
BUILD=$(mkdir -p "$BUILD" && cd "$BUILD" && pwd)
SCRATCH=${SCRATCH:-$BUILD/scratch}
SCRATCH=$(mkdir -p "$SCRATCH" && cd "$SCRATCH" && pwd)
AWK=${AWK:-awk}
BIG_BYTES=${BIG_BYTES:-200000000}
MID_BYTES=2000000
SMALL_BYTES=50000
RUNS_BIG=${RUNS_BIG:-5}
RUNS_MID=${RUNS_MID:-10}
RUNS_SMALL=${RUNS_SMALL:-30}
RESULTS=$SCRATCH/results
SETTINGS='     15574\r\n       250\r\n'   # threshold 15574, shift 250, as feedfix writes it

for tool in hyperfine /usr/bin/time python3 g++ cmake "$AWK"; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool not found" >&2; exit 1; }
done

mkdir -p "$BUILD"
if [ -z "${FEEDFIX:-}" ]; then
  echo "== building (release) into $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DFEEDFIX_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target feedfix >/dev/null
  FEEDFIX=$BUILD/feedfix
fi
[ -x "$FEEDFIX" ] || { echo "run.sh: feedfix binary $FEEDFIX not found" >&2; exit 1; }
FEEDFIX=$(cd "$(dirname "$FEEDFIX")" && pwd)/$(basename "$FEEDFIX")
g++ -O2 -std=c++20 -Wall -Wextra -Werror -o "$BUILD/gen_plot" "$ROOT/bench/gen_plot.cpp"

echo "== generating plot files in $SCRATCH"
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/inputs" "$RESULTS"
"$BUILD/gen_plot" --bytes "$BIG_BYTES" "$SCRATCH/inputs/big.plt"
"$BUILD/gen_plot" --bytes "$MID_BYTES" "$SCRATCH/inputs/mid.plt"
"$BUILD/gen_plot" --bytes "$SMALL_BYTES" "$SCRATCH/inputs/small.plt"
ls -l "$SCRATCH/inputs"

# Each command works in a directory of its own, so that after the
# measurement the plot files that feedfix and awk left can be compared.
# The preparation restores the plot file and feedfix.ini and flushes the
# disk, so every timed run starts from the same state and pays only for
# its own writes.
prepare() {  # dir input
  printf "rm -f '%s/plot.plt' '%s/~ffx.log' && cp '%s' '%s/plot.plt' && printf '%s' > '%s/feedfix.ini' && sync" \
    "$1" "$1" "$2" "$1" "$SETTINGS" "$1"
}

measure() {  # name runs with_awk
  local name=$1 runs=$2 with_awk=$3
  local input=$SCRATCH/inputs/$name.plt
  local tool_dir=$SCRATCH/$name/feedfix floor_dir=$SCRATCH/$name/floor awk_dir=$SCRATCH/$name/awk
  local durable_dir=$SCRATCH/$name/durable
  mkdir -p "$tool_dir" "$floor_dir" "$awk_dir" "$durable_dir"
  local args=(--runs "$runs" --warmup 1 --export-json "$RESULTS/$name.json" --style basic
    -n feedfix -p "$(prepare "$tool_dir" "$input")"
    "cd '$tool_dir' && '$FEEDFIX' plot.plt"
    -n floor -p "$(prepare "$floor_dir" "$input")"
    "cd '$floor_dir' && cat plot.plt > ./~ffx.log && cp ./~ffx.log plot.new && sync plot.new && mv plot.new plot.plt && rm ./~ffx.log"
    -n durable -p "$(prepare "$durable_dir" "$input")"
    "cd '$durable_dir' && cat plot.plt > ./~ffx.log && sync ./~ffx.log && mv ./~ffx.log plot.plt")
  if [ "$with_awk" = 1 ]; then
    cp "$ROOT/bench/feedfix.awk" "$awk_dir/"
    args+=(-n awk -p "$(prepare "$awk_dir" "$input")"
      "cd '$awk_dir' && $AWK -f feedfix.awk plot.plt 2>/dev/null")
  fi
  echo "== $name: $(stat -c %s "$input") bytes, $(wc -l <"$input") lines, $runs runs each"
  hyperfine "${args[@]}"
  if [ "$with_awk" = 1 ]; then
    if cmp -s "$tool_dir/plot.plt" "$awk_dir/plot.plt" && cmp -s "$tool_dir/feedfix.ini" "$awk_dir/feedfix.ini"; then
      echo "$name: feedfix and awk wrote the same plot file and settings" | tee -a "$RESULTS/check.txt"
    else
      echo "$name: MISMATCH between feedfix and awk output ($tool_dir, $awk_dir)" | tee -a "$RESULTS/check.txt"
    fi
  fi
}

peak_rss() {  # name
  local dir=$SCRATCH/$1/rss
  mkdir -p "$dir"
  sh -c "$(prepare "$dir" "$SCRATCH/inputs/$1.plt")"
  (cd "$dir" && /usr/bin/time -v "$FEEDFIX" plot.plt >/dev/null 2>"$RESULTS/$1.time.txt" </dev/null) || true
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$RESULTS/$1.time.txt" >"$RESULTS/$1.rss"
}

: >"$RESULTS/check.txt"
echo "== load before: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) on $(nproc) cores"
awk_big=1
[ "${SKIP_AWK_BIG:-0}" = 1 ] && awk_big=0
measure small "$RUNS_SMALL" 1
measure mid "$RUNS_MID" 1
measure big "$RUNS_BIG" "$awk_big"
peak_rss mid
peak_rss big
: >"$RESULTS/instructions.txt"
if [ "${SKIP_INSTRUCTIONS:-0}" != 1 ] && command -v valgrind >/dev/null; then
  echo "== instructions a line (callgrind, 2 MB file)"
  FEEDFIX=$FEEDFIX BUILD=$BUILD "$ROOT/bench/instructions.sh" | tee "$RESULTS/instructions.txt"
fi
echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) on $(nproc) cores"

python3 - "$RESULTS" "$SCRATCH/inputs" <<'EOF'
import json, os, sys
results, inputs = sys.argv[1], sys.argv[2]
# Targets: the tool's median against the least durable rewrite (read once,
# write once, fsync, rename); "<" means below it.
limits = {"small": ("<", 1.00), "mid": ("<=", 1.20), "big": ("<=", 1.50)}
print()
print(f"{'input':<7} {'size':>10} {'command':<8} {'median s':>9} {'min s':>8} {'max s':>8} "
      f"{'user s':>7} {'sys s':>7} {'MB/s':>8} {'/floor':>7} {'/durable':>8}  target")
for name in ("small", "mid", "big"):
    path = os.path.join(results, name + ".json")
    if not os.path.exists(path):
        continue
    size = os.path.getsize(os.path.join(inputs, name + ".plt"))
    runs = {r["command"]: r for r in json.load(open(path))["results"]}
    floor = runs["floor"]["median"]
    durable = runs["durable"]["median"]
    for cmd, r in runs.items():
        ratio = r["median"] / floor
        to_durable = r["median"] / durable
        target = ""
        if cmd == "feedfix":
            op, limit = limits[name]
            ok = to_durable < limit if op == "<" else to_durable <= limit
            target = f"{op} {limit:.2f} {'PASS' if ok else 'FAIL'}"
        print(f"{name:<7} {size:>10} {cmd:<8} {r['median']:>9.4f} {r['min']:>8.4f} {r['max']:>8.4f} "
              f"{r['user']:>7.3f} {r['system']:>7.3f} {size / r['median'] / 1e6:>8.1f} {ratio:>7.3f} "
              f"{to_durable:>8.3f}  {target}")
print()
rss = {}
for name in ("mid", "big"):
    try:
        rss[name] = int(open(os.path.join(results, name + ".rss")).read().strip())
    except (OSError, ValueError):
        rss[name] = None
for name, kib in rss.items():
    verdict = "?" if kib is None else ("PASS" if kib <= 4096 else "FAIL")
    print(f"peak RSS feedfix {name:<4}: {kib} KiB (target <= 4096 KiB) {verdict}")
if None not in rss.values():
    print(f"peak RSS grows by {rss['big'] - rss['mid']} KiB from 2 MB to 200 MB (target: 0, same for both)")
per_line = None
for line in open(os.path.join(results, "instructions.txt")):
    if line.startswith("per line:"):
        per_line = float(line.split()[-1])
if per_line is not None:
    print(f"instructions a line (2 MB): {per_line:.1f} (target <= 120) "
          f"{'PASS' if per_line <= 120 else 'FAIL'}")
print()
print(open(os.path.join(results, "check.txt")).read(), end="")
print(f"JSON exports and /usr/bin/time reports: {results}")
EOF
