// The page grid and the index of a shifted page value.
#include "hilfen/feedfix/page_grid.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(PageGrid, HoldsTheFixedTableEntryByEntry) {
  const PageGrid expected = {0,     679,   1356,  2033,  2710,  3387,  4064,  4741,
                             5418,  6095,  6772,  7449,  8126,  8804,  9481,  10158,
                             10835, 11512, 12189, 12866, 13543, 14220, 14897, 15574};
  const PageGrid grid = build_page_grid();
  for (int k = 0; k < k_page_grid_size; ++k) EXPECT_EQ(expected[k], grid[k]) << "entry " << k;
}

TEST(PageGrid, IndexAndRemainderAtTheEdges) {
  struct Case {
    std::int32_t x;
    std::int32_t j;
    std::int32_t remainder;
  };
  const Case cases[] = {
      {-676, 0, -676}, {-5, 0, -5},    {0, 0, 0},       {1, 0, 1},
      {678, 0, 678},   {679, 1, 0},    {1355, 1, 676},  {8125, 11, 676},
      {8126, 12, 0},   {8803, 12, 677}, {8804, 13, 0},  {9250, 13, 446},
      {15573, 22, 676}, {15574, 23, 0}, {16250, 23, 676},
  };
  const PageGrid grid = build_page_grid();
  for (const Case& c : cases) {
    const std::int32_t j = page_grid_index(c.x);
    EXPECT_EQ(c.j, j) << "x=" << c.x;
    if (j >= 0 && j < k_page_grid_size) {
      EXPECT_EQ(c.remainder, c.x - grid[j]) << "x=" << c.x;
    }
  }
}

TEST(PageGrid, IndexMatchesIntegerQuotientOverTheWholeRange) {
  for (std::int32_t x = -676; x <= 16250; ++x) {
    const std::int64_t n = 24 * (static_cast<std::int64_t>(x) - 1);
    ASSERT_EQ(static_cast<std::int32_t>(n / 16250), page_grid_index(x)) << "x=" << x;
  }
}

TEST(PageGrid, IndexOutsideTheTableWithoutOverflow) {
  EXPECT_EQ(-1, page_grid_index(-677));
  EXPECT_EQ(24, page_grid_index(16251));
  // 24 * (x - 1) would overflow 32 bits at both ends.
  EXPECT_GT(page_grid_index(std::numeric_limits<std::int32_t>::max()), 3000000);
  EXPECT_LT(page_grid_index(std::numeric_limits<std::int32_t>::min()), -3000000);
}

}  // namespace
