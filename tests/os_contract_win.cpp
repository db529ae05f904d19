// The contract cases of tests/os_contract_cases.h against the Windows
// backend, as a plain program: no test framework builds for mingw-w64.
// scripts/test-windows.sh runs it under Wine; it prints one line per case
// and every failed check, and ends with status 1 when any failed.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/os.h"

namespace {

int g_failed = 0;
std::vector<std::string> g_notes;  // the traces of the scopes a check is in

bool check(bool ok, const char* file, int line, const char* what) {
  if (!ok) {
    ++g_failed;
    std::printf("%s:%d: failed: %s\n", file, line, what);
    for (const std::string& note : g_notes) std::printf("  in: %s\n", note.c_str());
  }
  return ok;
}

struct Note {
  explicit Note(const std::string& text) { g_notes.push_back(text); }
  ~Note() { g_notes.pop_back(); }
  Note(const Note&) = delete;
  Note& operator=(const Note&) = delete;
};

}  // namespace

#define CONTRACT_EQ(a, b) check((a) == (b), __FILE__, __LINE__, #a " == " #b)
#define CONTRACT_TRUE(c) check(static_cast<bool>(c), __FILE__, __LINE__, #c)
#define CONTRACT_FALSE(c) check(!(c), __FILE__, __LINE__, "not " #c)
#define CONTRACT_REQUIRE_EQ(a, b)   \
  do {                              \
    if (!CONTRACT_EQ(a, b)) return; \
  } while (false)
#define CONTRACT_TRACE(text) const Note contract_note(text)
#include "tests/os_contract_cases.h"

namespace {

namespace fs = std::filesystem;

/// A fresh directory under the system's temporary one, removed afterwards.
struct Win32Context : contract::Steps<Win32Context> {
  fs::path dir;

  explicit Win32Context(int index) {
    dir = fs::temp_directory_path() / ("feedfix-contract-" + std::to_string(index));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~Win32Context() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  Win32Context(const Win32Context&) = delete;
  Win32Context& operator=(const Win32Context&) = delete;

  Os& os() { return native_os(0, nullptr); }
  std::string at(const std::string& n) const { return (dir / n).string(); }
  void put(const std::string& n, const std::string& bytes) const {
    std::ofstream(at(n), std::ios::binary) << bytes;
  }
  std::string content(const std::string& n) const {
    std::ifstream in(at(n), std::ios::binary);
    if (!in) return "(none)";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      all.push_back(entry.path().filename().string());
    }
    std::sort(all.begin(), all.end());
    return all;
  }
  // Access lists are not read here: the owner-only rule is the POSIX side's.
  bool only_owner_may_access(const std::string&) const { return true; }
};

struct Case {
  const char* name;
  void (*run)(Win32Context&);
};

// What Wine can show of the Windows backend. Not here: links (Wine makes no
// reparse points of Unix links), other owners and enforced access lists
// (every file has one owner), locks held by another session, and the sweep
// of stale temporaries, whose other runs this program cannot stand in for.
const Case k_cases[] = {
    {"OpenCreatesOnlyWhatItIsAskedTo",
     contract::open_creates_only_what_it_is_asked_to_and_never_touches_content},
    {"WriteTruncateAndReadBack", contract::write_truncate_and_read_back},
    {"SetFileSizeFillsWithZerosAndKeepsThePosition",
     contract::set_file_size_fills_with_zeros_and_keeps_the_position},
    {"CopyDataCopiesTheRestFromBothPositions",
     contract::copy_data_copies_the_rest_from_both_positions},
    {"NewFileBesideTakesTheTargetsPlaceOrGoesWithoutATrace",
     contract::new_file_beside_takes_the_targets_place_or_goes_without_a_trace},
    {"RenamesReplaceOnlyWhenAskedTo", contract::renames_replace_only_when_asked_to},
    {"RemoveFileOfAMissingNameIsFileNotFound",
     contract::remove_file_of_a_missing_name_is_file_not_found},
    {"StateTellsSizeKindAndAnyWriteSince", contract::state_tells_size_kind_and_any_write_since},
    {"ExactPrivateFileIsMadeForItsOwnerAlone",
     contract::exact_private_file_is_made_for_its_owner_alone},
    {"WritesThroughAnotherHandleAreSeen", contract::writes_through_another_handle_are_seen},
};

}  // namespace

int main() {
  int index = 0;
  int failed_cases = 0;
  for (const Case& c : k_cases) {
    const int before = g_failed;
    {
      Win32Context context(index++);
      c.run(context);
    }
    const bool ok = g_failed == before;
    if (!ok) ++failed_cases;
    std::printf("[%s] OsContract/Windows.%s\n", ok ? "  OK  " : "FAILED", c.name);
  }
  std::printf("%d of %d contract cases passed on the Windows backend\n",
              static_cast<int>(std::size(k_cases)) - failed_cases,
              static_cast<int>(std::size(k_cases)));
  return failed_cases == 0 ? 0 : 1;
}
