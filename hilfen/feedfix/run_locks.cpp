// Runs that take turns, and the line that says a run is waiting.
#include "hilfen/feedfix/run_locks.h"

#include <string>
#include <string_view>

namespace {

// How long a run waits without a word.
constexpr int k_quiet_wait_ms = 1000;

/// Tells the operator, on standard error, what the run waits for and who
/// holds it, as far as the system tells: anyone who may read a file or a
/// directory can hold its lock. Standard output keeps its bytes.
void say_waiting(std::string_view what, const LockHolder& holder) {
  std::string line = "feedfix: waiting for the lock ";
  line += what;
  if (holder.known) {
    line += ", held by process " + std::to_string(holder.process);
    if (holder.user >= 0) line += " of user " + std::to_string(holder.user);
    line += holder.same_program ? ", another run" : ", not a run of feedfix";
  }
  line += "\r\n";
  (void)os().write_stderr(line.data(), line.size());  // Only a hint; the wait goes on.
}

}  // namespace

void lock_directory() {
  LockHolder holder;
  if (os().lock_current_directory(k_quiet_wait_ms, holder) != OsError::busy) return;
  say_waiting("of this directory", holder);
  (void)os().lock_current_directory(-1, holder);
}

bool lock_plot_file(const std::string& plot_name, FileId& locked) {
  LockHolder holder;
  if (os().lock_file(plot_name, 0, locked, holder) != OsError::busy) return true;
  // Never waited for while the directory is held: one held plot file must
  // not stop every other run in the directory. The run takes the directory
  // again once it holds the plot file, and the caller starts over from there.
  os().unlock_current_directory();
  if (os().lock_file(plot_name, k_quiet_wait_ms, locked, holder) == OsError::busy) {
    say_waiting("of this plot file", holder);
    (void)os().lock_file(plot_name, -1, locked, holder);
  }
  lock_directory();
  return false;
}
