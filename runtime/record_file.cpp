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

std::string_view trim_blanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string_view file_name_part(std::string_view name) {
  return trim_blanks(name.substr(0, std::min(name.size(), k_max_name)));
}

// Keywords match in any case with trailing blanks ignored; a shortened
// keyword does not match.
bool keyword_is(std::string_view given, std::string_view keyword) {
  const std::size_t last = given.find_last_not_of(' ');
  given = last == std::string_view::npos ? std::string_view{} : given.substr(0, last + 1);
  if (given.size() != keyword.size()) return false;
  for (std::size_t i = 0; i < given.size(); ++i) {
    char c = given[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != keyword[i]) return false;
  }
  return true;
}

void write_prompt_text(std::string_view text) {
  // The prompt is a courtesy; a console that refuses it changes nothing here.
  (void)os().write_stdout(text.data(), text.size());
}

// Asks on the console until a non-blank name is typed; false at end of input.
bool ask_file_name(std::int32_t unit, std::string& name) {
  std::string answer;
  for (;;) {
    console_end_pending_line();
    write_prompt_text("File name missing or blank - please enter file name\r\n");
    const std::string prompt = "UNIT " + std::to_string(unit) + "? ";
    write_prompt_text(prompt);
    if (!os().read_stdin_line(answer)) return false;
    const std::string_view trimmed = file_name_part(answer);
    if (!trimmed.empty()) {
      name.assign(trimmed);
      return true;
    }
  }
}

}  // namespace

IoStatus open_unit(std::int32_t unit, std::string_view name, std::string_view status,
                   std::string_view action, NewContents rewrite) {
  if (find_unit(unit) != nullptr) return k_io_unit_busy;
  Create create = Create::must_exist;
  if (keyword_is(status, "OLD")) {
    create = Create::must_exist;
  } else if (keyword_is(status, "UNKNOWN")) {
    create = Create::create_if_missing;
  } else {
    return k_io_bad_keyword;
  }
  Access access = Access::read;
  if (keyword_is(action, "READ")) {
    access = Access::read;
  } else if (keyword_is(action, "WRITE")) {
    access = Access::write;
  } else {
    return k_io_bad_keyword;
  }
  auto free_slot =
      std::find_if(g_units.begin(), g_units.end(), [](const Unit& u) { return !u.open; });
  if (free_slot == g_units.end()) return k_io_unit_busy;

  std::string file_name(file_name_part(name));
  if (file_name.empty() && !ask_file_name(unit, file_name)) return k_io_no_file_name;
  const bool scratch = rewrite == NewContents::scratch && access == Access::write;
  const FileState there = os().name_state(file_name);
  // A scratch file that is not the run's own gets a new one that takes its
  // name: never where that name is a file this run has open.
  for (const Unit& other : g_units) {
    if (scratch && there.exists && other.open && other.id == there.id) return k_io_unit_busy;
  }

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
  for (const Unit& other : g_units) {
    if (other.open && other.id == id) {
      // The open fails already; nothing to add.
      if (!side.open()) (void)os().close_file(opened.handle);
      return k_io_unit_busy;
    }
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
  for (Unit& u : g_units) release(u);
  reset_fatal_report();
}

std::string unit_file_name(std::int32_t unit) {
  const Unit* u = find_unit(unit);
  return u == nullptr ? std::string{} : u->name;
}
