// The record loop: shifts pen records, snaps page records to the page grid and
// writes every record to the temporary file.
#include "hilfen/feedfix/plot_records.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

#include "Kopf01/leedel.h"
#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/record_file.h"

namespace {

// The one shifted pen coordinate that is written as the grid step itself.
constexpr std::int64_t k_grid_step_plus_one = k_grid_step + 1;
constexpr std::int32_t k_max_remainder = 678;
// Columns 1 to 6 of a page record are kept; its value begins in column 7.
constexpr int k_page_value_index = 6;
// The smallest value that the 10-column field of a rewrite shows as digits.
constexpr std::int64_t k_min_i10 = -999999999;
constexpr std::int64_t k_max_i32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t k_min_i32 = std::numeric_limits<std::int32_t>::min();

struct Keys {
  bool pen = false;   // "PU", "PD" or "PA"
  bool page = false;  // "PG"
};

/// Finds the pen and page keys anywhere in the 80 columns. Which pen key is
/// found first does not matter: all three lead to the same rewrite.
Keys find_keys(const PlotRecord& record) {
  Keys keys;
  const char* data = record.data();
  const char* end = data + k_record_columns - 1;  // a key needs the column after 'P'
  for (const char* p = data; p < end;) {
    const void* hit = std::memchr(p, 'P', static_cast<std::size_t>(end - p));
    if (hit == nullptr) break;
    const char* at = static_cast<const char*>(hit);
    const char next = at[1];
    if (next == 'U' || next == 'D' || next == 'A') keys.pen = true;
    if (next == 'G') keys.page = true;
    if (keys.pen && keys.page) break;
    p = at + 1;
  }
  return keys;
}

/// The column count up to the last non-blank; only the blank counts as trailing
/// space, so NUL and tab are content.
int output_length(const PlotRecord& record) {
  int n = k_record_columns;
  while (n > 0 && record[static_cast<std::size_t>(n - 1)] == ' ') --n;
  return n;
}

/// Index of the first character that may begin a pen record's number
/// ("1234567890-"), or -1.
int first_number_start(const PlotRecord& record) {
  for (int index = 0; index < k_record_columns; ++index) {
    const char c = record[static_cast<std::size_t>(index)];
    if ((c >= '0' && c <= '9') || c == '-') return index;
  }
  return -1;
}

/// Index of the first comma at or after index `from`, or -1.
int first_comma(const PlotRecord& record, int from) {
  const void* hit = std::memchr(record.data() + from, ',',
                                static_cast<std::size_t>(k_record_columns - from));
  if (hit == nullptr) return -1;
  return static_cast<int>(static_cast<const char*>(hit) - record.data());
}

/// The saved columns from index `comma` up to the output length.
std::string_view kept_rest(const PlotRecord& saved, int comma, int length) {
  const int end = std::clamp(length, comma, k_record_columns);
  return {saved.data() + comma, static_cast<std::size_t>(end - comma)};
}

std::int32_t clamp_to_i32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp(value, k_min_i32, k_max_i32));
}

/// Ends the progress line and writes "Error: x,j,m=" with x, m and j, in that
/// order, each in 6 columns; then waits for the operator.
void report_page_error(std::int64_t x, std::int64_t m, std::int32_t j) {
  constexpr std::string_view label = " Error: x,j,m=";
  char line[label.size() + 3 * 6];
  std::memcpy(line, label.data(), label.size());
  format_integer(clamp_to_i32(x), 6, line + label.size());
  format_integer(clamp_to_i32(m), 6, line + label.size() + 6);
  format_integer(j, 6, line + label.size() + 12);
  console_record("");
  console_record(std::string_view(line, sizeof line));
  pause_run();
}

/// Ends the progress line and tells which plot line the 80 columns cannot hold.
void report_lossy_line(std::int64_t line_number) {
  constexpr std::string_view head = " Plot file line ";
  constexpr std::string_view tail = " cannot be read without loss.";
  char text[head.size() + 20 + tail.size()];
  std::memcpy(text, head.data(), head.size());
  char* p = text + head.size();
  p = std::to_chars(p, p + 20, line_number).ptr;
  std::memcpy(p, tail.data(), tail.size());
  p += tail.size();
  console_record("");
  console_record(std::string_view(text, static_cast<std::size_t>(p - text)));
}

}  // namespace

LoopResult process_plot_records(std::int32_t pg_threshold, const PageGrid& page_grid,
                                std::int32_t& carried_shift) {
  LoopResult result;
  PlotRecord record;
  record.fill(' ');
  std::int64_t line_number = 0;
  for (;;) {
    bool lossless = true;
    const IoStatus read = read_text_record(k_plot_unit, record, lossless);
    if (read == k_io_end) break;
    if (read != k_io_ok) {
      // A failed read must not pass for the end of the plot file: the file
      // would be replaced by the records read so far.
      result.run_ok = false;
      return result;
    }
    ++line_number;
    if (!lossless) {
      // Writing the shortened line would lose plot data once the temporary
      // file replaces the plot file; refuse the whole file instead.
      report_lossy_line(line_number);
      result.run_ok = false;
      return result;
    }

    int length = output_length(record);
    const Keys keys = find_keys(record);
    bool rewritten = false;
    Rewrite outcome = Rewrite::ok;
    if (keys.pen && carried_shift >= 1) {
      // A shifted pen record takes no page test, even when it holds "PG".
      outcome = shift_pen_record(record, length, carried_shift, rewritten);
    } else if (keys.page) {
      outcome = snap_page_record(record, length, pg_threshold, page_grid, carried_shift, rewritten);
    }
    if (outcome == Rewrite::failed) {
      result.run_ok = false;
      return result;
    }
    if (rewritten) result.changed = true;

    const std::size_t size = static_cast<std::size_t>(std::max(length, 0));
    if (write_text_record(k_temp_unit, std::string_view(record.data(), size)) != k_io_ok) {
      result.run_ok = false;
      return result;
    }
  }
  // Hand the last buffered records over now, so that a full disk ends the run
  // with the loop's failure rather than at the close.
  if (flush_unit(k_temp_unit) != k_io_ok) result.run_ok = false;
  return result;
}

Rewrite shift_pen_record(PlotRecord& record, int& length, std::int32_t carried_shift,
                         bool& rewritten) {
  rewritten = false;
  const int start = first_number_start(record);
  const int comma = first_comma(record, 0);
  // No number, no comma, or the comma before the number: left as read.
  if (start < 0 || comma <= start) return Rewrite::ok;

  std::int32_t value = 0;
  const std::string_view field(record.data() + start, static_cast<std::size_t>(comma - start));
  if (read_i10(field, value) != k_io_ok) return Rewrite::failed;

  const PlotRecord saved = record;
  // In 64 bits: a field near the 32-bit limits plus the shift may not fit.
  std::int64_t sum = static_cast<std::int64_t>(carried_shift) + value;
  if (sum == k_grid_step_plus_one) --sum;
  // A sum that the 10-column field would show as asterisks, or that is no
  // 32-bit value, must never reach the plot file.
  if (sum < k_min_i10 || sum > k_max_i32) return Rewrite::failed;

  const std::string_view prefix(saved.data(), static_cast<std::size_t>(start));
  if (compose_a_i10_a(record, prefix, static_cast<std::int32_t>(sum),
                      kept_rest(saved, comma, length)) != k_io_ok) {
    return Rewrite::failed;
  }
  length = Leedel(record.data(), k_record_columns);
  rewritten = true;
  return Rewrite::ok;
}

Rewrite snap_page_record(PlotRecord& record, int& length, std::int32_t pg_threshold,
                         const PageGrid& page_grid, std::int32_t& carried_shift,
                         bool& rewritten) {
  rewritten = false;
  const int comma = first_comma(record, k_page_value_index);
  if (comma <= k_page_value_index) return Rewrite::ok;

  std::int32_t value = 0;
  const std::string_view field(record.data() + k_page_value_index,
                               static_cast<std::size_t>(comma - k_page_value_index));
  if (read_i10(field, value) != k_io_ok) return Rewrite::failed;

  // Every page record whose value was read gets its dot, snapped or not.
  console_record(".", LineEnd::stays_open);
  if (value >= pg_threshold) return Rewrite::ok;

  const std::int64_t x = static_cast<std::int64_t>(value) + carried_shift;
  // A value that is no 32-bit integer lies far outside the grid; its clamped
  // stand-in gives an index outside the table as well.
  const std::int32_t j = page_grid_index(clamp_to_i32(x));
  if (j < 0 || j >= k_page_grid_size) {
    // Nothing outside the table is read: report the record against the
    // nearest entry and keep it as read, with the shift unchanged.
    const std::size_t nearest = static_cast<std::size_t>(std::clamp(j, 0, k_page_grid_size - 1));
    report_page_error(x, x - page_grid[nearest], j);
    return Rewrite::ok;
  }

  const std::int32_t entry = page_grid[static_cast<std::size_t>(j)];
  const std::int32_t m = static_cast<std::int32_t>(x - entry);
  if (m < 0 || m > k_max_remainder) report_page_error(x, m, j);
  // The value already lies on the grid entry that the shift implies.
  if (m == carried_shift) return Rewrite::ok;

  const PlotRecord saved = record;
  const std::string_view prefix(saved.data(), static_cast<std::size_t>(k_page_value_index));
  if (compose_a_i10_a(record, prefix, entry, kept_rest(saved, comma, length)) != k_io_ok) {
    return Rewrite::failed;
  }
  length = Leedel(record.data(), k_record_columns);
  carried_shift = m;
  rewritten = true;
  return Rewrite::ok;
}
