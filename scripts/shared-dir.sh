#!/usr/bin/env bash
# Black-box checks of the built program in directories that other users share:
# a second user (uid 65534, or 1500/1600 in group 4242, made with setpriv)
# plants files under the tool's fixed names, holds locks and descriptors,
# writes the plot file while a run works on it, or swaps and renames names
# at the moment a run uses them (timed on the run's file events by
# scripts/race-helper.c, compiled here). Each check is judged by what is left
# afterwards: the victim's files keep their bytes, owner, mode, ACL, extended
# attributes and links; no run hangs; no data is lost after `OK`; no answer
# is run as a command.
#
#   scripts/shared-dir.sh FEEDFIX
#
# One line per check (`ok   <name>`, `FAIL <name>: <why>`, `skip <name>: <why>`);
# the exit status is 1 when any check fails. Runs as root. Environment:
# KEEP=1 keeps the scratch directory. Needs bash, coreutils, util-linux
# (setpriv, flock), acl (setfacl, getfacl), attr (setfattr, getfattr) and a C
# compiler (cc) for the race helper; without one the races are skipped.
# The scripts that other users run take their arguments as $1, $2, ...:
# shellcheck disable=SC2016
set -uo pipefail
export LC_ALL=C
umask 022

[ "$(id -u)" = 0 ] || { echo "shared-dir: must run as root" >&2; exit 2; }
source_program=$(realpath "${1:?usage: scripts/shared-dir.sh FEEDFIX}")
echo "== shared directories: $source_program"

scratch=$(mktemp -d /tmp/feedfix-shared.XXXXXX)
chmod 755 "$scratch"
extra_dirs=()
background=()
cleanup() {
  local pid
  for pid in "${background[@]}"; do kill "$pid" 2>/dev/null; done
  [ "${KEEP:-0}" = 1 ] && { echo "kept: $scratch ${extra_dirs[*]}"; return; }
  rm -rf "$scratch" "${extra_dirs[@]}"
}
trap cleanup EXIT
# A copy every user can run.
cp "$source_program" "$scratch/feedfix"
chmod 755 "$scratch/feedfix"
feedfix=$scratch/feedfix

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
operator=(setpriv --reuid=1500 --regid=1500 --groups=4242)
exporter=(setpriv --reuid=1600 --regid=1600 --groups=4242)

# Seconds after which a run counts as hung.
limit=10

# The other users' side of the races: a small program that acts within
# microseconds of a run's file events (see scripts/race-helper.c).
race_helper=$scratch/race-helper
cc -O2 -o "$race_helper" "$(dirname "${BASH_SOURCE[0]}")/race-helper.c" 2>"$scratch/cc.out" ||
  race_helper=""

# --- shared helpers ----------------------------------------------------------

failures=0
problem=""
skipped=""
# Notes a fault of the current check.
bad() { problem+="${problem:+; }$*"; }
# check NAME FUNCTION ARGS...: runs one check and prints its verdict.
check() {
  local name=$1
  shift
  problem=""
  skipped=""
  "$@"
  if [ -n "$skipped" ]; then
    echo "skip $name: $skipped"
  elif [ -z "$problem" ]; then
    echo "ok   $name"
  else
    echo "FAIL $name: $problem"
    failures=$((failures + 1))
  fi
}

# A fresh directory for one case, owned by root with mode $1 (default 755).
fresh() {
  local dir
  dir=$(mktemp -d "$scratch/case.XXXXXX")
  chmod "${1:-755}" "$dir"
  echo "$dir"
}
# A sticky directory every user may write, as a print spool is.
spool() { fresh 1777; }
# Something the other user does to set a check up; a refusal is a fault of
# the check itself.
as_nobody() { "${nobody[@]}" "$@" || bad "setup: uid 65534 could not $*"; }

settings() { printf '15574\r\n%s\r\n' "${2:-250}" >"$1/feedfix.ini"; }
# What the job becomes with a carried shift of 250 (the new shift is 446).
corrected_job=$(printf 'PU1450,3400;\r\nPG;8804,0;\r\nPU1646,3400;\r\n' | cksum)
job() { printf 'PU1200,3400;\r\nPG;   9000,0;\r\nPU1200,3400;\r\n' >"$1"; }
is_corrected_job() { [ "$(cksum <"$1")" = "$corrected_job" ]; }

# run DIR OUT COMMAND...: one run in DIR, stdin empty, stdout and stderr to
# OUT; the status is 124 or 137 when it had to be killed.
run() {
  local dir=$1 out=$2
  shift 2
  (cd "$dir" && exec timeout -k 2 "$limit" "$@" </dev/null >"$out" 2>&1)
}
hung() { [ "$1" = 124 ] || [ "$1" = 137 ]; }
# The last message of a run's output, one line, its progress dots squeezed.
said() { tr -d '\r' <"$1" | grep -v '^ *$' | tail -1 | tr -s .; }
said_ok() { tr -d '\r' <"$1" | grep -q ' OK$'; }
# Verdicts on one run: $1 label, $2 status, $3 output.
expect_no_hang() { hung "$2" && bad "$1: hung (killed after $limit s)"; }
expect_ok() {
  expect_no_hang "$@" && return
  said_ok "$3" || bad "$1: said \"$(said "$3")\", not OK"
}

# Everything about a file that another user must not be able to change.
state() {
  local f=$1
  if [ ! -e "$f" ] && [ ! -L "$f" ]; then echo "missing"; return; fi
  stat -c 'inode %u:%g mode %a links %h, %F' -- "$f"
  if [ -f "$f" ]; then echo "bytes $(cksum <"$f")"; fi
  echo "acl $(getfacl -cpn -- "$f" 2>/dev/null | tr '\n' ' ')"
  echo "xattr $(getfattr -d -m - --absolute-names -- "$f" 2>/dev/null | grep -v '^#' | tr '\n' ' ')"
}
# expect_state LABEL FILE BEFORE: the file's state is still BEFORE.
expect_state() {
  local label=$1 now
  now=$(state "$2")
  [ "$now" = "$3" ] && return
  local what=() line
  while IFS= read -r line; do
    grep -qxF -- "$line" <<<"$3" || what+=("${line%% *}")
  done <<<"$now"
  bad "$label changed: ${what[*]:-gone} (was $(head -1 <<<"$3" | cut -d' ' -f2-)," \
    "now $(head -1 <<<"$now" | cut -d' ' -f2-))"
}

# --- 1. a planted intent record --------------------------------------------

# plant AS DIR NAME BEFORE LOG: user AS writes ~ffx.log (the bytes of LOG)
# and ~ffx.jnl into DIR: a whole record naming NAME, with the "before" state
# read from the file BEFORE (or junk), the "corrected" state from its
# ~ffx.log, and the shift 1999.
plant() {
  local as=$1
  shift
  timeout "$limit" setpriv --reuid="$as" --regid="$as" --clear-groups bash -c '
    cd "$1" || exit 1
    cat "$4" >"~ffx.log"
    state() { stat -c "1 %d %i %s %.9Y %.9Z" -- "$1" | tr -d .; }
    if [ "$3" = junk ]; then before="1 7 7 7 7 7"; else before=$(state "$3"); fi
    # Private, as the tool makes its own: only the owner tells it apart.
    chmod 600 "~ffx.log"
    printf "feedfix intent 2\nmethod rename\nsettings 15574 1999\nbefore %s\ncorrected %s\nbeside 0 0 0 0 0 0\nplot %d\n%s\nend\n" \
      "$before" "$(state "~ffx.log")" "${#2}" "$2" >"~ffx.jnl"
    chmod 600 "~ffx.jnl"
  ' plant "$@" || bad "planting as $as failed"
}

# One planted record per victim kind and command. $1: a, b or c; $2: the
# user whose file is the victim and who runs the tool.
planted_record() {
  local variant=$1 victim_user=${2:-0} kinds=(secret program) commands=(job.plt /r missing.plt)
  [ "$victim_user" = 0 ] || kinds=(secret)
  local as=()
  [ "$victim_user" = 0 ] || as=(setpriv --reuid="$victim_user" --regid="$victim_user" --clear-groups)
  local kind command
  for kind in "${kinds[@]}"; do
    for command in "${commands[@]}"; do
      local case_dir spool_dir secret victim log before status
      case_dir=$(fresh)
      spool_dir=$case_dir/spool
      secret=$case_dir/secret
      mkdir -m 1777 "$spool_dir"
      mkdir -m 755 "$secret"
      victim=$secret/victim
      if [ "$kind" = program ]; then
        if [ "$variant" = c ]; then : >"$victim"; else cp /bin/true "$victim"; fi
        chmod 4755 "$victim"
      else
        if [ "$variant" = c ]; then : >"$victim"; else printf 'root secret\n' >"$victim"; fi
        chmod 600 "$victim"
      fi
      settings "$spool_dir"
      job "$spool_dir/job.plt"
      chown -R "$victim_user:$victim_user" "$secret" "$spool_dir/feedfix.ini" "$spool_dir/job.plt"
      before=$(state "$victim")
      # What the planted ~ffx.log holds: other bytes, or (b) the victim's
      # bytes and more, as if a copy into it had been cut short.
      log=$case_dir/log
      { [ "$variant" = b ] && cat "$victim"; printf 'PU9999,9999;\r\n'; } >"$log"
      chmod 644 "$log"
      case $variant in
        a) plant 65534 "$spool_dir" "$victim" "$victim" "$log" ;;
        b) plant 65534 "$spool_dir" ../secret/victim junk "$log" ;;
        c) plant 65534 "$spool_dir" "$victim" junk "$log" ;;
      esac
      run "$spool_dir" "$case_dir/out" "${as[@]}" "$feedfix" "$command"
      status=$?
      local label="uid $victim_user, $kind file, feedfix $command"
      expect_no_hang "$label" "$status"
      expect_state "$label: victim" "$victim" "$before"
      grep -q 1999 "$spool_dir/feedfix.ini" && bad "$label: feedfix.ini took the planted shift"
      # Never acted on, and not the run's to remove (a run that replaces
      # its plot may rename a record of its own over it).
      if [ "$command" != job.plt ] && [ ! -e "$spool_dir/~ffx.jnl" ]; then
        bad "$label: uid 65534's record removed"
      fi
    done
  done
}

planted_record_against_user() {
  local variant
  for variant in a b c; do planted_record "$variant" 1500; done
}

# --- 2. links under the fixed names ----------------------------------------

# A root file with bytes of its own, in a directory only root writes.
root_file() {
  mkdir -m 755 "$1"
  printf 'root only\n' >"$1/target"
  chmod 600 "$1/target"
  echo "$1/target"
}

ini_link() {
  local command
  for command in job.plt /r; do
    local dir target before status
    dir=$(spool)
    target=$(root_file "$dir.secret")
    before=$(state "$target")
    as_nobody ln -s "$target" "$dir/feedfix.ini"
    job "$dir/job.plt"
    run "$dir" "$dir/.out" "$feedfix" "$command"
    status=$?
    expect_no_hang "feedfix $command" "$status"
    expect_state "feedfix $command: link target" "$target" "$before"
  done
}

record_link_loop() {
  local dir target before round loop status oks=0
  dir=$(spool)
  target=$(root_file "$dir.secret")
  before=$(state "$target")
  settings "$dir"
  timeout 60 "${nobody[@]}" bash -c \
    'cd "$1" && while :; do ln -sfn "$2" "~ffx.jnl" 2>/dev/null; done' loop "$dir" "$target" &
  loop=$!
  background+=("$loop")
  for ((round = 1; round <= 30; round++)); do
    rm -f "$dir/job.plt"
    job "$dir/job.plt"
    run "$dir" "$scratch/2b.out" "$feedfix" job.plt
    status=$?
    expect_no_hang "round $round" "$status"
    said_ok "$scratch/2b.out" && oks=$((oks + 1))
    [ "$(state "$target")" = "$before" ] || break
  done
  kill "$loop" 2>/dev/null
  wait "$loop" 2>/dev/null
  expect_state "link target (after round $round, $oks runs OK)" "$target" "$before"
}

held_log() {
  local dir holder status
  dir=$(spool)
  mkdir -m 700 "$dir.nobody"
  chown 65534:65534 "$dir.nobody"
  settings "$dir"
  job "$dir/job.plt"
  chmod 600 "$dir/job.plt"
  # The holder makes ~ffx.log (mode 0666), keeps it open until told to stop,
  # then copies what its descriptor reads.
  timeout 30 "${nobody[@]}" bash -c '
    umask 0; cd "$1" || exit 1
    exec 3<>"~ffx.log"
    for ((n = 0; n < 400; n++)); do [ -e "$2" ] && break; sleep 0.05; done
    cat <&3 >"$3"
  ' holder "$dir" "$dir.stop" "$dir.nobody/seen" &
  holder=$!
  background+=("$holder")
  for ((n = 0; n < 100; n++)); do [ -e "$dir/~ffx.log" ] && break; sleep 0.05; done
  run "$dir" "$dir.out" "$feedfix" job.plt
  status=$?
  touch "$dir.stop"
  wait "$holder"
  expect_ok "root's run" "$status" "$dir.out"
  is_corrected_job "$dir/job.plt" || bad "plot not corrected"
  local owner
  owner=$(stat -c '%u:%g %a' "$dir/job.plt")
  [ "$owner" = "0:0 600" ] || bad "plot is now $owner, was 0:0 600"
  "${nobody[@]}" cat "$dir/job.plt" >/dev/null 2>&1 && bad "uid 65534 can read the plot"
  [ -e "$dir.nobody/seen" ] || bad "holder read nothing back"
  grep -q PU1450 "$dir.nobody/seen" 2>/dev/null &&
    bad "uid 65534's held descriptor shows the corrected plot"
}

# uid 1500 links, in a directory of their own, to a plot of uid 1600 in a
# directory that only 1600 may enter: a run of root's must not reach it.
link_to_third_user() {
  local base plot before status
  base=$(fresh)
  mkdir -m 1777 "$base/spool"
  mkdir -m 755 "$base/att"
  mkdir -m 700 "$base/private"
  settings "$base/spool"
  plot=$base/private/plot.plt
  job "$plot"
  chmod 600 "$plot"
  chown -R 1600:1600 "$base/private"
  ln -s ../private/plot.plt "$base/att/p.plt"
  chown -hR 1500:1500 "$base/att"
  before=$(state "$plot")
  run "$base/spool" "$base/out" "$feedfix" ../att/p.plt
  status=$?
  expect_no_hang "root's run" "$status"
  expect_state "uid 1600's plot" "$plot" "$before"
  [ "$(said "$base/out")" = "Cannot open plot file." ] || bad "run said \"$(said "$base/out")\""
}

# --- 3. special files under the fixed names ----------------------------------

fifo_named() {
  local name=$1 dir status
  dir=$(spool)
  [ "$name" = feedfix.ini ] || settings "$dir"
  job "$dir/job.plt"
  as_nobody mkfifo "$dir/$name"
  run "$dir" "$dir.out" "$feedfix" job.plt
  status=$?
  expect_no_hang "root's run" "$status"
}

record_directory() {
  local dir round status
  dir=$(spool)
  settings "$dir"
  as_nobody mkdir "$dir/~ffx.jnl"
  as_nobody touch "$dir/~ffx.jnl/inside"
  for round in 1 2; do
    rm -f "$dir/job.plt"
    job "$dir/job.plt"
    run "$dir" "$dir.out" "$feedfix" job.plt
    status=$?
    expect_ok "run $round" "$status" "$dir.out"
    grep -q 'cleaning up' "$dir.out" && bad "run $round said \"$(said "$dir.out")\""
    # The second run starts from the shift the first left.
    [ "$round" = 2 ] || is_corrected_job "$dir/job.plt" || bad "run 1: plot not corrected"
  done
  [ -e "$dir/~ffx.jnl/inside" ] || bad "uid 65534's directory is gone"
}

lock_held() {
  local dir holder runner status banner
  dir=$(fresh)
  settings "$dir"
  job "$dir/job.plt"
  banner=$( (cd "$scratch" && timeout "$limit" "$feedfix" </dev/null 2>&1; echo x))
  banner=${banner%%No parameters.*}
  timeout 20 "${nobody[@]}" flock -x "$dir" sleep 4 &
  holder=$!
  background+=("$holder")
  for ((n = 0; n < 60; n++)); do flock -n "$dir" true || break; sleep 0.05; done
  (cd "$dir" && exec timeout -k 2 "$limit" "$feedfix" job.plt </dev/null >"$dir.out" 2>"$dir.err") &
  runner=$!
  background+=("$runner")
  sleep 2.5
  grep -q waiting "$dir.err" || bad "no line with \"waiting\" on standard error after 2.5 s"
  # The banner's last line end may wait for the next output.
  local shown
  shown=$(cat "$dir.out"; echo x)
  shown=${shown%x}
  [ "$shown" = "$banner" ] || [ "$shown"$'\r\n' = "$banner" ] ||
    bad "standard output while waiting: \"$(tr '\r\n' '||' <"$dir.out")\""
  wait "$runner"
  status=$?
  wait "$holder"
  expect_ok "root's run" "$status" "$dir.out"
  is_corrected_job "$dir/job.plt" || bad "plot not corrected"
}

# A directory under the name of the record's new copy, where the plot has
# two names and must be copied into in place.
journal_new_directory() {
  local dir status
  dir=$(spool)
  settings "$dir"
  job "$dir/job.plt"
  ln "$dir/job.plt" "$dir/other.plt"
  as_nobody mkdir "$dir/~ffx.jnl.new"
  as_nobody touch "$dir/~ffx.jnl.new/inside"
  run "$dir" "$dir.out" "$feedfix" job.plt
  status=$?
  expect_ok "root's run" "$status" "$dir.out"
  is_corrected_job "$dir/job.plt" || bad "plot not corrected"
  is_corrected_job "$dir/other.plt" || bad "the other name does not show the corrected plot"
  [ -e "$dir/~ffx.jnl.new/inside" ] || bad "uid 65534's directory is gone"
}

# A plot that is a link to a device whose reads never end: the run ends
# within the limit and never blocks another run in its directory.
device_plot() {
  local base dir first status limit=5
  base=$(fresh)
  dir=$base/spool
  mkdir -m 1777 "$dir"
  mkdir -m 755 "$base/att"
  ln -s /dev/ptmx "$base/att/dev.plt"
  chown -hR 1500:1500 "$base/att"
  settings "$dir"
  job "$dir/job.plt"
  (cd "$dir" && exec timeout -k 2 "$limit" "$feedfix" ../att/dev.plt </dev/null >"$base/out1" 2>&1) &
  first=$!
  background+=("$first")
  sleep 0.5
  run "$dir" "$base/out2" "$feedfix" job.plt
  status=$?
  expect_ok "second run in the directory" "$status" "$base/out2"
  wait "$first"
  status=$?
  expect_no_hang "run on the device" "$status"
  hung "$status" || [ "$(said "$base/out1")" = "Cannot open plot file." ] ||
    bad "run on the device said \"$(said "$base/out1")\""
}

# A user who may only read root's plot holds its lock (shared, then
# exclusive): the run on it waits, says who holds the lock, and another run
# in the same directory on another plot is not held up.
plot_lock_held() {
  local mode limit=5
  for mode in -s -x; do
    local dir holder waiter status n
    dir=$(spool)
    settings "$dir"
    job "$dir/held.plt"
    job "$dir/job.plt"
    # The lock is flock's own (-o): it goes when flock is killed, and so
    # does its command.
    "${nobody[@]}" flock -o "$mode" "$dir/held.plt" setpriv --pdeathsig TERM sleep 30 &
    holder=$!
    background+=("$holder")
    for ((n = 0; n < 100; n++)); do flock -n "$dir/held.plt" true || break; sleep 0.02; done
    (cd "$dir" && exec timeout -k 2 20 "$feedfix" held.plt </dev/null >"$dir.out1" 2>"$dir.err1") &
    waiter=$!
    background+=("$waiter")
    for ((n = 0; n < 60; n++)); do grep -qs waiting "$dir.err1" && break; sleep 0.05; done
    run "$dir" "$dir.out2" "$feedfix" job.plt
    status=$?
    expect_ok "flock $mode: run on another plot" "$status" "$dir.out2"
    if ! grep -q waiting "$dir.err1"; then
      bad "flock $mode: no line with \"waiting\" on standard error after 3 s"
    elif ! grep waiting "$dir.err1" | grep -qw -- "$holder"; then
      bad "flock $mode: waiting line \"$(grep waiting "$dir.err1" | head -1 | tr -d '\r')\"" \
        "does not name the holder, process $holder"
    fi
    kill "$waiter" "$holder" 2>/dev/null
    wait "$waiter" "$holder" 2>/dev/null
  done
}

# --- 4. the sweep of stale temporary files ---------------------------------

# The name the tool gives a temporary file beside NAME in process PID
# (".<name>.ffx<pid>-<n>"); the process 4000000 is gone, 99999999 impossible.
# The tool names its temporary files ".<name>.ffx<site>-<pid>-<n>"; <site> is
# the FNV-1a hash (8 hex digits) of this boot's id (with its line end) and
# the process-number namespace ("/<st_dev>:<st_ino>" of /proc/self/ns/pid), so that a
# sweep never takes a run on another machine or in another container for
# one that is gone. The script's shell shares the program's namespace.
site_tag() {
  local key
  key="$(cat /proc/sys/kernel/random/boot_id)"$'\n'"/$(stat -L -c '%d:%i' /proc/self/ns/pid)"
  python3 -c 'import sys
h = 2166136261
for c in sys.argv[1].encode():
    h = ((h ^ c) * 16777619) & 0xffffffff
print("%08x" % h)' "$key"
}
site=$(site_tag)
stale_name() { echo ".$1.ffx$site-$2-0"; }

stale_of_others() {
  local dir plots names=() name status
  dir=$(spool)
  plots=$dir.plots
  mkdir -m 1777 "$plots"
  settings "$dir"
  job "$plots/job.plt"
  # Root's own link: a link of another user's is not followed (check 2d).
  ln -s "$plots" "$dir/link"
  for name in "$(stale_name job.plt 4000000)" "$(stale_name job.plt 99999999)" \
              "$(stale_name feedfix.ini 4000000)" "$(stale_name feedfix.ini 99999999)"; do
    as_nobody touch "$dir/$name" "$plots/$name"
    names+=("$dir/$name" "$plots/$name")
  done
  run "$dir" "$dir.out1" "$feedfix" "$plots/job.plt"
  status=$?
  expect_ok "run on the plot's path" "$status" "$dir.out1"
  run "$dir" "$dir.out2" "$feedfix" link/job.plt
  status=$?
  expect_ok "run through the link" "$status" "$dir.out2"
  for name in "${names[@]}"; do
    [ -e "$name" ] || bad "uid 65534's ${name#"$scratch"/} removed"
  done
}

stale_of_own() {
  local dir status name
  dir=$(fresh)
  settings "$dir"
  job "$dir/job.plt"
  local names=("$(stale_name job.plt 4000000)" "$(stale_name feedfix.ini 4000000)")
  for name in "${names[@]}"; do touch "$dir/$name"; done
  run "$dir" "$dir.out" "$feedfix" job.plt
  status=$?
  expect_ok "root's run" "$status" "$dir.out"
  for name in "${names[@]}"; do
    [ -e "$dir/$name" ] && bad "root's own stale $name left"
  done
}

# alive PID: the process exists and has not ended (a child that has ended
# stays until it is waited for).
alive() { [ -e "/proc/$1" ] && [ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" != Z ]; }

# uid 65534 plants ~ffx.log and takes every temporary name the run could
# give a file of its own in the spool. Such a name holds the run's process
# number, which an attacker foresees (it grows by one per process); here the
# run waits at a gate until the names for its number are made, which takes
# the guess out of the check.
predicted_names() {
  [ -n "$race_helper" ] || { skipped="no C compiler for the race helper"; return; }
  local dir pid status n
  dir=$(spool)
  settings "$dir"
  job "$dir/job.plt"
  as_nobody sh -c 'printf "PU9999,9999;\r\n" >"$1/~ffx.log"' planted "$dir"
  mkfifo "$dir.gate"
  (cd "$dir" && read -r _ <"$dir.gate" && exec "$feedfix" job.plt </dev/null >"$dir.out" 2>&1) &
  pid=$!
  background+=("$pid")
  as_nobody "$race_helper" files "$dir" ".~ffx.log.ffx$site-" "$pid" 1 1000
  echo go >"$dir.gate"
  for ((n = 0; n < limit * 20; n++)); do alive "$pid" || break; sleep 0.05; done
  alive "$pid" && kill -KILL "$pid"
  wait "$pid"
  status=$?
  expect_ok "root's run" "$status" "$dir.out"
  is_corrected_job "$dir/job.plt" || bad "plot not corrected"
}

# 200,000 names of uid 65534 in the pattern of temporary files of runs that
# are gone, beside the plot: a run takes about as long as without them.
many_stale_names() {
  [ -n "$race_helper" ] || { skipped="no C compiler for the race helper"; return; }
  local dir twin status t0 t1 t2 plain_ms named_ms
  dir=$(spool)
  twin=$(spool)
  settings "$dir"
  settings "$twin"
  job "$dir/job.plt"
  job "$twin/job.plt"
  as_nobody "$race_helper" files "$dir" ".job.plt.ffx$site-" 4000000 200 1000
  t0=$EPOCHREALTIME
  run "$twin" "$twin.out" "$feedfix" job.plt
  t1=$EPOCHREALTIME
  run "$dir" "$dir.out" "$feedfix" job.plt
  status=$?
  t2=$EPOCHREALTIME
  expect_ok "root's run" "$status" "$dir.out"
  plain_ms=$(((${t1/./} - ${t0/./}) / 1000))
  named_ms=$(((${t2/./} - ${t1/./}) / 1000))
  # Well above what a look at the whole listing costs, well below what a
  # look at each name costs.
  ((named_ms - plain_ms < 500)) ||
    bad "the run took $named_ms ms, $plain_ms ms without the names"
  rm -rf "$dir"
}

# --- 5. data lost after OK ------------------------------------------------------

# A directory of group 4242 that the group writes, a plot of 1600's in it
# (0660), and a spool with the settings of operator 1500; prints the plot.
group_setup() {
  local gdir op
  gdir=$(fresh 2775)
  chgrp 4242 "$gdir"
  chmod 2775 "$gdir"
  job "$gdir/plot.plt"
  chown 1600:4242 "$gdir/plot.plt"
  chmod 660 "$gdir/plot.plt"
  op=$gdir.op
  mkdir -m 1777 "$op"
  settings "$op"
  chown 1500:1500 "$op/feedfix.ini"
  echo "$gdir/plot.plt"
}

exporter_writing() {
  local plot op writer status n missing=0
  plot=$(group_setup)
  op=$(dirname "$plot").op
  timeout 20 "${exporter[@]}" bash -c '
    exec 3>>"$1"
    for ((i = 1; i <= 40; i++)); do printf "IN;E%02d;\r\n" "$i" >&3; sleep 0.05; done
  ' exporter "$plot" &
  writer=$!
  background+=("$writer")
  sleep 0.5
  run "$op" "$op/out" "${operator[@]}" "$feedfix" "$plot"
  status=$?
  wait "$writer"
  expect_no_hang "operator's run" "$status"
  for ((n = 1; n <= 40; n++)); do
    grep -q "^IN;E$(printf %02d "$n");" "$plot" || missing=$((missing + 1))
  done
  [ $missing = 0 ] || bad "$missing of 40 exporter lines missing; the run said \"$(said "$op/out")\""
}

# at_pause ACTION: a run in a spool stops at the pause on its first page
# record; ACTION DIR is done to its plot there, then the blank line is sent.
at_pause() {
  local action=$1 dir runner n status
  dir=$(spool)
  settings "$dir" -1
  printf 'PG;     -1,0;\r\nPU1200,3400;\r\nPG;   9000,0;\r\nPU1200,3400;\r\n' >"$dir/plot.plt"
  cp -p "$dir/plot.plt" "$dir.saved"
  mkfifo "$dir.answer"
  (cd "$dir" && exec timeout -k 2 "$limit" "$feedfix" plot.plt <"$dir.answer" >"$dir.out" 2>&1) &
  runner=$!
  background+=("$runner")
  exec 7<>"$dir.answer"
  for ((n = 0; n < 100; n++)); do grep -qs Pause "$dir.out" && break; sleep 0.05; done
  grep -q Pause "$dir.out" || bad "the run did not pause: \"$(said "$dir.out")\""
  "$action" "$dir"
  echo >&7
  exec 7>&-
  wait "$runner"
  status=$?
  expect_no_hang "the run" "$status"
  said_ok "$dir.out" && bad "the run said OK"
  [ "$(cksum <"$dir/plot.plt")" = "$(cksum <"$dir.new")" ] || bad "the new bytes of the plot are lost"
}
same_size_rewrite() {
  printf 'PG;     -1,0;\r\nPU7777,3400;\r\nPG;   9000,0;\r\nPU7777,3400;\r\n' >"$1.new"
  cat "$1.new" >"$1/plot.plt"
  touch -r "$1.saved" "$1/plot.plt"
}
renamed_export() {
  printf 'PG;     -1,0;\r\nPU5555,3400;\r\n' >"$1.new"
  cp "$1.new" "$1/.export"
  mv "$1/.export" "$1/plot.plt"
}

# A plot of $2 lines with a page record now and then below the threshold.
make_plot() {
  awk -v lines="$2" 'BEGIN {
    for (i = 1; i <= lines; i++) {
      if (i % 97 == 0) printf "PG;   %d,0;\r\n", 1000 + (i * 7919) % 14000
      else printf "PU%d,%d;\r\n", 100 + (i * 37) % 9000, (i * 53) % 7000
    }
  }' >"$1"
}

two_directories() {
  local base a b plots input round status_a status_b
  base=$(fresh)
  a=$base/a b=$base/b plots=$base/plots input=$base/input.plt
  mkdir "$a" "$b" "$plots"
  make_plot "$input" 20000
  # What serial runs give: A then B, B then A, and each alone.
  local order expected=() names=()
  for order in "a b" "b a" "a" "b"; do
    settings "$a" 250
    settings "$b" 400
    cp "$input" "$plots/plot.plt"
    for k in $order; do run "$base/$k" /dev/null "$feedfix" "$plots/plot.plt"; done
    expected+=("$(cat "$plots/plot.plt" "$a/feedfix.ini" "$b/feedfix.ini" | cksum)")
    names+=("$order")
  done
  for ((round = 1; round <= 30; round++)); do
    settings "$a" 250
    settings "$b" 400
    cp "$input" "$plots/plot.plt"
    (cd "$a" && exec timeout -k 2 "$limit" "$feedfix" "$plots/plot.plt" </dev/null >"$base/out.a" 2>&1) &
    local pa=$!
    (cd "$b" && exec timeout -k 2 "$limit" "$feedfix" "$plots/plot.plt" </dev/null >"$base/out.b" 2>&1) &
    local pb=$!
    background+=("$pa" "$pb")
    wait "$pa"
    status_a=$?
    wait "$pb"
    status_b=$?
    expect_no_hang "round $round, run A" "$status_a"
    expect_no_hang "round $round, run B" "$status_b"
    local got match="" k
    got=$(cat "$plots/plot.plt" "$a/feedfix.ini" "$b/feedfix.ini" | cksum)
    for k in 0 1 2 3; do [ "$got" = "${expected[k]}" ] && match=${names[k]}; done
    # One run alone is a sound end only where the other did not say OK.
    case $match in
      "a b" | "b a") ;;
      a) said_ok "$base/out.b" && match="" ;;
      b) said_ok "$base/out.a" && match="" ;;
    esac
    if [ -z "$match" ]; then
      bad "round $round: plot and settings match no serial order (A said \"$(said "$base/out.a")\"," \
        "B said \"$(said "$base/out.b")\")"
      break
    fi
  done
}

# The answer at the pause comes from a pipe (the next line of a batch loop,
# which whoever may write the spool can choose): it is not run, and the
# console shows what it shows for an empty answer.
pipe_answer() {
  local answer dir outs=()
  for answer in '' 'b;touch PWNED;.plt'; do
    dir=$(spool)
    settings "$dir" -1
    printf 'PG;     -1,0;\r\nPU1200,3400;\r\n' >"$dir/plot.plt"
    (cd "$dir" && printf '%s\n' "$answer" |
      env -u COMSPEC timeout -k 2 "$limit" "$feedfix" plot.plt >"$dir.out" 2>&1)
    hung $? && bad "answer \"$answer\": hung"
    outs+=("$dir.out")
  done
  grep -q Pause "${outs[0]}" || bad "the run did not pause: \"$(said "${outs[0]}")\""
  [ -e "$dir/PWNED" ] && bad "the answer was run as a command"
  cmp -s "${outs[@]}" || bad "the console differs from that of an empty answer:" \
    "\"$(tr '\r\n' '||' <"${outs[1]}" | tail -c 120)\""
}

# --- 6. the plot's identity ---------------------------------------------------

group_plot_identity() {
  local plot op status
  plot=$(group_setup)
  op=$(dirname "$plot").op
  run "$op" "$op/out" "${operator[@]}" "$feedfix" "$plot"
  status=$?
  expect_ok "operator's run" "$status" "$op/out"
  is_corrected_job "$plot" || bad "plot not corrected"
  local now
  now=$(stat -c '%u:%g %a' "$plot")
  [ "$now" = "1600:4242 660" ] || bad "plot is now $now, was 1600:4242 660"
}

# Sets `dir` to a new directory whose file system keeps ACLs and user
# extended attributes: under /var/tmp first, else in the scratch directory;
# empty when neither does.
xattr_dir() {
  local base
  for base in /var/tmp "$scratch"; do
    dir=$(mktemp -d "$base/feedfix-shared-xattr.XXXXXX") || continue
    [ "$base" = /var/tmp ] && extra_dirs+=("$dir")
    if touch "$dir/probe" && setfattr -n user.probe -v 1 "$dir/probe" 2>/dev/null &&
      setfacl -m u:1700:r "$dir/probe" 2>/dev/null; then
      rm -f "$dir/probe"
      return
    fi
  done
  dir=""
}

acl_and_xattr() {
  local dir status
  xattr_dir
  [ -n "$dir" ] || { skipped="no file system here keeps user xattrs and ACLs"; return; }
  chmod 755 "$dir"
  settings "$dir"
  job "$dir/job.plt"
  setfacl -m u:1700:r "$dir/job.plt"
  setfattr -n user.tag -v x "$dir/job.plt"
  run "$dir" "$dir/.out" "$feedfix" job.plt
  status=$?
  expect_ok "root's run" "$status" "$dir/.out"
  is_corrected_job "$dir/job.plt" || bad "plot not corrected"
  getfacl -cpn "$dir/job.plt" 2>/dev/null | grep -q '^user:1700:r--' || bad "ACL entry for uid 1700 lost"
  [ "$(getfattr --only-values -n user.tag "$dir/job.plt" 2>/dev/null)" = x ] || bad "xattr user.tag lost"
}

hard_link() {
  local dir status
  dir=$(fresh)
  settings "$dir"
  job "$dir/job.plt"
  ln "$dir/job.plt" "$dir/other.plt"
  run "$dir" "$dir.out" "$feedfix" job.plt
  status=$?
  expect_ok "root's run" "$status" "$dir.out"
  is_corrected_job "$dir/other.plt" || bad "the other name does not show the corrected plot"
  [ "$(stat -c %h "$dir/job.plt")" = 2 ] || bad "link count now $(stat -c %h "$dir/job.plt")"
}

refused_log_private() {
  local dir status mode
  dir=$(spool)
  settings "$dir"
  { printf 'PU1200,3400;\r\nPG;   9000,0;\r\n'
    printf 'PU1200,3400;%*s%s\r\n' 70 '' 'beyond column eighty'
    printf 'PU1200,3400;\r\n'; } >"$dir/job.plt"
  chmod 600 "$dir/job.plt"
  run "$dir" "$dir.out" "$feedfix" job.plt
  status=$?
  expect_no_hang "root's run" "$status"
  [ "$(said "$dir.out")" = "Error on reading or writing." ] || bad "run said \"$(said "$dir.out")\""
  if [ -e "$dir/~ffx.log" ]; then
    mode=$(stat -c %a "$dir/~ffx.log")
    (((8#$mode & 8#044) == 0)) || bad "~ffx.log left with mode $mode"
  fi
}

# --- 7. a current directory the user cannot write ------------------------------

read_only_cwd() {
  local dir status
  dir=$(fresh)
  settings "$dir"
  printf 'old\r\n' >"$dir/~ffx.log"
  mkdir "$dir/sub"
  job "$dir/sub/plot.plt"
  chown 1500:1500 "$dir/feedfix.ini" "$dir/~ffx.log" "$dir/sub" "$dir/sub/plot.plt"
  run "$dir" "$dir.out" "${operator[@]}" "$feedfix" sub/plot.plt
  status=$?
  expect_no_hang "run of uid 1500" "$status"
  is_corrected_job "$dir/sub/plot.plt" || bad "plot not corrected"
  [ "$(said "$dir.out")" = "Error on cleaning up plot files." ] || bad "run said \"$(said "$dir.out")\""
  [ "$(sed -n 2p "$dir/feedfix.ini" | tr -d '\r ')" = 446 ] ||
    bad "feedfix.ini holds \"$(tr '\r\n' '||' <"$dir/feedfix.ini")\", not the shift 446"
}

# The running user's own ~ffx.log that nobody may write (root's, then uid
# 1500's in their own directory) is left as it is, and so is the plot.
read_only_log() {
  local who dir before plot_before status as
  for who in 0 1500; do
    dir=$(fresh)
    settings "$dir"
    job "$dir/job.plt"
    printf 'kept\r\n' >"$dir/~ffx.log"
    chmod 444 "$dir/~ffx.log"
    as=()
    if [ "$who" != 0 ]; then
      chown -R 1500:1500 "$dir"
      as=("${operator[@]}")
    fi
    before=$(state "$dir/~ffx.log")
    plot_before=$(state "$dir/job.plt")
    run "$dir" "$dir.out" "${as[@]}" "$feedfix" job.plt
    status=$?
    expect_no_hang "uid $who" "$status"
    [ "$(said "$dir.out")" = "Cannot open temporary file." ] ||
      bad "uid $who: run said \"$(said "$dir.out")\""
    expect_state "uid $who: ~ffx.log" "$dir/~ffx.log" "$before"
    expect_state "uid $who: plot" "$dir/job.plt" "$plot_before"
  done
}

# --- 8. names swapped or renamed at the moment a run uses them --------------

# Where the machine has two processors or more, the race helper has the
# last to itself and the runs it races the first: it sees an event within
# microseconds, however loaded the machine is.
race_cpu=()
run_cpu=()
cpus=$(awk '/^Cpus_allowed_list/ {print $2}' /proc/self/status)
if command -v taskset >/dev/null && [ -n "$cpus" ] && [ "${cpus%%[-,]*}" != "${cpus##*[-,]}" ]; then
  race_cpu=(taskset -c "${cpus##*[-,]}")
  run_cpu=(taskset -c "${cpus%%[-,]*}")
fi

# start_attacker UID OUT STEP...: starts the race helper as UID (in group
# 4242) with the steps (see scripts/race-helper.c), its lines to OUT, and
# returns once it watches. It runs at the highest priority.
start_attacker() {
  local uid=$1 out=$2 n
  shift 2
  nice -n -20 "${race_cpu[@]}" setpriv --reuid="$uid" --regid="$uid" --groups=4242 \
    "$race_helper" steps 8000 "$@" >"$out" 2>&1 &
  attacker=$!
  background+=("$attacker")
  for ((n = 0; n < 200; n++)); do grep -qs '^ready' "$out" && return 0; sleep 0.01; done
  bad "setup: the race helper did not start: $(head -c 200 "$out")"
  return 1
}
# Ends the race helper: what it swapped it swaps back first.
stop_attacker() {
  kill -TERM "$attacker" 2>/dev/null
  wait "$attacker" 2>/dev/null
}

# swap_setup BASE: a spool, root's directory sys, and uid 1500's directory
# att with job.plt -> d/crontab, d -> real, real/crontab (1500's plot) and
# d2 -> ../sys, to be swapped with d. 1500 makes every lookup through d slow
# (its text leads to real through 2,000 "./"), as one would to widen a window.
swap_setup() {
  local base=$1
  mkdir -m 1777 "$base/spool"
  mkdir -m 755 "$base/att" "$base/att/real" "$base/sys"
  settings "$base/spool"
  job "$base/att/real/crontab"
  ln -s d/crontab "$base/att/job.plt"
  ln -s "$(printf './%.0s' {1..2000})real" "$base/att/d"
  ln -s ../sys "$base/att/d2"
  chown -hR 1500:1500 "$base/att"
}

# The plot has a second name, so it is copied into in place. Right after
# the run's last look at it (at the third open of ~ffx.log), 1500 swaps d
# for the link to root's sys, and back once the run is over.
swap_before_copy_in_place() {
  [ -n "$race_helper" ] || { skipped="no C compiler for the race helper"; return; }
  local round base victim before status swapped=0
  for ((round = 1; round <= 12; round++)); do
    base=$(fresh)
    swap_setup "$base"
    ln "$base/att/real/crontab" "$base/att/real/second"
    victim=$base/sys/crontab
    printf '* * * * * root true\n' >"$victim"
    before=$(state "$victim")
    start_attacker 1500 "$base/attacker" wait "$base/spool" '~ffx.log' open 3 \
      exchange "$base/att/d" "$base/att/d2" pause 300000 exchange "$base/att/d" "$base/att/d2" ||
      return
    run "$base/spool" "$base/out" "${run_cpu[@]}" "$feedfix" ../att/job.plt
    status=$?
    stop_attacker
    grep -q '^exchange' "$base/attacker" && swapped=$((swapped + 1))
    expect_no_hang "round $round" "$status"
    [ "$(state "$victim")" = "$before" ] || break
  done
  expect_state "root's sys/crontab (round $round; swapped in $swapped rounds)" "$victim" "$before"
}

# The plot has one name and is replaced by a rename; its owner, bits and
# attributes are given to the new file first. 1500 swaps d for the link to
# sys while they are read and back 200 microseconds later, before the run's
# look after the sync. The plot must not take those of root's set-user-id
# program in sys.
swap_while_identity_copied() {
  [ -n "$race_helper" ] || { skipped="no C compiler for the race helper"; return; }
  local round base victim before plot now swapped=0
  for ((round = 1; round <= 12; round++)); do
    base=$(fresh)
    swap_setup "$base"
    plot=$base/att/real/crontab
    victim=$base/sys/crontab
    cp /bin/true "$victim"
    chmod 4755 "$victim"
    setfattr -n trusted.feedfix -v root "$victim" 2>/dev/null
    before=$(state "$victim")
    start_attacker 1500 "$base/attacker" wait "$base/spool" '~ffx.log' open 3 \
      exchange "$base/att/d" "$base/att/d2" pause 200 exchange "$base/att/d" "$base/att/d2" ||
      return
    run "$base/spool" "$base/out" "${run_cpu[@]}" "$feedfix" ../att/job.plt
    expect_no_hang "round $round" $?
    stop_attacker
    grep -q '^exchange' "$base/attacker" && swapped=$((swapped + 1))
    expect_state "round $round: root's sys/crontab" "$victim" "$before"
    now=$(stat -c '%u:%g %a' "$plot")
    [ "$now" = "1500:1500 644" ] || bad "round $round: uid 1500's plot is now $now"
    getfattr -d -m '^trusted\.' --absolute-names "$plot" 2>/dev/null | grep -q trusted &&
      bad "round $round: uid 1500's plot took root's attribute trusted.feedfix"
    [ -z "$problem" ] || break
  done
  [ -z "$problem" ] || problem+=" (swapped in $swapped of $round rounds)"
}

# A member of the spool's group renames a file of their own over ~ffx.log
# as soon as it appears, and at later opens of it. Root's private plot ends
# corrected or as it was, never as 1500's file.
log_renamed_over() {
  [ -n "$race_helper" ] || { skipped="no C compiler for the race helper"; return; }
  local round base spool_dir plot before trigger status now
  local triggers=("open 3" "create 1" "open 2" "open 4" "moved-to 1" "attrib 1")
  for ((round = 1; round <= ${#triggers[@]}; round++)); do
    trigger=${triggers[round - 1]}
    base=$(fresh)
    spool_dir=$base/spool
    mkdir "$spool_dir"
    chgrp 4242 "$spool_dir"
    chmod 2775 "$spool_dir"
    settings "$spool_dir"
    mkdir -m 700 "$base/secret"
    plot=$base/secret/job.plt
    job "$plot"
    chmod 600 "$plot"
    printf 'PU9999,9999;\r\n' >"$spool_dir/mine"
    chown 1500:4242 "$spool_dir/mine"
    before=$(state "$plot")
    # shellcheck disable=SC2086 # the trigger is an event and a count
    start_attacker 1500 "$base/attacker" wait "$spool_dir" '~ffx.log' $trigger \
      rename "$spool_dir/mine" "$spool_dir/~ffx.log" || return
    run "$spool_dir" "$base/out" "${run_cpu[@]}" "$feedfix" "$plot"
    status=$?
    stop_attacker
    expect_no_hang "at $trigger" "$status"
    [ "$(state "$plot")" = "$before" ] && continue
    now=$(stat -c '%u:%g %a' "$plot")
    if ! is_corrected_job "$plot" || [ "$now" != "0:0 600" ]; then
      bad "renamed at $trigger of ~ffx.log: root's plot is now $now, \"$(head -c 40 "$plot" | tr '\r\n' '||')\""
      break
    fi
  done
}

# --- the checks -----------------------------------------------------------------

check "1a planted record by absolute path" planted_record a
check "1b planted record by ../ path, its ~ffx.log extending the file" planted_record b
check "1c planted record naming an empty file" planted_record c
check "1d planted records against uid 1500's file (a, b, c)" planted_record_against_user
check "2a feedfix.ini a link to a root file" ini_link
check "2b ~ffx.jnl re-linked to a root file in a loop" record_link_loop
check "2c ~ffx.log planted and held open by another user" held_log
check "2d another user's link to a third user's private plot" link_to_third_user
check "3a FIFO named ~ffx.jnl" fifo_named '~ffx.jnl'
check "3b FIFO named feedfix.ini" fifo_named feedfix.ini
check "3c FIFO named ~ffx.log" fifo_named '~ffx.log'
check "3d directory named ~ffx.jnl" record_directory
check "3e lock held by a user who only reads the directory" lock_held
check "3f directory named ~ffx.jnl.new, plot with two names" journal_new_directory
check "3g plot a link to a device that never ends (/dev/ptmx)" device_plot
check "3h plot's lock held by a user who only reads it" plot_lock_held
check "4a other users' files named like stale temporaries" stale_of_others
check "4b own stale temporaries removed" stale_of_own
check "4c temporary names foreseen and taken, ~ffx.log planted" predicted_names
check "4d 200,000 names like stale temporaries beside the plot" many_stale_names
check "5a plot still being written by its exporter" exporter_writing
check "5b same-size rewrite with mtime put back during the pause" at_pause same_size_rewrite
check "5c two directories, one plot, runs at once (30 rounds)" two_directories
check "5d re-export renamed over the plot during the pause" at_pause renamed_export
check "5e answer at the pause from a pipe" pipe_answer
check "6a group plot keeps owner, group and mode" group_plot_identity
check "6b ACL entry and xattr kept" acl_and_xattr
check "6c hard-linked plot stays linked" hard_link
check "6d refused plot's ~ffx.log not readable by others" refused_log_private
check "7 read-only current directory" read_only_cwd
check "7b own ~ffx.log that nobody may write" read_only_log
check "8a directory swapped before the copy in place" swap_before_copy_in_place
check "8b directory swapped while the plot's identity is copied" swap_while_identity_copied
check "8c ~ffx.log renamed over by a member of the spool's group" log_renamed_over

if [ $failures -gt 0 ]; then
  echo "shared-dir: $failures check(s) failed" >&2
  exit 1
fi
echo "shared-dir: all checks passed"
