// Scratch directories for tests that touch a real disk, and running a program
// inside one with chosen input, environment and file-size limit.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// How to start a program in a scratch directory.
struct RunOptions {
  /// Bytes fed to standard input; without them standard input is /dev/null.
  std::optional<std::string> input;
  /// Standard input is a terminal that holds `input` (a person typing).
  bool terminal_input = false;
  /// Environment variables set for the program (added or replaced).
  std::map<std::string, std::string> env;
  /// Environment variables removed for the program.
  std::vector<std::string> unset_env;
  /// Largest file the program may write, in bytes (RLIMIT_FSIZE, `ulimit -f`).
  std::optional<std::uint64_t> file_size_limit;
  /// When set, standard output goes to this path (e.g. /dev/full) instead of
  /// being captured.
  std::optional<std::string> stdout_path;
  /// The program is killed after this many seconds.
  int timeout_seconds = 60;
};

/// What a finished program left behind on its streams and in its status.
struct RunResult {
  std::string out;         // standard output bytes
  std::string err;         // standard error bytes
  int exit_status = -1;    // the exit status; -1 when a signal ended it
  int signal = 0;          // the signal that ended it, 0 when it exited
  bool timed_out = false;  // killed after RunOptions::timeout_seconds
  bool started = false;    // false when the program could not be started at all

  /// One line for failure messages: status, signal, stdout and stderr escaped.
  std::string describe() const;
};

/// A fresh directory under the system's temporary directory, removed when no
/// assertion failed during its life and kept, with its path printed, otherwise.
class ScratchDir {
 public:
  ScratchDir();
  /// A scratch directory inside `root` (e.g. another file system).
  explicit ScratchDir(const std::string& root);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  /// The directory's absolute path.
  const std::string& path() const { return path_; }
  /// The absolute path of `name` inside the directory.
  std::string file(const std::string& name) const;

  /// Writes `bytes` to `name` exactly, replacing the file. Fails the test on error.
  void write(const std::string& name, std::string_view bytes) const;
  /// The exact bytes of `name`; nothing when it cannot be read (missing, a directory).
  std::optional<std::string> read(const std::string& name) const;
  /// Whether `name` exists (a dangling symbolic link counts).
  bool exists(const std::string& name) const;
  /// The names in the directory, sorted, without "." and "..".
  std::vector<std::string> names() const;

  /// Runs `command` (program first, looked up along PATH when it holds no
  /// slash) with the directory as its current directory.
  RunResult run(const std::vector<std::string>& command, const RunOptions& options = {}) const;

 private:
  std::string path_;
  int failures_at_start_ = 0;
};

/// Makes bytes readable in a failure message: CR, LF, tab, control and
/// non-ASCII bytes are shown as escapes.
std::string escape_bytes(std::string_view bytes);
