// Replays the fuzz seeds and every input the fuzzers ever broke an invariant
// with (fuzz/corpus/<target>/, fuzz/regressions/<target>/) through the same
// checks, so that a mended fault stays mended without a fuzzing run.
#include "fuzz/checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Check = std::string (*)(const std::uint8_t*, std::size_t);

struct Target {
  const char* name;
  Check check;
};

const Target k_targets[] = {
    {"integer_field", check_integer_field},
    {"record_reader", check_record_reader},
    {"command_line", check_command_line},
    {"intent_record", check_intent_record},
    {"whole_run", check_whole_run},
};

std::vector<fs::path> inputs_of(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* folder : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(FEEDFIX_SOURCE_DIR) / "fuzz" / folder / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  return files;
}

TEST(FuzzRegressions, SavedInputsKeepEveryInvariant) {
  std::size_t replayed = 0;
  for (const Target& target : k_targets) {
    const std::vector<fs::path> files = inputs_of(target.name);
    EXPECT_FALSE(files.empty()) << "no seeds for " << target.name;
    for (const fs::path& file : files) {
      std::ifstream stream(file, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(stream)),
                              std::istreambuf_iterator<char>());
      const std::string problem =
          target.check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      EXPECT_EQ("", problem) << file;
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u);
}

// The checks themselves must see a broken invariant: a few inputs whose
// answers are known.
TEST(FuzzRegressions, ChecksPassOnPlainInputs) {
  const std::string field = "  -42,";
  EXPECT_EQ("",
            check_integer_field(reinterpret_cast<const std::uint8_t*>(field.data()), field.size()));
  const std::string reader = std::string(1, '\x03') + "PU1,2;\r\nlast";
  EXPECT_EQ(
      "", check_record_reader(reinterpret_cast<const std::uint8_t*>(reader.data()), reader.size()));
  const std::string line = std::string(1, '\x10') + "prog \"a b\" c\\\\\"d";
  EXPECT_EQ("",
            check_command_line(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
  std::string run = std::string("\x00\x00\x00", 3) + '\x0c' + "15574\r\n250\r\n" +
                    "PG;   9000,0;\r\nPU1200,3400;\r\n";
  EXPECT_EQ("", check_whole_run(reinterpret_cast<const std::uint8_t*>(run.data()), run.size()));
}

}  // namespace
