// Tests of the command-line splitting and of the argument access.
#include "runtime/arguments.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tests/support/fake_os.h"

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

class ArgumentAccess : public testing::Test {
 protected:
  void load(Arguments args) {
    fake_.args = std::move(args);
    load_arguments();
  }
  /// Argument `index` in a 260-character buffer first filled with '~'.
  std::string get(std::int16_t index, std::int16_t& length, std::size_t size = 260) {
    std::string buffer(size, '~');
    get_argument(index, buffer.data(), buffer.size(), length);
    return buffer;
  }

  FakeOs fake_;
  FakeOsScope scope_{fake_};
};

TEST_F(ArgumentAccess, WithoutArgumentsCountIsOneAndIndexOneIsMissing) {
  load({"feedfix"});
  EXPECT_EQ(1, argument_count());
  std::int16_t length = 0;
  EXPECT_EQ(std::string(260, '~'), get(1, length));
  EXPECT_EQ(-1, length);
  EXPECT_EQ(std::string(260, '~'), get(-1, length));
  EXPECT_EQ(-1, length);
}

TEST_F(ArgumentAccess, CopiesAndBlankFillsWithoutNul) {
  load({"feedfix", "plot.plt", "second"});
  EXPECT_EQ(3, argument_count());
  std::int16_t length = 0;
  EXPECT_EQ("plot.plt" + std::string(252, ' '), get(1, length));
  EXPECT_EQ(8, length);
  EXPECT_EQ("feedfix" + std::string(253, ' '), get(0, length));
  EXPECT_EQ(7, length);
}

TEST_F(ArgumentAccess, EmptyArgumentHasLengthZero) {
  load({"feedfix", ""});
  EXPECT_EQ(2, argument_count());
  std::int16_t length = -5;
  EXPECT_EQ(std::string(260, ' '), get(1, length));
  EXPECT_EQ(0, length);
}

TEST_F(ArgumentAccess, LongArgumentIsCutButReportedInFull) {
  const std::string path = std::string(259, 'p') + "QRSTUVWXYZ" + std::string(31, 'z');
  load({"feedfix", path});
  std::int16_t length = 0;
  EXPECT_EQ(path.substr(0, 260), get(1, length));
  EXPECT_EQ(300, length);
  EXPECT_EQ("ppp", get(1, length, 3));
  EXPECT_EQ(300, length);
}

TEST_F(ArgumentAccess, LengthBeyondSixteenBitsIsCapped) {
  load({"feedfix", std::string(70000, 'a')});
  std::int16_t length = 0;
  get(1, length);
  EXPECT_EQ(32767, length);
}

}  // namespace
