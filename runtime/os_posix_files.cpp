// Files through their places: opening, new files beside a target and their
// temporary names, renames and removals, copies, and the sweep of
// temporaries that runs which are gone left behind.
#include "runtime/os_posix_private.h"
#include "runtime/test_seam.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

namespace posix {

namespace {

// Named temporary files of this process, removed by the stop signals. A
// file made without a name needs none of this: it goes with the process.
constexpr std::size_t k_max_named = 4;
constexpr std::size_t k_max_leaf = 256;
struct Named {
  int dir;
  char leaf[k_max_leaf];
};
Named g_named[k_max_named];
volatile std::sig_atomic_t g_named_used[k_max_named];

// Notes the new file `leaf` of `dir` for removal at a stop; where it cannot
// be noted, removes it at once and answers false.
bool note_named(int dir, const std::string& leaf) {
  for (std::size_t i = 0; i < k_max_named && leaf.size() < k_max_leaf; ++i) {
    if (g_named_used[i] != 0) continue;
    g_named[i].dir = dir;
    std::memcpy(g_named[i].leaf, leaf.c_str(), leaf.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_named_used[i] = 1;
    return true;
  }
  (void)::unlinkat(dir, leaf.c_str(), 0);
  return false;
}

// Removes the named file `made` (where `remove`) and its note. A file
// without a name (an empty leaf) is gone with its handle.
void forget_named(const Place& made, bool remove) {
  if (made.leaf.empty()) return;
  if (remove) (void)::unlinkat(made.dir, made.leaf.c_str(), 0);
  for (std::size_t i = 0; i < k_max_named; ++i) {
    if (g_named_used[i] != 0 && g_named[i].dir == made.dir && made.leaf == g_named[i].leaf) {
      g_named_used[i] = 0;
    }
  }
}

// The temporary names: ".<name>.ffx<site>-<pid>-<random>", where <site>
// (8 hex digits) stands for this machine's boot and this process's
// namespace of process numbers, so that the sweep leaves the files of runs
// elsewhere alone, and <random> comes from the system's random source, so
// that nobody can take the name first.
constexpr char k_temp_marker[] = ".ffx";

// The site tag in this process's temporary names (empty where unknown).
const std::string& site_tag() {
  static const std::string tag = [] {
    const std::string boot = read_small_file("/proc/sys/kernel/random/boot_id");
    struct stat ns {};
    if (boot.empty() || ::stat("/proc/self/ns/pid", &ns) != 0) return std::string{};
    std::uint32_t hash = 2166136261u;  // FNV-1a
    const std::string key = boot + "/" + std::to_string(ns.st_dev) + ":" + std::to_string(ns.st_ino);
    for (const char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
    return std::string(hex);
  }();
  return tag;
}

// Whether `leaf` is a temporary name of a run of this machine and process
// namespace; its process id in `pid`.
bool temp_owner(const char* leaf, pid_t& pid) {
  if (leaf[0] != '.') return false;
  // The last marker counts: the name before it may hold one of its own.
  const char* found = nullptr;
  for (const char* m = std::strstr(leaf + 1, k_temp_marker); m != nullptr;
       m = std::strstr(m + 1, k_temp_marker)) {
    found = m;
  }
  if (found == nullptr || found == leaf + 1) return false;
  const char* p = found + std::strlen(k_temp_marker);
  const std::string& site = site_tag();
  if (site.empty() || std::strncmp(p, site.c_str(), site.size()) != 0) return false;
  p += site.size();
  if (*p++ != '-') return false;
  long number = 0;
  const char* digits = p;
  while (*p >= '0' && *p <= '9' && number < 100000000) number = number * 10 + (*p++ - '0');
  if (p == digits || *p != '-' || number <= 0) return false;
  const char* tail = ++p;
  while (std::isxdigit(static_cast<unsigned char>(*p)) != 0) ++p;
  if (p == tail || *p != '\0') return false;
  pid = static_cast<pid_t>(number);
  return true;
}

std::string random_part() {
  std::uint64_t value = 0;
  // getrandom never blocks once the system has booted; a short answer
  // leaves zeros, and the exclusive create then finds the name taken.
  (void)::getrandom(&value, sizeof value, 0);
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(value));
  return hex;
}

std::string temp_leaf(const std::string& target_leaf) {
  const std::string& site = site_tag();
  // The name must fit a directory entry; a long target name is cut.
  std::string leaf(1, '.');
  leaf.append(target_leaf, 0, 200);
  leaf.append(k_temp_marker);
  leaf.append(site.empty() ? std::string("00000000") : site);
  leaf.append(1, '-');
  leaf.append(std::to_string(::getpid()));
  leaf.append(1, '-');
  leaf.append(random_part());
  return leaf;
}

// Tries a few fresh names: a taken one is someone else's, never reused.
constexpr int k_name_tries = 8;

// Creates a new file for writing beside `target` under a fresh hidden name,
// noted for removal at a stop; -1 with errno set when none can be made.
int create_named(const Place& target, mode_t mode, std::string& leaf) {
  const StopSignalsHeld held;
  int fd = -1;
  for (int n = 0; fd < 0 && n < k_name_tries; ++n) {
    leaf = temp_leaf(target.leaf);
    fd = open_at(target.dir, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd >= 0 && !note_named(target.dir, leaf)) {
    close_quietly(fd);
    errno = ENOMEM;
    return -1;
  }
  return fd;
}

// Gives a file without a name a fresh hidden name beside `target`, noted
// for removal at a stop, so that it can be renamed.
OsError name_unnamed(int fd, const Place& target, std::string& leaf) {
  const std::string self = fd_path(fd);
  const StopSignalsHeld held;
  for (int n = 0; n < k_name_tries; ++n) {
    leaf = temp_leaf(target.leaf);
    int done = ::linkat(AT_FDCWD, self.c_str(), target.dir, leaf.c_str(), AT_SYMLINK_FOLLOW);
    if (done != 0 && errno == ENOENT) {
      // No /proc: the system's own way, where this user may use it.
      done = ::linkat(fd, "", target.dir, leaf.c_str(), AT_EMPTY_PATH);
    }
    if (done == 0) return note_named(target.dir, leaf) ? OsError::none : OsError::other;
    if (errno != EEXIST) return last_error();
  }
  return OsError::other;
}

// The backend's note of a file made beside a target: its directory and its
// name there, empty for a file without a name.
std::string note_of(int dir, const std::string& leaf) { return std::to_string(dir) + "/" + leaf; }

Place parse_note(const std::string& note) {
  const std::size_t slash = note.find('/');
  return Place{std::atoi(note.substr(0, slash).c_str()),
               slash == std::string::npos ? std::string() : note.substr(slash + 1)};
}

// Pipes and sockets block or never end; they are no files to read or write.
bool special_stream(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode); }

bool null_device(const struct stat& st) {
  return S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

// Whether a device has something to read at once. One that has not (a
// terminal nobody types at, a new pseudo-terminal) would keep the run
// waiting, and is refused; one that has keeps its reads from waiting.
bool readable_now(int fd) {
  struct pollfd ready {fd, POLLIN, 0};
  return ::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
}

// Opens are made without blocking (a pipe under a file's name would wait for
// a writer for ever); once the file is known to be a plain one (or the null
// device), reads and writes block as usual again.
void clear_nonblock(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Whether the name of `place` leads to the file `st` describes: after a
// rename, that it holds what was written, not what someone put there since.
bool leads_to(const Place& place, const struct stat& st) {
  struct stat now {};
  return ::fstatat(place.dir, place.leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

// The state of the entry `name` leads to: its last component followed
// (path_state) or not (name_state).
FileState place_state(const std::string& name, bool follow) {
  Place place;
  if ((follow ? followed_place(name, place) : parent_place(name, place)) != OsError::none) return {};
  struct stat st {};
  if (::fstatat(place.dir, place.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  return state_with_rights(st, place.dir, place.leaf.c_str());
}

}  // namespace

void remove_named_files() {
  for (std::size_t i = 0; i < k_max_named; ++i) {
    if (g_named_used[i] != 0) (void)::unlinkat(g_named[i].dir, g_named[i].leaf, 0);
  }
}

OpenResult PosixOs::open_file(const std::string& name, Access access, Create create) {
  const bool exact = create == Create::exact || create == Create::exact_private;
  Place place;
  const OsError reached = exact ? parent_place(name, place) : followed_place(name, place);
  if (reached != OsError::none) return OpenResult{reached};
  const int flags =
      O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | (access == Access::read ? O_RDONLY : O_WRONLY);
  bool created = false;
  int fd = open_at(place.dir, place.leaf.c_str(), flags);
  if (fd < 0 && errno == ENOENT && create != Create::must_exist && create != Create::exact) {
    const mode_t mode = create == Create::exact_private ? 0600 : 0666;
    fd = open_at(place.dir, place.leaf.c_str(), flags | O_CREAT | O_EXCL, mode);
    created = fd >= 0;
  }
  // The name itself is a link: refused, never followed.
  if (fd < 0 && exact && errno == ELOOP) return OpenResult{OsError::access_denied};
  if (fd < 0) return OpenResult{last_error()};
  Fd held(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return OpenResult{last_error()};
  const bool device = !S_ISREG(st.st_mode) && !null_device(st);
  if (S_ISDIR(st.st_mode) || special_stream(st) || (device && !readable_now(fd)) ||
      (access == Access::write && !created && nobody_may_write(st))) {
    return OpenResult{OsError::access_denied};
  }
  if (!device) clear_nonblock(fd);
  return OpenResult{OsError::none, held.release(), created};
}

OpenResult PosixOs::create_beside(const std::string& target, bool own, std::string& note) {
  Place place;
  if (const OsError e = parent_place(target, place); e != OsError::none) return OpenResult{e};
  // Private while it is written: a file it replaces gives it its own bits
  // when it is kept, and the run's own files stay private. One that takes
  // a free name gets the usual bits.
  struct stat st {};
  const mode_t mode =
      own || ::fstatat(place.dir, place.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0600 : 0666;
  std::string leaf;
  int fd = open_at(place.dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  // Only a file system without such files is passed over; a directory that
  // refuses new files refuses the named one as well.
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT)) {
    fd = create_named(place, mode, leaf);
  }
  if (fd < 0) return OpenResult{last_error()};
  note = note_of(place.dir, leaf);
  return OpenResult{OsError::none, fd, true};
}

OsError PosixOs::keep_beside(FileHandle file, const std::string& note,
                             const std::string& target) {
  Place made = parse_note(note);
  Place place;
  OsError e = parent_place(target, place);
  if (e == OsError::none && place.dir != made.dir) e = OsError::other;  // made for another place
  if (e == OsError::none && made.leaf.empty()) e = name_unnamed(to_fd(file), place, made.leaf);
  struct stat written {};
  if (e == OsError::none && ::fstat(to_fd(file), &written) != 0) e = last_error();
  if (::close(to_fd(file)) != 0 && errno != EINTR && e == OsError::none) e = last_error();
  if (e == OsError::none) {
    e = outcome(::renameat(made.dir, made.leaf.c_str(), made.dir, place.leaf.c_str()));
  }
  // Leave nothing behind; the target is untouched.
  forget_named(made, e != OsError::none);
  if (e != OsError::none) return e;
  sync_directory(made.dir);
  return leads_to(place, written) ? OsError::none : OsError::changed;
}

void PosixOs::discard_beside(FileHandle file, const std::string& note) {
  close_quietly(to_fd(file));
  forget_named(parse_note(note), true);
}

OsError PosixOs::replace_name(const std::string& from, const std::string& to) {
  Place source;
  Place target;
  if (const OsError e = parent_place(from, source); e != OsError::none) return e;
  if (const OsError e = parent_place(to, target); e != OsError::none) return e;
  // Only a name that nobody else can change between the caller's last look
  // (on its descriptor) and the rename is moved: a file in a directory that
  // the running user alone may write, or a sticky one, where only the file's
  // owner (the user, or the owner of the file it replaces, whose identity it
  // took) may move it. Anything else is copied by the caller instead.
  struct stat dir_st {};
  struct stat st {};
  if (::fstat(source.dir, &dir_st) != 0 ||
      ::fstatat(source.dir, source.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return last_error();
  }
  const bool only_mine = dir_st.st_uid == ::geteuid() && (dir_st.st_mode & 022) == 0;
  if (!S_ISREG(st.st_mode) || !(only_mine || (dir_st.st_mode & S_ISVTX) != 0)) {
    return OsError::other;
  }
  if (::renameat(source.dir, source.leaf.c_str(), target.dir, target.leaf.c_str()) != 0) {
    return last_error();
  }
  sync_directory(target.dir);
  if (source.dir != target.dir) sync_directory(source.dir);
  return leads_to(target, st) ? OsError::none : OsError::changed;
}

OsError PosixOs::rename_no_replace(const std::string& from, const std::string& to) {
  Place source;
  Place target;
  if (const OsError e = parent_place(from, source); e != OsError::none) return e;
  if (const OsError e = parent_place(to, target); e != OsError::none) return e;
  const char* from_leaf = source.leaf.c_str();
  const char* to_leaf = target.leaf.c_str();
  if (::renameat2(source.dir, from_leaf, target.dir, to_leaf, RENAME_NOREPLACE) == 0) {
    return OsError::none;
  }
  if (errno != EINVAL && errno != ENOSYS) return last_error();
  // Without an exclusive rename: a hard link fails when `to` exists.
  if (::linkat(source.dir, from_leaf, target.dir, to_leaf, 0) != 0) return last_error();
  if (::unlinkat(source.dir, from_leaf, 0) != 0) {
    const OsError e = last_error();
    (void)::unlinkat(target.dir, to_leaf, 0);  // Undo; `from` still holds the file.
    return e;
  }
  return OsError::none;
}

FileState PosixOs::path_state(const std::string& name) { return place_state(name, true); }

FileState PosixOs::name_state(const std::string& name) { return place_state(name, false); }

OsError PosixOs::remove_file(const std::string& name) {
  Place place;
  if (const OsError e = parent_place(name, place); e != OsError::none) return e;
  // unlink refuses a directory with EISDIR or EPERM: access_denied either way.
  return outcome(::unlinkat(place.dir, place.leaf.c_str(), 0));
}

// The kernel copy where it works, else read and write through a large buffer.
OsError PosixOs::copy_data(FileHandle source, FileHandle target) {
  const int from = to_fd(source);
  const int to = to_fd(target);
  struct stat st {};
  if (::fstat(from, &st) != 0) return last_error();
  for (bool copied_any = false;;) {
    const ssize_t n =
        retried([&] { return ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0); });
    copied_any = copied_any || n > 0;
    if (n > 0) continue;
    // Some file systems report 0 instead of copying; a file that has bytes
    // and gave none is copied by hand, as where the kernel copy is refused.
    if (n == 0 && (copied_any || st.st_size == 0)) return OsError::none;
    if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EBADF && errno != EPERM) {
      return last_error();
    }
    break;
  }
  // The kernel copy moves both file positions, so the copy by hand goes on
  // from wherever it stopped.
  constexpr std::size_t k_copy_buffer = 1 << 20;
  const auto buffer = std::make_unique_for_overwrite<char[]>(k_copy_buffer);
  for (;;) {
    const ssize_t n = retried([&] { return ::read(from, buffer.get(), k_copy_buffer); });
    if (n <= 0) return outcome(n);
    if (const OsError e = write_all(to, buffer.get(), static_cast<std::size_t>(n));
        e != OsError::none) {
      return e;
    }
  }
}

void PosixOs::remove_stale_files(const std::string& name, bool (*removable)(const FileState&)) {
  Place place;
  if (followed_place(name, place) != OsError::none) return;
  Fd listing(open_at(place.dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* dir = listing ? ::fdopendir(listing.get()) : nullptr;
  if (dir == nullptr) return;  // Nothing to tidy that can be seen.
  (void)listing.release();  // closedir closes it
  // A bounded look: a directory of many thousand names costs a run no more.
  constexpr int k_max_entries = 4096;
  std::vector<std::string> stale;
  int seen = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (++seen > k_max_entries) break;
    pid_t owner = 0;
    if (!temp_owner(entry->d_name, owner) || owner == ::getpid()) continue;
    // Only a process that no longer exists; one this user may not signal is alive.
    if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
    struct stat st {};
    if (::fstatat(place.dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        removable(state_of(st))) {
      stale.emplace_back(entry->d_name);
    }
  }
  ::closedir(dir);
  for (const std::string& leaf : stale) (void)::unlinkat(place.dir, leaf.c_str(), 0);
}

}  // namespace posix

std::string posix_temp_site() { return posix::site_tag(); }
