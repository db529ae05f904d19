// Win32 backend: the locks that let runs take turns, on the current
// directory and on a plot file, and the watch for writes by others.
#include "runtime/os_win32_private.h"

#include <cstdint>
#include <string>

namespace win32 {

namespace {

// Lets go of the lock's mutex, if it has one: given back where it is held
// (by this thread, which took it), and closed.
void drop(MutexLock& lock) {
  if (lock.mutex == nullptr) return;
  if (lock.held) (void)ReleaseMutex(lock.mutex);
  (void)CloseHandle(lock.mutex);
  lock = MutexLock{};
}

// Waits up to `wait_ms` (negative: for ever) for the lock's mutex, unless
// held already, and holds it from then on: busy when the time ran out. A
// mutex that cannot be waited for is let go of.
OsError take(MutexLock& lock, int wait_ms) {
  if (lock.held) return OsError::none;  // A second wait would count twice.
  const DWORD waited =
      WaitForSingleObject(lock.mutex, wait_ms < 0 ? INFINITE : static_cast<DWORD>(wait_ms));
  // WAIT_ABANDONED: the run that held it ended without letting go (it was
  // killed); the mutex is this run's all the same.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    lock.held = true;
    return OsError::none;
  }
  if (waited == WAIT_TIMEOUT) return OsError::busy;
  const OsError e = waited == WAIT_FAILED ? last_error() : OsError::other;
  drop(lock);
  return e;
}

// The text of a file's identity in the name of its lock.
std::string id_text(const FileId& id) {
  return hex(id.volume) + "-" + hex(id.index >> 32) + "-" + hex(id.index & 0xffffffffu);
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
// Empty where neither can be had.
std::string current_directory_key() {
  if (const Handle directory(open_existing(".", FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
      valid(directory)) {
    FileId id;
    if (file_id_of(directory.get(), id) && id.index != 0) return id_text(id);
  }
  std::wstring path = filled<wchar_t>(
      [](wchar_t* buffer, DWORD size) { return GetFullPathNameW(L".", size, buffer, nullptr); });
  if (path.empty()) return {};
  if (std::wstring long_path(32768, L'\0');
      GetLongPathNameW(path.c_str(), long_path.data(), static_cast<DWORD>(long_path.size())) > 0) {
    path = long_path.c_str();
  }
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  std::wstring upper(path.size(), L'\0');
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.data(), static_cast<int>(path.size()),
                   upper.data(), static_cast<int>(upper.size())) == 0) {
    return {};
  }
  const std::uint64_t hash = fnv1a(upper);
  return hex(hash >> 32) + "-" + hex(hash & 0xffffffffu) + "-p";
}

}  // namespace

void Win32Os::watch_writes(FileHandle file) {
  // Windows offers no watch on one open file. Holders of a handle with
  // write access are seen by writers whoever owns the file;
  // writes made and closed since this call are seen in the file's state
  // (size, time of last write, change time), which is noted here.
  watched_[to_native(file)] = state_of(to_native(file));
}

Writers Win32Os::writers(FileHandle file) {
  const HANDLE handle = to_native(file);
  if (const auto watch = watched_.find(handle);
      watch != watched_.end() && !same_file_state(state_of(handle), watch->second)) {
    return Writers::some;
  }
  // A second open of the same file that lets nobody else write is refused
  // while any handle with write access is open, whoever owns the file. It
  // is closed at once: only the answer is wanted. This run holds the file
  // for reading only.
  const Handle probe(ReOpenFile(handle, GENERIC_READ, FILE_SHARE_READ, 0));
  return !valid(probe) && GetLastError() == ERROR_SHARING_VIOLATION ? Writers::some : Writers::none;
}

void Win32Os::wait_quiet(FileHandle file, int ms) {
  const FileState seen = state_of(to_native(file));
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  // File times count 100 ns since 1601, as the clock does.
  const std::int64_t quiet =
      static_cast<std::int64_t>(join(now.dwHighDateTime, now.dwLowDateTime)) -
      std::max(seen.modified, seen.changed);
  const std::int64_t wait = std::int64_t{ms} - quiet / 10000;
  if (wait > 0) Sleep(static_cast<DWORD>(std::min<std::int64_t>(wait, ms)));
}

// The locks are named mutexes of the logon session's namespace, taken by
// the thread that asks (the main one) and given back by it. Only runs of
// this logon session can hold them: unlike a lock on the file itself, a
// mere reader of a file or directory cannot, and runs of other sessions or
// machines are not held back either. A mutex tells nothing of its holder,
// so `holder` stays unknown.
OsError Win32Os::lock_current_directory(int wait_ms, LockHolder& holder) {
  holder = LockHolder{};
  if (directory_lock_.mutex == nullptr) {
    const std::string key = current_directory_key();
    if (key.empty()) return OsError::other;
    // A named object outside the session's namespace needs a privilege
    // that ordinary users lack.
    const std::string mutex_name = "Local\\feedfix-" + key;
    directory_lock_.mutex = CreateMutexA(nullptr, /*bInitialOwner=*/FALSE, mutex_name.c_str());
    if (directory_lock_.mutex == nullptr) return last_error();
  }
  // Held until unlock_current_directory or until the process ends, however
  // it ends: the system lets go of it then. The handle is kept after a
  // timeout and after a release, and a later call waits on the same mutex.
  return take(directory_lock_, wait_ms);
}

void Win32Os::unlock_current_directory() {
  if (!directory_lock_.held) return;
  // Owned by this thread, which took it: the release cannot fail.
  (void)ReleaseMutex(directory_lock_.mutex);
  directory_lock_.held = false;
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
  FileId id;
  {
    const Handle file(open_existing(name, FILE_READ_ATTRIBUTES, FILE_ATTRIBUTE_NORMAL));
    if (!valid(file)) return last_error();
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return OsError::access_denied;
    if (!file_id_of(file.get(), id)) return last_error();
  }
  if (file_lock_.mutex == nullptr || id != file_lock_id_) {
    drop(file_lock_);  // Another file now.
    const std::string mutex_name = "Local\\feedfix-file-" + id_text(id);
    file_lock_.mutex = CreateMutexA(nullptr, /*bInitialOwner=*/FALSE, mutex_name.c_str());
    if (file_lock_.mutex == nullptr) return last_error();
    file_lock_id_ = id;
  }
  locked = id;
  // Held until the process ends, however it ends, or another file is locked.
  return take(file_lock_, wait_ms);
}
}  // namespace win32
