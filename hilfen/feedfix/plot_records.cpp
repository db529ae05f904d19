// The record loop: shifts pen records, snaps page records to the page grid and
// writes every record to the temporary file.
#include "hilfen/feedfix/plot_records.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "Kopf01/leedel.h"
#include "Kopf01/sxi/byte_scan.h"
#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/record_file.h"

namespace {

// The one shifted pen coordinate that is written as the grid step itself.
constexpr std::int64_t k_grid_step_plus_one = k_grid_step + 1;
constexpr std::int32_t k_max_remainder = 678;
// Columns 1 to 6 of a page record are kept; its value begins in column 7.
constexpr std::size_t k_page_value_index = 6;
// Columns of the integer field of a rewrite.
constexpr std::size_t k_i10_columns = 10;
// The smallest value that the 10-column field of a rewrite shows as digits.
constexpr std::int64_t k_min_i10 = -999999999;
constexpr std::int64_t k_max_i32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t k_min_i32 = std::numeric_limits<std::int32_t>::min();
constexpr std::size_t k_none = std::string_view::npos;
// Up to 9 characters "(i10)" reads a sign and digits as they stand (a
// leading "0" it drops adds nothing), and 999999999 fits in 32 bits.
constexpr std::size_t k_plain_columns = 9;

// The second letters of the keys that send a record to a rewrite: "PU", "PD"
// and "PA" are pen keys, "PG" the page key.
constexpr std::uint8_t k_pen_key = 1;
constexpr std::uint8_t k_page_key = 2;
constexpr std::array<std::uint8_t, 256> k_key_seconds = [] {
  std::array<std::uint8_t, 256> seconds{};
  seconds['U'] = seconds['D'] = seconds['A'] = k_pen_key;
  seconds['G'] = k_page_key;
  return seconds;
}();

/// The kind of key (k_pen_key, k_page_key or 0) that the 2 bytes at `at` are.
std::uint8_t key_at(const char* at) {
  return at[0] == 'P' ? k_key_seconds[static_cast<unsigned char>(at[1])] : 0;
}

/// Whether `data` holds a key of `kind`. Which pen key is found first does
/// not matter: all three lead to the same rewrite.
bool holds_key(std::string_view data, std::uint8_t kind) {
  for (std::size_t at = 0; at + 1 < data.size(); ++at) {
    if ((key_at(data.data() + at) & kind) != 0) return true;
  }
  return false;
}

/// The record up to its last non-blank column: only the blank counts as
/// trailing space, so NUL and tab are content. The columns behind the line's
/// own characters are blanks as well, so they never count.
std::string_view without_trailing_blanks(std::string_view data) {
  std::size_t n = data.size();
  while (n > 0 && data[n - 1] == ' ') --n;
  return data.substr(0, n);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::int32_t clamp_to_i32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp(value, k_min_i32, k_max_i32));
}

// The lines of a plot file nearly all have a usual form: short, none of
// their characters a blank, a NUL or a control character, and CR LF or LF at
// the end. They are taken straight from the plot unit's buffer into the
// temporary unit's buffer; every other line goes the general way, one at a
// time. A usual line has at most 64 characters, or a usual pen record 64
// from its comma on: 73 in all, and a rest that the general way, too,
// rewrites within 80 columns.
// Bytes that must stand behind a usual line's first byte in the plot unit's
// buffer: a pen record's key and 7 digits, the 64 bytes from its comma and the
// LF behind them. And behind its output in the temporary unit's buffer: the
// key, 8 digits, the 64 bytes copied from the comma and a CR LF, and never the
// last byte of the buffer.
constexpr std::size_t k_read_reach = 128;
constexpr std::size_t k_write_reach = 128;
// A usual line of n bytes (at least 1) writes at most n + 8: 8 digits for 1
// and a CR in front of a lone LF. So 9 bytes of room stand for each byte read.
constexpr std::size_t k_room_per_byte_read = 9;

// The one pen sum that is written as the grid step, by place.
constexpr byte_scan::DigitPlaces k_grid_step_plus_one_places =
    byte_scan::digit_places(k_grid_step + 1);
static_assert(byte_scan::digit_places(k_grid_step) + 1 == k_grid_step_plus_one_places);
// Usual pen records have 1 to 7 digits, so that a shift of up to 4 digits
// gives a sum of 8 digits at most.
constexpr std::size_t k_usual_digits = 7;
constexpr std::int32_t k_usual_max_shift = 9999;
static_assert(k_read_reach >= 2 + k_usual_digits + byte_scan::k_line_scan + 2);
static_assert(k_write_reach > 2 + 8 + byte_scan::k_line_scan + 2);

// CR LF as the two bytes read at once.
constexpr auto k_cr_lf = std::bit_cast<std::uint16_t>(std::array<char, 2>{'\r', '\n'});

/// Where the line that ends at `at` is followed by the next one, for a line
/// end of the usual form: CR LF or LF. Null otherwise.
inline const char* behind_line_end(const char* at) {
  std::uint16_t pair = 0;
  std::memcpy(&pair, at, sizeof pair);
  if (pair == k_cr_lf) [[likely]] {
    return at + 2;
  }
  // A CR alone ends no line; a line end out of the usual place goes the
  // general way.
  return at[0] == '\n' ? at + 1 : nullptr;
}

/// Where the loop stands in both buffers, and what it has done so far.
struct LoopPlace {
  const char* in;
  char* out;
  std::int64_t pen_lines = 0;    // usual pen records rewritten
  std::int64_t other_lines = 0;  // usual lines copied as they stand
};

/// Takes the usual pen record at `at.in` (its pen key seen) to `at.out`: the
/// key, the sum of its number and `addend`, and the rest from the comma on
/// with CR LF. False, with `at` unchanged, when the line is of another form:
/// a number that is no plain one of 1 to 7 digits right behind the key and
/// followed by a comma, or no usual line.
inline bool take_pen_line(LoopPlace& at, byte_scan::DigitPlaces addend) {
  const char* const p = at.in;
  // Neither a digit nor a comma is a line end, so they stand in the line.
  const byte_scan::LeadingDigits digits = byte_scan::leading_digits(p + 2);
  const std::size_t comma = 2 + digits.count;
  if (digits.count - 1 >= k_usual_digits || p[comma] != ',') return false;
  byte_scan::DigitPlaces sum = byte_scan::add_places(byte_scan::places_of(digits), addend);
  // Down by 1 in its last place, without a branch.
  sum -= sum == k_grid_step_plus_one_places ? 1 : 0;
  // The key comes along with the line's first bytes; the sum and the rest
  // overwrite what came behind it.
  std::memcpy(at.out, p, 8);
  char* const q = byte_scan::put_places(at.out + 2, sum);
  const std::size_t rest = byte_scan::copy_to_blank_or_control(p + comma, q);
  const char* const next = behind_line_end(p + comma + rest);
  if (next == nullptr) return false;
  std::memcpy(q + rest, "\r\n", 2);
  at.in = next;
  at.out = q + rest + 2;
  ++at.pen_lines;
  return true;
}

/// Copies the usual line at `at.in` with CR LF to `at.out` when it holds none
/// of the keys "P" `a`, `b`, `c` or `d`. False, with `at` unchanged, when it
/// holds one or is no usual line.
inline bool take_other_line(LoopPlace& at, char a, char b, char c, char d) {
  const char* const p = at.in;
  const std::size_t stop = byte_scan::copy_to_blank_or_control(p, at.out);
  const char* const next = behind_line_end(p + stop);
  if (next == nullptr || byte_scan::holds_pair(p, stop, 'P', a, b, c, d)) return false;
  std::memcpy(at.out + stop, "\r\n", 2);
  at.in = next;
  at.out += stop + 2;
  ++at.other_lines;
  return true;
}

/// take_usual_lines, with usual pen records rewritten (`addend` not 0) or
/// not, and lines that hold "P" `key_a`, `key_b`, `key_c` or "PG" left to
/// the general way.
template <bool rewrites_pens>
[[gnu::noinline]] LoopPlace take_lines(const std::string_view in, const WriteRoom out,
                                       const byte_scan::DigitPlaces addend, const char key_a,
                                       const char key_b, const char key_c) {
  LoopPlace at{in.data(), out.begin};
  if (in.size() < k_read_reach || static_cast<std::size_t>(out.end - out.begin) < k_write_reach) {
    return LoopPlace{at};
  }
  const char* const last_in = in.data() + in.size() - k_read_reach;
  const char* const last_out = out.end - k_write_reach;
  // Both reaches are checked once for a run of lines: as long as the lines
  // start no further than `until`, the output's start stays within its reach
  // too.
  while (at.in <= last_in && at.out <= last_out) {
    const auto room_left = static_cast<std::size_t>(last_out - at.out);
    const char* const until = at.in + std::min(static_cast<std::size_t>(last_in - at.in),
                                               room_left / k_room_per_byte_read);
    bool taken_one = true;
    while (taken_one && at.in <= until) {
      if (rewrites_pens && (key_at(at.in) & k_pen_key) != 0) {
        taken_one = take_pen_line(at, addend);
      } else {
        taken_one = take_other_line(at, key_a, key_b, key_c, 'G');
      }
    }
    if (!taken_one) break;
  }
  // A copy, as `at` must stay in registers while the loop writes bytes,
  // which might alias the place that is returned.
  return LoopPlace{at};
}

/// Takes lines of the usual form from `in` to `out` until a line of another
/// form, a page record or the end of either buffer's reach; the shift stays
/// as it is, as only page records change it. A usual pen record (while the
/// shift is 1 to 9999) is "PU", "PD" or "PA", a plain number of 1 to 7 digits
/// and the rest from a comma on: it is composed without the general steps,
/// which come to the same bytes for it, with `addend`, the shift by place
/// (addend_for). Any other usual line without a pen or page key is copied as
/// it stands, with CR LF.
LoopPlace take_usual_lines(std::string_view in, WriteRoom out, std::int32_t carried_shift,
                           byte_scan::DigitPlaces addend) {
  if (addend != 0) return take_lines<true>(in, out, addend, 'U', 'D', 'A');
  // The pen keys send a line the general way while there is a shift.
  if (carried_shift >= 1) return take_lines<false>(in, out, 0, 'U', 'D', 'A');
  return take_lines<false>(in, out, 0, 'G', 'G', 'G');
}

/// The shift by place, as take_usual_lines adds it to usual pen records; 0
/// for a shift that they do not take.
byte_scan::DigitPlaces addend_for(std::int32_t shift) {
  if (shift < 1 || shift > k_usual_max_shift) return 0;
  return byte_scan::addend_places(byte_scan::digit_places(static_cast<std::uint32_t>(shift)));
}

/// Whether every record written so far has reached the temporary file, as
/// it has one step after the other before anything is printed: where a
/// write has failed, nothing may show that would not have shown then.
bool records_so_far_written() {
  const IoStatus s = settle_unit(k_temp_unit);
  return s == k_io_ok || s == k_io_not_open;
}

/// Ends the progress line and writes "Error: x,j,m=" with x, m and j, in that
/// order, each in 6 columns; then waits for the operator. First the records
/// before are written: false, with nothing printed, where that fails.
bool report_page_error(std::int64_t x, std::int64_t m, std::int32_t j) {
  if (!records_so_far_written()) return false;
  constexpr std::string_view label = " Error: x,j,m=";
  char line[label.size() + 3 * 6];
  std::memcpy(line, label.data(), label.size());
  format_integer(clamp_to_i32(x), 6, line + label.size());
  format_integer(clamp_to_i32(m), 6, line + label.size() + 6);
  format_integer(j, 6, line + label.size() + 12);
  console_record("");
  console_record(std::string_view(line, sizeof line));
  pause_run();
  return true;
}

/// Ends the progress line and tells which plot line the 80 columns cannot hold.
void report_lossy_line(std::int64_t line_number) {
  std::string text(" Plot file line ");
  text.append(std::to_string(line_number)).append(" cannot be read without loss.");
  console_record("");
  console_record(text);
}

/// The records from the plot unit to the temporary unit, up to the plot
/// file's end; `changed` is set where a record is rewritten. False where a
/// field, a composition, a read or a write fails.
bool run_records(std::int32_t pg_threshold, const PageGrid& page_grid,
                 std::int32_t& carried_shift, bool& changed) {
  // Where a rewrite of a line taken the general way is composed.
  PlotRecord aside;
  std::int64_t line_number = 0;
  // Worked out anew where a page record changes the shift.
  byte_scan::DigitPlaces addend = addend_for(carried_shift);
  for (;;) {
    // The usual lines first, as many as both buffers reach.
    const std::string_view unread = unread_bytes(k_plot_unit);
    const WriteRoom room = write_room(k_temp_unit);
    if (room.begin != nullptr) {
      const LoopPlace usual = take_usual_lines(unread, room, carried_shift, addend);
      mark_read(k_plot_unit, static_cast<std::size_t>(usual.in - unread.data()));
      mark_written(k_temp_unit, static_cast<std::size_t>(usual.out - room.begin));
      line_number += usual.pen_lines + usual.other_lines;
      changed = changed || usual.pen_lines != 0;
    }

    // Then one line the general way.
    std::string_view data;
    std::size_t count = 0;
    bool lossless = true;
    const IoStatus read = read_text_lines(k_plot_unit, &data, 1, count, lossless);
    // A failed read must not pass for the end of the plot file: the file
    // would be replaced by the records read so far.
    if (read != k_io_ok) return read == k_io_end;
    ++line_number;
    if (!lossless) {
      // Writing the shortened line would lose plot data once the temporary
      // file replaces the plot file; refuse the whole file instead.
      if (records_so_far_written()) report_lossy_line(line_number);
      return false;
    }

    // A record written as read is written up to its last non-blank column.
    data = without_trailing_blanks(data);
    Rewrite outcome = Rewrite::unchanged;
    RewrittenRecord rewrite{aside.data()};
    // A shifted pen record takes no page test, even when it holds "PG".
    if (carried_shift >= 1 && holds_key(data, k_pen_key)) {
      outcome = shift_pen_record(data, carried_shift, rewrite);
    } else if (holds_key(data, k_page_key)) {
      outcome = snap_page_record(data, pg_threshold, page_grid, carried_shift, rewrite);
      addend = addend_for(carried_shift);
    }
    if (outcome == Rewrite::failed) return false;
    if (outcome == Rewrite::rewritten) {
      changed = true;
      data = std::string_view(rewrite.text, static_cast<std::size_t>(rewrite.length));
    }
    if (write_text_record(k_temp_unit, data) != k_io_ok) return false;
  }
}

}  // namespace

LoopResult process_plot_records(std::int32_t pg_threshold, const PageGrid& page_grid,
                                std::int32_t& carried_shift) {
  // The plot file is read ahead and the temporary file written behind the
  // loop, where the system gives a thread for it. A page dot waits for the
  // writes before it; a message, the pause and the loop's end wait for all.
  // Small plot files are read in a few steps, with nothing to gain.
  if (work_beside(k_plot_unit)) work_beside(k_temp_unit);
  LoopResult result;
  // The last buffered records are handed over at once, so that a full disk
  // ends the run with the loop's failure rather than at the close.
  result.run_ok = run_records(pg_threshold, page_grid, carried_shift, result.changed) &&
                  flush_unit(k_temp_unit) == k_io_ok;
  // However the loop ended, the dots it holds go out now, or never.
  if (!records_so_far_written()) result.run_ok = false;
  return result;
}

Rewrite shift_pen_record(std::string_view data, std::int32_t carried_shift,
                         RewrittenRecord& out) {
  // The number begins at the first of "1234567890-". No number, no comma, or
  // the first comma before the number: the record stays as read.
  const auto found = std::find_if(data.begin(), data.end(),
                                  [](char c) { return is_digit(c) || c == '-' || c == ','; });
  if (found == data.end() || *found == ',') return Rewrite::unchanged;
  const auto start = static_cast<std::size_t>(found - data.begin());

  // A plain number, a "-" and 1 to 8 digits or 1 to 9 digits running right
  // up to the first comma, is the whole field and reads as it stands; every
  // other field takes the general rule.
  const std::size_t digits = start + (*found == '-' ? 1 : 0);
  std::size_t comma = digits;
  // Unsigned: a long run of digits may wrap, and is then no plain number.
  std::uint32_t magnitude = 0;
  for (; comma < data.size() && is_digit(data[comma]); ++comma) {
    magnitude = magnitude * 10 + static_cast<std::uint32_t>(data[comma] - '0');
  }
  auto value = static_cast<std::int32_t>(*found == '-' ? 0 - magnitude : magnitude);
  if (comma == digits || comma - start > k_plain_columns || comma == data.size() ||
      data[comma] != ',') {
    comma = data.find(',', comma);
    if (comma == k_none) return Rewrite::unchanged;
    if (read_i10(data.substr(start, comma - start), value) != k_io_ok) return Rewrite::failed;
  }

  // In 64 bits: a field near the 32-bit limits plus the shift may not fit.
  std::int64_t sum = static_cast<std::int64_t>(carried_shift) + value;
  if (sum == k_grid_step_plus_one) --sum;
  // A sum that the 10-column field would show as asterisks, or that is no
  // 32-bit value, must never reach the plot file.
  if (sum < k_min_i10 || sum > k_max_i32) return Rewrite::failed;
  // The old field, up to the comma, is replaced as a whole: "(a,i10,a)" of
  // the bytes in front, the sum and the rest from the comma on.
  return compose_rewrite(data.substr(0, start), static_cast<std::int32_t>(sum),
                         data.substr(comma), out);
}

Rewrite snap_page_record(std::string_view data, std::int32_t pg_threshold,
                         const PageGrid& page_grid, std::int32_t& carried_shift,
                         RewrittenRecord& out) {
  const std::size_t comma = data.find(',', k_page_value_index);
  if (comma == k_none || comma == k_page_value_index) return Rewrite::unchanged;

  std::int32_t value = 0;
  const std::string_view field = data.substr(k_page_value_index, comma - k_page_value_index);
  if (read_i10(field, value) != k_io_ok) return Rewrite::failed;

  // Every page record whose value was read gets its dot, snapped or not.
  console_after_writes(k_temp_unit, ".", LineEnd::stays_open);
  if (value >= pg_threshold) return Rewrite::unchanged;

  const std::int64_t x = static_cast<std::int64_t>(value) + carried_shift;
  // A value that is no 32-bit integer lies far outside the grid; its clamped
  // stand-in gives an index outside the table as well.
  const std::int32_t j = page_grid_index(clamp_to_i32(x));
  if (j < 0 || j >= k_page_grid_size) {
    // Nothing outside the table is read: report the record against the
    // nearest entry and keep it as read, with the shift unchanged.
    const std::size_t nearest = static_cast<std::size_t>(std::clamp(j, 0, k_page_grid_size - 1));
    if (!report_page_error(x, x - page_grid[nearest], j)) return Rewrite::failed;
    return Rewrite::unchanged;
  }

  const std::int32_t entry = page_grid[static_cast<std::size_t>(j)];
  const std::int32_t m = static_cast<std::int32_t>(x - entry);
  if ((m < 0 || m > k_max_remainder) && !report_page_error(x, m, j)) return Rewrite::failed;
  // The value already lies on the grid entry that the shift implies.
  if (m == carried_shift) return Rewrite::unchanged;

  const Rewrite outcome =
      compose_rewrite(data.substr(0, k_page_value_index), entry, data.substr(comma), out);
  if (outcome == Rewrite::rewritten) carried_shift = m;
  return outcome;
}

Rewrite compose_rewrite(std::string_view prefix, std::int32_t value, std::string_view rest,
                        RewrittenRecord& out) {
  if (prefix.size() + k_i10_columns + rest.size() > k_record_columns) return Rewrite::failed;
  // Leedel has work only where the prefix or the rest holds a blank or a
  // NUL (the number never does); they are looked for while they are copied,
  // which is cheaper than reading the freshly composed record back.
  char* p = out.text;
  bool dropped = byte_scan::copy_finding_blank_or_nul(prefix.data(), prefix.size(), p);
  p += prefix.size();
  // Leedel would drop the blanks in front of the number in its 10 columns,
  // so only its own characters are placed.
  if (value < k_min_i10) {
    p = std::fill_n(p, k_i10_columns, '*');
  } else {
    p = std::to_chars(p, p + k_i10_columns, value).ptr;
  }
  dropped = byte_scan::copy_finding_blank_or_nul(rest.data(), rest.size(), p) || dropped;
  const auto length = static_cast<std::int16_t>(p + rest.size() - out.text);
  out.length = dropped ? Leedel(out.text, length) : length;
  return Rewrite::rewritten;
}
