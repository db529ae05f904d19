// The fast paths for large plot files against the plain rules they stand in
// for: the line reader against a plain cutting of lines into records, the
// plain-number read against the general field rule, and the pen and page
// rewrites against composing 80 columns and passing them through Leedel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "Kopf01/leedel.h"
#include "hilfen/feedfix/page_grid.h"
#include "hilfen/feedfix/plot_records.h"
#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/record_file.h"
#include "tests/support/fake_os.h"
#include "tests/support/record_helpers.h"
#include "tests/support/tool_files.h"

namespace {

using namespace std::string_view_literals;  // the character sets hold NUL

constexpr std::size_t k_any_chunk = static_cast<std::size_t>(-1);
constexpr std::size_t k_buffer = k_record_buffer_size;

using Random = std::mt19937;

std::size_t pick(Random& random, std::size_t below) {
  return std::uniform_int_distribution<std::size_t>(0, below - 1)(random);
}

char pick_from(Random& random, std::string_view set) { return set[pick(random, set.size())]; }

std::string random_text(Random& random, std::size_t length, std::string_view set) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += pick_from(random, set);
  return text;
}

// Reading ---------------------------------------------------------------------

struct LineRecord {
  std::string data;  // the record's text before its blank fill
  bool lossless = true;
  friend bool operator==(const LineRecord&, const LineRecord&) = default;
};

std::ostream& operator<<(std::ostream& out, const LineRecord& r) {
  return out << '"' << r.data << '"' << (r.lossless ? "" : " lossy");
}

/// The line rules, plainly: a record runs to and includes the next LF (a
/// last line without one is a record too); its data stops at the first CR or
/// LF and at 80 characters; it is lossless when only blanks stand between
/// column 80 and that CR, and only CRs between the CR and the LF.
std::vector<LineRecord> plain_records(const std::string& file) {
  std::vector<LineRecord> records;
  std::size_t pos = 0;
  while (pos < file.size()) {
    const std::size_t lf = file.find('\n', pos);
    const std::size_t end = lf == std::string::npos ? file.size() : lf;
    const std::string line = file.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t data_end = std::min(line.find('\r'), line.size());
    LineRecord record;
    record.data = line.substr(0, std::min<std::size_t>(data_end, k_record_columns));
    for (std::size_t i = record.data.size(); i < line.size(); ++i) {
      if (line[i] != (i < data_end ? ' ' : '\r')) record.lossless = false;
    }
    records.push_back(record);
  }
  return records;
}

enum class Reader { line, record, batch };

std::vector<LineRecord> read_records(FakeOs& fake, const std::string& file, std::size_t chunk,
                                     Reader reader) {
  fake.files["in.plt"] = file;
  fake.read_chunk = chunk;
  EXPECT_EQ(k_io_ok, open_unit(k_plot_unit, "in.plt", "OLD", "read"));
  std::vector<LineRecord> records;
  if (reader == Reader::batch) {
    // Batches of three, so that batches end at buffer edges and before them.
    for (;;) {
      std::string_view lines[3];
      std::size_t count = 0;
      bool last_lossless = true;
      const IoStatus status = read_text_lines(k_plot_unit, lines, 3, count, last_lossless);
      if (status != k_io_ok) {
        EXPECT_EQ(k_io_end, status);
        EXPECT_EQ(0u, count);
        break;
      }
      EXPECT_GE(count, 1u);
      for (std::size_t i = 0; i < count; ++i) {
        records.push_back({std::string(lines[i]), i + 1 < count || last_lossless});
      }
    }
    close_unit(k_plot_unit);
    return records;
  }
  for (;;) {
    LineRecord record;
    IoStatus status = k_io_ok;
    if (reader == Reader::line) {
      std::string_view data;
      status = read_text_line(k_plot_unit, data, record.lossless);
      record.data = data;
    } else {
      PlotRecord columns;
      status = read_text_record(k_plot_unit, columns, record.lossless);
      record.data.assign(columns.begin(), columns.end());
    }
    if (status != k_io_ok) {
      EXPECT_EQ(k_io_end, status);
      break;
    }
    records.push_back(record);
  }
  close_unit(k_plot_unit);
  return records;
}

/// A plot-like file of about `size` bytes: lines of every length up to past
/// 80 columns, with blanks, tabs, NULs, lone CRs and the three line ends.
std::string random_plot_file(Random& random, std::size_t size) {
  std::string file;
  while (file.size() < size) {
    const std::size_t length = pick(random, 8) == 0 ? pick(random, 120) : pick(random, 45);
    std::string line = random_text(random, length, "PU1234,5;  x\t");
    if (!line.empty() && pick(random, 40) == 0) line[pick(random, line.size())] = '\0';
    switch (pick(random, 12)) {
      case 0: line += "\n"; break;
      case 1: line += "\r\r\n"; break;
      case 2: line += "\rlost\r\n"; break;
      case 3: line += std::string(pick(random, 90), ' ') + "\r\n"; break;
      default: line += "\r\n"; break;
    }
    file += line;
  }
  return file;
}

std::string filler_to(std::size_t size) {
  std::string file;
  while (file.size() + 20 <= size) file += "PU1234,5678,90,12;\r\n";
  file += std::string(size - file.size() - 2, 'x') + "\r\n";
  return file;
}

TEST(FastReader, GivesTheRecordsOfThePlainLineRulesAcrossBufferEdges) {
  std::vector<std::pair<std::string, std::string>> inputs = {
      {"line across the buffer edge", filler_to(k_buffer - 10) + "PD1,2,3,4,5,6,7,8,9,10,11;\r\n"},
      {"CR LF split over two buffers", filler_to(k_buffer - 5) + "PA1;\r\nPU2;\r\n"},
      {"last line without line end ending at the buffer size",
       filler_to(k_buffer - 6) + "PU7,8;"},
      {"ditto at twice the buffer size", filler_to(2 * k_buffer - 6) + "PU7,8;"},
      {"last line ends in CR at the buffer size", filler_to(k_buffer - 7) + "PU7,8;\r"},
      {"line longer than the buffer, blank tail",
       "a\r\nPU1," + std::string(k_buffer + 300, ' ') + "\r\nb\r\n"},
      {"line longer than the buffer, data far behind",
       "PU1," + std::string(k_buffer + 300, ' ') + "z\r\nb\r\n"},
      {"line longer than the buffer without line end", std::string(k_buffer + 5, 'q')},
      {"lines several buffers long, data and blanks",
       std::string(300 * 1024, 'x') + "\r\nnext\r\nab" + std::string(300 * 1024, ' ') + "\r\n" +
           std::string(300 * 1024, 'x')},
      {"CR alone as line end", "PU1;\rPU2;\rPU3;\r"},
      {"empty lines and an empty file's worth", "\r\n\n\r\r\n"},
      {"", ""},
  };
  Random random(20240601);
  for (const std::size_t size : {1000u, 20000u, 70000u, 140000u, 200000u}) {
    inputs.emplace_back("random file of " + std::to_string(size) + " bytes",
                        random_plot_file(random, size));
  }
  // An LF-less tail of each length up to past 80 columns after a full buffer.
  for (std::size_t tail = 0; tail < 90; tail += 7) {
    inputs.emplace_back("tail of " + std::to_string(tail),
                        filler_to(k_buffer) + std::string(tail, 'y'));
  }
  ASSERT_EQ('\r', inputs[1].second[k_buffer - 1]);
  ASSERT_EQ(k_buffer, inputs[2].second.size());
  ASSERT_EQ(k_buffer, inputs[4].second.size());
  const std::size_t chunks[] = {1, 7, 80, 81, 4096, k_buffer - 1, k_buffer, k_any_chunk};
  for (const auto& [what, file] : inputs) {
    const std::vector<LineRecord> expected = plain_records(file);
    for (const std::size_t chunk : chunks) {
      // With short reads every few bytes are a buffer edge: a short file
      // shows them all.
      if (chunk < 80 && file.size() > 20000) continue;
      SCOPED_TRACE(testing::Message() << what << ", reads of " << chunk);
      FakeOs fake;
      FakeOsScope scope(fake);
      ASSERT_EQ(expected, read_records(fake, file, chunk, Reader::line));
      ASSERT_EQ(expected, read_records(fake, file, chunk, Reader::batch));
      std::vector<LineRecord> padded = expected;
      for (LineRecord& r : padded) r.data.resize(k_record_columns, ' ');
      ASSERT_EQ(padded, read_records(fake, file, chunk, Reader::record));
    }
  }
}

TEST(FastWriter, HandsTheFileFullBuffersAsBefore) {
  FakeOs fake;
  FakeOsScope scope(fake);
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "out.log", "UNKNOWN", "write"));
  Random random(7);
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    const std::size_t length = i == 5000 ? 2 * k_buffer + 3 : pick(random, 90);
    const std::string text = random_text(random, length, "PU0,;  \t");
    ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, text));
    expected += text + "\r\n";
  }
  const auto writes = [&] {
    return static_cast<std::size_t>(
        std::count(fake.calls.begin(), fake.calls.end(), std::string("write out.log.new0")));
  };
  // Only full buffers went out so far, to the new file that takes the
  // name at close; the rest waits for the close.
  EXPECT_EQ(expected.substr(0, expected.size() / k_buffer * k_buffer), fake.files["out.log.new0"]);
  EXPECT_EQ(expected.size() / k_buffer, writes());
  close_unit(k_temp_unit);
  EXPECT_EQ(expected, fake.files["out.log"]);
  EXPECT_LE(writes(), expected.size() / k_buffer + 1) << "the close hands over the rest at once";
}

// Fields ------------------------------------------------------------------------

TEST(PlainNumber, ReadsAsTheGeneralFieldRuleReads) {
  std::vector<std::string> fields = {"",          "-",          "0",          "-0",
                                     "007",       "999999999",  "-999999999", "1000000000",
                                     "2147483647", "2147483648", "-2147483648", "12345678901",
                                     "--5",       "5-",         "+5",         "1 2"};
  Random random(99);
  for (int i = 0; i < 20000; ++i) {
    const std::string_view set = i % 2 == 0 ? "0123456789-" : "0123456789-+ \t#aF.\x1a";
    std::string field = random_text(random, pick(random, 13), set);
    if (pick(random, 50) == 0) field += std::string(1, '\0') + "7";
    fields.push_back(field);
  }
  for (const std::string& field : fields) {
    SCOPED_TRACE(testing::Message() << '"' << field << '"');
    std::int32_t general = -7;
    std::int32_t fast = -7;
    const IoStatus expected = scan_i10(field, general).status;
    ASSERT_EQ(expected, read_i10(field, fast));
    ASSERT_EQ(general, fast);
    const PlainNumber plain = scan_plain_number(field);
    if (plain.readable) {
      std::int32_t value = -7;
      ASSERT_EQ(k_io_ok, scan_i10(field.substr(0, plain.length), value).status);
      ASSERT_EQ(value, plain.value);
    }
  }
}

// Rewrites ------------------------------------------------------------------------

constexpr std::int64_t k_max_i32 = std::numeric_limits<std::int32_t>::max();

struct RecordOutcome {
  Rewrite rewrite = Rewrite::unchanged;
  std::string text;  // the rewritten record
  friend bool operator==(const RecordOutcome&, const RecordOutcome&) = default;
};

std::ostream& operator<<(std::ostream& out, const RecordOutcome& o) {
  const char* names[] = {"unchanged", "rewritten", "failed"};
  return out << names[static_cast<int>(o.rewrite)] << " \"" << o.text << '"';
}

PlotRecord columns_of(std::string_view data) {
  PlotRecord record;
  record.fill(' ');
  std::copy(data.begin(), data.end(), record.begin());
  return record;
}

/// Column count up to the last non-blank of the 80 columns.
int last_non_blank(const PlotRecord& record) {
  int n = k_record_columns;
  while (n > 0 && record[static_cast<std::size_t>(n - 1)] == ' ') --n;
  return n;
}

/// The plain rewrite: "(a,i10,a)" into all 80 columns, then Leedel over 80.
RecordOutcome plain_compose(std::string_view prefix, std::int32_t value, std::string_view rest) {
  PlotRecord record;
  record.fill('#');
  if (compose_a_i10_a(record, prefix, value, rest) != k_io_ok) return {Rewrite::failed, ""};
  const std::int16_t kept = Leedel(record.data(), k_record_columns);
  return {Rewrite::rewritten, std::string(record.data(), static_cast<std::size_t>(kept))};
}

/// Columns `from` up to `to` (exclusive) of a record.
std::string_view columns(const PlotRecord& record, int from, int to) {
  return {record.data() + from, static_cast<std::size_t>(to - from)};
}

/// The pen rewrite by the plain rules, on the record in 80 columns.
RecordOutcome plain_pen(std::string_view data, std::int32_t shift) {
  const PlotRecord record = columns_of(data);
  const int n = last_non_blank(record);
  const auto first = [&](auto is) {
    for (int c = 0; c < k_record_columns; ++c) {
      if (is(record[static_cast<std::size_t>(c)])) return c;
    }
    return -1;
  };
  const int i = first([](char c) { return (c >= '0' && c <= '9') || c == '-'; });
  const int k = first([](char c) { return c == ','; });
  if (i < 0 || k <= i) return {};
  std::int32_t value = 0;
  const std::string_view field(record.data() + i, static_cast<std::size_t>(k - i));
  if (scan_i10(field, value).status != k_io_ok) return {Rewrite::failed, ""};
  std::int64_t sum = std::int64_t{shift} + value;
  if (sum == k_grid_step + 1) --sum;
  // Asterisks and values beyond 32 bits fail rather than reach the file.
  if (sum < -999999999 || sum > k_max_i32) return {Rewrite::failed, ""};
  return plain_compose(columns(record, 0, i), static_cast<std::int32_t>(sum), columns(record, k, n));
}

/// Text as the loop hands it to the rewrites: up to the last non-blank.
std::string_view trimmed(std::string_view data) {
  const std::size_t n = data.find_last_not_of(' ');
  return data.substr(0, n == std::string_view::npos ? 0 : n + 1);
}

RecordOutcome fast_pen(std::string_view data, std::int32_t shift) {
  PlotRecord text;
  RewrittenRecord out{text.data()};
  RecordOutcome outcome{shift_pen_record(trimmed(data), shift, out), ""};
  if (outcome.rewrite == Rewrite::rewritten) {
    outcome.text.assign(out.text, static_cast<std::size_t>(out.length));
  }
  return outcome;
}

/// A number field of every kind the rules know: plain, signed, with blanks,
/// tabs and NULs, based, too long, with letters, near the 32-bit limit and
/// around the one sum that is written as 16250.
std::string random_field(Random& random) {
  switch (pick(random, 10)) {
    case 0: return random_text(random, 1 + pick(random, 14), "0123456789");
    case 1: return "-" + random_text(random, 1 + pick(random, 10), "0123456789");
    case 2: return random_text(random, pick(random, 12), "0123456789 \t\0-"sv);
    case 3: return pick_from(random, "0 -") + std::string("#") +
                   random_text(random, 1 + pick(random, 8), "0123456789ABCDEF");
    case 4: return std::to_string(k_max_i32 - static_cast<std::int64_t>(pick(random, 3000)));
    case 5: return std::to_string(16252 - static_cast<std::int64_t>(pick(random, 2004)));
    case 6: return random_text(random, 1 + pick(random, 4), "0123456789+-.aZ#\x1a");
    default: return std::to_string(pick(random, 17000));
  }
}

std::string random_rest(Random& random) {
  const std::size_t length = pick(random, 4) == 0 ? pick(random, 80) : pick(random, 25);
  return random_text(random, length, "0123456789,;  PUGA\t\0"sv) + std::string(pick(random, 3), ' ');
}

/// A pen record, sometimes with a command, a comma or a digit in front of its
/// number, and sometimes with more items than the rewrite can hold.
std::string random_pen_record(Random& random) {
  std::string record;
  if (pick(random, 4) == 0) record += random_text(random, pick(random, 6), "AB ;,\t+-1\0"sv);
  record += std::string("P") + pick_from(random, "UDA");
  record += random_text(random, pick(random, 3), " ;+");
  record += random_field(random);
  if (pick(random, 10) != 0) record += ",";
  record += random_rest(random);
  return record.substr(0, k_record_columns);
}

/// A page record whose value mostly begins in column 7, as page records do.
std::string random_page_record(Random& random) {
  static const std::string_view heads[] = {"PG;   "sv, "  PG  "sv, "PG\0;  "sv, "PG;\t  "sv,
                                           "PG    "sv, "xPG;, "sv,  "PG;"sv,      "PG;      "sv};
  std::string record(heads[pick(random, std::size(heads))]);
  record += pick(random, 3) == 0 ? random_field(random) : std::to_string(pick(random, 17500));
  if (pick(random, 12) == 0) record = "PG;   -" + std::to_string(pick(random, 800));
  if (pick(random, 10) != 0) record += ",";
  record += random_rest(random);
  return record.substr(0, k_record_columns);
}

TEST(FastRewrite, PenRecordsComeOutAsComposingAndLeedelGive) {
  Random random(4711);
  const std::int32_t shifts[] = {1, 2, 250, 251, 678, 2000};
  for (int i = 0; i < 50000; ++i) {
    const std::string record = random_pen_record(random);
    const std::int32_t shift = shifts[pick(random, std::size(shifts))];
    SCOPED_TRACE(testing::Message() << '"' << record << "\" shift " << shift);
    ASSERT_EQ(plain_pen(record, shift), fast_pen(record, shift));
  }
}

TEST(FastRewrite, ComposedRecordsEqualComposeAndLeedel) {
  Random random(31);
  // Every digit count, around the powers of ten, with and without a sign.
  const std::int32_t values[] = {0,      5,      -42,    16250,  9,       10,      99,     100,
                                 999,    1000,   9999,   10000,  99999,   100000,  -1,     -9,
                                 -10,    -9999,  -10000, -99999, -100000, 1234567, -999999999,
                                 -1000000000,    std::numeric_limits<std::int32_t>::min(),
                                 2147483647};
  for (int i = 0; i < 20000; ++i) {
    const std::string prefix = random_text(random, pick(random, 45), "PUx \0\t"sv);
    const std::string rest = random_text(random, pick(random, 45), ",1; \0\t"sv);
    const std::int32_t value = i % 2 == 0 ? values[pick(random, std::size(values))]
                                          : static_cast<std::int32_t>(random());
    SCOPED_TRACE(testing::Message() << '"' << prefix << "\" " << value << " \"" << rest << '"');
    const RecordOutcome expected = plain_compose(prefix, value, rest);
    PlotRecord text;
    RewrittenRecord out{text.data()};
    RecordOutcome fast{compose_rewrite(prefix, value, rest, out), ""};
    if (fast.rewrite == Rewrite::rewritten) {
      fast.text.assign(out.text, static_cast<std::size_t>(out.length));
    }
    ASSERT_EQ(expected, fast);
  }
}

std::int32_t clamp_to_i32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), k_max_i32));
}

/// What a page record does by the plain rules, besides its record.
struct PageEffects {
  bool dot = false;         // the value was read
  bool error_line = false;  // "Error: x,j,m=" and the pause
};

/// The page rewrite by the plain rules, on the record in 80 columns.
RecordOutcome plain_page(std::string_view data, std::int32_t threshold, const PageGrid& grid,
                         std::int32_t& shift, PageEffects& effects) {
  const PlotRecord record = columns_of(data);
  const int n = last_non_blank(record);
  int k = -1;
  for (int c = 6; c < k_record_columns && k < 0; ++c) {
    if (record[static_cast<std::size_t>(c)] == ',') k = c;
  }
  if (k <= 6) return {};
  std::int32_t value = 0;
  const std::string_view field(record.data() + 6, static_cast<std::size_t>(k - 6));
  if (scan_i10(field, value).status != k_io_ok) return {Rewrite::failed, ""};
  effects.dot = true;
  if (value >= threshold) return {};
  const std::int64_t x = std::int64_t{value} + shift;
  const std::int32_t j = page_grid_index(clamp_to_i32(x));
  if (j < 0 || j >= k_page_grid_size) {
    effects.error_line = true;  // kept as read
    return {};
  }
  const std::int32_t m = static_cast<std::int32_t>(x - grid[static_cast<std::size_t>(j)]);
  if (m < 0 || m > 678) effects.error_line = true;
  if (m == shift) return {};
  const RecordOutcome outcome =
      plain_compose(columns(record, 0, 6), grid[static_cast<std::size_t>(j)], columns(record, k, n));
  if (outcome.rewrite == Rewrite::rewritten) shift = m;
  return outcome;
}

TEST(FastRewrite, PageRecordsComeOutAsComposingAndLeedelGive) {
  Random random(1234);
  const PageGrid grid = build_page_grid();
  const std::int32_t shifts[] = {-2, -1, 0, 1, 250, 446, 678, 2000};
  for (int i = 0; i < 30000; ++i) {
    const std::string record = random_page_record(random);
    const std::int32_t shift_in = shifts[pick(random, std::size(shifts))];
    const std::int32_t threshold = i % 3 == 0 ? 10000 + static_cast<std::int32_t>(pick(random, 30001))
                                              : 15574;
    SCOPED_TRACE(testing::Message() << '"' << record << "\" shift " << shift_in << " threshold "
                                    << threshold);
    std::int32_t plain_shift = shift_in;
    PageEffects effects;
    const RecordOutcome expected = plain_page(record, threshold, grid, plain_shift, effects);

    FakeOs fake;
    FakeOsScope scope(fake);
    console_record(" .", LineEnd::stays_open);  // the progress line, as the driver starts it
    std::int32_t fast_shift = shift_in;
    PlotRecord text;
    RewrittenRecord out{text.data()};
    RecordOutcome fast{snap_page_record(trimmed(record), threshold, grid, fast_shift, out), ""};
    if (fast.rewrite == Rewrite::rewritten) {
      fast.text.assign(out.text, static_cast<std::size_t>(out.length));
    }
    ASSERT_EQ(expected, fast);
    ASSERT_EQ(plain_shift, fast_shift);
    ASSERT_EQ(effects.dot, fake.out.starts_with(".."));
    ASSERT_EQ(effects.error_line, fake.out.find("Error: x,j,m=") != std::string::npos);
  }
}

// The whole loop ------------------------------------------------------------------

struct LoopOutcome {
  std::string temp;
  bool run_ok = true;
  bool changed = false;
  std::int32_t shift = 0;
  friend bool operator==(const LoopOutcome&, const LoopOutcome&) = default;
};

std::ostream& operator<<(std::ostream& out, const LoopOutcome& o) {
  return out << (o.run_ok ? "ok" : "failed") << (o.changed ? " changed" : "") << " shift "
             << o.shift << " temp \"" << o.temp << '"';
}

bool holds(std::string_view data, std::string_view seconds) {
  for (std::size_t at = 0; at + 1 < data.size(); ++at) {
    if (data[at] == 'P' && seconds.find(data[at + 1]) != std::string_view::npos) return true;
  }
  return false;
}

/// The record loop by the plain rules: every record read into 80 columns.
LoopOutcome plain_loop(std::int32_t threshold, std::int32_t shift) {
  const PageGrid grid = build_page_grid();
  LoopOutcome result;
  result.shift = shift;
  std::string temp;
  for (;;) {
    PlotRecord record;
    bool lossless = true;
    const IoStatus read = read_text_record(k_plot_unit, record, lossless);
    if (read == k_io_end) break;
    if (read != k_io_ok || !lossless) {
      result.run_ok = false;
      break;
    }
    const std::string_view data = trimmed(std::string_view(record.data(), record.size()));
    RecordOutcome outcome;
    PageEffects effects;
    if (result.shift >= 1 && holds(data, "UDA")) {
      outcome = plain_pen(data, result.shift);
    } else if (holds(data, "G")) {
      outcome = plain_page(data, threshold, grid, result.shift, effects);
    }
    if (outcome.rewrite == Rewrite::failed) {
      result.run_ok = false;
      break;
    }
    if (outcome.rewrite == Rewrite::rewritten) result.changed = true;
    result.temp += (outcome.rewrite == Rewrite::rewritten ? outcome.text : std::string(data)) + "\r\n";
  }
  close_unit(k_plot_unit);
  return result;
}

LoopOutcome fast_loop(FakeOs& fake, std::int32_t threshold, std::int32_t shift) {
  EXPECT_EQ(k_io_ok, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write"));
  LoopOutcome result;
  result.shift = shift;
  const LoopResult loop = process_plot_records(threshold, build_page_grid(), result.shift);
  close_unit(k_plot_unit);
  close_unit(k_temp_unit);
  result.run_ok = loop.run_ok;
  result.changed = loop.changed;
  result.temp = fake.files[k_temp];
  return result;
}

TEST(FastLoop, WritesWhatThePlainRecordRulesWrite) {
  Random random(555);
  const std::int32_t shifts[] = {-2, 0, 1, 250, 2000};
  for (int file_number = 0; file_number < 400; ++file_number) {
    // Now and then a file of short pen records only, each written longer
    // than read (a digit to four, LF to CR LF), and longer than the unit's
    // buffers: the room left for the output ends the runs of usual lines.
    const bool growing = file_number % 20 == 10;
    const std::int32_t shift = growing ? 2000 : shifts[pick(random, std::size(shifts))];
    std::string plot;
    // Now and then a file longer than the unit's buffer, so that lines of
    // every form meet its edge.
    const std::size_t lines = growing                 ? 12000
                              : file_number % 10 == 0 ? 3000 + pick(random, 3000)
                                                      : 1 + pick(random, 60);
    for (std::size_t line = 0; line < lines; ++line) {
      if (growing) {
        plot += "PU" + std::to_string(pick(random, 10)) + ",1;\n";
        continue;
      }
      std::string text;
      switch (pick(random, 23)) {
        case 20:  // a sum that is written as the grid step
          text = "PD" + std::to_string(16251 - shift) + ",7;";
          break;
        case 21:  // a pen record whose rest from the comma is about 64 long
          text = std::string("P") + pick_from(random, "UDA") +
                 std::to_string(pick(random, 10000000)) + "," +
                 random_text(random, 56 + pick(random, 26), "1;,");
          break;
        case 22:  // a pen record behind up to 60 other characters
          text = random_text(random, pick(random, 61), "SLT;") + "P" + pick_from(random, "UDA") +
                 std::to_string(pick(random, 100)) + ",1;";
          break;
        case 0: text = random_pen_record(random); break;
        case 1: text = random_page_record(random); break;
        case 2: text = random_text(random, pick(random, 30), "SPIN;LT1 \t"); break;
        case 3: text = "PG;   " + std::to_string(pick(random, 17000)) + ",0;"; break;
        default:
          text = std::string("P") + pick_from(random, "UDA") + std::to_string(pick(random, 16500)) +
                 "," + std::to_string(pick(random, 16500)) + ";";
          break;
      }
      const std::string_view ends[] = {"\r\n", "\r\n", "\r\n", "\n", "  \r\n", "\r\r\n"};
      plot += text + std::string(ends[pick(random, std::size(ends))]);
    }
    if (pick(random, 30) == 0) plot += std::string(81, 'z') + "\r\n";  // lossy: refused
    if (pick(random, 4) == 0) plot += "PU1,2;";                          // no line end
    const std::size_t chunk = pick(random, 2) == 0 ? k_any_chunk : 1 + pick(random, 100);
    SCOPED_TRACE(testing::Message() << "file " << file_number << ": \"" << plot << "\" shift "
                                    << shift << " reads of " << chunk);
    FakeOs fake;
    FakeOsScope scope(fake);
    fake.files["plot.plt"] = plot;
    fake.read_chunk = chunk;
    ASSERT_EQ(k_io_ok, open_unit(k_plot_unit, "plot.plt", "OLD", "read"));
    const LoopOutcome expected = plain_loop(15574, shift);
    ASSERT_EQ(k_io_ok, open_unit(k_plot_unit, "plot.plt", "OLD", "read"));
    ASSERT_EQ(expected, fast_loop(fake, 15574, shift));
  }
}

}  // namespace
