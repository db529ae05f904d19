// The intent record "~ffx.jnl": what a run is about to do to a plot file,
// kept in the current directory while the corrected plot takes the plot's
// place and the settings are written back, so that a run stopped on the way
// can be finished by the next one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/os.h"

inline constexpr std::string_view k_intent_file = "~ffx.jnl";

struct Intent {
  std::string plot_name;         // as the run opened it, from the current directory
  std::int32_t pg_threshold = 0;  // the settings to write back
  std::int32_t carried_shift = 0;
  FileState plot_before;  // the plot file as the run read it
  FileState corrected;    // ~ffx.log with all the corrected records in it
};

/// The record's bytes.
std::string format_intent(const Intent& intent);
/// Reads `text` back; false when it is no complete record.
bool parse_intent(std::string_view text, Intent& intent);

/// Writes the record in one step and durably. Anything but none: no record
/// stands (an older one, if any, is replaced or left as it was).
OsError write_intent(const Intent& intent);

enum class IntentFound {
  none,        // no record
  found,       // a whole record, in `intent`
  garbage,     // a file of that name that is no record of ours
  unreadable,  // the system refused to open or read it
};
/// Reads the record, if there is one.
IntentFound read_intent(Intent& intent);

/// Removes the record.
OsError remove_intent();

/// Whether `now` is the very file `then` was, with the same bytes as far as a
/// file's size and last write can tell.
bool same_file_state(const FileState& now, const FileState& then);
