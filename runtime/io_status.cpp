// Error numbers of records, fields and files, their messages, and the fatal
// report that ends a run on one.
#include "runtime/io_status.h"

#include <cstdlib>
#include <string>

#include "runtime/process_end.h"
#include "runtime/test_seam.h"

namespace {

bool g_fatal_under_way = false;

}  // namespace

IoStatus io_status(OsError error) {
  switch (error) {
    case OsError::none:
      return k_io_ok;
    case OsError::file_not_found:
      return k_io_file_not_found;
    case OsError::path_not_found:
      return k_io_path_not_found;
    case OsError::access_denied:
      return k_io_access_denied;
    case OsError::write_protect:
      return k_io_write_protect;
    case OsError::disk_full:
      return k_io_disk_full;
    case OsError::io_error:
      return k_io_device_error;
    case OsError::already_exists:
      return k_io_already_exists;
    case OsError::busy:
    case OsError::changed:
    case OsError::other:
      break;
  }
  return k_io_system_error;
}

bool is_system_error(IoStatus status) {
  return status >= k_io_file_not_found && status <= k_io_system_error;
}

const char* error_message(IoStatus status) {
  switch (status) {
    case k_io_unit_busy:
      return "unit or file already open";
    case k_io_bad_keyword:
      return "invalid keyword in OPEN";
    case k_io_not_open:
      return "unit not open for this operation";
    case k_io_no_file_name:
      return "no file name given";
    case k_io_file_not_found:
      return "file not found";
    case k_io_path_not_found:
      return "path not found";
    case k_io_access_denied:
      return "access denied";
    case k_io_write_protect:
      return "medium is write-protected";
    case k_io_disk_full:
      return "disk full";
    case k_io_device_error:
      return "input/output error on the device";
    case k_io_already_exists:
      return "file already exists";
    case k_io_system_error:
      return "operating-system error";
    case k_io_bad_integer:
      return "invalid character in integer field";
    case k_io_overflow:
      return "integer overflow";
    case k_io_bad_base:
      return "invalid base in integer field";
    case k_io_record_overflow:
      return "record too long";
    default:
      return "unknown error";
  }
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
