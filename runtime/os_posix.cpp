// The POSIX backend of the operating-system seam on Linux: the class the
// tool talks to, handing each call to the file of its concern (places,
// files, identity, locks, process), and what those share.
#include "runtime/os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/os_posix_private.h"
#include "runtime/test_seam.h"

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

}  // namespace posix

namespace {

using namespace posix;

class PosixOs final : public Os {
 public:
  PosixOs(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) args_.emplace_back(argv[i]);
    install_stop_handlers();
    // The current directory is held from the start: the run's own files are
    // reached through it, whatever its name leads to later.
    (void)current_directory();
  }

  OpenResult open_file(const std::string& name, Access access, Create create) override {
    return open_plain(name, access, create);
  }

  ReadResult read_file(FileHandle file, char* buffer, std::size_t size) override {
    const ssize_t n = retried([&] { return ::read(to_fd(file), buffer, size); });
    if (n < 0) return ReadResult{last_error()};
    return ReadResult{OsError::none, static_cast<std::size_t>(n)};
  }

  OsError write_file(FileHandle file, const char* data, std::size_t size) override {
    return write_all(to_fd(file), data, size);
  }

  OsError truncate_file(FileHandle file) override {
    const off_t here = ::lseek(to_fd(file), 0, SEEK_CUR);
    if (here < 0) return last_error();
    return set_file_size(file, static_cast<std::uint64_t>(here));
  }

  OsError close_file(FileHandle file) override {
    watches_.forget(to_fd(file));
    // After EINTR the descriptor is gone on Linux; a retry could close
    // another file's, so EINTR counts as done.
    if (::close(to_fd(file)) != 0 && errno != EINTR) return last_error();
    return OsError::none;
  }

  FileId file_id(FileHandle file) override {
    struct stat st {};
    return ::fstat(to_fd(file), &st) == 0 ? state_of(st).id : FileId{};
  }

  FileState file_state(FileHandle file) override {
    struct stat st {};
    if (::fstat(to_fd(file), &st) != 0) return {};
    return state_with_rights(st, AT_FDCWD, fd_path(to_fd(file)).c_str());
  }

  FileState path_state(const std::string& name) override { return place_state(name, true); }
  FileState name_state(const std::string& name) override { return place_state(name, false); }

  void watch_writes(FileHandle file) override { watches_.watch(to_fd(file)); }
  Writers writers(FileHandle file) override { return watches_.writers(to_fd(file)); }
  void wait_quiet(FileHandle file, int ms) override { posix::wait_quiet(to_fd(file), ms); }

  OsError sync_file(FileHandle file) override { return fsync_retry(to_fd(file)); }
  OsError make_private(FileHandle file) override {
    struct stat st {};
    if (::fstat(to_fd(file), &st) != 0 || ::fchmod(to_fd(file), st.st_mode & 0700) != 0) {
      return last_error();
    }
    return OsError::none;
  }

  OsError remove_file(const std::string& name) override { return posix::remove_file(name); }

  OsError resolve_name(const std::string& name, std::string& target) override {
    Place place;
    return followed_place(name, place, &target);
  }

  OsError set_file_size(FileHandle file, std::uint64_t size) override {
    return outcome(retried([&] { return ::ftruncate(to_fd(file), static_cast<off_t>(size)); }));
  }

  OsError copy_data(FileHandle from, FileHandle to) override {
    struct stat st {};
    if (::fstat(to_fd(from), &st) != 0) return last_error();
    return copy_bytes(to_fd(from), to_fd(to), st.st_size);
  }

  OsError adopt_identity(FileHandle file, const std::string& of) override {
    Place place;
    if (const OsError e = followed_place(of, place); e != OsError::none) return e;
    return posix::adopt_identity(to_fd(file), place);
  }

  OpenResult create_beside(const std::string& target, bool own, std::string& temp_name) override {
    return posix::create_beside(target, own, temp_name);
  }

  OsError keep_beside(FileHandle file, const std::string& temp_name,
                      const std::string& target) override {
    return posix::keep_beside(to_fd(file), temp_name, target);
  }

  void discard_beside(FileHandle file, const std::string& temp_name) override {
    posix::discard_beside(to_fd(file), temp_name);
  }

  OsError lock_current_directory(int wait_ms, LockHolder& holder) override {
    return locks_.lock_directory(wait_ms, holder);
  }
  void unlock_current_directory() override { locks_.unlock_directory(); }
  OsError lock_file(const std::string& name, int wait_ms, FileId& locked,
                    LockHolder& holder) override {
    return locks_.lock_file(name, wait_ms, locked, holder);
  }

  void remove_stale_files(const std::string& name,
                          bool (*removable)(const FileState&)) override {
    posix::remove_stale_files(name, removable);
  }

  OsError rename_no_replace(const std::string& from, const std::string& to) override {
    return posix::rename_no_replace(from, to);
  }

  OsError replace_name(const std::string& from, const std::string& to) override {
    return posix::replace_name(from, to);
  }

  std::unique_ptr<Worker> start_worker(WorkFunction work, void* context) override {
    return start_thread_worker(work, context);
  }

  OsError write_stdout(const char* data, std::size_t size) override {
    return write_all(STDOUT_FILENO, data, size);
  }
  OsError write_stderr(const char* data, std::size_t size) override {
    return write_all(STDERR_FILENO, data, size);
  }
  bool read_stdin_line(std::string& line) override { return posix::read_stdin_line(line); }
  bool stdin_is_terminal() override { return ::isatty(STDIN_FILENO) == 1; }
  void run_command(const std::string& command) override { posix::run_command(command); }

  std::vector<std::string> arguments() override { return args_; }

  // All output goes out through write(2) at once, so nothing is left in a
  // buffer that exit() would flush.
  void exit_process(int status) override { ::_exit(status); }

 private:
  std::vector<std::string> args_;
  Locks locks_;
  Watches watches_;
};

}  // namespace

std::string posix_temp_site() { return posix::site_tag(); }

Os& native_os(int argc, char** argv) {
  static PosixOs backend(argc, argv);
  return backend;
}
