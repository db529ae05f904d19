// Tests of the console records, carriage control, stop, pause and process end.
#include "runtime/console.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "runtime/record_file.h"
#include "runtime/test_seam.h"
#include "tests/support/fake_os.h"

namespace {

const std::string k_prompt =
    "Pause - Please enter a blank line (to continue) or a DOS command.\r\n";

/// Runs `body`, which must end the process, and returns how it ended.
ProcessExit exit_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const ProcessExit& exit) {
    return exit;
  }
  ADD_FAILURE() << "the process did not end";
  return ProcessExit{-1};
}

class Console : public testing::Test {
 protected:
  FakeOs fake_;
  FakeOsScope scope_{fake_};
};

enum class State { fresh, ended, open };

/// Brings the console line into `state` and forgets the bytes written on the way.
void enter(State state, FakeOs& fake) {
  if (state == State::ended) console_text("before");
  if (state == State::open) console_record(" .", LineEnd::stays_open);
  fake.out.clear();
}

struct RecordCase {
  State state;
  std::string_view record;
  std::string_view bytes;
};

constexpr RecordCase k_record_cases[] = {
    {State::fresh, "+x", "\rx"},
    {State::fresh, "0x", "\r\nx"},
    {State::fresh, "1x", "\r\n\f\r \rx"},
    {State::fresh, " x", "x"},
    {State::fresh, "Ax", "x"},
    {State::fresh, "", ""},
    {State::ended, "+x", "\rx"},
    {State::ended, "0x", "\r\n\r\nx"},
    {State::ended, "1x", "\r\n\f\r \rx"},
    {State::ended, " x", "\r\nx"},
    {State::ended, ".", "\r\n"},
    {State::ended, "", "\r\n"},
    {State::open, "+x", "+x"},
    {State::open, "0x", "0x"},
    {State::open, "1x", "1x"},
    {State::open, "  OK", "  OK"},
    {State::open, "", " "},
};

TEST_F(Console, CarriageControlDependsOnTheLineState) {
  for (const RecordCase& c : k_record_cases) {
    SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(c.state) << " record ["
                                    << std::string(c.record) << "]");
    reset_console();
    enter(c.state, fake_);
    console_record(c.record);
    EXPECT_EQ(c.bytes, fake_.out);
  }
}

TEST_F(Console, EachRecordReachesTheConsoleAtOnce) {
  console_text(" ");
  console_record(" .", LineEnd::stays_open);
  const std::size_t writes = fake_.call_count();
  console_record(".", LineEnd::stays_open);
  EXPECT_EQ(writes + 1, fake_.call_count());
  EXPECT_EQ(" \r\n..", fake_.out);
}

TEST_F(Console, TypicalRunWritesTheBannerProgressAndOk) {
  const ProcessExit exit = exit_of([] {
    console_text(" ");
    console_text("Plotfile");
    console_text("maker");
    console_text(" ");
    console_record(" .", LineEnd::stays_open);
    for (int i = 0; i < 3; ++i) console_record(".", LineEnd::stays_open);
    console_record("  OK");
    end_process(0);
  });
  EXPECT_EQ(ProcessExit{0}, exit);
  EXPECT_EQ(" \r\nPlotfile\r\nmaker\r\n \r\n....  OK\r\n", fake_.out);
}

TEST_F(Console, ErrorLineAndPauseEndTheProgressLineAndTheNextDotStartsANewOne) {
  console_text(" ");
  console_record(" .", LineEnd::stays_open);
  console_record("");
  console_record(" Error: x,j,m=     1    24 99999");
  pause_run();
  console_record(".", LineEnd::stays_open);
  console_record(".", LineEnd::stays_open);
  console_record("  OK");
  EXPECT_EQ(" \r\n. \r\nError: x,j,m=     1    24 99999\r\n" + k_prompt + "\r\n.  OK",
            fake_.out);
}

TEST_F(Console, StopWithMessageIsFollowedByAnEmptyLine) {
  console_text(" ");
  EXPECT_EQ(ProcessExit{0}, exit_of([] { stop_run("No parameters."); }));
  EXPECT_EQ(" \r\nNo parameters.\r\n\r\n", fake_.out);
}

TEST_F(Console, StopWithoutMessageSaysProgramTerminated) {
  EXPECT_EQ(ProcessExit{0}, exit_of([] { stop_run(); }));
  EXPECT_EQ("Stop - Program terminated.\r\n", fake_.out);
}

TEST_F(Console, StopWritesTheGivenLengthOfTheMessage) {
  const std::string_view message("Error!xyz", 6);
  EXPECT_EQ(ProcessExit{0}, exit_of([&] { stop_run(message); }));
  EXPECT_EQ("Error!\r\n", fake_.out);
}

TEST_F(Console, ProcessEndClosesOpenUnitsWithTheirOutput) {
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "out.tmp", "UNKNOWN", "write"));
  ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, "PU1,2;"));
  EXPECT_EQ(ProcessExit{0}, exit_of([] { end_process(0); }));
  EXPECT_EQ("PU1,2;\r\n", fake_.files["out.tmp"]);
}

TEST_F(Console, ProcessEndClosesUnitsBeforeTheLineSoAFailedCloseEndsItOnce) {
  ASSERT_EQ(k_io_ok, open_unit(k_temp_unit, "out.tmp", "UNKNOWN", "write"));
  ASSERT_EQ(k_io_ok, write_text_record(k_temp_unit, "PU1,2;"));
  console_record(" .", LineEnd::stays_open);
  fake_.fail_next("write", "out.tmp.new0", OsError::disk_full);
  EXPECT_EQ(ProcessExit{1}, exit_of([] { end_process(0); }));
  EXPECT_EQ("\r\nrun-time error F1214: CLOSE(out.tmp)\r\n- disk full\r\n", fake_.err);
  EXPECT_EQ(".\r\n", fake_.out);
}

struct PauseCase {
  std::vector<std::string> input;  // empty: end of input
  std::vector<std::string> commands;
};

const std::string k_long_answer = "echo " + std::string(195, 'x');

const PauseCase k_pause_cases[] = {
    {{""}, {}},
    {{}, {}},
    {{" \t  \t"}, {}},
    {{"x"}, {}},
    {{"x \t "}, {}},
    {{"ab"}, {"ab"}},
    {{"dir c:\\ \t "}, {"dir c:\\"}},
    {{"  ver"}, {"  ver"}},
    {{k_long_answer + "  "}, {k_long_answer}},
};

TEST_F(Console, PauseRunsAnAnswerOfTwoOrMoreCharacters) {
  for (const PauseCase& c : k_pause_cases) {
    SCOPED_TRACE(testing::Message() << "answer [" << (c.input.empty() ? "<eof>" : c.input[0])
                                    << "]");
    fake_.commands.clear();
    fake_.stdin_lines.assign(c.input.begin(), c.input.end());
    pause_run();
    EXPECT_EQ(c.commands, fake_.commands);
  }
}

TEST_F(Console, LongAnswerIsConsumedWhole) {
  fake_.stdin_lines = {k_long_answer, "next"};
  pause_run();
  EXPECT_EQ(std::vector<std::string>{k_long_answer}, fake_.commands);
  EXPECT_EQ(std::deque<std::string>{"next"}, fake_.stdin_lines);
}

TEST_F(Console, PauseLeavesTheLineStateAsItWas) {
  console_text(" ");
  console_record(" .", LineEnd::stays_open);
  fake_.stdin_lines = {"dir"};
  pause_run();
  console_record("  OK");
  EXPECT_EQ(" \r\n.\r\n" + k_prompt + "  OK", fake_.out);
}

TEST_F(Console, FullOrRefusedConsoleEndsTheRunWithTheFatalReport) {
  for (const OsError error : {OsError::disk_full, OsError::access_denied}) {
    reset_units();  // forgets the report of the round before
    fake_.err.clear();
    fake_.fail_next("stdout", "", error);
    EXPECT_EQ(ProcessExit{1}, exit_of([] { console_text("lost"); }));
    EXPECT_NE(std::string::npos, fake_.err.find(": WRITE(USER)\r\n")) << fake_.err;
  }
}

TEST_F(Console, OtherConsoleFailuresAreIgnored) {
  fake_.fail_next("stdout", "", OsError::io_error);
  console_text("lost");
  console_text("seen");
  EXPECT_EQ("\r\nseen", fake_.out);
}

TEST_F(Console, FailuresWhileStoppingOrPausingAreIgnored) {
  console_text(" ");
  fake_.fail_next("stdout", "", OsError::disk_full);
  fake_.stdin_lines = {"ver"};
  pause_run();
  EXPECT_EQ(std::vector<std::string>{"ver"}, fake_.commands);
  fake_.fail_next("stdout", "", OsError::disk_full);
  fake_.fail_next("stdout", "", OsError::access_denied);
  EXPECT_EQ(ProcessExit{0}, exit_of([] { stop_run("Bye."); }));
  EXPECT_EQ("", fake_.err);
}

}  // namespace
