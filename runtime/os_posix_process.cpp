// The process: stop signals, the command interpreter, and worker threads.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "runtime/os_posix_private.h"
#include "runtime/test_seam.h"

extern char** environ;

namespace posix {

namespace {

// SIGINT, SIGTERM, SIGHUP: the named temporary files go, then the signal
// ends the process as it would have without the handler.
extern "C" void on_stop_signal(int signal_number) {
  const int saved = errno;
  remove_named_files();
  errno = saved;
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// The signals the tool ignores. SIGXFSZ: a write past the file-size limit
// then fails with EFBIG (reported as a full disk) instead of killing the
// process. SIGPIPE: a closed pipe on the console is a failed write, not a
// silent death. SIGIO: a writer opening the plot file while
// written_elsewhere holds its brief lease makes the system send it, which
// must not end the run.
constexpr int k_ignored_signals[] = {SIGXFSZ, SIGPIPE, SIGIO};

// Starts `program flag command`.
pid_t spawn(const char* program, const char* flag, const std::string& command, int& error) {
  const char* const argv[] = {program, flag, command.c_str(), nullptr};
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The signals the tool ignores for itself: the command gets the usual
  // behaviour back.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal_number : k_ignored_signals) sigaddset(&defaults, signal_number);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  error =
      ::posix_spawnp(&pid, program, nullptr, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

}  // namespace

void install_stop_handlers() {
  for (const int signal_number : k_ignored_signals) ::signal(signal_number, SIG_IGN);
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

void PosixOs::run_command(const std::string& command) {
  int error = 0;
  pid_t pid = -1;
  const char* comspec = std::getenv("COMSPEC");
  if (comspec != nullptr && *comspec != '\0') {
    pid = spawn(comspec, "/c", command, error);
  }
  if (pid < 0 && (comspec == nullptr || *comspec == '\0' || error == ENOENT || error == EACCES)) {
    pid = spawn("/bin/sh", "-c", command, error);
  }
  if (pid < 0) return;  // Nothing could be started; the run goes on.
  int status = 0;
  (void)retried([&] { return ::waitpid(pid, &status, 0); });
}

bool PosixOs::read_stdin_line(std::string& line) {
  // One byte at a time: standard input is shared with the command run at
  // the pause, which must find everything after the answer unread.
  line.clear();
  for (;;) {
    char c = 0;
    // A read error ends the input like its end; what came before it is a line.
    if (retried([&] { return ::read(STDIN_FILENO, &c, 1); }) <= 0) return !line.empty();
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // CR LF
      return true;
    }
    line.push_back(c);
  }
}

}  // namespace posix

namespace {

// A worker on a thread of the standard library. The stop signals are held
// while the thread starts, so that it begins, and stays, with them blocked:
// they reach the main thread, whose handler removes the named files.
class ThreadWorker final : public Worker {
 public:
  ThreadWorker(WorkFunction work, void* context) {
    const posix::StopSignalsHeld held;
    thread_ = std::thread([this, work, context] { work(context, *this); });
  }
  ~ThreadWorker() override { thread_.join(); }

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

}  // namespace

// For the test double of the system too, which runs its workers as this
// backend does.
std::unique_ptr<Worker> start_thread_worker(WorkFunction work, void* context) {
  // A thread that cannot be had (no memory, a process limit) leaves the work
  // to the caller.
  try {
    return std::make_unique<ThreadWorker>(work, context);
  } catch (const std::system_error&) {
    return nullptr;
  }
}

std::unique_ptr<Worker> posix::PosixOs::start_worker(WorkFunction work, void* context) {
  return start_thread_worker(work, context);
}
