// Tests of the command-line splitting.
#include "runtime/command_line.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Arguments = std::vector<std::string>;

struct SplitCase {
  std::string_view line;
  Arguments expected;
};

const SplitCase k_split_cases[] = {
    {"feedfix plot.plt", {"feedfix", "plot.plt"}},
    {"feedfix", {"feedfix"}},
    {"", {""}},
    {"feedfix  \t plot.plt   ", {"feedfix", "plot.plt"}},
    {"feedfix\tplot.plt", {"feedfix", "plot.plt"}},
    {"feedfix plot.plt second", {"feedfix", "plot.plt", "second"}},
    {"feedfix *.plt ?", {"feedfix", "*.plt", "?"}},
    // The program's name: quoted without escapes, or up to a blank or tab.
    {R"("C:\Program Files\ff.exe" a)", {R"(C:\Program Files\ff.exe)", "a"}},
    {R"("C:\tools\" b)", {R"(C:\tools\)", "b"}},
    {R"("unended name)", {"unended name"}},
    {R"("prog"x y)", {"prog", "x", "y"}},
    {R"(C:\ff"x y)", {R"(C:\ff"x)", "y"}},
    // Quoting.
    {R"(feedfix "")", {"feedfix", ""}},
    {R"(feedfix "" x)", {"feedfix", "", "x"}},
    {R"(feedfix "C:\my plots\a.plt")", {"feedfix", R"(C:\my plots\a.plt)"}},
    {R"(feedfix a"b c"d e)", {"feedfix", "ab cd", "e"}},
    {R"(feedfix "open end)", {"feedfix", "open end"}},
    // Backslash runs: halved before a quote, unchanged elsewhere.
    {R"(feedfix "C:\plots\\")", {"feedfix", R"(C:\plots\)"}},
    {R"(feedfix "C:\plots\" next)", {"feedfix", R"(C:\plots" next)"}},
    {R"(feedfix a\\b x\)", {"feedfix", R"(a\\b)", R"(x\)"}},
    {R"(feedfix a\\\\"b c")", {"feedfix", R"(a\\b c)"}},
    {R"(feedfix a\\\"b)", {"feedfix", R"(a\"b)"}},
    {R"(feedfix \"a b)", {"feedfix", R"("a)", "b"}},
    // Two quotes inside quoting give one quote and end the quoting.
    {R"(feedfix "a""b")", {"feedfix", R"(a"b)"}},
    {R"(feedfix "a""b c")", {"feedfix", R"(a"b)", "c"}},
    {R"(feedfix """")", {"feedfix", R"(")"}},
    {R"(feedfix a""b)", {"feedfix", "ab"}},
    {R"(feedfix "a\\""b")", {"feedfix", R"(a\"b)"}},
};

TEST(CommandLine, SplitsByTheConsoleProgramRules) {
  for (const SplitCase& c : k_split_cases) {
    SCOPED_TRACE(testing::Message() << "line [" << std::string(c.line) << "]");
    EXPECT_EQ(c.expected, split_command_line(c.line));
  }
}

std::array<bool, 256> double_byte_lead_bytes() {
  std::array<bool, 256> lead{};
  for (int b = 0x81; b <= 0x9f; ++b) lead[static_cast<std::size_t>(b)] = true;
  return lead;
}

struct DoubleByteCase {
  std::string_view line;
  Arguments with_pairs;
  Arguments single_bytes;
};

const DoubleByteCase k_double_byte_cases[] = {
    // The second byte of a pair is never a backslash, quote, blank or tab.
    {"ff \x81\\\"a b\"", {"ff", "\x81\\a b"}, {"ff", "\x81\"a", "b"}},
    {"ff \x81 x", {"ff", "\x81 x"}, {"ff", "\x81", "x"}},
    {"ff \"\x81\"x\"", {"ff", "\x81\"x"}, {"ff", "\x81x"}},
    {"\x81 prog arg", {"\x81 prog", "arg"}, {"\x81", "prog", "arg"}},
    {"\"\x81\"x\" arg", {"\x81\"x", "arg"}, {"\x81", "x arg"}},
    {"ff a\x81", {"ff", "a\x81"}, {"ff", "a\x81"}},
};

TEST(CommandLine, DoubleByteCharactersStayTogether) {
  const std::array<bool, 256> lead = double_byte_lead_bytes();
  for (const DoubleByteCase& c : k_double_byte_cases) {
    SCOPED_TRACE(testing::Message() << "line [" << std::string(c.line) << "]");
    EXPECT_EQ(c.with_pairs, split_command_line(c.line, lead.data()));
    EXPECT_EQ(c.single_bytes, split_command_line(c.line));
  }
}

}  // namespace
