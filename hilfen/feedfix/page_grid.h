// The fixed grid of 24 page positions that page records are snapped to.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int k_page_grid_size = 24;
inline constexpr std::int32_t k_grid_step = 16250;

using PageGrid = std::array<std::int32_t, k_page_grid_size>;

/// Builds the grid: entry 0 is 0, entry k is trunc(k*16250 * f(1/24) + f(1.999))
/// with the single-precision constants computed in double precision.
PageGrid build_page_grid();

/// The grid index of shifted page value `x`: trunc(24*(x-1) * f(1/16250)).
/// No range check: values outside -676..16250 give indexes outside 0..23.
/// Computed without 32-bit overflow for every x.
std::int32_t page_grid_index(std::int32_t x);
