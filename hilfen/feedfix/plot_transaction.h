// The plot transaction: putting the corrected plot in place of the plot file,
// with the way it is done recorded first, and finishing what a stopped run
// left undone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "hilfen/feedfix/intent_record.h"
#include "runtime/os.h"

/// What a replacement did.
struct Replacement {
  Intent intent;          // the plot, its state as read, ~ffx.log, the settings
  bool recorded = false;  // the intent record stands
  bool replaced = false;  // the plot file holds the corrected records
  bool moved = false;     // ~ffx.log itself became the plot file
};

/// Makes ~ffx.log, the corrected copy of the plot file `plot_name` that the
/// run read as `plot_before`, durable, and notes the settings to write back.
/// False when ~ffx.log is not the run's own file as it was written (the file
/// `written`, as its handle showed it before its close), or cannot be made
/// durable: the plot file must then not be replaced.
bool prepare_replacement(Replacement& replacement, const std::string& plot_name,
                         const FileState& plot_before, const FileState& written,
                         std::int32_t pg_threshold, std::int32_t carried_shift);

/// The commit, once the run has said "  OK": ~ffx.log put in place of the
/// plot file where the records changed (`replacement` not null), with the
/// way it does so recorded first: renamed over it where that is one step,
/// else copied beside it and renamed, else (only under a record) copied
/// into the plot file itself, and only while the plot file is still the
/// file the run read. Then the settings are written back, the record is
/// removed and then a copied ~ffx.log. Gives the message the run ends
/// with, empty where everything went through. The record stays where a
/// failed copy left the plot file neither old nor new, so that the next run
/// finishes the copy from ~ffx.log.
std::string_view commit_replacement(Replacement* replacement, std::int32_t pg_threshold,
                                    std::int32_t carried_shift);

/// What the next run finds of the plot file a stopped run was replacing.
enum class PlotFound {
  as_read,      // exactly the file and bytes the stopped run read
  corrected,    // ~ffx.log itself, renamed over it
  copy_beside,  // the recorded copy beside, renamed over it
  same_file,    // the file the stopped run read, with other bytes now
  other,        // another file, or none
};

/// What the next run does about a stopped replacement.
enum class Recovery {
  drop_record,    // nothing to finish: the record goes, the settings stay
  replace_again,  // the plot untouched: the replacement is made again
  write_back,     // the plot replaced: only the settings are left
  finish_copy,    // a copy in place stopped half way: finished, then the settings
};

/// Decides, from what the record says and what the run finds, what is to be
/// done: nothing is acted on but what the record names, and a plot file that
/// someone else has changed since is theirs. `log_kept`: ~ffx.log is still
/// the recorded one; `stopped_copy`: the plot file shows nothing but a copy
/// in place of it that stopped on the way (looked at only for a copy in
/// place into the same file).
Recovery classify_recovery(ReplaceMethod method, PlotFound plot, bool log_kept,
                           bool stopped_copy);

/// Finishes what a run stopped during a replacement left, acting only on a
/// record that is the running user's own and on what it says: the plot file
/// replaced where it is still exactly the stopped run's (unless it has been
/// changed since by someone else), the settings written back, the record
/// and ~ffx.log removed. Prints nothing when it succeeds; ends the run with
/// "Error on cleaning up plot files." (record and ~ffx.log kept) where the
/// plot file cannot be made whole, and with "INI-file not opened (for
/// writing)." where the settings cannot be written. False where the run gave
/// the directory back to wait for the plot file's lock: nothing is done, and
/// the caller starts over.
bool finish_interrupted_replacement();
