// Splitting a command line into arguments by the console-program rules.
#pragma once

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
