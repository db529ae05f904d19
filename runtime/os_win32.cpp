// Win32 backend of the operating-system seam: ANSI file calls, the standard
// handles, the command interpreter, the process's own command line, the
// owners of files, and the locks that let runs take turns.

// rand_s, the C runtime's door to the system's random source, is declared
// only where this stands before the first include of <stdlib.h>.
#define _CRT_RAND_S

#include "runtime/os.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/command_line.h"

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

std::string hex(std::uint64_t value) {
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return std::string(digits, end);
}

// Other programs may read, write and even delete a file while it is open.
constexpr DWORD k_share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The security calls live in advapi32.dll. They are looked up at run time,
// from the system directory, so that the program imports from kernel32 and
// the C runtime alone (the Windows test script holds it to that); where a
// call is missing, owners count as unknown.
struct SecurityCalls {
  decltype(&::GetSecurityInfo) get_security_info = nullptr;
  decltype(&::SetSecurityInfo) set_security_info = nullptr;
  decltype(&::GetSecurityDescriptorControl) get_control = nullptr;
  decltype(&::OpenProcessToken) open_process_token = nullptr;
  decltype(&::GetTokenInformation) get_token_information = nullptr;
  decltype(&::EqualSid) equal_sid = nullptr;
  decltype(&::GetLengthSid) get_length_sid = nullptr;
  decltype(&::ConvertSidToStringSidA) sid_to_text = nullptr;
  decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorA) descriptor_from_text = nullptr;
  decltype(&::DuplicateToken) duplicate_token = nullptr;
  decltype(&::AccessCheck) access_check = nullptr;
};

template <typename Function>
void look_up(HMODULE module, const char* name, Function& function) {
  // Through void (*)(): a cast between function types that says it is meant.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

const SecurityCalls& security() {
  static const SecurityCalls calls = [] {
    SecurityCalls found;
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return found;
    const HMODULE module =
        LoadLibraryA((std::string(system, length) + "\\advapi32.dll").c_str());
    if (module == nullptr) return found;
    look_up(module, "GetSecurityInfo", found.get_security_info);
    look_up(module, "SetSecurityInfo", found.set_security_info);
    look_up(module, "GetSecurityDescriptorControl", found.get_control);
    look_up(module, "OpenProcessToken", found.open_process_token);
    look_up(module, "GetTokenInformation", found.get_token_information);
    look_up(module, "EqualSid", found.equal_sid);
    look_up(module, "GetLengthSid", found.get_length_sid);
    look_up(module, "ConvertSidToStringSidA", found.sid_to_text);
    look_up(module, "ConvertStringSecurityDescriptorToSecurityDescriptorA",
            found.descriptor_from_text);
    look_up(module, "DuplicateToken", found.duplicate_token);
    look_up(module, "AccessCheck", found.access_check);
    return found;
  }();
  return calls;
}

// A SID of the process's token, copied; empty where it cannot be had.
std::vector<unsigned char> token_sid(HANDLE token, TOKEN_INFORMATION_CLASS which) {
  const SecurityCalls& calls = security();
  DWORD size = 0;
  (void)calls.get_token_information(token, which, nullptr, 0, &size);
  if (size == 0) return {};
  // Storage aligned for the pointers in TOKEN_USER and TOKEN_OWNER.
  std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
  if (!calls.get_token_information(token, which, buffer.data(), size, &size)) return {};
  const PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                      : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  if (sid == nullptr) return {};
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(bytes, bytes + calls.get_length_sid(sid));
}

// The user the process runs as, and the owner its new files get: the same
// SID, or for an elevated administrator the Administrators group. A file
// owned by either is the user's own.
struct ProcessUser {
  std::vector<unsigned char> user;
  std::vector<unsigned char> owner;
};

const ProcessUser& process_user() {
  static const ProcessUser found = [] {
    ProcessUser sids;
    const SecurityCalls& calls = security();
    HANDLE token = nullptr;
    if (calls.open_process_token == nullptr || calls.get_token_information == nullptr ||
        calls.get_length_sid == nullptr ||
        !calls.open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return sids;
    }
    sids.user = token_sid(token, TokenUser);
    sids.owner = token_sid(token, TokenOwner);
    (void)CloseHandle(token);  // Only asked; nothing to lose.
    return sids;
  }();
  return found;
}

enum class Owner {
  me,     // the running user (or the default owner of its new files)
  other,  // anyone else, or an owner that could not be read
  none,   // the volume keeps no owners (FAT): nobody can be told apart
};

// The owner of the open file, which must have been opened with READ_CONTROL
// (GENERIC_READ and GENERIC_WRITE include it).
Owner owner_of(HANDLE handle) {
  const SecurityCalls& calls = security();
  const ProcessUser& process = process_user();
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (calls.get_security_info != nullptr && calls.equal_sid != nullptr &&
      calls.get_security_info(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
    Owner result = Owner::other;
    if (owner != nullptr &&
        ((!process.user.empty() &&
          calls.equal_sid(owner, const_cast<unsigned char*>(process.user.data()))) ||
         (!process.owner.empty() &&
          calls.equal_sid(owner, const_cast<unsigned char*>(process.owner.data()))))) {
      result = Owner::me;
    }
    (void)LocalFree(descriptor);
    if (owner != nullptr) return result;
  }
  DWORD flags = 0;
  if (GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      (flags & FILE_PERSISTENT_ACLS) == 0) {
    return Owner::none;
  }
  return Owner::other;
}

// For a file made for one of the run's own names: a DACL that lets the
// running user alone at it, not one inherited from a directory that others
// share. Null where it cannot be made; the file then gets the inherited one.
SECURITY_ATTRIBUTES* private_security() {
  static SECURITY_ATTRIBUTES attributes{};
  static SECURITY_ATTRIBUTES* const made = []() -> SECURITY_ATTRIBUTES* {
    const SecurityCalls& calls = security();
    const ProcessUser& process = process_user();
    char* user = nullptr;
    if (calls.sid_to_text == nullptr || calls.descriptor_from_text == nullptr ||
        process.user.empty() ||
        !calls.sid_to_text(const_cast<unsigned char*>(process.user.data()), &user)) {
      return nullptr;
    }
    // P: the DACL is protected, nothing is inherited; FA: all file access.
    const std::string text = std::string("D:P(A;;FA;;;") + user + ")";
    (void)LocalFree(user);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!calls.descriptor_from_text(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
      return nullptr;
    }
    // Kept for the life of the process.
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    return &attributes;
  }();
  return made;
}

// Marks an open file (opened with DELETE access) to go when its last handle
// closes, or takes the mark back. Unlike FILE_FLAG_DELETE_ON_CLOSE the mark
// can be taken back, and the system honours it however the process ends.
bool mark_for_deletion(HANDLE handle, bool remove) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

// A file reached by a name of its own: not a symbolic link or other reparse
// point, and no other name (hard link) leads to it.
bool sole_name(const BY_HANDLE_FILE_INFORMATION& info) {
  return info.nNumberOfLinks == 1 && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

constexpr const char* k_temp_prefix = "~ffx";
constexpr const char* k_temp_suffix = ".tmp";
// The most directory entries remove_stale_files reads in one run.
constexpr std::size_t k_max_stale_entries = 4096;

// A new, empty file for writing beside the file `target`, made by this
// process; `marked` tells whether it goes by itself when the process ends.
struct TempFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string name;
  bool marked = false;
  OsError error = OsError::other;  // why there is none
};

// 64 bits from the system's random source, in hex; false where it gives none.
// Nothing another user can read or guess (a time, a counter) goes into it.
bool random_part(std::string& part) {
  unsigned int high = 0;
  unsigned int low = 0;
  if (rand_s(&high) != 0 || rand_s(&low) != 0) return false;
  part = hex((std::uint64_t{high} << 32) | low);
  return true;
}

// Creates a temporary file under a fresh name in the directory of `target`:
// "~ffx<process id>-<random>.tmp". The process id lets a later run tell the
// files of runs that are gone (remove_stale_files); the random part keeps
// others from taking the name first. The file is marked for deletion at
// once: a run that is stopped or killed leaves nothing, and only keeping it
// takes the mark back. Where the mark is refused, the file stays an ordinary
// one. `security` (may be null) gives the file a DACL of its own; it may
// always be given the target's later (WRITE_DAC).
TempFile create_file_beside(const std::string& target, SECURITY_ATTRIBUTES* security = nullptr) {
  TempFile temp;
  const std::string directory = directory_part(target);
  // A name that is taken (by chance, or by someone who made many) is
  // skipped; CREATE_NEW never opens what stands under it, a link neither.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string random;
    if (!random_part(random)) return temp;
    temp.name = directory + k_temp_prefix + hex(GetCurrentProcessId()) + "-" + random +
                k_temp_suffix;
    temp.handle = CreateFileA(temp.name.c_str(), GENERIC_WRITE | DELETE | WRITE_DAC, k_share_all,
                              security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temp.handle != INVALID_HANDLE_VALUE) break;
    const DWORD code = GetLastError();
    temp.error = map_error(code);
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return temp;
  }
  if (temp.handle == INVALID_HANDLE_VALUE) return temp;
  temp.error = OsError::none;
  temp.marked = mark_for_deletion(temp.handle, true);
  return temp;
}

// Closes and removes a temporary file; a marked one goes with its handle.
void discard_temp(HANDLE handle, const std::string& name) {
  (void)CloseHandle(handle);
  (void)DeleteFileA(name.c_str());  // Best effort: already gone when it was marked.
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

// The marks a replaced file keeps.
constexpr DWORD k_kept_attributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Adds to the open file (which holds FILE_WRITE_ATTRIBUTES) the marks among
// `attributes`; false where they cannot be set.
bool give_marks(HANDLE handle, DWORD attributes) {
  if ((attributes & k_kept_attributes) == 0) return true;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  FILE_BASIC_INFO basic{};  // Times of 0 stay as they are.
  // NORMAL stands only alone.
  basic.FileAttributes =
      (info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_NORMAL}) | (attributes & k_kept_attributes);
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The identity of an open file on its volume; false where it has none.
bool file_id_of(HANDLE handle, FileId& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  id = FileId{info.dwVolumeSerialNumber,
              (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  return true;
}

// The identity of the file under the name `name` itself (a link is not
// followed); false where there is none to be had.
bool file_id_of_name(const std::string& name, FileId& id) {
  const HANDLE handle =
      CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES, k_share_all, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = file_id_of(handle, id);
  (void)CloseHandle(handle);  // Only asked; nothing to lose.
  return known;
}

// Whether the volume of the open file keeps access lists; true where that
// cannot be told.
bool keeps_access_lists(HANDLE handle) {
  DWORD flags = 0;
  return !GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

// What a new file is given of the file whose place it takes: its hidden,
// system and archive marks and its DACL.
class SavedIdentity {
 public:
  SavedIdentity() = default;
  SavedIdentity(const SavedIdentity&) = delete;
  SavedIdentity& operator=(const SavedIdentity&) = delete;
  ~SavedIdentity() {
    if (descriptor_ != nullptr) (void)LocalFree(descriptor_);
  }

  // Reads the marks and the DACL of the file `target` leads to.
  // access_denied where the DACL cannot be read; a volume that keeps no
  // access lists has none to give.
  OsError read(const std::string& target) {
    const HANDLE source =
        CreateFileA(target.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, k_share_all, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (source == INVALID_HANDLE_VALUE) return last_error();
    BY_HANDLE_FILE_INFORMATION info{};
    OsError e = GetFileInformationByHandle(source, &info) ? OsError::none : last_error();
    if (e == OsError::none) {
      attributes_ = info.dwFileAttributes;
      if (keeps_access_lists(source)) e = read_dacl(source);
    }
    (void)CloseHandle(source);  // Only asked; nothing to lose.
    return e;
  }

  DWORD attributes() const { return attributes_; }

  // Gives the DACL read to the open file, whose handle holds WRITE_DAC. A
  // null one (everyone may do anything) is given as it is. The owner is not
  // given: that needs a privilege, and whether the owners match is asked
  // before a file is replaced at all (FileState::identity_givable).
  bool give(HANDLE handle) const {
    const SecurityCalls& calls = security();
    if (!known_) return true;
    if (calls.set_security_info == nullptr) return false;
    const SECURITY_INFORMATION which =
        DACL_SECURITY_INFORMATION |
        (protected_ ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return calls.set_security_info(handle, SE_FILE_OBJECT, which, nullptr, nullptr, dacl_,
                                   nullptr) == ERROR_SUCCESS;
  }

  // Gives the DACL to the file under `name` where that is still the file
  // `id`. Best effort: it comes after the rename, which cannot be undone; a
  // file that does not take it keeps the DACL it was made with.
  void give_to_name(const std::string& name, const FileId& id) const {
    if (!known_) return;
    // READ_CONTROL too: the inherited entries are worked out from what the
    // file has.
    const HANDLE handle = CreateFileA(name.c_str(), WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                      k_share_all, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    FileId there;
    if (file_id_of(handle, there) && there == id) (void)give(handle);
    (void)CloseHandle(handle);  // Nothing written but the DACL.
  }

 private:
  OsError read_dacl(HANDLE source) {
    const SecurityCalls& calls = security();
    if (calls.get_security_info == nullptr || calls.get_control == nullptr) {
      return OsError::access_denied;
    }
    if (calls.get_security_info(source, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl_, nullptr, &descriptor_) != ERROR_SUCCESS) {
      descriptor_ = nullptr;
      dacl_ = nullptr;
      return OsError::access_denied;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!calls.get_control(descriptor_, &control, &revision)) return OsError::access_denied;
    protected_ = (control & SE_DACL_PROTECTED) != 0;
    known_ = true;
    return OsError::none;
  }

  DWORD attributes_ = 0;
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  PACL dacl_ = nullptr;  // inside descriptor_; null: everyone may do anything
  bool known_ = false;   // dacl_ was read
  bool protected_ = false;
};

// The process's token as an impersonation token, which is what AccessCheck
// takes; null where there is none. Kept for the life of the process.
HANDLE check_token() {
  static const HANDLE token = []() -> HANDLE {
    const SecurityCalls& calls = security();
    HANDLE process_token = nullptr;
    if (calls.open_process_token == nullptr || calls.duplicate_token == nullptr ||
        !calls.open_process_token(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE,
                                  &process_token)) {
      return nullptr;
    }
    HANDLE duplicate = nullptr;
    if (!calls.duplicate_token(process_token, SecurityImpersonation, &duplicate)) {
      duplicate = nullptr;
    }
    (void)CloseHandle(process_token);  // Only duplicated.
    return duplicate;
  }();
  return token;
}

// Whether the running user may write the bytes of the open file, whose
// information is `info`: no read-only mark, a volume that takes writes, and
// a DACL that lets it. The DACL is asked by an access check, not by opening
// the file for writing: a handle with write access, open even for a moment,
// would count for another run's written_elsewhere as a writer of the file.
// A directory goes by its mark alone.
bool may_write(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info) {
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  DWORD flags = 0;
  if (GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    if ((flags & FILE_READ_ONLY_VOLUME) != 0) return false;
    if ((flags & FILE_PERSISTENT_ACLS) == 0) return true;  // The mark says it all.
  }
  const SecurityCalls& calls = security();
  const HANDLE token = check_token();
  // Nothing to ask with: the write itself tells. Such a file has no known
  // owner either, so no new file takes its place.
  if (calls.get_security_info == nullptr || calls.access_check == nullptr || token == nullptr) {
    return true;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  constexpr SECURITY_INFORMATION k_asked =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (calls.get_security_info(handle, SE_FILE_OBJECT, k_asked, nullptr, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS) {
    return false;  // Opened without READ_CONTROL: not to be told, so not counted on.
  }
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  // Storage aligned for a PRIVILEGE_SET with a few privileges.
  std::array<std::uint64_t, 32> privileges{};
  DWORD privileges_size = sizeof privileges;
  DWORD granted = 0;
  BOOL allowed = FALSE;
  const bool asked =
      calls.access_check(descriptor, token, FILE_WRITE_DATA, &mapping,
                         reinterpret_cast<PPRIVILEGE_SET>(privileges.data()), &privileges_size,
                         &granted, &allowed) != 0;
  (void)LocalFree(descriptor);
  return asked && allowed;
}

// Opens `name` only to ask about it: attributes and, where allowed, owner.
HANDLE open_to_ask(const std::string& name, DWORD flags) {
  HANDLE handle = CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, k_share_all,
                              nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    // The owner may not be read: the file counts as another's.
    handle = CreateFileA(name.c_str(), FILE_READ_ATTRIBUTES, k_share_all, nullptr, OPEN_EXISTING,
                         flags, nullptr);
  }
  return handle;
}

FileState state_of(HANDLE handle) {
  FileState state;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return state;
  state.exists = true;
  state.id = FileId{info.dwVolumeSerialNumber,
                    (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  state.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  // FILETIME: 100-nanosecond steps since 1601.
  state.modified = static_cast<std::int64_t>(
      (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  // The change time, which SetFileTime cannot set; 0 where the file system
  // keeps none (FAT), and then the other fields must tell.
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    state.changed = basic.ChangeTime.QuadPart;
  }
  state.links = info.nNumberOfLinks;
  // A file on a disk; a directory answers GetFileInformationByHandle too.
  state.regular = GetFileType(handle) == FILE_TYPE_DISK &&
                  (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  state.link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  state.mine = owner_of(handle) != Owner::other;
  // others_may_write stays false: telling it would mean reading the DACL's
  // every entry against the user's groups.
  state.writable = may_write(handle, info);
  // The owner of a new file is this user's; only a file of its own (or one
  // on a volume that keeps no owners) has one it can give.
  state.identity_givable = state.mine;
  return state;
}

// The state of what `name` leads to (`flags` 0) or of the name itself
// (FILE_FLAG_OPEN_REPARSE_POINT); exists false when there is none.
FileState state_of_name(const std::string& name, DWORD flags) {
  // BACKUP_SEMANTICS lets a directory answer too.
  const HANDLE handle = open_to_ask(name, flags | FILE_FLAG_BACKUP_SEMANTICS);
  if (handle == INVALID_HANDLE_VALUE) return {};
  FileState state = state_of(handle);
  (void)CloseHandle(handle);  // Only asked; nothing to lose.
  if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0) state.link = false;
  return state;
}

// A file of the run's own under a fixed name: the running user's regular
// file on a disk, reached by its one and only name.
bool own_private_file(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && sole_name(info) &&
         owner_of(handle) != Owner::other;
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
  const HANDLE handle =
      open_to_ask(name, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
  if (handle == INVALID_HANDLE_VALUE) return itself;  // None, or the open will tell.
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info)) {
    itself.exists = file_id_of(handle, itself.id);
    itself.reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    itself.link = itself.reparse && is_link(handle);
    itself.mine = itself.link && owner_of(handle) != Owner::other;
  }
  (void)CloseHandle(handle);  // Only asked; nothing to lose.
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

// An own file (own_private_file) that its owner marked read-only.
bool own_read_only_file(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 && own_private_file(handle);
}

// Opens `name` as a file of the run's own (Create::own_file). The name is
// never followed as a link (FILE_FLAG_OPEN_REPARSE_POINT: a link opens as
// itself and is recognised). For reading, only an own file is opened. For
// writing, an own file is used, and one its owner marked read-only is
// refused and left as it is; anything else under the name (a link, a file
// of another user or with other names, a directory) is replaced by a new
// file renamed over the name, never removed first: where the rename is not
// allowed the open fails. A new file gets a DACL for this user alone.
OpenResult open_own_file(const std::string& name, Access access) {
  OpenResult result;
  const DWORD desired = access == Access::read ? GENERIC_READ : GENERIC_WRITE;
  constexpr DWORD k_flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE handle =
      CreateFileA(name.c_str(), desired, k_share_all, nullptr, OPEN_EXISTING, k_flags, nullptr);
  const DWORD open_error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (handle != INVALID_HANDLE_VALUE) {
    // The mark is asked of the open file too: a system may let a write open
    // past it (Wine run by root).
    if (access == Access::write && own_read_only_file(handle)) {
      (void)CloseHandle(handle);
      result.error = OsError::access_denied;
      return result;
    }
    if (own_private_file(handle)) {
      result.error = OsError::none;
      result.handle = from_native(handle);
      return result;
    }
    (void)CloseHandle(handle);
  }
  if (access == Access::write && open_error == ERROR_ACCESS_DENIED) {
    // The mark refuses the write open: the file is asked whose it is.
    const HANDLE asked = open_to_ask(name, FILE_FLAG_OPEN_REPARSE_POINT);
    const bool read_only = asked != INVALID_HANDLE_VALUE && own_read_only_file(asked);
    if (asked != INVALID_HANDLE_VALUE) (void)CloseHandle(asked);  // Only asked.
    if (read_only) {
      result.error = OsError::access_denied;
      return result;
    }
  }
  if (open_error == ERROR_PATH_NOT_FOUND) {
    result.error = OsError::path_not_found;
    return result;
  }
  if (access == Access::read) {
    result.error =
        open_error == ERROR_FILE_NOT_FOUND ? OsError::file_not_found : OsError::access_denied;
    return result;
  }
  if (open_error == ERROR_FILE_NOT_FOUND) {
    handle = CreateFileA(name.c_str(), desired, k_share_all, private_security(), CREATE_NEW,
                         k_flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      // Another name may have been given to the new file before this open
      // returned; writing through it would then reach that name too.
      if (!own_private_file(handle)) {
        (void)CloseHandle(handle);
        result.error = OsError::access_denied;
        return result;
      }
      result.error = OsError::none;
      result.handle = from_native(handle);
      result.created = true;
      return result;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      result.error = map_error(code);
      return result;
    }
  }
  // Something that is not the run's own stands under the name: a new file
  // takes its place by a rename over the name itself, which replaces a link
  // and never writes through it. It is renamed while open; a file system
  // that renames no open file makes the open fail.
  const TempFile temp = create_file_beside(name, private_security());
  if (temp.handle == INVALID_HANDLE_VALUE) {
    result.error = temp.error;
    return result;
  }
  OsError e = OsError::none;
  if (temp.marked && !mark_for_deletion(temp.handle, false)) e = last_error();
  if (e == OsError::none && !MoveFileExA(temp.name.c_str(), name.c_str(),
                                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    e = last_error();
  }
  if (e != OsError::none) {
    discard_temp(temp.handle, temp.name);
    result.error = e;
    return result;
  }
  result.error = OsError::none;
  result.handle = from_native(temp.handle);
  result.created = true;
  return result;
}

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

// The process id in a name that create_file_beside makes
// ("~ffx<pid hex>-<random hex>.tmp"); false for any other name.
bool temp_file_owner(const std::string& name, DWORD& pid) {
  const std::string prefix = k_temp_prefix;
  const std::string suffix = k_temp_suffix;
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const char* first = name.data() + prefix.size();
  const char* last = name.data() + name.size() - suffix.size();
  const char* dash = std::find(first, last, '-');
  if (dash == first || dash == last || dash + 1 == last) return false;
  unsigned long value = 0;
  const auto [pid_end, pid_error] = std::from_chars(first, dash, value, 16);
  if (pid_error != std::errc() || pid_end != dash || value > 0xffffffffu) return false;
  std::uint64_t random = 0;
  const auto [random_end, random_error] = std::from_chars(dash + 1, last, random, 16);
  if (random_error != std::errc() || random_end != last) return false;
  pid = static_cast<DWORD>(value);
  return true;
}

// True only when the process is surely gone. A process that cannot be opened
// for another reason (another user's) may be alive and keeps its files.
bool process_gone(DWORD pid) {
  if (pid == GetCurrentProcessId()) return false;
  const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  // An ended process stays openable while some handle to it is left.
  const bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  (void)CloseHandle(process);
  return gone;
}

// Removes `name` unless some process still has it open (the open shares
// nothing, so it fails while another handle exists, also one of a run on
// another machine whose process id means nothing here), and only where it
// is the running user's own file: never another user's, nor a link, nor a
// file on a volume that keeps no owners, whatever its name says.
void remove_if_unused(const std::string& name) {
  const HANDLE handle =
      CreateFileA(name.c_str(), DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, /*dwShareMode=*/0,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && sole_name(info) &&
      owner_of(handle) == Owner::me) {
    (void)mark_for_deletion(handle, true);  // A file that stays is tried again next run.
  }
  (void)CloseHandle(handle);
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

// A worker on a thread of the system's own. The lock is a slim reader/writer
// lock taken exclusively, the wait a condition variable on it.
class ThreadWorker final : public Worker {
 public:
  // Not started where the system refuses a thread: started() is false.
  ThreadWorker(WorkFunction work, void* context) : work_(work), context_(context) {
    thread_ = CreateThread(nullptr, 0, &ThreadWorker::run, this, 0, nullptr);
  }
  ~ThreadWorker() override {
    if (thread_ == nullptr) return;
    (void)WaitForSingleObject(thread_, INFINITE);
    (void)CloseHandle(thread_);
  }
  ThreadWorker(const ThreadWorker&) = delete;
  ThreadWorker& operator=(const ThreadWorker&) = delete;

  bool started() const { return thread_ != nullptr; }

  void lock() override { AcquireSRWLockExclusive(&lock_); }
  void unlock() override { ReleaseSRWLockExclusive(&lock_); }
  void wait() override { (void)SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0); }
  void wake() override { WakeAllConditionVariable(&changed_); }

 private:
  static DWORD WINAPI run(void* self) {
    auto* worker = static_cast<ThreadWorker*>(self);
    worker->work_(worker->context_, *worker);
    return 0;
  }

  WorkFunction work_;
  void* context_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  HANDLE thread_ = nullptr;
};

struct Win32Os final : Os {
  OpenResult open_file(const std::string& name, Access access, Create create) override {
    if (create == Create::own_file) return open_own_file(name, access);
    OpenResult result;
    const DWORD desired = access == Access::read ? GENERIC_READ : GENERIC_WRITE;
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
    // The name itself is asked first. A link is followed only where the
    // running user made it (the rule of resolve_name); anything else is
    // opened as itself, never followed, so that a link put under the name
    // in the meantime is not followed either and is refused below. A
    // reparse point that keeps a file's data elsewhere is opened through
    // its filter, as any program opens it.
    const NameItself itself = name_itself(name);
    if (itself.link && !itself.mine) {
      result.error = OsError::access_denied;
      return result;
    }
    const DWORD flags =
        FILE_ATTRIBUTE_NORMAL | (itself.reparse ? 0 : DWORD{FILE_FLAG_OPEN_REPARSE_POINT});
    HANDLE handle =
        CreateFileA(name.c_str(), desired, k_share_all, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && create == Create::create_if_missing &&
        GetLastError() == ERROR_FILE_NOT_FOUND) {
      // CREATE_NEW, not OPEN_ALWAYS: a file that appears in between is not ours to take.
      handle = CreateFileA(name.c_str(), desired, k_share_all, nullptr, CREATE_NEW, flags, nullptr);
      result.created = handle != INVALID_HANDLE_VALUE;
    }
    if (handle == INVALID_HANDLE_VALUE) {
      result.error = last_error();
      return result;
    }
    // Only a file on a disk; for reading, a character device too (NUL, CON),
    // as a device file may be read on POSIX. A pipe is refused. So is a file
    // other than the one asked about: a link opened as itself, a followed
    // link that was replaced, a file with a data reparse point swapped for
    // another.
    const DWORD type = GetFileType(handle);
    if ((type != FILE_TYPE_DISK && !(access == Access::read && type == FILE_TYPE_CHAR)) ||
        (type == FILE_TYPE_DISK && !result.created && !still_itself(name, itself, handle))) {
      (void)CloseHandle(handle);
      result.error = OsError::access_denied;
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
    // A file of create_beside closed here goes by its mark, like a discarded one.
    (void)forget_mark(to_native(file));
    beside_.erase(to_native(file));
    watched_.erase(to_native(file));
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

  FileState file_state(FileHandle file) override { return state_of(to_native(file)); }

  FileState path_state(const std::string& name) override {
    // Opened as CreateFileA opens it for reading, links followed; asking for
    // attributes and owner only, so that neither sharing nor a read-only
    // mark stands in the way.
    return state_of_name(name, 0);
  }

  FileState name_state(const std::string& name) override {
    // Any reparse point under the name counts as a link: symbolic links and
    // junctions, and kinds this run cannot tell from them.
    return state_of_name(name, FILE_FLAG_OPEN_REPARSE_POINT);
  }

  void watch_writes(FileHandle file) override {
    // Windows offers no watch on one open file. Holders of a handle with
    // write access are seen by written_elsewhere whoever owns the file;
    // writes made and closed since this call are seen in the file's state
    // (size, time of last write, change time), which is noted here.
    watched_[to_native(file)] = state_of(to_native(file));
  }

  bool written_elsewhere(FileHandle file) override {
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

  OsError sync_file(FileHandle file) override {
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

  OsError remove_file(const std::string& name) override {
    return DeleteFileA(name.c_str()) ? OsError::none : last_error();
  }

  OsError resolve_name(const std::string& name, std::string& target) override {
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
    return itself.exists && itself.link && !itself.mine ? OsError::access_denied : OsError::none;
  }

  OsError set_file_size(FileHandle file, std::uint64_t size) override {
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

  OsError copy_data(FileHandle from, FileHandle to) override {
    return copy_bytes(to_native(from), to_native(to));
  }

  OsError adopt_identity(FileHandle file, const std::string& of) override {
    const HANDLE handle = to_native(file);
    const auto beside = beside_.find(handle);
    // A file for one of the run's own names takes nothing from what stood
    // under the name: it stays private.
    if (beside != beside_.end() && beside->second.own) return OsError::none;
    auto identity = std::make_unique<SavedIdentity>();
    if (const OsError e = identity->read(of); e != OsError::none) {
      return e == OsError::file_not_found || e == OsError::path_not_found ? e
                                                                          : OsError::access_denied;
    }
    // The marks at once: through the handle of a file of create_beside,
    // which may set them; for any other, through a second handle that asks
    // for attributes alone (no write access another run could see).
    if ((identity->attributes() & k_kept_attributes) != 0) {
      bool marked = false;
      if (beside != beside_.end()) {
        marked = give_marks(handle, identity->attributes());
      } else {
        const HANDLE writer =
            ReOpenFile(handle, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, k_share_all, 0);
        if (writer != INVALID_HANDLE_VALUE) {
          marked = give_marks(writer, identity->attributes());
          (void)CloseHandle(writer);  // Nothing written but the marks.
        }
      }
      if (!marked) return OsError::access_denied;
    }
    // The DACL is kept and given after the rename (keep_beside,
    // replace_name): given before, one that does not let this user delete
    // the file would stop the rename. Until then the file keeps the private
    // DACL it was made with.
    if (beside != beside_.end()) {
      beside->second.identity = std::move(identity);
      return OsError::none;
    }
    FileId id;
    if (!file_id_of(handle, id)) return OsError::access_denied;
    moved_id_ = id;
    moved_identity_ = std::move(identity);
    return OsError::none;
  }

  OpenResult create_beside(const std::string& target, bool own, std::string& temp_name) override {
    OpenResult result;
    // Private while it is written where it is to take a file's place (it is
    // given that file's DACL when kept); one that takes a free name gets
    // the DACL the directory hands down, as any new file. A file for one of
    // the run's own names stays private for good: the name is not looked
    // at (what stands under it, a link too, is replaced by the rename and
    // gives the file nothing).
    const bool free_name = !own && GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES &&
                           GetLastError() == ERROR_FILE_NOT_FOUND;
    const TempFile temp = create_file_beside(target, free_name ? nullptr : private_security());
    if (temp.handle == INVALID_HANDLE_VALUE) {
      result.error = temp.error;
      return result;
    }
    if (temp.marked) marked_.push_back(temp.handle);
    beside_[temp.handle] = Beside{own, nullptr};
    temp_name = temp.name;
    result.error = OsError::none;
    result.handle = from_native(temp.handle);
    result.created = true;
    return result;
  }

  OsError keep_beside(FileHandle file, const std::string& temp_name,
                      const std::string& target) override {
    const HANDLE handle = to_native(file);
    watched_.erase(handle);
    const bool marked = forget_mark(handle);
    std::unique_ptr<SavedIdentity> identity;
    if (const auto found = beside_.find(handle); found != beside_.end()) {
      identity = std::move(found->second.identity);
      beside_.erase(found);
    }
    // From here to the rename the file has a name and no mark: a run killed
    // in this moment leaves it for remove_stale_files.
    if (marked && !mark_for_deletion(handle, false)) {
      const OsError e = last_error();
      discard_temp(handle, temp_name);
      return e;
    }
    // Renamed while open: it was opened sharing deletion, which lets it be.
    constexpr DWORD k_move = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExA(temp_name.c_str(), target.c_str(), k_move)) {
      // Through the handle, which holds WRITE_DAC from its open.
      if (identity != nullptr) (void)identity->give(handle);
      // The bytes were synced by the caller and the name is on the disk; a
      // failed close loses nothing.
      (void)CloseHandle(handle);
      return OsError::none;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION) {
      // A file system that renames no open file: once more, closed.
      FileId id;
      const bool known = file_id_of(handle, id);
      OsError e = OsError::none;
      if (!CloseHandle(handle)) {
        e = last_error();
      } else if (!MoveFileExA(temp_name.c_str(), target.c_str(), k_move)) {
        e = last_error();
      }
      if (e != OsError::none) {
        (void)DeleteFileA(temp_name.c_str());  // `target` is intact.
        return e;
      }
      if (identity != nullptr && known) identity->give_to_name(target, id);
      return OsError::none;
    }
    if (marked) (void)mark_for_deletion(handle, true);
    discard_temp(handle, temp_name);  // `target` is intact.
    return map_error(code);
  }

  void discard_beside(FileHandle file, const std::string& temp_name) override {
    (void)forget_mark(to_native(file));
    beside_.erase(to_native(file));
    watched_.erase(to_native(file));
    discard_temp(to_native(file), temp_name);
  }

  // The locks are named mutexes of the logon session's namespace, taken by
  // the thread that asks (the main one) and given back by it. Only runs of
  // this logon session can hold them: unlike a lock on the file itself, a
  // mere reader of a file or directory cannot, and runs of other sessions or
  // machines are not held back either. A mutex tells nothing of its holder,
  // so `holder` stays unknown.
  OsError lock_current_directory(int wait_ms, LockHolder& holder) override {
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

  void unlock_current_directory() override {
    if (!directory_locked_) return;
    // Owned by this thread, which took it: the release cannot fail.
    (void)ReleaseMutex(directory_lock_);
    directory_locked_ = false;
  }

  OsError lock_file(const std::string& name, int wait_ms, FileId& locked,
                    LockHolder& holder) override {
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

  void remove_stale_files(const std::string& name) override {
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
        remove_if_unused(directory + found.cFileName);
      }
    } while (++seen < k_max_stale_entries && FindNextFileA(search, &found));
    (void)FindClose(search);
  }

  OsError rename_no_replace(const std::string& from, const std::string& to) override {
    return MoveFileA(from.c_str(), to.c_str()) ? OsError::none : last_error();
  }

  OsError replace_name(const std::string& from, const std::string& to) override {
    // The DACL adopt_identity kept for the file under `from`, if it is that
    // file, is given once it is renamed; whatever happens, it is then spent.
    std::unique_ptr<SavedIdentity> identity = std::move(moved_identity_);
    FileId id;
    if (identity != nullptr && (!file_id_of_name(from, id) || id != moved_id_)) identity.reset();
    // A rename acts on the names themselves: a link under `to` is replaced,
    // not followed. WRITE_THROUGH: done when the rename is on the disk.
    if (!MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return last_error();
    }
    if (identity != nullptr) identity->give_to_name(to, id);
    return OsError::none;
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

  bool stdin_is_terminal() override {
    // A console answers for its mode; a file, a pipe or a device does not.
    DWORD mode = 0;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) != 0;
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

  std::unique_ptr<Worker> start_worker(WorkFunction work, void* context) override {
    auto worker = std::make_unique<ThreadWorker>(work, context);
    if (!worker->started()) return nullptr;
    return worker;
  }

  void exit_process(int status) override { ExitProcess(static_cast<UINT>(status)); }

 private:
  // Lets go of the mutex of lock_file, if any.
  void release_file_lock() {
    if (file_lock_ == nullptr) return;
    if (file_locked_) (void)ReleaseMutex(file_lock_);  // This thread's own.
    (void)CloseHandle(file_lock_);
    file_lock_ = nullptr;
    file_locked_ = false;
  }

  // Takes `handle` off the list of files marked for deletion; whether it was on it.
  bool forget_mark(HANDLE handle) {
    const auto found = std::find(marked_.begin(), marked_.end(), handle);
    if (found == marked_.end()) return false;
    marked_.erase(found);
    return true;
  }

  // Files of create_beside that carry the deletion mark, until kept or discarded.
  std::vector<HANDLE> marked_;
  // A file of create_beside, until kept or discarded: whether it is for one
  // of the run's own names, and what adopt_identity keeps to give it after
  // the rename (null until it is called).
  struct Beside {
    bool own = false;
    std::unique_ptr<SavedIdentity> identity;
  };
  std::map<HANDLE, Beside> beside_;
  // The same for the one other file last given an identity, to be renamed
  // by replace_name: its identity on its volume, and what it is to be given.
  FileId moved_id_;
  std::unique_ptr<SavedIdentity> moved_identity_;
  // The state of files given to watch_writes when it was called.
  std::map<HANDLE, FileState> watched_;
  HANDLE directory_lock_ = nullptr;  // the mutex of the current directory
  bool directory_locked_ = false;    // held by this run now
  HANDLE file_lock_ = nullptr;       // the mutex of the file of lock_file
  FileId file_lock_id_;              // that file's identity
  bool file_locked_ = false;
};

}  // namespace

Os& native_os(int /*argc*/, char** /*argv*/) {
  static Win32Os backend;
  return backend;
}
