// The process's arguments, taken from the Os once and reached by index.
#pragma once

#include <cstddef>
#include <cstdint>

/// Takes the argument list (program name first) from the installed Os; called
/// once at start, again by tests.
void load_arguments();

/// Number of arguments including the program's name (1 without arguments).
std::int32_t argument_count();

/// Copies argument `index` into `buffer` (at most `size` characters, the rest
/// blank-filled, no NUL) and sets `length` to its full length (capped at the
/// largest 16-bit value), 0 for an empty argument. An index outside the list
/// gives length -1 and leaves `buffer` as it was.
void get_argument(std::int16_t index, char* buffer, std::size_t size, std::int16_t& length);
