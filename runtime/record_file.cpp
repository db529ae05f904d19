// Record files: units connected to files, lines cut into records through one
// large buffer per unit, CR LF written after every record.
#include "runtime/record_file.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Kopf01/sxi/byte_scan.h"
#include "runtime/file_replace.h"
#include "runtime/console.h"
#include "runtime/io_beside.h"
#include "runtime/io_status.h"
#include "runtime/os.h"
#include "runtime/process_end.h"
#include "runtime/test_seam.h"

namespace {

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
constexpr std::size_t k_max_name = 259;
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
  // Writing: console records that wait for the writes handed over before
  // them (console_after_writes), in the order given.
  struct HeldRecord {
    std::string text;
    LineEnd end = LineEnd::ends;
    std::size_t after = 0;  // the buffers handed to the worker before it
  };
  std::vector<HeldRecord> held;
  // The worker beside the unit, where it has one: declared last, so that it
  // stops before the rest goes.
  std::unique_ptr<ReadAhead> ahead;
  std::unique_ptr<WriteBehind> behind;
};

// Three files at most are open at once: settings, plot and temporary file.
std::array<Unit, 3> g_units;
// The unit last found for reading and for writing: a record loop asks for the
// same two units on every line.
std::array<Unit*, 2> g_recent_units{};

// Whatever ends the process keeps what the units still open have written.
[[maybe_unused]] const bool g_closes_at_exit =
    (register_exit_step(ExitStep::close_units, close_all_units), true);

}  // namespace

namespace {

Unit* find_unit(std::int32_t number) {
  for (Unit& u : g_units) {
    if (u.open && u.number == number) return &u;
  }
  return nullptr;
}

Unit* find_unit(std::int32_t number, Access action) {
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

void release(Unit& u) { u = Unit{}; }

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

// Reading -------------------------------------------------------------------

// Reads the next block of the file behind the unread bytes, which move in
// front of it. 0: bytes were added; -1: the file has ended and nothing was
// added. Only the real end of the file adds an LF behind a last line that
// lacks one: a short read (a pipe, a slow device) is no end. Every read asks
// for a whole buffer, whether the unit reads itself or its worker reads
// ahead.
IoStatus refill(Unit& u) {
  if (u.file_ended) return k_io_end;
  const std::size_t unread = u.end - u.pos;
  assert(unread <= k_kept_room);
  char kept[k_kept_room];
  std::memcpy(kept, u.buffer.get() + u.pos, unread);
  const ReadResult r = u.ahead != nullptr
                           ? u.ahead->take(u.buffer)
                           : os().read_file(u.handle, u.buffer.get() + k_kept_room, k_buffer_size);
  std::memcpy(u.buffer.get() + k_kept_room - unread, kept, unread);
  u.pos = k_kept_room - unread;
  u.end = k_kept_room;
  if (r.error != OsError::none) return io_status(r.error);
  if (r.count == 0) {
    u.file_ended = true;
    if (u.last_was_lf) return k_io_end;
    u.buffer[u.end++] = '\n';
    u.last_was_lf = true;
    return k_io_ok;
  }
  u.end += r.count;
  u.last_was_lf = u.buffer[u.end - 1] == '\n';
  return k_io_ok;
}

// Tracks whether the tail of a line behind the field loses data: non-blank
// bytes before the line's first CR, or any byte but CR between it and the LF.
struct TailCheck {
  bool lossless = true;
  bool after_cr = false;

  void scan(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n && lossless; ++i) {
      if (after_cr) {
        lossless = p[i] == '\r';
      } else if (p[i] == '\r') {
        after_cr = true;
      } else {
        lossless = p[i] == ' ';
      }
    }
  }
};

enum class AtLoss { go_on, stop };

// Consumes the rest of the record up to and including its LF. With
// AtLoss::stop it ends as soon as the tail shows a loss, with the rest of the
// line unread: a line that never ends (a device, a pipe) must not keep the
// run going once the line is known to be refused.
IoStatus skip_record(Unit& u, TailCheck& tail, AtLoss at_loss = AtLoss::go_on) {
  for (;;) {
    const char* p = u.buffer.get() + u.pos;
    const std::size_t n = u.end - u.pos;
    if (const void* lf = std::memchr(p, '\n', n); lf != nullptr) {
      const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - p);
      tail.scan(p, length);
      u.pos += length + 1;
      return k_io_ok;
    }
    tail.scan(p, n);
    u.pos = u.end;
    if (!tail.lossless && at_loss == AtLoss::stop) {
      u.rest_of_line_pending = true;
      return k_io_ok;
    }
    const IoStatus s = refill(u);
    // The end of the file is the end of the record: the last line always
    // gets an LF, so this is met only by a record that had none to give.
    if (s == k_io_end) return k_io_ok;
    if (s != k_io_ok) return s;
  }
}

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// Skips what is left of a line that a text read gave up early.
IoStatus skip_pending_rest(Unit& u) {
  if (!u.rest_of_line_pending) return k_io_ok;
  TailCheck tail;
  if (const IoStatus s = skip_record(u, tail); s != k_io_ok) return s;
  u.rest_of_line_pending = false;
  return k_io_ok;
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
  if (scratch && create == Create::create_if_missing) create = Create::own_file;
  if (scratch) {
    // A scratch file that is not the run's own is replaced by renaming a new
    // one over its name: never where that name is a file this run has open.
    const FileState there = os().name_state(file_name);
    for (const Unit& other : g_units) {
      if (there.exists && other.open && other.id == there.id) return k_io_unit_busy;
    }
  }

  const OpenResult opened = os().open_file(file_name, access, create);
  if (opened.error != OsError::none) return io_status(opened.error);
  // One file on two units would interleave their bytes; this also keeps the
  // temporary file from being opened on the plot file itself.
  const FileId id = os().file_id(opened.handle);
  for (const Unit& other : g_units) {
    if (other.open && other.id == id) {
      (void)os().close_file(opened.handle);  // The open fails already; nothing to add.
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
  u.truncated = opened.created;
  u.created = opened.created;
  u.in_place = scratch;
  return k_io_ok;
}

FileState unit_file_state(std::int32_t unit) {
  const Unit* u = find_unit(unit);
  return u == nullptr ? FileState{} : os().file_state(u->handle);
}

bool unit_written_elsewhere(std::int32_t unit) {
  const Unit* u = find_unit(unit);
  return u != nullptr && os().written_elsewhere(u->handle);
}

void unit_watch_writes(std::int32_t unit) {
  if (const Unit* u = find_unit(unit); u != nullptr) os().watch_writes(u->handle);
}

namespace {

// Reads a line that read_text_lines could not take at once: one with a CR or
// LF out of the usual place, longer than 80 columns, or not whole in the
// buffer. Kept out of line, so that the usual line costs no more than its
// own few steps.
[[gnu::noinline]] IoStatus read_line_the_long_way(Unit& u, std::string_view& data, bool& lossless) {
  if (const IoStatus s = skip_pending_rest(u); s != k_io_ok) return s;
  for (;;) {
    const char* p = u.buffer.get() + u.pos;
    const std::size_t n = u.end - u.pos;
    const std::size_t stop = byte_scan::find_cr_or_lf(p, n);
    const void* lf = stop < n ? std::memchr(p + stop, '\n', n - stop) : nullptr;
    if (lf != nullptr) {
      // The whole line is in the buffer: the field is taken where it stands,
      // and the bytes behind it decide whether the line loses any.
      const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - p);
      const std::size_t taken = std::min(stop, k_text_width);
      TailCheck tail;
      tail.scan(p + taken, length - taken);
      lossless = tail.lossless;
      data = std::string_view(p, taken);
      u.pos += length + 1;
      return k_io_ok;
    }
    // More than 80 bytes without an LF decide the field; the rest of the
    // line may be longer than the buffer.
    if (n > k_text_width) break;
    const IoStatus s = refill(u);
    if (s == k_io_end && u.pos == u.end) return k_io_end;
    // The end of the file ends the line, which then has no LF to give.
    if (s == k_io_end) break;
    if (s != k_io_ok) return s;
  }
  const char* p = u.buffer.get() + u.pos;
  const std::size_t n = std::min(u.end - u.pos, k_text_width);
  std::size_t taken = 0;
  while (taken < n && !is_line_end(p[taken])) ++taken;
  std::memcpy(u.long_field.data(), p, taken);
  u.pos += taken;
  TailCheck tail;
  if (const IoStatus s = skip_record(u, tail, AtLoss::stop); s != k_io_ok) return s;
  data = std::string_view(u.long_field.data(), taken);
  lossless = tail.lossless;
  return k_io_ok;
}

}  // namespace

IoStatus read_text_lines(std::int32_t unit, std::string_view* lines, std::size_t capacity,
                         std::size_t& count, bool& last_lossless) {
  assert(capacity > 0);
  count = 0;
  last_lossless = true;
  Unit* u = find_unit(unit, Access::read);
  if (u == nullptr) return k_io_not_open;
  if (!u->rest_of_line_pending) {
    // The usual line is whole in the buffer, at most 80 columns and ended by
    // CR LF or LF: its bytes are looked at once, to find that end.
    const char* p = u->buffer.get() + u->pos;
    const char* const end = u->buffer.get() + u->end;
    while (count < capacity) {
      const auto n = static_cast<std::size_t>(end - p);
      const std::size_t stop = byte_scan::find_cr_or_lf(p, n);
      if (stop > k_text_width || stop + 1 >= n) break;
      if (p[stop] == '\n') {
        lines[count++] = std::string_view(p, stop);
        p += stop + 1;
      } else if (p[stop + 1] == '\n') {
        lines[count++] = std::string_view(p, stop);
        p += stop + 2;
      } else {
        break;
      }
    }
    u->pos = static_cast<std::size_t>(p - u->buffer.get());
    if (count > 0) return k_io_ok;
  }
  const IoStatus s = read_line_the_long_way(*u, lines[0], last_lossless);
  if (s == k_io_ok) count = 1;
  return s;
}

std::string_view unread_bytes(std::int32_t unit) {
  const Unit* u = find_unit(unit, Access::read);
  if (u == nullptr || u->rest_of_line_pending) return {};
  return {u->buffer.get() + u->pos, u->end - u->pos};
}

void mark_read(std::int32_t unit, std::size_t size) {
  Unit* u = find_unit(unit, Access::read);
  assert(u != nullptr && size <= u->end - u->pos);
  u->pos += size;
}

IoStatus read_integer_record(std::int32_t unit, std::int32_t& value) {
  Unit* found = find_unit(unit, Access::read);
  if (found == nullptr) return k_io_not_open;
  Unit& u = *found;
  if (const IoStatus s = skip_pending_rest(u); s != k_io_ok) return s;
  // Gather the field whole in the buffer (refill keeps the unread bytes), so
  // that an error can leave the unit just behind what the field took.
  std::size_t length = 0;
  for (;;) {
    const char* p = u.buffer.get() + u.pos;
    const std::size_t n = std::min(u.end - u.pos, k_integer_width);
    length = 0;
    while (length < n && !is_line_end(p[length])) ++length;
    if (length < n || n == k_integer_width) break;
    const IoStatus s = refill(u);
    if (s == k_io_end && u.pos == u.end) return k_io_end;
    if (s == k_io_end) break;
    if (s != k_io_ok) return s;
  }
  const FieldScan scan = scan_i10(std::string_view(u.buffer.get() + u.pos, length), value);
  u.pos += std::min(scan.taken, length);
  if (scan.status != k_io_ok) return scan.status;
  TailCheck tail;
  return skip_record(u, tail);
}

namespace {

// New contents of an existing file are all or nothing: after a write that
// lost records, no later record may make them look complete.
IoStatus note_write(Unit& u, IoStatus status) {
  if (status != k_io_ok && !u.created) u.write_error = status;
  return status;
}

// Prints the console records held for buffers the worker has written, up
// to the first one that waits for more (`written`: the buffers written, up
// to the first failure). A console that refuses a record ends the process
// there, with the unit as it stands; nothing held is printed after that
// report.
void print_held(Unit& u, std::size_t written) {
  if (fatal_report_under_way()) {
    u.held.clear();
    return;
  }
  const auto waiting = std::find_if(u.held.begin(), u.held.end(), [written](const auto& record) {
    return record.after > written;
  });
  // Taken out first: a report that ends the process meanwhile finds only
  // the records still waiting.
  std::vector<Unit::HeldRecord> due(std::make_move_iterator(u.held.begin()),
                                    std::make_move_iterator(waiting));
  u.held.erase(u.held.begin(), waiting);
  for (const Unit::HeldRecord& record : due) console_record(record.text, record.end);
}

// Waits for the writes handed to the unit's worker and prints the console
// records held for them. A failed one is met as at a hand-over (see
// flush_buffer) and noted as the unit's own; the records held for it and
// after it would never have been printed.
IoStatus settle(Unit& u) {
  if (u.behind == nullptr) return k_io_ok;
  const OsError e = u.behind->settle();
  print_held(u, u.behind->written());
  u.held.clear();
  if (e == OsError::none) return k_io_ok;
  u.behind.reset();
  u.end = 0;
  return note_write(u, io_status(e));
}

// Hands the buffered bytes to the file. They are dropped whatever the
// outcome: after a refused write the file is incomplete anyway, and a later
// close must not fail on the same bytes again.
// With a worker beside the unit the bytes are handed over to it, and the
// outcome is that of the writes before them: theirs comes at the next
// hand-over or when the unit settles. A failure that comes so is met as
// though the failed write had just been made: the bytes buffered since would
// never have been, and from then on the unit writes for itself.
IoStatus flush_buffer(Unit& u) {
  if (u.end == 0) return k_io_ok;
  OsError e = OsError::none;
  if (u.behind != nullptr) {
    // Console records whose writes are made go out before more is handed over.
    if (!u.held.empty()) print_held(u, u.behind->written());
    e = u.behind->hand_over(u.handle, u.buffer, u.end);
    if (e != OsError::none) return settle(u);
  } else {
    e = os().write_file(u.handle, u.buffer.get(), u.end);
  }
  u.end = 0;
  return io_status(e);
}

IoStatus append(Unit& u, const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t n = std::min(size, k_buffer_size - u.end);
    std::memcpy(u.buffer.get() + u.end, data, n);
    u.end += n;
    data += n;
    size -= n;
    if (u.end == k_buffer_size) {
      if (const IoStatus s = flush_buffer(u); s != k_io_ok) return s;
    }
  }
  return k_io_ok;
}

// The first write into an existing file starts its new contents, so that it
// holds only the records written from then on; a file only opened and closed
// keeps its old bytes. The new contents go into a new file beside it, which
// takes its place in one step at close: until then, and when the run fails on
// the way, the file keeps all of its old bytes. Only where the directory
// takes no new file are the old bytes cut where they stand.
IoStatus start_new_contents(Unit& u) {
  if (u.in_place) {
    if (const OsError e = os().truncate_file(u.handle); e != OsError::none) return io_status(e);
    u.truncated = true;
    return k_io_ok;
  }
  OsError e = OsError::none;
  NewFile side = NewFile::beside(u.name, e);
  if (e == OsError::access_denied) {
    if (const OsError cut = os().truncate_file(u.handle); cut != OsError::none) return io_status(cut);
  } else if (e != OsError::none) {
    return io_status(e);
  } else {
    (void)os().close_file(u.handle);  // Never written; closing it loses nothing.
    u.handle = side.handle();
    u.side = std::move(side);
  }
  u.truncated = true;
  return k_io_ok;
}


// Appends the record's bytes and its CR LF. A record that leaves room in the
// buffer goes in with one copy; the buffer is handed over at the same bytes
// either way.
IoStatus append_record(Unit& u, const char* data, std::size_t size) {
  if (size + 2 < k_buffer_size - u.end) {
    char* out = u.buffer.get() + u.end;
    if (size > 0) std::memcpy(out, data, size);
    out[size] = '\r';
    out[size + 1] = '\n';
    u.end += size + 2;
    return k_io_ok;
  }
  if (const IoStatus s = append(u, data, size); s != k_io_ok) return s;
  return append(u, "\r\n", 2);
}

IoStatus write_record(std::int32_t unit, const char* data, std::size_t size) {
  Unit* found = find_unit(unit, Access::write);
  if (found == nullptr) return k_io_not_open;
  Unit& u = *found;
  if (u.write_error != k_io_ok) return u.write_error;
  IoStatus status = u.truncated ? k_io_ok : start_new_contents(u);
  if (status == k_io_ok) status = append_record(u, data, size);
  return note_write(u, status);
}

}  // namespace

IoStatus write_text_record(std::int32_t unit, std::string_view text) {
  return write_record(unit, text.data(), text.size());
}

WriteRoom write_room(std::int32_t unit) {
  Unit* u = find_unit(unit, Access::write);
  if (u == nullptr || !u->truncated || u->write_error != k_io_ok) return {};
  return {u->buffer.get() + u->end, u->buffer.get() + k_buffer_size};
}

void mark_written(std::int32_t unit, std::size_t size) {
  Unit* u = find_unit(unit, Access::write);
  assert(u != nullptr && u->end + size < k_buffer_size);
  u->end += size;
}

IoStatus write_integer_record(std::int32_t unit, std::int32_t value) {
  char field[k_integer_width];
  format_integer(value, static_cast<int>(k_integer_width), field);
  return write_record(unit, field, k_integer_width);
}

void write_literal_record(std::int32_t unit, std::string_view literal) {
  const IoStatus s = write_record(unit, literal.data(), literal.size());
  if (s != k_io_ok) fatal_io_error(s, "WRITE", unit_file_name(unit));
}

IoStatus flush_unit(std::int32_t unit) {
  Unit* u = find_unit(unit);
  if (u == nullptr) return k_io_not_open;
  if (u->action != Access::write) return k_io_ok;
  if (u->write_error != k_io_ok) return u->write_error;
  const IoStatus flushed = note_write(*u, flush_buffer(*u));
  if (flushed != k_io_ok) return flushed;
  return settle(*u);
}

IoStatus settle_unit(std::int32_t unit) {
  Unit* u = find_unit(unit);
  if (u == nullptr) return k_io_not_open;
  if (u->write_error != k_io_ok) return u->write_error;
  return settle(*u);
}

void console_after_writes(std::int32_t unit, std::string_view record, LineEnd end) {
  Unit* u = find_unit(unit, Access::write);
  if (u != nullptr && u->behind != nullptr &&
      (!u->held.empty() || u->behind->written() < u->behind->handed())) {
    u->held.push_back(Unit::HeldRecord{std::string(record), end, u->behind->handed()});
    return;
  }
  console_record(record, end);
}

bool work_beside(std::int32_t unit) {
  Unit* u = find_unit(unit);
  if (u == nullptr || u->ahead != nullptr || u->behind != nullptr) return false;
  if (u->action == Access::write) {
    u->behind = WriteBehind::start(os(), k_buffer_size, k_buffers_behind);
    return u->behind != nullptr;
  }
  // A device or a pipe may keep a read waiting for ever, which no worker
  // could be stopped from; only a plain file is read ahead, and only one of
  // more than a few reads: a worker costs more than it saves on less.
  const FileState state = os().file_state(u->handle);
  if (u->file_ended || !state.regular || state.size <= k_least_read_ahead) return false;
  u->ahead = ReadAhead::start(os(), u->handle, k_read_storage, k_kept_room, k_buffer_size,
                              k_blocks_ahead);
  return u->ahead != nullptr;
}

void close_unit(std::int32_t unit, Close how) {
  Unit* found = find_unit(unit);
  if (found == nullptr) return;  // Closing a closed unit has nothing to do.
  Unit& u = *found;
  // What the worker still has to write is written first, as it would have
  // been before the close one step after the other.
  (void)settle(u);
  const std::string name = u.name;
  NewFile side = std::move(u.side);
  const bool created = u.created;
  const bool replacing = side.open();
  const FileHandle handle = u.handle;
  // New contents take a file's place only when every write of this opening
  // went through (a failed one was reported to its caller), and not while the
  // process ends on a fatal report: they may lack what the failure stopped.
  const bool complete =
      how == Close::keep && u.write_error == k_io_ok && !(replacing && fatal_report_under_way());
  IoStatus status = k_io_ok;
  if (complete && u.action == Access::write) {
    status = flush_buffer(u);
    if (status == k_io_ok) status = settle(u);
  }
  // A file written where it stands (a settings file whose place no new file
  // can take, or one just made) reaches the disk before the run goes on to
  // what depends on it, such as removing the intent record. The scratch
  // file is made durable by the replacement that uses it.
  if (complete && status == k_io_ok && !replacing && u.action == Access::write && !u.in_place &&
      u.truncated) {
    status = io_status(os().sync_file(handle));
  }
  release(u);
  if (replacing) {
    // Otherwise the file keeps its old bytes, whole, and the new file goes.
    if (complete && status == k_io_ok) {
      status = io_status(side.keep());
    } else {
      side.discard();
    }
  } else {
    const OsError closed = os().close_file(handle);
    if (status == k_io_ok) status = io_status(closed);
    if (how == Close::keep && status != k_io_ok && created) {
      // A file this opening made and could not complete goes again, so that
      // no half-written file stands under the name.
      (void)os().remove_file(name);  // Already failing; nothing to add.
    }
  }
  // Only a refusal counts; a file already gone is what was wanted.
  if (how == Close::delete_file && os().remove_file(name) == OsError::access_denied &&
      status == k_io_ok) {
    status = k_io_access_denied;
  }
  // Failures met while the process is already ending on a fatal report add
  // nothing to it.
  if (status != k_io_ok && !fatal_report_under_way()) fatal_io_error(status, "CLOSE", name);
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
