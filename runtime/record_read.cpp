// Reading record files: whole lines out of a unit's buffer, refilled from
// the file or from the worker that reads ahead.
#include <algorithm>
#include <cassert>
#include <cstring>

#include "Kopf01/sxi/byte_scan.h"
#include "runtime/fields.h"
#include "runtime/io_status.h"
#include "runtime/os.h"
#include "runtime/record_file_private.h"

using namespace record_units;

namespace {

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

// Skips what is left of a line that a text read gave up early, then refills
// (refill keeps the unread bytes) until `enough` says the unread bytes decide
// the field, or the file ends, which ends the line as well. The end only
// where no byte is left.
template <class Enough>
IoStatus gather(Unit& u, Enough enough) {
  if (u.rest_of_line_pending) {
    TailCheck tail;
    if (const IoStatus s = skip_record(u, tail); s != k_io_ok) return s;
    u.rest_of_line_pending = false;
  }
  while (!enough(u.buffer.get() + u.pos, u.end - u.pos)) {
    const IoStatus s = refill(u);
    if (s == k_io_end) return u.pos == u.end ? k_io_end : k_io_ok;
    if (s != k_io_ok) return s;
  }
  return k_io_ok;
}

// The bytes of a field at most `width` wide at the unit's position: up to
// the line's first CR or LF.
std::size_t field_length(const Unit& u, std::size_t width) {
  return byte_scan::find_cr_or_lf(u.buffer.get() + u.pos, std::min(u.end - u.pos, width));
}

// Reads a line that read_text_lines could not take at once: one with a CR or
// LF out of the usual place, longer than 80 columns, or not whole in the
// buffer. Kept out of line, so that the usual line costs no more than its
// own few steps.
[[gnu::noinline]] IoStatus read_line_the_long_way(Unit& u, std::string_view& data, bool& lossless) {
  // A whole line, or more than 80 bytes without an LF, decide the field; the
  // rest of the line may be longer than the buffer. The field is kept aside,
  // as the bytes behind it that decide whether the line loses any may move
  // the buffer.
  const IoStatus gathered = gather(u, [](const char* p, std::size_t n) {
    return n > k_text_width || std::memchr(p, '\n', n) != nullptr;
  });
  if (gathered != k_io_ok) return gathered;
  const std::size_t taken = field_length(u, k_text_width);
  std::memcpy(u.long_field.data(), u.buffer.get() + u.pos, taken);
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
      // The LF is the stop itself, or the byte behind a CR.
      const std::size_t lf = stop + (p[stop] == '\r' ? 1 : 0);
      if (p[lf] != '\n') break;
      lines[count++] = std::string_view(p, stop);
      p += lf + 1;
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
  // The field whole in the buffer, so that an error can leave the unit just
  // behind what the field took.
  const IoStatus gathered = gather(u, [](const char* p, std::size_t n) {
    return n >= k_integer_width || byte_scan::find_cr_or_lf(p, n) < n;
  });
  if (gathered != k_io_ok) return gathered;
  const std::size_t length = field_length(u, k_integer_width);
  const FieldScan scan = scan_i10(std::string_view(u.buffer.get() + u.pos, length), value);
  u.pos += std::min(scan.taken, length);
  if (scan.status != k_io_ok) return scan.status;
  TailCheck tail;
  return skip_record(u, tail);
}
