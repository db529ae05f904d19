// What the files of the Win32 backend share: the backend's class, error
// mapping, handles, owners and file states. Private to runtime/os_win32*.cpp.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/os.h"
#include "runtime/trust_rules.h"

namespace win32 {

// --- os_win32.cpp

OsError map_error(DWORD code);
OsError last_error();
OsError write_all(HANDLE handle, const char* data, std::size_t size);
std::string hex(std::uint64_t value);

inline HANDLE to_native(FileHandle file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}

inline FileHandle from_native(HANDLE handle) {
  return static_cast<FileHandle>(reinterpret_cast<std::intptr_t>(handle));
}

// One ReadFile or WriteFile moves at most this many bytes; DWORD counts.
constexpr std::size_t k_max_transfer = 1u << 30;

inline DWORD transfer_size(std::size_t size) {
  return static_cast<DWORD>(size < k_max_transfer ? size : k_max_transfer);
}

// Other programs may read, write and even delete a file while it is open.
constexpr DWORD k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the existing file `name` with `access`, sharing it all.
inline HANDLE open_existing(const std::string& name, DWORD access, DWORD flags) {
  return CreateFileA(name.c_str(), access, k_share_all, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Closes a handle of the process's own when its holder goes. Only for
// handles whose close loses nothing: ones opened to ask, or whose writes are
// done and accounted for.
struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) (void)CloseHandle(handle);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Whether the holder holds a handle: CreateFileA and ReOpenFile give
// INVALID_HANDLE_VALUE for none, OpenProcess null.
inline bool valid(const Handle& handle) {
  return handle != nullptr && handle.get() != INVALID_HANDLE_VALUE;
}

// Two halves as one number: a size, a file index, or a FILETIME, whose
// 100-nanosecond steps since 1601 are the unit of FileState's times and of
// the system's clock.
inline std::uint64_t join(DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; }

// The identity on its volume of the file that `info` tells of.
inline FileId id_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return FileId{info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow)};
}

// The text of a call that fills a buffer of the size given and returns the
// length filled or, where the buffer is too small, the size it needs (with
// its NUL); empty where it returns 0.
template <typename Char, typename Fill>
std::basic_string<Char> filled(Fill fill) {
  std::basic_string<Char> text(MAX_PATH, Char{});
  for (;;) {
    const DWORD length = fill(text.data(), static_cast<DWORD>(text.size()));
    if (length < text.size()) return text.substr(0, length);
    text.resize(length);
  }
}

// --- os_win32_files.cpp

// The identity of an open file on its volume; false where it has none.
bool file_id_of(HANDLE handle, FileId& id);

// --- os_win32_identity.cpp

enum class Owner {
  me,     // the running user (or the default owner of its new files)
  other,  // anyone else, or an owner that could not be read
  none,   // the volume keeps no owners (FAT): nobody can be told apart
};

// The owner of the open file, which must have been opened with READ_CONTROL
// (GENERIC_READ and GENERIC_WRITE include it).
Owner owner_of(HANDLE handle);
// For a file made for one of the run's own names: a DACL that lets the
// running user alone at it, not one inherited from a directory that others
// share. Null where it cannot be made; the file then gets the inherited one.
SECURITY_ATTRIBUTES* private_security();
// Opens `name` only to ask about it: attributes and, where allowed, owner.
HANDLE open_to_ask(const std::string& name, DWORD flags);
// What the open file shows of itself.
FileState state_of(HANDLE handle);
// The state of what `name` leads to (`flags` 0) or of the name itself
// (FILE_FLAG_OPEN_REPARSE_POINT); exists false when there is none.
FileState state_of_name(const std::string& name, DWORD flags);

// Frees what a security call handed out, when it goes.
struct LocalFreer {
  void operator()(void* memory) const { (void)LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

// What a new file is given of the file whose place it takes: its hidden,
// system and archive marks and its DACL.
struct SavedIdentity {
  // Reads the marks and the DACL of the file `target` leads to.
  // access_denied where the DACL cannot be read; a volume that keeps no
  // access lists has none to give.
  OsError read(const std::string& target);

  // Gives the DACL read to the open file, whose handle holds WRITE_DAC. A
  // null one (everyone may do anything) is given as it is. The owner is not
  // given: that needs a privilege, and whether the owners match is asked
  // before a file is replaced at all (FileState::identity_givable).
  bool give(HANDLE handle) const;

  // Gives the DACL to the file under `name` where that is still the file
  // `id`. Best effort: it comes after the rename, which cannot be undone; a
  // file that does not take it keeps the DACL it was made with.
  void give_to_name(const std::string& name, const FileId& id) const;

  DWORD attributes = 0;
  LocalMemory descriptor;  // null where no DACL was read
  PACL dacl = nullptr;     // inside descriptor; null: everyone may do anything
  bool protected_dacl = false;
};

// --- os_win32_locks.cpp

// A named mutex, and whether this run holds it now.
struct MutexLock {
  HANDLE mutex = nullptr;
  bool held = false;
};

// --- the backend; its calls are defined in the file of their concern.

struct Win32Os final : Os {
  // os_win32.cpp
  ReadResult read_file(FileHandle file, char* buffer, std::size_t size) override;
  OsError write_file(FileHandle file, const char* data, std::size_t size) override;
  OsError truncate_file(FileHandle file) override;
  OsError close_file(FileHandle file) override;
  FileId file_id(FileHandle file) override;
  FileState file_state(FileHandle file) override;
  OsError set_file_size(FileHandle file, std::uint64_t size) override;
  OsError copy_data(FileHandle from, FileHandle to) override;

  // os_win32_files.cpp
  OpenResult open_file(const std::string& name, Access access, Create create) override;
  OsError sync_file(FileHandle file) override;
  OsError remove_file(const std::string& name) override;
  OsError resolve_name(const std::string& name, std::string& target) override;
  OpenResult create_beside(const std::string& target, bool own, std::string& temp_name) override;
  OsError keep_beside(FileHandle file, const std::string& temp_name,
                      const std::string& target) override;
  void discard_beside(FileHandle file, const std::string& temp_name) override;
  void remove_stale_files(const std::string& name, bool (*removable)(const FileState&)) override;
  OsError rename_no_replace(const std::string& from, const std::string& to) override;
  OsError replace_name(const std::string& from, const std::string& to) override;

  // os_win32_identity.cpp
  FileState path_state(const std::string& name) override;
  FileState name_state(const std::string& name) override;
  OsError adopt_identity(FileHandle file, const std::string& of) override;

  // os_win32_locks.cpp
  void watch_writes(FileHandle file) override;
  Writers writers(FileHandle file) override;
  OsError make_private(FileHandle) override { return OsError::none; }
  void wait_quiet(FileHandle file, int ms) override;
  OsError lock_current_directory(int wait_ms, LockHolder& holder) override;
  void unlock_current_directory() override;
  OsError lock_file(const std::string& name, int wait_ms, FileId& locked,
                    LockHolder& holder) override;

  // os_win32_process.cpp
  OsError write_stdout(const char* data, std::size_t size) override;
  OsError write_stderr(const char* data, std::size_t size) override;
  bool read_stdin_line(std::string& line) override;
  bool stdin_is_terminal() override;
  void run_command(const std::string& command) override;
  std::vector<std::string> arguments() override;
  std::unique_ptr<Worker> start_worker(WorkFunction work, void* context) override;
  void exit_process(int status) override;

 private:
  // A file of create_beside, until kept or discarded: whether it is for one
  // of the run's own names, whether it carries the deletion mark, and what
  // adopt_identity keeps to give it after the rename (null until it is called).
  struct Beside {
    bool own = false;
    bool marked = false;
    std::unique_ptr<SavedIdentity> identity;
  };
  // Forgets what is kept of the open file for its close: its watch and, for
  // a file of create_beside, what is returned (os_win32.cpp).
  Beside forget(HANDLE handle);

  std::map<HANDLE, Beside> beside_;
  // The same for the one other file last given an identity, to be renamed
  // by replace_name: its identity on its volume, and what it is to be given.
  FileId moved_id_;
  std::unique_ptr<SavedIdentity> moved_identity_;
  // The state of files given to watch_writes when it was called.
  std::map<HANDLE, FileState> watched_;
  MutexLock directory_lock_;  // of the current directory
  MutexLock file_lock_;       // of the file of lock_file
  FileId file_lock_id_;       // that file's identity
};

}  // namespace win32
