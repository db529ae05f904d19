// Writing record files: records gathered in a unit's buffer and written
// all or nothing, the console records that wait for the writes before them,
// and closing a unit.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <utility>

#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/io_status.h"
#include "runtime/os.h"
#include "runtime/record_file_private.h"

using namespace record_units;

namespace {

// New contents of an existing file are all or nothing: after a write that
// lost records, no later record may make them look complete.
IoStatus note_write(Unit& u, IoStatus status) {
  if (status != k_io_ok && !u.created) u.write_error = status;
  return status;
}

// Waits for the writes handed to the unit's worker, which prints the
// console records held for them. A failed one is met as at a hand-over (see
// flush_buffer) and noted as the unit's own.
IoStatus settle(Unit& u) {
  if (u.behind == nullptr) return k_io_ok;
  const OsError e = u.behind->settle();
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
    e = u.behind->hand_over(u.handle, u.buffer, u.end);
    if (e != OsError::none) return settle(u);
  } else {
    e = os().write_file(u.handle, u.buffer.get(), u.end);
  }
  u.end = 0;
  return io_status(e);
}

// The first write into an existing file starts its new contents, so that it
// holds only the records written from then on; a file only opened and closed
// keeps its old bytes. The new contents go into a new file beside it, which
// takes its place in one step at close: until then, and when the run fails on
// the way, the file keeps all of its old bytes. Only where the directory
// takes no new file are the old bytes cut where they stand.
IoStatus start_new_contents(Unit& u) {
  RouteFacts facts;
  facts.target = os().file_state(u.handle);
  for (;;) {
    switch (u.in_place ? Route::in_place : choose_route(facts)) {
      case Route::in_place:
        if (const OsError e = os().truncate_file(u.handle); e != OsError::none) return io_status(e);
        u.truncated = true;
        return k_io_ok;
      case Route::rename:
      case Route::beside: {
        OsError e = OsError::none;
        NewFile side = NewFile::beside(u.name, e);
        if (e == OsError::access_denied) {
          facts.new_file_refused = true;
          break;
        }
        if (e != OsError::none) return io_status(e);
        (void)os().close_file(u.handle);  // Never written; closing it loses nothing.
        u.handle = side.handle();
        u.side = std::move(side);
        u.truncated = true;
        return k_io_ok;
      }
      case Route::refused:
        return k_io_access_denied;
    }
  }
}

// Appends the record's bytes and its CR LF. A record that leaves room in the
// buffer goes in with one copy; the buffer is handed over at the same bytes
// either way.
IoStatus append_record(Unit& u, std::string_view record) {
  if (record.size() + 2 < k_buffer_size - u.end) {
    char* out = u.buffer.get() + u.end;
    if (!record.empty()) std::memcpy(out, record.data(), record.size());
    out[record.size()] = '\r';
    out[record.size() + 1] = '\n';
    u.end += record.size() + 2;
    return k_io_ok;
  }
  for (std::string_view part : {record, std::string_view("\r\n")}) {
    while (!part.empty()) {
      const std::size_t n = std::min(part.size(), k_buffer_size - u.end);
      std::memcpy(u.buffer.get() + u.end, part.data(), n);
      u.end += n;
      part.remove_prefix(n);
      if (u.end == k_buffer_size) {
        if (const IoStatus s = flush_buffer(u); s != k_io_ok) return s;
      }
    }
  }
  return k_io_ok;
}

}  // namespace

IoStatus write_text_record(std::int32_t unit, std::string_view text) {
  Unit* u = find_unit(unit, Access::write);
  if (u == nullptr) return k_io_not_open;
  if (u->write_error != k_io_ok) return u->write_error;
  IoStatus status = u->truncated ? k_io_ok : start_new_contents(*u);
  if (status == k_io_ok) status = append_record(*u, text);
  return note_write(*u, status);
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
  return write_text_record(unit, std::string_view(field, k_integer_width));
}

void write_literal_record(std::int32_t unit, std::string_view literal) {
  const IoStatus s = write_text_record(unit, literal);
  if (s != k_io_ok) fatal_io_error(s, "WRITE", unit_file_name(unit));
}

IoStatus flush_unit(std::int32_t unit) {
  Unit* u = find_unit(unit);
  if (u != nullptr && u->action == Access::write && u->write_error == k_io_ok) {
    if (const IoStatus s = note_write(*u, flush_buffer(*u)); s != k_io_ok) return s;
  }
  return settle_unit(unit);
}

IoStatus settle_unit(std::int32_t unit) {
  Unit* u = find_unit(unit);
  if (u == nullptr) return k_io_not_open;
  if (u->write_error != k_io_ok) return u->write_error;
  return settle(*u);
}

void console_after_writes(std::int32_t unit, std::string_view record, LineEnd end) {
  Unit* u = find_unit(unit, Access::write);
  if (u != nullptr && u->behind != nullptr) {
    u->behind->print_after_writes(record, end);
  } else {
    console_record(record, end);
  }
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
  const bool replacing = u.side.open();
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
  // A file written where it stands (one whose place no new file can take)
  // reaches the disk at its close, before the caller goes on to anything
  // that counts on it. A scratch file is made durable by whoever uses it.
  if (complete && status == k_io_ok && !replacing && u.action == Access::write && !u.in_place &&
      u.truncated) {
    status = io_status(os().sync_file(u.handle));
  }
  // The unit is free before its file is dealt with, so that a fatal report
  // from here on finds nothing to close again; its worker stops first.
  Unit closed = std::exchange(u, Unit{});
  closed.ahead.reset();
  closed.behind.reset();
  if (replacing) {
    // Otherwise the file keeps its old bytes, whole, and the new file goes.
    if (complete && status == k_io_ok) {
      // A file made for the unit takes a name that is still free.
      const FileState none;
      status = io_status(closed.side.keep(closed.created ? &none : nullptr));
    } else {
      closed.side.discard();
    }
  } else {
    const OsError e = os().close_file(closed.handle);
    if (status == k_io_ok) status = io_status(e);
    if (how == Close::keep && status != k_io_ok && closed.created) {
      // A file this opening made and could not complete goes again, so that
      // no half-written file stands under the name.
      (void)os().remove_file(closed.name);  // Already failing; nothing to add.
    }
  }
  // Only a refusal counts; a file already gone is what was wanted.
  if (how == Close::delete_file && !closed.name_not_ours &&
      os().remove_file(closed.name) == OsError::access_denied && status == k_io_ok) {
    status = k_io_access_denied;
  }
  // Failures met while the process is already ending on a fatal report add
  // nothing to it.
  if (status != k_io_ok && !fatal_report_under_way()) fatal_io_error(status, "CLOSE", closed.name);
}
