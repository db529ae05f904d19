// The only door to the operating system: files, console streams, the command
// line, the command interpreter and process exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// What went wrong, already mapped from errno or GetLastError() by the backend.
enum class OsError {
  none,
  file_not_found,  // ENOENT, ERROR_FILE_NOT_FOUND
  path_not_found,  // ENOTDIR, ERROR_PATH_NOT_FOUND
  access_denied,   // EACCES, EPERM, a read-only file opened for writing, a directory
  write_protect,   // EROFS, ERROR_WRITE_PROTECT
  disk_full,       // ENOSPC, EDQUOT, EFBIG, ERROR_DISK_FULL
  io_error,        // EIO, a device that failed
  already_exists,  // an exclusive create found the name taken
  other,
};

/// A file opened by the backend; k_no_file when none.
using FileHandle = std::int64_t;
inline constexpr FileHandle k_no_file = -1;

enum class Access { read, write };
/// `must_exist` opens an existing file only; `create_if_missing` creates an
/// empty file when the name is free (exclusively: a file that appears in the
/// meantime makes the open fail).
enum class Create { must_exist, create_if_missing };

struct OpenResult {
  OsError error = OsError::other;
  FileHandle handle = k_no_file;
  bool created = false;  // the open made a new, empty file
};

struct ReadResult {
  OsError error = OsError::none;
  std::size_t count = 0;  // 0 with no error: end of file
};

/// Identifies a file on its volume, whatever name reached it.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

/// Everything feedfix asks of the operating system.
struct Os {
  virtual ~Os() = default;

  /// Opens `name` as raw bytes, positioned at its start, contents untouched.
  /// A directory, and for Access::write a file whose permissions grant no
  /// write access to anyone, fail with access_denied.
  virtual OpenResult open_file(const std::string& name, Access access, Create create) = 0;
  /// Reads up to `size` bytes at the current position.
  virtual ReadResult read_file(FileHandle file, char* buffer, std::size_t size) = 0;
  /// Writes all `size` bytes at the current position, or reports why not.
  virtual OsError write_file(FileHandle file, const char* data, std::size_t size) = 0;
  /// Cuts the file at its current position.
  virtual OsError truncate_file(FileHandle file) = 0;
  /// Closes the handle; the handle is gone whatever the result.
  virtual OsError close_file(FileHandle file) = 0;
  /// The identity of an open file; two handles on one file give equal ids.
  virtual FileId file_id(FileHandle file) = 0;
  /// Removes the named file.
  virtual OsError remove_file(const std::string& name) = 0;
  /// Replaces the whole content of `to` (creating it when missing) by that of
  /// `from`. The replacement is all or nothing: on failure `to` keeps its old
  /// bytes. A read-only `to` fails with access_denied.
  virtual OsError copy_replace(const std::string& from, const std::string& to) = 0;
  /// Renames `from` to `to`; fails when `to` exists.
  virtual OsError rename_no_replace(const std::string& from, const std::string& to) = 0;
  /// Creates a new, empty file for writing beside the file `name`, in the
  /// directory that holds it, under a fresh name of the backend's choosing,
  /// which goes to `temp_name`. It is meant to be put in place of `name` by
  /// rename_replace. A directory that takes no new file fails with
  /// access_denied. (POSIX: beside the file a symbolic link leads to.)
  virtual OpenResult create_beside(const std::string& name, std::string& temp_name) = 0;
  /// Puts the closed file `from` in place of `to` in one step: afterwards
  /// `to` names either its old bytes or all of `from`'s, also after a power
  /// loss (`from` reaches the disk before the rename). `to` keeps its
  /// permission bits (POSIX) or its hidden, system and archive marks
  /// (Windows); a POSIX symbolic link stays a link. On success `from` is
  /// gone; on failure both are left as they were.
  virtual OsError rename_replace(const std::string& from, const std::string& to) = 0;

  /// Writes raw bytes to standard output at once (no translation, no buffering).
  virtual OsError write_stdout(const char* data, std::size_t size) = 0;
  /// Writes raw bytes to standard error at once.
  virtual OsError write_stderr(const char* data, std::size_t size) = 0;
  /// Reads one line from standard input without its line end (LF, or CR LF);
  /// false at end of input with nothing read.
  virtual bool read_stdin_line(std::string& line) = 0;
  /// Runs `command` through the command interpreter and waits for it; the
  /// result is ignored.
  virtual void run_command(const std::string& command) = 0;

  /// The process's arguments, the program's name first.
  virtual std::vector<std::string> arguments() = 0;
  /// Ends the process with `status`; the real backends never return.
  virtual void exit_process(int status) = 0;
};

/// The installed backend.
Os& os();
/// Installs `backend` (main() installs the real one, tests a fake).
void set_os(Os* backend);
/// The real backend of this platform. POSIX takes the arguments from argv;
/// Windows reads its own command line and ignores them.
Os& native_os(int argc, char** argv);
