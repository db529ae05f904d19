// The fixed names of the files the tool keeps in the current directory.
#pragma once

#include <cstdint>
#include <string_view>

/// The settings: page threshold and carried shift between runs.
inline constexpr std::string_view k_settings_file = "feedfix.ini";
/// The corrected copy of the plot file, made before it takes the plot's place.
inline constexpr std::string_view k_temp_file = "~ffx.log";
/// The intent record of a replacement under way.
inline constexpr std::string_view k_intent_file = "~ffx.jnl";

/// The temporary file's length, for the file routines, which take a name as
/// text and count.
inline constexpr std::int16_t k_temp_file_len = static_cast<std::int16_t>(k_temp_file.size());
