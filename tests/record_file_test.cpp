// Record files against the in-memory Os: cutting lines into records, the
// integer read, writing with CR LF, closing, opening rules and the fatal report.
#include "runtime/record_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/record_helpers.h"
#include "tests/support/tool_files.h"
#include "runtime/test_seam.h"

namespace {

constexpr std::size_t k_any_chunk = static_cast<std::size_t>(-1);

std::string text_of(const PlotRecord& record) {
  std::string text(record.begin(), record.end());
  return text;
}

std::size_t count_calls(const FakeOs& fake, const std::string& call) {
  return static_cast<std::size_t>(std::count(fake.calls.begin(), fake.calls.end(), call));
}

class RecordFile : public ::testing::Test {
 protected:
  FakeOs fake;
  FakeOsScope scope{fake};

  void open_for_reading(const std::string& content, std::size_t chunk = k_any_chunk) {
    fake.files["in.plt"] = content;
    fake.read_chunk = chunk;
    ASSERT_EQ(k_io_ok, open_unit(k_plot_unit, "in.plt", "OLD", "read"));
  }

  /// Reads text records until the end of the file; each entry is the record's
  /// data with its trailing blanks cut and "~" appended when it was lossy. The
  /// record is filled with '#' first, so a record not blank-filled to 80
  /// columns shows.
  std::vector<std::string> read_all() {
    std::vector<std::string> records;
    for (;;) {
      PlotRecord record;
      record.fill('#');
      bool lossless = false;
      const IoStatus s = read_text_record(k_plot_unit, record, lossless);
      if (s == k_io_end) {
        EXPECT_EQ(std::string(k_record_columns, '#'), text_of(record)) << "changed at end";
        break;
      }
      EXPECT_EQ(k_io_ok, s);
      if (s != k_io_ok) break;
      std::string text = text_of(record);
      text.erase(text.find_last_not_of(' ') + 1);
      records.push_back(lossless ? text : text + "~");
    }
    return records;
  }
};

// Reading ------------------------------------------------------------------

TEST_F(RecordFile, LinesAreCutIntoRecordsAlikeForWholeAndShortReads) {
  struct Case {
    const char* name;
    std::string content;
    std::vector<std::string> records;
    // When set: the first record comes after reading no more than this many
    // bytes of the file.
    std::size_t first_record_within = 0;
  };
  const std::string x100(100, 'x');
  // A line far longer than the buffer: what lies behind its loss is never
  // needed to refuse it (the line may be endless, as on a device).
  const std::string endless = std::string(81, 'x') + std::string(4 * k_record_buffer_size, '\0');
  const std::vector<Case> cases = {
      {"empty file", "", {}},
      {"CR LF lines", "PA10,20;\r\nPU1,2;\r\n", {"PA10,20;", "PU1,2;"}},
      {"LF lines", "a\nb\n", {"a", "b"}},
      {"last line without line end", "a\r\nlast", {"a", "last"}},
      {"last line ends in CR only", "a\r\nlast\r", {"a", "last"}},
      {"empty lines", "\r\n\n", {"", ""}},
      {"CR inside a line loses the rest", "ab\rcd\r\nef\r\n", {"ab~", "ef"}},
      {"CR-only line ends are one record", "a\rb\rc\r", {"a~"}},
      {"CR-only line ends up to the first LF", "a\rb\rc\nd\r\n", {"a~", "d"}},
      {"CRs before the LF are no loss", "x\r\r\n", {"x"}},
      {"100 characters keep 80", x100 + "\r\ny\r\n", {std::string(80, 'x') + "~", "y"}},
      {"blanks beyond column 80 are no loss",
       std::string(80, 'x') + "   \r\n",
       {std::string(80, 'x')}},
      {"blank beyond column 80 then a byte",
       std::string(80, 'x') + " z\r\n",
       {std::string(80, 'x') + "~"}},
      {"tab, NUL and 0x1A are data",
       std::string("a\tb\0c\032d\r\n", 9),
       {std::string("a\tb\0c\032d", 7)}},
      {"line longer than the buffer is refused at its loss",
       endless + "\r\nnext\r\n",
       {std::string(80, 'x') + "~", "next"},
       k_record_buffer_size},
  };
  for (const Case& c : cases) {
    for (const std::size_t chunk : {k_any_chunk, std::size_t{1}, std::size_t{7}}) {
      SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
      reset_units();
      open_for_reading(c.content, chunk);
      if (c.first_record_within > 0) {
        const std::size_t reads_before = count_calls(fake, "read in.plt");
        std::string_view data;
        bool lossless = true;
        ASSERT_EQ(k_io_ok, read_text_line(k_plot_unit, data, lossless));
        const std::size_t reads = count_calls(fake, "read in.plt") - reads_before;
        EXPECT_LE(std::min(reads * chunk, reads * k_record_buffer_size), c.first_record_within);
        close_unit(k_plot_unit);
        open_for_reading(c.content, chunk);
      }
      EXPECT_EQ(c.records, read_all());
      PlotRecord record{};
      bool lossless = true;
      EXPECT_EQ(k_io_end, read_text_record(k_plot_unit, record, lossless)) << "again at end";
      close_unit(k_plot_unit);
    }
  }
}

TEST_F(RecordFile, ReadsFewLargeBlocksNotOneCallPerRecord) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "PU1200,3400;\r\n";
  open_for_reading(content);
  EXPECT_EQ(20000u, read_all().size());
  EXPECT_LE(count_calls(fake, "read in.plt"), content.size() / 1024 + 2);
}

TEST_F(RecordFile, RefusedReadGivesAnErrorAndLeavesTheRecord) {
  open_for_reading("abc\r\n");
  fake.fail_next("read", "in.plt", OsError::io_error);
  PlotRecord record;
  record.fill('#');
  bool lossless = true;
  const IoStatus s = read_text_record(k_plot_unit, record, lossless);
  EXPECT_GT(s, 0);
  EXPECT_EQ(std::string(80, '#'), text_of(record));
  EXPECT_EQ(std::vector<std::string>{"abc"}, read_all());
}

TEST_F(RecordFile, ReadingAUnitNotOpenForReadingFails) {
  PlotRecord record{};
  bool lossless = true;
  EXPECT_EQ(k_io_not_open, read_text_record(k_plot_unit, record, lossless));
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "t.log", "UNKNOWN", "write"));
  std::int32_t value = 0;
  EXPECT_EQ(k_io_not_open, read_integer_record(k_temp_unit, value));
  EXPECT_EQ(k_io_not_open, write_text_record(k_plot_unit, "x"));
}

// Integer records ----------------------------------------------------------

TEST_F(RecordFile, IntegerRecordsReadOneFieldPerLine) {
  for (const std::size_t chunk : {k_any_chunk, std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(chunk);
    reset_units();
    open_for_reading("15574\r\n     15574\r\n\r\n12345678901\r\n12,34\r\n-7", chunk);
    std::vector<std::int32_t> values;
    std::int32_t value = 99;
    IoStatus s = k_io_ok;
    while ((s = read_integer_record(k_plot_unit, value)) == k_io_ok) values.push_back(value);
    EXPECT_EQ(k_io_end, s);
    EXPECT_EQ((std::vector<std::int32_t>{15574, 15574, 0, 1234567890, 12, -7}), values);
    EXPECT_EQ(-7, value);
    EXPECT_EQ(k_io_end, read_integer_record(k_plot_unit, value));
  }
}

TEST_F(RecordFile, FailedIntegerReadLeavesTheUnitInsideTheLine) {
  for (const std::size_t chunk : {k_any_chunk, std::size_t{1}, std::size_t{2}}) {
    SCOPED_TRACE(chunk);
    reset_units();
    open_for_reading("12A\r\n500\r\n", chunk);
    std::int32_t value = 7;
    EXPECT_GT(read_integer_record(k_plot_unit, value), 0);
    EXPECT_EQ(7, value);
    // The second read starts at the CR of the first line: an empty field.
    EXPECT_EQ(k_io_ok, read_integer_record(k_plot_unit, value));
    EXPECT_EQ(0, value);
    // That read took the rest of the first line only.
    EXPECT_EQ(k_io_ok, read_integer_record(k_plot_unit, value));
    EXPECT_EQ(500, value);
  }
}

TEST_F(RecordFile, IntegerFieldLongerThanTheLineGoesOnInsideIt) {
  // After an error the next field begins behind the ten characters taken.
  open_for_reading("1234567890x1\r\n");
  std::int32_t value = 0;
  ASSERT_EQ(k_io_ok, read_integer_record(k_plot_unit, value));
  EXPECT_EQ(1234567890, value);
  reset_units();
  open_for_reading("abcdefghij42\r\n");
  EXPECT_GT(read_integer_record(k_plot_unit, value), 0);
  ASSERT_EQ(k_io_ok, read_integer_record(k_plot_unit, value));
  EXPECT_EQ(42, value);
}

// Writing ------------------------------------------------------------------

TEST_F(RecordFile, EveryRecordWrittenEndsWithCrLf) {
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "t.log", "UNKNOWN", "write"));
  EXPECT_EQ(k_io_ok, write_text_record(k_temp_unit, "PU1450,3400;"));
  EXPECT_EQ(k_io_ok, write_text_record(k_temp_unit, ""));
  EXPECT_EQ(k_io_ok, write_integer_record(k_temp_unit, -42));
  EXPECT_EQ(k_io_ok, write_integer_record(k_temp_unit, -1000000000));
  write_literal_record(k_temp_unit, "15574");
  EXPECT_EQ(0u, fake.files.count("t.log")) << "no file under the name before the close";
  close_unit(k_temp_unit);
  EXPECT_EQ("PU1450,3400;\r\n\r\n       -42\r\n**********\r\n15574\r\n", fake.files["t.log"]);
  EXPECT_TRUE(fake.open_files().empty());
}

TEST_F(RecordFile, ExistingFileIsCutAtTheFirstWriteOnly) {
  fake.files[k_settings] = "old content that is longer\r\n";
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
  close_unit(k_settings_unit);
  EXPECT_EQ("old content that is longer\r\n", fake.files[k_settings]);
  EXPECT_EQ(0u, count_calls(fake, "create " + k_settings));

  // The new contents take the file's place in one step at close.
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
  write_literal_record(k_settings_unit, "0");
  write_literal_record(k_settings_unit, "1");
  EXPECT_EQ("old content that is longer\r\n", fake.files[k_settings]);
  close_unit(k_settings_unit);
  EXPECT_EQ("0\r\n1\r\n", fake.files[k_settings]);
  EXPECT_EQ(1u, count_calls(fake, "replace " + k_settings));
  EXPECT_EQ(1u, fake.files.size()) << "no file is left beside it";

  // Where the directory takes no new file, the old bytes are cut in place.
  fake.no_new_files = true;
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
  write_literal_record(k_settings_unit, "2");
  close_unit(k_settings_unit);
  EXPECT_EQ("2\r\n", fake.files[k_settings]);
  EXPECT_EQ(1u, count_calls(fake, "truncate " + k_settings));
  fake.no_new_files = false;

  // A file the open makes has nothing to cut: it comes into being whole,
  // beside its name, and takes the name at close.
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "new.log", "UNKNOWN", "write"));
  write_literal_record(k_temp_unit, "x");
  EXPECT_EQ(0u, fake.files.count("new.log"));
  close_unit(k_temp_unit);
  EXPECT_EQ("x\r\n", fake.files["new.log"]);
  EXPECT_EQ(0u, count_calls(fake, "truncate new.log"));
  EXPECT_EQ(1u, count_calls(fake, "create new.log"));
}

TEST_F(RecordFile, FailedFlushIsReportedAndTheCloseAfterItIsQuiet) {
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "t.log", "UNKNOWN", "write"));
  ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, "PU1;"));
  fake.fail_next("write", "t.log.new0", OsError::disk_full);
  EXPECT_GT(flush_unit(k_temp_unit), 0);
  close_unit(k_temp_unit);  // must not end the process
  EXPECT_EQ("", fake.err);
  EXPECT_EQ(k_io_not_open, flush_unit(k_temp_unit));
}

TEST_F(RecordFile, FailedTruncationFailsTheWrite) {
  fake.files["t.log"] = "old";
  fake.no_new_files = true;
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "t.log", "UNKNOWN", "write"));
  fake.fail_next("truncate", "t.log", OsError::access_denied);
  EXPECT_GT(write_text_record(k_temp_unit, "new"), 0);
  // New contents are all or nothing: no later record is taken.
  EXPECT_GT(write_text_record(k_temp_unit, "new"), 0);
  close_unit(k_temp_unit);
  EXPECT_EQ("old", fake.files["t.log"]);
  EXPECT_EQ("", fake.err);
}

// Closing ------------------------------------------------------------------

TEST_F(RecordFile, CloseWithDeleteDropsTheBufferAndRemovesTheFile) {
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write"));
  ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, "PU1;"));
  close_unit(k_temp_unit, Close::delete_file);
  EXPECT_EQ(0u, fake.files.count(k_temp));
  EXPECT_EQ(0u, count_calls(fake, "write " + k_temp));
  EXPECT_EQ("", unit_file_name(k_temp_unit));
  // The unit is free again.
  EXPECT_EQ(k_io_ok, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write"));
}

TEST_F(RecordFile, RemovalFailuresOtherThanRefusalAreIgnored) {
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write"));
  fake.fail_next("remove", k_temp, OsError::file_not_found);
  close_unit(k_temp_unit, Close::delete_file);
  EXPECT_EQ("", fake.err);
}

TEST_F(RecordFile, FatalReportGoesToStandardErrorAndEndsWithStatusOne) {
  struct Case {
    const char* name;
    const char* operation;  // "remove" on delete, "write" at a keep close, "close"
    OsError error;
    Close how;
    std::string report;
  };
  const std::vector<Case> cases = {
      {"refused removal", "remove", OsError::access_denied, Close::delete_file,
       "\r\nrun-time error F1212: CLOSE(" + k_temp + ")\r\n- access denied\r\n"},
      {"buffer flush at close", "write", OsError::disk_full, Close::keep,
       "\r\nrun-time error F1214: CLOSE(" + k_temp + ")\r\n- disk full\r\n"},
      {"closing the handle", "close", OsError::io_error, Close::keep,
       "\r\nrun-time error F1215: CLOSE(" + k_temp + ")\r\n- input/output error on the device\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_units();
    fake.err.clear();
    fake.files.erase(k_temp);
    ASSERT_EQ(k_io_ok,
              open_unit(k_temp_unit, k_temp, "UNKNOWN", "write", NewContents::scratch));
    ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, "PU1;"));
    fake.fail_next(c.operation, k_temp, c.error);
    try {
      close_unit(k_temp_unit, c.how);
      ADD_FAILURE() << "close returned";
    } catch (const ProcessExit& exit) {
      EXPECT_EQ(1, exit.status);
    }
    EXPECT_EQ(c.report, fake.err);
    EXPECT_TRUE(fake.open_files().empty());
  }
}

TEST_F(RecordFile, FailedLiteralWriteEndsWithTheReport) {
  fake.files[k_settings] = "old";
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
  fake.fail_next("create", k_settings, OsError::disk_full);
  EXPECT_THROW(write_literal_record(k_settings_unit, "0"), ProcessExit);
  EXPECT_EQ("\r\nrun-time error F1214: WRITE(" + k_settings + ")\r\n- disk full\r\n", fake.err);
  EXPECT_TRUE(fake.open_files().empty()) << "the process end closes the unit";
  EXPECT_EQ("old", fake.files[k_settings]);
}

TEST_F(RecordFile, FatalEndClosesTheOtherUnitsAndReportsOnlyOnce) {
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write", NewContents::scratch));
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, k_settings, "UNKNOWN", "write"));
  ASSERT_EQ(k_io_ok, write_text_record(k_settings_unit, "15574"));
  ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, "PU1;"));
  fake.fail_next("write", k_temp, OsError::disk_full);
  fake.fail_next("close", k_settings + ".new0", OsError::io_error);
  EXPECT_THROW(close_all_units(), ProcessExit);
  EXPECT_EQ("\r\nrun-time error F1214: CLOSE(" + k_temp + ")\r\n- disk full\r\n", fake.err);
  // Both files were made by their opens and could not be completed.
  EXPECT_EQ(0u, fake.files.count(k_settings));
  EXPECT_EQ(0u, fake.files.count(k_temp));
  EXPECT_TRUE(fake.open_files().empty());
}

// A console record held for a write the worker has still under way is
// dropped when the process ends on a fatal report: nothing is printed after
// the report.
TEST_F(RecordFile, ConsoleRecordsHeldForWritesAreDroppedAtAFatalEnd) {
  fake.threads = true;
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, k_temp, "UNKNOWN", "write", NewContents::scratch));
  ASSERT_TRUE(work_beside(k_temp_unit));
  fake.hold_writes(true);
  const std::string record(70, 'P');
  std::size_t written = 0;
  while (written <= k_record_buffer_size) {
    ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, record));
    written += record.size() + 2;
  }
  console_after_writes(k_temp_unit, ".", LineEnd::stays_open);
  EXPECT_EQ("", fake.out_tried) << "printed before its write was made";
  // The report ends the process, whose close waits for the write under way.
  std::thread let_go([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fake.hold_writes(false);
  });
  EXPECT_THROW(fatal_io_error(k_io_disk_full, "WRITE", "USER"), ProcessExit);
  let_go.join();
  EXPECT_EQ("", fake.out_tried);
  EXPECT_EQ(written, fake.files[k_temp].size()) << "the close keeps what was written";
}

// Opening ------------------------------------------------------------------

TEST_F(RecordFile, KeywordsMatchInAnyCaseWithTrailingBlanksOnly) {
  fake.files["f"] = "";
  struct Case {
    const char* status;
    const char* action;
    bool opens;
  };
  const std::vector<Case> cases = {
      {"OLD", "read", true},      {"old", "READ", true},       {"Old  ", "Read   ", true},
      {"UNKNOWN", "write", true}, {"unknown ", "WRITE", true}, {"OL", "read", false},
      {"OLD", "rea", false},      {" OLD", "read", false},     {"OLDX", "read", false},
      {"NEW", "read", false},     {"OLD", "readwrite", false}, {"", "read", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.status) + "/" + c.action);
    const IoStatus s = open_unit(k_settings_unit, "f", c.status, c.action);
    if (c.opens) {
      EXPECT_EQ(k_io_ok, s);
      close_unit(k_settings_unit);
    } else {
      EXPECT_EQ(k_io_bad_keyword, s);
      EXPECT_EQ("", unit_file_name(k_settings_unit));
    }
  }
}

TEST_F(RecordFile, NameIsTrimmedAndCutAfter259Characters) {
  fake.files["plot.plt"] = "";
  ASSERT_EQ(k_io_ok, open_unit(k_plot_unit, "   plot.plt   ", "OLD", "read"));
  EXPECT_EQ("plot.plt", unit_file_name(k_plot_unit));
  close_unit(k_plot_unit);

  const std::string long_name(259, 'n');
  fake.files[long_name] = "";
  ASSERT_EQ(k_io_ok, open_unit(k_plot_unit, long_name + "tail", "OLD", "read"));
  EXPECT_EQ(long_name, unit_file_name(k_plot_unit));
}

TEST_F(RecordFile, FailedOpensLeaveTheUnitClosedAndCreateNothing) {
  fake.files["ro.plt"] = "keep";
  fake.read_only.insert("ro.plt");
  fake.directories.insert("dir");
  EXPECT_GT(open_unit(k_plot_unit, "missing.plt", "OLD", "read"), 0);
  EXPECT_EQ(0u, fake.files.count("missing.plt"));
  EXPECT_GT(open_unit(k_plot_unit, "ro.plt", "OLD", "write"), 0);
  EXPECT_GT(open_unit(k_plot_unit, "dir", "OLD", "read"), 0);
  EXPECT_EQ("", unit_file_name(k_plot_unit));
  EXPECT_TRUE(fake.open_files().empty());
  EXPECT_EQ(k_io_ok, open_unit(k_plot_unit, "ro.plt", "OLD", "read"));
}

TEST_F(RecordFile, SameFileOrUnitTwiceIsRefused) {
  fake.files["plot.plt"] = "PU1;\r\n";
  ASSERT_EQ(k_io_ok, open_unit(k_plot_unit, "plot.plt", "OLD", "read"));
  EXPECT_EQ(k_io_unit_busy, open_unit(k_temp_unit, "plot.plt", "UNKNOWN", "write"));
  EXPECT_EQ(k_io_unit_busy, open_unit(k_plot_unit, "other.plt", "UNKNOWN", "write"));
  EXPECT_EQ(std::vector<std::string>{"plot.plt"}, fake.open_files());
  EXPECT_EQ("", unit_file_name(k_temp_unit));
  EXPECT_EQ(0u, fake.files.count("other.plt"));
  // A scratch file that is not the run's own is replaced under its name:
  // never where that name leads to the file open on the other unit.
  fake.foreign.insert("plot.plt");
  EXPECT_EQ(k_io_unit_busy,
            open_unit(k_temp_unit, "plot.plt", "UNKNOWN", "write", NewContents::scratch));
  close_unit(k_plot_unit);
  EXPECT_EQ("PU1;\r\n", fake.files["plot.plt"]);
}

TEST_F(RecordFile, BlankNameIsAskedForOnTheConsole) {
  fake.files["data.txt"] = "";
  fake.stdin_lines = {"   ", "  data.txt  "};
  ASSERT_EQ(k_io_ok, open_unit(k_settings_unit, std::string(300, ' '), "OLD", "read"));
  EXPECT_EQ("data.txt", unit_file_name(k_settings_unit));
  const std::string prompt = "File name missing or blank - please enter file name\r\nUNIT 17? ";
  EXPECT_EQ(prompt + prompt, fake.out);
}

TEST_F(RecordFile, BlankNameAtEndOfInputFailsTheOpen) {
  EXPECT_GT(open_unit(k_temp_unit, "", "UNKNOWN", "write"), 0);
  EXPECT_EQ("File name missing or blank - please enter file name\r\nUNIT 19? ", fake.out);
  EXPECT_TRUE(fake.files.empty());
  for (const std::string& call : fake.calls) EXPECT_NE(0u, call.rfind("open", 0)) << call;
}

}  // namespace
