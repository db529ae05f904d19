// File routines with a uniform face: copy, delete and rename by name and
// count, answering in a 16-bit status.
#include "Ftn/ftnfco.h"

#include <cstring>
#include <string>

#include "Kopf01/sxi/string00.h"
#include "runtime/console.h"
#include "runtime/file_replace.h"
#include "runtime/os.h"

namespace {

constexpr std::int16_t k_done = 0;
constexpr std::int16_t k_failed = 3;
constexpr std::int16_t k_rename_entry = 1;


enum class ErrorKind : int { system = 0, misuse_with_length = 1, misuse = 2 };

/// The name the system call sees: the first `count` characters of `text`,
/// never more, ending at the first NUL as a C string would.
std::string system_name(const char* text, std::int16_t count) {
  const std::size_t size = static_cast<std::size_t>(count);
  const void* nul = std::memchr(text, '\0', size);
  const std::size_t length =
      nul == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(nul) - text);
  return std::string(text, length);
}

/// Turns the result of a system call into the routine's final status. File
/// not found, path not found, access denied, a write-protected medium and a
/// full disk are ordinary failures; any other goes to the error routine,
/// which shows nothing of a system error: either way the status 3 is the
/// whole answer, and the caller decides what a failure means.
void settle(std::int16_t& status, OsError error) {
  status = error == OsError::none ? k_done : k_failed;
}

}  // namespace

void FTNFCO(std::int16_t& status, const std::int32_t& reserved, const char* source,
            const std::int16_t& source_count, const char* target, const std::int16_t& target_count) {
  (void)reserved;  // Never read: kept for the callers' argument layout.
  if (source_count <= 0 || target_count <= 0) {
    FTNERR(status, static_cast<int>(ErrorKind::misuse_with_length), "ftnfco", 6);
    return;
  }
  if (source_count >= k_name_buffer || target_count >= k_name_buffer) {
    status = k_failed;
    return;
  }
  const OsError error =
      copy_over(system_name(source, source_count), system_name(target, target_count));
  settle(status, error);
}

void FTNFDE(std::int16_t& status, const std::int32_t& reserved, const char* name,
            const std::int16_t& count) {
  (void)reserved;
  if (count < 0 || count >= k_name_buffer) {
    status = k_failed;
    return;
  }
  // A count of 0 hands the system an empty name, which it refuses.
  settle(status, os().remove_file(system_name(name, count)));
}

void FTNFRE(std::int16_t& status, const std::int32_t& reserved, const char* old_name,
            const std::int16_t& old_count, const char* new_name, const std::int16_t& new_count) {
  (void)reserved;
  status = k_rename_entry;
  if (old_count <= 0 || new_count <= 0) {
    // The routine's name goes to the report with its terminating NUL.
    FTNERR(status, static_cast<int>(ErrorKind::misuse), "ftnfre-1", 9);
    return;
  }
  if (old_count >= k_name_buffer || new_count >= k_name_buffer) {
    status = k_failed;
    return;
  }
  const OsError error =
      os().rename_no_replace(system_name(old_name, old_count), system_name(new_name, new_count));
  settle(status, error);
}

void FTNERR(std::int16_t status, int kind, const char* routine, std::int16_t routine_count) {
  // An unexpected system error is not shown: the caller's status 3 is the
  // whole answer, and the caller decides what a failure means.
  (void)status;
  (void)routine;
  (void)routine_count;
  if (kind == static_cast<int>(ErrorKind::system)) return;
  stop_run();
}
