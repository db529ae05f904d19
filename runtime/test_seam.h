// What the product lends its tests and the fuzz targets, and nothing else
// calls: resets of the process-wide state between runs in one process, and
// the backends' own pieces that the test double shares or checks.
#pragma once

#include <memory>
#include <string>

#include "runtime/os.h"

/// Forgets every unit without any call to the Os, and a fatal report (a
/// new Os is installed for the next run).
void reset_units();
/// Clears the console flags.
void reset_console();
/// Forgets a fatal report.
void reset_fatal_report();

/// A worker on a thread of its own, as the POSIX backend starts it (the
/// test double runs its workers the same way).
std::unique_ptr<Worker> start_thread_worker(WorkFunction work, void* context);
/// The POSIX backend's site tag in this process's temporary names.
std::string posix_temp_site();
