// The process's command line: splitting it into arguments, and reaching them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// Splits a command line by the console-program rules: the program name
/// (quoted or up to the first blank or tab), then arguments with quoting,
/// backslash runs before quotes and doubled quotes inside quoting.
/// `lead_bytes`, when given, is a 256-entry table marking the lead bytes of a
/// double-byte code page: such a byte and the one after it are one character.
std::vector<std::string> split_command_line(std::string_view line,
                                            const bool* lead_bytes = nullptr);

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
