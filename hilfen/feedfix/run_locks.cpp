// Runs that take turns, and the line that says a run is waiting.
#include "hilfen/feedfix/run_locks.h"

#include <string_view>

namespace {

// How long a run waits without a word.
constexpr int k_quiet_wait_ms = 1000;

/// Tells the operator, on standard error, why nothing happens: standard
/// output keeps its bytes.
void say_waiting(std::string_view what) {
  std::string line = "feedfix: waiting for another run ";
  line += what;
  line += "\r\n";
  (void)os().write_stderr(line.data(), line.size());  // Only a hint; the wait goes on.
}

}  // namespace

void lock_directory() {
  if (os().lock_current_directory(k_quiet_wait_ms) != OsError::busy) return;
  say_waiting("in this directory");
  (void)os().lock_current_directory(-1);
}

void lock_plot_file(const std::string& plot_name, FileId& locked) {
  if (os().lock_file(plot_name, k_quiet_wait_ms, locked) != OsError::busy) return;
  say_waiting("on this plot file");
  (void)os().lock_file(plot_name, -1, locked);
}
