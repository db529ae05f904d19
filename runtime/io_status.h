// Error numbers of records, fields and files, their messages, and the fatal
// report that ends a run on one.
#pragma once

#include <string_view>

#include "runtime/os.h"

/// Result of a record or field operation: 0 success, -1 end of file, a
/// positive error number otherwise.
using IoStatus = int;
inline constexpr IoStatus k_io_ok = 0;
inline constexpr IoStatus k_io_end = -1;

// The error numbers are part of the fatal report, so they stay as they are.
/// Errors of the record-file layer.
inline constexpr IoStatus k_io_unit_busy = 1201;     // unit already open, or file open on another unit
inline constexpr IoStatus k_io_bad_keyword = 1202;   // status or action keyword not recognised
inline constexpr IoStatus k_io_not_open = 1203;      // no file on the unit, or opened the other way
inline constexpr IoStatus k_io_no_file_name = 1204;  // end of input while asking for a file name
/// A failed operating-system call, one number per OsError (see io_status).
inline constexpr IoStatus k_io_file_not_found = 1210;
inline constexpr IoStatus k_io_path_not_found = 1211;
inline constexpr IoStatus k_io_access_denied = 1212;
inline constexpr IoStatus k_io_write_protect = 1213;
inline constexpr IoStatus k_io_disk_full = 1214;
inline constexpr IoStatus k_io_device_error = 1215;
inline constexpr IoStatus k_io_already_exists = 1216;
inline constexpr IoStatus k_io_system_error = 1217;
/// Errors of the field rules.
inline constexpr IoStatus k_io_bad_integer = 1225;     // a character outside the rule
inline constexpr IoStatus k_io_overflow = 1226;        // value does not fit
inline constexpr IoStatus k_io_bad_base = 1227;        // base outside 2..36, or a second '#'
inline constexpr IoStatus k_io_record_overflow = 1228; // output passed column 80

/// The positive error number of a failed operating-system call (0 for none).
IoStatus io_status(OsError error);

/// Whether `status` is a failure of the operating system (a refused or failed
/// call), not an end of file or a field that does not convert.
bool is_system_error(IoStatus status);

/// Reports a failed operation on standard error ("run-time error F<number>:
/// <operation>(<name>)" and the error's message) and ends the process with
/// status 1. A second report while the first one ends the process exits at
/// once.
[[noreturn]] void fatal_io_error(IoStatus status, std::string_view operation, std::string_view name);

/// Whether a fatal report is out and the process is ending on it.
bool fatal_report_under_way();

