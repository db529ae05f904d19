// Tests of the "(i10)" input rule, fixed-width integer output and "(a,i10,a)".
#include "runtime/fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/record_helpers.h"

namespace {

constexpr std::int32_t k_untouched = 777;

struct ScanCase {
  std::string_view data;
  IoStatus status;
  std::int32_t value;  // expected value; k_untouched when it must not change
  std::size_t taken;
};

// Built with explicit lengths: several cases hold NUL bytes.
constexpr ScanCase k_scan_cases[] = {
    {"15574\r\n", k_io_ok, 15574, 5},
    {"     15574", k_io_ok, 15574, 10},
    {"", k_io_ok, 0, 0},
    {"\r\n", k_io_ok, 0, 0},
    {"          ", k_io_ok, 0, 10},
    {"12345678901", k_io_ok, 1234567890, 10},
    {"12,34", k_io_ok, 12, 3},
    {",5", k_io_ok, 0, 1},
    {"1234567890,", k_io_ok, 1234567890, 10},
    {"1\r5", k_io_ok, 1, 1},
    {"7\n", k_io_ok, 7, 1},
    {"1 2", k_io_ok, 12, 3},
    {"\t- 4\t2 ", k_io_ok, -42, 7},
    {"0-5", k_io_ok, -5, 3},
    {"000012", k_io_ok, 12, 6},
    {"-0", k_io_ok, 0, 2},
    {"-", k_io_ok, 0, 1},
    {"+", k_io_ok, 0, 1},
    {"+17", k_io_ok, 17, 3},
    {"2147483647", k_io_ok, 2147483647, 10},
    {"-2147483648", k_io_ok, -214748364, 10},
    {"2147483648", k_io_overflow, k_untouched, 10},
    {"9999999999", k_io_overflow, k_untouched, 10},
    {"12A\r\n", k_io_bad_integer, k_untouched, 3},
    {"1.5", k_io_bad_integer, k_untouched, 3},
    {"--5", k_io_bad_integer, k_untouched, 3},
    {"5-", k_io_bad_integer, k_untouched, 2},
    {"\xe9", k_io_bad_integer, k_untouched, 1},
    // Bases.
    {"#FF", k_io_ok, 255, 3},
    {"#ff", k_io_ok, 255, 3},
    {"0#FF", k_io_ok, 255, 4},
    {"#", k_io_ok, 0, 1},
    {"2#1010", k_io_ok, 10, 6},
    {"36#zZ", k_io_ok, 1295, 5},
    {"10#99", k_io_ok, 99, 5},
    {"-8#17", k_io_ok, -15, 5},
    {"#7FFFFFFF", k_io_ok, 2147483647, 9},
    {"#FFFFFFFF", k_io_ok, -1, 9},
    {"#80000000", k_io_ok, INT32_MIN, 9},
    {"-#80000000", k_io_ok, INT32_MIN, 10},
    {"-#FFFFFFFF", k_io_ok, 1, 10},
    {"#100000000", k_io_overflow, k_untouched, 10},
    {"37#1", k_io_bad_base, k_untouched, 4},
    {"1#1", k_io_bad_base, k_untouched, 3},
    {"+0#1", k_io_bad_base, k_untouched, 4},
    {"#1#2", k_io_bad_base, k_untouched, 4},
    {"2#2", k_io_bad_integer, k_untouched, 3},
    {"#G", k_io_bad_integer, k_untouched, 2},
    {"#-1", k_io_bad_integer, k_untouched, 3},
    {"A#1", k_io_bad_integer, k_untouched, 3},
    // A NUL ends the number; 0x1A ends the read with end of file.
    {std::string_view("12\0AB", 5), k_io_ok, 12, 5},
    {std::string_view("\0" "99", 3), k_io_ok, 0, 3},
    {std::string_view("-\0" "5", 3), k_io_ok, 0, 3},
    {"12\x1a", k_io_end, k_untouched, 3},
    {"1A\x1a", k_io_end, k_untouched, 3},
    {"12,\x1a", k_io_ok, 12, 3},
};

TEST(IntegerField, ScanFollowsTheFieldRules) {
  for (const ScanCase& c : k_scan_cases) {
    SCOPED_TRACE(testing::Message() << "field \"" << std::string(c.data) << "\"");
    std::int32_t value = k_untouched;
    const FieldScan scan = scan_i10(c.data, value);
    EXPECT_EQ(c.status, scan.status);
    EXPECT_EQ(c.value, value);
    EXPECT_EQ(c.taken, scan.taken);
  }
}

TEST(IntegerField, ReadFromPartOfRecordTreatsItsEndAsBlanks) {
  std::int32_t value = k_untouched;
  EXPECT_EQ(k_io_ok, read_i10("123", value));
  EXPECT_EQ(123, value);
  // Only the 10 columns of the field count, the record goes on behind them.
  EXPECT_EQ(k_io_ok, read_i10("  1200    ,3400;", value));
  EXPECT_EQ(1200, value);
  EXPECT_EQ(k_io_bad_integer, read_i10("12;", value));
  EXPECT_EQ(1200, value);
}

struct FormatCase {
  std::int32_t value;
  int width;
  std::string_view text;
};

constexpr FormatCase k_format_cases[] = {
    {0, 10, "         0"},
    {-42, 10, "       -42"},
    {2147483647, 10, "2147483647"},
    {-999999999, 10, "-999999999"},
    {-1000000000, 10, "**********"},
    {INT32_MIN, 10, "**********"},
    {INT32_MIN, 11, "-2147483648"},
    {1234567, 6, "******"},
    {999999, 6, "999999"},
    {-99999, 6, "-99999"},
    {-100000, 6, "******"},
    {5, 1, "5"},
    {-5, 1, "*"},
};

TEST(IntegerOutput, RightJustifiesOrFillsWithAsterisksInExactlyTheWidth) {
  for (const FormatCase& c : k_format_cases) {
    SCOPED_TRACE(testing::Message() << c.value << " in " << c.width);
    std::string out(static_cast<std::size_t>(c.width) + 2, '~');
    format_integer(c.value, c.width, out.data() + 1);
    std::string expected = "~";
    expected += c.text;
    expected += '~';
    EXPECT_EQ(expected, out);
  }
}

std::string_view as_text(const PlotRecord& record) {
  return std::string_view(record.data(), record.size());
}

TEST(ComposeRecord, BlankFillsBehindTheItems) {
  PlotRecord record;
  record.fill('x');
  EXPECT_EQ(k_io_ok, compose_a_i10_a(record, "PU1", 5, std::string(20, 'y')));
  EXPECT_EQ("PU1         5" + std::string(20, 'y') + std::string(47, ' '), as_text(record));
}

TEST(ComposeRecord, ExactlyEightyColumnsFit) {
  PlotRecord record;
  EXPECT_EQ(k_io_ok, compose_a_i10_a(record, std::string(40, 'a'), -1, std::string(30, 'b')));
  EXPECT_EQ(std::string(40, 'a') + "        -1" + std::string(30, 'b'), as_text(record));
}

TEST(ComposeRecord, PassingColumnEightyKeepsTheFirstEightyAndFails) {
  PlotRecord record;
  EXPECT_EQ(k_io_record_overflow,
            compose_a_i10_a(record, std::string(40, 'a'), 7, std::string(31, 'b')));
  EXPECT_EQ(std::string(40, 'a') + "         7" + std::string(30, 'b'), as_text(record));
  EXPECT_EQ(k_io_record_overflow, compose_a_i10_a(record, std::string(75, 'c'), 123, ""));
  EXPECT_EQ(std::string(75, 'c') + "     ", as_text(record));
}

TEST(ComposeRecord, TextsMayPointIntoTheRecordItself) {
  // The rewrite of a pen record takes its head and its tail from the record.
  PlotRecord record;
  record.fill(' ');
  const std::string_view line = "PU1200,3400;";
  std::copy(line.begin(), line.end(), record.begin());
  const std::string_view head(record.data(), 2);
  const std::string_view tail(record.data() + 6, 6);
  EXPECT_EQ(k_io_ok, compose_a_i10_a(record, head, 1450, tail));
  EXPECT_EQ("PU      1450,3400;" + std::string(62, ' '), as_text(record));
}

}  // namespace
