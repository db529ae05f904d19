// The file routines: copy, delete and rename by name and count.
#include "Ftn/ftnfco.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake_os.h"
#include "tests/support/tool_files.h"

namespace {

constexpr std::int32_t k_reserved = 0;

class FileRoutines : public ::testing::Test {
 protected:
  FakeOs fake;
  FakeOsScope scope{fake};
  std::int16_t status = -7;
};

TEST_F(FileRoutines, CopyReplacesTheWholeTarget) {
  fake.files[k_temp] = "PU1;\r\n";
  fake.files["plot.plt"] = "a much longer old plot file\r\n";
  FTNFCO(status, k_reserved, k_temp.c_str(), k_temp_file_len, "plot.plt", 8);
  EXPECT_EQ(0, status);
  EXPECT_EQ("PU1;\r\n", fake.files["plot.plt"]);
  EXPECT_EQ("", fake.out);
}

TEST_F(FileRoutines, CopyRewritesInPlaceWhereTheDirectoryTakesNoNewFile) {
  fake.files[k_temp] = "PU1;\r\n";
  fake.files["plot.plt"] = "old\r\n";
  fake.no_new_files = true;
  FTNFCO(status, k_reserved, k_temp.c_str(), k_temp_file_len, "plot.plt", 8);
  EXPECT_EQ(0, status);
  EXPECT_EQ("PU1;\r\n", fake.files["plot.plt"]);
}

TEST_F(FileRoutines, DeleteRemovesTheFile) {
  fake.files.emplace(k_temp, "x");
  FTNFDE(status, k_reserved, k_temp.c_str(), k_temp_file_len);
  EXPECT_EQ(0, status);
  EXPECT_EQ(0u, fake.files.count(k_temp));
}

TEST_F(FileRoutines, RenameMovesTheFileButReplacesNothing) {
  fake.files["old"] = "1";
  FTNFRE(status, k_reserved, "old", 3, "new", 3);
  EXPECT_EQ(0, status);
  EXPECT_EQ("1", fake.files["new"]);

  fake.files.emplace("other", "2");
  FTNFRE(status, k_reserved, "other", 5, "new", 3);
  EXPECT_EQ(3, status);
  EXPECT_EQ("1", fake.files["new"]);
}

TEST_F(FileRoutines, FailedSystemCallsGiveStatusThreeSilently) {
  FTNFCO(status, k_reserved, k_temp.c_str(), k_temp_file_len, "plot.plt", 8);  // missing source
  EXPECT_EQ(3, status);
  EXPECT_EQ(0u, fake.files.count("plot.plt"));
  status = -7;
  FTNFDE(status, k_reserved, "missing", 7);
  EXPECT_EQ(3, status);
  status = -7;
  FTNFDE(status, k_reserved, "", 0);  // an empty name reaches the system and fails
  EXPECT_EQ(3, status);

  // Conditions outside the listed five go through the silent report as well.
  fake.files.emplace("a", "1");
  for (OsError error : {OsError::access_denied, OsError::disk_full, OsError::io_error,
                        OsError::other}) {
    fake.fail_next("copy", "", error);  // the copy into the new file beside "b"
    status = -7;
    FTNFCO(status, k_reserved, "a", 1, "b", 1);
    EXPECT_EQ(3, status);
  }
  EXPECT_EQ("", fake.out);
  EXPECT_EQ("", fake.err);
}

TEST_F(FileRoutines, OnlyTheCountedCharactersNameTheFile) {
  fake.files[k_temp] = "new";
  const std::string source = k_temp + "AND MORE";
  const char target[] = "plot.plt  ";  // the count covers the trailing blanks
  FTNFCO(status, k_reserved, source.c_str(), k_temp_file_len, target, 10);
  EXPECT_EQ(0, status);
  EXPECT_EQ("new", fake.files["plot.plt  "]);
  EXPECT_EQ(0u, fake.files.count("plot.plt"));
}

TEST_F(FileRoutines, NameOf259CharactersPassesWhole260IsRefused) {
  const std::string long_name(259, 'n');
  fake.files["src"] = "data";
  FTNFCO(status, k_reserved, "src", 3, long_name.c_str(), 259);
  EXPECT_EQ(0, status);
  EXPECT_EQ("data", fake.files[long_name]);

  const std::string too_long(260, 'n');
  fake.calls.clear();
  FTNFCO(status, k_reserved, "src", 3, too_long.c_str(), 260);
  EXPECT_EQ(3, status);
  status = -7;
  FTNFDE(status, k_reserved, too_long.c_str(), 260);
  EXPECT_EQ(3, status);
  status = -7;
  FTNFRE(status, k_reserved, "src", 3, too_long.c_str(), 260);
  EXPECT_EQ(3, status);
  status = -7;
  FTNFDE(status, k_reserved, "src", -1);
  EXPECT_EQ(3, status);
  EXPECT_TRUE(fake.calls.empty());  // nothing reached the system
}

TEST_F(FileRoutines, CountOfZeroEndsTheRunWithoutAMessageOfItsOwn) {
  fake.files["src"] = "data";
  EXPECT_THROW(FTNFCO(status, k_reserved, "src", 3, "dst", 0), ProcessExit);
  EXPECT_EQ("Stop - Program terminated.\r\n", fake.out);
  EXPECT_EQ(0u, fake.files.count("dst"));
}

TEST_F(FileRoutines, RenameSetsStatusOneBeforeItsCountCheck) {
  try {
    FTNFRE(status, k_reserved, "old", 0, "new", 3);
    FAIL() << "the run should have ended";
  } catch (const ProcessExit& exit) {
    EXPECT_EQ(ProcessExit{0}, exit);
  }
  EXPECT_EQ(1, status);
  EXPECT_EQ("Stop - Program terminated.\r\n", fake.out);
}

}  // namespace
