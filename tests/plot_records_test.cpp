// The record loop: pen shifts, page snaps, the error line and the loop's failures.
#include "hilfen/feedfix/plot_records.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/console.h"
#include "runtime/record_file.h"
#include "tests/support/fake_os.h"
#include "tests/support/tool_files.h"

namespace {

const std::string k_pause =
    "\r\nPause - Please enter a blank line (to continue) or a DOS command.\r\n";

class RecordLoop : public ::testing::Test {
 protected:
  FakeOs fake;
  FakeOsScope scope{fake};
  std::int32_t shift = 0;
  LoopResult result;

  /// Runs the loop over `plot` as the driver does: both units open and the
  /// progress line started (its " ." shows as "." on a fresh console).
  std::string run(const std::string& plot, std::int32_t carried_shift,
                  std::int32_t pg_threshold = 15574) {
    fake.files["plot.plt"] = plot;
    EXPECT_EQ(0, open_unit(k_plot_unit, "plot.plt", "OLD", "read"));
    EXPECT_EQ(0, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write", NewContents::scratch));
    console_record(" .", LineEnd::stays_open);
    shift = carried_shift;
    result = process_plot_records(pg_threshold, build_page_grid(), shift);
    close_unit(k_plot_unit);
    close_unit(k_temp_unit);
    return fake.files[k_temp];
  }
};

struct LoopCase {
  const char* what;
  std::string plot;
  std::int32_t shift_in;
  std::int32_t threshold;
  std::string temp;
  std::int32_t shift_out;
  bool changed;
  std::string console;  // after the "." of the progress line
};

TEST(RecordLoopCases, RewritesPenAndPageRecordsByTheRules) {
  const LoopCase cases[] = {
      {"pen record", "PU1200,3400;\r\n", 250, 15574, "PU1450,3400;\r\n", 250, true, ""},
      {"pen record with blanks", "PU 1200, 3400 ;\r\n", 250, 15574, "PU1450,3400;\r\n", 250, true,
       ""},
      {"16251 is written as 16250", "PD16000,500;\r\n", 251, 15574, "PD16250,500;\r\n", 251, true,
       ""},
      {"16250 stays", "PD16000,500;\r\n", 250, 15574, "PD16250,500;\r\n", 250, true, ""},
      {"16252 stays", "PD16000,500;\r\n", 252, 15574, "PD16252,500;\r\n", 252, true, ""},
      {"page record snaps and carries", "PG;   9000,0;\r\nPU1200,3400;\r\n", 250, 15574,
       "PG;8804,0;\r\nPU1646,3400;\r\n", 446, true, "."},
      {"page record already on the grid", "PG;   8804,0;\r\n", 446, 15574, "PG;   8804,0;\r\n", 446,
       false, "."},
      {"negative number", "PU-100,50;\r\n", 30, 15574, "PU-70,50;\r\n", 30, true, ""},
      {"only the first number", "PU1200,3400,5600,7800;\r\n", 10, 15574,
       "PU1210,3400,5600,7800;\r\n", 10, true, ""},
      {"plus sign stays in the prefix", "PU+1200,3400;\r\n", 250, 15574, "PU+1450,3400;\r\n", 250,
       true, ""},
      {"long field replaced whole", "PU123456789012,5;\r\n", 1, 15574, "PU1234567891,5;\r\n", 1,
       true, ""},
      {"zero shift leaves pens", "PU1200,3400;   \r\n", 0, 15574, "PU1200,3400;\r\n", 0, false,
       ""},
      {"negative shift leaves pens", "PU1200,3400;\r\n", -2, 15574, "PU1200,3400;\r\n", -2, false,
       ""},
      {"pen and page, no shift: page path", "PG;   9000,0;PA;\r\n", 0, 15574, "PG;8804,0;PA;\r\n",
       196, true, "."},
      {"pen and page, shift: pen path only", "PG;   9000,0;PA;\r\n", 5, 15574,
       "PG;9005,0;PA;\r\n", 5, true, ""},
      {"pen without comma", "PU1200 3400;\r\n", 250, 15574, "PU1200 3400;\r\n", 250, false, ""},
      {"comma before the number", "PU,1200;\r\n", 250, 15574, "PU,1200;\r\n", 250, false, ""},
      {"page value at the threshold", "PG;   15574,0;\r\n", 0, 15574, "PG;   15574,0;\r\n", 0, false,
       "."},
      {"page comma in column 7", "PG;   ,9000;\r\n", 0, 15574, "PG;   ,9000;\r\n", 0, false, ""},
      {"page without comma from column 7", "PG,   9000;\r\n", 0, 15574, "PG,   9000;\r\n", 0,
       false, ""},
      {"page value moves before column 7", "  PG  9000,0;\r\n", 0, 15574, "PG8804,0;\r\n", 196,
       true, "."},
      {"blank line", "     \r\nPX;\n", 0, 15574, "\r\nPX;\r\n", 0, false, ""},
      {"written as read keeps inner blanks, tabs, NULs",
       std::string("A B\tC\0D   \r\n", 12), 0, 15574, std::string("A B\tC\0D\r\n", 9), 0, false,
       ""},
      {"rewrite drops every blank and NUL", std::string("PU 1, \0 2 ;\r\n", 13), 1, 15574,
       "PU2,2;\r\n", 1, true, ""},
      {"rest fills column 80 exactly", "PU1," + std::string(67, 'x') + "\r\n", 250, 15574,
       "PU251," + std::string(67, 'x') + "\r\n", 250, true, ""},
      {"pen record reaching the 32-bit limit", "PU2147481647,0;\r\n", 2000, 15574,
       "PU2147483647,0;\r\n", 2000, true, ""},
      {"pen record reaching the field's limit", "PU0#C4653600,0;\r\n", 1, 15574,
       "PU-999999999,0;\r\n", 1, true, ""},
      {"negative page remainder equal to the shift", "PG;      0,0;\r\n", -2, 15574,
       "PG;      0,0;\r\n", -2, false,
       ". \r\nError: x,j,m=    -2    -2     0" + k_pause},
  };
  for (const LoopCase& c : cases) {
    FakeOs fake;
    FakeOsScope scope(fake);
    fake.files["plot.plt"] = c.plot;
    ASSERT_EQ(0, open_unit(k_plot_unit, "plot.plt", "OLD", "read"));
    ASSERT_EQ(0, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write"));
    console_record(" .", LineEnd::stays_open);
    std::int32_t shift = c.shift_in;
    const LoopResult result = process_plot_records(c.threshold, build_page_grid(), shift);
    close_unit(k_plot_unit);
    close_unit(k_temp_unit);
    EXPECT_TRUE(result.run_ok) << c.what;
    EXPECT_EQ(c.changed, result.changed) << c.what;
    EXPECT_EQ(c.shift_out, shift) << c.what;
    EXPECT_EQ(c.temp, fake.files[k_temp]) << c.what;
    EXPECT_EQ("." + c.console, fake.out) << c.what;
  }
}

TEST_F(RecordLoop, NegativePageRemainderShowsTheErrorLineAndPauses) {
  fake.stdin_lines = {"dir c:  "};
  const std::string temp = run("PG;   -5,0;\r\nPU10,20;\r\nPG;   9000,0;\r\n", 0);
  EXPECT_TRUE(result.run_ok);
  EXPECT_TRUE(result.changed);
  // Snapped to 0; the negative remainder then keeps the pen record as it is.
  EXPECT_EQ("PG;0,0;\r\nPU10,20;\r\nPG;8804,0;\r\n", temp);
  EXPECT_EQ(8995 - 8804, shift);
  // x, m and j in that order; after the pause the next dot starts a new line.
  EXPECT_EQ(".. \r\nError: x,j,m=    -5    -5     0" + k_pause + "\r\n", fake.out);
  EXPECT_EQ(std::vector<std::string>{"dir c:"}, fake.commands);
}

TEST_F(RecordLoop, PageValueOutsideTheGridIsReportedAndKeptAsRead) {
  fake.stdin_lines = {""};
  const std::string temp = run("PG;   16000,0;\r\nPG;   -1000,0;\r\n", 300, 20000);
  EXPECT_TRUE(result.run_ok);
  EXPECT_FALSE(result.changed);
  EXPECT_EQ(300, shift);
  EXPECT_EQ("PG;   16000,0;\r\nPG;   -1000,0;\r\n", temp);
  // 16300 gives index 24: measured against the last entry. -700 gives -1.
  EXPECT_EQ(".. \r\nError: x,j,m= 16300   726    24" + k_pause +
                "\r\n \r\nError: x,j,m=  -700  -700    -1" + k_pause,
            fake.out);
  EXPECT_TRUE(fake.commands.empty());
}

TEST_F(RecordLoop, PageValueFarBelowTheGridNeverOverflows) {
  fake.stdin_lines = {""};
  // #80000000 reads as the smallest 32-bit value; the shift takes it lower.
  const std::string temp = run("PG;   #80000000,0;\r\n", -2);
  EXPECT_TRUE(result.run_ok);
  EXPECT_FALSE(result.changed);
  EXPECT_EQ(-2, shift);
  EXPECT_EQ("PG;   #80000000,0;\r\n", temp);
  EXPECT_EQ(".. \r\nError: x,j,m=******************" + k_pause, fake.out);
}

TEST_F(RecordLoop, PenSumBeyondTheTenColumnFieldFailsTheLoop) {
  // 2147483000 + 2000 passes the 32-bit limit; 0#C4652E30 is -1000002000, and
  // with the shift -1000000000 would be ten asterisks.
  const std::string cases[] = {"PU2147483000,0;\r\n", "PU0#C4652E30,0;\r\n"};
  for (const std::string& pen : cases) {
    fake.files.erase(k_temp);
    const std::string temp = run("PU1,1;\r\n" + pen + "PU2,2;\r\n", 2000);
    EXPECT_FALSE(result.run_ok) << pen;
    EXPECT_EQ("PU2001,1;\r\n", temp) << pen;  // no asterisks, nothing after the failure
  }
}

TEST_F(RecordLoop, UnreadableFieldsAndOverlongRewritesFailTheLoop) {
  const std::string cases[] = {
      "PU12A,3;\r\n",                           // pen field does not convert
      "PG;   9A00,0;\r\n",                      // page field does not convert
      "PU1," + std::string(68, 'x') + "\r\n",   // 2 + 10 + 69 columns
      "PG;   9000," + std::string(64, 'x') + "\r\n",  // 6 + 10 + 65 columns
  };
  for (const std::string& bad : cases) {
    fake.files.erase(k_temp);
    const std::string temp = run("PX;\r\n" + bad + "PX;\r\n", 250);
    EXPECT_FALSE(result.run_ok) << bad;
    EXPECT_EQ("PX;\r\n", temp) << bad;
  }
}

TEST_F(RecordLoop, LossyLineEndsTheLoopBeforeItIsProcessed) {
  const std::string temp = run("PU1,1;\r\nPU2,2;\r\n" + std::string(81, 'x') + "\r\n", 10);
  EXPECT_FALSE(result.run_ok);
  EXPECT_EQ("PU11,1;\r\nPU12,2;\r\n", temp);
  EXPECT_EQ(". \r\nPlot file line 3 cannot be read without loss.", fake.out);
}

TEST_F(RecordLoop, FailingReadOrWriteClearsRunOk) {
  fake.fail_next("read", "plot.plt", OsError::io_error);
  run("PU1,1;\r\n", 10);
  EXPECT_FALSE(result.run_ok);

  fake.files.erase(k_temp);  // a fresh temporary file, as in a run
  fake.fail_next("write", k_temp, OsError::disk_full);
  run("PU1,1;\r\n", 10);
  EXPECT_FALSE(result.run_ok);
}

TEST_F(RecordLoop, EmptyPlotFileEndsCleanly) {
  EXPECT_EQ("", run("", 10));
  EXPECT_TRUE(result.run_ok);
  EXPECT_FALSE(result.changed);
  EXPECT_EQ(10, shift);
}

}  // namespace
