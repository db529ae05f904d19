// The installed operating-system backend.
#include "runtime/os.h"

#include <cassert>

namespace {
Os* g_os = nullptr;
}  // namespace

Os& os() {
  assert(g_os != nullptr && "no Os installed");
  return *g_os;
}

void set_os(Os* backend) { g_os = backend; }
