// Win32 backend: the standard handles, the command interpreter, the
// process's own command line, workers on threads of their own, and the end
// of the process.
#include "runtime/os_win32_private.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "runtime/command_line.h"

namespace win32 {

namespace {

OsError write_std(DWORD which, const char* data, std::size_t size) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return OsError::other;
  return write_all(handle, data, size);
}

// Starts `program` with "/c" and `command` and waits for it; false when it
// could not be started, with the reason in GetLastError.
bool run_interpreter(const std::string& program, const std::string& command) {
  std::string line = "\"" + program + "\" /c " + command;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  // The command shares the tool's console streams, redirected or not.
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, /*inherit=*/TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  (void)WaitForSingleObject(process.hProcess, INFINITE);  // The command's result is not used.
  (void)CloseHandle(process.hThread);
  (void)CloseHandle(process.hProcess);
  return true;
}

// A worker on a thread of the system's own. The lock is a slim reader/writer
// lock taken exclusively, the wait a condition variable on it.
class ThreadWorker final : public Worker {
 public:
  // Not started where the system refuses a thread: started() is false.
  ThreadWorker(WorkFunction work, void* context) : work_(work), context_(context) {
    thread_ = CreateThread(nullptr, 0, &ThreadWorker::run, this, 0, nullptr);
  }
  ~ThreadWorker() override {
    if (thread_ == nullptr) return;
    (void)WaitForSingleObject(thread_, INFINITE);
    (void)CloseHandle(thread_);
  }
  ThreadWorker(const ThreadWorker&) = delete;
  ThreadWorker& operator=(const ThreadWorker&) = delete;

  bool started() const { return thread_ != nullptr; }

  void lock() override { AcquireSRWLockExclusive(&lock_); }
  void unlock() override { ReleaseSRWLockExclusive(&lock_); }
  void wait() override { (void)SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0); }
  void wake() override { WakeAllConditionVariable(&changed_); }

 private:
  static DWORD WINAPI run(void* self) {
    auto* worker = static_cast<ThreadWorker*>(self);
    worker->work_(worker->context_, *worker);
    return 0;
  }

  WorkFunction work_;
  void* context_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  HANDLE thread_ = nullptr;
};

}  // namespace

OsError Win32Os::write_stdout(const char* data, std::size_t size) {
  return write_std(STD_OUTPUT_HANDLE, data, size);
}

OsError Win32Os::write_stderr(const char* data, std::size_t size) {
  return write_std(STD_ERROR_HANDLE, data, size);
}

bool Win32Os::read_stdin_line(std::string& line) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  // One byte at a time: what follows the line stays in the stream for a
  // command run at the pause and for the next answer.
  std::string read;
  bool any = false;
  char byte = 0;
  DWORD count = 0;
  while (ReadFile(input, &byte, 1, &count, nullptr) && count == 1) {
    any = true;
    if (byte == '\n') break;
    read.push_back(byte);
  }
  if (!any) return false;
  if (!read.empty() && read.back() == '\r') read.pop_back();
  line = read;
  return true;
}

bool Win32Os::stdin_is_terminal() {
  // A console answers for its mode; a file, a pipe or a device does not.
  DWORD mode = 0;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  return input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) != 0;
}

void Win32Os::run_command(const std::string& command) {
  // Empty where it is not set.
  const std::string comspec = filled<char>(
      [](char* buffer, DWORD size) { return GetEnvironmentVariableA("COMSPEC", buffer, size); });
  if (!comspec.empty()) {
    if (run_interpreter(comspec, command)) return;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND &&
        code != ERROR_ACCESS_DENIED) {
      return;
    }
  }
  // Every system that runs the program has cmd.exe.
  const std::string fallback = filled<char>([](char* buffer, DWORD size) {
    return SearchPathA(nullptr, "cmd.exe", nullptr, size, buffer, nullptr);
  });
  if (!fallback.empty()) (void)run_interpreter(fallback, command);  // Nothing else to try.
}

std::vector<std::string> Win32Os::arguments() {
  std::string line;
  if (const char* command_line = GetCommandLineA(); command_line != nullptr) line = command_line;
  // Without a command line the program's path stands in for it. It is quoted
  // so that a blank in a directory name does not make up an argument.
  if (line.empty()) {
    // The module's name is cut to the buffer's size: a longer buffer is
    // asked for until the name fits.
    const std::string path = filled<char>([](char* buffer, DWORD size) {
      const DWORD length = GetModuleFileNameA(nullptr, buffer, size);
      return length < size ? length : 2 * size;
    });
    line.assign(1, '"').append(path).push_back('"');
  }
  // The lead bytes of the ANSI code page: none where it is a single-byte one.
  std::array<bool, 256> lead{};
  for (unsigned byte = 0; byte < lead.size(); ++byte) {
    lead[byte] = IsDBCSLeadByte(static_cast<BYTE>(byte)) != 0;
  }
  return split_command_line(line, lead.data());
}

std::unique_ptr<Worker> Win32Os::start_worker(WorkFunction work, void* context) {
  auto worker = std::make_unique<ThreadWorker>(work, context);
  if (!worker->started()) return nullptr;
  return worker;
}

void Win32Os::exit_process(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace win32
