// What the files of the POSIX backend share: error mapping, retried system
// calls, file states, and the places the run reaches its files through.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/os.h"
#include "runtime/trust_rules.h"

namespace posix {

OsError map_errno(int error);
/// map_errno of errno.
OsError last_error();

inline int to_fd(FileHandle file) { return static_cast<int>(file); }
/// A name of the open file `fd` itself, whatever its own name leads to.
inline std::string fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

/// The system call `call` made, and made again while it is interrupted.
template <typename Call>
auto retried(Call call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}
/// What a system call's result says: none unless it is negative.
inline OsError outcome(long result) { return result < 0 ? last_error() : OsError::none; }

/// openat, again after an interrupted call.
int open_at(int dir, const char* name, int flags, mode_t mode = 0);
/// Closes where a failed close loses nothing (the path fails already, or
/// the file was only read).
void close_quietly(int fd);
/// A descriptor closed quietly when it goes out of scope, unless released.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close_quietly(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  explicit operator bool() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};
/// The start of the small file `name` (a line of /proc), empty where it
/// cannot be read.
std::string read_small_file(const char* name);
OsError write_all(int fd, const char* data, std::size_t size);
OsError fsync_retry(int fd);
/// Makes a rename in the directory `dir` durable; a directory that cannot
/// be synced (some file systems refuse) changes nothing.
void sync_directory(int dir);

FileState state_of(const struct stat& st);
/// state_of with what this user may do to the entry `leaf` of `dir`.
FileState state_with_rights(const struct stat& st, int dir, const char* leaf);
/// A file whose permission bits let nobody write is read-only, also for
/// root: the Windows program refuses to write it even for an administrator.
inline bool nobody_may_write(const struct stat& st) { return (st.st_mode & 0222) == 0; }

// Places ----------------------------------------------------------------------

/// Where a name leads: a directory the backend holds open for the whole run
/// and an entry in it. Every act on a file goes through the two, never
/// through the path again, so that nobody who may change a directory on
/// the way can send a later act elsewhere.
struct Place {
  int dir = -1;      // held, never closed
  std::string leaf;  // one component, never "." or ".."
};

/// The place of `name`: its directories walked once (links followed by the
/// trust rule below), its last component as it stands, not followed.
OsError parent_place(const std::string& name, Place& place);
/// The place of the file `name` leads to: as parent_place, then links in
/// the last component followed by the same rule. A dangling link leads to
/// its destination, to be created. `text` (may be null) receives a name
/// that leads to the same place in later calls, without a walk.
OsError followed_place(const std::string& name, Place& place, std::string* text = nullptr);
/// The current directory, held from the first use on.
int current_directory();


// Temporary files ----------------------------------------------------------------


/// Removes the named temporary files of this process: for the stop
/// signals, async-signal-safe.
void remove_named_files();
/// The signals that stop a run, whose handler removes the named files.
inline constexpr int k_stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
/// Blocks the stop signals in this thread while it lives: while a named
/// file is made and noted, so that none is made that a stop would miss, and
/// while a worker thread starts, which keeps them blocked for good.
class StopSignalsHeld {
 public:
  StopSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : k_stop_signals) sigaddset(&set, signal_number);
    (void)::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~StopSignalsHeld() { (void)::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

/// Signals the tool ignores, and the stop signals' handler.
void install_stop_handlers();

// The backend ---------------------------------------------------------------------

/// The seam the tool talks to (see os.h for each call). Each call is defined
/// in the file of its concern: os_posix.cpp (reads and writes by handle, the
/// console), os_posix_files.cpp (opens, new files beside, renames, removals,
/// copies, states by name, the sweep), os_posix_identity.cpp,
/// os_posix_locks.cpp (locks, watches for writes), os_posix_process.cpp.
class PosixOs final : public Os {
 public:
  PosixOs(int argc, char** argv);

  ReadResult read_file(FileHandle file, char* buffer, std::size_t size) override;
  OsError write_file(FileHandle file, const char* data, std::size_t size) override;
  OsError truncate_file(FileHandle file) override;
  OsError close_file(FileHandle file) override;
  FileId file_id(FileHandle file) override;
  FileState file_state(FileHandle file) override;
  OsError sync_file(FileHandle file) override;
  OsError make_private(FileHandle file) override;
  OsError resolve_name(const std::string& name, std::string& target) override;
  OsError set_file_size(FileHandle file, std::uint64_t size) override;
  OsError write_stdout(const char* data, std::size_t size) override;
  OsError write_stderr(const char* data, std::size_t size) override;
  bool stdin_is_terminal() override;
  std::vector<std::string> arguments() override;
  void exit_process(int status) override;

  OpenResult open_file(const std::string& name, Access access, Create create) override;
  FileState path_state(const std::string& name) override;
  FileState name_state(const std::string& name) override;
  OsError remove_file(const std::string& name) override;
  OsError copy_data(FileHandle from, FileHandle to) override;
  OpenResult create_beside(const std::string& target, bool own, std::string& temp_name) override;
  OsError keep_beside(FileHandle file, const std::string& temp_name,
                      const std::string& target) override;
  void discard_beside(FileHandle file, const std::string& temp_name) override;
  OsError replace_name(const std::string& from, const std::string& to) override;
  OsError rename_no_replace(const std::string& from, const std::string& to) override;
  void remove_stale_files(const std::string& name, bool (*removable)(const FileState&)) override;

  OsError adopt_identity(FileHandle file, const std::string& of) override;

  OsError lock_current_directory(int wait_ms, LockHolder& holder) override;
  void unlock_current_directory() override;
  OsError lock_file(const std::string& name, int wait_ms, FileId& locked,
                    LockHolder& holder) override;
  void watch_writes(FileHandle file) override;
  Writers writers(FileHandle file) override;
  void wait_quiet(FileHandle file, int ms) override;

  std::unique_ptr<Worker> start_worker(WorkFunction work, void* context) override;
  bool read_stdin_line(std::string& line) override;
  void run_command(const std::string& command) override;

 private:
  /// The file `fd` is being closed: its watch goes.
  void forget_watch(int fd);

  std::vector<std::string> args_;
  // The locks a run holds: the current directory's and one plot file's, each
  // on a descriptor kept open until the process ends (a command run at the
  // pause does not inherit them).
  int locked_directory_ = -1;
  int locked_file_ = -1;
  FileId locked_file_id_;
  std::map<int, int> watches_;  // inotify instances, by the watched descriptor
  std::set<int> seen_writes_;
};

}  // namespace posix
