// Shared string definitions: the 80-column plot record and its width.
#pragma once

#include <array>
#include <cstdint>

/// Columns of one plot record.
inline constexpr int k_record_columns = 80;

/// The buffer the file routines build a name in, with its terminating NUL:
/// a name has at most 259 characters.
inline constexpr int k_name_buffer = 260;
inline constexpr int k_max_name_length = k_name_buffer - 1;

/// One plot line as exactly 80 characters, blank-filled on the right.
using PlotRecord = std::array<char, k_record_columns>;
