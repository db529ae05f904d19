// How the process ends: the steps that run before it exits, whoever ends it.
#pragma once

/// The steps of the process end, in the order they run. Fixed here rather
/// than by the order of registration, which follows the order in which
/// the units' files start up.
enum class ExitStep {
  close_units,       // every record file still open is closed and kept
  end_console_line,  // a console line still open gets its CR LF
  count,
};

/// Makes `run` the action of `step` at process end (one per step; a later
/// registration replaces an earlier one).
void register_exit_step(ExitStep step, void (*run)());

/// Runs the registered steps in their order and exits with `status`. A step
/// may end the process itself (a fatal report); the steps then run again from
/// the first, and must leave nothing to do twice.
[[noreturn]] void end_process(int status);
