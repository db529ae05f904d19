// Scratch directories and child processes for tests on a real disk (POSIX).
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace {

std::string temp_root() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0') return tmp;
  return "/tmp";
}

/// `program` itself when it holds a slash, else the first executable of that
/// name along PATH (the program itself when none is found, so exec reports it).
std::string resolve_program(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path_env = std::getenv("PATH");
  std::string path = path_env != nullptr ? path_env : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return program;
}

/// The environment of this process with the options' changes applied.
std::vector<std::string> child_environment(const RunOptions& options) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item = *entry;
    std::string name = item.substr(0, item.find('='));
    bool dropped = options.env.count(name) != 0 ||
                   std::find(options.unset_env.begin(), options.unset_env.end(), name) !=
                       options.unset_env.end();
    if (!dropped) env.push_back(item);
  }
  for (const auto& [name, value] : options.env) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& items) {
  std::vector<char*> out;
  for (std::string& item : items) out.push_back(item.data());
  out.push_back(nullptr);
  return out;
}

void set_default_signal(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

/// The child's side of the fork: only async-signal-safe calls from here on.
[[noreturn]] void exec_child(const char* dir, const char* program, char* const* argv,
                             char* const* envp, int stdin_fd, int stdout_fd, int stderr_fd,
                             const RunOptions& options, rlim_t limit) {
  // Dispositions that the test process set to "ignore" would be inherited.
  set_default_signal(SIGPIPE);
  set_default_signal(SIGXFSZ);
  if (::chdir(dir) != 0) ::_exit(127);
  if (options.file_size_limit) {
    struct rlimit rl {};
    rl.rlim_cur = limit;
    rl.rlim_max = limit;
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(127);
  }
  if (stdin_fd < 0) stdin_fd = ::open("/dev/null", O_RDONLY);
  if (stdin_fd < 0 || ::dup2(stdin_fd, 0) < 0 || ::dup2(stdout_fd, 1) < 0 ||
      ::dup2(stderr_fd, 2) < 0) {
    ::_exit(127);
  }
  ::execve(program, argv, envp);
  ::_exit(127);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

/// Failed assertions so far in the running test (0 outside a test).
int failed_parts() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) return 0;
  const ::testing::TestResult* result = test->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++failed;
  }
  return failed;
}

}  // namespace

std::string escape_bytes(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string RunResult::describe() const {
  std::ostringstream text;
  if (!started) text << "[not started] ";
  if (timed_out) text << "[timed out] ";
  if (signal != 0) {
    text << "signal " << signal;
  } else {
    text << "exit " << exit_status;
  }
  text << "; stdout \"" << escape_bytes(out) << "\"; stderr \"" << escape_bytes(err) << "\"";
  return text.str();
}

ScratchDir::ScratchDir() : ScratchDir(temp_root()) {}

ScratchDir::ScratchDir(const std::string& root) : failures_at_start_(failed_parts()) {
  std::string pattern = root + "/feedfix-e2e-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern << ": " << std::strerror(errno);
    return;
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  if (failed_parts() > failures_at_start_) {
    std::fprintf(stderr, "scratch directory kept: %s\n", path_.c_str());
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::file(const std::string& name) const { return path_ + "/" + name; }

void ScratchDir::write(const std::string& name, std::string_view bytes) const {
  std::ofstream stream(file(name), std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  stream.close();
  if (!stream) ADD_FAILURE() << "cannot write " << file(name);
}

std::optional<std::string> ScratchDir::read(const std::string& name) const {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file(name), error)) return std::nullopt;
  std::ifstream stream(file(name), std::ios::binary);
  if (!stream) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

bool ScratchDir::exists(const std::string& name) const {
  struct stat info {};
  return ::lstat(file(name).c_str(), &info) == 0;
}

std::vector<std::string> ScratchDir::names() const {
  std::vector<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path_, error)) {
    out.push_back(entry.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

RunResult ScratchDir::run(const std::vector<std::string>& command,
                          const RunOptions& options) const {
  RunResult result;
  if (command.empty()) {
    ADD_FAILURE() << "empty command";
    return result;
  }
  // A child that exits before taking all of its input must not kill the test.
  ::signal(SIGPIPE, SIG_IGN);

  std::string program = resolve_program(command[0]);
  std::vector<std::string> args = command;
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> argv = c_strings(args);
  std::vector<char*> envp = c_strings(env);
  rlim_t limit = options.file_size_limit ? static_cast<rlim_t>(*options.file_size_limit) : 0;

  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int stdout_file = -1;
  // A terminal gets the whole input at once; its far end stays open until
  // the program has ended.
  int terminal = -1;
  if (options.terminal_input) {
    terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    bool ready = terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0 &&
                 (in_pipe[0] = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0;
    // A carriage return reaches the program as typed, not turned into a line
    // feed: the Windows console ends a line with it.
    struct termios modes {};
    ready = ready && ::tcgetattr(in_pipe[0], &modes) == 0;
    modes.c_iflag &= ~tcflag_t{ICRNL};
    ready = ready && ::tcsetattr(in_pipe[0], TCSANOW, &modes) == 0;
    const std::string typed = options.input.value_or("");
    if (!ready || ::write(terminal, typed.data(), typed.size()) < 0) {
      ADD_FAILURE() << "terminal: " << std::strerror(errno);
      return result;
    }
  }
  if ((options.input && terminal < 0 && ::pipe2(in_pipe, O_CLOEXEC) != 0) ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  if (options.stdout_path) {
    stdout_file = ::open(options.stdout_path->c_str(), O_WRONLY | O_CLOEXEC);
    if (stdout_file < 0) {
      ADD_FAILURE() << "cannot open " << *options.stdout_path << ": " << std::strerror(errno);
      return result;
    }
  } else if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }

  pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    exec_child(path_.c_str(), program.c_str(), argv.data(), envp.data(), in_pipe[0],
               stdout_file >= 0 ? stdout_file : out_pipe[1], err_pipe[1], options, limit);
  }
  result.started = true;
  close_fd(in_pipe[0]);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  close_fd(stdout_file);

  int in_fd = in_pipe[1];
  int out_fd = out_pipe[0];
  int err_fd = err_pipe[0];
  std::size_t input_done = 0;
  if (in_fd >= 0) {
    ::fcntl(in_fd, F_SETFL, ::fcntl(in_fd, F_GETFL) | O_NONBLOCK);
    if (options.input->empty()) close_fd(in_fd);
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      break;
    }
    pollfd fds[3];
    nfds_t count = 0;
    if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
    if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[count++] = {err_fd, POLLIN, 0};
    int ready = ::poll(fds, count, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t k = 0; k < count && ready > 0; ++k) {
      if (fds[k].revents == 0) continue;
      int fd = fds[k].fd;
      if (fd == in_fd) {
        const std::string& input = *options.input;
        ssize_t n = ::write(in_fd, input.data() + input_done, input.size() - input_done);
        if (n > 0) input_done += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) close_fd(in_fd);
        if (input_done == input.size()) close_fd(in_fd);
        continue;
      }
      char buffer[4096];
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (fd == out_fd ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close_fd(fd == out_fd ? out_fd : err_fd);
      }
    }
  }
  close_fd(in_fd);
  close_fd(out_fd);
  close_fd(err_fd);

  if (result.timed_out) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  close_fd(terminal);
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
    if (result.exit_status == 127 && result.out.empty() && result.err.empty()) {
      result.started = false;  // chdir, setrlimit, dup2 or exec failed in the child
    }
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}
