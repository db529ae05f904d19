// Blank removal for rewritten plot records.
#include "Kopf01/leedel.h"

#include <algorithm>

std::int16_t Leedel(char* text, std::int16_t length) {
  if (length <= 0) return 0;
  // Up to the first blank or NUL every character stays where it is.
  char* const end = text + length;
  char* const kept = std::remove_if(text, end, [](char c) { return c == ' ' || c == '\0'; });
  std::fill(kept, end, ' ');
  return static_cast<std::int16_t>(kept - text);
}
