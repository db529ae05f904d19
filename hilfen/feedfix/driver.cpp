// The program's main unit: the whole job once, top to bottom.
#include "hilfen/feedfix/driver.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "Kopf01/sxi/string00.h"
#include "hilfen/feedfix/file_names.h"
#include "hilfen/feedfix/intent_record.h"
#include "hilfen/feedfix/messages.h"
#include "hilfen/feedfix/page_grid.h"
#include "hilfen/feedfix/plot_records.h"
#include "hilfen/feedfix/plot_transaction.h"
#include "hilfen/feedfix/run_locks.h"
#include "hilfen/feedfix/settings.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/file_replace.h"
#include "runtime/record_file.h"

namespace {

// The build passes the project version (FEEDFIX_VERSION, e.g. "0.92"), the same
// one the packages carry; the banner keeps its width of 53 characters.
#ifndef FEEDFIX_VERSION
#error "FEEDFIX_VERSION must name the version, e.g. -DFEEDFIX_VERSION=\"0.92\""
#endif
constexpr std::string_view k_title = "Plotfile-Nachbehandlung  Gerber AP3xx-Plotter   V" FEEDFIX_VERSION;
constexpr std::string_view k_maker = "feedfix plot file post-processing tool (c) 1997-2001";
static_assert(k_title.size() == 53);
static_assert(k_maker.size() == 52 && k_maker.ends_with("2001"));

constexpr std::size_t k_path_size = k_name_buffer;
// The open takes at most 259 characters of a name, and the file routines
// refuse longer ones; a longer argument is refused before anything is touched.
constexpr std::int32_t k_max_path_len = k_max_name_length;

/// The reset switch: exactly "/r", "/R", "-r" or "-R".
bool is_reset_switch(std::string_view argument) {
  return argument.size() == 2 && (argument[0] == '/' || argument[0] == '-') &&
         (argument[1] == 'r' || argument[1] == 'R');
}

/// Whether the plot file is still the file the run has read, with the bytes
/// it had: an exporter still writing it, or a new file put under its name,
/// must not lose what came after the read.
bool plot_unchanged(const FileState& now, const FileState& seen) {
  // A device or pipe has no such state.
  return !seen.regular || same_file_state(now, seen);
}

/// Runs on one plot file take turns, from whatever directory: the plot file
/// is locked, and read again where its name meanwhile leads to another file
/// (a run before this one has replaced it). False where the run gave the
/// directory back while it waited.
bool take_turns_on_plot(const std::string& plot_name) {
  constexpr int k_max_reopens = 20;
  for (int reopens = 0;; ++reopens) {
    FileId locked = unit_file_state(k_plot_unit).id;
    if (!lock_plot_file(plot_name, locked)) return false;
    if (locked == unit_file_state(k_plot_unit).id) return true;
    close_unit(k_plot_unit);
    if (reopens == k_max_reopens || open_unit(k_plot_unit, plot_name, "OLD", "read") != k_io_ok) {
      stop_run(message::plot_not_opened);
    }
  }
}

/// Opens the plot file (unit 18) on the argument, or ends the run, and takes
/// turns on it with other runs; gives the name the open used (trimmed, or
/// typed at the prompt for a blank name), which the replacement must reach,
/// and the state in which the plot file is read. False where the run gave
/// the directory back while it waited: the plot file is held, and the run
/// starts over in the directory with `plot_name` as the argument.
bool open_plot(std::string_view argument, std::string& plot_name, FileState& plot_seen) {
  if (open_unit(k_plot_unit, argument, "OLD", "read") != k_io_ok) {
    stop_run(message::plot_not_opened);
  }
  plot_name = unit_file_name(k_plot_unit);
  if (!take_turns_on_plot(plot_name)) {
    close_unit(k_plot_unit);
    return false;
  }
  plot_seen = unit_file_state(k_plot_unit);
  // Any write from now until the replacement means the run read too little.
  unit_watch_writes(k_plot_unit);
  remove_stale_files(plot_name);
  return true;
}

/// Closes the plot file and ~ffx.log after the record loop. A plot file that
/// changed while it was read, or that an exporter still holds open for
/// writing, is not replaced: the run ends as after a read error (`run_ok`
/// false). It is looked at here, and once more right before the replacement.
/// Gives ~ffx.log's state as its handle shows it, all written.
FileState close_after_loop(LoopResult& loop, const std::string& plot_name,
                           const FileState& plot_seen) {
  if (loop.run_ok && (!plot_unchanged(unit_file_state(k_plot_unit), plot_seen) ||
                      unit_written_elsewhere(k_plot_unit))) {
    loop.run_ok = false;
  }
  close_unit(k_plot_unit);
  if (loop.run_ok && !plot_unchanged(os().path_state(plot_name), plot_seen)) loop.run_ok = false;
  const FileState written = unit_file_state(k_temp_unit);
  // Nothing changed and nothing failed: the temporary file has no use.
  close_unit(k_temp_unit, loop.run_ok && !loop.changed ? Close::delete_file : Close::keep);
  return written;
}

}  // namespace

int feedfix_main() {
  console_text(" ");
  console_text(k_title);
  console_text(k_maker);
  console_text(" ");

  if (argument_count() <= 1) stop_run(message::no_parameters);
  std::array<char, k_path_size> plot_path;
  plot_path.fill(' ');
  std::int16_t argument_len = 0;
  get_argument(1, plot_path.data(), plot_path.size(), argument_len);
  const std::int32_t path_len = argument_len;
  if (path_len <= 0 || path_len > k_max_path_len) stop_run(message::parameter_invalid);
  const std::string_view argument(plot_path.data(), static_cast<std::size_t>(path_len));

  // One run at a time in a directory: a second one waits here until the
  // first has ended. Where the file system offers no lock, runs go unlocked.
  lock_directory();
  const PageGrid page_grid = build_page_grid();
  Settings settings;
  bool warned = false;
  std::string plot_name;
  FileState plot_seen;
  // Everything the run reads in the directory is read again where it gave
  // the directory back to wait for a plot file's lock: another run may have
  // carried its shift meanwhile.
  for (bool held = false; !held;) {
    remove_stale_files(std::string(k_settings_file));
    if (!finish_interrupted_replacement()) continue;
    settings = load_settings(warned);
    // Tested before the plot file is opened: the switch wins over a file of
    // the same name. Only the exact two characters count.
    if (is_reset_switch(argument)) reset_settings(settings.pg_threshold);
    held = open_plot(plot_name.empty() ? argument : std::string_view(plot_name), plot_name,
                     plot_seen);
  }

  if (open_unit(k_temp_unit, k_temp_file, "UNKNOWN", "write", NewContents::scratch) != k_io_ok) {
    close_unit(k_plot_unit);
    stop_run(message::temp_not_opened);
  }

  console_record(" .", LineEnd::stays_open);
  LoopResult loop =
      process_plot_records(settings.pg_threshold, page_grid, settings.carried_shift);

  const FileState written = close_after_loop(loop, plot_name, plot_seen);
  Replacement replacement;
  if (loop.run_ok && loop.changed &&
      (!prepare_replacement(replacement, plot_name, plot_seen, written, settings.pg_threshold,
                            settings.carried_shift) ||
       !plot_unchanged(os().path_state(plot_name), plot_seen))) {
    loop.run_ok = false;
  }
  if (!loop.run_ok) stop_run(message::read_or_write_failed);
  console_record("  OK");

  const std::string_view end = commit_replacement(loop.changed ? &replacement : nullptr,
                                                  settings.pg_threshold, settings.carried_shift);
  if (!end.empty()) stop_run(end);
  return 0;
}
