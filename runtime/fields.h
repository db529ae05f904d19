// Integer and text fields inside records: the "(i10)" input rule, fixed-width
// integer output, and composing "(a,i10,a)" into an 80-column record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Kopf01/sxi/string00.h"

/// Result of a record or field operation: 0 success, -1 end of file, a
/// positive error number otherwise.
using IoStatus = int;
inline constexpr IoStatus k_io_ok = 0;
inline constexpr IoStatus k_io_end = -1;
/// Error numbers of the field rules (all positive).
inline constexpr IoStatus k_io_bad_integer = 1225;    // a character outside the rule
inline constexpr IoStatus k_io_overflow = 1226;       // value does not fit
inline constexpr IoStatus k_io_bad_base = 1227;       // base outside 2..36, or a second '#'
inline constexpr IoStatus k_io_record_overflow = 1228; // output passed column 80

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

/// Composes "(a,i10,a)" into `record`: `first`, `value` in 10 columns,
/// `second`, blanks up to column 80. When the items pass column 80 the first
/// 80 columns are written and the status is k_io_record_overflow.
IoStatus compose_a_i10_a(PlotRecord& record, std::string_view first, std::int32_t value,
                         std::string_view second);
