// Runs that take turns (advisory locks on the current directory and on the
// plot file, and who holds one), and watches on files for writes by others.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>
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

std::string first_line(const std::string& name) {
  const std::string text = read_small_file(name.c_str());
  return text.substr(0, text.find('\n'));
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
    long pid = 0;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    unsigned long long inode = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line has "->".
    if (std::strstr(line, "->") != nullptr ||
        std::sscanf(line, "%*d: %*s %*s %*s %ld %x:%x:%llu", &pid, &major_number, &minor_number,
                    &inode) != 4 ||
        major_number != ::major(st.st_dev) || minor_number != ::minor(st.st_dev) ||
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

// Takes the lock on `fd`, waiting up to `wait_ms` (negative: for ever);
// where another holds it still, who that is in `holder`.
OsError lock_waiting(int fd, int wait_ms, LockHolder& holder) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms < 0 ? 0 : wait_ms);
  for (;;) {
    if (::flock(fd, wait_ms < 0 ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return OsError::none;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || wait_ms < 0) return last_error();
    if (Clock::now() >= deadline) {
      holder = holder_of(fd);
      return OsError::busy;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

OsError PosixOs::lock_current_directory(int wait_ms, LockHolder& holder) {
  if (locked_directory_ < 0) {
    locked_directory_ = open_at(current_directory(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (locked_directory_ < 0) return last_error();
  }
  const OsError e = lock_waiting(locked_directory_, wait_ms, holder);
  if (e != OsError::none && e != OsError::busy) {
    close_quietly(locked_directory_);
    locked_directory_ = -1;
  }
  return e;
}

void PosixOs::unlock_current_directory() {
  if (locked_directory_ >= 0) (void)::flock(locked_directory_, LOCK_UN);
}

OsError PosixOs::lock_file(const std::string& name, int wait_ms, FileId& locked,
                           LockHolder& holder) {
  Place place;
  if (const OsError e = followed_place(name, place); e != OsError::none) return e;
  Fd fd(open_at(place.dir, place.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) return last_error();
  const FileId id = state_of(st).id;
  // Only a file not held already is locked: a second lock of this process
  // on the held one would wait for itself.
  if (locked_file_ < 0 || id != locked_file_id_) {
    if (const OsError e = lock_waiting(fd.get(), wait_ms, holder); e != OsError::none) return e;
    if (locked_file_ >= 0) close_quietly(locked_file_);  // One plot file at a time.
    locked_file_ = fd.release();
    locked_file_id_ = id;
  }
  locked = id;
  return OsError::none;
}

void PosixOs::watch_writes(FileHandle file) {
  // Without a watch, written_elsewhere settles and compares instead.
  Fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  // Through the descriptor: the file that was opened, whatever its name
  // leads to later.
  if (watch && ::inotify_add_watch(watch.get(), fd_path(to_fd(file)).c_str(),
                                   IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE) >= 0) {
    watches_[to_fd(file)] = watch.release();
  }
}

void PosixOs::forget_watch(int fd) {
  const auto found = watches_.find(fd);
  if (found == watches_.end()) return;
  // Closing an inotify instance, the system waits, asleep, for every reader
  // of its watch lists to be done, which may take milliseconds; a thread of
  // its own does that beside the run. Where no thread can be had, this one
  // closes it.
  const int watch = found->second;
  watches_.erase(found);
  seen_writes_.erase(fd);
  try {
    std::thread([watch] { close_quietly(watch); }).detach();
  } catch (const std::system_error&) {
    close_quietly(watch);
  }
}

Writers PosixOs::writers(FileHandle file) {
  const int fd = to_fd(file);
  if (const auto found = watches_.find(fd); found != watches_.end()) {
    alignas(inotify_event) char events[4096];
    const ssize_t n = ::read(found->second, events, sizeof events);
    if (n > 0) seen_writes_.insert(fd);
    if (seen_writes_.count(fd) != 0) return Writers::some;
  }
  // A read lease is refused while any process holds the file open for
  // writing. It is given back at once: only the answer is wanted.
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    (void)::fcntl(fd, F_SETLEASE, F_UNLCK);
    return Writers::none;
  }
  if (errno == EAGAIN || errno == EBUSY) return Writers::some;
  // No answer about holders: a file of another owner takes no lease from
  // this user, or the system has none.
  return Writers::unknown;
}

void PosixOs::wait_quiet(FileHandle file, int ms) {
  struct stat st {};
  if (::fstat(to_fd(file), &st) != 0) return;
  const FileState seen = state_of(st);
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::int64_t quiet_ns =
      std::chrono::nanoseconds(now).count() - std::max(seen.modified, seen.changed);
  const std::int64_t wait = std::min(std::int64_t{ms} * 1000000, std::int64_t{ms} * 1000000 - quiet_ns);
  if (wait <= 0) return;
  std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
}

}  // namespace posix
