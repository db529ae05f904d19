// Win32 backend of the operating-system seam: ANSI file calls, the standard
// handles, the command interpreter and the process's own command line.
#include "runtime/os.h"

#include <windows.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/arguments.h"

namespace {

OsError map_error(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return OsError::file_not_found;
    case ERROR_PATH_NOT_FOUND:
      return OsError::path_not_found;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
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

HANDLE to_native(FileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}

FileHandle from_native(HANDLE handle) {
  return static_cast<FileHandle>(reinterpret_cast<std::intptr_t>(handle));
}

// One ReadFile or WriteFile moves at most this many bytes; DWORD counts.
constexpr std::size_t k_max_transfer = 1u << 30;

DWORD transfer_size(std::size_t size) {
  return static_cast<DWORD>(size < k_max_transfer ? size : k_max_transfer);
}

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

OsError write_std(DWORD which, const char* data, std::size_t size) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return OsError::other;
  return write_all(handle, data, size);
}

// Everything up to and including the last separator of `path`: the directory
// a new file beside it goes into.
std::string directory_part(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string hex(unsigned long value) {
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return std::string(digits, end);
}

// Other programs may read, write and even delete a file while it is open.
constexpr DWORD k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Creates a new, empty file for writing under a fresh name in the directory
// of `target`; the name goes to `temp`.
HANDLE create_file_beside(const std::string& target, std::string& temp) {
  static unsigned serial = 0;
  const std::string directory = directory_part(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = directory + "~ffx" + hex(GetCurrentProcessId()) + "-" + hex(serial++) + ".tmp";
    const HANDLE handle = CreateFileA(temp.c_str(), GENERIC_WRITE, k_share_all, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

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

// A rename would replace a read-only file, which a copy would not; both are
// refused alike.
bool refuses_replacement(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0;
}

// The marks a replaced file keeps.
constexpr DWORD k_kept_attributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Puts the closed file `from` in place of `to` in one rename, after its bytes
// have reached the disk. On failure both files are as they were.
OsError replace_by_rename(const std::string& from, const std::string& to) {
  const DWORD target_attributes = GetFileAttributesA(to.c_str());
  if (refuses_replacement(target_attributes)) return OsError::access_denied;
  const HANDLE handle = CreateFileA(from.c_str(), GENERIC_WRITE, k_share_all, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  OsError result = FlushFileBuffers(handle) ? OsError::none : last_error();
  if (!CloseHandle(handle) && result == OsError::none) result = last_error();
  if (result != OsError::none) return result;

  const DWORD from_attributes = GetFileAttributesA(from.c_str());
  const bool keep_marks = target_attributes != INVALID_FILE_ATTRIBUTES &&
                          from_attributes != INVALID_FILE_ATTRIBUTES &&
                          (target_attributes & k_kept_attributes) != 0;
  // The marks are cosmetic: a failure to set or restore them changes no byte.
  if (keep_marks) {
    (void)SetFileAttributesA(from.c_str(),
                             from_attributes | (target_attributes & k_kept_attributes));
  }
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return OsError::none;
  }
  result = last_error();
  if (keep_marks) (void)SetFileAttributesA(from.c_str(), from_attributes);
  return result;
}

// The command interpreter started when COMSPEC is missing or cannot be started.
const char* fallback_interpreter() {
  // The high bit of GetVersion is set on the Windows systems outside the NT
  // family. The call is marked deprecated, yet it is the one that tells them apart.
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
  return (GetVersion() & 0x80000000u) == 0 ? "cmd.exe" : "command.com";
}

// Starts `program` with "/c" and `command` and waits for it; false when it
// could not be started, with the reason in GetLastError.
bool run_interpreter(const std::string& program, const std::string& command) {
  std::string line = "\"" + program + "\" /c " + command;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  // The command shares the tool's console streams, redirected or not.
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, /*inherit=*/TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  (void)WaitForSingleObject(process.hProcess, INFINITE);  // The command's result is not used.
  (void)CloseHandle(process.hThread);
  (void)CloseHandle(process.hProcess);
  return true;
}

std::string environment_variable(const char* name) {
  std::string value(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) return value.substr(0, length);  // 0: not set
    value.resize(length);  // Too small: `length` counts the NUL it needs.
  }
}

std::string search_path(const char* file) {
  char found[MAX_PATH];
  const DWORD length = SearchPathA(nullptr, file, nullptr, MAX_PATH, found, nullptr);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(found, length);
}

// The lead bytes of the ANSI code page, when it is a double-byte one.
bool lead_bytes(std::array<bool, 256>& table) {
  CPINFO info{};
  if (!GetCPInfo(GetACP(), &info) || info.MaxCharSize <= 1) return false;
  table.fill(false);
  for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
    for (unsigned byte = info.LeadByte[i]; byte <= info.LeadByte[i + 1]; ++byte) {
      table[byte] = true;
    }
  }
  return true;
}

std::string module_path() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return path.substr(0, length);
    if (path.size() >= 32768) return path;
    path.resize(path.size() * 2);
  }
}

struct Win32Os final : Os {
  OpenResult open_file(const std::string& name, Access access, Create create) override {
    OpenResult result;
    // A directory, and for writing a read-only file, are refused before any
    // open, so that the answer is access_denied whatever CreateFileA would
    // make of them on the system at hand.
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (read_only && access == Access::write)) {
        result.error = OsError::access_denied;
        return result;
      }
    }
    const DWORD desired = access == Access::read ? GENERIC_READ : GENERIC_WRITE;
    HANDLE handle = CreateFileA(name.c_str(), desired, k_share_all, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && create == Create::create_if_missing &&
        GetLastError() == ERROR_FILE_NOT_FOUND) {
      // CREATE_NEW, not OPEN_ALWAYS: a file that appears in between is not ours to take.
      handle = CreateFileA(name.c_str(), desired, k_share_all, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
      result.created = handle != INVALID_HANDLE_VALUE;
    }
    if (handle == INVALID_HANDLE_VALUE) {
      result.error = last_error();
      return result;
    }
    result.error = OsError::none;
    result.handle = from_native(handle);
    return result;
  }

  ReadResult read_file(FileHandle file, char* buffer, std::size_t size) override {
    ReadResult result;
    DWORD count = 0;
    if (!ReadFile(to_native(file), buffer, transfer_size(size), &count, nullptr)) {
      result.error = last_error();
      return result;
    }
    result.count = count;
    return result;
  }

  OsError write_file(FileHandle file, const char* data, std::size_t size) override {
    return write_all(to_native(file), data, size);
  }

  OsError truncate_file(FileHandle file) override {
    return SetEndOfFile(to_native(file)) ? OsError::none : last_error();
  }

  OsError close_file(FileHandle file) override {
    return CloseHandle(to_native(file)) ? OsError::none : last_error();
  }

  FileId file_id(FileHandle file) override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(to_native(file), &info)) {
      // No identity to be had: one that no real file shares, so that the
      // caller does not take two such files for one.
      return FileId{~std::uint64_t{0}, static_cast<std::uint64_t>(file)};
    }
    return FileId{info.dwVolumeSerialNumber,
                  (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  }

  OsError remove_file(const std::string& name) override {
    return DeleteFileA(name.c_str()) ? OsError::none : last_error();
  }

  OsError copy_replace(const std::string& from, const std::string& to) override {
    const HANDLE source = CreateFileA(from.c_str(), GENERIC_READ, k_share_all, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE) return last_error();
    if (refuses_replacement(GetFileAttributesA(to.c_str()))) {
      (void)CloseHandle(source);
      return OsError::access_denied;
    }
    // The new content goes into a fresh file beside the target and replaces
    // it in one rename, so the target never holds half a copy.
    std::string temp;
    const HANDLE temp_handle = create_file_beside(to, temp);
    if (temp_handle == INVALID_HANDLE_VALUE) {
      (void)CloseHandle(source);
      // No new file can be made there: copy in place, as well as the system does it.
      return CopyFileA(from.c_str(), to.c_str(), /*bFailIfExists=*/FALSE) ? OsError::none
                                                                          : last_error();
    }
    OsError result = copy_bytes(source, temp_handle);
    (void)CloseHandle(source);  // Read only; nothing to lose.
    if (!CloseHandle(temp_handle) && result == OsError::none) result = last_error();
    if (result == OsError::none) result = replace_by_rename(temp, to);
    // Removing the temp is best effort; the target is intact either way.
    if (result != OsError::none) (void)DeleteFileA(temp.c_str());
    return result;
  }

  OpenResult create_beside(const std::string& name, std::string& temp_name) override {
    OpenResult result;
    const HANDLE handle = create_file_beside(name, temp_name);
    if (handle == INVALID_HANDLE_VALUE) {
      result.error = last_error();
      return result;
    }
    result.error = OsError::none;
    result.handle = from_native(handle);
    result.created = true;
    return result;
  }

  OsError rename_replace(const std::string& from, const std::string& to) override {
    return replace_by_rename(from, to);
  }

  OsError rename_no_replace(const std::string& from, const std::string& to) override {
    return MoveFileA(from.c_str(), to.c_str()) ? OsError::none : last_error();
  }

  OsError write_stdout(const char* data, std::size_t size) override {
    return write_std(STD_OUTPUT_HANDLE, data, size);
  }

  OsError write_stderr(const char* data, std::size_t size) override {
    return write_std(STD_ERROR_HANDLE, data, size);
  }

  bool read_stdin_line(std::string& line) override {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
    // One byte at a time: what follows the line stays in the stream for a
    // command run at the pause and for the next answer.
    std::string read;
    bool any = false;
    for (;;) {
      char byte = 0;
      DWORD count = 0;
      if (!ReadFile(input, &byte, 1, &count, nullptr) || count == 0) break;
      any = true;
      if (byte == '\n') break;
      read.push_back(byte);
    }
    if (!any) return false;
    if (!read.empty() && read.back() == '\r') read.pop_back();
    line = read;
    return true;
  }

  void run_command(const std::string& command) override {
    const std::string comspec = environment_variable("COMSPEC");
    if (!comspec.empty()) {
      if (run_interpreter(comspec, command)) return;
      const DWORD code = GetLastError();
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND &&
          code != ERROR_ACCESS_DENIED) {
        return;
      }
    }
    const std::string fallback = search_path(fallback_interpreter());
    if (!fallback.empty()) (void)run_interpreter(fallback, command);  // Nothing else to try.
  }

  std::vector<std::string> arguments() override {
    std::string line;
    if (const char* command_line = GetCommandLineA(); command_line != nullptr) line = command_line;
    // Without a command line the program's path stands in for it. It is quoted
    // so that a blank in a directory name does not make up an argument.
    if (line.empty()) {
      line.assign(1, '"').append(module_path()).push_back('"');
    }
    std::array<bool, 256> table{};
    return split_command_line(line, lead_bytes(table) ? table.data() : nullptr);
  }

  void exit_process(int status) override { ExitProcess(static_cast<UINT>(status)); }
};

}  // namespace

Os& native_os(int /*argc*/, char** /*argv*/) {
  static Win32Os backend;
  return backend;
}
