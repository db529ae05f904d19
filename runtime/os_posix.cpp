// The POSIX backend of the operating-system seam: files, console streams,
// the command interpreter and process exit on Linux and other POSIX systems.
#include "runtime/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

std::unique_ptr<Worker> start_thread_worker(WorkFunction work, void* context);

namespace {

OsError map_errno(int error) {
  switch (error) {
    case 0:
      return OsError::none;
    case ENOENT:
      return OsError::file_not_found;
    case ENOTDIR:
      return OsError::path_not_found;
    case EACCES:
    case EPERM:
    case EISDIR:  // A directory is refused like a file without access.
    case ELOOP:   // A link where none may be followed.
    case ENXIO:   // A pipe or socket that nobody reads.
      return OsError::access_denied;
    case EROFS:
      return OsError::write_protect;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return OsError::disk_full;
    case EIO:
      return OsError::io_error;
    case EEXIST:
    case ENOTEMPTY:  // a rename over a directory that holds files
      return OsError::already_exists;
    case EWOULDBLOCK:
      return OsError::busy;
    default:
      return OsError::other;
  }
}

OsError last_error() { return map_errno(errno); }

int to_fd(FileHandle file) { return static_cast<int>(file); }

// A file whose permission bits let nobody write is read-only. Root may write
// it all the same, but the Windows build refuses to write a read-only file
// even for an administrator, so this build refuses too and the tool behaves
// the same on both.
bool nobody_may_write(const struct stat& st) { return (st.st_mode & 0222) == 0; }

int open_retry(const char* name, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void close_quietly(int fd) {
  // Used on paths that already fail or that lose nothing by a failed close.
  (void)::close(fd);
}

OsError write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (n == 0) return OsError::io_error;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return OsError::none;
}

OsError fsync_retry(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return last_error();
  }
  return OsError::none;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A symbolic link is followed only where the running user or the owner of
// the directory it stands in made it: in a directory that others may write,
// a link of theirs must not lead this run's reads and writes to a file of
// its choosing. (Linux applies the same rule to links in sticky directories.)
bool link_trusted(const std::string& link, const struct stat& link_st) {
  if (link_st.st_uid == ::geteuid()) return true;
  struct stat dir_st {};
  return ::stat(directory_of(link).c_str(), &dir_st) == 0 && dir_st.st_uid == link_st.st_uid;
}

// Follows symbolic links from `path` to the name whose file is to be
// replaced, so that a link stays a link and its file gets the new bytes. A
// dangling link resolves to its destination, which is then created. A link
// that is not trusted ends it with access_denied.
OsError resolve_links(const std::string& path, std::string& resolved) {
  resolved = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(resolved.c_str(), &st) != 0) {
      if (errno == ENOENT) return OsError::none;
      return last_error();
    }
    if (!S_ISLNK(st.st_mode)) return OsError::none;
    if (!link_trusted(resolved, st)) return OsError::access_denied;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(resolved.c_str(), target.data(), target.size());
    if (n < 0) return last_error();
    if (static_cast<std::size_t>(n) >= target.size()) return OsError::other;  // changed meanwhile
    target.resize(static_cast<std::size_t>(n));
    if (target.empty()) return OsError::file_not_found;
    resolved = target.front() == '/' ? target : directory_of(resolved) + "/" + target;
  }
  return OsError::other;  // a loop of links
}

// Copies the rest of `from` into `to`: the kernel copy where it works, else
// read and write through a large buffer.
OsError copy_bytes(int from, int to, off_t size_hint) {
  bool kernel_copy = true;
  bool copied_any = false;
  while (kernel_copy) {
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (n > 0) {
      copied_any = true;
      continue;
    }
    if (n == 0) {
      // Some file systems report 0 instead of copying; a file that has
      // bytes and gave none is copied by hand.
      if (copied_any || size_hint == 0) return OsError::none;
      kernel_copy = false;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
        errno != EBADF && errno != EPERM) {
      return last_error();
    }
    kernel_copy = false;
  }
  // The kernel copy moves both file positions, so the copy by hand goes on
  // from wherever it stopped.
  constexpr std::size_t k_copy_buffer = 1 << 20;
  const auto buffer = std::make_unique_for_overwrite<char[]>(k_copy_buffer);
  for (;;) {
    const ssize_t n = ::read(from, buffer.get(), k_copy_buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (n == 0) return OsError::none;
    if (const OsError e = write_all(to, buffer.get(), static_cast<std::size_t>(n));
        e != OsError::none) {
      return e;
    }
  }
}

// Makes a rename in `directory` durable. The rename is done already, so a
// directory that cannot be synced (some file systems refuse) changes nothing.
void sync_directory(const std::string& directory) {
  const int dir = open_retry(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync_retry(dir);
    close_quietly(dir);
  }
}

// Named temporary files of this process, removed by the stop signals. A
// file made without a name needs none of this: it goes with the process.
constexpr std::size_t k_max_named = 4;
constexpr std::size_t k_max_temp_path = 4096;
char g_named[k_max_named][k_max_temp_path];
volatile std::sig_atomic_t g_named_used[k_max_named];

// Notes `name` for removal at a stop; false when it cannot be noted.
bool note_named(const std::string& name) {
  if (name.size() >= k_max_temp_path) return false;
  for (std::size_t i = 0; i < k_max_named; ++i) {
    if (g_named_used[i] != 0) continue;
    std::memcpy(g_named[i], name.c_str(), name.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_named_used[i] = 1;
    return true;
  }
  return false;
}

void forget_named(const std::string& name) {
  for (std::size_t i = 0; i < k_max_named; ++i) {
    if (g_named_used[i] != 0 && name == g_named[i]) g_named_used[i] = 0;
  }
}

// SIGINT, SIGTERM, SIGHUP: the named temporary files go, then the signal
// ends the process as it would have without the handler.
extern "C" void on_stop_signal(int signal_number) {
  const int saved = errno;
  for (std::size_t i = 0; i < k_max_named; ++i) {
    if (g_named_used[i] != 0) (void)::unlink(g_named[i]);
  }
  errno = saved;
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

constexpr int k_stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

void install_stop_handlers() {
  for (const int signal_number : k_stop_signals) {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int other : k_stop_signals) sigaddset(&action.sa_mask, other);
    // A stop signal that was ignored when the tool started stays ignored.
    struct sigaction previous {};
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      continue;
    }
    (void)::sigaction(signal_number, &action, nullptr);
  }
}

// Blocks the stop signals while a named file is made and noted, so that
// none is made that a stop would miss.
class StopSignalsHeld {
 public:
  StopSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : k_stop_signals) sigaddset(&set, signal_number);
    (void)::sigprocmask(SIG_BLOCK, &set, &previous_);
  }
  ~StopSignalsHeld() { (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Closes an inotify instance. The system then waits, asleep, for every
// reader of its watch lists to be done, which may take milliseconds; a
// thread of its own does that beside the run. Where no thread can be had,
// the caller closes it.
void close_watch(int watch) {
  try {
    std::thread([watch] { close_quietly(watch); }).detach();
  } catch (const std::system_error&) {
    close_quietly(watch);
  }
}

// A worker on a thread of the standard library. The stop signals are held
// while the thread starts, so that it begins, and stays, with them blocked:
// they reach the main thread, whose handler removes the named files.
class ThreadWorker final : public Worker {
 public:
  ThreadWorker(WorkFunction work, void* context) {
    sigset_t stops;
    sigset_t previous;
    sigemptyset(&stops);
    for (const int signal_number : k_stop_signals) sigaddset(&stops, signal_number);
    (void)::pthread_sigmask(SIG_BLOCK, &stops, &previous);
    thread_ = std::thread([this, work, context] { work(context, *this); });
    (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~ThreadWorker() override { thread_.join(); }
  ThreadWorker(const ThreadWorker&) = delete;
  ThreadWorker& operator=(const ThreadWorker&) = delete;

  void lock() override { mutex_.lock(); }
  void unlock() override { mutex_.unlock(); }
  void wait() override {
    std::unique_lock held(mutex_, std::adopt_lock);
    changed_.wait(held);
    (void)held.release();  // The caller still holds the lock.
  }
  void wake() override { changed_.notify_all(); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;  // last: it starts once the lock is there
};

// The hidden names of temporary files: ".<name>.ffx<site>-<pid>-<n>", where
// <site> (8 hex digits) stands for this machine's boot and this process's
// namespace of process numbers. A process number means something only
// there: the sweep leaves the files of runs elsewhere (another machine on a
// shared directory, another container) alone.
constexpr char k_temp_marker[] = ".ffx";

std::string read_small_file(const char* name) {
  const int fd = open_retry(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[128];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  close_quietly(fd);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string{};
}

// The site of this process; empty where it cannot be told, and then the
// sweep removes nothing.
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

std::string temp_prefix(const std::string& target) {
  // The temporary name must fit a directory entry; a long target name is cut.
  const std::string& site = site_tag();
  return directory_of(target) + "/." + base_of(target).substr(0, 200) + k_temp_marker +
         (site.empty() ? std::string("00000000") : site) + "-" + std::to_string(::getpid()) + "-";
}

// Creates a new file for writing beside `target` under a hidden name that no
// other file has, noted for removal at a stop; -1 with errno set when none
// can be made.
int create_named_beside(const std::string& target, mode_t mode, std::string& temp) {
  const std::string prefix = temp_prefix(target);
  StopSignalsHeld held;
  int fd = -1;
  for (int n = 0; fd < 0 && n < 1000; ++n) {
    temp = prefix + std::to_string(n);
    fd = open_retry(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd >= 0 && !note_named(temp)) {
    const int error = ENOMEM;
    (void)::unlink(temp.c_str());
    close_quietly(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Creates a new file for writing beside `target`: one without a name where
// the file system allows it (it then vanishes with the process unless it is
// committed), else a named one. `temp` is empty for a file without a name.
int create_beside_target(const std::string& target, mode_t mode, std::string& temp) {
  temp.clear();
#ifdef O_TMPFILE
  const int fd = open_retry(directory_of(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd >= 0) return fd;
  // Only a file system without such files is passed over; a directory that
  // refuses new files refuses the named one as well.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return -1;
#endif
  return create_named_beside(target, mode, temp);
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


// Names of the extended attributes of `path` (links followed), or of the
// open file `fd` where path is null; false when they cannot be listed.
bool list_attributes(const char* path, int fd, std::vector<std::string>& names) {
  names.clear();
  ssize_t size = path != nullptr ? ::listxattr(path, nullptr, 0) : ::flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP;  // None on this file system: nothing to copy.
  std::string list(static_cast<std::size_t>(size), '\0');
  if (size > 0) {
    size = path != nullptr ? ::listxattr(path, list.data(), list.size())
                           : ::flistxattr(fd, list.data(), list.size());
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

// Gives the new file open on `fd` the extended attributes of `target`
// (its access control list among them) and drops any it has of its own
// (such as one inherited from the directory's default list).
OsError copy_attributes(int fd, const std::string& target) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!list_attributes(target.c_str(), -1, wanted) || !list_attributes(nullptr, fd, present)) {
    return OsError::access_denied;
  }
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(fd, name.c_str()) != 0 && errno != ENODATA) {
      return OsError::access_denied;
    }
  }
  for (const std::string& name : wanted) {
    const ssize_t size = ::getxattr(target.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) return OsError::access_denied;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::getxattr(target.c_str(), name.c_str(), value.data(), value.size());
    if (got < 0) return OsError::access_denied;
    if (::fsetxattr(fd, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      return OsError::access_denied;
    }
  }
  return OsError::none;
}

// Gives the file open on `fd` the owner, group, permission bits and extended
// attributes of the file `target` (state `target_st`), so that nothing tells
// it from the old file rewritten; access_denied where any of them cannot be
// given, and the caller then writes the old file in place.
OsError adopt_identity_of(int fd, const std::string& target, const struct stat& target_st) {
  // Owner and group first: a change of owner may clear set-id bits.
  if ((target_st.st_uid != ::geteuid() || target_st.st_gid != ::getegid()) &&
      ::fchown(fd, target_st.st_uid, target_st.st_gid) != 0) {
    return errno == EPERM ? OsError::access_denied : last_error();
  }
  if (::fchmod(fd, target_st.st_mode & 07777) != 0) return last_error();
  return copy_attributes(fd, target);
}

// Gives a file without a name the hidden temporary name, noted for removal
// at a stop, so that it can be renamed.
OsError name_unnamed(int fd, const std::string& target, std::string& temp) {
  const std::string prefix = temp_prefix(target);
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  StopSignalsHeld held;
  for (int n = 0; n < 1000; ++n) {
    temp = prefix + std::to_string(n);
    int done = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW);
    if (done != 0 && errno == ENOENT) {
      // No /proc: the system's own way, where this user may use it.
      done = ::linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH);
    }
    if (done == 0) {
      if (note_named(temp)) return OsError::none;
      (void)::unlink(temp.c_str());
      return OsError::other;
    }
    if (errno != EEXIST) return last_error();
  }
  return OsError::other;
}

// Gives the file open on `fd` (made by create_beside_target for `target`,
// named `temp` or without a name) the name `target` and closes it.
OsError keep_file(int fd, std::string temp, const std::string& target) {
  OsError e = OsError::none;
  if (temp.empty()) e = name_unnamed(fd, target, temp);
  if (::close(fd) != 0 && errno != EINTR && e == OsError::none) e = last_error();
  if (e == OsError::none && ::rename(temp.c_str(), target.c_str()) != 0) e = last_error();
  if (e != OsError::none && !temp.empty()) {
    (void)::unlink(temp.c_str());  // Leave nothing behind; the target is untouched.
  }
  if (!temp.empty()) forget_named(temp);
  if (e == OsError::none) sync_directory(directory_of(target));
  return e;
}

void discard_file(int fd, const std::string& temp) {
  close_quietly(fd);
  if (temp.empty()) return;  // Without a name it is gone with its handle.
  (void)::unlink(temp.c_str());
  forget_named(temp);
}

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
  state.mine = st.st_uid == ::geteuid();
  state.others_may_write = (st.st_mode & 022) != 0;
  return state;
}

// state_of with what this user may do to the file `path` names.
FileState state_with_rights(const struct stat& st, const std::string& path) {
  FileState state = state_of(st);
  state.writable =
      !nobody_may_write(st) && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  state.identity_givable = can_give_owner(st);
  return state;
}

// A file of the run's own under a fixed name: the running user's regular
// file with one name, which nobody else may write.
bool own_private_file(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1 &&
         (st.st_mode & 022) == 0;
}

// Pipes and sockets block or never end; they are no files to read or write.
bool special_stream(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode); }

// Opens are made without blocking (a pipe under a file's name would wait for
// a writer for ever); once the file is known to be none, reads and writes
// block as usual again.
void clear_nonblock(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Takes the lock on `fd`, waiting up to `wait_ms` (negative: for ever).
OsError lock_waiting(int fd, int wait_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms < 0 ? 0 : wait_ms);
  for (;;) {
    if (::flock(fd, wait_ms < 0 ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return OsError::none;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || wait_ms < 0) return last_error();
    if (Clock::now() >= deadline) return OsError::busy;
    const struct timespec pause {0, 20 * 1000 * 1000};
    (void)::nanosleep(&pause, nullptr);
  }
}

// Whether the process `pid` is gone. One that this user may not signal is
// alive; only a missing process counts as gone.
bool process_gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// The process id in a temporary name ".<name>.ffx<site>-<pid>-<n>" of this
// site; 0 when `entry` is no such name, or one of a run elsewhere.
pid_t temp_owner(const char* entry) {
  if (entry[0] != '.') return 0;
  const char* marker = std::strstr(entry + 1, k_temp_marker);
  const char* found = nullptr;
  // The last marker counts: the name before it may hold one of its own.
  while (marker != nullptr) {
    found = marker;
    marker = std::strstr(marker + 1, k_temp_marker);
  }
  if (found == nullptr || found == entry + 1) return 0;
  const char* p = found + std::strlen(k_temp_marker);
  const std::string& site = site_tag();
  if (site.empty() || std::strncmp(p, site.c_str(), site.size()) != 0) return 0;
  p += site.size();
  if (*p++ != '-') return 0;
  long pid = 0;
  const char* digits = p;
  while (*p >= '0' && *p <= '9' && pid < 100000000) pid = pid * 10 + (*p++ - '0');
  if (p == digits || *p != '-' || pid <= 0) return 0;
  const char* serial = ++p;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == serial || *p != '\0') return 0;
  return static_cast<pid_t>(pid);
}

pid_t spawn(const char* program, const char* const* argv, int& error) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The tool ignores these two signals for itself; the command gets the
  // usual behaviour back.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigaddset(&defaults, SIGIO);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  error =
      ::posix_spawnp(&pid, program, nullptr, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

class PosixOs final : public Os {
 public:
  PosixOs(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) args_.emplace_back(argv[i]);
    // A write past the file-size limit then fails with EFBIG (reported as a
    // full disk) instead of killing the process, and a closed pipe on the
    // console is a failed write, not a silent death.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    // A writer opening the plot file while written_elsewhere holds its brief
    // lease makes the system send SIGIO, which must not end the run.
    ::signal(SIGIO, SIG_IGN);
    install_stop_handlers();
  }

  OpenResult open_file(const std::string& name, Access access, Create create) override {
    if (create == Create::own_file) return open_own(name, access);
    OpenResult result;
    // The name's links are followed here, by the rule for trusted links;
    // the file they lead to is opened without following any more.
    std::string target;
    if (const OsError e = resolve_links(name, target); e != OsError::none) {
      result.error = e;
      return result;
    }
    const int flags = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW |
                      (access == Access::read ? O_RDONLY : O_WRONLY);
    int fd = open_retry(target.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create != Create::must_exist) {
      fd = open_retry(target.c_str(), flags | O_CREAT | O_EXCL, 0666);
      result.created = fd >= 0;
    }
    if (fd < 0) {
      result.error = last_error();
      return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      result.error = last_error();
      close_quietly(fd);
      return result;
    }
    if (S_ISDIR(st.st_mode) || special_stream(st) ||
        (access == Access::write && !result.created && nobody_may_write(st))) {
      result.error = OsError::access_denied;
      close_quietly(fd);
      return result;
    }
    clear_nonblock(fd);
    result.error = OsError::none;
    result.handle = fd;
    return result;
  }

  ReadResult read_file(FileHandle file, char* buffer, std::size_t size) override {
    ReadResult result;
    for (;;) {
      const ssize_t n = ::read(to_fd(file), buffer, size);
      if (n >= 0) {
        result.count = static_cast<std::size_t>(n);
        return result;
      }
      if (errno != EINTR) {
        result.error = last_error();
        return result;
      }
    }
  }

  OsError write_file(FileHandle file, const char* data, std::size_t size) override {
    return write_all(to_fd(file), data, size);
  }

  OsError truncate_file(FileHandle file) override {
    const off_t here = ::lseek(to_fd(file), 0, SEEK_CUR);
    if (here < 0) return last_error();
    while (::ftruncate(to_fd(file), here) != 0) {
      if (errno != EINTR) return last_error();
    }
    return OsError::none;
  }

  OsError close_file(FileHandle file) override {
    if (const auto watch = watches_.find(to_fd(file)); watch != watches_.end()) {
      close_watch(watch->second);
      watches_.erase(watch);
      seen_writes_.erase(to_fd(file));
    }
    // After EINTR the descriptor is gone on Linux; a retry could close
    // another file's, so EINTR counts as done.
    if (::close(to_fd(file)) != 0 && errno != EINTR) return last_error();
    return OsError::none;
  }

  FileId file_id(FileHandle file) override {
    struct stat st {};
    if (::fstat(to_fd(file), &st) != 0) return {};
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  }

  FileState file_state(FileHandle file) override {
    struct stat st {};
    if (::fstat(to_fd(file), &st) != 0) return {};
    return state_with_rights(st, "/proc/self/fd/" + std::to_string(to_fd(file)));
  }

  FileState path_state(const std::string& name) override {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return {};
    return state_with_rights(st, name);
  }

  FileState name_state(const std::string& name) override {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) return {};
    return state_with_rights(st, name);
  }

  void watch_writes(FileHandle file) override {
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0) return;  // written_elsewhere then settles and compares instead.
    // Through the descriptor: the file that was opened, whatever its name
    // leads to later.
    const std::string self = "/proc/self/fd/" + std::to_string(to_fd(file));
    if (::inotify_add_watch(watch, self.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE) < 0) {
      close_quietly(watch);
      return;
    }
    watches_[to_fd(file)] = watch;
  }

  bool written_elsewhere(FileHandle file) override {
    const int fd = to_fd(file);
    if (watched_write(fd)) return true;
#ifdef F_SETLEASE
    // A read lease is refused while any process holds the file open for
    // writing. It is given back at once: only the answer is wanted.
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
      (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
      return false;
    }
    if (errno == EAGAIN || errno == EBUSY) return true;
#endif
    // No answer about holders (a file of another owner takes no lease from
    // this user, or the system has none): a file written within the last
    // two seconds is given that long to settle, and any write meanwhile,
    // seen by the watch or in the file's state, counts.
    struct stat before {};
    if (::fstat(fd, &before) != 0) return true;
    struct timespec now {};
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t now_ns = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    const FileState seen = state_of(before);
    const std::int64_t newest = std::max(seen.modified, seen.changed);
    constexpr std::int64_t k_settle_ns = 2000000000;
    if (now_ns - newest < k_settle_ns) {
      const std::int64_t wait = std::min(k_settle_ns, k_settle_ns - (now_ns - newest));
      const struct timespec pause {static_cast<time_t>(wait / 1000000000),
                                   static_cast<long>(wait % 1000000000)};
      (void)::nanosleep(&pause, nullptr);
    }
    struct stat after {};
    if (::fstat(fd, &after) != 0) return true;
    return watched_write(fd) || !same_file_state(state_of(after), seen);
  }

  OsError sync_file(FileHandle file) override { return fsync_retry(to_fd(file)); }

  OsError remove_file(const std::string& name) override {
    // unlink refuses a directory with EISDIR or EPERM: access_denied either way.
    if (::unlink(name.c_str()) != 0) return last_error();
    return OsError::none;
  }

  OsError resolve_name(const std::string& name, std::string& target) override {
    return resolve_links(name, target);
  }

  OsError set_file_size(FileHandle file, std::uint64_t size) override {
    while (::ftruncate(to_fd(file), static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) return last_error();
    }
    return OsError::none;
  }

  OsError copy_data(FileHandle from, FileHandle to) override {
    struct stat st {};
    if (::fstat(to_fd(from), &st) != 0) return last_error();
    return copy_bytes(to_fd(from), to_fd(to), st.st_size);
  }

  OsError adopt_identity(FileHandle file, const std::string& of) override {
    struct stat st {};
    if (::stat(of.c_str(), &st) != 0) return last_error();
    return adopt_identity_of(to_fd(file), of, st);
  }

  OpenResult create_beside(const std::string& target, bool /*own*/,
                           std::string& temp_name) override {
    OpenResult result;
    // Private while it is written: a file it replaces gives it its own bits
    // when it is kept. One that takes a free name gets the usual bits.
    struct stat target_st {};
    const mode_t mode = ::stat(target.c_str(), &target_st) == 0 ? 0600 : 0666;
    const int fd = create_beside_target(target, mode, temp_name);
    if (fd < 0) {
      result.error = last_error();
      return result;
    }
    result.error = OsError::none;
    result.handle = fd;
    result.created = true;
    return result;
  }

  OsError keep_beside(FileHandle file, const std::string& temp_name,
                      const std::string& target) override {
    return keep_file(to_fd(file), temp_name, target);
  }

  void discard_beside(FileHandle file, const std::string& temp_name) override {
    discard_file(to_fd(file), temp_name);
  }

  OsError lock_current_directory(int wait_ms, LockHolder& /*holder*/) override {
    if (directory_lock_ < 0) {
      directory_lock_ = open_retry(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (directory_lock_ < 0) return last_error();
    }
    // The lock goes with the descriptor, which stays open until the process
    // ends, however it ends; a command run at the pause does not inherit it.
    const OsError e = lock_waiting(directory_lock_, wait_ms);
    if (e != OsError::none && e != OsError::busy) {
      close_quietly(directory_lock_);
      directory_lock_ = -1;
    }
    return e;
  }

  void unlock_current_directory() override {
    if (directory_lock_ >= 0) (void)::flock(directory_lock_, LOCK_UN);
  }

  OsError lock_file(const std::string& name, int wait_ms, FileId& locked,
                    LockHolder& /*holder*/) override {
    std::string target;
    if (const OsError e = resolve_links(name, target); e != OsError::none) return e;
    const int fd = open_retry(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return last_error();
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      const OsError e = last_error();
      close_quietly(fd);
      return e;
    }
    const FileId id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    // The file held already: a second lock of this process on it would wait
    // for itself.
    if (file_lock_ >= 0 && id == file_lock_id_) {
      close_quietly(fd);
      locked = id;
      return OsError::none;
    }
    if (const OsError e = lock_waiting(fd, wait_ms); e != OsError::none) {
      close_quietly(fd);
      return e;
    }
    if (file_lock_ >= 0) close_quietly(file_lock_);  // One plot file at a time.
    file_lock_ = fd;
    file_lock_id_ = id;
    locked = id;
    return OsError::none;
  }

  void remove_stale_files(const std::string& name) override {
    std::string target;
    if (resolve_links(name, target) != OsError::none) return;
    const std::string directory = directory_of(target);
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return;  // Nothing to tidy that can be seen.
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
      const pid_t owner = temp_owner(entry->d_name);
      if (owner <= 0 || owner == ::getpid() || !process_gone(owner)) continue;
      // Only the running user's own files: never another user's, whatever
      // its name says.
      struct stat st {};
      const std::string path = directory + "/" + entry->d_name;
      if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
        stale.push_back(path);
      }
    }
    ::closedir(dir);
    for (const std::string& path : stale) (void)::unlink(path.c_str());
  }

  OsError rename_no_replace(const std::string& from, const std::string& to) override {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return OsError::none;
    }
    if (errno != EINVAL && errno != ENOSYS) return last_error();
#endif
    // Without an exclusive rename: a hard link fails when `to` exists.
    if (::link(from.c_str(), to.c_str()) != 0) return last_error();
    if (::unlink(from.c_str()) != 0) {
      const OsError e = last_error();
      (void)::unlink(to.c_str());  // Undo; `from` still holds the file.
      return e;
    }
    return OsError::none;
  }

  OsError replace_name(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
    sync_directory(directory_of(to));
    if (directory_of(from) != directory_of(to)) sync_directory(directory_of(from));
    return OsError::none;
  }

  OsError write_stdout(const char* data, std::size_t size) override {
    return write_all(STDOUT_FILENO, data, size);
  }

  OsError write_stderr(const char* data, std::size_t size) override {
    return write_all(STDERR_FILENO, data, size);
  }

  bool read_stdin_line(std::string& line) override {
    // One byte at a time: standard input is shared with the command run at
    // the pause, which must find everything after the answer unread.
    line.clear();
    bool got_any = false;
    for (;;) {
      char c = 0;
      const ssize_t n = ::read(STDIN_FILENO, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return got_any;  // A read error ends the input like its end.
      got_any = true;
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // CR LF
        return true;
      }
      line.push_back(c);
    }
  }

  bool stdin_is_terminal() override { return ::isatty(STDIN_FILENO) == 1; }

  void run_command(const std::string& command) override {
    int error = 0;
    pid_t pid = -1;
    const char* comspec = std::getenv("COMSPEC");
    if (comspec != nullptr && *comspec != '\0') {
      const char* const argv[] = {comspec, "/c", command.c_str(), nullptr};
      pid = spawn(comspec, argv, error);
    }
    if (pid < 0 && (comspec == nullptr || *comspec == '\0' || error == ENOENT || error == EACCES)) {
      const char* const argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
      pid = spawn("/bin/sh", argv, error);
    }
    if (pid < 0) return;  // Nothing could be started; the run goes on.
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  std::unique_ptr<Worker> start_worker(WorkFunction work, void* context) override {
    return start_thread_worker(work, context);
  }

  std::vector<std::string> arguments() override { return args_; }

  // All output goes out through write(2) at once, so nothing is left in a
  // buffer that exit() would flush.
  void exit_process(int status) override { ::_exit(status); }

 private:
  OpenResult open_own(const std::string& name, Access access) {
    OpenResult result;
    const int flags = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW |
                      (access == Access::read ? O_RDONLY : O_WRONLY);
    int fd = open_retry(name.c_str(), flags);
    const int open_error = errno;
    if (fd >= 0) {
      struct stat st {};
      if (::fstat(fd, &st) == 0 && own_private_file(st)) {
        clear_nonblock(fd);
        // Private from now on, whatever bits an older file had.
        if (access == Access::write) (void)::fchmod(fd, st.st_mode & 0700);
        result.error = OsError::none;
        result.handle = fd;
        return result;
      }
      close_quietly(fd);
    }
    if (access == Access::read) {
      result.error = fd < 0 && open_error == ENOENT ? OsError::file_not_found
                                                    : OsError::access_denied;
      return result;
    }
    if (fd < 0 && open_error == ENOENT) {
      fd = open_retry(name.c_str(), flags | O_CREAT | O_EXCL, 0600);
      if (fd >= 0) {
        clear_nonblock(fd);
        result.error = OsError::none;
        result.handle = fd;
        result.created = true;
        return result;
      }
      if (errno != EEXIST) {
        result.error = last_error();
        return result;
      }
    }
    // Something that is not the run's own stands under the name: a new file
    // takes its place by a rename over the name itself, which replaces a
    // link and never writes through it.
    std::string temp;
    fd = create_named_beside(name, 0600, temp);
    if (fd < 0) {
      result.error = last_error();
      return result;
    }
    if (::rename(temp.c_str(), name.c_str()) != 0) {
      result.error = last_error();
      (void)::unlink(temp.c_str());
      forget_named(temp);
      close_quietly(fd);
      return result;
    }
    forget_named(temp);
    result.error = OsError::none;
    result.handle = fd;
    result.created = true;
    return result;
  }

  // Whether the watch on `fd` has seen a write since it began.
  bool watched_write(int fd) {
    const auto found = watches_.find(fd);
    if (found == watches_.end()) return false;
    alignas(inotify_event) char events[4096];
    const ssize_t n = ::read(found->second, events, sizeof events);
    if (n > 0) seen_writes_.insert(fd);
    return seen_writes_.count(fd) != 0;
  }

  std::vector<std::string> args_;
  int directory_lock_ = -1;
  int file_lock_ = -1;
  FileId file_lock_id_;
  std::set<int> seen_writes_;
  // inotify instances watching open files for writes, by descriptor.
  std::map<int, int> watches_;
};

}  // namespace

// For the backend's tests: the site tag in this process's temporary names.
std::string posix_temp_site() { return site_tag(); }

// For the test double of the system, which runs its workers as this backend
// does.
std::unique_ptr<Worker> start_thread_worker(WorkFunction work, void* context) {
  // A thread that cannot be had (no memory, a process limit) leaves the work
  // to the caller.
  try {
    return std::make_unique<ThreadWorker>(work, context);
  } catch (const std::system_error&) {
    return nullptr;
  }
}

Os& native_os(int argc, char** argv) {
  static PosixOs backend(argc, argv);
  return backend;
}
