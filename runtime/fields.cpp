// Integer fields inside records: the "(i10)" input rule and fixed-width
// integer output.
#include "runtime/fields.h"

#include <cstring>

namespace {

constexpr std::size_t k_i10_width = 10;
constexpr std::uint64_t k_int32_max = 2147483647u;
constexpr std::uint64_t k_uint32_max = 4294967295u;

/// Value of `c` as a digit of bases up to 36, or -1.
int digit_value(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if (u >= '0' && u <= '9') return u - '0';
  if (u >= 'a' && u <= 'z') return u - 'a' + 10;
  if (u >= 'A' && u <= 'Z') return u - 'A' + 10;
  return -1;
}

/// Converts the characters of a field that take part in the conversion:
/// [sign] [digits] [# digits-of-base], ended early by a NUL. Leaves `value`
/// unchanged unless the status is 0.
IoStatus convert_kept(std::string_view kept, std::int32_t& value) {
  const bool negative = kept.starts_with('-');
  if (negative || kept.starts_with('+')) kept.remove_prefix(1);
  // At most 10 characters, and every digit is checked against 32 bits before
  // the next one, so the 64-bit sum never overflows.
  std::uint64_t magnitude = 0;
  std::uint64_t base = 10;
  bool based = false;
  bool digits_seen = false;
  for (const char c : kept) {
    if (c == '\0') break;  // A NUL ends the number; what follows is ignored.
    if (c == '#') {
      if (based) return k_io_bad_base;
      // The digits in front are the base; "#" alone selects base 16.
      base = digits_seen ? magnitude : 16;
      if (base < 2 || base > 36) return k_io_bad_base;
      based = true;
      magnitude = 0;
      continue;
    }
    const int digit = digit_value(c);
    if (digit < 0 || static_cast<std::uint64_t>(digit) >= base) return k_io_bad_integer;
    magnitude = magnitude * base + static_cast<std::uint64_t>(digit);
    // Base 10 stays signed; every other base fills the 32 bits as unsigned,
    // so "#FFFFFFFF" reads as -1.
    if (magnitude > (base == 10 ? k_int32_max : k_uint32_max)) return k_io_overflow;
    digits_seen = true;
  }
  std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
  // Negated in unsigned arithmetic: "-#80000000" keeps the bits of -2147483648.
  if (negative) bits = 0u - bits;
  value = static_cast<std::int32_t>(bits);
  return k_io_ok;
}

}  // namespace

FieldScan scan_i10(std::string_view data, std::int32_t& value) {
  FieldScan scan;
  char kept[k_i10_width];
  std::size_t kept_count = 0;
  bool end_of_file = false;
  for (const char c : data.substr(0, k_i10_width)) {
    // A CR or LF ends the field and stays for the record layer; a comma ends
    // it and belongs to it.
    if (c == '\r' || c == '\n') break;
    ++scan.taken;
    if (c == ',') break;
    if (c == ' ' || c == '\t') continue;
    if (c == '\x1a') {
      end_of_file = true;
      continue;  // The field is still taken whole.
    }
    // A '0' before any other kept character is dropped, so "0-5" reads as -5.
    if (c == '0' && kept_count == 0) continue;
    kept[kept_count++] = c;
  }
  scan.status = end_of_file ? k_io_end : convert_kept(std::string_view(kept, kept_count), value);
  return scan;
}

IoStatus read_i10(std::string_view field, std::int32_t& value) {
  // The usual field is a plain number, read directly; everything else takes
  // the general rule.
  const PlainNumber plain = scan_plain_number(field);
  if (plain.readable && plain.length == field.size()) {
    value = plain.value;
    return k_io_ok;
  }
  return scan_i10(field, value).status;
}

PlainNumber scan_plain_number(std::string_view text) {
  // Up to 9 characters the general rule reads the digits as they stand (a
  // leading "0" it drops adds nothing), and 999999999 fits in 32 bits.
  constexpr std::size_t k_plain_width = k_i10_width - 1;
  PlainNumber plain;
  const std::size_t size = text.size();
  const bool negative = size > 0 && text[0] == '-';
  std::size_t i = negative ? 1 : 0;
  std::int32_t magnitude = 0;
  for (; i < size; ++i) {
    const unsigned digit = static_cast<unsigned char>(text[i]) - unsigned{'0'};
    if (digit > 9) break;
    if (i < k_plain_width) magnitude = magnitude * 10 + static_cast<std::int32_t>(digit);
  }
  plain.length = i;
  plain.readable = i > (negative ? 1u : 0u) && i <= k_plain_width;
  plain.value = negative ? -magnitude : magnitude;
  return plain;
}

void format_integer(std::int32_t value, int width, char* out) {
  if (width <= 0) return;
  // The magnitude in unsigned arithmetic, so -2147483648 needs no special case.
  std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  char digits[11];
  int length = 0;
  do {
    digits[sizeof digits - 1 - length++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[sizeof digits - 1 - length++] = '-';
  if (length > width) {
    std::memset(out, '*', static_cast<std::size_t>(width));
    return;
  }
  const int pad = width - length;
  std::memset(out, ' ', static_cast<std::size_t>(pad));
  std::memcpy(out + pad, digits + sizeof digits - length, static_cast<std::size_t>(length));
}
