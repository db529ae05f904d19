// Runs that take turns (advisory locks on the current directory and on the
// plot file, and who holds one), and watches on files for writes by others.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "runtime/os_posix_private.h"

namespace posix {

namespace {

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

std::string first_line(const std::string& name) {
  const int fd = open_at(AT_FDCWD, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[64];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  close_quietly(fd);
  std::string line(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  return line.substr(0, line.find('\n'));
}

// Who holds a lock on the open file `fd`, as the system's table of locks
// tells: the first holder (not a waiter) of a lock on the same file.
LockHolder holder_of(int fd) {
  LockHolder holder;
  struct stat st {};
  std::FILE* table = ::fstat(fd, &st) == 0 ? std::fopen("/proc/locks", "re") : nullptr;
  if (table == nullptr) return holder;
  char line[256];
  while (std::fgets(line, sizeof line, table) != nullptr) {
    char type[16];
    char mode[16];
    char access[16];
    long pid = 0;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    unsigned long long inode = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->".
    if (std::strstr(line, "->") != nullptr ||
        std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%llu", type, mode, access, &pid,
                    &major_number, &minor_number, &inode) != 7) {
      continue;
    }
    if (major_number != ::major(st.st_dev) || minor_number != ::minor(st.st_dev) ||
        inode != st.st_ino || pid <= 0) {
      continue;
    }
    holder.known = true;
    holder.process = pid;
    const std::string process = "/proc/" + std::to_string(pid);
    struct stat owner {};
    if (::stat(process.c_str(), &owner) == 0) holder.user = owner.st_uid;
    const std::string name = first_line(process + "/comm");
    holder.same_program = !name.empty() && name == first_line("/proc/self/comm");
    break;
  }
  std::fclose(table);
  return holder;
}

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

}  // namespace

OsError Locks::lock_directory(int wait_ms, LockHolder& holder) {
  if (directory_ < 0) {
    directory_ = open_at(current_directory(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_ < 0) return last_error();
  }
  const OsError e = lock_waiting(directory_, wait_ms);
  if (e == OsError::busy) holder = holder_of(directory_);
  if (e != OsError::none && e != OsError::busy) {
    close_quietly(directory_);
    directory_ = -1;
  }
  return e;
}

void Locks::unlock_directory() {
  if (directory_ >= 0) (void)::flock(directory_, LOCK_UN);
}

OsError Locks::lock_file(const std::string& name, int wait_ms, FileId& locked,
                         LockHolder& holder) {
  Place place;
  if (const OsError e = followed_place(name, place); e != OsError::none) return e;
  const int fd =
      open_at(place.dir, place.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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
  if (file_ >= 0 && id == file_id_) {
    close_quietly(fd);
    locked = id;
    return OsError::none;
  }
  if (const OsError e = lock_waiting(fd, wait_ms); e != OsError::none) {
    if (e == OsError::busy) holder = holder_of(fd);
    close_quietly(fd);
    return e;
  }
  if (file_ >= 0) close_quietly(file_);  // One plot file at a time.
  file_ = fd;
  file_id_ = id;
  locked = id;
  return OsError::none;
}

void Watches::watch(int fd) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0) return;  // written_elsewhere then settles and compares instead.
  // Through the descriptor: the file that was opened, whatever its name
  // leads to later.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::inotify_add_watch(watch, self.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE) < 0) {
    close_quietly(watch);
    return;
  }
  watches_[fd] = watch;
}

void Watches::forget(int fd) {
  if (const auto watch = watches_.find(fd); watch != watches_.end()) {
    close_watch(watch->second);
    watches_.erase(watch);
    seen_writes_.erase(fd);
  }
}

bool Watches::watched_write(int fd) {
  const auto found = watches_.find(fd);
  if (found == watches_.end()) return false;
  alignas(inotify_event) char events[4096];
  const ssize_t n = ::read(found->second, events, sizeof events);
  if (n > 0) seen_writes_.insert(fd);
  return seen_writes_.count(fd) != 0;
}

Writers Watches::writers(int fd) {
  if (watched_write(fd)) return Writers::some;
#ifdef F_SETLEASE
  // A read lease is refused while any process holds the file open for
  // writing. It is given back at once: only the answer is wanted.
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
    return Writers::none;
  }
  if (errno == EAGAIN || errno == EBUSY) return Writers::some;
#endif
  // No answer about holders: a file of another owner takes no lease from
  // this user, or the system has none.
  return Writers::unknown;
}

void wait_quiet(int fd, int ms) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  struct timespec now {};
  (void)::clock_gettime(CLOCK_REALTIME, &now);
  const FileState seen = state_of(st);
  const std::int64_t quiet_ns = static_cast<std::int64_t>(now.tv_sec) * 1000000000 +
                                now.tv_nsec - std::max(seen.modified, seen.changed);
  const std::int64_t wait = std::min(std::int64_t{ms} * 1000000, std::int64_t{ms} * 1000000 - quiet_ns);
  if (wait <= 0) return;
  const struct timespec pause {static_cast<time_t>(wait / 1000000000),
                               static_cast<long>(wait % 1000000000)};
  (void)::nanosleep(&pause, nullptr);
}

}  // namespace posix
