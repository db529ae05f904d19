// Win32 backend of the operating-system seam: errors, the calls on open
// files that need nothing else, and the backend's one instance. Its class is
// declared in os_win32_private.h; the other files: os_win32_files.cpp
// (opens, renames, temporary files), os_win32_identity.cpp (owners, access
// lists, marks, file states), os_win32_locks.cpp (locks and watches),
// os_win32_process.cpp (console, command line, command interpreter,
// workers, exit).
#include "runtime/os_win32_private.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace win32 {

OsError map_error(DWORD code) {
  static constexpr struct {
    DWORD code;
    OsError error;
  } k_errors[] = {
      {ERROR_FILE_NOT_FOUND, OsError::file_not_found},
      {ERROR_PATH_NOT_FOUND, OsError::path_not_found},
      {ERROR_ACCESS_DENIED, OsError::access_denied},
      {ERROR_SHARING_VIOLATION, OsError::access_denied},
      {ERROR_LOCK_VIOLATION, OsError::access_denied},
      {ERROR_PIPE_BUSY, OsError::access_denied},  // A pipe is no file to read or write.
      {ERROR_WRITE_PROTECT, OsError::write_protect},
      {ERROR_DISK_FULL, OsError::disk_full},
      {ERROR_HANDLE_DISK_FULL, OsError::disk_full},
      {ERROR_FILE_EXISTS, OsError::already_exists},
      {ERROR_ALREADY_EXISTS, OsError::already_exists},
      {ERROR_CRC, OsError::io_error},
      {ERROR_SEEK, OsError::io_error},
      {ERROR_SECTOR_NOT_FOUND, OsError::io_error},
      {ERROR_WRITE_FAULT, OsError::io_error},
      {ERROR_READ_FAULT, OsError::io_error},
      {ERROR_GEN_FAILURE, OsError::io_error},
      {ERROR_NOT_READY, OsError::io_error},
  };
  for (const auto& known : k_errors) {
    if (known.code == code) return known.error;
  }
  return OsError::other;
}

OsError last_error() { return map_error(GetLastError()); }

OsError write_all(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, data, transfer_size(size), &written, nullptr)) return last_error();
    // A successful write of nothing would loop for ever; only a full device does it.
    if (written == 0) return OsError::disk_full;
    data += written;
    size -= written;
  }
  return OsError::none;
}

std::string hex(std::uint64_t value) {
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return std::string(digits, end);
}

ReadResult Win32Os::read_file(FileHandle file, char* buffer, std::size_t size) {
  DWORD count = 0;
  if (!ReadFile(to_native(file), buffer, transfer_size(size), &count, nullptr)) {
    return ReadResult{last_error(), 0};
  }
  return ReadResult{OsError::none, count};
}

OsError Win32Os::write_file(FileHandle file, const char* data, std::size_t size) {
  return write_all(to_native(file), data, size);
}

OsError Win32Os::truncate_file(FileHandle file) {
  return SetEndOfFile(to_native(file)) ? OsError::none : last_error();
}

OsError Win32Os::close_file(FileHandle file) {
  // A file of create_beside closed here goes by its mark, like a discarded one.
  (void)forget(to_native(file));
  return CloseHandle(to_native(file)) ? OsError::none : last_error();
}

FileId Win32Os::file_id(FileHandle file) {
  // Kept where there is no identity to be had: one that no real file shares,
  // so that the caller does not take two such files for one.
  FileId id{~std::uint64_t{0}, static_cast<std::uint64_t>(file)};
  (void)file_id_of(to_native(file), id);
  return id;
}

FileState Win32Os::file_state(FileHandle file) { return state_of(to_native(file)); }

OsError Win32Os::set_file_size(FileHandle file, std::uint64_t size) {
  // Set by the handle, not at the file's position, which stays where it
  // is. The system fills what the file gains with zeros.
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(to_native(file), FileEndOfFileInfo, &end, sizeof end)
             ? OsError::none
             : last_error();
}

OsError Win32Os::copy_data(FileHandle from, FileHandle to) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ReadResult read = read_file(from, buffer.data(), buffer.size());
    if (read.error != OsError::none || read.count == 0) return read.error;
    if (const OsError e = write_all(to_native(to), buffer.data(), read.count); e != OsError::none) {
      return e;
    }
  }
}

Win32Os::Beside Win32Os::forget(HANDLE handle) {
  watched_.erase(handle);
  auto found = beside_.extract(handle);
  return found.empty() ? Beside{} : std::move(found.mapped());
}

}  // namespace win32

Os& native_os(int /*argc*/, char** /*argv*/) {
  static win32::Win32Os backend;
  return backend;
}
