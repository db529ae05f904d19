// Error numbers of records, fields and files, their messages, and the fatal
// report that ends a run on one.
#include "runtime/io_status.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "runtime/process_end.h"
#include "runtime/test_seam.h"

namespace {

bool g_fatal_under_way = false;

/// The message of the fatal report for `status` ("unknown error" for a number
/// of no error named in the header).
const char* error_message(IoStatus status) {
  constexpr std::pair<IoStatus, const char*> k_messages[] = {
      {k_io_unit_busy, "unit or file already open"},
      {k_io_bad_keyword, "invalid keyword in OPEN"},
      {k_io_not_open, "unit not open for this operation"},
      {k_io_no_file_name, "no file name given"},
      {k_io_file_not_found, "file not found"},
      {k_io_path_not_found, "path not found"},
      {k_io_access_denied, "access denied"},
      {k_io_write_protect, "medium is write-protected"},
      {k_io_disk_full, "disk full"},
      {k_io_device_error, "input/output error on the device"},
      {k_io_already_exists, "file already exists"},
      {k_io_system_error, "operating-system error"},
      {k_io_bad_integer, "invalid character in integer field"},
      {k_io_overflow, "integer overflow"},
      {k_io_bad_base, "invalid base in integer field"},
      {k_io_record_overflow, "record too long"},
  };
  for (const auto& [number, message] : k_messages) {
    if (number == status) return message;
  }
  return "unknown error";
}

}  // namespace

IoStatus io_status(OsError error) {
  constexpr std::pair<OsError, IoStatus> k_numbers[] = {
      {OsError::none, k_io_ok},
      {OsError::file_not_found, k_io_file_not_found},
      {OsError::path_not_found, k_io_path_not_found},
      {OsError::access_denied, k_io_access_denied},
      {OsError::write_protect, k_io_write_protect},
      {OsError::disk_full, k_io_disk_full},
      {OsError::io_error, k_io_device_error},
      {OsError::already_exists, k_io_already_exists},
  };
  for (const auto& [cause, number] : k_numbers) {
    if (cause == error) return number;
  }
  // busy, changed and other have no number of their own.
  return k_io_system_error;
}

bool is_system_error(IoStatus status) {
  return status >= k_io_file_not_found && status <= k_io_system_error;
}

void fatal_io_error(IoStatus status, std::string_view operation, std::string_view name) {
  if (g_fatal_under_way) {
    // A report is already out; ending the process again would loop.
    os().exit_process(1);
    std::abort();  // Not reached: exit_process does not return.
  }
  g_fatal_under_way = true;
  std::string report = "\r\nrun-time error F";
  report += std::to_string(status);
  report += ": ";
  report += operation;
  report += "(";
  report += name;
  report += ")\r\n- ";
  report += error_message(status);
  report += "\r\n";
  (void)os().write_stderr(report.data(), report.size());  // Nowhere left to report to.
  end_process(1);
}

bool fatal_report_under_way() { return g_fatal_under_way; }

void reset_fatal_report() { g_fatal_under_way = false; }
