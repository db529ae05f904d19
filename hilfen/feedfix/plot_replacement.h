// Putting the corrected plot in place of the plot file, with the intent
// recorded first, and finishing a replacement that a stopped run left undone.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/os.h"

/// What a replacement did.
struct Replacement {
  std::string plot_name;
  FileState plot_before;  // the plot file as the run read it
  bool recorded = false;  // the intent record stands
  bool replaced = false;  // the plot file holds the corrected records
  bool moved = false;     // ~ffx.log itself became the plot file
};

/// Records the intent to put ~ffx.log in place of the plot file `plot_name`,
/// which the run read as `plot_before`, and to write back `pg_threshold` and
/// `carried_shift`. Without the record (`recorded` false) the plot file must
/// not be replaced.
Replacement record_replacement(const std::string& plot_name, const FileState& plot_before,
                               std::int32_t pg_threshold, std::int32_t carried_shift);

/// Puts ~ffx.log in place of the plot file: renamed over it where that is
/// one step, copied otherwise. `cleanup_status` becomes 0 when the plot file
/// was replaced and 3 when not (also where nothing was recorded).
void replace_plot(Replacement& replacement, std::int16_t& cleanup_status);

/// Drops the record of a replacement that is not to happen.
void cancel_replacement(Replacement& replacement);

/// Called after the settings write-back: removes the intent record and then a
/// copied ~ffx.log (`cleanup_status` 3 when that fails). The record stays
/// where a failed copy left the plot file neither old nor new, so that the
/// next run finishes the copy from ~ffx.log.
void end_replacement(const Replacement& replacement, std::int16_t& cleanup_status);

/// Finishes what a run stopped during a replacement left: the plot file
/// replaced (unless it has been changed since by someone else), the settings
/// written back, the record and ~ffx.log removed. Prints nothing when it
/// succeeds; ends the run with "Error on cleaning up plot files." (record
/// and ~ffx.log kept) where the plot file cannot be made whole, and with
/// "INI-file not opened (for writing)." where the settings cannot be written.
void finish_interrupted_replacement();
