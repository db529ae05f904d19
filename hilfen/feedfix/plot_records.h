// The record loop: shifts pen records, snaps page records to the page grid and
// writes every record to the temporary file.
#pragma once

#include <cstdint>

#include "Kopf01/sxi/string00.h"
#include "hilfen/feedfix/page_grid.h"

/// Whether a rewrite step went through.
enum class Rewrite { ok, failed };

struct LoopResult {
  bool run_ok = true;   // cleared when a field, a composition, a read or a write fails
  bool changed = false; // set when at least one record was rewritten
};

/// Runs the loop over the open plot unit into the open temporary unit,
/// updating `carried_shift`. Leaves both units open.
LoopResult process_plot_records(std::int32_t pg_threshold, const PageGrid& page_grid,
                                std::int32_t& carried_shift);

/// Adds `carried_shift` to the first number of a pen record (columns i to the
/// first comma). `length` is the output length, replaced on a rewrite;
/// `rewritten` tells whether the record was composed anew.
Rewrite shift_pen_record(PlotRecord& record, int& length, std::int32_t carried_shift,
                         bool& rewritten);

/// Snaps the page value (column 7 to the first comma) to the grid, prints the
/// page dot and, for a remainder outside 0..678 or an index outside the grid,
/// the error line and the pause. Updates `carried_shift` on a rewrite.
Rewrite snap_page_record(PlotRecord& record, int& length, std::int32_t pg_threshold,
                         const PageGrid& page_grid, std::int32_t& carried_shift,
                         bool& rewritten);
