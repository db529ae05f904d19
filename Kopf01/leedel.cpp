// Blank removal for rewritten plot records.
#include "Kopf01/leedel.h"

#include <cstddef>

#include "Kopf01/sxi/byte_scan.h"

std::int16_t Leedel(char* text, std::int16_t length) {
  if (length <= 0) return 0;
  // Up to the first blank or NUL every character stays where it is; a
  // rewritten plot record usually has none at all, and then nothing moves.
  std::int16_t count = static_cast<std::int16_t>(
      byte_scan::find_either(text, static_cast<std::size_t>(length), ' ', '\0'));
  for (std::int16_t column = count; column < length; ++column) {
    const char c = text[column];
    if (c != ' ' && c != '\0') text[count++] = c;
  }
  for (std::int16_t column = count; column < length; ++column) text[column] = ' ';
  return count;
}
