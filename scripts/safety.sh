#!/usr/bin/env bash
# Black-box safety checks of the built program, as operators meet it:
#  1. overlap: several runs started at once in one directory, each on its
#     own plot file, many rounds: every plot file must end with its own
#     corrected content and feedfix.ini with the shift of some serial order
#     of the runs (runs in one directory take turns);
#  2. kills on the normal path: runs on a large plot stopped at random
#     moments (SIGINT, SIGTERM, SIGKILL), then one whole run: the plot file is
#     whole (what one or more runs one after the other give), feedfix.ini
#     holds the shift that belongs to it, and nothing else is left behind;
#  3. the same where the plot's directory takes no new file, so that the
#     corrected plot is copied into the plot file itself (as an unprivileged
#     user where the script runs as root);
#  4. a plot file that an exporter is still writing: nothing of it is lost.
#
#   scripts/safety.sh FEEDFIX [ROUNDS] [KILLS]     defaults: 30 rounds, 30 kills
#
# Environment: SEED (random seed, printed), KEEP=1 keeps the scratch
# directory. Needs bash, coreutils, awk and setpriv (util-linux).
set -euo pipefail

feedfix=$(realpath "${1:?usage: scripts/safety.sh FEEDFIX [ROUNDS] [KILLS]}")
rounds=${2:-30}
kills=${3:-30}
seed=${SEED:-$(date +%s)}
RANDOM=$seed
echo "== safety checks of $feedfix (seed $seed)"

scratch=$(mktemp -d /tmp/feedfix-safety.XXXXXX)
chmod 755 "$scratch"
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$scratch"; }
trap cleanup EXIT
# A copy every user can run, for the unprivileged part.
cp "$feedfix" "$scratch/feedfix"
chmod 755 "$scratch/feedfix"
feedfix=$scratch/feedfix
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

settings() { printf '15574\r\n250\r\n' >"$1/feedfix.ini"; }

# A plot file of $2 lines, marked as plot $3 in its first line, with a page
# record now and then whose value lies below the threshold.
make_plot() {
  awk -v lines="$2" -v mark="$3" 'BEGIN {
    printf "IN;%s;\r\n", mark
    for (i = 1; i < lines; i++) {
      if (i % 97 == 0) printf "PG;   %d,0;\r\n", 1000 + (mark * 3137 + i * 7919) % 14000
      else printf "PU%d,%d;\r\n", 100 + (i * 37 + mark) % 9000, (i * 53) % 7000
    }
  }' >"$1"
}

# What is in directory $1, hidden files too, one line.
listing() { (cd "$1" && ls -A | tr '\n' ' '); }

run_quiet() { (cd "$1" && shift && "$feedfix" "$@" </dev/null >/dev/null 2>&1); }

# 1. Overlapping runs -------------------------------------------------------

overlap() {
  local n=3 lines=20000 dir=$scratch/overlap ref=$scratch/overlap-ref
  mkdir -p "$dir" "$ref"
  for k in 1 2 3; do make_plot "$scratch/in$k.plt" "$lines" "$k"; done
  # Every serial order of the three runs, run one after the other.
  local orders=("1 2 3" "1 3 2" "2 1 3" "2 3 1" "3 1 2" "3 2 1") expected=()
  for order in "${orders[@]}"; do
    rm -rf "${ref:?}"/*
    settings "$ref"
    for k in 1 2 3; do cp "$scratch/in$k.plt" "$ref/p$k.plt"; done
    for k in $order; do run_quiet "$ref" "p$k.plt"; done
    expected+=("$(cd "$ref" && cat p1.plt p2.plt p3.plt feedfix.ini | cksum)")
  done
  local round matched ok_runs=0
  for ((round = 1; round <= rounds; round++)); do
    rm -rf "${dir:?}"/*
    settings "$dir"
    for k in 1 2 3; do cp "$scratch/in$k.plt" "$dir/p$k.plt"; done
    local pids=()
    for k in 1 2 3; do
      (cd "$dir" && exec "$feedfix" "p$k.plt" </dev/null >"$scratch/out$k.txt" 2>&1) &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || fail "overlap round $round: exit status $?"; done
    for k in 1 2 3; do
      if grep -q ' OK' "$scratch/out$k.txt"; then ok_runs=$((ok_runs + 1)); else
        fail "overlap round $round: run on p$k.plt: $(tr '\r\n' '  ' <"$scratch/out$k.txt")"
      fi
    done
    local got
    got=$(cd "$dir" && cat p1.plt p2.plt p3.plt feedfix.ini | cksum)
    matched=0
    for e in "${expected[@]}"; do [ "$got" = "$e" ] && matched=1; done
    [ $matched = 1 ] || fail "overlap round $round: plots and shift match no serial order"
    [ "$(listing "$dir")" = "feedfix.ini p1.plt p2.plt p3.plt " ] ||
      fail "overlap round $round: left behind: $(listing "$dir")"
  done
  [ $failures = 0 ] || return 0
  echo "overlap: $rounds rounds x $n runs at once ($lines lines each): $ok_runs runs OK," \
    "every round equal to a serial order"
}

# 2./3. Killed runs ---------------------------------------------------------

# The checksum of plot and settings after 0, 1, 2, ... whole runs.
chain_of() {
  local input=$1 count=$2 dir=$scratch/chain
  rm -rf "$dir"
  mkdir -p "$dir"
  settings "$dir"
  cp "$input" "$dir/plot.plt"
  chain=("$(cat "$dir/plot.plt" "$dir/feedfix.ini" | cksum)")
  for ((i = 1; i <= count; i++)); do
    run_quiet "$dir" plot.plt
    chain+=("$(cat "$dir/plot.plt" "$dir/feedfix.ini" | cksum)")
  done
}

# In work directory $2, on the plot file $3 (a path from $2) in directory $4,
# made from $5: one whole run, $kills runs killed at random moments and one
# whole run, each with the command prefix $as; then checks. $1 names it.
kill_series() {
  local label=$1 work=$2 plot=$3 plot_dir=$4 input=$5 before_work before_plot
  # One whole run where the killed ones run, for how long a run lasts there.
  local start millis
  start=$(date +%s%N)
  (cd "$work" && $as "$feedfix" "$plot" </dev/null >/dev/null 2>&1)
  millis=$((($(date +%s%N) - start) / 1000000))
  chain_of "$input" $((kills + 2))
  before_work=$(listing "$work")
  before_plot=$(listing "$plot_dir")
  local signals=(INT TERM KILL) killed=0 failures_before=$failures recorded=0 torn=0
  for ((i = 1; i <= kills; i++)); do
    local signal=${signals[RANDOM % 3]} delay=$((RANDOM % (millis * 3 / 2 + 5)))
    (cd "$work" && exec $as "$feedfix" "$plot" </dev/null >/dev/null 2>&1) &
    local pid=$!
    sleep "$(printf '0.%03d' "$delay")"
    if kill -s "$signal" "$pid" 2>/dev/null; then killed=$((killed + 1)); fi
    wait "$pid" 2>/dev/null || true
    # A stop during the replacement leaves its record; during a copy in
    # place, also a plot file cut short, which the next run must finish.
    if [ -e "$work/~ffx.jnl" ]; then
      recorded=$((recorded + 1))
      [ "$(wc -c <"$plot_dir/$(basename "$plot")")" -lt "$(wc -c <"$input")" ] && torn=$((torn + 1))
    fi
  done
  (cd "$work" && $as "$feedfix" "$plot" </dev/null >"$scratch/last.txt" 2>&1) ||
    fail "$label: the whole run failed"
  grep -q ' OK' "$scratch/last.txt" ||
    fail "$label: the whole run said: $(tr '\r\n' '  ' <"$scratch/last.txt")"
  local got n found=-1
  got=$(cat "$plot_dir/$(basename "$plot")" "$work/feedfix.ini" | cksum)
  for ((n = 1; n < ${#chain[@]}; n++)); do
    [ "$got" = "${chain[n]}" ] && found=$n
  done
  [ $found -ge 2 ] || fail "$label: plot and shift are not what whole runs one after the other give"
  [ "$(listing "$work")" = "$before_work" ] ||
    fail "$label: work directory holds $(listing "$work"), before: $before_work"
  [ "$(listing "$plot_dir")" = "$before_plot" ] ||
    fail "$label: plot directory holds $(listing "$plot_dir"), before: $before_plot"
  [ $failures = "$failures_before" ] || return 0
  echo "$label: $kills runs stopped at random (INT/TERM/KILL, one whole run lasts ${millis} ms," \
    "$killed signals landed, $recorded during a replacement, $torn of them with the plot cut short)," \
    "then one whole run: plot whole, as $found runs one after the other give it," \
    "with its shift; nothing left behind"
}

kills_normal() {
  local dir=$scratch/kill
  mkdir -p "$dir"
  make_plot "$scratch/big.plt" 1500000 7
  settings "$dir"
  cp "$scratch/big.plt" "$dir/plot.plt"
  as="" kill_series "kills (normal path, $(stat -c %s "$scratch/big.plt") bytes)" \
    "$dir" plot.plt "$dir" "$scratch/big.plt"
}

kills_in_place() {
  local work=$scratch/inplace-work plots=$scratch/inplace-plots prefix=""
  mkdir -p "$work" "$plots"
  make_plot "$scratch/mid.plt" 400000 5
  settings "$work"
  cp "$scratch/mid.plt" "$plots/plot.plt"
  if [ "$(id -u)" = 0 ]; then
    # Root may create files anywhere: the runs are made as nobody, who may
    # write the plot file and the work directory but not the plot's directory.
    chown 65534:65534 "$work" "$work/feedfix.ini" "$plots/plot.plt"
    prefix="setpriv --reuid=65534 --regid=65534 --clear-groups"
  else
    chmod 555 "$plots"
  fi
  as=$prefix kill_series "kills (plot copied in place, $(stat -c %s "$scratch/mid.plt") bytes)" \
    "$work" "$plots/plot.plt" "$plots" "$scratch/mid.plt"
  chmod 755 "$plots"
}

# 4. A plot file still being written ----------------------------------------

growing() {
  local dir=$scratch/growing total=3001
  mkdir -p "$dir"
  settings "$dir"
  : >"$dir/plot.plt"
  # The exporter: 3,001 lines over three seconds, through one open file.
  (
    exec 3>>"$dir/plot.plt"
    for ((batch = 0; batch < 30; batch++)); do
      for ((line = 0; line < 100; line++)); do printf 'PU%d,3400;\r\n' $((1000 + batch * 100 + line)) >&3; done
      sleep 0.1
    done
    printf 'PG;   9000,0;\r\n' >&3
  ) &
  local exporter=$!
  sleep 1
  (cd "$dir" && "$feedfix" plot.plt </dev/null >"$scratch/grow.txt" 2>&1) || true
  wait "$exporter"
  local lines
  lines=$(wc -l <"$dir/plot.plt")
  [ "$lines" = "$total" ] || { fail "growing plot: $lines of $total lines left"; return 0; }
  echo "growing plot: exporter wrote $total lines over 3 s, the tool ran after 1 s and said" \
    "\"$(tr -d '\r' <"$scratch/grow.txt" | grep -v '^ *$' | tail -1)\"; $lines lines kept"
}

overlap
kills_normal
kills_in_place
growing

if [ $failures -gt 0 ]; then
  echo "safety: $failures failure(s) (seed $seed)" >&2
  exit 1
fi
echo "safety: all checks passed"
