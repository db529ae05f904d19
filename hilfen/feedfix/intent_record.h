// The intent record "~ffx.jnl": what a run is about to do to a plot file,
// kept in the current directory while the corrected plot takes the plot's
// place and the settings are written back, so that a run stopped on the way
// can be finished by the next one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "hilfen/feedfix/file_names.h"
#include "runtime/os.h"

/// How the corrected plot takes the plot's place.
enum class ReplaceMethod {
  rename,    // ~ffx.log itself is renamed over the plot
  beside,    // a copy made beside the plot is renamed over it
  in_place,  // the plot file itself is rewritten
};

struct Intent {
  ReplaceMethod method = ReplaceMethod::rename;
  std::string plot_name;          // as the run opened it, from the current directory
  std::int32_t pg_threshold = 0;  // the settings to write back
  std::int32_t carried_shift = 0;
  FileState plot_before;  // the plot file as the run read it
  FileState corrected;    // ~ffx.log with all the corrected records in it
  FileState beside;       // the copy beside the plot (method beside)
};

/// The record's bytes.
std::string format_intent(const Intent& intent);
/// Reads `text` back; false when it is no complete record, or one whose
/// values no run could have written.
bool parse_intent(std::string_view text, Intent& intent);

/// Writes the record durably, in a file of the run's own. Anything but none:
/// no record stands.
OsError write_intent(const Intent& intent);

enum class IntentFound {
  none,        // no record
  found,       // a whole record, in `intent`
  garbage,     // a file of the run's own of that name that is no record
  foreign,     // something that is not the run's own: never acted on
  unreadable,  // the system refused to read the run's own record
};
/// Reads the record, if there is one.
IntentFound read_intent(Intent& intent);

/// Removes the record.
OsError remove_intent();
