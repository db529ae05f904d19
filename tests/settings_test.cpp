// The settings file: its three forms, the range check and the ends of the run.
#include "hilfen/feedfix/settings.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake_os.h"
#include "tests/support/tool_files.h"

namespace {

const std::string k_warning = "ACHTUNG: Falsche INI-Werte wurden korrigiert!";

class SettingsFile : public ::testing::Test {
 protected:
  FakeOs fake;
  FakeOsScope scope{fake};

  /// Runs load_settings on `content`; fails the test when the run ends.
  Settings load(const std::string& content) {
    fake.files[k_settings] = content;
    return load_settings();
  }
};

TEST_F(SettingsFile, MissingFileIsCreatedWithTheDefaultsAndEndsTheRun) {
  EXPECT_THROW(load_settings(), ProcessExit);
  EXPECT_EQ("15574\r\n0\r\n", fake.files[k_settings]);  // 10 bytes
  EXPECT_EQ("INI-file not found. Default file created.\r\n", fake.out);

  fake.out.clear();
  const Settings again = load_settings();
  EXPECT_EQ(15574, again.pg_threshold);
  EXPECT_EQ(0, again.carried_shift);
  EXPECT_EQ("", fake.out);
}

TEST_F(SettingsFile, FileThatCanNeitherBeReadNorCreatedCannotBeUsed) {
  fake.directories.insert(k_settings);
  EXPECT_THROW(load_settings(), ProcessExit);
  EXPECT_EQ("INI-file cannot be used.\r\n", fake.out);
  EXPECT_EQ(0u, fake.files.count(k_settings));
}

TEST_F(SettingsFile, ValuesInsideTheRangesAreTakenAsTheyStand) {
  struct Case {
    std::string content;
    std::int32_t pg_threshold;
    std::int32_t carried_shift;
  };
  const Case cases[] = {
      {"20000\r\n-2\r\n", 20000, -2},
      {"     20000\r\n        -2\r\n", 20000, -2},
      {"  20000\r\n  -2  \r\n", 20000, -2},
      {"10000\r\n2000\r\n", 10000, 2000},
      {"40000\r\n-2\r\n", 40000, -2},
      {"15574\r\n\r\n", 15574, 0},          // an empty second record reads as 0
      {"15574\r\n          \r\n", 15574, 0},  // and so does a blank one
      {"15574\r\n          7\r\n", 15574, 0},  // column 11 is beyond the field
      {"15574\r\n250\r\nextra\r\n", 15574, 250},
  };
  for (const Case& c : cases) {
    fake.out.clear();
    const Settings s = load(c.content);
    EXPECT_EQ(c.pg_threshold, s.pg_threshold) << c.content;
    EXPECT_EQ(c.carried_shift, s.carried_shift) << c.content;
    EXPECT_EQ("", fake.out) << c.content;
    EXPECT_EQ(c.content, fake.files[k_settings]);  // reading never rewrites
  }
}

TEST(SettingsRange, OutOfRangeOrUnreadableValuesGiveBothDefaultsWithTheWarning) {
  const std::string cases[] = {
      "9999\r\n0\r\n",   "40001\r\n17\r\n",  "15574\r\n-3\r\n", "15574\r\n2001\r\n",
      "\r\n0\r\n",       // a blank first record reads as 0
      "15574\r\n",       // no second record
      "",                // no record at all
      "12A\r\n500\r\n",  // a field that does not convert
      "15574\r\n1.5\r\n",
  };
  for (const std::string& content : cases) {
    FakeOs fake;
    FakeOsScope scope(fake);
    fake.files[k_settings] = content;
    const Settings s = load_settings();
    EXPECT_EQ(15574, s.pg_threshold) << content;
    EXPECT_EQ(0, s.carried_shift) << content;
    EXPECT_EQ(k_warning, fake.out) << content;  // the first record of the console
    EXPECT_EQ(content, fake.files[k_settings]) << content;
  }
}

TEST_F(SettingsFile, ResetKeepsTheThresholdAndStoresZero) {
  fake.files[k_settings] = "20000\r\n250\r\n";
  EXPECT_THROW(reset_settings(15574), ProcessExit);
  EXPECT_EQ("     15574\r\n0\r\n", fake.files[k_settings]);  // 15 bytes
  EXPECT_EQ("Ini file resetted. Shift length set to zero.\r\n", fake.out);
}

TEST_F(SettingsFile, WriteBackHoldsTwoTenColumnRecords) {
  fake.files[k_settings] = "15574\r\n0\r\n";
  save_settings(15574, 0);
  EXPECT_EQ("     15574\r\n         0\r\n", fake.files[k_settings]);  // 24 bytes
  save_settings(20000, -2);
  EXPECT_EQ("     20000\r\n        -2\r\n", fake.files[k_settings]);
  EXPECT_EQ("", fake.out);
}

TEST_F(SettingsFile, UnwritableFileEndsResetAndWriteBackUnchanged) {
  fake.files[k_settings] = "20000\r\n250\r\n";
  fake.read_only.insert(k_settings);
  EXPECT_THROW(save_settings(15574, 0), ProcessExit);
  EXPECT_EQ("INI-file not opened (for writing).\r\n", fake.out);
  fake.out.clear();
  EXPECT_THROW(reset_settings(15574), ProcessExit);
  EXPECT_EQ("INI-file not opened (for writing).\r\n", fake.out);
  EXPECT_EQ("20000\r\n250\r\n", fake.files[k_settings]);
}

}  // namespace
