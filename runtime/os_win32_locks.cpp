// Win32 backend: the locks that let runs take turns, on the current
// directory and on a plot file, and the watch for writes by others.
#include "runtime/os_win32_private.h"

#include <cstdint>
#include <string>

namespace win32 {

namespace {

// Waits up to `wait_ms` (negative: for ever) for the mutex, and holds it
// from then on: busy when the time ran out.
OsError wait_for(HANDLE mutex, int wait_ms) {
  const DWORD waited =
      WaitForSingleObject(mutex, wait_ms < 0 ? INFINITE : static_cast<DWORD>(wait_ms));
  // WAIT_ABANDONED: the run that held it ended without letting go (it was
  // killed); the mutex is this run's all the same.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return OsError::none;
  if (waited == WAIT_TIMEOUT) return OsError::busy;
  const OsError e = waited == WAIT_FAILED ? last_error() : OsError::other;
  return e == OsError::none ? OsError::other : e;
}

// 64-bit FNV-1a over the UTF-16 units of `text`.
std::uint64_t fnv1a(const std::wstring& text) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const wchar_t unit : text) {
    for (int shift = 0; shift < 16; shift += 8) {
      hash ^= (static_cast<std::uint64_t>(unit) >> shift) & 0xffu;
      hash *= 0x100000001b3u;
    }
  }
  return hash;
}

// What tells the current directory from any other, for the name of its lock.
// Its identity on its volume serves whatever name or drive letter reached it
// (short names, letters of subst, case); where the file system gives no
// identity, its full path, upper-cased as the file system compares names.
bool current_directory_key(std::string& key) {
  const HANDLE directory =
      CreateFileA(".", FILE_READ_ATTRIBUTES, k_share_all, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(directory, &info) != 0 &&
                       (info.nFileIndexHigh != 0 || info.nFileIndexLow != 0);
    (void)CloseHandle(directory);  // Only asked; nothing to lose.
    if (known) {
      key = hex(info.dwVolumeSerialNumber) + "-" + hex(info.nFileIndexHigh) + "-" +
            hex(info.nFileIndexLow);
      return true;
    }
  }
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(L".", static_cast<DWORD>(path.size()), path.data(), nullptr);
    if (length == 0) return false;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(length);  // Too small: `length` counts the NUL it needs.
  }
  if (std::wstring long_path(32768, L'\0');
      GetLongPathNameW(path.c_str(), long_path.data(), static_cast<DWORD>(long_path.size())) >
          0) {
    path = long_path.c_str();
  }
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  if (path.empty()) return false;
  std::wstring upper(path.size(), L'\0');
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.data(), static_cast<int>(path.size()),
                   upper.data(), static_cast<int>(upper.size())) == 0) {
    return false;
  }
  const std::uint64_t hash = fnv1a(upper);
  key = hex(hash >> 32) + "-" + hex(hash & 0xffffffffu) + "-p";
  return true;
}

}  // namespace

void Win32Os::watch_writes(FileHandle file) {
  // Windows offers no watch on one open file. Holders of a handle with
  // write access are seen by written_elsewhere whoever owns the file;
  // writes made and closed since this call are seen in the file's state
  // (size, time of last write, change time), which is noted here.
  watched_[to_native(file)] = state_of(to_native(file));
}

bool Win32Os::written_elsewhere(FileHandle file) {
  const HANDLE handle = to_native(file);
  if (const auto watch = watched_.find(handle);
      watch != watched_.end() && !same_file_state(state_of(handle), watch->second)) {
    return true;
  }
  // A second open of the same file that lets nobody else write is refused
  // while any handle with write access is open. It is closed at once: only
  // the answer is wanted. This run holds the file for reading only.
  const HANDLE probe = ReOpenFile(handle, GENERIC_READ, FILE_SHARE_READ, 0);
  if (probe == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  (void)CloseHandle(probe);
  return false;
}

// The locks are named mutexes of the logon session's namespace, taken by
// the thread that asks (the main one) and given back by it. Only runs of
// this logon session can hold them: unlike a lock on the file itself, a
// mere reader of a file or directory cannot, and runs of other sessions or
// machines are not held back either. A mutex tells nothing of its holder,
// so `holder` stays unknown.
OsError Win32Os::lock_current_directory(int wait_ms, LockHolder& holder) {
  holder = LockHolder{};
  if (directory_locked_) return OsError::none;  // A second wait would count twice.
  if (directory_lock_ == nullptr) {
    std::string key;
    if (!current_directory_key(key)) return OsError::other;
    // A named object outside the session's namespace needs a privilege
    // that ordinary users lack.
    const std::string name = "Local\\feedfix-" + key;
    directory_lock_ = CreateMutexA(nullptr, /*bInitialOwner=*/FALSE, name.c_str());
    if (directory_lock_ == nullptr) return last_error();
  }
  // Held until unlock_current_directory or until the process ends, however
  // it ends: the system lets go of it then. The handle is kept after a
  // timeout and after a release, and a later call waits on the same mutex.
  const OsError e = wait_for(directory_lock_, wait_ms);
  directory_locked_ = e == OsError::none;
  if (e != OsError::none && e != OsError::busy) {
    (void)CloseHandle(directory_lock_);
    directory_lock_ = nullptr;
  }
  return e;
}

void Win32Os::unlock_current_directory() {
  if (!directory_locked_) return;
  // Owned by this thread, which took it: the release cannot fail.
  (void)ReleaseMutex(directory_lock_);
  directory_locked_ = false;
}

OsError Win32Os::lock_file(const std::string& name, int wait_ms, FileId& locked,
                           LockHolder& holder) {
  holder = LockHolder{};
  // Not a byte-range lock on the file itself: that needs a handle of the
  // file kept open, and Windows renames no file over a name whose file is
  // open anywhere, so the plot could never be replaced. A mutex named by
  // the file's identity on its volume serves instead, whatever name or
  // directory reached the file. The identity is asked each time: the name
  // may lead to another file by now (a replaced plot file is a new one).
  // Opened without asking for any data, and closed again at once.
  const HANDLE file = CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES, k_share_all, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return last_error();
  const bool disk = GetFileType(file) == FILE_TYPE_DISK;
  FileId id;
  const bool known = disk && file_id_of(file, id);
  const OsError asked = disk && !known ? last_error() : OsError::none;
  (void)CloseHandle(file);  // Only asked; nothing to lose.
  if (!disk) return OsError::access_denied;
  if (!known) return asked == OsError::none ? OsError::other : asked;
  if (file_lock_ == nullptr || id != file_lock_id_) {
    release_file_lock();  // Another file now.
    const std::string mutex_name = "Local\\feedfix-file-" + hex(id.volume) + "-" +
                                   hex(id.index >> 32) + "-" + hex(id.index & 0xffffffffu);
    file_lock_ = CreateMutexA(nullptr, /*bInitialOwner=*/FALSE, mutex_name.c_str());
    if (file_lock_ == nullptr) return last_error();
    file_lock_id_ = id;
  }
  locked = id;
  if (file_locked_) return OsError::none;  // Held already.
  // Held until the process ends, however it ends, or another file is locked.
  const OsError e = wait_for(file_lock_, wait_ms);
  file_locked_ = e == OsError::none;
  if (e != OsError::none && e != OsError::busy) release_file_lock();
  return e;
}

// Lets go of the mutex of lock_file, if any.
void Win32Os::release_file_lock() {
  if (file_lock_ == nullptr) return;
  if (file_locked_) (void)ReleaseMutex(file_lock_);  // This thread's own.
  (void)CloseHandle(file_lock_);
  file_lock_ = nullptr;
  file_locked_ = false;
}

}  // namespace win32
