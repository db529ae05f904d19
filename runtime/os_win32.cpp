// Win32 backend of the operating-system seam: errors, the calls on open
// files that need nothing else, and the backend's one instance. Its class is
// declared in os_win32_private.h; the other files: os_win32_files.cpp
// (opens, renames, temporary files), os_win32_identity.cpp (owners, access
// lists, marks, file states), os_win32_locks.cpp (locks and watches),
// os_win32_process.cpp (console, command line, command interpreter,
// workers, exit).
#include "runtime/os_win32_private.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

namespace win32 {

namespace {

OsError copy_bytes(HANDLE from, HANDLE to) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD count = 0;
    if (!ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr)) {
      return last_error();
    }
    if (count == 0) return OsError::none;
    if (const OsError e = write_all(to, buffer.data(), count); e != OsError::none) return e;
  }
}

}  // namespace

OsError map_error(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return OsError::file_not_found;
    case ERROR_PATH_NOT_FOUND:
      return OsError::path_not_found;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_PIPE_BUSY:  // A pipe is no file to read or write.
      return OsError::access_denied;
    case ERROR_WRITE_PROTECT:
      return OsError::write_protect;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return OsError::disk_full;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return OsError::already_exists;
    case ERROR_CRC:
    case ERROR_SEEK:
    case ERROR_SECTOR_NOT_FOUND:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
      return OsError::io_error;
    default:
      return OsError::other;
  }
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
  ReadResult result;
  DWORD count = 0;
  if (!ReadFile(to_native(file), buffer, transfer_size(size), &count, nullptr)) {
    result.error = last_error();
    return result;
  }
  result.count = count;
  return result;
}

OsError Win32Os::write_file(FileHandle file, const char* data, std::size_t size) {
  return write_all(to_native(file), data, size);
}

OsError Win32Os::truncate_file(FileHandle file) {
  return SetEndOfFile(to_native(file)) ? OsError::none : last_error();
}

OsError Win32Os::close_file(FileHandle file) {
  // A file of create_beside closed here goes by its mark, like a discarded one.
  (void)forget_mark(to_native(file));
  beside_.erase(to_native(file));
  watched_.erase(to_native(file));
  return CloseHandle(to_native(file)) ? OsError::none : last_error();
}

FileId Win32Os::file_id(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(to_native(file), &info)) {
    // No identity to be had: one that no real file shares, so that the
    // caller does not take two such files for one.
    return FileId{~std::uint64_t{0}, static_cast<std::uint64_t>(file)};
  }
  return FileId{info.dwVolumeSerialNumber,
                (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

FileState Win32Os::file_state(FileHandle file) { return state_of(to_native(file)); }

OsError Win32Os::set_file_size(FileHandle file, std::uint64_t size) {
  const HANDLE handle = to_native(file);
  const LARGE_INTEGER here{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(handle, here, &position, FILE_CURRENT)) return last_error();
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  // The system fills what the file gains with zeros.
  OsError e = SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle)
                  ? OsError::none
                  : last_error();
  if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && e == OsError::none) {
    e = last_error();
  }
  return e;
}

OsError Win32Os::copy_data(FileHandle from, FileHandle to) {
  return copy_bytes(to_native(from), to_native(to));
}

// Takes `handle` off the list of files marked for deletion; whether it was on it.
bool Win32Os::forget_mark(HANDLE handle) {
  const auto found = std::find(marked_.begin(), marked_.end(), handle);
  if (found == marked_.end()) return false;
  marked_.erase(found);
  return true;
}

}  // namespace win32

Os& native_os(int /*argc*/, char** /*argv*/) {
  static win32::Win32Os backend;
  return backend;
}
