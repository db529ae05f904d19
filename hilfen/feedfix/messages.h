// The messages a run ends with, and the warning, byte for byte: one table,
// which the code and the tests take them from.
#pragma once

#include <string_view>

namespace message {

inline constexpr std::string_view no_parameters = "No parameters.";
inline constexpr std::string_view parameter_invalid = "Parameter (plot file) invalid.";
inline constexpr std::string_view ini_not_usable = "INI-file cannot be used.";
inline constexpr std::string_view ini_created = "INI-file not found. Default file created.";
inline constexpr std::string_view ini_not_writable = "INI-file not opened (for writing).";
inline constexpr std::string_view ini_reset = "Ini file resetted. Shift length set to zero.";
inline constexpr std::string_view ini_corrected = "ACHTUNG: Falsche INI-Werte wurden korrigiert!";
inline constexpr std::string_view plot_not_opened = "Cannot open plot file.";
inline constexpr std::string_view temp_not_opened = "Cannot open temporary file.";
inline constexpr std::string_view read_or_write_failed = "Error on reading or writing.";
inline constexpr std::string_view cleanup_failed = "Error on cleaning up plot files.";

}  // namespace message
