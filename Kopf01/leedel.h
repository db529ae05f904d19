// Blank removal for rewritten plot records.
#pragma once

#include <cstdint>

/// Removes every blank and NUL from the first `length` characters of `text`,
/// moves the kept characters to the front in order, blank-fills the rest up to
/// `length` and returns the kept count (0 to length). A `length` of 0 or less
/// changes nothing and gives 0.
std::int16_t Leedel(char* text, std::int16_t length);
