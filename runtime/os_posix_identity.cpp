// Owners, permission bits and extended attributes: what a file shows of
// itself, and what a new file is given of the file whose place it takes.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/os_posix_private.h"

namespace posix {

namespace {

// Names of the extended attributes of the open file `fd`; false when they
// cannot be listed.
bool list_attributes(int fd, std::vector<std::string>& names) {
  names.clear();
  ssize_t size = ::flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP;  // None on this file system: nothing to copy.
  std::string list(static_cast<std::size_t>(size), '\0');
  if (size > 0) {
    size = ::flistxattr(fd, list.data(), list.size());
    if (size < 0) return false;
  }
  for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
    const std::size_t end = list.find('\0', at);
    if (end == std::string::npos) break;
    if (end > at) names.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

// Gives the new file `fd` the extended attributes of the open file `of`
// (its access control list among them) and drops any it has of its own
// (such as one inherited from the directory's default list).
OsError copy_attributes(int fd, int of) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!list_attributes(of, wanted) || !list_attributes(fd, present)) return OsError::access_denied;
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(fd, name.c_str()) != 0 && errno != ENODATA) {
      return OsError::access_denied;
    }
  }
  for (const std::string& name : wanted) {
    const ssize_t size = ::fgetxattr(of, name.c_str(), nullptr, 0);
    if (size < 0) return OsError::access_denied;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(of, name.c_str(), value.data(), value.size());
    if (got < 0) return OsError::access_denied;
    if (::fsetxattr(fd, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      return OsError::access_denied;
    }
  }
  return OsError::none;
}

// Whether this user can give a new file the owner and group of `st`.
bool can_give_owner(const struct stat& st) {
  if (::geteuid() == 0) return true;
  if (st.st_uid != ::geteuid()) return false;
  if (st.st_gid == ::getegid()) return true;
  gid_t groups[256];
  const int n = ::getgroups(256, groups);
  return std::find(groups, groups + (n > 0 ? n : 0), st.st_gid) != groups + (n > 0 ? n : 0);
}

}  // namespace

FileState state_of(const struct stat& st) {
  FileState state;
  state.exists = true;
  state.id = FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  state.size = static_cast<std::uint64_t>(st.st_size);
  state.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  state.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  state.links = static_cast<std::uint32_t>(st.st_nlink);
  state.regular = S_ISREG(st.st_mode);
  state.link = S_ISLNK(st.st_mode);
  state.directory = S_ISDIR(st.st_mode);
  state.mine = st.st_uid == ::geteuid();
  state.others_may_write = (st.st_mode & 022) != 0;
  return state;
}

FileState state_with_rights(const struct stat& st, int dir, const char* leaf) {
  FileState state = state_of(st);
  // A link is never written through: only a file is writable.
  state.writable = !S_ISLNK(st.st_mode) && !nobody_may_write(st) &&
                   ::faccessat(dir, leaf, W_OK, AT_EACCESS) == 0;
  state.identity_givable = can_give_owner(st);
  return state;
}

OsError PosixOs::adopt_identity(FileHandle file, const std::string& of) {
  Place place;
  if (const OsError e = followed_place(of, place); e != OsError::none) return e;
  // Taken from the file itself, opened once through the held directory:
  // never from whatever a name leads to a moment later.
  const Fd source(
      open_at(place.dir, place.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!source) return errno == ENOENT ? OsError::file_not_found : OsError::access_denied;
  struct stat st {};
  if (::fstat(source.get(), &st) != 0) return last_error();
  if (!S_ISREG(st.st_mode)) return OsError::access_denied;
  // Owner and group first: a change of owner may clear set-id bits.
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(to_fd(file), st.st_uid, st.st_gid) != 0) {
    return errno == EPERM ? OsError::access_denied : last_error();
  }
  if (::fchmod(to_fd(file), st.st_mode & 07777) != 0) return last_error();
  return copy_attributes(to_fd(file), source.get());
}

}  // namespace posix
