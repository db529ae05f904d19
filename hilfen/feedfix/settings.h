// The settings file feedfix.ini: page threshold and carried shift between runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::int32_t k_default_pg_threshold = 15574;
inline constexpr std::int32_t k_default_carried_shift = 0;

/// The decimal text of a value of at most 10 digits and a sign, as a record
/// holds it without blanks in front.
struct DecimalText {
  char digits[11] = {};
  std::size_t size = 0;
  constexpr std::string_view view() const { return {digits, size}; }
};

constexpr DecimalText decimal_text(std::int32_t value) {
  DecimalText text;
  // In 64 bits, so that the most negative value has a magnitude.
  std::int64_t magnitude = value < 0 ? -std::int64_t{value} : std::int64_t{value};
  char reversed[11] = {};
  std::size_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) text.digits[text.size++] = '-';
  while (n > 0) text.digits[text.size++] = reversed[--n];
  return text;
}

/// The records of the settings file the tool creates where there is none.
inline constexpr DecimalText k_default_pg_threshold_text = decimal_text(k_default_pg_threshold);
inline constexpr DecimalText k_default_carried_shift_text = decimal_text(k_default_carried_shift);
static_assert(k_default_pg_threshold_text.view() == "15574");
static_assert(k_default_carried_shift_text.view() == "0");

struct Settings {
  std::int32_t pg_threshold = k_default_pg_threshold;
  std::int32_t carried_shift = k_default_carried_shift;
};

/// Reads both settings and range-checks them (warning and defaults when
/// either is out of range or unreadable). Ends the run when the file cannot
/// be read: it is then created with the defaults, or cannot be used.
Settings load_settings();

/// Rewrites the file with `pg_threshold` and a zero shift and ends the run.
[[noreturn]] void reset_settings(std::int32_t pg_threshold);

/// Rewrites the file with both values; ends the run when it cannot be opened.
void save_settings(std::int32_t pg_threshold, std::int32_t carried_shift);

/// Rewrites the file with both values, all or nothing; false (the file as it
/// was) where save_settings would end the run.
bool store_settings(std::int32_t pg_threshold, std::int32_t carried_shift);
