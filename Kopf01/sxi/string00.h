// Shared string definitions: the 80-column plot record and its width.
#pragma once

#include <array>
#include <cstdint>

/// Columns of one plot record.
inline constexpr int k_record_columns = 80;

/// One plot line as exactly 80 characters, blank-filled on the right.
using PlotRecord = std::array<char, k_record_columns>;
