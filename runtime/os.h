// The only door to the operating system: files, console streams, the command
// line, the command interpreter and process exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// What went wrong, already mapped from errno or GetLastError() by the backend.
enum class OsError {
  none,
  file_not_found,  // ENOENT, ERROR_FILE_NOT_FOUND
  path_not_found,  // ENOTDIR, ERROR_PATH_NOT_FOUND
  access_denied,   // EACCES, EPERM, a read-only file opened for writing, a directory
  write_protect,   // EROFS, ERROR_WRITE_PROTECT
  disk_full,       // ENOSPC, EDQUOT, EFBIG, ERROR_DISK_FULL
  io_error,        // EIO, a device that failed
  already_exists,  // an exclusive create found the name taken
  busy,            // a lock that another run holds, after the time given to wait
  changed,         // a name no longer leads to the file it was expected to
  other,
};

/// A file opened by the backend; k_no_file when none.
using FileHandle = std::int64_t;
inline constexpr FileHandle k_no_file = -1;

enum class Access { read, write };
/// `must_exist` opens an existing file only; `create_if_missing` creates an
/// empty file when the name is free (exclusively: a file that appears in the
/// meantime makes the open fail). Both follow links to the file they lead
/// to. `exact` opens the name itself, an existing file only: a link is
/// refused (access_denied), never followed, and a special file is never
/// waited on. `exact_private` is exact, or where nothing stands under the
/// name, creates a file there exclusively with permission bits for its
/// owner alone.
enum class Create { must_exist, create_if_missing, exact, exact_private };

struct OpenResult {
  OsError error = OsError::other;
  FileHandle handle = k_no_file;
  bool created = false;  // the open made a new, empty file
};

struct ReadResult {
  OsError error = OsError::none;
  std::size_t count = 0;  // 0 with no error: end of file
};

/// Identifies a file on its volume, whatever name reached it.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

/// What a file shows of itself: enough to tell whether it has changed since,
/// or whether a name now leads to another file.
struct FileState {
  bool exists = false;
  FileId id;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // time of the last write, in the backend's own units
  std::int64_t changed = 0;   // time of the last change of bytes or attributes,
                              // which no program can set back
  std::uint32_t links = 0;    // names the file has
  bool regular = false;       // a plain file: no device, pipe or directory
  bool link = false;          // the name itself is a symbolic link (name_state only)
  bool directory = false;     // a directory, which no file can replace
  bool mine = false;          // owned by the user the process runs as
  bool others_may_write = false;  // group or others have write permission
  bool writable = false;      // the running user may write it
  bool identity_givable = false;  // its owner and group are ones the running
                                  // user can give a new file
};

/// What the system tells of other writers of an open file.
enum class Writers { none, some, unknown };

/// Whether `now` is the very file `then` was, with the same bytes as far as
/// its size, last write and last change can tell (the change time catches
/// a rewrite whose time of last write was put back).
inline bool same_file_state(const FileState& now, const FileState& then) {
  return now.exists && then.exists && now.id == then.id && now.size == then.size &&
         now.modified == then.modified && now.changed == then.changed;
}

/// A thread beside the main one, and the one lock through which the two hand
/// each other work. Destroying it waits until its work has returned.
class Worker {
 public:
  virtual ~Worker() = default;
  /// Takes the lock, waiting while the other thread holds it.
  virtual void lock() = 0;
  virtual void unlock() = 0;
  /// Under the lock: gives it up until the other thread calls wake, then
  /// takes it again. May also return without a wake; callers test their
  /// condition again.
  virtual void wait() = 0;
  /// Wakes the threads waiting on this lock.
  virtual void wake() = 0;
};

/// Who holds a lock that a run waits for, as far as the system tells.
struct LockHolder {
  bool known = false;          // the rest says something
  std::int64_t process = 0;    // its process id
  std::int64_t user = -1;      // the user it runs as; -1 where not told
  bool same_program = false;   // a run of this tool
};

/// The work of a worker: runs once, on the worker's own thread.
using WorkFunction = void (*)(void* context, Worker& self);

/// Holds a worker's lock for a scope.
class WorkerLock {
 public:
  explicit WorkerLock(Worker& worker) : worker_(worker) { worker_.lock(); }
  ~WorkerLock() { worker_.unlock(); }
  WorkerLock(const WorkerLock&) = delete;
  WorkerLock& operator=(const WorkerLock&) = delete;

 private:
  Worker& worker_;
};

/// Everything feedfix asks of the operating system.
///
/// Names: the POSIX backend reaches each name once. It holds the current
/// directory from its start, walks a name's directories the first time the
/// name is used (following only links that the running user or the owner
/// of their directory made, and never passing from one ordinary user's
/// directory or link to someone else's), and from then on acts on that name
/// only through the directory it found; a name whose walk is refused fails
/// with access_denied. The Windows backend follows a link or junction only
/// where the running user owns it, and opens what it found without
/// following any that appeared since.
struct Os {
  virtual ~Os() = default;

  /// Opens `name` as raw bytes, positioned at its start, contents untouched.
  /// A directory, and for Access::write a file whose permissions grant no
  /// write access to anyone, fail with access_denied.
  virtual OpenResult open_file(const std::string& name, Access access, Create create) = 0;
  /// Reads up to `size` bytes at the current position.
  virtual ReadResult read_file(FileHandle file, char* buffer, std::size_t size) = 0;
  /// Writes all `size` bytes at the current position, or reports why not.
  virtual OsError write_file(FileHandle file, const char* data, std::size_t size) = 0;
  /// Cuts the file at its current position.
  virtual OsError truncate_file(FileHandle file) = 0;
  /// Closes the handle; the handle is gone whatever the result.
  virtual OsError close_file(FileHandle file) = 0;
  /// The identity of an open file; two handles on one file give equal ids.
  virtual FileId file_id(FileHandle file) = 0;
  /// The state of an open file (exists false when it cannot be had).
  virtual FileState file_state(FileHandle file) = 0;
  /// The state of the file `name` leads to, through symbolic links; exists
  /// false when there is none.
  virtual FileState path_state(const std::string& name) = 0;
  /// The state of the name itself: a symbolic link is not followed.
  virtual FileState name_state(const std::string& name) = 0;
  /// Starts watching the open file for writes by anyone, for writers; the
  /// watch lasts until the process ends.
  virtual void watch_writes(FileHandle file) = 0;
  /// Whether another program holds the open file open for writing now, or
  /// has written it since watch_writes (some); unknown where no write was
  /// seen and the system cannot tell about holders (a file of another owner).
  virtual Writers writers(FileHandle file) = 0;
  /// Waits until the open file has had no write or change for `ms`
  /// milliseconds by the system's clock (at most that long).
  virtual void wait_quiet(FileHandle file, int ms) = 0;
  /// Takes every permission of group and others from the open file, the
  /// owner's own stay (Windows: its files are made private already).
  virtual OsError make_private(FileHandle file) = 0;
  /// Makes the bytes written to the open file durable.
  virtual OsError sync_file(FileHandle file) = 0;
  /// Removes the named file. A missing file gives file_not_found, a directory
  /// access_denied; a symbolic link is removed itself, not what it leads to.
  virtual OsError remove_file(const std::string& name) = 0;
  /// Renames `from` to `to`; fails when `to` exists.
  virtual OsError rename_no_replace(const std::string& from, const std::string& to) = 0;
  /// Renames `from` over the name `to` itself, in one step and durably (the
  /// directories are synced): whatever `to` was (a link too) is replaced,
  /// never followed. A directory under `to` is refused.
  virtual OsError replace_name(const std::string& from, const std::string& to) = 0;
  /// Follows symbolic links from `name` to the name of the file they lead
  /// to (a dangling link: its destination; no link: `name` itself). A link
  /// that neither the running user nor the owner of the directory it stands
  /// in made is not followed: access_denied.
  virtual OsError resolve_name(const std::string& name, std::string& target) = 0;
  /// Sets the size of the open file, zeros filling what it gains; its
  /// position stays where it was.
  virtual OsError set_file_size(FileHandle file, std::uint64_t size) = 0;
  /// Copies the rest of `from`, from its position on, to `to` at its
  /// position, the kernel's way where there is one.
  virtual OsError copy_data(FileHandle from, FileHandle to) = 0;
  /// Gives the open file `file` the owner, group, permission bits and
  /// extended attributes, access lists among them, of the file `of`
  /// (Windows: its hidden, system and archive marks and its access list),
  /// so that nothing tells it from `of` rewritten. access_denied where any
  /// of them cannot be given.
  virtual OsError adopt_identity(FileHandle file, const std::string& of) = 0;

  /// Creates a new, private, empty file for writing in the directory of
  /// `target` (a name whose links are resolved already), to take its place
  /// through keep_beside or to go through discard_beside. `temp_name`
  /// receives the backend's own note of it, to be handed back; the file may
  /// have no name at all until it is kept, and one that is never kept does
  /// not outlive the process where the system allows it (Linux: no name;
  /// elsewhere a hidden name with a random part that a stop signal removes;
  /// Windows: the system's mark for deletion). `own`: the target is one of
  /// the run's own fixed names in the current directory, which is never
  /// followed as a link, and the file stays private when it is kept. A
  /// directory that takes no new file fails with access_denied.
  virtual OpenResult create_beside(const std::string& target, bool own,
                                   std::string& temp_name) = 0;
  /// Gives the file made by create_beside the name `target` in one step, a
  /// rename over it, and closes it. Synced by the caller first, the file
  /// then survives a power loss under that name whole. On failure the new
  /// file is gone and `target` as it was.
  virtual OsError keep_beside(FileHandle file, const std::string& temp_name,
                              const std::string& target) = 0;
  /// Closes and removes a file made by create_beside that is not wanted.
  virtual void discard_beside(FileHandle file, const std::string& temp_name) = 0;

  /// Waits up to `wait_ms` milliseconds (negative: for ever) until no other
  /// run holds the lock of the current directory, then holds it until the
  /// process ends, however it ends, or until unlock_current_directory; busy
  /// when the time ran out, with what the system tells of the holder in
  /// `holder`. Anything else: the file system offers no lock there, and the
  /// run goes on without one.
  virtual OsError lock_current_directory(int wait_ms, LockHolder& holder) = 0;
  /// Gives the lock of the current directory back, while the run waits for
  /// another lock.
  virtual void unlock_current_directory() = 0;
  /// Locks the file `name` leads to as lock_current_directory does (runs on
  /// one file take turns, from whatever directory), and gives its identity
  /// in `locked`. Never blocks on opening a special file.
  virtual OsError lock_file(const std::string& name, int wait_ms, FileId& locked,
                            LockHolder& holder) = 0;
  /// Removes the temporary files that runs which are gone left beside `name`
  /// in its directory (files of create_beside that were never committed):
  /// those of runs on this machine and in this process namespace whose
  /// process no longer exists, and of these only where `removable` says so
  /// of the file's state (not following a link). Anything that cannot be
  /// told so is left.
  virtual void remove_stale_files(const std::string& name,
                                  bool (*removable)(const FileState&)) = 0;

  /// Starts `work(context, worker)` on a thread of its own, which the stop
  /// signals never interrupt; nullptr where the system gives none, and the
  /// caller then does the work itself, one step after the other. The work
  /// may call read_file and write_file on files it alone uses meanwhile.
  virtual std::unique_ptr<Worker> start_worker(WorkFunction work, void* context) = 0;

  /// Writes raw bytes to standard output at once (no translation, no buffering).
  virtual OsError write_stdout(const char* data, std::size_t size) = 0;
  /// Writes raw bytes to standard error at once.
  virtual OsError write_stderr(const char* data, std::size_t size) = 0;
  /// Reads one line from standard input without its line end (LF, or CR LF);
  /// false at end of input with nothing read.
  virtual bool read_stdin_line(std::string& line) = 0;
  /// Whether standard input is a terminal (a console), where a person types.
  virtual bool stdin_is_terminal() = 0;
  /// Runs `command` through the command interpreter and waits for it; the
  /// result is ignored.
  virtual void run_command(const std::string& command) = 0;

  /// The process's arguments, the program's name first.
  virtual std::vector<std::string> arguments() = 0;
  /// Ends the process with `status`; the real backends never return.
  virtual void exit_process(int status) = 0;
};

/// The installed backend.
Os& os();
/// Installs `backend` (main() installs the real one, tests a fake).
void set_os(Os* backend);
/// The real backend of this platform. POSIX takes the arguments from argv;
/// Windows reads its own command line and ignores them.
Os& native_os(int argc, char** argv);
