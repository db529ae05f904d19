// Win32 backend: the owners of files, the access lists and marks a new file
// takes over from the one whose place it takes, and what a file shows of
// itself.
#include "runtime/os_win32_private.h"

#include <aclapi.h>
#include <sddl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace win32 {

namespace {

// Whether the call `name` is there; `function` receives it.
template <typename Function>
bool look_up(HMODULE module, const char* name, Function& function) {
  // Through void (*)(): a cast between function types that says it is meant.
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  return function != nullptr;
}

// The security calls live in advapi32.dll. They are looked up at run time,
// from the system directory, so that the program imports from kernel32 and
// the C runtime alone (the Windows test script holds it to that). Every
// system that runs the program (it needs kernel32 calls of Vista) has them
// all; where one is missing none is used, and owners count as unknown.
// Looked up once, with what the process's token tells and the DACL it
// gives the run's own files, kept for the life of the process.
struct Security {
  Security() {
    const std::string system =
        filled<char>([](char* buffer, DWORD size) { return GetSystemDirectoryA(buffer, size); });
    const HMODULE module =
        system.empty() ? nullptr : LoadLibraryA((system + "\\advapi32.dll").c_str());
    decltype(&::OpenProcessToken) open_process_token = nullptr;
    decltype(&::GetTokenInformation) get_token_information = nullptr;
    decltype(&::DuplicateToken) duplicate_token = nullptr;
    decltype(&::ConvertSidToStringSidA) sid_to_text = nullptr;
    decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorA) descriptor_from_text =
        nullptr;
    all = module != nullptr && look_up(module, "GetSecurityInfo", get_security_info) &&
          look_up(module, "SetSecurityInfo", set_security_info) &&
          look_up(module, "EqualSid", equal_sid) &&
          look_up(module, "ConvertSidToStringSidA", sid_to_text) &&
          look_up(module, "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                  descriptor_from_text) &&
          look_up(module, "AccessCheck", access_check) &&
          look_up(module, "OpenProcessToken", open_process_token) &&
          look_up(module, "GetTokenInformation", get_token_information) &&
          look_up(module, "DuplicateToken", duplicate_token);
    HANDLE token = nullptr;
    if (!all || !open_process_token(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) {
      return;
    }
    const Handle held(token);  // Only asked and duplicated.
    DWORD size = 0;
    if (get_token_information(token, TokenUser, user_part.data(), sizeof user_part, &size)) {
      user = reinterpret_cast<TOKEN_USER*>(user_part.data())->User.Sid;
    }
    if (get_token_information(token, TokenOwner, owner_part.data(), sizeof owner_part, &size)) {
      owner = reinterpret_cast<TOKEN_OWNER*>(owner_part.data())->Owner;
    }
    if (!duplicate_token(token, SecurityImpersonation, &check)) check = nullptr;
    char* text = nullptr;
    if (user == nullptr || !sid_to_text(user, &text)) return;
    // P: the DACL is protected, nothing is inherited; FA: all file access.
    const std::string sddl = std::string("D:P(A;;FA;;;").append(text).append(")");
    (void)LocalFree(text);
    if (!descriptor_from_text(sddl.c_str(), SDDL_REVISION_1, &private_descriptor, nullptr)) {
      private_descriptor = nullptr;
    }
  }

  bool all = false;  // every call was found
  decltype(&::GetSecurityInfo) get_security_info = nullptr;
  decltype(&::SetSecurityInfo) set_security_info = nullptr;
  decltype(&::EqualSid) equal_sid = nullptr;
  decltype(&::AccessCheck) access_check = nullptr;
  // The user the process runs as and the owner its new files get: the same
  // SID, or for an elevated administrator the Administrators group. A file
  // owned by either is the user's own. Each lies inside the token's own
  // answer, a TOKEN_USER or TOKEN_OWNER with the SID it points to, which is
  // never longer than this; aligned for the pointer. Null where not read.
  using Part = std::array<std::uint64_t, (sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / 8 + 1>;
  Part user_part{};
  Part owner_part{};
  PSID user = nullptr;
  PSID owner = nullptr;
  // The token as an impersonation token, which is what AccessCheck takes.
  HANDLE check = nullptr;
  // That of private_security; null where it cannot be made.
  PSECURITY_DESCRIPTOR private_descriptor = nullptr;
};

// The calls and the token's facts; null where any call is missing.
const Security* security() {
  static const Security found;
  return found.all ? &found : nullptr;
}

// The marks a replaced file keeps.
constexpr DWORD k_kept_attributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Adds to the open file (which holds FILE_WRITE_ATTRIBUTES) the marks among
// `attributes`; false where they cannot be set.
bool give_marks(HANDLE handle, DWORD attributes) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  FILE_BASIC_INFO basic{};  // Times of 0 stay as they are.
  // NORMAL stands only alone.
  basic.FileAttributes =
      (info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_NORMAL}) | (attributes & k_kept_attributes);
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The flags of the open file's volume; where they cannot be had, those of
// a volume that keeps access lists and takes writes: the file's own access
// list is then asked.
DWORD volume_flags(HANDLE handle) {
  DWORD flags = 0;
  return GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)
             ? flags
             : DWORD{FILE_PERSISTENT_ACLS};
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
  const DWORD flags = volume_flags(handle);
  if ((flags & FILE_READ_ONLY_VOLUME) != 0) return false;
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return true;  // The mark says it all.
  const Security* calls = security();
  // Nothing to ask with: the write itself tells. Such a file has no known
  // owner either, so no new file takes its place.
  if (calls == nullptr || calls->check == nullptr) return true;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  constexpr SECURITY_INFORMATION k_asked =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  if (calls->get_security_info(handle, SE_FILE_OBJECT, k_asked, nullptr, nullptr, nullptr, nullptr,
                               &descriptor) != ERROR_SUCCESS) {
    return false;  // Opened without READ_CONTROL: not to be told, so not counted on.
  }
  const LocalMemory held(descriptor);
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  // Storage aligned for a PRIVILEGE_SET with a few privileges.
  std::array<std::uint64_t, 32> privileges{};
  DWORD privileges_size = sizeof privileges;
  DWORD granted = 0;
  BOOL allowed = FALSE;
  return calls->access_check(descriptor, calls->check, FILE_WRITE_DATA, &mapping,
                             reinterpret_cast<PPRIVILEGE_SET>(privileges.data()), &privileges_size,
                             &granted, &allowed) &&
         allowed;
}

}  // namespace

// The owner of the open file, which must have been opened with READ_CONTROL
// (GENERIC_READ and GENERIC_WRITE include it).
Owner owner_of(HANDLE handle) {
  const Security* calls = security();
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (calls != nullptr &&
      calls->get_security_info(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                               nullptr, nullptr, &descriptor) == ERROR_SUCCESS) {
    const LocalMemory held(descriptor);
    const auto is = [&](PSID sid) { return sid != nullptr && calls->equal_sid(owner, sid); };
    if (owner != nullptr) {
      return is(calls->user) || is(calls->owner) ? Owner::me : Owner::other;
    }
  }
  return (volume_flags(handle) & FILE_PERSISTENT_ACLS) != 0 ? Owner::other : Owner::none;
}

// For a file made for one of the run's own names: a DACL that lets the
// running user alone at it, not one inherited from a directory that others
// share. Null where it cannot be made; the file then gets the inherited one.
SECURITY_ATTRIBUTES* private_security() {
  // Made once, and kept for the life of the process.
  static SECURITY_ATTRIBUTES attributes{
      sizeof(SECURITY_ATTRIBUTES), security() != nullptr ? security()->private_descriptor : nullptr,
      FALSE};
  return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
}

OsError SavedIdentity::read(const std::string& target) {
  const Handle source(
      open_existing(target, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS));
  if (!valid(source)) return last_error();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(source.get(), &info)) return last_error();
  attributes = info.dwFileAttributes;
  if ((volume_flags(source.get()) & FILE_PERSISTENT_ACLS) == 0) return OsError::none;
  const Security* calls = security();
  PSECURITY_DESCRIPTOR read = nullptr;
  if (calls == nullptr ||
      calls->get_security_info(source.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                               nullptr, &dacl, nullptr, &read) != ERROR_SUCCESS) {
    return OsError::access_denied;
  }
  descriptor.reset(read);
  // The control bits lead a descriptor in either of its forms.
  protected_dacl =
      (static_cast<const SECURITY_DESCRIPTOR*>(read)->Control & SE_DACL_PROTECTED) != 0;
  return OsError::none;
}

bool SavedIdentity::give(HANDLE handle) const {
  if (descriptor == nullptr) return true;
  const SECURITY_INFORMATION which =
      DACL_SECURITY_INFORMATION | (protected_dacl ? PROTECTED_DACL_SECURITY_INFORMATION
                                                  : UNPROTECTED_DACL_SECURITY_INFORMATION);
  // Read only where the calls are there.
  return security()->set_security_info(handle, SE_FILE_OBJECT, which, nullptr, nullptr, dacl,
                                       nullptr) == ERROR_SUCCESS;
}

void SavedIdentity::give_to_name(const std::string& name, const FileId& id) const {
  if (descriptor == nullptr) return;
  // READ_CONTROL too: the inherited entries are worked out from what the
  // file has.
  const Handle handle(open_existing(name, WRITE_DAC | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_FLAG_OPEN_REPARSE_POINT));
  FileId there;
  if (valid(handle) && file_id_of(handle.get(), there) && there == id) (void)give(handle.get());
}

// Opens `name` only to ask about it: attributes and, where allowed, owner.
HANDLE open_to_ask(const std::string& name, DWORD flags) {
  const HANDLE handle = open_existing(name, FILE_READ_ATTRIBUTES | READ_CONTROL, flags);
  // The owner may not be read: the file counts as another's.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    return open_existing(name, FILE_READ_ATTRIBUTES, flags);
  }
  return handle;
}

FileState state_of(HANDLE handle) {
  FileState state;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return state;
  state.exists = true;
  state.id = id_of(info);
  state.size = join(info.nFileSizeHigh, info.nFileSizeLow);
  state.modified = static_cast<std::int64_t>(
      join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
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
  state.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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
  const Handle handle(open_to_ask(name, flags | FILE_FLAG_BACKUP_SEMANTICS));
  if (!valid(handle)) return {};
  FileState state = state_of(handle.get());
  if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0) state.link = false;
  return state;
}

FileState Win32Os::path_state(const std::string& name) {
  // Opened as CreateFileA opens it for reading, links followed; asking for
  // attributes and owner only, so that neither sharing nor a read-only
  // mark stands in the way.
  return state_of_name(name, 0);
}

FileState Win32Os::name_state(const std::string& name) {
  // Any reparse point under the name counts as a link: symbolic links and
  // junctions, and kinds this run cannot tell from them.
  return state_of_name(name, FILE_FLAG_OPEN_REPARSE_POINT);
}

OsError Win32Os::adopt_identity(FileHandle file, const std::string& of) {
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
  if ((identity->attributes & k_kept_attributes) != 0) {
    bool marked = false;
    if (beside != beside_.end()) {
      marked = give_marks(handle, identity->attributes);
    } else if (const Handle writer(ReOpenFile(handle, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                              k_share_all, 0));
               valid(writer)) {
      marked = give_marks(writer.get(), identity->attributes);
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
  if (!file_id_of(handle, moved_id_)) return OsError::access_denied;
  moved_identity_ = std::move(identity);
  return OsError::none;
}

}  // namespace win32
