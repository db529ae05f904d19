// The record loop: shifts pen records, snaps page records to the page grid and
// writes every record to the temporary file.
#include "hilfen/feedfix/plot_records.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
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

// The second letters of the pen keys "PU", "PD" and "PA": the one place
// that names them.
constexpr std::array<bool, 256> k_pen_key_seconds = [] {
  std::array<bool, 256> seconds{};
  seconds['U'] = seconds['D'] = seconds['A'] = true;
  return seconds;
}();

bool is_pen_key_second(char c) { return k_pen_key_seconds[static_cast<unsigned char>(c)]; }

/// Whether `data` holds "PU", "PD" or "PA". Which one is found first does not
/// matter: all three lead to the same rewrite.
bool holds_pen_key(std::string_view data) {
  for (std::size_t at = 0; at + 1 < data.size(); ++at) {
    if (data[at] == 'P' && is_pen_key_second(data[at + 1])) return true;
  }
  return false;
}

/// Whether `data` begins with "PU", "PD" or "PA", as nearly every pen record
/// does.
bool starts_with_pen_key(std::string_view data) {
  return data.size() >= 2 && data[0] == 'P' && is_pen_key_second(data[1]);
}

/// Whether `data` holds "PG".
bool holds_page_key(std::string_view data) {
  for (std::size_t at = 0; at + 1 < data.size(); ++at) {
    if (data[at] == 'P' && data[at + 1] == 'G') return true;
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

// What a byte in front of a pen record's number means to the shift.
enum class ByteKind : std::uint8_t { other, number_start, comma, blank_or_nul };

constexpr std::array<ByteKind, 256> k_byte_kinds = [] {
  std::array<ByteKind, 256> kinds{};
  for (char c = '0'; c <= '9'; ++c) kinds[static_cast<unsigned char>(c)] = ByteKind::number_start;
  kinds['-'] = ByteKind::number_start;
  kinds[','] = ByteKind::comma;
  kinds[' '] = ByteKind::blank_or_nul;
  kinds[0] = ByteKind::blank_or_nul;
  return kinds;
}();

// "00" to "99": the digits of a number are written two at a time.
constexpr std::array<char, 200> k_digit_pairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

/// Writes `value` (at least k_min_i10, so at most 10 characters) in decimal,
/// with "-" in front when it is negative, into the 10 characters at `out`;
/// returns the end of the number. The characters behind it are left for the
/// caller to overwrite.
inline char* put_decimal(char* out, std::int32_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    // Coordinates have up to 5 digits: their two pairs (and the one digit
    // in front of them) go into one word, shifted past the leading zeros.
    if (value > -100000 && value < 100000) {
      std::uint32_t m = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                  : static_cast<std::uint32_t>(value);
      if (value < 0) *out++ = '-';
      int digits = m >= 1000 ? 4 : m >= 100 ? 3 : m >= 10 ? 2 : 1;
      if (m >= 10000) {
        // The first of 5 digits alone; the other 4 keep their zeros.
        *out++ = static_cast<char>('0' + m / 10000);
        m %= 10000;
        digits = 4;
      }
      char pairs[4];
      std::memcpy(pairs, &k_digit_pairs[m / 100 * 2], 2);
      std::memcpy(pairs + 2, &k_digit_pairs[m % 100 * 2], 2);
      std::uint32_t word = 0;
      std::memcpy(&word, pairs, sizeof word);
      word >>= 8 * (4 - digits);
      std::memcpy(out, &word, sizeof word);
      return out + digits;
    }
  }
  // Written from the back into a field of its own; then moved as a block of
  // fixed length, which is a move or two, whatever the number's length.
  char field[24] = {};
  char* const end = field + 12;
  char* q = end;
  // The magnitude in unsigned arithmetic, so no negation can overflow.
  std::uint32_t m = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                              : static_cast<std::uint32_t>(value);
  for (; m >= 100; m /= 100) {
    q -= 2;
    std::memcpy(q, &k_digit_pairs[m % 100 * 2], 2);
  }
  if (m >= 10) {
    q -= 2;
    std::memcpy(q, &k_digit_pairs[m * 2], 2);
  } else {
    *--q = static_cast<char>('0' + m);
  }
  if (value < 0) *--q = '-';
  std::memcpy(out, q, k_i10_columns);
  return out + (end - q);
}

std::int32_t clamp_to_i32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp(value, k_min_i32, k_max_i32));
}

/// shift_pen_record, in a form the record loop takes in whole. The first
/// `letters` bytes of `data` are known to be letters (a pen key the loop
/// has seen), so the search for the number starts behind them.
inline Rewrite shift_pen(std::string_view data, std::int32_t carried_shift, RewrittenRecord& out,
                         std::size_t letters) {
  const char* const text = data.data();
  const std::size_t size = data.size();
  // The number begins at the first of "1234567890-". No number, no comma, or
  // the first comma before the number: the record stays as read. The bytes
  // in front of the number are looked at once, for Leedel too.
  bool dropped = false;
  std::size_t start = letters;
  for (; start < size; ++start) {
    const ByteKind kind = k_byte_kinds[static_cast<unsigned char>(text[start])];
    if (kind == ByteKind::other) continue;
    if (kind == ByteKind::number_start) break;
    if (kind == ByteKind::comma) return Rewrite::unchanged;
    dropped = true;
  }
  if (start == size) return Rewrite::unchanged;

  // A plain number, a "-" and 1 to 8 digits or 1 to 9 digits running right
  // up to the first comma, is the whole field and reads as it stands; every
  // other field takes the general rule.
  std::size_t end = start + (text[start] == '-' ? 1 : 0);
  const std::size_t digits = end;
  // Unsigned: a long run of digits may wrap, and is then no plain number.
  std::uint32_t magnitude = 0;
  for (; end < size && is_digit(text[end]); ++end) {
    magnitude = magnitude * 10 + static_cast<std::uint32_t>(text[end] - '0');
  }
  std::size_t comma = end;
  std::int32_t value = 0;
  if (end < size && text[end] == ',' && end > digits && end - start <= k_plain_columns) {
    value = static_cast<std::int32_t>(magnitude);
    if (text[start] == '-') value = -value;
  } else {
    comma = data.find(',', end);
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
  // the bytes in front, the sum and the rest from the comma on, whose blanks
  // in front of the sum Leedel would drop anyway.
  const std::size_t rest = size - comma;
  if (start + k_i10_columns + rest > k_record_columns) return Rewrite::failed;
  char* p = out.text;
  if (start <= 8 && size >= 8) {
    // The usual short command in front is moved as one word; the number
    // then overwrites what came along behind it. `out` has room for that:
    // the number's 10 columns fit.
    std::memcpy(p, text, 8);
  } else {
    std::memcpy(p, text, start);
  }
  p = put_decimal(p + start, static_cast<std::int32_t>(sum));
  dropped = byte_scan::copy_finding_blank_or_nul(text + comma, rest, p) || dropped;
  const auto length = static_cast<std::int16_t>(p + rest - out.text);
  out.length = dropped ? Leedel(out.text, length) : length;
  return Rewrite::rewritten;
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
constexpr byte_scan::DigitPlaces k_grid_step_places = byte_scan::digit_places(k_grid_step);
constexpr byte_scan::DigitPlaces k_grid_step_plus_one_places =
    byte_scan::digit_places(k_grid_step + 1);
static_assert(k_grid_step_places + 1 == k_grid_step_plus_one_places);
// Usual pen records have 1 to 7 digits, so that a shift of up to 4 digits
// gives a sum of 8 digits at most.
constexpr std::size_t k_usual_digits = 7;
constexpr std::int32_t k_usual_max_shift = 9999;
static_assert(k_read_reach >= 2 + k_usual_digits + byte_scan::k_line_scan + 2);
static_assert(k_write_reach > 2 + 8 + byte_scan::k_line_scan + 2);

// CR LF as the two bytes read at once.
constexpr auto k_cr_lf = std::bit_cast<std::uint16_t>(std::array<char, 2>{'\r', '\n'});

struct UsualLines {
  std::size_t read = 0;     // bytes taken from the plot unit
  std::size_t written = 0;  // bytes given to the temporary unit
  std::int64_t lines = 0;
  bool changed = false;
};

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

/// Takes the usual pen record at `at.in` (its "PU", "PD" or "PA" seen) to
/// `at.out`: the key, the sum of its number and `addend`, and the rest from
/// the comma on with CR LF. False, with `at` unchanged, when the line is of
/// another form: a number that is no plain one of 1 to 7 digits right behind
/// the key and followed by a comma, or no usual line.
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
/// not.
template <bool rewrites_pens>
[[gnu::noinline]] UsualLines take_lines(const char* const in, const std::size_t in_size,
                                        char* const out, const std::size_t out_size,
                                        const byte_scan::DigitPlaces addend, const char key_a,
                                        const char key_b, const char key_c) {
  UsualLines taken;
  if (in_size < k_read_reach || out_size < k_write_reach) return taken;
  const char* const last_in = in + in_size - k_read_reach;
  const char* const last_out = out + out_size - k_write_reach;
  LoopPlace at{in, out};
  // Both reaches are checked once for a run of lines: as long as the lines
  // start no further than `until`, the output's start stays within its reach
  // too.
  while (at.in <= last_in && at.out <= last_out) {
    const auto room_left = static_cast<std::size_t>(last_out - at.out);
    const char* const until = at.in + std::min(static_cast<std::size_t>(last_in - at.in),
                                               room_left / k_room_per_byte_read);
    bool taken_one = true;
    while (taken_one && at.in <= until) {
      if (rewrites_pens && at.in[0] == 'P' &&
          k_pen_key_seconds[static_cast<unsigned char>(at.in[1])]) {
        taken_one = take_pen_line(at, addend);
      } else {
        taken_one = take_other_line(at, key_a, key_b, key_c, 'G');
      }
    }
    if (!taken_one) break;
  }
  taken.read = static_cast<std::size_t>(at.in - in);
  taken.written = static_cast<std::size_t>(at.out - out);
  taken.lines = at.pen_lines + at.other_lines;
  taken.changed = at.pen_lines != 0;
  return taken;
}

/// Takes lines of the usual form from `in` to `out` until a line of another
/// form, a page record or the end of either buffer's reach; the shift stays
/// as it is, as only page records change it. A usual pen record (while the
/// shift is 1 to 9999) is "PU", "PD" or "PA", a plain number of 1 to 7 digits
/// and the rest from a comma on: it is composed without the general steps,
/// which come to the same bytes for it. Any other usual line without a pen
/// or page key is copied as it stands, with CR LF.
UsualLines take_usual_lines(const char* const in, const std::size_t in_size, char* const out,
                            const std::size_t out_size, const std::int32_t carried_shift) {
  const bool shifting = carried_shift >= 1;
  if (shifting && carried_shift <= k_usual_max_shift) {
    // The shift by place, as the addition takes it.
    const byte_scan::DigitPlaces addend = byte_scan::addend_places(
        byte_scan::digit_places(static_cast<std::uint32_t>(carried_shift)));
    return take_lines<true>(in, in_size, out, out_size, addend, 'U', 'D', 'A');
  }
  // Keys that send a line the general way.
  if (shifting) return take_lines<false>(in, in_size, out, out_size, 0, 'U', 'D', 'A');
  return take_lines<false>(in, in_size, out, out_size, 0, 'G', 'G', 'G');
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

namespace {

LoopResult run_records(std::int32_t pg_threshold, const PageGrid& page_grid,
                       std::int32_t& carried_shift) {
  LoopResult result;
  // Where a rewrite of a line taken the general way is composed.
  PlotRecord aside;
  std::int64_t line_number = 0;
  for (;;) {
    // The usual lines first, as many as both buffers reach.
    const std::string_view unread = unread_bytes(k_plot_unit);
    const WriteRoom room = write_room(k_temp_unit);
    if (room.begin != nullptr) {
      const UsualLines usual =
          take_usual_lines(unread.data(), unread.size(), room.begin,
                           static_cast<std::size_t>(room.end - room.begin), carried_shift);
      mark_read(k_plot_unit, usual.read);
      mark_written(k_temp_unit, usual.written);
      line_number += usual.lines;
      result.changed = result.changed || usual.changed;
    }

    // Then one line the general way.
    std::string_view data;
    std::size_t count = 0;
    bool lossless = true;
    const IoStatus read = read_text_lines(k_plot_unit, &data, 1, count, lossless);
    if (read == k_io_end) break;
    if (read != k_io_ok) {
      // A failed read must not pass for the end of the plot file: the file
      // would be replaced by the records read so far.
      result.run_ok = false;
      return result;
    }
    ++line_number;
    if (!lossless) {
      if (!records_so_far_written()) {
        result.run_ok = false;
        return result;
      }
      // Writing the shortened line would lose plot data once the temporary
      // file replaces the plot file; refuse the whole file instead.
      report_lossy_line(line_number);
      result.run_ok = false;
      return result;
    }

    // A record written as read is written up to its last non-blank column.
    data = without_trailing_blanks(data);
    // A shifted pen record takes no page test, even when it holds "PG".
    const bool leading_key = carried_shift >= 1 && starts_with_pen_key(data);
    const bool pen = leading_key || (carried_shift >= 1 && holds_pen_key(data));
    Rewrite outcome = Rewrite::unchanged;
    RewrittenRecord rewrite{aside.data()};
    if (pen) {
      outcome = shift_pen(data, carried_shift, rewrite, leading_key ? 2 : 0);
    } else if (holds_page_key(data)) {
      outcome = snap_page_record(data, pg_threshold, page_grid, carried_shift, rewrite);
    }
    if (outcome == Rewrite::failed) {
      result.run_ok = false;
      return result;
    }
    if (outcome == Rewrite::rewritten) {
      result.changed = true;
      data = std::string_view(rewrite.text, static_cast<std::size_t>(rewrite.length));
    }
    if (write_text_record(k_temp_unit, data) != k_io_ok) {
      result.run_ok = false;
      return result;
    }
  }
  // Hand the last buffered records over now, so that a full disk ends the run
  // with the loop's failure rather than at the close.
  if (flush_unit(k_temp_unit) != k_io_ok) result.run_ok = false;
  return result;
}

}  // namespace

LoopResult process_plot_records(std::int32_t pg_threshold, const PageGrid& page_grid,
                                std::int32_t& carried_shift) {
  // The plot file is read ahead and the temporary file written behind the
  // loop, where the system gives a thread for it. A page dot waits for the
  // writes before it; a message, the pause and the loop's end wait for all.
  // Small plot files are read in a few steps, with nothing to gain.
  if (work_beside(k_plot_unit)) work_beside(k_temp_unit);
  LoopResult result = run_records(pg_threshold, page_grid, carried_shift);
  // However the loop ended, the dots it holds go out now, or never.
  if (!records_so_far_written()) result.run_ok = false;
  return result;
}

Rewrite shift_pen_record(std::string_view data, std::int32_t carried_shift,
                         RewrittenRecord& out) {
  return shift_pen(data, carried_shift, out, /*letters=*/0);
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
  char* const begin = out.text;
  char* p = begin;
  bool dropped = byte_scan::copy_finding_blank_or_nul(prefix.data(), prefix.size(), p);
  p += prefix.size();
  // Leedel would drop the blanks in front of the number in its 10 columns,
  // so only its own characters are placed.
  if (value < k_min_i10) {
    p = std::fill_n(p, k_i10_columns, '*');
  } else {
    p = put_decimal(p, value);
  }
  dropped = byte_scan::copy_finding_blank_or_nul(rest.data(), rest.size(), p) || dropped;
  p += rest.size();
  const auto length = static_cast<std::int16_t>(p - begin);
  out.length = dropped ? Leedel(begin, length) : length;
  return Rewrite::rewritten;
}
