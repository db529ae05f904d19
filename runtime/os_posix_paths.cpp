// Reaching a file by its path once: each component walked from a held
// directory with nothing followed by the system, links read and followed by
// the trust rule, and the last directory held for the rest of the run.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <utility>

#include "runtime/os_posix_private.h"

namespace posix {

namespace {

// Links followed in one walk at the most, as the system itself allows.
constexpr int k_max_links = 40;

// Walks already made, by the name given and by whether the last component
// is followed. The directories they hold stay open until the process ends.
std::map<std::pair<std::string, bool>, Place>& walks() {
  static std::map<std::pair<std::string, bool>, Place> made;
  return made;
}

int open_directory(int dir, const char* name) {
  return open_at(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::deque<std::string> components(const std::string& path) {
  std::deque<std::string> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t slash = std::min(path.find('/', at), path.size());
    if (slash > at) parts.emplace_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

// The walk itself. `dir` is where it stands (owned by the walk: closed when
// left, unless it is the held current directory) and `from` the owner of
// what it passed last.
class Walk {
 public:
  ~Walk() { leave(); }
  Walk() = default;
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  OsError run(const std::string& path, bool follow_last, Place& place) {
    self_ = ::geteuid();
    // A name that ends in a slash names a directory, which is no file.
    if (path.ends_with('/')) return OsError::path_not_found;
    std::deque<std::string> rest = components(path);
    if (const OsError e = enter(path.starts_with('/') ? open_directory(AT_FDCWD, "/")
                                                      : current_directory(),
                                /*checked_from=*/false);
        e != OsError::none) {
      return e;
    }
    if (rest.empty()) return OsError::file_not_found;  // "" or "/": no file
    int links = 0;
    while (!rest.empty()) {
      std::string name = std::move(rest.front());
      rest.pop_front();
      if (name == ".") continue;
      const bool last = rest.empty();
      if (name == "..") {
        if (const OsError e = enter(open_directory(dir_, ".."), true); e != OsError::none) return e;
        if (last) return OsError::access_denied;  // a directory is no file
        continue;
      }
      struct stat st {};
      if (::fstatat(dir_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || !last) return last_error();
        return hold(std::move(name), place);  // a free name, to be created
      }
      if (!safe_transition(from_, st.st_uid, self_)) return OsError::access_denied;
      if (S_ISLNK(st.st_mode) && (!last || follow_last)) {
        if (!link_trusted(st.st_uid == self_, st.st_uid == dir_owner_)) return OsError::access_denied;
        if (++links > k_max_links) return OsError::access_denied;
        std::string target;
        if (const OsError e = read_link(name, st, target); e != OsError::none) return e;
        std::deque<std::string> more = components(target);
        rest.insert(rest.begin(), more.begin(), more.end());
        from_ = st.st_uid;
        if (target.starts_with('/')) {
          if (const OsError e = enter(open_directory(AT_FDCWD, "/"), true); e != OsError::none) {
            return e;
          }
        }
        if (rest.empty()) return OsError::file_not_found;  // a link to "/"
        continue;
      }
      if (last) return hold(std::move(name), place);
      if (!S_ISDIR(st.st_mode)) return OsError::path_not_found;
      if (const OsError e = enter(open_directory(dir_, name.c_str()), false); e != OsError::none) {
        return e;
      }
      // What was opened is what was looked at, or the walk ends.
      struct stat now {};
      if (::fstat(dir_, &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
        return OsError::changed;
      }
    }
    return OsError::file_not_found;
  }

 private:
  // Stands in the directory `fd` from now on; `check`: the step into it is
  // judged by the trust rule (a step into a looked-at entry was judged
  // already).
  OsError enter(int fd, bool check) {
    if (fd < 0) return last_error();
    leave();
    dir_ = fd;
    struct stat st {};
    if (::fstat(dir_, &st) != 0) return last_error();
    dir_owner_ = st.st_uid;
    if (check && !safe_transition(from_, dir_owner_, self_)) return OsError::access_denied;
    from_ = dir_owner_;
    return OsError::none;
  }

  void leave() {
    if (dir_ >= 0 && dir_ != current_directory()) close_quietly(dir_);
    dir_ = -1;
  }

  OsError hold(std::string leaf, Place& place) {
    place.dir = dir_;
    place.leaf = std::move(leaf);
    dir_ = -1;  // Held from now on, by the place.
    return OsError::none;
  }

  OsError read_link(const std::string& name, const struct stat& st, std::string& target) const {
    target.assign(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlinkat(dir_, name.c_str(), target.data(), target.size());
    if (n < 0) return last_error();
    if (static_cast<std::size_t>(n) >= target.size()) return OsError::changed;
    target.resize(static_cast<std::size_t>(n));
    return target.empty() ? OsError::file_not_found : OsError::none;
  }

  int dir_ = -1;
  uid_t dir_owner_ = 0;
  uid_t from_ = 0;
  uid_t self_ = 0;
};

OsError walk(const std::string& name, bool follow_last, Place& place) {
  const auto key = std::make_pair(name, follow_last);
  if (const auto found = walks().find(key); found != walks().end()) {
    place = found->second;
    return OsError::none;
  }
  // A bare name stands in the current directory: nothing to walk.
  if (!follow_last && name.find('/') == std::string::npos && name != "." && name != ".." &&
      !name.empty()) {
    place = Place{current_directory(), name};
  } else {
    if (const OsError e = Walk().run(name, follow_last, place); e != OsError::none) return e;
  }
  walks().emplace(key, place);
  return OsError::none;
}

}  // namespace

int current_directory() {
  static const int held = open_at(AT_FDCWD, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return held;
}

OsError parent_place(const std::string& name, Place& place) { return walk(name, false, place); }

OsError followed_place(const std::string& name, Place& place, std::string* text) {
  if (const OsError e = walk(name, true, place); e != OsError::none) return e;
  if (text != nullptr) {
    // A name of the held directory itself, which later calls take to the
    // place without a walk (and which the system would also lead there).
    *text = fd_path(place.dir) + "/" + place.leaf;
    walks().insert_or_assign(std::make_pair(*text, true), place);
    walks().insert_or_assign(std::make_pair(*text, false), place);
  }
  return OsError::none;
}


}  // namespace posix
