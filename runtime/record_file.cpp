// Record files: units connected to files, lines cut into records through one
// large buffer per unit, CR LF written after every record. This file opens
// units and tells of them; record_read.cpp reads, record_write.cpp writes
// and closes.
#include "runtime/record_file.h"

#include <algorithm>
#include <string>
#include <utility>

#include "runtime/console.h"
#include "runtime/io_status.h"
#include "runtime/os.h"
#include "runtime/process_end.h"
#include "runtime/record_file_private.h"
#include "runtime/test_seam.h"

namespace record_units {
std::array<Unit, 3> g_units;
std::array<Unit*, 2> g_recent_units{};
}  // namespace record_units

using namespace record_units;

namespace {

// Whatever ends the process keeps what the units still open have written.
[[maybe_unused]] const bool g_closes_at_exit =
    (register_exit_step(ExitStep::close_units, close_all_units), true);

// Trailing blanks never count: npos + 1 is 0.
std::string_view trim_trailing(std::string_view text) {
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string_view file_name_part(std::string_view name) {
  const std::string_view part = trim_trailing(name.substr(0, k_max_name_length));
  return part.substr(std::min(part.find_first_not_of(' '), part.size()));
}

// Keywords match in any case with trailing blanks ignored; a shortened
// keyword does not match.
bool keyword_is(std::string_view given, std::string_view keyword) {
  given = trim_trailing(given);
  return std::equal(given.begin(), given.end(), keyword.begin(), keyword.end(), [](char c, char k) {
    return (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) == k;
  });
}

// Asks on the console until a non-blank name is typed; false at end of input.
// The prompt is a courtesy; a console that refuses it changes nothing here.
bool ask_file_name(std::int32_t unit, std::string& name) {
  std::string answer;
  for (;;) {
    console_end_pending_line();
    const std::string_view missing = "File name missing or blank - please enter file name\r\n";
    (void)os().write_stdout(missing.data(), missing.size());
    const std::string prompt = "UNIT " + std::to_string(unit) + "? ";
    (void)os().write_stdout(prompt.data(), prompt.size());
    if (!os().read_stdin_line(answer)) return false;
    const std::string_view trimmed = file_name_part(answer);
    if (!trimmed.empty()) {
      name.assign(trimmed);
      return true;
    }
  }
}

// Whether a unit has the file `id` open.
bool open_on_a_unit(const FileId& id) {
  return std::any_of(g_units.begin(), g_units.end(),
                     [&id](const Unit& u) { return u.open && u.id == id; });
}

}  // namespace

IoStatus open_unit(std::int32_t unit, std::string_view name, std::string_view status,
                   std::string_view action, NewContents rewrite) {
  if (find_unit(unit) != nullptr) return k_io_unit_busy;
  const bool old = keyword_is(status, "OLD");
  const bool read = keyword_is(action, "READ");
  if (!old && !keyword_is(status, "UNKNOWN")) return k_io_bad_keyword;
  if (!read && !keyword_is(action, "WRITE")) return k_io_bad_keyword;
  const Create create = old ? Create::must_exist : Create::create_if_missing;
  const Access access = read ? Access::read : Access::write;
  auto free_slot =
      std::find_if(g_units.begin(), g_units.end(), [](const Unit& u) { return !u.open; });
  if (free_slot == g_units.end()) return k_io_unit_busy;

  std::string file_name(file_name_part(name));
  if (file_name.empty() && !ask_file_name(unit, file_name)) return k_io_no_file_name;
  const bool scratch = rewrite == NewContents::scratch && access == Access::write;
  const FileState there = os().name_state(file_name);
  // A scratch file that is not the run's own gets a new one that takes its
  // name: never where that name is a file this run has open.
  if (scratch && there.exists && open_on_a_unit(there.id)) return k_io_unit_busy;

  NewFile side;
  OpenResult opened;
  if (scratch && create == Create::create_if_missing) {
    opened = open_scratch(file_name, there, side);
  } else if (create == Create::create_if_missing && access == Access::write && !there.exists &&
             choose_route(RouteFacts{.target = there, .ready = {}}) == Route::beside) {
    // A file made for the unit comes into being whole: written beside its
    // name and renamed there at close, so that a stop never leaves it empty.
    side = NewFile::beside(file_name, opened.error);
    opened.handle = side.handle();
    opened.created = true;
  } else {
    opened = os().open_file(file_name, access, create);
  }
  if (opened.error != OsError::none) return io_status(opened.error);
  // One file on two units would interleave their bytes; this also keeps the
  // temporary file from being opened on the plot file itself.
  const FileId id = os().file_id(opened.handle);
  if (open_on_a_unit(id)) {
    // The open fails already; nothing to add.
    if (!side.open()) (void)os().close_file(opened.handle);
    return k_io_unit_busy;
  }

  Unit& u = *free_slot;
  u.open = true;
  u.number = unit;
  u.name = std::move(file_name);
  u.handle = opened.handle;
  u.id = id;
  u.action = access;
  const std::size_t storage = access == Access::read ? k_read_storage : k_buffer_size;
  u.buffer = std::make_unique_for_overwrite<char[]>(storage);
  u.truncated = opened.created || side.open();
  u.created = opened.created;
  u.in_place = scratch && !side.open();
  // Whatever stood under the name is not the run's to remove.
  u.name_not_ours = scratch && side.open() && there.exists;
  u.side = std::move(side);
  return k_io_ok;
}

FileState unit_file_state(std::int32_t unit) {
  const Unit* u = find_unit(unit);
  return u == nullptr ? FileState{} : os().file_state(u->handle);
}

bool unit_written_elsewhere(std::int32_t unit) {
  const Unit* u = find_unit(unit);
  return u != nullptr && written_elsewhere(u->handle);
}

void unit_watch_writes(std::int32_t unit) {
  if (const Unit* u = find_unit(unit); u != nullptr) os().watch_writes(u->handle);
}

void close_all_units() {
  for (Unit& u : g_units) {
    if (u.open) close_unit(u.number, Close::keep);
  }
}

void reset_units() {
  for (Unit& u : g_units) u = Unit{};
  reset_fatal_report();
}

std::string unit_file_name(std::int32_t unit) {
  const Unit* u = find_unit(unit);
  return u == nullptr ? std::string{} : u->name;
}
