// An in-memory operating system for tests: files, console streams, scripted
// standard input, a call log and a plan of failures to inject.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/os.h"

/// Thrown by FakeOs when a planned stop (a kill) ends the process.
struct StopSignal {};

/// Thrown by FakeOs::exit_process so that a test regains control.
struct ProcessExit {
  int status = 0;
  friend bool operator==(const ProcessExit&, const ProcessExit&) = default;
};

struct FakeOs : Os {
  // Visible state.
  std::map<std::string, std::string> files;   // name -> content
  std::set<std::string> read_only;            // names refused for writing
  std::set<std::string> directories;          // names that are directories
  std::string out;                            // bytes written to standard output
  std::string out_tried;                      // bytes handed to it, refused ones too
  std::string err;                            // bytes written to standard error
  std::deque<std::string> stdin_lines;        // answers, without line ends
  bool stdin_terminal = true;                  // a person types them
  std::vector<std::string> commands;          // commands run at the pause
  std::vector<std::string> args{"feedfix"};   // the process's arguments
  std::vector<std::string> calls;             // "<operation> <name>" per fallible call
  /// Largest number of bytes one read returns (to test short reads).
  std::size_t read_chunk = static_cast<std::size_t>(-1);
  /// The directory takes no new file: creating one fails with access_denied.
  bool no_new_files = false;
  /// A planned write failure lands the first half of its bytes before it
  /// fails, as a disk that fills up in the middle of a write does.
  bool tear_failed_writes = false;
  /// Names of files another program holds open for writing.
  std::set<std::string> written_by_others;
  /// ~ffx.log lies on another volume than the other files: it cannot be
  /// renamed over them, and is copied instead.
  bool no_moves = false;
  /// Files that a stop of the process would take along: those create_beside
  /// made that are not committed yet.
  std::set<std::string> uncommitted;
  /// Names whose files belong to another user (or are links or special
  /// files): never the run's own.
  std::set<std::string> foreign;
  /// Names whose files would show a rename (an owner or group that cannot
  /// be given): only rewritten in place.
  std::set<std::string> keep_identity;
  /// Symbolic links: name -> the name they lead to (which may be free).
  /// Plain opens, path_state, resolve_name and lock_file follow them;
  /// name_state, removals, renames and own files take the link itself.
  std::map<std::string, std::string> links;
  /// Temporaries that runs which are gone left: remove_stale_files takes
  /// away those that are the user's own (not foreign).
  std::set<std::string> stale;
  /// lock_file answers busy this many times before it grants the lock.
  int lock_busy = 0;
  /// Whether the run holds the current directory's lock now, and whether it
  /// ever waited for a plot file's lock while it did.
  bool directory_locked = false;
  bool waited_holding_directory = false;
  /// Done by "another run" while this one waits for a plot file's lock.
  std::function<void(FakeOs&)> while_waiting;
  /// start_worker gives real threads; otherwise none, and the record layer
  /// reads and writes for itself. Every call is then made under one lock.
  /// A planned stop that a worker's call meets makes that call and every
  /// later one of the worker fail without effect; the main thread's next
  /// call carries the stop out.
  bool threads = false;
  /// While held, every write_file waits before it is carried out (a
  /// worker's write stays under way); letting them go wakes them.
  void hold_writes(bool hold);

  /// Makes the next call of `operation` ("open", "read", "write", "truncate",
  /// "close", "remove", "copy", "rename", "create", "replace", "stdout",
  /// "sync", "lock") on
  /// `name` (empty: any name) fail with `error`. "create" is create_beside,
  /// named by the file it goes beside; "replace" is keep_beside, named by
  /// its target; "rename" is replace_name, named by its target, or
  /// rename_no_replace, named by its source; "copy" is copy_data, named by
  /// the file written; "size" is set_file_size; "adopt" is adopt_identity,
  /// named by the file whose identity is given; "lock" is
  /// lock_current_directory, named ".", or lock_file, named by its file.
  void fail_next(const std::string& operation, const std::string& name, OsError error);
  /// Makes the `n`th call (1-based, counted from now) of `operation` on
  /// `name` (empty: any name) fail with `error`.
  void fail_nth(const std::string& operation, const std::string& name, std::size_t n,
                OsError error);
  /// Makes fallible call number `index` (1-based, counted over the whole run)
  /// fail with `error`.
  void fail_call(std::size_t index, OsError error);
  /// Makes fallible call number `index` (1-based, over the whole run) stop
  /// the process before it is carried out, as a kill does: StopSignal is
  /// thrown, open files are dropped and uncommitted files vanish.
  void stop_at_call(std::size_t index) { stop_at_ = index; }
  /// Runs `change` right before fallible call number `index` (1-based, over
  /// the whole run) is carried out: what another program does at that
  /// moment. It changes the files directly (`files`, rewritten_elsewhere),
  /// not through the fake's calls.
  void change_at_call(std::size_t index, std::function<void(FakeOs&)> change) {
    change_at_ = index;
    change_ = std::move(change);
  }
  /// Another program rewrites the file `name` where it stands with `bytes`.
  void rewritten_elsewhere(const std::string& name, const std::string& bytes);
  /// Another program puts a new file holding `bytes` under the name `name`.
  void replaced_elsewhere(const std::string& name, const std::string& bytes);
  /// What a power loss does to a file created during the run and never synced.
  enum class Unsynced { empty, gone };
  /// Like stop_at_call, but the power fails: afterwards every file is what
  /// survives. Files as they stand now count as durable; from now on a
  /// file's writes, truncations, size changes and copies survive only once
  /// it is synced (its bytes and state as at its last sync_file), a file
  /// made since and never synced comes back as `unsynced` says, renames
  /// (keep_beside, replace_name, rename_no_replace) carry the source's last
  /// synced bytes to the target name (a never synced one: empty), and
  /// removals are durable at once.
  void power_loss_at_call(std::size_t index, Unsynced unsynced = Unsynced::empty);
  /// Number of fallible calls made so far.
  std::size_t call_count() const { return calls.size(); }
  /// Names of the files that are open now.
  std::vector<std::string> open_files() const;

  OpenResult open_file(const std::string& name, Access access, Create create) override;
  ReadResult read_file(FileHandle file, char* buffer, std::size_t size) override;
  OsError write_file(FileHandle file, const char* data, std::size_t size) override;
  OsError truncate_file(FileHandle file) override;
  OsError close_file(FileHandle file) override;
  FileId file_id(FileHandle file) override;
  FileState file_state(FileHandle file) override;
  FileState path_state(const std::string& name) override;
  Writers writers(FileHandle file) override;
  OsError make_private(FileHandle) override { return OsError::none; }
  void wait_quiet(FileHandle file, int ms) override;
  FileState name_state(const std::string& name) override;
  void watch_writes(FileHandle file) override;
  OsError sync_file(FileHandle file) override;
  OsError remove_file(const std::string& name) override;
  OsError resolve_name(const std::string& name, std::string& target) override;
  OsError set_file_size(FileHandle file, std::uint64_t size) override;
  OsError copy_data(FileHandle from, FileHandle to) override;
  OsError adopt_identity(FileHandle file, const std::string& of) override;
  OsError rename_no_replace(const std::string& from, const std::string& to) override;
  OsError replace_name(const std::string& from, const std::string& to) override;
  OpenResult create_beside(const std::string& name, bool own, std::string& temp_name) override;
  OsError keep_beside(FileHandle file, const std::string& temp_name,
                      const std::string& target) override;
  void discard_beside(FileHandle file, const std::string& temp_name) override;
  OsError lock_current_directory(int wait_ms, LockHolder& holder) override;
  void unlock_current_directory() override;
  OsError lock_file(const std::string& name, int wait_ms, FileId& locked,
                    LockHolder& holder) override;
  void remove_stale_files(const std::string& name, bool (*removable)(const FileState&)) override;
  OsError write_stdout(const char* data, std::size_t size) override;
  OsError write_stderr(const char* data, std::size_t size) override;
  bool read_stdin_line(std::string& line) override;
  bool stdin_is_terminal() override { return stdin_terminal; }
  void run_command(const std::string& command) override;
  std::vector<std::string> arguments() override;
  void exit_process(int status) override;
  std::unique_ptr<Worker> start_worker(WorkFunction work, void* context) override;

 private:
  struct Open {
    std::string name;
    Access access = Access::read;
    std::size_t pos = 0;
    std::uint64_t index = 0;  // the file opened: one put under the name since is another
  };
  struct PlannedFailure {
    std::string operation;
    std::string name;
    OsError error = OsError::other;
  };
  struct CountedFailure {
    std::string operation;
    std::string name;
    std::size_t remaining = 0;  // matching calls until it fires, this one included
    OsError error = OsError::other;
  };
  /// Logs the call and returns the error planned for it, if any.
  OsError planned(const std::string& operation, const std::string& name);
  /// Identity and last write of a file, kept beside its content.
  struct Meta {
    std::uint64_t id = 0;
    std::int64_t modified = 0;
  };
  Meta& meta(const std::string& name);
  /// A file made anew under `name`: a fresh identity.
  void renew(const std::string& name);
  /// The content of `name` was written.
  void touch(const std::string& name);
  /// The file under the handle `by` was written: a watch through any other
  /// handle on it sees the write.
  void wrote(FileHandle by);
  /// The name `name` leads to, its links followed.
  std::string followed(const std::string& name) const;
  /// The volume a name lies on (see no_moves).
  std::uint64_t volume(const std::string& name) const;

  /// What survives a power loss under a name (power_loss_at_call only).
  struct Durable {
    std::string content;
    Meta meta;
    bool unsynced_new = false;  // made during the run, never synced or renamed
  };
  /// A file was made anew under `name`, not durable yet.
  void made(const std::string& name);
  /// The file under `from` was renamed to `to`, durably.
  void renamed(const std::string& from, const std::string& to);
  /// The file under `from` takes the name `to`, whatever stood there.
  void move_name(const std::string& from, const std::string& to);
  /// The process and the power end: open files go, and each name holds
  /// what survives.
  void lose_power();

  std::map<std::string, Meta> meta_;
  bool tracking_ = false;  // durable_ is kept up to date
  Unsynced unsynced_ = Unsynced::empty;
  std::map<std::string, Durable> durable_;
  std::uint64_t next_id_ = 1;
  std::int64_t clock_ = 0;
  std::size_t stop_at_ = 0;
  std::size_t change_at_ = 0;
  std::function<void(FakeOs&)> change_;

  /// One lock for every call, as a fake that is copied keeps none of it.
  struct CallLock {
    std::recursive_mutex mutex;
    CallLock() = default;
    CallLock(const CallLock&) {}
    CallLock& operator=(const CallLock&) { return *this; }
  };
  mutable CallLock lock_;
  struct WriteGate {
    std::mutex mutex;
    std::condition_variable opened;
    bool held = false;
    WriteGate() = default;
    WriteGate(const WriteGate&) {}
    WriteGate& operator=(const WriteGate&) { return *this; }
  };
  WriteGate write_gate_;
  bool stopping_ = false;  // a worker's call met the planned stop

  std::map<FileHandle, Open> open_;
  /// Handles under watch_writes, and whether another handle wrote since.
  std::map<FileHandle, bool> watched_;
  FileHandle next_handle_ = 3;
  std::vector<PlannedFailure> next_failures_;
  std::map<std::size_t, OsError> indexed_failures_;
  std::vector<CountedFailure> counted_failures_;
};

/// Installs `fake` as the Os for the lifetime of the guard, resetting the
/// console, the units and the argument list around it.
class FakeOsScope {
 public:
  explicit FakeOsScope(FakeOs& fake);
  ~FakeOsScope();
  FakeOsScope(const FakeOsScope&) = delete;
  FakeOsScope& operator=(const FakeOsScope&) = delete;
};
