// Integer fields inside records: the "(i10)" input rule and fixed-width
// integer output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/io_status.h"

/// What an "(i10)" field scan found.
struct FieldScan {
  IoStatus status = k_io_ok;
  /// Characters the field took from `data`: up to 10, stopping before a CR or
  /// LF, and including a terminating comma.
  std::size_t taken = 0;
};

/// Scans one "(i10)" field at the start of `data` (the rest of the current
/// record; a shorter text counts as blanks behind its end). On success stores
/// the value; on an error or end of file (a 0x1A byte) leaves `value` unchanged.
FieldScan scan_i10(std::string_view data, std::int32_t& value);

/// Reads an integer by "(i10)" from a part of a record held in a variable
/// (its end is the record's end). `value` is unchanged unless the status is 0.
IoStatus read_i10(std::string_view field, std::int32_t& value);

/// A plain number at the start of a text: one optional "-" and the digits
/// behind it.
struct PlainNumber {
  std::size_t length = 0;  // characters of the sign and the digits
  /// 1 to 9 characters with at least one digit: "(i10)" on exactly these
  /// characters gives `value`.
  bool readable = false;
  std::int32_t value = 0;  // valid when `readable`
};

/// Finds the plain number at the start of `text` (of length 0 when `text`
/// starts with neither a digit nor "-").
PlainNumber scan_plain_number(std::string_view text);

/// Writes `value` right-justified in `width` columns into `out` (exactly
/// `width` characters, no NUL); a value that needs more columns becomes
/// `width` asterisks.
void format_integer(std::int32_t value, int width, char* out);
