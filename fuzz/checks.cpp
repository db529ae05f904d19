// Invariant checks behind the fuzz targets, each against a reference model
// kept deliberately simpler than the code it checks.
#include "fuzz/checks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "hilfen/feedfix/driver.h"
#include "hilfen/feedfix/intent_record.h"
#include "hilfen/feedfix/page_grid.h"
#include "runtime/arguments.h"
#include "runtime/command_line.h"
#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/record_file.h"
#include "runtime/test_seam.h"
#include "tests/support/fake_os.h"
#include "tests/support/record_helpers.h"

namespace {

constexpr std::size_t k_columns = k_record_columns;
constexpr std::size_t k_field_width = 10;

std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

/// Bytes shown with C escapes, for the report of a broken invariant.
std::string shown(std::string_view bytes) {
  static const char* const hex = "0123456789abcdef";
  std::string text = "\"";
  for (const char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (u < 0x20 || u >= 0x7f) {
      text += "\\x";
      text += hex[u >> 4];
      text += hex[u & 15];
    } else {
      text += c;
    }
  }
  return text + "\"";
}

// ---------------------------------------------------------------------------
// The "(i10)" field

/// Where the field ends: up to 10 characters, before a CR or LF, a comma
/// included.
std::size_t reference_taken(std::string_view data) {
  const std::size_t limit = std::min(data.size(), k_field_width);
  std::size_t taken = 0;
  while (taken < limit && data[taken] != '\r' && data[taken] != '\n') {
    if (data[taken++] == ',') break;
  }
  return taken;
}

struct ReferenceValue {
  bool decided = false;  // the reference knows the answer
  IoStatus status = k_io_ok;
  std::int64_t value = 0;
};

/// The value of a plain decimal field ([sign] digits, with blanks, tabs and
/// leading zeros anywhere they may stand); undecided for anything with a
/// base, a NUL or another character.
ReferenceValue reference_decimal(std::string_view field) {
  ReferenceValue ref;
  std::string kept;
  for (const char c : field) {
    if (c == ',') break;
    if (c == '\x1a') {
      ref.decided = true;
      ref.status = k_io_end;
      return ref;
    }
    if (c != ' ' && c != '\t') kept += c;
  }
  kept.erase(0, kept.find_first_not_of('0') == std::string::npos ? kept.size()
                                                                 : kept.find_first_not_of('0'));
  bool negative = false;
  if (!kept.empty() && (kept[0] == '+' || kept[0] == '-')) {
    negative = kept[0] == '-';
    kept.erase(0, 1);
  }
  for (const char c : kept) {
    if (c < '0' || c > '9') return ref;  // undecided
  }
  ref.decided = true;
  for (const char c : kept) {
    ref.value = ref.value * 10 + (c - '0');
    if (ref.value > std::numeric_limits<std::int32_t>::max()) {
      ref.status = k_io_overflow;
      return ref;
    }
  }
  if (negative) ref.value = -ref.value;
  return ref;
}

bool known_field_status(IoStatus s) {
  return s == k_io_ok || s == k_io_end || s == k_io_bad_integer || s == k_io_overflow ||
         s == k_io_bad_base;
}

}  // namespace

std::string check_integer_field(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size: a read past it is seen by the sanitizer.
  const std::vector<char> bytes(data, data + size);
  const std::string_view field(bytes.data(), bytes.size());
  const std::string what = "field " + shown(field) + ": ";

  std::int32_t first = 0x5a5a5a5a;
  std::int32_t second = -0x12345678;
  const FieldScan scan = scan_i10(field, first);
  const FieldScan again = scan_i10(field, second);
  if (!known_field_status(scan.status))
    return what + "unknown status " + std::to_string(scan.status);
  if (again.status != scan.status || again.taken != scan.taken) return what + "not repeatable";
  if (scan.status != k_io_ok && (first != 0x5a5a5a5a || second != -0x12345678)) {
    return what + "a failed read changed the variable";
  }
  if (scan.status == k_io_ok && first != second) return what + "the value depends on the variable";
  if (scan.taken > size || scan.taken > k_field_width) {
    return what + "took " + std::to_string(scan.taken) + " characters";
  }
  if (scan.taken != reference_taken(field)) {
    return what + "took " + std::to_string(scan.taken) + ", the field ends after " +
           std::to_string(reference_taken(field));
  }

  const ReferenceValue ref = reference_decimal(field.substr(0, scan.taken));
  if (ref.decided && ref.status != scan.status) {
    return what + "status " + std::to_string(scan.status) + ", expected " +
           std::to_string(ref.status);
  }
  if (ref.decided && ref.status == k_io_ok && ref.value != first) {
    return what + "value " + std::to_string(first) + ", expected " + std::to_string(ref.value);
  }

  // The read of a part of a record agrees with the scan of the same text.
  std::int32_t via_read = 0x5a5a5a5a;
  const IoStatus read = read_i10(field, via_read);
  if (read != scan.status) {
    return what + "read_i10 gives status " + std::to_string(read) + ", the scan " +
           std::to_string(scan.status);
  }
  if (read == k_io_ok && via_read != first) return what + "read_i10 gives another value";
  if (read != k_io_ok && via_read != 0x5a5a5a5a)
    return what + "a failed read_i10 changed the variable";
  return {};
}

// ---------------------------------------------------------------------------
// The record reader

namespace {

struct ReferenceRecord {
  std::string text;  // up to 80 characters
  bool lossless = true;
};

/// Lines run to the next LF; a last line without one counts when it holds
/// any byte. A record's data stops at its first CR; 80 columns are kept, and
/// the line loses data when a non-blank stands behind them or anything but CR
/// stands behind its first CR.
std::vector<ReferenceRecord> reference_records(std::string_view content) {
  std::vector<ReferenceRecord> records;
  std::size_t pos = 0;
  while (pos < content.size()) {
    const std::size_t lf = content.find('\n', pos);
    const std::string_view line =
        content.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    pos = lf == std::string_view::npos ? content.size() : lf + 1;
    const std::size_t cr = line.find('\r');
    const std::string_view data = line.substr(0, cr);
    ReferenceRecord record;
    record.text = std::string(data.substr(0, k_columns));
    if (data.size() > k_columns &&
        data.substr(k_columns).find_first_not_of(' ') != std::string_view::npos) {
      record.lossless = false;
    }
    if (cr != std::string_view::npos &&
        line.substr(cr).find_first_not_of('\r') != std::string_view::npos) {
      record.lossless = false;
    }
    records.push_back(record);
  }
  return records;
}

struct IntegerRead {
  IoStatus status = k_io_ok;
  std::int32_t value = 0;
  friend bool operator==(const IntegerRead&, const IntegerRead&) = default;
};

/// Integer reads one after another: each field is scanned where the last read
/// stopped; a good one skips the rest of its line, a failed one stays just
/// behind the characters it took.
std::vector<IntegerRead> reference_integer_reads(std::string content, std::size_t limit) {
  if (!content.empty() && content.back() != '\n') content += '\n';
  std::vector<IntegerRead> reads;
  std::size_t pos = 0;
  std::int32_t value = 0;
  while (pos < content.size() && reads.size() < limit) {
    std::size_t length = 0;
    while (length < k_field_width && pos + length < content.size() &&
           content[pos + length] != '\r' && content[pos + length] != '\n') {
      ++length;
    }
    const FieldScan scan = scan_i10(std::string_view(content).substr(pos, length), value);
    pos += std::min(scan.taken, length);
    reads.push_back({scan.status, value});
    if (scan.status == k_io_ok) pos = content.find('\n', pos) + 1;
  }
  if (reads.size() < limit) reads.push_back({k_io_end, value});
  return reads;
}

std::string padded(std::string text) {
  text.resize(k_columns, ' ');
  return text;
}

}  // namespace

std::string check_record_reader(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  // First byte: the largest read the file gives at once (1 to 63, or all it
  // is asked for), and whether the records are read as integer fields (bit
  // 6) or as text lines in place (bit 7) rather than as 80-column records.
  const unsigned mode = data[0];
  const bool integers = (mode & 0x40) != 0;
  const bool in_place = !integers && (mode & 0x80) != 0;
  const std::size_t chunk =
      (mode & 0x3f) == 0x3f ? static_cast<std::size_t>(-1) : (mode & 0x3f) + 1;
  const std::string content(as_text(data + 1, size - 1));
  const std::string what = std::string(integers   ? "integer"
                                       : in_place ? "line"
                                                  : "text") +
                           " reads of " + shown(content) + " in pieces of " +
                           std::to_string(chunk) + ": ";

  FakeOs fake;
  FakeOsScope scope(fake);
  fake.files["in.plt"] = content;
  fake.read_chunk = chunk;
  if (open_unit(k_plot_unit, "in.plt", "OLD", "read") != k_io_ok) return what + "open failed";

  if (integers) {
    // Every read takes at least a line end or a character, so reads are
    // bounded by the size; the bound only guards against a loop.
    const std::size_t limit = content.size() + 2;
    const std::vector<IntegerRead> expected = reference_integer_reads(content, limit);
    std::int32_t value = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      IntegerRead got;
      got.status = read_integer_record(k_plot_unit, value);
      got.value = value;
      if (!(got == expected[i])) {
        return what + "read " + std::to_string(i + 1) + " gives " + std::to_string(got.status) +
               "/" + std::to_string(got.value) + ", expected " +
               std::to_string(expected[i].status) + "/" + std::to_string(expected[i].value);
      }
    }
    close_unit(k_plot_unit);
    return {};
  }

  const std::vector<ReferenceRecord> expected = reference_records(content);
  if (in_place) {
    for (std::size_t i = 0; i <= expected.size(); ++i) {
      std::string_view line = "unchanged";
      bool lossless = false;
      const IoStatus status = read_text_line(k_plot_unit, line, lossless);
      if (i == expected.size()) {
        if (status != k_io_end) return what + "no end of file after the last line";
        break;
      }
      const std::string where = "line " + std::to_string(i + 1) + ": ";
      if (status != k_io_ok) return what + where + "status " + std::to_string(status);
      if (line != expected[i].text)
        return what + where + shown(line) + ", expected " + shown(expected[i].text);
      if (lossless != expected[i].lossless) return what + where + "wrong lossless flag";
    }
    close_unit(k_plot_unit);
    return {};
  }
  for (std::size_t i = 0; i <= expected.size(); ++i) {
    PlotRecord record;
    record.fill('#');
    bool lossless = false;
    const IoStatus status = read_text_record(k_plot_unit, record, lossless);
    const std::string text(record.begin(), record.end());
    if (i == expected.size()) {
      if (status != k_io_end) return what + "no end of file after the last record";
      if (text != std::string(k_columns, '#')) return what + "the end of file changed the record";
      break;
    }
    const std::string where = "record " + std::to_string(i + 1) + ": ";
    if (status != k_io_ok) return what + where + "status " + std::to_string(status);
    if (text != padded(expected[i].text)) {
      return what + where + shown(text) + ", expected " + shown(padded(expected[i].text));
    }
    if (lossless != expected[i].lossless) return what + where + "wrong lossless flag";
  }
  // Reading on at the end gives the end again.
  PlotRecord record{};
  bool lossless = false;
  if (read_text_record(k_plot_unit, record, lossless) != k_io_end) return what + "no second end";
  close_unit(k_plot_unit);
  return {};
}

// ---------------------------------------------------------------------------
// The command line

namespace {

/// Writes `argument` so that the splitter gives it back: bare when it needs
/// no quoting, else quoted with every backslash run before a quote doubled.
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string line = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, '\\');
  return line + "\"";
}

}  // namespace

std::string check_command_line(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  // First byte, bit 0: a lead-byte table follows in the next 32 bytes (one
  // bit per byte value). Bits 1 and up: the buffer size for get_argument.
  const bool with_table = (data[0] & 1) != 0;
  const std::size_t buffer_size = data[0] >> 1;
  std::size_t pos = 1;
  std::array<bool, 256> table{};
  if (with_table) {
    for (std::size_t b = 0; b < 256; ++b) {
      const std::size_t at = pos + b / 8;
      table[b] = at < size && ((data[at] >> (b % 8)) & 1) != 0;
    }
    pos = std::min(size, pos + 32);
  }
  const std::vector<char> line(data + pos, data + size);
  const std::string_view text(line.data(), line.size());
  const std::string what = "line " + shown(text) + (with_table ? " with lead bytes: " : ": ");

  const std::vector<std::string> arguments =
      split_command_line(text, with_table ? table.data() : nullptr);
  if (arguments.empty()) return what + "no program name";
  std::size_t total = 0;
  for (const std::string& a : arguments) total += a.size();
  if (total > text.size()) return what + "more bytes out than in";
  if (split_command_line(text, with_table ? table.data() : nullptr) != arguments) {
    return what + "not repeatable";
  }

  // Without lead bytes, the arguments quoted back give themselves again.
  if (!with_table) {
    std::string rebuilt = "p";
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      rebuilt += ' ';
      rebuilt += quoted(arguments[i]);
    }
    std::vector<std::string> again = split_command_line(rebuilt);
    if (again.empty() || again[0] != "p") return what + "quoted line lost the program name";
    again[0] = arguments[0];
    if (again != arguments) return what + "quoting back gives other arguments: " + shown(rebuilt);
  }

  // get_argument fills exactly the buffer and tells the full length.
  FakeOs fake;
  fake.args = arguments;
  FakeOsScope scope(fake);
  for (std::int16_t index = -1;
       index <= static_cast<std::int16_t>(std::min<std::size_t>(arguments.size(), 40)); ++index) {
    std::vector<char> buffer(buffer_size + 1, '\x7f');
    std::int16_t length = 7;
    get_argument(index, buffer.data(), buffer_size, length);
    if (buffer.back() != '\x7f') return what + "get_argument wrote past the buffer";
    if (index < 0 || static_cast<std::size_t>(index) >= arguments.size()) {
      if (length != -1) return what + "length of a missing argument is not -1";
      if (std::count(buffer.begin(), buffer.end(), '\x7f') !=
          static_cast<std::ptrdiff_t>(buffer.size())) {
        return what + "a missing argument changed the buffer";
      }
      continue;
    }
    const std::string& argument = arguments[static_cast<std::size_t>(index)];
    if (static_cast<std::size_t>(length) != std::min<std::size_t>(argument.size(), 32767)) {
      return what + "wrong length of argument " + std::to_string(index);
    }
    const std::size_t copied = std::min(argument.size(), buffer_size);
    if (std::string_view(buffer.data(), copied) != std::string_view(argument).substr(0, copied) ||
        std::count(buffer.begin() + static_cast<std::ptrdiff_t>(copied), buffer.end() - 1, ' ') !=
            static_cast<std::ptrdiff_t>(buffer_size - copied)) {
      return what + "wrong buffer for argument " + std::to_string(index);
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// A whole run

namespace {

const std::string k_ini = "feedfix.ini";
const std::string k_temp = "~ffx.log";
const std::string k_plot = "plot.plt";

constexpr OsError k_errors[] = {OsError::disk_full, OsError::io_error, OsError::access_denied,
                                OsError::write_protect};

struct Loaded {
  std::int32_t pg_threshold = 15574;
  std::int32_t carried_shift = 0;
};

/// The settings as a run would take them from `content`: two "(i10)" records,
/// replaced by the defaults when either is unreadable or out of range.
Loaded reference_settings(const std::string& content) {
  FakeOs fake;
  FakeOsScope scope(fake);
  fake.files[k_ini] = content;
  Loaded loaded;
  (void)open_unit(k_settings_unit, k_ini, "OLD", "read");
  std::int32_t threshold = 0;
  std::int32_t shift = 0;
  const bool readable = read_integer_record(k_settings_unit, threshold) == k_io_ok &&
                        read_integer_record(k_settings_unit, shift) == k_io_ok;
  reset_units();
  if (readable && threshold >= 10000 && threshold <= 40000 && shift >= -2 && shift <= 2000) {
    loaded.pg_threshold = threshold;
    loaded.carried_shift = shift;
  }
  return loaded;
}

std::string ten_columns(std::int32_t value) {
  char field[k_field_width];
  format_integer(value, static_cast<int>(k_field_width), field);
  return std::string(field, k_field_width);
}

/// The record without blanks and NULs, as a rewrite leaves every part of it.
std::string squeezed(std::string_view text) {
  std::string kept;
  for (const char c : text) {
    if (c != ' ' && c != '\0') kept += c;
  }
  return kept;
}

std::string trimmed(const std::string& text) {
  const std::size_t last = text.find_last_not_of(' ');
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

bool holds(std::string_view text, std::string_view key) {
  return text.find(key) != std::string_view::npos;
}

/// Splits `text` into its CR LF records; false when it does not end in CR LF.
bool crlf_lines(const std::string& text, std::vector<std::string>& lines) {
  lines.clear();
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return false;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return true;
}

/// Checks `output` (the records the run wrote) against the plot file it came
/// from, following the carried shift from `loaded`; gives the final shift.
std::string check_rewrite(const std::vector<ReferenceRecord>& input, const std::string& output,
                          const Loaded& loaded, std::int32_t& final_shift) {
  std::vector<std::string> lines;
  if (!crlf_lines(output, lines)) return "output does not end in CR LF";
  if (lines.size() != input.size()) {
    return "output has " + std::to_string(lines.size()) + " records for " +
           std::to_string(input.size());
  }
  const PageGrid grid = build_page_grid();
  std::int64_t shift = loaded.carried_shift;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const std::string where = "record " + std::to_string(i + 1) + " " + shown(input[i].text) +
                              " -> " + shown(lines[i]) + ": ";
    const std::string record = padded(input[i].text);
    const std::string as_read = trimmed(record);
    if (lines[i] == as_read) continue;  // written as read; the shift stays
    const std::string& out = lines[i];
    if (out.find(' ') != std::string::npos || out.find('\0') != std::string::npos) {
      return where + "a rewritten record holds a blank or NUL";
    }
    const bool pen = holds(record, "PU") || holds(record, "PD") || holds(record, "PA");
    if (pen && shift >= 1) {
      // The first number, from its first digit or minus sign to the first
      // comma, gains the shift.
      const std::size_t start = record.find_first_of("1234567890-");
      const std::size_t comma = record.find(',');
      if (start == std::string::npos || comma == std::string::npos || comma <= start) {
        return where + "a pen record without a number was changed";
      }
      std::int32_t value = 0;
      if (read_i10(std::string_view(record).substr(start, comma - start), value) != k_io_ok) {
        return where + "a pen number that does not read was changed";
      }
      std::int64_t sum = shift + value;
      if (sum == k_grid_step + 1) --sum;
      const std::string expected =
          squeezed(record.substr(0, start)) + std::to_string(sum) + squeezed(as_read.substr(comma));
      if (out != expected) return where + "expected " + shown(expected);
      continue;
    }
    if (!holds(record, "PG")) return where + "a record that is neither pen nor page was changed";
    const std::size_t comma = record.find(',', 6);
    if (comma == std::string::npos || comma == 6)
      return where + "a page record without a value changed";
    std::int32_t value = 0;
    if (read_i10(std::string_view(record).substr(6, comma - 6), value) != k_io_ok) {
      return where + "a page value that does not read was changed";
    }
    if (value >= loaded.pg_threshold)
      return where + "a page value at or above the threshold changed";
    const std::string head = squeezed(record.substr(0, 6));
    const std::string tail = squeezed(as_read.substr(comma));
    if (out.size() < head.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
      return where + "the parts around the page value changed";
    }
    const std::string digits = out.substr(head.size(), out.size() - head.size() - tail.size());
    if (digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return where + "the new page value is no grid entry";
    }
    const std::int64_t entry = std::stoll(digits);
    const std::int64_t x = value + shift;
    if (x < std::numeric_limits<std::int32_t>::min() ||
        x > std::numeric_limits<std::int32_t>::max()) {
      return where + "a page value far off the grid was rewritten";
    }
    const std::int32_t j = page_grid_index(static_cast<std::int32_t>(x));
    // The snap goes to the grid entry of the shifted value, and what the page
    // value loses the shift gains.
    if (j < 0 || j >= k_page_grid_size || grid[static_cast<std::size_t>(j)] != entry) {
      return where + "snapped to " + digits + ", not to the grid entry of " + std::to_string(x);
    }
    const std::int64_t new_shift = x - entry;
    if (entry + new_shift != value + shift) return where + "page value plus shift not kept";
    if (new_shift == shift) return where + "rewritten although the remainder equals the shift";
    shift = new_shift;
  }
  final_shift = static_cast<std::int32_t>(shift);
  return {};
}

/// How the run ended: "fatal", "OK", or the message of the stop.
std::string end_of(int status, const std::string& out) {
  if (status == 1) return "fatal";
  const std::string ok = " OK\r\n";  // "  OK" on the progress line, " OK" on a new one
  if (out.size() >= ok.size() && out.compare(out.size() - ok.size(), ok.size(), ok) == 0)
    return "OK";
  const std::string tail = "\r\n\r\n";
  if (out.size() < tail.size() || out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
    return "unended console " +
           shown(std::string_view(out).substr(out.size() - std::min<std::size_t>(out.size(), 80)));
  }
  const std::string body = out.substr(0, out.size() - tail.size());
  const std::size_t start = body.rfind("\r\n");
  return start == std::string::npos ? body : body.substr(start + 2);
}

}  // namespace

namespace {

bool same_state(const FileState& a, const FileState& b) {
  return a.exists == b.exists && a.id == b.id && a.size == b.size && a.modified == b.modified &&
         a.changed == b.changed;
}

}  // namespace

std::string check_intent_record(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Intent intent;
  if (!parse_intent(text, intent)) return {};
  if (intent.pg_threshold < 10000 || intent.pg_threshold > 40000 || intent.carried_shift < -2 ||
      intent.carried_shift > 2000) {
    return "settings out of range accepted";
  }
  if (intent.plot_name.empty() || intent.plot_name.size() > 259 ||
      intent.plot_name.find('\0') != std::string::npos) {
    return "a plot name no run writes accepted";
  }
  if (!intent.plot_before.exists || !intent.corrected.exists) return "a missing file state accepted";
  Intent again;
  if (!parse_intent(format_intent(intent), again)) return "its own written form is refused";
  if (again.method != intent.method || again.plot_name != intent.plot_name ||
      again.pg_threshold != intent.pg_threshold || again.carried_shift != intent.carried_shift ||
      !same_state(again.plot_before, intent.plot_before) ||
      !same_state(again.corrected, intent.corrected) || !same_state(again.beside, intent.beside)) {
    return "its own written form reads back otherwise";
  }
  return {};
}

std::string check_whole_run(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return {};
  // Header: byte 0 bit 0 a failing call, bits 1-2 its error, bit 3 torn
  // writes, bit 4 a read-only plot file, bits 5-7 the read size; bytes 1-2
  // the index of the failing call; byte 3 the length of the settings file
  // (255: none). Then the settings file, then the plot file.
  const unsigned flags = data[0];
  const bool inject = (flags & 1) != 0;
  const OsError error = k_errors[(flags >> 1) & 3];
  const std::size_t fault_index =
      static_cast<std::size_t>(data[1]) | static_cast<std::size_t>(data[2]) << 8;
  const std::size_t ini_size = data[3] == 255 ? 0 : std::min<std::size_t>(data[3], size - 4);
  const bool has_ini = data[3] != 255;
  const std::string ini(as_text(data + 4, ini_size));
  const std::string plot(as_text(data + 4 + ini_size, size - 4 - ini_size));
  static constexpr std::size_t k_chunks[] = {
      static_cast<std::size_t>(-1), 1, 2, 3, 7, 64, 1023, 1024};

  FakeOs fake;
  fake.args = {"feedfix", k_plot};
  fake.files[k_plot] = plot;
  if (has_ini) fake.files[k_ini] = ini;
  fake.read_chunk = k_chunks[flags >> 5];
  fake.tear_failed_writes = (flags & 8) != 0;
  if ((flags & 16) != 0) fake.read_only.insert(k_plot);
  if (inject) fake.fail_call(fault_index, error);

  int status = -1;
  {
    FakeOsScope scope(fake);
    try {
      end_process(feedfix_main());
    } catch (const ProcessExit& exit) {
      status = exit.status;
    }
  }
  // What the tool said, also where the console refused it.
  const std::string how = end_of(status, fake.out_tried);
  const std::string what = "run (" + how + ") on plot " + shown(plot) + ", settings " +
                           (has_ini ? shown(ini) : std::string("none")) +
                           (inject ? ", call " + std::to_string(fault_index) + " failing" : "") +
                           ": ";

  if (status != 0 && status != 1) return what + "exit status " + std::to_string(status);
  if (status == 1 && fake.err.rfind("\r\nrun-time error F", 0) != 0)
    return what + "no fatal report";
  if (status == 0 && !fake.err.empty()) return what + "standard error written";
  if (!fake.open_files().empty()) return what + "a file left open";
  // The intent record stays where its own removal failed, and where a fatal
  // report ended the run after the replacement was recorded: the next run
  // finishes the replacement and removes it.
  const bool intent_may_stay =
      status == 1 || (inject && fault_index >= 1 && fault_index <= fake.calls.size() &&
                      fake.calls[fault_index - 1] == "remove ~ffx.jnl");
  for (const auto& [name, content] : fake.files) {
    if (name == "~ffx.jnl" && intent_may_stay) continue;
    if (name != k_ini && name != k_temp && name != k_plot) return what + "stray file " + name;
  }

  // The settings file: the old one, or one of the forms the tool writes.
  const auto ini_now = fake.files.find(k_ini);
  const bool ini_old =
      has_ini ? ini_now != fake.files.end() && ini_now->second == ini : ini_now == fake.files.end();
  const bool ini_default = ini_now != fake.files.end() && ini_now->second == "15574\r\n0\r\n";
  const bool ini_written_back = ini_now != fake.files.end() && ini_now->second.size() == 24 &&
                                ini_now->second[10] == '\r' && ini_now->second[11] == '\n' &&
                                ini_now->second.substr(22) == "\r\n";
  if (!ini_old && !ini_default && !ini_written_back) {
    return what + "settings file left as " +
           (ini_now == fake.files.end() ? std::string("none") : shown(ini_now->second));
  }

  const std::vector<ReferenceRecord> records = reference_records(plot);
  const bool lossy = std::any_of(records.begin(), records.end(),
                                 [](const ReferenceRecord& r) { return !r.lossless; });
  const std::string& plot_now = fake.files[k_plot];
  const bool plot_changed = plot_now != plot;
  // " OK" is printed before the plot file is replaced; a fatal report may
  // come after that, from the write-back of the settings. The same two
  // messages also end a run right after the banner, where a stopped run's
  // replacement cannot be finished: that run never reached its records.
  // "  OK" on the progress line, " OK" on a line of its own after a pause.
  const std::size_t ok_at = fake.out_tried.find(" OK");
  const bool printed_ok =
      ok_at != std::string::npos && (ok_at + 3 == fake.out_tried.size() ||
                                     fake.out_tried.compare(ok_at + 3, 2, "\r\n") == 0);
  const bool after_ok = how == "OK" || (printed_ok && (how == "Error on cleaning up plot files." ||
                                                       how == "INI-file not opened (for writing)."));
  if (plot_changed && lossy) return what + "a plot with lines read at a loss was replaced";
  if (plot_changed && !after_ok && how != "fatal") return what + "plot replaced on a failed run";
  if (!after_ok && !plot_changed) return {};
  if (lossy) return what + "a plot with lines read at a loss went through";

  // The run came through its record loop: the records it wrote are the plot
  // file when it was replaced, else the temporary file when that stayed.
  const Loaded loaded = reference_settings(ini);
  std::string output;
  const auto temp = fake.files.find(k_temp);
  if (plot_changed) {
    output = plot_now;
  } else if (temp != fake.files.end()) {
    output = temp->second;
  } else {
    for (const ReferenceRecord& r : records) output += trimmed(padded(r.text)) + "\r\n";
  }
  std::int32_t final_shift = loaded.carried_shift;
  if (const std::string problem = check_rewrite(records, output, loaded, final_shift);
      !problem.empty()) {
    return what + problem;
  }
  if (plot_changed && temp != fake.files.end() && temp->second != plot_now) {
    return what + "the temporary file left differs from the new plot";
  }
  // The write-back that ends every run through " OK" holds the shift that
  // the records leave.
  const bool written_back = how == "OK" || how == "Error on cleaning up plot files.";
  if (written_back && ini_written_back &&
      ini_now->second !=
          ten_columns(loaded.pg_threshold) + "\r\n" + ten_columns(final_shift) + "\r\n") {
    return what + "settings written back as " + shown(ini_now->second) + ", expected shift " +
           std::to_string(final_shift);
  }
  return {};
}
