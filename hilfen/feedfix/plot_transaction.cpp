// The plot transaction: the corrected plot put in place of the plot file.
//
// How the corrected plot takes the plot's place, so that a stop anywhere
// (a kill, a power loss) leaves the plot whole, old or new, with the shift
// that belongs to it:
//  1. ~ffx.log, written in full, is synced: the corrected records are
//     durable before anything points to them.
//  2. The intent record ~ffx.jnl is written and synced before the plot is
//     touched. It names the way the plot is replaced (a rename of ~ffx.log,
//     a copy beside the plot, a copy into the plot itself), the plot as the
//     run read it, ~ffx.log, a copy beside once it is durable, and the
//     settings to write back.
//  3. The plot is replaced: ~ffx.log renamed over it; else a copy made
//     beside it, synced, and renamed over it; else, where no new file can
//     take its place, the plot rewritten in place. A rename is made only
//     while the plot is still exactly the file the run read, checked after
//     every sync, right before the rename.
//  4. The settings are written back, then the record is removed, then a
//     copied ~ffx.log.
// The next run acts on a record only when it is the running user's own
// private file, and only on what it says: a rename or a copy beside is
// finished while the plot is exactly the recorded one, a copy in place only
// while the plot is the same file and shows nothing but the stopped copy;
// anything else is someone else's, and is left alone. A rename or a copy
// beside cannot tear the plot, so where no record can be written (a current
// directory that takes no new file) they are still made; only the copy in
// place needs the record.
#include "hilfen/feedfix/plot_transaction.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "Ftn/ftnfco.h"
#include "hilfen/feedfix/file_names.h"
#include "hilfen/feedfix/messages.h"
#include "hilfen/feedfix/run_locks.h"
#include "hilfen/feedfix/settings.h"
#include "runtime/console.h"
#include "runtime/file_replace.h"

namespace {

// A NUL-terminated text, as the file routines take it.
constexpr const char* k_temp_name = k_temp_file.data();
constexpr std::int16_t k_temp_name_len = k_temp_file_len;
constexpr std::int16_t k_failed = 3;


/// Whether ~ffx.log is the run's own private file, in the state recorded.
bool log_as_recorded(const FileState& corrected) {
  const FileState now = os().name_state(k_temp_name);
  return own_file(now) && now.id == corrected.id && now.size == corrected.size &&
         now.modified == corrected.modified;
}

/// Records the intent to replace the plot by `method`. Where no record can
/// be written, an older one of this replacement goes too, so that none
/// names a way the plot is not being replaced.
bool record(Replacement& r, ReplaceMethod method) {
  r.intent.method = method;
  const bool had = r.recorded;
  r.recorded = write_intent(r.intent) == OsError::none;
  if (!r.recorded && had) (void)remove_intent();
  return r.recorded;
}

/// Opens ~ffx.log for reading, only while it is the file recorded.
OpenResult open_log(const FileState& corrected) {
  OpenResult log = open_own(k_temp_name);
  if (log.error == OsError::none && os().file_state(log.handle).id != corrected.id) {
    (void)os().close_file(log.handle);  // Only read.
    log.error = OsError::changed;
  }
  return log;
}

/// Copies all of ~ffx.log into the new file `to`.
OsError copy_log_into(FileHandle to, const FileState& corrected) {
  const OpenResult log = open_log(corrected);
  if (log.error != OsError::none) return log.error;
  const OsError e = os().copy_data(log.handle, to);
  (void)os().close_file(log.handle);  // Only read.
  return e;
}

/// Copies ~ffx.log into a new file beside the plot, durably, records it and
/// renames it over the plot. `place_refused`: the system refused the new
/// file, or the plot's identity for it (not a copy that failed on the way).
OsError copy_beside(Replacement& r, bool& place_refused) {
  OsError e = OsError::none;
  NewFile side = NewFile::beside(r.intent.plot_name, e);
  place_refused = e == OsError::access_denied;
  if (e != OsError::none) return e;
  e = copy_log_into(side.handle(), r.intent.corrected);
  if (e == OsError::none) e = os().sync_file(side.handle());
  if (e != OsError::none) return e;
  r.intent.beside = os().file_state(side.handle());
  // Without a record the rename still cannot tear the plot.
  (void)record(r, ReplaceMethod::beside);
  e = side.keep(&r.intent.plot_before);
  place_refused = e == OsError::access_denied;
  return e;
}

/// Whether `block` holds only zero bytes.
bool all_zero(const char* block, std::size_t size) {
  return std::all_of(block, block + size, [](char c) { return c == '\0'; });
}

/// Reads up to a whole block, however the reads come; false on an error.
bool read_block(FileHandle file, std::array<char, 4096>& block, std::size_t& got) {
  for (got = 0; got < block.size();) {
    const ReadResult r = os().read_file(file, block.data() + got, block.size() - got);
    if (r.error != OsError::none) return false;
    if (r.count == 0) break;
    got += r.count;
  }
  return true;
}

/// Whether the plot file shows nothing but a copy in place of ~ffx.log that
/// stopped on the way: not held open for writing, and empty or of ~ffx.log's
/// size with each block ~ffx.log's bytes up to some point and zeros from
/// there (the copy empties the file and sets its size first, so what it has
/// not reached reads as zeros).
bool stopped_copy_in_place(const Intent& intent) {
  const OpenResult plot = os().open_file(intent.plot_name, Access::read, Create::must_exist);
  if (plot.error != OsError::none) return false;
  const OpenResult log = open_log(intent.corrected);
  const FileState seen = os().file_state(plot.handle);
  bool match = log.error == OsError::none && seen.id == intent.plot_before.id &&
               (seen.size == intent.corrected.size || seen.size == 0) &&
               !written_elsewhere(plot.handle);
  // Emptied, not yet set to its new size: a copy stopped right at its start
  // (emptying a large file takes a while). No export leaves an empty plot.
  const bool emptied = seen.size == 0;
  std::array<char, 4096> a;
  std::array<char, 4096> b;
  while (match && !emptied) {
    std::size_t got_a = 0;
    std::size_t got_b = 0;
    match = read_block(plot.handle, a, got_a) && read_block(log.handle, b, got_b);
    if (!match || got_a != got_b) {
      match = false;
      break;
    }
    if (got_a == 0) break;
    // Within a block the copy got as far as the first byte that differs;
    // from there on the block must still be zeros.
    const auto differs = std::mismatch(a.data(), a.data() + got_a, b.data());
    match = all_zero(differs.first, static_cast<std::size_t>(a.data() + got_a - differs.first));
  }
  if (log.error == OsError::none) (void)os().close_file(log.handle);  // Only read.
  (void)os().close_file(plot.handle);
  return match;
}

/// Copies ~ffx.log into the plot file itself by the file routine.
void copy_into_plot(Replacement& r, std::int16_t& cleanup_status) {
  const std::int16_t plot_name_len = static_cast<std::int16_t>(r.intent.plot_name.size());
  FTNFCO(cleanup_status, /*reserved=*/0, k_temp_name, k_temp_name_len, r.intent.plot_name.data(),
         plot_name_len);
  r.replaced = cleanup_status == 0;
}

/// Puts ~ffx.log in place of the plot file by the route the plot allows
/// (see the protocol above). `cleanup_status` becomes 0 when the plot file
/// was replaced and 3 when not.
void replace_plot(Replacement& r, std::int16_t& cleanup_status) {
  cleanup_status = k_failed;
  const std::string& plot = r.intent.plot_name;
  // ~ffx.log as it stands now may take the plot's place by a rename.
  RouteFacts facts{.target = os().path_state(plot), .ready = os().name_state(k_temp_name)};
  if (facts.ready.id != r.intent.corrected.id) facts.ready = FileState{};
  // Only a route the system refused gives way to the next: a plot that
  // changed meanwhile is someone else's, and a copy that failed on the way
  // is not made again.
  for (bool gave_way = true; gave_way;) {
    OsError e = OsError::other;
    switch (choose_route(facts)) {
      case Route::refused:
        return;
      case Route::rename:
        (void)record(r, ReplaceMethod::rename);
        e = move_over(k_temp_name, r.intent.corrected, plot, &r.intent.plot_before);
        r.moved = e == OsError::none;
        gave_way = e != OsError::none && e != OsError::changed;
        if (gave_way) facts.ready = FileState{};
        break;
      case Route::beside:
        e = copy_beside(r, facts.new_file_refused);
        gave_way = facts.new_file_refused;
        break;
      case Route::in_place:
        // Only under a record, so that a copy stopped half way can be
        // finished, and only while the plot is as read.
        if (record(r, ReplaceMethod::in_place) &&
            same_file_state(os().path_state(plot), r.intent.plot_before)) {
          copy_into_plot(r, cleanup_status);
        }
        return;
    }
    if (e == OsError::none) {
      r.replaced = true;
      cleanup_status = 0;
      return;
    }
  }
}

/// After the settings are written back: removes the record, then a copied
/// ~ffx.log (`cleanup_status` 3 where that fails).
void end_replacement(const Replacement& r, std::int16_t& cleanup_status) {
  if (r.recorded) {
    const bool plot_whole =
        r.replaced || same_file_state(os().path_state(r.intent.plot_name), r.intent.plot_before);
    // A failed removal leaves a record whose files no longer match it; the
    // next run finds nothing to do for it and removes it.
    if (plot_whole) (void)remove_intent();
  }
  // Only the copy the run made, as it made it.
  if (r.replaced && !r.moved && log_as_recorded(r.intent.corrected)) {
    FTNFDE(cleanup_status, /*reserved=*/0, k_temp_name, k_temp_name_len);
  }
}

/// The commit's last steps: the settings written back, then the record and
/// a copied ~ffx.log removed (`replaced`: nullptr where the plot file was
/// left as it was). Gives the message the run ends with.
std::string_view write_back(const Replacement* r, std::int32_t pg_threshold,
                            std::int32_t carried_shift, std::int16_t& cleanup_status) {
  const bool saved = store_settings(pg_threshold, carried_shift);
  if (r != nullptr) end_replacement(*r, cleanup_status);
  if (!saved) return message::ini_not_writable;
  return cleanup_status == 0 ? std::string_view{} : message::cleanup_failed;
}

}  // namespace

bool prepare_replacement(Replacement& r, const std::string& plot_name,
                         const FileState& plot_before, const FileState& written,
                         std::int32_t pg_threshold, std::int32_t carried_shift) {
  r = Replacement{};
  r.intent.plot_name = plot_name;
  r.intent.plot_before = plot_before;
  r.intent.pg_threshold = pg_threshold;
  r.intent.carried_shift = carried_shift;
  const OpenResult log = open_own(k_temp_name);
  if (log.error != OsError::none) return false;
  const OsError synced = os().sync_file(log.handle);
  r.intent.corrected = os().file_state(log.handle);
  (void)os().close_file(log.handle);  // Only read; the sync has said what matters.
  // Another file under the name (one of the user's own that someone who may
  // write the directory moved there) is no corrected copy.
  return synced == OsError::none && r.intent.corrected.exists && written.exists &&
         r.intent.corrected.id == written.id;
}

std::string_view commit_replacement(Replacement* r, std::int32_t pg_threshold,
                                    std::int32_t carried_shift) {
  std::int16_t cleanup_status = 0;
  // A failure here is reported only after the settings are written back.
  if (r != nullptr) replace_plot(*r, cleanup_status);
  return write_back(r, pg_threshold, carried_shift, cleanup_status);
}

Recovery classify_recovery(ReplaceMethod method, PlotFound plot, bool log_kept,
                           bool stopped_copy) {
  switch (plot) {
    case PlotFound::as_read:
      // Stopped before the plot was touched: made again from ~ffx.log.
      return log_kept ? Recovery::replace_again : Recovery::drop_record;
    case PlotFound::corrected:
      return method == ReplaceMethod::rename ? Recovery::write_back : Recovery::drop_record;
    case PlotFound::copy_beside:
      return method == ReplaceMethod::beside ? Recovery::write_back : Recovery::drop_record;
    case PlotFound::same_file:
      return method == ReplaceMethod::in_place && log_kept && stopped_copy ? Recovery::finish_copy
                                                                         : Recovery::drop_record;
    case PlotFound::other:
      break;
  }
  return Recovery::drop_record;
}

bool finish_interrupted_replacement() {
  Replacement r;
  switch (read_intent(r.intent)) {
    case IntentFound::none:
    case IntentFound::foreign:  // Not this user's: neither acted on nor removed.
      return true;
    case IntentFound::garbage:
      (void)remove_intent();  // The user's own file, but no record: nothing to finish.
      return true;
    case IntentFound::unreadable:
      // What it says cannot be known; ~ffx.log may be the only whole copy.
      stop_run(message::cleanup_failed);
    case IntentFound::found:
      break;
  }
  r.recorded = true;
  const Intent& intent = r.intent;
  // Runs on this plot file from other directories take turns with this one.
  FileId locked;
  if (!lock_plot_file(intent.plot_name, locked)) return false;

  // What the run finds, then what it does.
  const bool log_kept = log_as_recorded(intent.corrected);
  const FileState plot = os().path_state(intent.plot_name);
  PlotFound found = PlotFound::other;
  if (same_file_state(plot, intent.plot_before)) {
    found = PlotFound::as_read;
  } else if (plot.exists && plot.id == intent.corrected.id) {
    found = PlotFound::corrected;
  } else if (plot.exists && intent.beside.exists && plot.id == intent.beside.id) {
    found = PlotFound::copy_beside;
  } else if (plot.exists && plot.id == intent.plot_before.id) {
    found = PlotFound::same_file;
  }
  // Read only where it can decide anything: it reads both files through.
  const bool stopped_copy = found == PlotFound::same_file &&
                            intent.method == ReplaceMethod::in_place && log_kept &&
                            stopped_copy_in_place(intent);

  std::int16_t status = k_failed;
  switch (classify_recovery(intent.method, found, log_kept, stopped_copy)) {
    case Recovery::drop_record:
      (void)remove_intent();
      return true;
    case Recovery::replace_again:
      replace_plot(r, status);
      if (!r.replaced) {
        if (!same_file_state(os().path_state(intent.plot_name), intent.plot_before)) {
          stop_run(message::cleanup_failed);
        }
        // The plot file is whole and old: the shift of the old plot stays.
        (void)remove_intent();
        return true;
      }
      break;
    case Recovery::finish_copy:
      copy_into_plot(r, status);
      if (!r.replaced) stop_run(message::cleanup_failed);
      break;
    case Recovery::write_back:
      r.replaced = true;
      r.moved = found == PlotFound::corrected;
      break;
  }
  // What is left of the commit; a copied ~ffx.log that cannot be removed
  // changes nothing of the plot or its shift.
  status = 0;
  if (write_back(&r, intent.pg_threshold, intent.carried_shift, status) ==
      message::ini_not_writable) {
    stop_run(message::ini_not_writable);
  }
  return true;
}
