// How the process ends: the steps that run before it exits, whoever ends it.
#include "runtime/process_end.h"

#include <cstddef>
#include <cstdlib>

#include "runtime/os.h"

namespace {

// Constant-initialized, so that a step registered during static
// initialization of another file never finds it unbuilt.
void (*g_steps[static_cast<std::size_t>(ExitStep::count)])() = {};

}  // namespace

void register_exit_step(ExitStep step, void (*run)()) {
  g_steps[static_cast<std::size_t>(step)] = run;
}

void end_process(int status) {
  for (void (*run)() : g_steps) {
    if (run != nullptr) run();
  }
  os().exit_process(status);
  std::abort();  // exit_process does not return.
}
