#!/bin/sh
# Overlapping runs of the Windows program in one directory, under Wine: every
# plot file must end with its own corrected content, whole, and the carried
# shift must chain as if the runs had taken turns.
#
#   scripts/overlap-windows.sh [wine] [PATH_TO_feedfix.exe]
#
# The program defaults to build-win/feedfix.exe. ROUNDS (default 5), PLOTS
# (default 3) and LINES (lines per plot file, default 2000) size the check.
# Each round starts N runs at once, one per plot file, in a fresh directory
# holding feedfix.ini and N plot files. A serial run of the same plot files
# in every order, done once beforehand, gives the outcomes that may come of
# it: the plot files and feedfix.ini of a round must equal those of one
# order. Last, a run that waits for a plot file another run holds (from
# another directory) must give its own directory back meanwhile: a third run
# there ends while the first still holds the plot file. The Wine prefix is
# build-win/wineprefix, as for test-windows.sh; the Wine server is stopped at
# the end. A failing round's directory is kept.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
[ "${1:-}" = wine ] && shift
exe=${1:-$root/build-win/feedfix.exe}
[ -f "$exe" ] || { echo "overlap-windows: no program $exe" >&2; exit 2; }
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
rounds=${ROUNDS:-5}
plots=${PLOTS:-3}
lines=${LINES:-2000}

for tool in wine wineboot wineserver md5sum; do
  command -v "$tool" >/dev/null 2>&1 || { echo "overlap-windows: $tool is missing" >&2; exit 2; }
done

unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$root/build-win/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
mkdir -p "$root/build-win"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 600 wineboot -i </dev/null >/dev/null 2>&1
  timeout 120 wineserver -w
fi
# One Wine server for all runs (see test-windows.sh); a leftover one in this
# prefix is stopped first.
wineserver -k 2>/dev/null || true
wineserver -p
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ffx-overlap-win.XXXXXX")
keep=0
finish() {
  wineserver -k 2>/dev/null || true
  if [ "$keep" = 0 ]; then rm -rf "$scratch"; else echo "overlap (windows): kept $scratch" >&2; fi
}
trap finish EXIT
timeout 120 wine cmd /c exit 0 </dev/null >/dev/null 2>&1

# Plot file K: a first line of its own, pen records before the first page
# record (so that its content depends on the shift it starts from), page
# records below the threshold whose values differ from file to file (so that
# the shift it leaves depends on the shift it starts from), and a last line
# of its own. Pages stay below 15000: value plus shift stays on the grid.
make_plot() {
  awk -v k="$1" -v n="$lines" 'BEGIN {
    printf "IN;%d;\r\n", k
    for (i = 2; i < n; i++) {
      if (i % 10 == 5) printf "PG;   %d,0;\r\n", 1000 + (i * 37 + k * 211) % 14000
      else if (i % 2 == 0) printf "PU%d,%d;\r\n", 100 + (i * 13 + k) % 9000, 200 + i % 5000
      else printf "PD%d,%d;\r\n", 300 + (i * 17 + k * 7) % 9000, 400 + i % 5000
    }
    printf "SP0;%d;\r\n", k
  }'
}

setup() {
  mkdir -p "$1"
  printf '15574\r\n250\r\n' >"$1/feedfix.ini"
  for k in $(seq 1 "$plots"); do cp "$scratch/orig/plot$k" "$1/plot$k"; done
}

# The names in a directory besides feedfix.ini and the plot files.
strays() {
  for path in "$1"/* "$1"/.[!.]* "$1"/..?*; do
    [ -e "$path" ] || continue
    case ${path##*/} in
      feedfix.ini | plot[0-9] | plot[0-9][0-9]) ;;
      *) printf '%s ' "${path##*/}" ;;
    esac
  done
}

# The outcome of a directory: the plot files and the settings, as one sum.
outcome() {
  (cd "$1" && for k in $(seq 1 "$plots"); do md5sum "plot$k"; done && md5sum feedfix.ini) |
    md5sum | cut -c1-32
}

# Every order of 1..PLOTS, one per line.
orders() {
  if [ "$1" -le 1 ]; then echo 1; return; fi
  orders $(($1 - 1)) | while read -r shorter; do
    for at in $(seq 0 $(($1 - 1))); do
      echo "$shorter" | awk -v at="$at" -v n="$1" '{
        out = ""; for (i = 1; i <= NF + 1; i++) {
          if (i - 1 == at) out = out " " n
          if (i <= NF) out = out " " $i
        }
        print substr(out, 2)
      }'
    done
  done
}

mkdir -p "$scratch/orig" "$scratch/out"
for k in $(seq 1 "$plots"); do make_plot "$k" >"$scratch/orig/plot$k"; done

# The outcomes of the serial runs, one line per order: "sum order".
: >"$scratch/serial"
orders "$plots" | while read -r order; do
  dir="$scratch/serial-$(echo "$order" | tr -d ' ')"
  setup "$dir"
  for k in $order; do
    status=0
    (cd "$dir" && timeout 60 wine "$exe" "plot$k" </dev/null >"$scratch/serial.out" 2>&1) || status=$?
    [ "$status" = 0 ] || {
      echo "overlap (windows): the serial run of plot$k (order $order) failed (status $status):" >&2
      cat "$scratch/serial.out" >&2
      exit 1
    }
  done
  [ -z "$(strays "$dir")" ] || {
    echo "overlap (windows): the serial runs (order $order) left files behind" >&2
    exit 1
  }
  echo "$(outcome "$dir") $order" >>"$scratch/serial"
  rm -rf "$dir"
done
[ "$(wc -l <"$scratch/serial")" -gt 0 ] || exit 1

failures=0
fail() {
  echo "overlap (windows): round $round: $*"
  failures=$((failures + 1))
  keep=1
}

start=$(date +%s)
for round in $(seq 1 "$rounds"); do
  dir="$scratch/round-$round"
  setup "$dir"
  pids=""
  for k in $(seq 1 "$plots"); do
    (cd "$dir" && exec timeout 120 wine "$exe" "plot$k" </dev/null >"$scratch/out/$round-$k" 2>&1) &
    pids="$pids $!"
  done
  k=0
  for pid in $pids; do
    k=$((k + 1))
    status=0
    wait "$pid" || status=$?
    [ "$status" = 0 ] || fail "plot$k: exit status $status"
    last=$(tr -d '\r' <"$scratch/out/$round-$k" | grep -v '^ *$' | tail -n 1)
    case $last in
      *' OK') ;;
      *) fail "plot$k: the run ended with: $last" ;;
    esac
  done
  for k in $(seq 1 "$plots"); do
    plot="$dir/plot$k"
    if [ ! -s "$plot" ]; then
      fail "plot$k is empty or gone"
      continue
    fi
    [ "$(head -n 1 "$plot")" = "$(printf 'IN;%d;\r' "$k")" ] ||
      fail "plot$k starts with another plot's line: $(head -n 1 "$plot" | tr -d '\r')"
    [ "$(tail -n 1 "$plot")" = "$(printf 'SP0;%d;\r' "$k")" ] ||
      fail "plot$k does not end with its own last line: $(tail -n 1 "$plot" | tr -d '\r')"
    [ "$(wc -l <"$plot")" = "$lines" ] || fail "plot$k has $(wc -l <"$plot") lines, not $lines"
  done
  stray=$(strays "$dir")
  [ -z "$stray" ] || fail "left behind: $stray"
  sum=$(outcome "$dir")
  grep -q "^$sum " "$scratch/serial" ||
    fail "plot files and feedfix.ini match no serial order (shift $(sed -n 2p "$dir/feedfix.ini" | tr -d ' \r'))"
  [ "$keep" = 1 ] || rm -rf "$dir"
done

# A run that waits for a plot file another run holds gives its directory
# back meanwhile: run 1 in directory a holds a.plt at the pause (its answer
# comes through a FIFO); run 2 in directory b waits for a.plt; run 3 in b on
# a plot file of its own must end before run 1 goes on.
round=hand-over
dir="$scratch/hand-over"
mkdir -p "$dir/a" "$dir/b"
printf '15574\r\n-1\r\n' >"$dir/a/feedfix.ini"
printf 'PG;     -1,0;\r\n' >"$dir/a/a.plt"
printf '15574\r\n250\r\n' >"$dir/b/feedfix.ini"
cp "$scratch/orig/plot1" "$dir/b/plot1"
mkfifo "$dir/answer"
exec 3<>"$dir/answer"
# Waits up to 30 s until file $1 holds text $2.
await() {
  for _ in $(seq 1 300); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
(cd "$dir/a" && exec timeout 120 wine "$exe" a.plt <"$dir/answer" >"$dir/1.out" 2>&1) &
holder=$!
await "$dir/1.out" Pause || fail "run 1 did not reach the pause"
(cd "$dir/b" && exec timeout 120 wine "$exe" ../a/a.plt </dev/null >"$dir/2.out" 2>&1) &
waiter=$!
await "$dir/2.out" "waiting for the lock of this plot file" || fail "run 2 did not wait for a.plt"
status=0
(cd "$dir/b" && exec timeout 30 wine "$exe" plot1 </dev/null >"$dir/3.out" 2>&1) || status=$?
[ "$status" = 0 ] && grep -q ' OK' "$dir/3.out" ||
  fail "run 3 did not end while run 2 waited for another directory's plot file (status $status)"
printf '\r\n' >&3
exec 3>&-
for pid in $holder $waiter; do
  status=0
  wait "$pid" || status=$?
  [ "$status" = 0 ] || fail "run $([ "$pid" = "$holder" ] && echo 1 || echo 2): exit status $status"
done
grep -q ' OK' "$dir/2.out" || fail "run 2 ended with: $(tr -d '\r' <"$dir/2.out" | tail -n 1)"
[ "$keep" = 1 ] || rm -rf "$dir"

if [ "$failures" -gt 0 ]; then
  echo "overlap (windows): $failures failures in $rounds rounds × $plots runs ($(($(date +%s) - start)) s)"
  exit 1
fi
echo "overlap (windows): $rounds rounds × $plots runs: all plots whole and own, shifts chain;" \
  "a run waiting for a plot file gives its directory back"
