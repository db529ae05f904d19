// Record files: text files of lines connected to unit numbers, read and
// written a record at a time through a large buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Kopf01/sxi/string00.h"
#include "runtime/console.h"
#include "runtime/fields.h"
#include "runtime/io_status.h"
#include "runtime/os.h"

inline constexpr std::int32_t k_settings_unit = 17;
inline constexpr std::int32_t k_plot_unit = 18;
inline constexpr std::int32_t k_temp_unit = 19;

/// How an existing file opened for writing takes its new contents.
enum class NewContents {
  /// Into a new file beside it, which takes its place at close: the file
  /// holds its old bytes or all the new ones, never a part.
  whole,
  /// Cut where it stands at the first write, for the run's own scratch file.
  /// A name that is a link (symbolic, or a file with other names) gets a
  /// file of its own first, so that no other file is ever written through it.
  scratch,
};

/// Opens `unit` on the file `name` (at most 259 characters of it, leading and
/// trailing blanks removed; a blank name is asked for on the console).
/// `status` is "OLD" or "UNKNOWN", `action` "read" or "write" (any case,
/// trailing blanks ignored). A failed open leaves the unit closed.
IoStatus open_unit(std::int32_t unit, std::string_view name, std::string_view status,
                   std::string_view action, NewContents rewrite = NewContents::whole);

/// The state of the file open on `unit` (exists false when it is closed).
FileState unit_file_state(std::int32_t unit);
/// Whether another program holds the file open on `unit` open for writing.
bool unit_written_elsewhere(std::int32_t unit);
/// Watches the unit's file for writes by anyone from now on, for
/// unit_written_elsewhere.
void unit_watch_writes(std::int32_t unit);

/// Reads the next records by "(a80)" without copying them, as many as the
/// unit's buffer holds whole, up to `capacity` (at least 1): `lines[0]` to
/// `lines[count - 1]`, each the line's text before its blank fill (up to its
/// first CR or LF, at most 80 characters). All of them are lossless but the
/// last, for which `last_lossless` tells: a lossy line holds data the 80
/// columns cannot keep (non-blank bytes beyond column 80, or bytes other than
/// CR between its first CR and its LF). A line too long for the buffer is
/// given as lossy as soon as a loss shows, without reading on to its end
/// (which may never come); the next read on the unit skips the rest first.
/// The lines point into the unit and stay valid until the next operation on
/// it. At end of file or on an error `count` is 0.
IoStatus read_text_lines(std::int32_t unit, std::string_view* lines, std::size_t capacity,
                         std::size_t& count, bool& last_lossless);

/// Bytes that a unit's buffer takes in one read from the file.
inline constexpr std::size_t k_record_buffer_size = 64 * 1024;

/// Reads the next record as one "(i10)" field. On an error the unit stays
/// just behind the characters the field took, inside the line.
IoStatus read_integer_record(std::int32_t unit, std::int32_t& value);

/// Writes `text` as one record (CR LF added).
IoStatus write_text_record(std::int32_t unit, std::string_view text);
/// The unread bytes in the buffer of read unit `unit`, for a caller that cuts
/// whole lines itself: empty when the unit is not open for reading or must
/// first skip the rest of a line. Valid until the next operation on the unit.
std::string_view unread_bytes(std::int32_t unit);
/// Counts the first `size` bytes that unread_bytes(unit) gave as read.
void mark_read(std::int32_t unit, std::size_t size);

/// Room in the buffer of write unit `unit` behind the bytes written so far,
/// for a caller that composes whole records (with their CR LF) there itself:
/// [begin, end). Empty (both nullptr) while records must go through
/// write_text_record: before the unit's first record, and after a failure.
/// Valid until the next operation on the unit.
struct WriteRoom {
  char* begin = nullptr;
  char* end = nullptr;
};
WriteRoom write_room(std::int32_t unit);
/// Counts the first `size` bytes of write_room(unit) as written. `size` must
/// leave the buffer short of full: a full buffer goes to the file only
/// through write_text_record, as it always has.
void mark_written(std::int32_t unit, std::size_t size);

/// Writes `value` right-justified in 10 columns as one record.
IoStatus write_integer_record(std::int32_t unit, std::int32_t value);
/// Writes a literal record; a failure ends the process with the fatal report.
void write_literal_record(std::int32_t unit, std::string_view literal);

/// Hands the buffered output of `unit` to the file now, so that a failing
/// write is seen by the caller rather than at close.
IoStatus flush_unit(std::int32_t unit);

/// From now on a worker thread reads the plain file of read unit `unit`
/// ahead of its records (where it takes more than two buffers), or writes
/// the buffers of write unit `unit` behind them, where the system gives a
/// thread; whether one does. Every call on the file is the one the unit
/// would make itself; a write's failure shows at a later record, at
/// settle_unit, flush_unit or the close, as if it were that write's own.
bool work_beside(std::int32_t unit);
/// Waits until every buffer that write unit `unit` has handed to its worker
/// is written, and prints what console_after_writes holds for them: the
/// first failure among them, or that of an earlier write (nothing held is
/// printed then). A caller about to print or ask what depends on the records
/// before settles first, so that nothing shows that the writes one after the
/// other would not have let show.
IoStatus settle_unit(std::int32_t unit);
/// Prints `record` as console_record does once every buffer that write unit
/// `unit` has handed to its worker so far is written: at once where that is
/// so already (or the unit has no worker, or is not open), else at the
/// unit's next hand-over, settle or close, and never where one of those
/// writes fails. The order of the records stays.
void console_after_writes(std::int32_t unit, std::string_view record, LineEnd end);

enum class Close { keep, delete_file };
/// Closes `unit`: keep writes the buffered bytes, delete_file drops them and
/// removes the file. A failure ends the process with the fatal report.
/// An existing file that was written takes its new contents in one step here
/// and keeps its old bytes whole when anything failed; a file the open
/// created is removed when its keep close fails.
void close_unit(std::int32_t unit, Close how = Close::keep);

/// Closes every open unit as Close::keep (process end).
void close_all_units();

/// The file name `unit` was opened on, after trimming or as typed at the
/// prompt; empty when the unit is closed.
std::string unit_file_name(std::int32_t unit);
