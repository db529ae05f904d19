// The record loop: shifts pen records, snaps page records to the page grid and
// writes every record to the temporary file.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "Kopf01/sxi/string00.h"
#include "hilfen/feedfix/page_grid.h"

/// What a rewrite step did with its record.
enum class Rewrite { unchanged, rewritten, failed };

/// Where a rewrite composes its record: `text` has room for 80 characters.
/// After Rewrite::rewritten the new record is its first `length`
/// characters, none of them a blank or a NUL; otherwise `text` holds
/// nothing of use.
struct RewrittenRecord {
  char* text = nullptr;
  int length = 0;
};

struct LoopResult {
  bool run_ok = true;   // cleared when a field, a composition, a read or a write fails
  bool changed = false; // set when at least one record was rewritten
};

/// Runs the loop over the open plot unit into the open temporary unit,
/// updating `carried_shift`, with workers reading ahead and writing behind
/// where the plot file is large enough. Leaves both units open, with every
/// record handed to the temporary unit written or failed.
LoopResult process_plot_records(std::int32_t pg_threshold, const PageGrid& page_grid,
                                std::int32_t& carried_shift);

/// Adds `carried_shift` to the first number of a pen record (from its first
/// digit or minus sign to the first comma). `data` is the record up to its
/// last non-blank column; it must not overlap `out`. When rewritten, the new
/// record is in `out`. Fails when the number does not read, when the sum is
/// no 32-bit value or would show as asterisks, or when the rewrite passes
/// column 80.
Rewrite shift_pen_record(std::string_view data, std::int32_t carried_shift,
                         RewrittenRecord& out);

/// Snaps the page value (column 7 to the first comma) to the grid, prints the
/// page dot and, for a remainder outside 0..678 or an index outside the grid,
/// the error line and the pause. The dot waits for the writes of the
/// temporary unit before it, the error line for all of them. `data` as for
/// shift_pen_record. When rewritten, the new record is in `out` and
/// `carried_shift` is the remainder. Fails when the value does not read,
/// when a write before the error line failed (nothing is printed then) or
/// when the rewrite passes column 80; `carried_shift` is then unchanged.
Rewrite snap_page_record(std::string_view data, std::int32_t pg_threshold,
                         const PageGrid& page_grid, std::int32_t& carried_shift,
                         RewrittenRecord& out);

/// Gives in `out` what "(a,i10,a)" of `prefix`, `value` and `rest` into 80
/// columns, passed through Leedel, gives. Fails when the three items pass
/// column 80 (prefix, 10 columns and rest together); `out` is then
/// unspecified.
Rewrite compose_rewrite(std::string_view prefix, std::int32_t value, std::string_view rest,
                        RewrittenRecord& out);
