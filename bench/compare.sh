#!/usr/bin/env bash
# Runs two feedfix programs on the same plot files and settings and reports
# any difference in the plot file, ~ffx.log, feedfix.ini, standard output,
# standard error or exit status. For checking that a change to the record
# path leaves every byte as it was.
#
#   bench/compare.sh OLD NEW [PLOT...]
#
# Every plot file given is run with five settings; then RANDOM_FILES
# (default 300) generated files of mixed lines. Environment: SCRATCH (default
# a new temporary directory), RANDOM_FILES, SEED.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: compare.sh OLD NEW [PLOT...]" >&2; exit 2; }
OLD=$(realpath "$1")
NEW=$(realpath "$2")
shift 2
SCRATCH=${SCRATCH:-$(mktemp -d)}
RANDOM_FILES=${RANDOM_FILES:-300}
SEED=${SEED:-1}
# Threshold and shift: defaults, no shift, a usual shift, a large one, and
# values the tool must refuse.
SETTINGS=('     15574\r\n         0\r\n' '     15574\r\n       250\r\n' '     10000\r\n       678\r\n'
  '     40000\r\n      2000\r\n' '     15574\r\n     99999\r\n')

runs=0
differ=0
run_one() {  # program dir plot settings
  local dir=$2
  rm -rf "$dir" && mkdir -p "$dir"
  cp "$3" "$dir/plot.plt"
  printf "$4" >"$dir/feedfix.ini"
  (cd "$dir" && timeout 20 "$1" plot.plt >stdout 2>stderr </dev/null; echo $? >status) || true
}
compare() {  # plot settings
  run_one "$OLD" "$SCRATCH/old" "$1" "$2"
  run_one "$NEW" "$SCRATCH/new" "$1" "$2"
  runs=$((runs + 1))
  if ! diff -r "$SCRATCH/old" "$SCRATCH/new" >/dev/null; then
    differ=$((differ + 1))
    echo "DIFFERENT: $1 with settings $(printf "$2" | tr -d '\r' | tr '\n' ' ')"
  fi
}

for plot in "$@"; do
  for s in "${SETTINGS[@]}"; do compare "$plot" "$s"; done
done

mkdir -p "$SCRATCH/random"
python3 - "$SCRATCH/random" "$RANDOM_FILES" "$SEED" <<'PY'
import random, sys
out, count, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(seed)
def number():
    k = rnd.randrange(10)
    if k == 0: return "-" + str(rnd.randrange(100000))
    if k == 1: return str(rnd.randrange(10**rnd.randrange(1, 11)))
    if k == 2: return "0" * rnd.randrange(1, 4) + str(rnd.randrange(1000))
    if k == 3: return str(16251 - rnd.choice([250, 678, 2000, 0, 1]))
    return str(rnd.randrange(17000))
def line():
    k = rnd.randrange(20)
    if k == 0: return "PG;   " + number() + ",0;"
    if k == 1: return rnd.choice(["SP1;", "IN;LT;", "LB text^C", "SP1;PU100,200;", "PS 11 7", "PUPA0 0"])
    if k == 2: return "".join(rnd.choice("PUDAG0123456789,;- \t\0x") for _ in range(rnd.randrange(90)))
    if k == 3: return rnd.choice(["PU", "PD", "PA"]) + " " + number() + ", " + number() + " ;"
    text = rnd.choice(["PU", "PD", "PA"]) + number()
    for _ in range(rnd.randrange(0, 6)): text += "," + number()
    return text + rnd.choice([";", ";", "", ";  "])
for i in range(count):
    lines = rnd.choice([5, 50, 3000, 12000])
    ends = rnd.choice([["\r\n"], ["\n"], ["\r\n"] * 20 + ["\n", "\r\r\n", "  \r\n"]])
    body = "".join(line() + rnd.choice(ends) for _ in range(rnd.randrange(1, lines)))
    if rnd.randrange(20) == 0: body += "z" * 81 + "\r\n"
    if rnd.randrange(4) == 0: body += "PU1,2;"
    open(f"{out}/{i:04d}.plt", "wb").write(body.encode("latin-1"))
PY
i=0
for plot in "$SCRATCH"/random/*.plt; do
  compare "$plot" "${SETTINGS[$((i % ${#SETTINGS[@]}))]}"
  i=$((i + 1))
done
echo "compare.sh: $runs runs, $differ with a difference"
[ "$differ" = 0 ]
