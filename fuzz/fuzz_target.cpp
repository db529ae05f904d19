// One libFuzzer target: feeds each input to the check named by
// FEEDFIX_FUZZ_CHECK and stops at the first broken invariant.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = FEEDFIX_FUZZ_CHECK(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "\nbroken invariant: %s\n", problem.c_str());
    std::abort();  // libFuzzer keeps the input as a crash
  }
  return 0;
}
