// Tests of the argument access.
#include "runtime/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_os.h"

namespace {

using Arguments = std::vector<std::string>;

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
