// The POSIX backend of the operating-system seam on Linux: the class the
// tool talks to, handing each call to the file of its concern (places,
// files, identity, locks, process), and what those share.
#include "runtime/os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/os_posix_private.h"

namespace posix {

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

int open_at(int dir, const char* name, int flags, mode_t mode) {
  return retried([&] { return ::openat(dir, name, flags, mode); });
}

void close_quietly(int fd) { (void)::close(fd); }

OsError write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = retried([&] { return ::write(fd, data, size); });
    if (n <= 0) return n < 0 ? last_error() : OsError::io_error;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return OsError::none;
}

OsError fsync_retry(int fd) {
  return outcome(retried([&] { return ::fsync(fd); }));
}

void sync_directory(int dir) {
  const Fd fd(open_at(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) (void)fsync_retry(fd.get());
}

std::string read_small_file(const char* name) {
  const Fd fd(open_at(AT_FDCWD, name, O_RDONLY | O_CLOEXEC));
  char buffer[128];
  const ssize_t n = fd ? ::read(fd.get(), buffer, sizeof buffer) : -1;
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

PosixOs::PosixOs(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) args_.emplace_back(argv[i]);
  install_stop_handlers();
  // The current directory is held from the start: the run's own files are
  // reached through it, whatever its name leads to later.
  (void)current_directory();
}

ReadResult PosixOs::read_file(FileHandle file, char* buffer, std::size_t size) {
  const ssize_t n = retried([&] { return ::read(to_fd(file), buffer, size); });
  if (n < 0) return ReadResult{last_error()};
  return ReadResult{OsError::none, static_cast<std::size_t>(n)};
}

OsError PosixOs::write_file(FileHandle file, const char* data, std::size_t size) {
  return write_all(to_fd(file), data, size);
}

OsError PosixOs::truncate_file(FileHandle file) {
  const off_t here = ::lseek(to_fd(file), 0, SEEK_CUR);
  if (here < 0) return last_error();
  return set_file_size(file, static_cast<std::uint64_t>(here));
}

OsError PosixOs::close_file(FileHandle file) {
  forget_watch(to_fd(file));
  // After EINTR the descriptor is gone on Linux; a retry could close
  // another file's, so EINTR counts as done.
  if (::close(to_fd(file)) != 0 && errno != EINTR) return last_error();
  return OsError::none;
}

FileId PosixOs::file_id(FileHandle file) {
  struct stat st {};
  return ::fstat(to_fd(file), &st) == 0 ? state_of(st).id : FileId{};
}

FileState PosixOs::file_state(FileHandle file) {
  struct stat st {};
  if (::fstat(to_fd(file), &st) != 0) return {};
  return state_with_rights(st, AT_FDCWD, fd_path(to_fd(file)).c_str());
}

OsError PosixOs::sync_file(FileHandle file) { return fsync_retry(to_fd(file)); }

OsError PosixOs::make_private(FileHandle file) {
  struct stat st {};
  if (::fstat(to_fd(file), &st) != 0) return last_error();
  return outcome(::fchmod(to_fd(file), st.st_mode & 0700));
}

OsError PosixOs::resolve_name(const std::string& name, std::string& target) {
  Place place;
  return followed_place(name, place, &target);
}

OsError PosixOs::set_file_size(FileHandle file, std::uint64_t size) {
  return outcome(retried([&] { return ::ftruncate(to_fd(file), static_cast<off_t>(size)); }));
}

OsError PosixOs::write_stdout(const char* data, std::size_t size) {
  return write_all(STDOUT_FILENO, data, size);
}

OsError PosixOs::write_stderr(const char* data, std::size_t size) {
  return write_all(STDERR_FILENO, data, size);
}

bool PosixOs::stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

std::vector<std::string> PosixOs::arguments() { return args_; }

// All output goes out through write(2) at once, so nothing is left in a
// buffer that exit() would flush.
void PosixOs::exit_process(int status) { ::_exit(status); }

}  // namespace posix

Os& native_os(int argc, char** argv) {
  static posix::PosixOs backend(argc, argv);
  return backend;
}
