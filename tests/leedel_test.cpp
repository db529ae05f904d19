// Blank removal for rewritten plot records.
#include "Kopf01/leedel.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct LeedelCase {
  std::string text;
  std::int16_t length;
  std::string expected;
  std::int16_t kept;
};

TEST(Leedel, RemovesBlanksAndNulsAndBlankFills) {
  const LeedelCase cases[] = {
      {"PU      1450,3400;", 18, "PU1450,3400;      ", 12},
      {std::string("A\0B C", 5), 5, "ABC  ", 3},
      {"a\tb  ", 5, "a\tb  ", 3},  // tabs stay
      {"     ", 5, "     ", 0},
      {"", 0, "", 0},
      {"xyz", 2, "xyz", 2},  // columns after the length are not touched
  };
  for (const LeedelCase& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(c.kept, Leedel(text.data(), c.length)) << c.text;
    EXPECT_EQ(c.expected, text) << c.text;
  }
}

TEST(Leedel, NonPositiveLengthChangesNothing) {
  std::string text = " a b ";
  EXPECT_EQ(0, Leedel(text.data(), 0));
  EXPECT_EQ(0, Leedel(text.data(), -3));
  EXPECT_EQ(" a b ", text);
}

}  // namespace
