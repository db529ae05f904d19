// Record operations that only tests and fuzz checks use.
#include "tests/support/record_helpers.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "runtime/fields.h"
#include "runtime/record_file.h"

IoStatus read_text_line(std::int32_t unit, std::string_view& data, bool& lossless) {
  std::size_t count = 0;
  return read_text_lines(unit, &data, 1, count, lossless);
}

IoStatus read_text_record(std::int32_t unit, PlotRecord& record, bool& lossless) {
  std::string_view data;
  const IoStatus s = read_text_line(unit, data, lossless);
  if (s != k_io_ok) return s;
  std::fill(std::copy(data.begin(), data.end(), record.begin()), record.end(), ' ');
  return k_io_ok;
}

IoStatus compose_a_i10_a(PlotRecord& record, std::string_view first, std::int32_t value,
                         std::string_view second) {
  constexpr std::size_t k_i10_width = 10;
  // Composed aside and copied at the end: callers pass texts that point into
  // `record` itself (the head and the tail of the line being rewritten).
  PlotRecord composed;
  std::size_t pos = 0;
  IoStatus status = k_io_ok;
  const auto put = [&](std::string_view text) {
    const std::size_t room = composed.size() - pos;
    if (text.size() > room) status = k_io_record_overflow;
    const std::size_t n = std::min(text.size(), room);
    if (n > 0) std::memcpy(composed.data() + pos, text.data(), n);
    pos += n;
  };
  char field[k_i10_width];
  format_integer(value, static_cast<int>(k_i10_width), field);
  put(first);
  put(std::string_view(field, k_i10_width));
  put(second);
  std::fill(composed.begin() + static_cast<std::ptrdiff_t>(pos), composed.end(), ' ');
  record = composed;
  return status;
}
