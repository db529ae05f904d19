// Blank removal for rewritten plot records.
#include "Kopf01/leedel.h"

std::int16_t Leedel(char* text, std::int16_t length) {
  std::int16_t count = 0;
  for (std::int16_t column = 0; column < length; ++column) {
    const char c = text[column];
    if (c == ' ' || c == '\0') continue;
    text[count++] = c;
  }
  for (std::int16_t column = count; column < length; ++column) text[column] = ' ';
  return count;
}
