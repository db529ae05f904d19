// Console output in records with carriage control, the pause, and the ends of
// the process.
#pragma once

#include <string_view>

// stop_run ends the process through end_process, which callers use as well.
#include "runtime/process_end.h"

/// Whether a formatted write leaves the console line open for the next record
/// (a format ending in "\").
enum class LineEnd { ends, stays_open };

/// Writes one formatted record at once. Unless the line is open, its first
/// character is carriage control ('+', '0', '1' or any other); an empty record
/// is written as one blank. Console failures of the kinds "device full",
/// "access denied" end the process with the fatal report (status 1).
void console_record(std::string_view record, LineEnd end = LineEnd::ends);

/// Free-format write of one text item: the record is a blank and the text.
void console_text(std::string_view text);

/// Writes CR LF when an earlier line has not been ended; the flags stay.
void console_end_pending_line();

/// Finishes the console line, prints `message` and CR LF, ends the process
/// with status 0.
[[noreturn]] void stop_run(std::string_view message = "Stop - Program terminated.");

/// Prints the pause prompt, reads one answer line from standard input and
/// runs it as a command when at least two characters remain after trimming
/// trailing blanks and tabs. Never fails.
void pause_run();
