// The settings file feedfix.ini: page threshold and carried shift between runs.
#pragma once

#include <cstdint>

inline constexpr std::int32_t k_default_pg_threshold = 15574;
inline constexpr std::int32_t k_default_carried_shift = 0;

struct Settings {
  std::int32_t pg_threshold = k_default_pg_threshold;
  std::int32_t carried_shift = k_default_carried_shift;
};

/// Whether both settings lie in their ranges: the page threshold from 10000
/// to 40000, the carried shift from -2 to 2000.
constexpr bool in_range(const Settings& s) {
  return s.pg_threshold >= 10000 && s.pg_threshold <= 40000 && s.carried_shift >= -2 &&
         s.carried_shift <= 2000;
}

/// Reads both settings and range-checks them (warning and defaults when
/// either is out of range or unreadable). Ends the run when the file cannot
/// be read: it is then created with the defaults, or cannot be used. The
/// warning goes out once a run: `warned` tells whether it has.
Settings load_settings(bool& warned);
inline Settings load_settings() {
  bool warned = false;
  return load_settings(warned);
}

/// Rewrites the file with `pg_threshold` and a zero shift and ends the run.
[[noreturn]] void reset_settings(std::int32_t pg_threshold);

/// Rewrites the file with both values; ends the run when it cannot be opened.
void save_settings(std::int32_t pg_threshold, std::int32_t carried_shift);

/// Rewrites the file with both values, all or nothing; false (the file as it
/// was) where save_settings would end the run.
bool store_settings(std::int32_t pg_threshold, std::int32_t carried_shift);
