// The plot file's replacement and its intent record.
#include "hilfen/feedfix/plot_replacement.h"

#include <array>
#include <cstring>

#include "Ftn/ftnfco.h"
#include "hilfen/feedfix/intent_record.h"
#include "hilfen/feedfix/settings.h"
#include "runtime/console.h"

namespace {

constexpr char k_temp_name[] = "~ffx.log";
constexpr std::int16_t k_temp_name_len = 8;
constexpr std::int16_t k_failed = 3;

constexpr std::string_view k_cleanup_failed = "Error on cleaning up plot files.";

/// Puts ~ffx.log in place of the plot file: renamed where that is one step,
/// else copied by the file routine.
void put_in_place(Replacement& r, std::int16_t& cleanup_status) {
  if (os().move_replace(k_temp_name, r.plot_name) == OsError::none) {
    r.replaced = r.moved = true;
    cleanup_status = 0;
    return;
  }
  const std::int16_t plot_name_len = static_cast<std::int16_t>(r.plot_name.size());
  FTNFCO(cleanup_status, /*reserved=*/0, k_temp_name, k_temp_name_len, r.plot_name.data(),
         plot_name_len);
  r.replaced = cleanup_status == 0;
}

enum class Match { equal, prefix, differ };

/// How the file `a` stands to the file `b`: the same bytes, the first part of
/// them (a copy cut short), or other bytes (also when either cannot be read).
Match compare_files(const std::string& a, const std::string& b) {
  const OpenResult fa = os().open_file(a, Access::read, Create::must_exist);
  if (fa.error != OsError::none) return Match::differ;
  const OpenResult fb = os().open_file(b, Access::read, Create::must_exist);
  if (fb.error != OsError::none) {
    (void)os().close_file(fa.handle);  // Only read.
    return Match::differ;
  }
  constexpr std::size_t k_chunk = 64 * 1024;
  std::array<char, k_chunk> ba;
  std::array<char, k_chunk> bb;
  Match match = Match::differ;
  for (;;) {
    ReadResult ra = os().read_file(fa.handle, ba.data(), ba.size());
    // `b` is read to the same length as `a`, however its reads come.
    std::size_t got = 0;
    ReadResult rb;
    while (rb.error == OsError::none && got < ra.count) {
      rb = os().read_file(fb.handle, bb.data() + got, ra.count - got);
      if (rb.count == 0) break;
      got += rb.count;
    }
    if (ra.error != OsError::none || rb.error != OsError::none) break;
    if (got < ra.count || std::memcmp(ba.data(), bb.data(), got) != 0) break;
    if (ra.count == 0) {
      const ReadResult more = os().read_file(fb.handle, bb.data(), 1);
      if (more.error == OsError::none) match = more.count == 0 ? Match::equal : Match::prefix;
      break;
    }
  }
  (void)os().close_file(fa.handle);
  (void)os().close_file(fb.handle);
  return match;
}

}  // namespace

Replacement record_replacement(const std::string& plot_name, const FileState& plot_before,
                               std::int32_t pg_threshold, std::int32_t carried_shift) {
  Replacement r;
  r.plot_name = plot_name;
  r.plot_before = plot_before;
  const Intent intent{plot_name, pg_threshold, carried_shift, plot_before,
                      os().path_state(k_temp_name)};
  r.recorded = write_intent(intent) == OsError::none;
  return r;
}

void replace_plot(Replacement& r, std::int16_t& cleanup_status) {
  cleanup_status = k_failed;
  // Without the record a stop during the replacement could not be finished:
  // the plot file stays as it is, ~ffx.log holds the corrected records.
  if (r.recorded) put_in_place(r, cleanup_status);
}

void cancel_replacement(Replacement& r) {
  if (r.recorded) (void)remove_intent();
  r.recorded = false;
}

void end_replacement(const Replacement& r, std::int16_t& cleanup_status) {
  if (r.recorded) {
    const bool plot_whole =
        r.replaced || same_file_state(os().path_state(r.plot_name), r.plot_before);
    // A failed removal leaves a record whose files no longer match it; the
    // next run finds nothing to do for it and removes it.
    if (plot_whole) (void)remove_intent();
  }
  if (r.replaced && !r.moved) {
    FTNFDE(cleanup_status, /*reserved=*/0, k_temp_name, k_temp_name_len);
  }
}

void finish_interrupted_replacement() {
  Intent intent;
  switch (read_intent(intent)) {
    case IntentFound::none:
      return;
    case IntentFound::garbage:
      (void)remove_intent();  // No record of ours: nothing to finish.
      return;
    case IntentFound::unreadable:
      // What it says cannot be known; ~ffx.log may be the only whole copy.
      stop_run(k_cleanup_failed);
    case IntentFound::found:
      break;
  }
  Replacement r;
  r.plot_name = intent.plot_name;
  r.plot_before = intent.plot_before;
  const bool kept = same_file_state(os().path_state(k_temp_name), intent.corrected);
  if (kept) {
    const FileState plot = os().path_state(intent.plot_name);
    bool redo = same_file_state(plot, intent.plot_before);
    if (!redo) {
      const Match match = compare_files(intent.plot_name, k_temp_name);
      // A copy cut short is finished; a plot file changed by someone else
      // since is theirs, and the settings stay as they are.
      if (match == Match::differ) {
        (void)remove_intent();
        return;
      }
      redo = match == Match::prefix;
    }
    if (redo) {
      std::int16_t status = k_failed;
      put_in_place(r, status);
      if (!r.replaced) {
        if (!same_file_state(os().path_state(intent.plot_name), intent.plot_before)) {
          stop_run(k_cleanup_failed);
        }
        // The plot file is whole and old: the shift of the old plot stays.
        (void)remove_intent();
        return;
      }
    }
  } else if (!same_file_state(os().path_state(intent.plot_name), intent.corrected)) {
    // ~ffx.log neither kept nor renamed over the plot file: the record
    // belongs to files that have changed since.
    (void)remove_intent();
    return;
  }
  if (!store_settings(intent.pg_threshold, intent.carried_shift)) {
    (void)remove_intent();
    stop_run("INI-file not opened (for writing).");
  }
  (void)remove_intent();
  if (kept && !r.moved) (void)os().remove_file(k_temp_name);
}
