// The settings file feedfix.ini: page threshold and carried shift between runs.
#include "hilfen/feedfix/settings.h"

#include <cstddef>
#include <string_view>

#include "hilfen/feedfix/file_names.h"
#include "hilfen/feedfix/messages.h"
#include "runtime/console.h"
#include "runtime/record_file.h"

namespace {

/// The records of the settings file the tool creates where there is none:
/// the defaults as text, without blanks in front.
constexpr std::string_view k_default_pg_threshold_text = "15574";
constexpr std::string_view k_default_carried_shift_text = "0";
static_assert(k_default_pg_threshold == 15574 && k_default_carried_shift == 0);

/// Opens the settings file for writing, or ends the run.
void open_for_writing() {
  if (open_unit(k_settings_unit, k_settings_file, "UNKNOWN", "write") != k_io_ok) {
    stop_run(message::ini_not_writable);
  }
}

/// Writes one value record; when that fails, ends the run as a failed open
/// does. A file missing a record would lose the carried shift at the next
/// run; after a failed write the record-file layer keeps the old contents
/// whole instead, and the operator is told.
void write_value(std::int32_t value) {
  if (write_integer_record(k_settings_unit, value) == k_io_ok) return;
  close_unit(k_settings_unit);
  stop_run(message::ini_not_writable);
}

/// Reads one value record. A read that the operating system refuses ends the
/// run before the plot file is touched: a plot must never be rewritten with
/// settings that were not read. The end of the file and a field that does not
/// convert only make the value unreadable (false).
bool read_value(std::int32_t& value) {
  const IoStatus status = read_integer_record(k_settings_unit, value);
  if (!is_system_error(status)) return status == k_io_ok;
  close_unit(k_settings_unit);
  stop_run(message::ini_not_usable);
}

}  // namespace

Settings load_settings(bool& warned) {
  if (open_unit(k_settings_unit, k_settings_file, "OLD", "read") != k_io_ok) {
    // Any failure to open for reading counts as a missing file.
    if (open_unit(k_settings_unit, k_settings_file, "UNKNOWN", "write") != k_io_ok) {
      stop_run(message::ini_not_usable);
    }
    write_literal_record(k_settings_unit, k_default_pg_threshold_text);
    write_literal_record(k_settings_unit, k_default_carried_shift_text);
    close_unit(k_settings_unit);
    stop_run(message::ini_created);
  }

  Settings settings;
  // A setting that cannot be read (no such record, or a field that does not
  // convert) has no value of its own; it is treated as out of range, so both
  // settings fall back to their defaults with the warning below.
  bool readable = read_value(settings.pg_threshold);
  readable = read_value(settings.carried_shift) && readable;
  close_unit(k_settings_unit);

  if (!readable || !in_range(settings)) {
    // Both together, even when only one of them was wrong. The file keeps its
    // values until a reset or a write-back replaces them.
    settings = Settings{};
    if (!warned) console_text(message::ini_corrected);
    warned = true;
  }
  return settings;
}

void reset_settings(std::int32_t pg_threshold) {
  open_for_writing();
  write_value(pg_threshold);
  write_literal_record(k_settings_unit, k_default_carried_shift_text);
  close_unit(k_settings_unit);
  stop_run(message::ini_reset);
}

void save_settings(std::int32_t pg_threshold, std::int32_t carried_shift) {
  if (!store_settings(pg_threshold, carried_shift)) stop_run(message::ini_not_writable);
}

bool store_settings(std::int32_t pg_threshold, std::int32_t carried_shift) {
  if (open_unit(k_settings_unit, k_settings_file, "UNKNOWN", "write") != k_io_ok) return false;
  // After a failed write the close keeps the old contents whole.
  const bool written = write_integer_record(k_settings_unit, pg_threshold) == k_io_ok &&
                       write_integer_record(k_settings_unit, carried_shift) == k_io_ok;
  close_unit(k_settings_unit);
  return written;
}
