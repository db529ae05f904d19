// The process's arguments, taken from the Os once and reached by index.
#include "runtime/arguments.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/os.h"

namespace {

/// The argument list, program name first; built once at start.
std::vector<std::string> g_arguments;

}  // namespace

void load_arguments() { g_arguments = os().arguments(); }

std::int32_t argument_count() {
  return static_cast<std::int32_t>(
      std::min<std::size_t>(g_arguments.size(), static_cast<std::size_t>(INT32_MAX)));
}

void get_argument(std::int16_t index, char* buffer, std::size_t size, std::int16_t& length) {
  if (index < 0 || index >= argument_count()) {
    length = -1;
    return;
  }
  const std::string& argument = g_arguments[static_cast<std::size_t>(index)];
  const std::size_t copied = std::min(argument.size(), size);
  if (copied > 0) std::memcpy(buffer, argument.data(), copied);
  if (size > copied) std::memset(buffer + copied, ' ', size - copied);
  // The length is reported in full, but a 16-bit length cannot go past 32767.
  length = static_cast<std::int16_t>(std::min<std::size_t>(argument.size(), INT16_MAX));
}
