// The fixed grid of 24 page positions that page records are snapped to.
#include "hilfen/feedfix/page_grid.h"

#include <bit>
#include <cstdint>

namespace {
// The three constants are single-precision values and are used as exactly
// those values; only the arithmetic is carried out in double precision, to
// which each is widened where it meets a double.
constexpr float k_step_factor = 1.0f / 24.0f;
constexpr float k_grid_offset = 1.999f;
constexpr float k_index_factor = 1.0f / 16250.0f;
static_assert(std::bit_cast<std::uint32_t>(k_step_factor) == 0x3D2AAAABu);
static_assert(std::bit_cast<std::uint32_t>(k_grid_offset) == 0x3FFFDF3Bu);
static_assert(std::bit_cast<std::uint32_t>(k_index_factor) == 0x38810E36u);
}  // namespace

PageGrid build_page_grid() {
  // Entry 0 is not computed, but 0: the formula would give 1.
  PageGrid grid{};
  for (int k = 1; k < k_page_grid_size; ++k) {
    const double sum = static_cast<double>(k * k_grid_step) * k_step_factor + k_grid_offset;
    grid[k] = static_cast<std::int32_t>(sum);  // truncation toward zero, not rounding
  }
  return grid;
}

std::int32_t page_grid_index(std::int32_t x) {
  // 24 * (x - 1) overflows 32 bits for |x| above about 89 million; in 64 bits
  // it is exact, and the truncated product always fits 32 bits again.
  const std::int64_t n = 24 * (static_cast<std::int64_t>(x) - 1);
  return static_cast<std::int32_t>(static_cast<double>(n) * k_index_factor);
}
