// Win32 backend: opening files, the run's own files under fixed names,
// renames, temporary files beside a target and the sweep of stale ones.

// rand_s, the C runtime's door to the system's random source, is declared
// only where this stands before the first include of <stdlib.h>.
#define _CRT_RAND_S

#include "runtime/os_win32_private.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace win32 {

namespace {

// A number in hex digits that fill `text`; false for anything else.
bool hex_number(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return error == std::errc() && end == text.data() + text.size();
}

// Everything up to and including the last separator of `path`: the directory
// a new file beside it goes into.
std::string directory_part(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// Marks an open file (opened with DELETE access) to go when its last handle
// closes, or takes the mark back. Unlike FILE_FLAG_DELETE_ON_CLOSE the mark
// can be taken back, and the system honours it however the process ends.
bool mark_for_deletion(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

// A rename over a name, done when it is on the disk.
constexpr DWORD k_replace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

constexpr const char* k_temp_prefix = "~ffx";

constexpr const char* k_temp_suffix = ".tmp";

// The most directory entries remove_stale_files reads in one run.
constexpr std::size_t k_max_stale_entries = 4096;

// Closes and removes a temporary file; a marked one goes with its handle.
void discard_temp(HANDLE handle, const std::string& name) {
  (void)CloseHandle(handle);
  (void)DeleteFileA(name.c_str());  // Best effort: already gone when it was marked.
}

// Whether the open file, opened with FILE_FLAG_OPEN_REPARSE_POINT, is a link:
// a reparse point that stands for another name (a symbolic link, a junction,
// a mount point). The kinds that keep a file's data elsewhere (deduplicated
// or cloud files) are none. Where the tag cannot be read, any reparse point
// counts as one.
bool is_link(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(tag.ReparseTag);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// What stands under a name itself, links not followed.
struct NameItself {
  bool exists = false;
  bool reparse = false;  // a reparse point of any kind
  bool link = false;     // one that stands for another name (is_link)
  bool mine = false;     // a link of the running user's (or on a volume without owners)
  FileId id;
};

NameItself name_itself(const std::string& name) {
  NameItself itself;
  const Handle handle(open_to_ask(name, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS));
  BY_HANDLE_FILE_INFORMATION info{};
  // None, or the open will tell.
  if (!valid(handle) || !GetFileInformationByHandle(handle.get(), &info)) return itself;
  itself.exists = file_id_of(handle.get(), itself.id);
  itself.reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  itself.link = itself.reparse && is_link(handle.get());
  itself.mine = itself.link && owner_of(handle.get()) != Owner::other;
  return itself;
}

// Whether the file `opened` under `name` is what name_itself told before the
// open: the same file where no link stood there, and the same link still
// under the name where one was followed.
bool still_itself(const std::string& name, const NameItself& before, HANDLE opened) {
  if (before.link) {
    const NameItself now = name_itself(name);
    return now.link && now.id == before.id;
  }
  if (!before.reparse && is_link(opened)) return false;
  FileId id;
  return !before.exists || (file_id_of(opened, id) && id == before.id);
}

// The process id in a name that create_beside makes
// ("~ffx<pid hex>-<random hex>.tmp"); false for any other name.
bool temp_file_owner(std::string_view name, DWORD& pid) {
  if (!name.starts_with(k_temp_prefix) || !name.ends_with(k_temp_suffix)) return false;
  // A name shorter than the two together cannot begin and end so: no end of
  // the one is a start of the other.
  name.remove_prefix(std::strlen(k_temp_prefix));
  name.remove_suffix(std::strlen(k_temp_suffix));
  const std::size_t dash = name.find('-');
  std::uint64_t value = 0;
  std::uint64_t random = 0;
  if (dash == std::string_view::npos || !hex_number(name.substr(0, dash), value) ||
      value > 0xffffffffu || !hex_number(name.substr(dash + 1), random)) {
    return false;
  }
  pid = static_cast<DWORD>(value);
  return true;
}

// True only when the process is surely gone. A process that cannot be opened
// for another reason (another user's) may be alive and keeps its files.
bool process_gone(DWORD pid) {
  if (pid == GetCurrentProcessId()) return false;
  const Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!valid(process)) return GetLastError() == ERROR_INVALID_PARAMETER;
  // An ended process stays openable while some handle to it is left.
  return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

// Removes `name` unless some process still has it open (the open shares
// nothing, so it fails while another handle exists, also one of a run on
// another machine whose process id means nothing here), and only where
// `removable` says so of the file, opened as itself; never a file on a
// volume that keeps no owners, whose owner cannot be told.
void remove_if_unused(const std::string& name, bool (*removable)(const FileState&)) {
  const Handle handle(CreateFileA(name.c_str(), DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  /*dwShareMode=*/0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (valid(handle) && owner_of(handle.get()) == Owner::me && removable(state_of(handle.get()))) {
    (void)mark_for_deletion(handle.get(), true);  // A file that stays is tried again next run.
  }
}

}  // namespace

// The identity of an open file on its volume; false where it has none.
bool file_id_of(HANDLE handle, FileId& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  id = id_of(info);
  return true;
}

OpenResult Win32Os::open_file(const std::string& name, Access access, Create create) {
  const DWORD desired = access == Access::read ? GENERIC_READ : GENERIC_WRITE;
  // Create::exact and exact_private open the name itself: a link opens as
  // itself (FILE_FLAG_OPEN_REPARSE_POINT), as where nothing was seen under
  // the name, and is refused below, never followed.
  const bool exact = create == Create::exact || create == Create::exact_private;
  NameItself itself;
  if (!exact) {
    // A directory, and for writing a read-only file, are refused before any
    // open, so that the answer is access_denied whatever CreateFileA would
    // make of them on the system at hand.
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
         ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && access == Access::write))) {
      return OpenResult{OsError::access_denied};
    }
    // The name itself is asked first. A link is followed only where the
    // running user made it (the rule of resolve_name); anything else is
    // opened as itself, never followed, so that a link put under the name
    // in the meantime is not followed either and is refused below. A
    // reparse point that keeps a file's data elsewhere is opened through
    // its filter, as any program opens it.
    itself = name_itself(name);
    if (itself.link && !link_trusted(itself.mine, false)) return OpenResult{OsError::access_denied};
  }
  const DWORD flags =
      FILE_ATTRIBUTE_NORMAL | (itself.reparse ? 0 : DWORD{FILE_FLAG_OPEN_REPARSE_POINT});
  HANDLE handle = open_existing(name, desired, flags);
  bool created = false;
  if (handle == INVALID_HANDLE_VALUE &&
      (create == Create::create_if_missing || create == Create::exact_private) &&
      GetLastError() == ERROR_FILE_NOT_FOUND) {
    // CREATE_NEW, not OPEN_ALWAYS: a file that appears in between is not
    // ours to take. exact_private makes it with a DACL for this user alone.
    handle = CreateFileA(name.c_str(), desired, k_share_all,
                         create == Create::exact_private ? private_security() : nullptr, CREATE_NEW,
                         flags, nullptr);
    created = handle != INVALID_HANDLE_VALUE;
  }
  if (handle == INVALID_HANDLE_VALUE) return OpenResult{last_error()};
  // Only a file on a disk; for reading a name as it stands, a character
  // device too (NUL, CON), as a device file may be read on POSIX; the name
  // itself is never waited on. A pipe is refused. So is a file other than
  // the one asked about: a link opened as itself, a followed link that was
  // replaced, a file with a data reparse point swapped for another.
  const DWORD type = GetFileType(handle);
  const bool device = access == Access::read && type == FILE_TYPE_CHAR && !exact;
  if ((type != FILE_TYPE_DISK && !device) ||
      (type == FILE_TYPE_DISK && !created && !still_itself(name, itself, handle))) {
    (void)CloseHandle(handle);
    return OpenResult{OsError::access_denied};
  }
  return OpenResult{OsError::none, from_native(handle), created};
}

OsError Win32Os::sync_file(FileHandle file) {
  if (FlushFileBuffers(to_native(file))) return OsError::none;
  if (GetLastError() != ERROR_ACCESS_DENIED) return last_error();
  // A handle opened for reading flushes nothing (fsync would): a second
  // handle of the same file, for writing, flushes the file's bytes.
  const HANDLE writer = ReOpenFile(to_native(file), GENERIC_WRITE, k_share_all, 0);
  if (writer == INVALID_HANDLE_VALUE) return last_error();
  OsError e = FlushFileBuffers(writer) ? OsError::none : last_error();
  if (!CloseHandle(writer) && e == OsError::none) e = last_error();
  return e;
}

OsError Win32Os::remove_file(const std::string& name) {
  return DeleteFileA(name.c_str()) ? OsError::none : last_error();
}

OsError Win32Os::resolve_name(const std::string& name, std::string& target) {
  // The name itself: links are not followed here. The rename that keeps a
  // new file replaces whatever stands under the name, a link too, and
  // never writes through it. Following one would mean reading the reparse
  // data of symbolic links, junctions and mount points, whose destinations
  // the ANSI calls cannot always name, and Windows shows no maker of a
  // link that could be trusted as the POSIX rule trusts one. A link that
  // is not the running user's own is not to be replaced: it is not ours
  // to remove.
  target = name;
  const FileState itself = state_of_name(name, FILE_FLAG_OPEN_REPARSE_POINT);
  return itself.exists && itself.link && !link_trusted(itself.mine, false) ? OsError::access_denied
                                                                           : OsError::none;
}

OpenResult Win32Os::create_beside(const std::string& target, bool own, std::string& temp_name) {
  // Private while it is written where it is to take a file's place (it is
  // given that file's DACL when kept, WRITE_DAC); one that takes a free
  // name gets the DACL the directory hands down, as any new file. A file
  // for one of the run's own names stays private for good: the name is not
  // looked at (what stands under it, a link too, is replaced by the rename
  // and gives the file nothing).
  const bool free_name = !own && GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES &&
                         GetLastError() == ERROR_FILE_NOT_FOUND;
  // The name is "~ffx<process id>-<random>.tmp". The process id lets a
  // later run tell the files of runs that are gone (remove_stale_files);
  // the random part keeps others from taking the name first. A name that
  // is taken (by chance, or by someone who made many) is skipped;
  // CREATE_NEW never opens what stands under it, a link neither.
  OsError e = OsError::other;
  for (int attempt = 0; attempt < 16; ++attempt) {
    // 64 bits from the system's random source: nothing another user can
    // read or guess (a time, a counter) goes into the name.
    unsigned int high = 0;
    unsigned int low = 0;
    if (rand_s(&high) != 0 || rand_s(&low) != 0) return OpenResult{e};
    const std::string name = directory_part(target) + k_temp_prefix + hex(GetCurrentProcessId()) +
                             "-" + hex(join(high, low)) + k_temp_suffix;
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE | DELETE | WRITE_DAC, k_share_all,
                                      free_name ? nullptr : private_security(), CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      // Marked for deletion at once: a run that is stopped or killed leaves
      // nothing, and only keeping it takes the mark back. Where the mark is
      // refused, the file stays an ordinary one.
      beside_[handle] = Beside{own, mark_for_deletion(handle, true), nullptr};
      temp_name = name;
      return OpenResult{OsError::none, from_native(handle), true};
    }
    e = last_error();
    if (e != OsError::already_exists) break;  // Only a taken name is skipped.
  }
  return OpenResult{e};
}

OsError Win32Os::keep_beside(FileHandle file, const std::string& temp_name,
                             const std::string& target) {
  const HANDLE handle = to_native(file);
  const Beside beside = forget(handle);
  // From here to the rename the file has a name and no mark: a run killed
  // in this moment leaves it for remove_stale_files.
  const bool unmarked = !beside.marked || mark_for_deletion(handle, false);
  // Renamed while open: it was opened sharing deletion, which lets it be.
  if (unmarked && MoveFileExA(temp_name.c_str(), target.c_str(), k_replace)) {
    // Through the handle, which holds WRITE_DAC from its open.
    if (beside.identity != nullptr) (void)beside.identity->give(handle);
    // The bytes were synced by the caller and the name is on the disk; a
    // failed close loses nothing.
    (void)CloseHandle(handle);
    return OsError::none;
  }
  const DWORD code = GetLastError();
  if (!unmarked || code != ERROR_SHARING_VIOLATION) {
    if (unmarked && beside.marked) (void)mark_for_deletion(handle, true);
    discard_temp(handle, temp_name);  // `target` is intact.
    return map_error(code);
  }
  // A file system that renames no open file: once more, closed.
  FileId id;
  const bool known = file_id_of(handle, id);
  if (!CloseHandle(handle) || !MoveFileExA(temp_name.c_str(), target.c_str(), k_replace)) {
    const OsError e = last_error();
    (void)DeleteFileA(temp_name.c_str());  // `target` is intact.
    return e;
  }
  if (beside.identity != nullptr && known) beside.identity->give_to_name(target, id);
  return OsError::none;
}

void Win32Os::discard_beside(FileHandle file, const std::string& temp_name) {
  (void)forget(to_native(file));
  discard_temp(to_native(file), temp_name);
}

void Win32Os::remove_stale_files(const std::string& name, bool (*removable)(const FileState&)) {
  const std::string directory = directory_part(name);
  const std::string pattern = directory + k_temp_prefix + "*" + k_temp_suffix;
  WIN32_FIND_DATAA found{};
  const HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;  // None there, or nothing to be seen.
  // A bounded look: a directory that others filled with such names costs
  // a run no more than this; what is left is for later runs.
  std::size_t seen = 0;
  do {
    DWORD pid = 0;
    // Owner and use are asked by remove_if_unused, of the file itself.
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        temp_file_owner(found.cFileName, pid) && process_gone(pid)) {
      remove_if_unused(directory + found.cFileName, removable);
    }
  } while (++seen < k_max_stale_entries && FindNextFileA(search, &found));
  (void)FindClose(search);
}

OsError Win32Os::rename_no_replace(const std::string& from, const std::string& to) {
  return MoveFileA(from.c_str(), to.c_str()) ? OsError::none : last_error();
}

OsError Win32Os::replace_name(const std::string& from, const std::string& to) {
  // The DACL adopt_identity kept for the file under `from`, if it is that
  // file, is given once it is renamed; whatever happens, it is then spent.
  std::unique_ptr<SavedIdentity> identity = std::move(moved_identity_);
  const NameItself moved = identity != nullptr ? name_itself(from) : NameItself{};
  if (!moved.exists || moved.id != moved_id_) identity.reset();
  // A rename acts on the names themselves: a link under `to` is replaced,
  // not followed. WRITE_THROUGH: done when the rename is on the disk.
  if (!MoveFileExA(from.c_str(), to.c_str(), k_replace)) return last_error();
  if (identity != nullptr) identity->give_to_name(to, moved.id);
  return OsError::none;
}

}  // namespace win32
