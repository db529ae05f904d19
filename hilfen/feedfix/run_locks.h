// Runs that take turns: one at a time in a directory, and one at a time on
// a plot file, from whatever directory.
#pragma once

#include <string>

#include "runtime/os.h"

/// Waits until no other run works in the current directory, then holds the
/// directory until the process ends. A run that has waited about a second
/// says so on standard error, once. Where the file system offers no lock,
/// the run goes on without one.
void lock_directory();

/// Waits until no other run works on the file `plot_name` leads to, then
/// holds it until the process ends or another plot file is locked; its
/// identity in `locked` (left as it was where no lock can be had). A plot
/// file that another process holds is waited for with the directory given
/// back, and the directory is taken again after it: false then, and what
/// the run did in the directory before is to be done again.
bool lock_plot_file(const std::string& plot_name, FileId& locked);
