#!/usr/bin/env bash
# Mutation check of the guard code: each change of the table below (a check
# deleted, a condition inverted, a limit off by one, a sync or a look
# skipped) is built on its own in a scratch work tree of HEAD, and the tests
# must notice it: first the unit tests, then, where they pass, the black-box
# checks scripts/shared-dir.sh and scripts/safety.sh (as root). Not part of
# the test command: it takes a while.
#
#   scripts/mutate.sh [--only N,M,...] [--unit-only] [--list]
#
# One line per mutant: caught-unit, caught-shared, caught-safety, MISSED or
# invalid (does not compile), then "N mutants: X caught, Y missed, Z invalid".
# A black-box check counts a mutant as caught only by a FAIL line that the
# unchanged program does not give (both scripts are run on it first).
# Environment: MUTATE_TREE=DIR builds in DIR (a work tree made on the first
# use and kept, so a later call builds incrementally) instead of a temporary
# one; SEED for scripts/safety.sh (default 1); logs go to MUTATE_LOGS (default
# a temporary directory, kept and named at the end).
#
# The table: one mutant a line, "FILE @@ FRAGMENT @@ REPLACEMENT @@ WHAT",
# where exactly one blank on each side of "@@" belongs to the separator. The
# fragment must occur exactly once in FILE (a stale table stops the check).
# Every replacement keeps the code compiling with warnings on.
set -uo pipefail
export LC_ALL=C

read -r -d '' MUTANTS <<'TABLE'
runtime/trust_rules.h @@ if (from == 0 || from == to) return true; @@ if (from == 0 || from == to || true) return true; @@ trust rule: every step between owners allowed
runtime/trust_rules.h @@ return self != 0 && (from == self || to == self); @@ return (from == self || to == self); @@ trust rule: root's run trusts a user's step to root's files
runtime/os_posix_paths.cpp @@ if (!safe_transition(from_, st.st_uid, self_)) return OsError::access_denied; @@ (void)0; @@ walk: entry looked at is not judged by the trust rule
runtime/os_posix_paths.cpp @@ if (check && !safe_transition(from_, dir_owner_, self_)) @@ if (false && !safe_transition(from_, dir_owner_, self_)) @@ walk: step into a directory entered (.., /) not judged
runtime/os_posix_paths.cpp @@ enter(open_directory(AT_FDCWD, "/"), true) @@ enter(open_directory(AT_FDCWD, "/"), false) @@ walk: a link's absolute target not judged
runtime/os_posix_paths.cpp @@ enter(open_directory(dir_, ".."), true) @@ enter(open_directory(dir_, ".."), false) @@ walk: step up by .. not judged
runtime/os_posix_paths.cpp @@ from_ = st.st_uid; @@ (void)0; @@ walk: a link's owner not carried to its target
runtime/os_posix_paths.cpp @@ if (!link_trusted(st.st_uid == self_, st.st_uid == dir_owner_)) return OsError::access_denied; @@ (void)0; @@ link rule: a stranger's link in another's directory followed
runtime/trust_rules.h @@ return made_by_user || made_by_directory_owner; @@ return made_by_user || !made_by_directory_owner; @@ link rule: directory owner's test inverted
runtime/os_posix_paths.cpp @@ if (++links > k_max_links) return OsError::access_denied; @@ if (++links > k_max_links + 1) return OsError::access_denied; @@ link limit off by one
runtime/os_posix_paths.cpp @@ if (++links > k_max_links) return OsError::access_denied; @@ (void)++links; @@ link limit gone: a loop of links walks for ever
runtime/os_posix_paths.cpp @@ if (::fstat(dir_, &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) { @@ if (::fstat(dir_, &now) != 0) { @@ walk: directory opened not compared with the one looked at
runtime/os_posix_paths.cpp @@ found != walks().end()) { @@ found != walks().end() && false) { @@ held-directory cache never used: each use walks again
runtime/file_replace.cpp @@ !state.link && state.mine && state.links == 1 && @@ !state.link && state.links == 1 && @@ own_file: another user's file counts as own
runtime/file_replace.cpp @@ state.mine && state.links == 1 && @@ state.mine && state.links >= 1 && @@ own_file: a file with a second name counts as own
runtime/file_replace.cpp @@ !state.others_may_write; @@ true; @@ own_file: a group-writable file counts as own
runtime/file_replace.cpp @@ if ((own_file(there) && !there.writable) || there.directory) { @@ if (there.directory) { @@ open_scratch: the user's read-only ~ffx.log is rewritten
runtime/file_replace.cpp @@ (void)os().make_private(r.handle); @@ (void)0; @@ open_scratch: an older own file keeps bits others may read
runtime/os_posix_files.cpp @@ const mode_t mode = create == Create::exact_private ? 0600 : 0666; @@ const mode_t mode = create == Create::exact_private ? 0644 : 0666; @@ exact_private: a new own file readable by others
runtime/os_posix_files.cpp @@ (device && !readable_now(fd)) @@ (device && false) @@ open_file: a device with nothing to read is opened (waits)
runtime/os_posix_files.cpp @@ if (S_ISDIR(st.st_mode) || special_stream(st) || @@ if (S_ISDIR(st.st_mode) || (special_stream(st) && false) || @@ open_file: pipes and sockets not refused
runtime/os_posix_files.cpp @@ return S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3); @@ return S_ISCHR(st.st_mode) && st.st_rdev != makedev(1, 3); @@ open_file: every device but the null device read as a file
runtime/os_posix_files.cpp @@ (access == Access::write && !created && nobody_may_write(st))) { @@ (access == Access::write && !created && false)) { @@ open_file: a file nobody may write is written (root)
runtime/os_posix_files.cpp @@ const bool only_mine = dir_st.st_uid == ::geteuid() && (dir_st.st_mode & 022) == 0; @@ const bool only_mine = dir_st.st_uid == ::geteuid(); @@ replace_name: a directory others may write counts as the user's alone
runtime/os_posix_files.cpp @@ || (dir_st.st_mode & S_ISVTX) != 0)) { @@ || (dir_st.st_mode & S_ISVTX) == 0)) { @@ replace_name: sticky test inverted
runtime/os_posix_files.cpp @@   sync_directory(target.dir); @@   (void)0; @@ replace_name: directory not synced after the rename
runtime/os_posix_files.cpp @@ if (e == OsError::none && place.dir != made.dir) e = OsError::other; @@ (void)0; @@ keep_beside: a file made for another directory kept
runtime/os_posix_files.cpp @@ if (site.empty() || std::strncmp(p, site.c_str(), site.size()) != 0) return false; @@ if (site.empty()) return false; @@ temp names: another machine's temporaries taken as this one's
runtime/os_posix_files.cpp @@ if (p == tail || *p != '\0') return false; @@ if (p == tail) return false; @@ temp names: a name with more after the random part taken as a temporary
runtime/os_posix_files.cpp @@ if (found == nullptr || found == leaf + 1) return false; @@ if (found == nullptr) return false; @@ temp names: a name with nothing before the marker taken
runtime/file_replace.cpp @@ return state.exists && state.regular && !state.link && state.mine; @@ return state.exists && state.regular && !state.link; @@ sweep: other users' temporaries removed
runtime/os_posix_files.cpp @@ if (::kill(owner, 0) == 0 || errno != ESRCH) continue; @@ (void)0; @@ sweep: temporaries of live runs removed
runtime/os_posix_files.cpp @@ if (!temp_owner(entry->d_name, owner) || owner == ::getpid()) continue; @@ if (!temp_owner(entry->d_name, owner)) continue; @@ sweep: the run's own temporaries taken as stale
runtime/os_posix_files.cpp @@ if (++seen > k_max_entries) break; @@ (void)++seen; @@ sweep: look no longer bounded
runtime/os_posix_locks.cpp @@ if (locked_file_ < 0 || id != locked_file_id_) { @@ if (locked_file_ < 0 || id != locked_file_id_ || true) { @@ lock: the plot file held already is locked again (waits on itself)
runtime/file_replace.cpp @@ os().wait_quiet(file, k_settle_ms); @@ (void)0; @@ written_elsewhere: no settle for a file written just now
runtime/os_posix_locks.cpp @@ if (errno == EAGAIN || errno == EBUSY) return Writers::some; @@ if (errno == EAGAIN || errno == EBUSY) return Writers::none; @@ writers: a refused lease (a writer holds it) ignored
runtime/os_posix_locks.cpp @@ if (n > 0) seen_writes_.insert(fd); @@ (void)0; @@ watch: writes seen by the watch ignored
runtime/file_replace.cpp @@ !same_file_state(os().file_state(file), before); @@ false; @@ written_elsewhere: state after the settle not compared
runtime/console.cpp @@ if (answer.size() >= 2 && os().stdin_is_terminal()) os().run_command(answer); @@ if (answer.size() >= 2) os().run_command(answer); @@ pause: an answer not typed at a terminal is run
hilfen/feedfix/run_locks.cpp @@ os().unlock_current_directory(); @@ (void)0; @@ run_locks: directory kept while waiting for the plot file
hilfen/feedfix/run_locks.cpp @@   lock_directory(); @@   (void)0; @@ run_locks: directory not taken again after the wait
hilfen/feedfix/run_locks.cpp @@ return false; @@ return true; @@ run_locks: no fresh start after the directory was given back
hilfen/feedfix/plot_transaction.cpp @@ r.intent.corrected.id == written.id; @@ true; @@ prepare: ~ffx.log not compared with the file written
hilfen/feedfix/plot_transaction.cpp @@ return own_file(now) && now.id == corrected.id @@ return now.exists && now.id == corrected.id @@ log_as_recorded: a ~ffx.log not the user's own accepted
runtime/file_replace.cpp @@ state.exists && state.regular && !state.link && state.mine && state.links == 1 @@ state.exists && state.regular && state.mine && state.links == 1 @@ own_file: a link counts as own
hilfen/feedfix/plot_transaction.cpp @@ now.id == corrected.id && now.size == corrected.size && @@ now.size == corrected.size && @@ log_as_recorded: another file under the name accepted
hilfen/feedfix/plot_transaction.cpp @@ now.modified == corrected.modified; @@ true; @@ log_as_recorded: a ~ffx.log written since accepted
hilfen/feedfix/plot_transaction.cpp @@ return method == ReplaceMethod::rename ? Recovery::write_back : Recovery::drop_record; @@ return Recovery::write_back; @@ classify_recovery: corrected plot written back whatever the method
hilfen/feedfix/plot_transaction.cpp @@ return method == ReplaceMethod::in_place && log_kept && stopped_copy ? Recovery::finish_copy @@ return method == ReplaceMethod::in_place && log_kept ? Recovery::finish_copy @@ classify_recovery: copy in place finished without the stopped-copy look
hilfen/feedfix/plot_transaction.cpp @@ } else if (plot.exists && plot.id == intent.corrected.id) { @@ } else if (plot.exists && plot.id != intent.corrected.id) { @@ recovery: any other plot taken as the corrected one
hilfen/feedfix/plot_transaction.cpp @@ } else if (plot.exists && plot.id == intent.plot_before.id) { @@ } else if (plot.exists) { @@ recovery: any other plot taken as the same file
hilfen/feedfix/plot_transaction.cpp @@ bool match = log.error == OsError::none && seen.id == intent.plot_before.id && @@ bool match = log.error == OsError::none && @@ stopped_copy_in_place: identity of the plot not checked
hilfen/feedfix/plot_transaction.cpp @@ !written_elsewhere(plot.handle); @@ true; @@ stopped_copy_in_place: a plot held open for writing accepted
hilfen/feedfix/plot_transaction.cpp @@ (seen.size == intent.corrected.size || seen.size == 0) && @@ true && @@ stopped_copy_in_place: size not checked
hilfen/feedfix/plot_transaction.cpp @@ match = all_zero(differs.first, @@ match = true || all_zero(differs.first, @@ stopped_copy_in_place: bytes past the copy not checked for zeros
hilfen/feedfix/plot_transaction.cpp @@ if (!match || got_a != got_b) { @@ if (!match) { @@ stopped_copy_in_place: blocks of unequal length accepted
hilfen/feedfix/plot_transaction.cpp @@ if (record(r, ReplaceMethod::in_place) && @@ if ((record(r, ReplaceMethod::in_place) || true) && @@ replace_plot: copy in place made without a record
hilfen/feedfix/plot_transaction.cpp @@ same_file_state(os().path_state(plot), r.intent.plot_before)) { @@ true) { @@ replace_plot: plot not looked at before the copy in place
hilfen/feedfix/plot_transaction.cpp @@ if (r.replaced && !r.moved && log_as_recorded(r.intent.corrected)) { @@ if (r.replaced && !r.moved) { @@ end_replacement: ~ffx.log removed whoever's it is
runtime/file_replace.cpp @@ if (e == OsError::none && !still_expected(target_, expected)) e = OsError::changed; @@ (void)0; @@ NewFile::keep: target not looked at after the sync
runtime/file_replace.cpp @@ if (!still_expected(target, expected)) return OsError::changed; @@ (void)0; @@ move_over: target not looked at before the open
runtime/file_replace.cpp @@ if (e == OsError::none && !still_expected(target, expected)) e = OsError::changed; @@ (void)0; @@ move_over: target not looked at after the sync
runtime/file_replace.cpp @@ target.links != 1 || !target.identity_givable @@ !target.identity_givable @@ choose_route: a plot with a second name replaced by a new file
runtime/file_replace.cpp @@ target.links != 1 || !target.identity_givable @@ target.links != 1 @@ choose_route: owner that cannot be given ignored
hilfen/feedfix/driver.cpp @@ return !seen.regular || same_file_state(now, seen); @@ return seen.regular || same_file_state(now, seen); @@ plot_unchanged: always true for a plot file
hilfen/feedfix/driver.cpp @@ if (loop.run_ok && (!plot_unchanged(unit_file_state(k_plot_unit), plot_seen) || @@ if (loop.run_ok && (false || @@ close_after_loop: open plot's state not compared
hilfen/feedfix/driver.cpp @@ unit_written_elsewhere(k_plot_unit))) { @@ false)) { @@ close_after_loop: writer elsewhere not asked for
hilfen/feedfix/driver.cpp @@ if (loop.run_ok && !plot_unchanged(os().path_state(plot_name), plot_seen)) loop.run_ok = false; @@ (void)0; @@ close_after_loop: the plot's name not looked at
hilfen/feedfix/driver.cpp @@ !plot_unchanged(os().path_state(plot_name), plot_seen))) { @@ false)) { @@ driver: last look before the replacement skipped
hilfen/feedfix/driver.cpp @@ if (locked == unit_file_state(k_plot_unit).id) return true; @@ return true; @@ take_turns: a plot replaced while waiting not read again
hilfen/feedfix/intent_record.cpp @@ return in_range(Settings{intent.pg_threshold, intent.carried_shift}) && @@ return true && @@ plausible: settings outside their ranges accepted
hilfen/feedfix/intent_record.cpp @@ intent.plot_name.find('\0') == std::string::npos && @@ true && @@ plausible: a name holding NUL accepted
hilfen/feedfix/intent_record.cpp @@ intent.plot_name.size() <= static_cast<std::size_t>(k_max_name_length) && @@ intent.plot_name.size() <= static_cast<std::size_t>(k_max_name_length) + 1 && @@ plausible: name length limit off by one
hilfen/feedfix/intent_record.cpp @@ intent.plot_before.exists && @@ true && @@ plausible: record without a plot state accepted
hilfen/feedfix/intent_record.cpp @@ if (!r.ok || !r.rest.empty() || !plausible(read)) return false; @@ if (!r.ok || !r.rest.empty()) return false; @@ parse_intent: plausibility not checked
hilfen/feedfix/intent_record.cpp @@ if (!r.ok || !r.rest.empty() || !plausible(read)) return false; @@ if (!r.ok || !plausible(read)) return false; @@ parse_intent: bytes after the end accepted
hilfen/feedfix/intent_record.cpp @@ if (opened.error == OsError::access_denied) return IntentFound::foreign; @@ (void)0; @@ read_intent: another user's record stops the run
runtime/record_file.cpp @@ if (scratch && there.exists && open_on_a_unit(there.id)) return k_io_unit_busy; @@ (void)0; @@ open_unit: scratch name of an open file replaced
runtime/record_file.cpp @@ if (open_on_a_unit(id)) { @@ if (open_on_a_unit(id) && false) { @@ open_unit: one file opened on two units
runtime/file_replace.cpp @@ if (target.exists && (!target.regular || !target.writable)) return Route::refused; @@ (void)0; @@ choose_route: a read-only or special plot replaced
runtime/file_replace.cpp @@ (!target.exists || f.ready.id.volume == target.id.volume) @@ true @@ choose_route: a rename across volumes
runtime/record_file.cpp @@ if (create == Create::create_if_missing && access == Access::write && !there.exists && @@ if (false && @@ open_unit: the default settings file made in place (empty after a stop)
runtime/record_write.cpp @@ if (how == Close::delete_file && !closed.name_not_ours && @@ if (how == Close::delete_file && @@ close_unit: another user's file under the scratch name removed
runtime/file_replace.cpp @@ if (own_file(opened) && (r.created || opened.id == there.id)) { @@ if (true) { @@ open_scratch: a file swapped in after the look used
runtime/record_write.cpp @@ closed.side.keep(closed.created ? &none : nullptr) @@ closed.side.keep(nullptr) @@ close_unit: a made file renamed over one that appeared meanwhile
runtime/file_replace.cpp @@ if (e != OsError::access_denied || !facts.target.exists) return e; @@ return e; @@ copy_over: no rewrite in place where no new file is allowed
runtime/io_beside.cpp @@ return record.after > made; @@ return record.after > made && false; @@ console: a record held for a write not yet made printed
TABLE

# Exact replacement: `check` verifies every fragment, `apply N` changes the
# file of mutant N (1-based), `show N` prints its file and what it does.
read -r -d '' TOOL <<'PY'
import os, sys
rows = []
for line in os.environ["MUTANTS"].splitlines():
    if not line.strip() or line.lstrip().startswith("#"):
        continue
    parts = line.split(" @@ ")
    if len(parts) != 4:
        sys.exit(f"table: malformed line: {line}")
    rows.append(parts)
tree, command = sys.argv[1], sys.argv[2]

def text_of(n):
    path = os.path.join(tree, rows[n][0])
    if not os.path.isfile(path):
        sys.exit(f"table: mutant {n + 1}: no file {rows[n][0]}")
    with open(path, encoding="utf-8") as f:
        return path, f.read()

if command == "count":
    print(len(rows))
elif command == "check":
    bad = 0
    for n, (file, old, new, what) in enumerate(rows):
        _, text = text_of(n)
        found = text.count(old)
        if found != 1:
            print(f"table: mutant {n + 1} ({what}): fragment found {found} times in {file}: {old}")
            bad += 1
        if old == new:
            print(f"table: mutant {n + 1}: replacement equals the fragment")
            bad += 1
    sys.exit(1 if bad else 0)
elif command == "apply":
    n = int(sys.argv[3]) - 1
    path, text = text_of(n)
    file, old, new, what = rows[n]
    if text.count(old) != 1:
        sys.exit(f"table: mutant {n + 1}: fragment not found exactly once in {file}")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text.replace(old, new, 1))
elif command == "show":
    file, old, new, what = rows[int(sys.argv[3]) - 1]
    print(f"{file}\t{what}")
elif command == "list":
    for n, (file, old, new, what) in enumerate(rows):
        print(f"{n + 1:3d} {file}: {what}\n      - {old}\n      + {new}")
PY
export MUTANTS

usage() { echo "usage: scripts/mutate.sh [--only N,M,...] [--unit-only] [--list]" >&2; exit 2; }
only=""
unit_only=0
list=0
while [ $# -gt 0 ]; do
  case $1 in
    --only) [ $# -ge 2 ] || usage; only=$2; shift 2 ;;
    --only=*) only=${1#--only=}; shift ;;
    --unit-only) unit_only=1; shift ;;
    --list) list=1; shift ;;
    *) usage ;;
  esac
done

root=$(git -C "$(dirname "${BASH_SOURCE[0]}")" rev-parse --show-toplevel) || exit 2
tool() { python3 -c "$TOOL" "$@"; }

if [ "$list" = 1 ]; then
  tool "$root" list
  exit 0
fi
total=$(tool "$root" count) || exit 2
selected=()
if [ -n "$only" ]; then
  IFS=, read -r -a selected <<<"$only"
  for n in "${selected[@]}"; do
    [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 1 ] && [ "$n" -le "$total" ] ||
      { echo "mutate: no mutant $n (1..$total)" >&2; exit 2; }
  done
else
  mapfile -t selected < <(seq 1 "$total")
fi
if [ "$unit_only" = 0 ] && [ "$(id -u)" != 0 ]; then
  echo "mutate: the black-box checks run as root; use --unit-only otherwise" >&2
  exit 2
fi

logs=${MUTATE_LOGS:-$(mktemp -d /tmp/feedfix-mutate-logs.XXXXXX)}
mkdir -p "$logs"
scratch=""
if [ -n "${MUTATE_TREE:-}" ]; then
  tree=$MUTATE_TREE
  if [ ! -e "$tree/.git" ]; then
    git -C "$root" worktree add --detach "$tree" HEAD >"$logs/worktree.log" 2>&1 ||
      { cat "$logs/worktree.log" >&2; exit 2; }
  fi
else
  scratch=$(mktemp -d /tmp/feedfix-mutate.XXXXXX)
  tree=$scratch/tree
  git -C "$root" worktree add --detach "$tree" HEAD >"$logs/worktree.log" 2>&1 ||
    { cat "$logs/worktree.log" >&2; exit 2; }
fi
cleanup() {
  # The tree goes back to HEAD; a temporary one goes altogether.
  [ -n "${current_file:-}" ] && git -C "$tree" checkout -q -- "$current_file"
  if [ -n "$scratch" ]; then
    git -C "$root" worktree remove --force "$tree" >/dev/null 2>&1
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
current_file=""

tool "$tree" check || { echo "mutate: the table no longer matches the code" >&2; exit 2; }

build() { (cd "$tree" && nice -n 19 cmake --build build -j2) >"$1" 2>&1; }
unit_tests() {
  (cd "$tree/build" && nice -n 19 timeout -k 10 300 ./feedfix_tests --gtest_brief=1) >"$1" 2>&1
}
# The FAIL lines of a black-box script, sorted; a hang of the whole script
# (killed after 15 minutes) is one more.
shared_fails() {
  (cd "$tree" && nice -n 19 timeout -k 10 900 scripts/shared-dir.sh build/feedfix) >"$1" 2>&1
  local status=$?
  { grep '^FAIL' "$1"; [ "$status" = 124 ] || [ "$status" = 137 ] && echo "FAIL hung"; } | sort -u
}
safety_fails() {
  (cd "$tree" && SEED=${SEED:-1} nice -n 19 timeout -k 10 900 scripts/safety.sh build/feedfix 10 10) \
    >"$1" 2>&1
  local status=$?
  { grep '^FAIL' "$1"; [ "$status" = 124 ] || [ "$status" = 137 ] && echo "FAIL hung"; } | sort -u
}
# Whether $1 (FAIL lines of a mutant) has one that $2 (the unchanged
# program's) has not.
base_of() { if [ "$1" = shared ]; then printf '%s' "$base_shared"; else printf '%s' "$base_safety"; fi; }
new_fails() { [ -n "$(comm -23 <(printf '%s\n' "$1") <(printf '%s\n' "$2") | grep .)" ]; }

echo "== mutation check of the guards: ${#selected[@]} of $total mutants in $tree (logs: $logs)"
if [ ! -f "$tree/build/CMakeCache.txt" ]; then
  (cd "$tree" && nice -n 19 cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFEEDFIX_TESTS=ON \
    -DFEEDFIX_WERROR=OFF) >"$logs/configure.log" 2>&1 ||
    { echo "mutate: configure failed, see $logs/configure.log" >&2; exit 2; }
fi
build "$logs/base.build" || { echo "mutate: HEAD does not build, see $logs/base.build" >&2; exit 2; }
unit_tests "$logs/base.unit" || { echo "mutate: unit tests fail on HEAD, see $logs/base.unit" >&2; exit 2; }
if [ "$unit_only" = 0 ]; then
  base_shared=$(shared_fails "$logs/base.shared")
  base_safety=$(safety_fails "$logs/base.safety")
  [ -z "$base_shared" ] || printf 'note: shared-dir fails on HEAD already (not counted):\n%s\n' "$base_shared"
  [ -z "$base_safety" ] || printf 'note: safety fails on HEAD already (not counted):\n%s\n' "$base_safety"
fi

caught=0
missed=0
invalid=0
for n in "${selected[@]}"; do
  IFS=$'\t' read -r file what < <(tool "$tree" show "$n")
  current_file=$file
  tool "$tree" apply "$n" || exit 2
  verdict=""
  note=""
  if ! build "$logs/$n.build"; then
    verdict=invalid
  elif ! unit_tests "$logs/$n.unit"; then
    verdict=caught-unit
  elif [ "$unit_only" = 1 ]; then
    verdict=MISSED
  else
    # A black-box check that fails counts once it fails again: timing on
    # two shared cores can make a single run fail.
    verdict=MISSED
    for check in shared safety; do
      if new_fails "$("${check}_fails" "$logs/$n.$check")" "$(base_of "$check")"; then
        if new_fails "$("${check}_fails" "$logs/$n.$check.again")" "$(base_of "$check")"; then
          verdict=caught-$check
          break
        fi
        note="$note (scripts/$check: one of two runs failed)"
      fi
    done
  fi
  git -C "$tree" checkout -q -- "$file"
  current_file=""
  case $verdict in
    invalid) invalid=$((invalid + 1)) ;;
    MISSED) missed=$((missed + 1)) ;;
    *) caught=$((caught + 1)) ;;
  esac
  printf '%3d %-13s %s: %s%s\n' "$n" "$verdict" "$file" "$what" "$note"
done
# The tree is HEAD again; a kept one is left built as HEAD.
build "$logs/final.build" || true
echo "${#selected[@]} mutants: $caught caught, $missed missed, $invalid invalid$(
  [ "$unit_only" = 1 ] && echo " (unit tests only)")"
echo "logs: $logs"
