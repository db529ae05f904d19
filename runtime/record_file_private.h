// What the record-file pieces share: a unit, the table of them, and the
// sizes of their buffers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Kopf01/sxi/string00.h"
#include "runtime/file_replace.h"
#include "runtime/io_beside.h"
#include "runtime/record_file.h"

namespace record_units {

// The floor is 1024 bytes; a larger buffer means far fewer system calls on
// plot files of hundreds of megabytes.
constexpr std::size_t k_buffer_size = k_record_buffer_size;
// A read unit's buffer: the bytes of one read, with room in front for the
// unread rest of the buffer before it (a refill comes only with less than a
// field of 80 bytes left) and behind for the line end that the end of the
// file may add.
constexpr std::size_t k_kept_room = 128;
constexpr std::size_t k_read_storage = k_kept_room + k_buffer_size + 1;
// Blocks read ahead, and buffers waiting to be written, at most.
constexpr std::size_t k_blocks_ahead = 8;
constexpr std::size_t k_buffers_behind = 8;
// The least file size that is read ahead.
constexpr std::uint64_t k_least_read_ahead = 2 * k_buffer_size;
constexpr std::size_t k_text_width = k_record_columns;
constexpr std::size_t k_integer_width = 10;

struct Unit {
  bool open = false;
  std::int32_t number = 0;
  std::string name;
  FileHandle handle = k_no_file;
  FileId id;
  Access action = Access::read;
  std::unique_ptr<char[]> buffer;
  // Reading: bytes [pos, end) are unread. Writing: bytes [0, end) wait for the file.
  // With a worker beside the unit, the buffer changes place at each read and
  // write.
  std::size_t pos = 0;
  std::size_t end = 0;
  bool file_ended = false;  // reading: the file has reported its end
  bool last_was_lf = true;  // reading: the last byte the file gave was LF (or none yet)
  bool truncated = false;   // writing: nothing behind the current position to cut
  bool created = false;     // the open made the file
  bool in_place = false;    // writing: an existing file is cut where it stands
  bool name_not_ours = false;  // writing: the name holds what a new file is to replace
  // Writing an existing file: the first failed write, which every later write
  // of this opening repeats; the file then keeps its old bytes.
  IoStatus write_error = k_io_ok;
  // Writing an existing file: the new file beside it that takes its place at
  // close; empty while nothing is written, and where the file is cut in place.
  NewFile side;  // writing: the new contents, in a file beside the old one
  // Reading: the field of a line that the buffer cannot hold whole, kept
  // while the rest of the line is skipped.
  PlotRecord long_field{};
  // Reading: a text read gave its record as soon as a loss showed in a line
  // the buffer could not hold whole; the next read first skips the rest.
  bool rest_of_line_pending = false;
  // The worker beside the unit, where it has one: declared last, so that it
  // stops before the rest goes.
  std::unique_ptr<ReadAhead> ahead;
  std::unique_ptr<WriteBehind> behind;
};

// Three files at most are open at once: settings, plot and temporary file.
extern std::array<Unit, 3> g_units;
// The unit last found for reading and for writing: a record loop asks for the
// same two units on every line.
extern std::array<Unit*, 2> g_recent_units;

inline Unit* find_unit(std::int32_t number) {
  for (Unit& u : g_units) {
    if (u.open && u.number == number) return &u;
  }
  return nullptr;
}

inline Unit* find_unit(std::int32_t number, Access action) {
  Unit*& recent = g_recent_units[action == Access::read ? 0 : 1];
  // A released unit is no longer open, and its place may open again the
  // other way, so a stale entry is never taken.
  if (recent != nullptr && recent->open && recent->number == number && recent->action == action) {
    return recent;
  }
  Unit* u = find_unit(number);
  if (u == nullptr || u->action != action) return nullptr;
  recent = u;
  return u;
}

}  // namespace record_units
