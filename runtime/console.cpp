// Console output in records with carriage control, the pause, and the ends of
// the process.
#include "runtime/console.h"

#include <cstring>
#include <string>

#include "runtime/io_status.h"
#include "runtime/os.h"
#include "runtime/process_end.h"
#include "runtime/test_seam.h"

namespace {

constexpr std::string_view k_line_end = "\r\n";
constexpr std::string_view k_pause_prompt =
    "Pause - Please enter a blank line (to continue) or a DOS command.";

/// An earlier record was written and its line has not been ended.
bool line_pending = false;
/// The current line already had its advance; the next record continues it.
bool line_open = false;

/// Hands `head` and `body` to standard output in one call (two when they do
/// not fit the local buffer); nothing is kept back for later records.
OsError write_console(std::string_view head, std::string_view body) {
  if (head.empty() && body.empty()) return OsError::none;
  char joined[256];
  if (head.size() + body.size() <= sizeof joined) {
    if (!head.empty()) std::memcpy(joined, head.data(), head.size());
    if (!body.empty()) std::memcpy(joined + head.size(), body.data(), body.size());
    return os().write_stdout(joined, head.size() + body.size());
  }
  const OsError error = os().write_stdout(head.data(), head.size());
  return error != OsError::none ? error : os().write_stdout(body.data(), body.size());
}

/// The line advance that carriage-control character `control` asks for.
std::string_view carriage_control(char control) {
  switch (control) {
    case '+':
      return "\r";
    case '0':
      return line_pending ? "\r\n\r\n" : "\r\n";
    case '1':
      return "\r\n\f\r \r";
    default:
      // The first record of the run has no line in front of it to end.
      return line_pending ? "\r\n" : "";
  }
}

/// Writes the record made of `control` and `rest`: whole as text on an open
/// line, otherwise the advance of `control` and then `rest`.
void write_record(char control, std::string_view rest, LineEnd end) {
  const std::string_view head =
      line_open ? std::string_view(&control, 1) : carriage_control(control);
  // A full device or refused access ends the run; any other failure of a
  // console write is passed over.
  if (const OsError e = write_console(head, rest);
      e == OsError::disk_full || e == OsError::access_denied) {
    fatal_io_error(io_status(e), "WRITE", "USER");
  }
  line_pending = true;
  line_open = end == LineEnd::stays_open;
}

/// The process end finishes a console line still open.
[[maybe_unused]] const bool g_ends_line_at_exit =
    (register_exit_step(ExitStep::end_console_line, console_end_pending_line), true);

}  // namespace

void console_record(std::string_view record, LineEnd end) {
  // An empty record is written as one blank.
  write_record(record.empty() ? ' ' : record.front(), record.substr(record.empty() ? 0 : 1), end);
}

void console_text(std::string_view text) { write_record(' ', text, LineEnd::ends); }

void console_end_pending_line() {
  // Only ever the lead-in of a message whose own writes decide what a
  // failure means; a lost line end alone changes nothing.
  if (line_pending) (void)write_console(k_line_end, {});
}

void stop_run(std::string_view message) {
  // The run is ending anyway: failures of these writes are passed over.
  console_end_pending_line();
  (void)write_console(message, k_line_end);
  end_process(0);
}

void pause_run() {
  console_end_pending_line();
  (void)write_console(k_pause_prompt, k_line_end);
  // End of input counts as an empty answer. The whole line is taken, also
  // beyond 126 characters, so a long command is neither cut nor left behind
  // to be read as the next answer.
  std::string answer;
  if (!os().read_stdin_line(answer)) answer.clear();
  answer.resize(answer.find_last_not_of(" \t") + 1);  // npos + 1 is 0
  // One character alone is taken as a plain "go on".
  // Only what a person typed at a terminal is run: a batch file's input
  // (a list of file names, say) is read and dropped.
  if (answer.size() >= 2 && os().stdin_is_terminal()) os().run_command(answer);
}

void reset_console() {
  line_pending = false;
  line_open = false;
}
