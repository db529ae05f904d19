// End-to-end runs of the built program in scratch directories: exact console
// bytes, exit status, and the bytes of the plot, settings and temporary files.
//
// FEEDFIX_E2E_COMMAND, when set, replaces the program (split on blanks into a
// command prefix, e.g. "wine /path/feedfix.exe"); FEEDFIX_E2E_PLATFORM=windows
// skips the cases that only make sense on POSIX.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/tool_files.h"

using namespace std::string_literals;

namespace {

const std::string k_title = "Plotfile-Nachbehandlung  Gerber AP3xx-Plotter   V0.92";
const std::string k_warning = "ACHTUNG: Falsche INI-Werte wurden korrigiert!";
const std::string k_pause_prompt =
    "Pause - Please enter a blank line (to continue) or a DOS command.";

std::vector<std::string> program_command() {
  const char* command = std::getenv("FEEDFIX_E2E_COMMAND");
  if (command == nullptr || *command == '\0') return {FEEDFIX_BINARY};
  std::vector<std::string> words;
  std::string word;
  for (const char* p = command;; ++p) {
    if (*p == '\0' || *p == ' ' || *p == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (*p == '\0') break;
    } else {
      word += *p;
    }
  }
  return words;
}

bool on_windows() {
  const char* platform = std::getenv("FEEDFIX_E2E_PLATFORM");
  return platform != nullptr && std::string(platform) == "windows";
}

#define SKIP_ON_WINDOWS(why) \
  if (on_windows()) GTEST_SKIP() << why

RunResult run_in(const ScratchDir& dir, const std::vector<std::string>& args,
                 const RunOptions& options = {}) {
  std::vector<std::string> command = program_command();
  command.insert(command.end(), args.begin(), args.end());
  return dir.run(command, options);
}

/// The program's maker line (52 characters, ending in the year 2001).
const std::string& maker_line() {
  static const std::string maker = "feedfix plot file post-processing tool (c) 1997-2001";
  return maker;
}

/// The four banner records as the first bytes of every run.
std::string banner() { return " \r\n" + k_title + "\r\n" + maker_line() + "\r\n "; }

/// A run that ends through stop_run after the banner and `middle`.
std::string stopped(const std::string& message, const std::string& middle = "") {
  return banner() + middle + "\r\n" + message + "\r\n\r\n";
}

/// A completed run: the progress line with `page_dots` dots after the opening one.
std::string completed(int page_dots, const std::string& middle = "") {
  return banner() + middle + "\r\n." + std::string(static_cast<std::size_t>(page_dots), '.') +
         "  OK\r\n";
}

std::string warning() { return "\r\n" + k_warning; }

std::string ten_columns(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d", static_cast<int>(value));
  return text;
}

/// The settings file as the end of a completed run writes it.
std::string write_back(std::int32_t pg_threshold, std::int32_t carried_shift) {
  return ten_columns(pg_threshold) + "\r\n" + ten_columns(carried_shift) + "\r\n";
}

void expect_exit(const RunResult& result, int status) {
  EXPECT_TRUE(result.started && !result.timed_out && result.signal == 0 &&
              result.exit_status == status)
      << "expected exit " << status << ", got " << result.describe();
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  EXPECT_TRUE(stream.good()) << "cannot read " << path;
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

void make_read_only(const ScratchDir& dir, const std::string& name) {
  std::filesystem::permissions(dir.file(name), std::filesystem::perms::owner_read |
                                                   std::filesystem::perms::group_read |
                                                   std::filesystem::perms::others_read);
}

class E2e : public ::testing::Test {
 protected:
  RunResult run(const std::vector<std::string>& args, const RunOptions& options = {}) {
    return run_in(dir, args, options);
  }
  ScratchDir dir;
};

// ---------------------------------------------------------------------------
// Banner, argument and early ends

TEST_F(E2e, NoArgumentPrintsBannerAndStopsWithoutTouchingAnyFile) {
  RunResult result = run({});
  expect_exit(result, 0);
  const std::string& maker = maker_line();
  EXPECT_EQ(52u, maker.size()) << maker;
  EXPECT_TRUE(maker.size() >= 4 && maker.compare(maker.size() - 4, 4, "2001") == 0) << maker;
  EXPECT_EQ(" \r\n" + k_title + "\r\n" + maker + "\r\n \r\nNo parameters.\r\n\r\n", result.out);
  EXPECT_EQ(53u, k_title.size());
  EXPECT_EQ("", result.err);
  EXPECT_TRUE(dir.names().empty());
}

TEST_F(E2e, InvalidArgumentsStopBeforeTheSettingsFileIsRead) {
  const std::vector<std::string> arguments = {"", std::string(260, 'a'), std::string(300, 'b')};
  for (const std::string& argument : arguments) {
    SCOPED_TRACE("argument of " + std::to_string(argument.size()) + " characters");
    ScratchDir scratch;
    RunResult result = run_in(scratch, {argument});
    expect_exit(result, 0);
    EXPECT_EQ(stopped("Parameter (plot file) invalid."), result.out);
    EXPECT_TRUE(scratch.names().empty());
  }
}

TEST_F(E2e, MissingSettingsFileIsCreatedWithDefaultsAndTheNextRunUsesThem) {
  const std::string plot = "PU1200,3400;\r\nPG;   9000,0;\r\n";
  dir.write("p.plt", plot);

  RunResult first = run({"p.plt"});
  expect_exit(first, 0);
  EXPECT_EQ(stopped("INI-file not found. Default file created."), first.out);
  EXPECT_EQ("15574\r\n0\r\n", dir.read(k_settings));
  EXPECT_EQ(plot, dir.read("p.plt"));
  EXPECT_FALSE(dir.exists(k_temp));

  // Shift 0 leaves the pen record; the page record snaps to 8804, remainder 196.
  RunResult second = run({"p.plt"});
  expect_exit(second, 0);
  EXPECT_EQ(completed(1), second.out);
  EXPECT_EQ("PU1200,3400;\r\nPG;8804,0;\r\n", dir.read("p.plt"));
  EXPECT_EQ(write_back(15574, 196), dir.read(k_settings));
  EXPECT_FALSE(dir.exists(k_temp));
}

TEST_F(E2e, ResetWithoutSettingsFileCreatesTheDefaultFileInstead) {
  RunResult result = run({"/r"});
  expect_exit(result, 0);
  EXPECT_EQ(stopped("INI-file not found. Default file created."), result.out);
  EXPECT_EQ("15574\r\n0\r\n", dir.read(k_settings));
  EXPECT_EQ((std::vector<std::string>{k_settings}), dir.names());
}

// A stop before the plot is touched: every file stays as it was and nothing
// is created beside it.
TEST_F(E2e, EarlyStopsLeaveEveryFileAsItWas) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files;  // name, bytes
    std::vector<std::string> directories;
    std::string read_only;
    std::string argument;
    std::string out;
  };
  const std::pair<std::string, std::string> settings = {k_settings, "15574\r\n250\r\n"};
  const std::pair<std::string, std::string> plot = {"p.plt", "PU1200,3400;\r\n"};
  std::vector<Case> cases = {
      {"settings file that can be neither read nor created", {plot}, {k_settings}, "", "p.plt",
       stopped("INI-file cannot be used.")},
      {"missing plot file leaves corrected settings unwritten", {{k_settings, "9999\r\n0\r\n"}},
       {}, "", "missing.plt", stopped("Cannot open plot file.", warning())},
      {"directory as plot file", {settings}, {"plots"}, "", "plots",
       stopped("Cannot open plot file.")},
      {"temporary file as plot file", {settings, {k_temp, "PU1200,3400;\r\n"}}, {}, "", k_temp,
       stopped("Cannot open temporary file.")},
      {"temporary file that cannot be created", {settings, plot}, {k_temp}, "", "p.plt",
       stopped("Cannot open temporary file.")},
      {"reset of a read-only settings file", {settings}, {}, k_settings, "/r",
       stopped("INI-file not opened (for writing).")},
      // Read-only means read-only, also for the run's own temporary file.
      {"read-only temporary file", {settings, plot, {k_temp, "kept\r\n"}}, {}, k_temp, "p.plt",
       stopped("Cannot open temporary file.")},
  };
  // Arguments that only look like reset switches name plot files.
  for (const std::string& argument :
       {"/rx"s, "r"s, "R"s, "rr"s, "/x"s, "/r "s, " /r"s, "-R-"s, "--r"s}) {
    cases.push_back({"argument \"" + argument + "\"", {settings}, {}, "", argument,
                     stopped("Cannot open plot file.")});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    std::vector<std::string> names = c.directories;
    for (const auto& [name, bytes] : c.files) {
      scratch.write(name, bytes);
      names.push_back(name);
    }
    for (const std::string& name : c.directories) {
      std::filesystem::create_directory(scratch.file(name));
    }
    if (!c.read_only.empty()) make_read_only(scratch, c.read_only);
    std::sort(names.begin(), names.end());
    RunResult result = run_in(scratch, {c.argument});
    expect_exit(result, 0);
    EXPECT_EQ(c.out, result.out);
    for (const auto& [name, bytes] : c.files) EXPECT_EQ(bytes, scratch.read(name)) << name;
    EXPECT_EQ(names, scratch.names());
  }
}

TEST_F(E2e, DeviceThatWouldKeepTheRunWaitingIsRefusedAtOnce) {
  SKIP_ON_WINDOWS("devices");
  if (!std::filesystem::exists("/dev/ptmx")) GTEST_SKIP() << "no /dev/ptmx";
  dir.write(k_settings, "15574\r\n250\r\n");
  std::filesystem::create_symlink("/dev/ptmx", dir.file("p.plt"));
  RunOptions options;
  options.timeout_seconds = 10;
  RunResult result = run({"p.plt"}, options);
  expect_exit(result, 0);
  EXPECT_EQ(stopped("Cannot open plot file."), result.out);
}

// ---------------------------------------------------------------------------
// Complete runs

TEST_F(E2e, TypicalRunRewritesThePlotAndCarriesTheShiftIntoTheNextRun) {
  dir.write(k_settings, "15574\r\n250\r\n");
  dir.write("p.plt",
            "IN;\r\nSP1;\r\nPU1200,3400;\r\nPD1300,3400;\r\nPG;   9000,0;\r\nPU1200,3400;\r\n"
            "SP0;\r\n");
  RunResult result = run({"p.plt"});
  expect_exit(result, 0);
  EXPECT_EQ(completed(1), result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ("IN;\r\nSP1;\r\nPU1450,3400;\r\nPD1550,3400;\r\nPG;8804,0;\r\nPU1646,3400;\r\nSP0;\r\n",
            dir.read("p.plt"));
  EXPECT_EQ("     15574\r\n       446\r\n", dir.read(k_settings));
  EXPECT_EQ((std::vector<std::string>{k_settings, "p.plt"}), dir.names());

  dir.write("q.plt", "PU100,200;\r\n");
  RunResult next = run({"q.plt"});
  expect_exit(next, 0);
  EXPECT_EQ(completed(0), next.out);
  EXPECT_EQ("PU546,200;\r\n", dir.read("q.plt"));
  EXPECT_EQ(write_back(15574, 446), dir.read(k_settings));
}

TEST_F(E2e, BundledExampleIsProcessedOnTheSecondRun) {
  dir.write("example.plt",
            read_file(std::filesystem::path(FEEDFIX_SOURCE_DIR) / "examples" / "example.plt"));
  RunResult first = run({"example.plt"});
  expect_exit(first, 0);
  EXPECT_EQ(stopped("INI-file not found. Default file created."), first.out);

  RunResult second = run({"example.plt"});
  expect_exit(second, 0);
  EXPECT_EQ(completed(3), second.out);
  EXPECT_EQ(
      "IN;\r\nSP1;\r\nPA0,0;\r\nPG;2710,0;\r\nPU1490,3400;\r\nPD2090,3400;\r\nPD2090,4000;\r\n"
      "PD1490,4000;\r\nPD1490,3400;\r\nPU290,0;\r\nPG;8804,0;\r\nPU2986,1000;\r\nPD3986,1000;\r\n"
      "PA3986,2000;\r\nPU486,0;\r\nPG;12866,0;\r\nPU620,500;\r\nPD1020,900;\r\nSP0;\r\n",
      dir.read("example.plt"));
  EXPECT_EQ(write_back(15574, 120), dir.read(k_settings));
  EXPECT_EQ((std::vector<std::string>{"example.plt", k_settings}), dir.names());
}

TEST_F(E2e, PlotElsewhereIsReplacedWholeDespiteAStaleTemporaryFile) {
  std::filesystem::create_directory(dir.file("sub"));
  dir.write("sub/p.plt", "PU1200,3400;\r\n");
  dir.write(k_temp, std::string(5000, 'x') + "\r\n");
  dir.write(k_settings, "15574\r\n250\r\n");
  RunResult result = run({"sub/p.plt"});
  expect_exit(result, 0);
  EXPECT_EQ(completed(0), result.out);
  EXPECT_EQ("PU1450,3400;\r\n", dir.read("sub/p.plt"));
  EXPECT_EQ((std::vector<std::string>{k_settings, "sub"}), dir.names());
}

TEST_F(E2e, FurtherArgumentsAreIgnored) {
  dir.write(k_settings, "15574\r\n250\r\n");
  dir.write("p.plt", "PU1200,3400;\r\n");
  dir.write("q.plt", "PU1200,3400;\r\n");
  RunResult result = run({"p.plt", "q.plt", "/r"});
  expect_exit(result, 0);
  EXPECT_EQ(completed(0), result.out);
  EXPECT_EQ("PU1450,3400;\r\n", dir.read("p.plt"));
  EXPECT_EQ("PU1200,3400;\r\n", dir.read("q.plt"));
}

// ---------------------------------------------------------------------------
// Settings file forms and ranges

TEST_F(E2e, SettingsAreReadInEveryFormAndCorrectedOutsideTheirRanges) {
  struct Case {
    std::string content;
    bool warns;
    std::int32_t pg_threshold;
    std::int32_t carried_shift;
  };
  const std::vector<Case> cases = {
      {"15574\r\n0\r\n", false, 15574, 0},
      {"     20000\r\n        -2\r\n", false, 20000, -2},
      {"20000     \r\n-2        \r\n", false, 20000, -2},
      {" 2 0 0 0 0\r\n  - 2\r\n", false, 20000, -2},
      {"\t20000\n300\n", false, 20000, 300},
      {"20000\r\n300", false, 20000, 300},
      {"     15574 comment\r\n       250 more\r\nthird record\r\n", false, 15574, 250},
      {"10000\r\n2000\r\n", false, 10000, 2000},
      {"40000\r\n-2\r\n", false, 40000, -2},
      {"15574\r\n\r\n", false, 15574, 0},
      {"15574\r\n          250\r\n", false, 15574, 0},  // from column 11 on: ignored
      {"9999\r\n0\r\n", true, 15574, 0},
      {"40001\r\n17\r\n", true, 15574, 0},
      {"15574\r\n-3\r\n", true, 15574, 0},
      {"15574\r\n2001\r\n", true, 15574, 0},
      {"\r\n250\r\n", true, 15574, 0},
      {"          20000\r\n0\r\n", true, 15574, 0},
      {"12A\r\n250\r\n", true, 15574, 0},
      {"20000\r\n12A\r\n", true, 15574, 0},
      {"20000\r\n", true, 15574, 0},
      {"", true, 15574, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("settings \"" + escape_bytes(c.content) + "\"");
    ScratchDir scratch;
    scratch.write(k_settings, c.content);
    scratch.write("p.plt", "");
    RunResult result = run_in(scratch, {"p.plt"});
    expect_exit(result, 0);
    EXPECT_EQ(completed(0, c.warns ? warning() : ""), result.out);
    EXPECT_EQ(write_back(c.pg_threshold, c.carried_shift), scratch.read(k_settings));
    EXPECT_EQ("", scratch.read("p.plt"));
    EXPECT_EQ((std::vector<std::string>{k_settings, "p.plt"}), scratch.names());
  }
}

TEST_F(E2e, EachResetSwitchZeroesTheShiftAndKeepsTheThreshold) {
  for (const std::string& reset : {"/r"s, "/R"s, "-r"s, "-R"s}) {
    SCOPED_TRACE(reset);
    ScratchDir scratch;
    scratch.write(k_settings, "     20000\r\n       300\r\n");
    const bool plain_name = reset[0] == '-';
    if (plain_name) scratch.write(reset, "PU1200,3400;\r\n");  // the switch wins over the file
    RunResult result = run_in(scratch, {reset});
    expect_exit(result, 0);
    EXPECT_EQ(stopped("Ini file resetted. Shift length set to zero."), result.out);
    EXPECT_EQ("     20000\r\n0\r\n", scratch.read(k_settings));
    if (plain_name) {
      EXPECT_EQ("PU1200,3400;\r\n", scratch.read(reset));
    }
    EXPECT_FALSE(scratch.exists(k_temp));
  }
}

TEST_F(E2e, ResetWritesTheDefaultThresholdWhenTheStoredValuesWereWrong) {
  dir.write(k_settings, "15574\r\n250\r\n");
  RunResult valid = run({"-R"});
  expect_exit(valid, 0);
  EXPECT_EQ(stopped("Ini file resetted. Shift length set to zero."), valid.out);
  EXPECT_EQ("     15574\r\n0\r\n", dir.read(k_settings));
  EXPECT_EQ(15u, dir.read(k_settings).value_or("").size());

  dir.write(k_settings, "40001\r\n17\r\n");
  RunResult corrected = run({"/r"});
  expect_exit(corrected, 0);
  EXPECT_EQ(stopped("Ini file resetted. Shift length set to zero.", warning()), corrected.out);
  EXPECT_EQ("     15574\r\n0\r\n", dir.read(k_settings));
}

// ---------------------------------------------------------------------------
// Record rewriting

TEST_F(E2e, PenAndPageRecordsAreRewrittenAsInTheWorkedExamples) {
  struct Case {
    std::string name;
    std::int32_t pg_threshold;
    std::int32_t carried_shift;
    std::string plot;
    std::optional<std::string> rewritten;  // nothing: the plot stays as it was
    int page_dots;
    std::int32_t final_shift;
  };
  const std::vector<Case> cases = {
      {"pen record", 15574, 250, "PU1200,3400;\r\n", "PU1450,3400;\r\n", 0, 250},
      {"rewritten record loses its blanks", 15574, 250, "PU 1200, 3400 ;\r\n", "PU1450,3400;\r\n",
       0, 250},
      {"16251 is written as 16250", 15574, 251, "PD16000,500;\r\n", "PD16250,500;\r\n", 0, 251},
      {"16250 and 16252 stay", 15574, 250, "PD16000,1;\r\nPD16002,1;\r\n",
       "PD16250,1;\r\nPD16252,1;\r\n", 0, 250},
      {"page snapped, remainder carried", 15574, 250, "PG;   9000,0;\r\nPU1200,3400;\r\n",
       "PG;8804,0;\r\nPU1646,3400;\r\n", 1, 446},
      {"page already on the grid", 15574, 446, "PG;   8804,0;\r\n", std::nullopt, 1, 446},
      {"three pages carry their remainders", 15574, 250,
       "PG;   9000,0;\r\nPU100,0;\r\nPG;   9000,0;\r\nPU100,0;\r\nPG;   9000,0;\r\nPU100,0;\r\n",
       "PG;8804,0;\r\nPU546,0;\r\nPG;8804,0;\r\nPU742,0;\r\nPG;9481,0;\r\nPU261,0;\r\n", 3, 161},
      {"negative coordinate", 15574, 30, "PU-100,50;\r\n", "PU-70,50;\r\n", 0, 30},
      {"only the first number", 15574, 10, "PU1200,3400,5600,7800;\r\n",
       "PU1210,3400,5600,7800;\r\n", 0, 10},
      {"plus sign stays in the prefix", 15574, 250, "PU+1200,3400;\r\n", "PU+1450,3400;\r\n", 0,
       250},
      {"long field read from 10 characters, replaced whole", 15574, 10, "PU123456789012,1;\r\n",
       "PU1234567900,1;\r\n", 0, 10},
      {"shift 0 moves no pen", 15574, 0, "PU1200,3400;\r\n", std::nullopt, 0, 0},
      {"negative shift moves no pen", 15574, -2, "PU1200,3400;\r\n", std::nullopt, 0, -2},
      {"PA and PG with shift 0 take the page path", 15574, 0, "PAPG; 9000,0;\r\n",
       "PAPG;8804,0;\r\n", 1, 196},
      {"PA and PG with a positive shift are a pen record", 15574, 10, "PAPG; 9000,0;\r\n",
       "PAPG;9010,0;\r\n", 0, 10},
      {"pen records without a usable comma stay", 15574, 250, "PU;\r\nPU,12;\r\nPD12;\r\n",
       std::nullopt, 0, 250},
      {"page value equal to the threshold stays", 15574, 0, "PG;   15574,0;\r\n", std::nullopt, 1,
       0},
      {"page records without a comma from column 8 on get no dot", 15574, 0,
       "PG;\r\nPG1,2;\r\nPG;   ,1;\r\n", std::nullopt, 0, 0},
      {"page value standing before column 7", 15574, 0, "  PG  9000,0;\r\n", "PG8804,0;\r\n", 1,
       196},
      {"higher threshold snaps higher pages", 40000, 0, "PG;   16000,0;\r\n", "PG;15574,0;\r\n", 1,
       426},
      {"line ends become CR LF, trailing blanks go", 15574, 250,
       "SP1;   \nPU1200,3400;\n\n     \r\nLB;", "SP1;\r\nPU1450,3400;\r\n\r\n\r\nLB;\r\n", 0, 250},
      {"tabs, NUL and 0x1A stay in records written as read", 15574, 250,
       "LB\tA\0B\x1A;\r\nPU1200,3400;\r\n"s, "LB\tA\0B\x1A;\r\nPU1450,3400;\r\n"s, 0, 250},
      {"blanks beyond column 80", 15574, 250, "PU1200,3400;" + std::string(80, ' ') + "\r\n",
       "PU1450,3400;\r\n", 0, 250},
      {"a full 80-column line", 15574, 250, "LB" + std::string(78, 'A') + "\r\nPU1200,3400;\r\n",
       "LB" + std::string(78, 'A') + "\r\nPU1450,3400;\r\n", 0, 250},
      {"no record rewritten: the plot keeps its bytes, line ends and all", 15574, 0,
       "SP1;   \r\nPU100,200;\r\nPG;   16000,0;\nLB\tx;", std::nullopt, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    scratch.write(k_settings, std::to_string(c.pg_threshold) + "\r\n" +
                                  std::to_string(c.carried_shift) + "\r\n");
    scratch.write("p.plt", c.plot);
    RunResult result = run_in(scratch, {"p.plt"});
    expect_exit(result, 0);
    EXPECT_EQ(completed(c.page_dots), result.out);
    EXPECT_EQ(c.rewritten.value_or(c.plot), scratch.read("p.plt"));
    EXPECT_EQ(write_back(c.pg_threshold, c.final_shift), scratch.read(k_settings));
    EXPECT_FALSE(scratch.exists(k_temp));
  }
}

TEST_F(E2e, RecordThatCannotBeRewrittenStopsAndLeavesPlotAndSettings) {
  struct Case {
    std::string name;
    std::string bad_record;
    int page_dots;
  };
  const std::vector<Case> cases = {
      {"pen record too long to compose", "PU1," + std::string(70, 'X') + "\r\n", 0},
      {"pen field that is no number", "PU12A,3;\r\n", 0},
      {"page field that is no number", "PG;   9X00,0;\r\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const std::string plot = "PU1200,3400;\r\n" + c.bad_record + "PU1,2;\r\n";
    scratch.write(k_settings, "15574\r\n250\r\n");
    scratch.write("p.plt", plot);
    RunResult result = run_in(scratch, {"p.plt"});
    expect_exit(result, 0);
    EXPECT_EQ(stopped("Error on reading or writing.",
                      "\r\n." + std::string(static_cast<std::size_t>(c.page_dots), '.')),
              result.out);
    EXPECT_EQ(plot, scratch.read("p.plt"));
    EXPECT_EQ("15574\r\n250\r\n", scratch.read(k_settings));
    EXPECT_EQ("PU1450,3400;\r\n", scratch.read(k_temp));
  }
}

TEST_F(E2e, NegativeRemainderShowsTheErrorLineAndPausesForABlankAnswer) {
  dir.write(k_settings, "15574\r\n-1\r\n");
  dir.write("p.plt", "PG;     -1,0;\r\nPU1200,3400;\r\nPG;   9000,0;\r\nPU1200,3400;\r\n");
  RunOptions options;
  options.input = "\n";
  RunResult result = run({"p.plt"}, options);
  expect_exit(result, 0);
  // x = -2, m = -2, j = 0. After the pause the next dot becomes the line advance.
  EXPECT_EQ(banner() + "\r\n.. \r\nError: x,j,m=    -2    -2     0\r\n" + k_pause_prompt +
                "\r\n\r\n  OK\r\n",
            result.out);
  EXPECT_EQ("PG;0,0;\r\nPU1200,3400;\r\nPG;8804,0;\r\nPU1394,3400;\r\n", dir.read("p.plt"));
  EXPECT_EQ(write_back(15574, 194), dir.read(k_settings));
  EXPECT_FALSE(dir.exists(k_temp));
}

TEST_F(E2e, PauseAnswerIsRunThroughTheCommandInterpreterOnlyFromATerminal) {
  SKIP_ON_WINDOWS("the command interpreter stand-in is a POSIX shell script");
  // A batch loop's input (the next file name, which anyone who may write the
  // spool can choose) is read and dropped, with the same console bytes.
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "pipe");
    ScratchDir scratch;
    scratch.write("comspec.sh",
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.log\"\n");
    std::filesystem::permissions(scratch.file("comspec.sh"), std::filesystem::perms::owner_all);
    scratch.write(k_settings, "15574\r\n-1\r\n");
    scratch.write("p.plt", "PG;     -1,0;\r\n");
    RunOptions options;
    options.input = "echo hello  \t\n";
    options.terminal_input = terminal;
    options.env["COMSPEC"] = scratch.file("comspec.sh");
    RunResult result = run_in(scratch, {"p.plt"}, options);
    expect_exit(result, 0);
    EXPECT_EQ(banner() + "\r\n.. \r\nError: x,j,m=    -2    -2     0\r\n" + k_pause_prompt +
                  "\r\n\r\n OK\r\n",
              result.out);
    EXPECT_EQ(terminal ? std::optional<std::string>("/c\necho hello\n") : std::nullopt,
              scratch.read("args.log"));
    EXPECT_EQ("PG;0,0;\r\n", scratch.read("p.plt"));
    EXPECT_EQ(write_back(15574, -2), scratch.read(k_settings));
  }
}

TEST_F(E2e, PageValueOutsideTheGridIsReportedAndWrittenAsRead) {
  dir.write(k_settings, "40000\r\n0\r\n");
  const std::string plot = "PG;   20000,0;\r\nPU100,0;\r\n";
  dir.write("p.plt", plot);
  RunResult result = run({"p.plt"});
  expect_exit(result, 0);
  // x = 20000 gives grid index 29; what stands as remainder is the program's choice.
  const std::string head = banner() + "\r\n.. \r\nError: x,j,m= 20000";
  const std::string tail = "\r\n" + k_pause_prompt + "\r\n\r\n OK\r\n";
  ASSERT_EQ(head.size() + 12 + tail.size(), result.out.size()) << result.describe();
  EXPECT_EQ(head, result.out.substr(0, head.size()));
  EXPECT_EQ(tail, result.out.substr(head.size() + 12));
  EXPECT_EQ(plot, dir.read("p.plt"));
  EXPECT_EQ(write_back(40000, 0), dir.read(k_settings));
}

// ---------------------------------------------------------------------------
// No plot data is lost

TEST_F(E2e, LinesThatCannotBeReadWithoutLossStopTheRunBeforeAnyChange) {
  struct Case {
    std::string name;
    std::string plot;
    int page_dots;
    int line;
    // When set, the plot file is a symbolic link to this device instead;
    // "terminal": to a terminal that gives `plot` and then nothing, never
    // an end.
    std::string device = {};
  };
  const std::vector<Case> cases = {
      {"text beyond column 80", "PU1200,3400;\r\nLB" + std::string(83, 'A') + "\r\nPU1,2;\r\n", 0,
       2},
      {"CR inside a line", "PG;   9000,0;\r\nPU1,2;\rX\r\nPU1,2;\r\n", 1, 2},
      {"CR inside the first line", "PU1,2;\rX\r\n", 0, 1},
      {"long last line without line end", "SP1;\nPU1200,3400;\n" + std::string(81, 'x'), 0, 3},
      // An endless line ends the run at its column 81, not never.
      {"endless line of NUL bytes", "", 0, 1, "/dev/zero"},
      // Nothing reads on where the loop has stopped: a read that waits for
      // ever would keep the run from its end.
      {"terminal that waits after a long line", std::string(90, 'A') + "\n", 0, 1, "terminal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.device.empty() &&
        (on_windows() || (c.device != "terminal" && !std::filesystem::exists(c.device)))) {
      continue;
    }
    ScratchDir scratch;
    scratch.write(k_settings, "15574\r\n250\r\n");
    int terminal = -1;
    if (c.device == "terminal") {
      terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
      ASSERT_LE(0, terminal);
      ASSERT_EQ(0, ::grantpt(terminal));
      ASSERT_EQ(0, ::unlockpt(terminal));
      ASSERT_EQ(static_cast<ssize_t>(c.plot.size()), ::write(terminal, c.plot.data(), c.plot.size()));
      std::filesystem::create_symlink(::ptsname(terminal), scratch.file("p.plt"));
    } else if (c.device.empty()) {
      scratch.write("p.plt", c.plot);
    } else {
      std::filesystem::create_symlink(c.device, scratch.file("p.plt"));
    }
    RunOptions options;
    options.timeout_seconds = 20;
    RunResult result = run_in(scratch, {"p.plt"}, options);
    if (terminal >= 0) ::close(terminal);
    expect_exit(result, 0);
    EXPECT_EQ(stopped("Error on reading or writing.",
                      "\r\n." + std::string(static_cast<std::size_t>(c.page_dots), '.') +
                          " \r\nPlot file line " + std::to_string(c.line) +
                          " cannot be read without loss."),
              result.out);
    if (c.device.empty()) {
      EXPECT_EQ(c.plot, scratch.read("p.plt"));
    }
    EXPECT_EQ("15574\r\n250\r\n", scratch.read(k_settings));
  }
}

TEST_F(E2e, ReadOnlyPlotFileKeepsItsBytesButTheShiftIsSaved) {
  const std::string plot = "PU1200,3400;\r\nPG;   9000,0;\r\n";
  dir.write(k_settings, "15574\r\n250\r\n");
  dir.write("p.plt", plot);
  make_read_only(dir, "p.plt");
  RunResult result = run({"p.plt"});
  expect_exit(result, 0);
  EXPECT_EQ(banner() + "\r\n..  OK\r\nError on cleaning up plot files.\r\n\r\n", result.out);
  EXPECT_EQ(plot, dir.read("p.plt"));
  EXPECT_EQ(write_back(15574, 446), dir.read(k_settings));
  EXPECT_EQ("PU1450,3400;\r\nPG;8804,0;\r\n", dir.read(k_temp));
}

TEST_F(E2e, ReadOnlySettingsFileStopsAfterThePlotWasReplaced) {
  dir.write(k_settings, "15574\r\n250\r\n");
  make_read_only(dir, k_settings);
  dir.write("p.plt", "PU1200,3400;\r\n");
  RunResult result = run({"p.plt"});
  expect_exit(result, 0);
  EXPECT_EQ(banner() + "\r\n.  OK\r\nINI-file not opened (for writing).\r\n\r\n", result.out);
  EXPECT_EQ("PU1450,3400;\r\n", dir.read("p.plt"));
  EXPECT_EQ("15574\r\n250\r\n", dir.read(k_settings));
  EXPECT_FALSE(dir.exists(k_temp));
}

TEST_F(E2e, FailingWriteOfTheTemporaryFileLeavesPlotAndSettings) {
  SKIP_ON_WINDOWS("needs a file-size limit");
  std::string plot;
  while (plot.size() < 1000000) plot += "PU1200,3400;\r\n";
  dir.write(k_settings, "15574\r\n250\r\n");
  dir.write("p.plt", plot);
  RunOptions options;
  options.file_size_limit = 64 * 1024;
  RunResult result = run({"p.plt"}, options);
  expect_exit(result, 0);
  EXPECT_EQ(stopped("Error on reading or writing.", "\r\n."), result.out);
  EXPECT_TRUE(dir.read("p.plt") == plot) << "the plot file changed";
  EXPECT_EQ("15574\r\n250\r\n", dir.read(k_settings));
}

TEST_F(E2e, ReplacementThroughASymbolicLinkKeepsTheLink) {
  SKIP_ON_WINDOWS("symbolic links");
  std::filesystem::create_directory(dir.file("real"));
  dir.write("real/target.plt", "PU1200,3400;\r\n");
  std::filesystem::create_symlink("real/target.plt", dir.file("p.plt"));
  dir.write(k_settings, "15574\r\n250\r\n");
  RunResult result = run({"p.plt"});
  expect_exit(result, 0);
  EXPECT_EQ(completed(0), result.out);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("p.plt")));
  EXPECT_EQ("PU1450,3400;\r\n", dir.read("real/target.plt"));
  EXPECT_EQ((std::vector<std::string>{k_settings, "p.plt", "real"}), dir.names());
}

// ~ffx.log takes the plot file's place by a rename where both lie on one file
// system, and is copied elsewhere; either way the plot file keeps its
// permission bits and owner, and nothing is left beside it.
TEST_F(E2e, PlotIsReplacedByRenameOrCopyKeepingItsBitsAndOwner) {
  SKIP_ON_WINDOWS("permission bits, owners, hard links");
  struct Case {
    const char* name;
    bool other_volume;     // the plot lies under /dev/shm
    bool linked_leftover;  // an old ~ffx.log with a second name
  };
  const Case cases[] = {{"same directory", false, false},
                        {"other file system", true, false},
                        {"old ~ffx.log with a second name", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.other_volume && !std::filesystem::is_directory("/dev/shm")) continue;
    ScratchDir work;
    std::optional<ScratchDir> shm;
    if (c.other_volume) shm.emplace("/dev/shm");
    const ScratchDir& plot_dir = c.other_volume ? *shm : work;
    plot_dir.write("p.plt", "PU1200,3400;\r\n");
    const std::string plot = plot_dir.file("p.plt");
    ::chmod(plot.c_str(), 0640);
    const bool root = ::geteuid() == 0;
    if (root) {
      ASSERT_EQ(0, ::chown(plot.c_str(), 65534, 65534));
    }
    work.write(k_settings, "15574\r\n250\r\n");
    work.write(k_temp, "leftover\r\n");
    if (c.linked_leftover) {
      std::filesystem::create_hard_link(work.file(k_temp), work.file("other"));
    }
    struct stat leftover {};
    ASSERT_EQ(0, ::stat(work.file(k_temp).c_str(), &leftover));

    RunResult result = run_in(work, {plot});
    expect_exit(result, 0);
    EXPECT_EQ(completed(0), result.out);
    EXPECT_EQ("PU1450,3400;\r\n", plot_dir.read("p.plt"));
    struct stat after {};
    ASSERT_EQ(0, ::stat(plot.c_str(), &after));
    EXPECT_EQ(0640u, after.st_mode & 07777);
    if (root) {
      EXPECT_EQ(65534u, after.st_uid);
      EXPECT_EQ(65534u, after.st_gid);
    }
    // A leftover of one name is cut in place and renamed over the plot file;
    // one with a second name is never written through.
    EXPECT_EQ(!c.other_volume && !c.linked_leftover, after.st_ino == leftover.st_ino);
    if (c.linked_leftover) {
      EXPECT_EQ("leftover\r\n", work.read("other"));
    }
    std::vector<std::string> names{k_settings};
    if (!c.other_volume) names.push_back("p.plt");
    if (c.linked_leftover) names.push_back("other");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, work.names());
    if (c.other_volume) {
      EXPECT_EQ(std::vector<std::string>{"p.plt"}, shm->names());
    }
  }
}

TEST_F(E2e, ConsoleOnAFullDeviceEndsWithTheFatalReport) {
  SKIP_ON_WINDOWS("needs /dev/full");
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  dir.write("p.plt", "PU1200,3400;\r\n");
  RunOptions options;
  options.stdout_path = "/dev/full";
  RunResult result = run({"p.plt"}, options);
  expect_exit(result, 1);
  EXPECT_EQ(0u, result.err.find("\r\nrun-time error F")) << result.describe();
  EXPECT_EQ((std::vector<std::string>{"p.plt"}), dir.names());
}

// The plot file is opened by its trimmed name, but replaced by the argument as
// given. Whatever the program makes of a name with blanks, it must not report
// success while the corrected plot lands somewhere else.
TEST_F(E2e, NameWithBlanksNeverReportsSuccessWithoutReplacingThePlot) {
  SKIP_ON_WINDOWS("Windows drops trailing blanks from file names");
  struct Case {
    std::string name;
    std::string argument;
    std::optional<std::string> input;
  };
  const std::vector<Case> cases = {
      {"trailing blank", "p.plt ", std::nullopt},
      {"blanks only, name typed at the prompt", "   ", "p.plt\n"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const std::string plot = "PU1200,3400;\r\n";
    scratch.write(k_settings, "15574\r\n250\r\n");
    scratch.write("p.plt", plot);
    RunOptions options;
    options.input = c.input;
    options.timeout_seconds = 20;
    RunResult result = run_in(scratch, {c.argument}, options);
    expect_exit(result, 0);
    const bool replaced = scratch.read("p.plt") == "PU1450,3400;\r\n";
    const bool reported =
        result.out.size() >= 4 && result.out.compare(result.out.size() - 4, 4, "\r\n\r\n") == 0;
    EXPECT_TRUE(replaced || (reported && scratch.read("p.plt") == plot))
        << "plot \"" << escape_bytes(scratch.read("p.plt").value_or("<missing>")) << "\"; "
        << result.describe();
    for (const std::string& name : scratch.names()) {
      EXPECT_TRUE(name == k_settings || name == "p.plt" || name == k_temp)
          << "stray file \"" << name << "\"";
    }
  }
}

TEST_F(E2e, BlankNameWithoutAnAnswerEndsTheRun) {
  dir.write(k_settings, "15574\r\n250\r\n");
  RunOptions options;
  options.timeout_seconds = 20;
  RunResult result = run({"  "}, options);
  EXPECT_FALSE(result.timed_out) << "the file-name prompt loops on end of input";
  EXPECT_TRUE(result.started && result.signal == 0 &&
              (result.exit_status == 0 || result.exit_status == 1))
      << result.describe();
  EXPECT_EQ("15574\r\n250\r\n", dir.read(k_settings));
  EXPECT_EQ((std::vector<std::string>{k_settings}), dir.names());
}

// ---------------------------------------------------------------------------
// Real plot files from other programs: whatever the tool does, no byte is lost.

/// The lines of a file: up to each LF, without the LF; a last line without LF
/// counts too.
std::vector<std::string> split_lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

/// A line's data: up to its first CR, without trailing blanks.
std::string line_data(const std::string& line) {
  std::string data = line.substr(0, line.find('\r'));
  while (!data.empty() && data.back() == ' ') data.pop_back();
  return data;
}

std::string without_blanks(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' && c != '\0') out += c;
  }
  return out;
}

/// The value of a plain decimal field (blanks, tabs and leading zeros
/// allowed), or nothing for anything fancier.
std::optional<std::int64_t> plain_value(const std::string& field) {
  std::string kept;
  for (char c : field.substr(0, 10)) {
    if (c != ' ' && c != '\t') kept += c;
  }
  std::size_t at = 0;
  while (at < kept.size() && kept[at] == '0') ++at;
  kept = kept.substr(at);
  bool negative = !kept.empty() && kept[0] == '-';
  if (negative || (!kept.empty() && kept[0] == '+')) kept = kept.substr(1);
  std::int64_t value = 0;
  for (char c : kept) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

const std::vector<std::int64_t> k_page_grid = {
    0,    679,  1356, 2033,  2710,  3387,  4064,  4741,  5418,  6095,  6772,  7449,
    8126, 8804, 9481, 10158, 10835, 11512, 12189, 12866, 13543, 14220, 14897, 15574};

/// Checks one rewritten record against the one read: the blank-free text
/// before the number field and from its comma on must stay, and the number
/// must be the shifted coordinate or a grid entry. Updates `shift` after a
/// page snap so that page value plus shift is kept.
void check_rewritten(const std::string& in, const std::string& out, std::int64_t& shift) {
  const std::string record = in.substr(0, 80);
  const bool pen = record.find("PU") != std::string::npos ||
                   record.find("PD") != std::string::npos || record.find("PA") != std::string::npos;
  std::size_t i = 0;
  std::size_t k = 0;
  if (pen && shift >= 1) {
    i = record.find_first_of("1234567890-");
    k = record.find(',');
    ASSERT_TRUE(i != std::string::npos && k != std::string::npos && k > i)
        << "pen record rewritten without a number field";
  } else {
    ASSERT_NE(std::string::npos, record.find("PG")) << "a record that is neither pen nor page";
    i = 6;
    k = record.find(',', 6);
    ASSERT_TRUE(k != std::string::npos && k > i) << "page record rewritten without a field";
  }
  const std::string prefix = without_blanks(record.substr(0, i));
  const std::string rest = without_blanks(record.substr(k));
  ASSERT_GE(out.size(), prefix.size() + rest.size());
  ASSERT_EQ(prefix, out.substr(0, prefix.size()));
  ASSERT_EQ(rest, out.substr(out.size() - rest.size()));
  const std::optional<std::int64_t> written =
      plain_value(out.substr(prefix.size(), out.size() - prefix.size() - rest.size()));
  ASSERT_TRUE(written.has_value()) << "the new number field is no plain number";
  const std::optional<std::int64_t> read = plain_value(record.substr(i, k - i));
  if (pen && shift >= 1) {
    if (read) {
      EXPECT_EQ(*read + shift == 16251 ? 16250 : *read + shift, *written);
    }
    return;
  }
  EXPECT_NE(k_page_grid.end(), std::find(k_page_grid.begin(), k_page_grid.end(), *written))
      << *written << " is no grid entry";
  ASSERT_TRUE(read.has_value()) << "page value that is no plain number was snapped";
  shift = *read + shift - *written;
}

TEST_F(E2e, RealPlotFilesLoseNoByte) {
  const std::filesystem::path folder =
      std::filesystem::path(FEEDFIX_SOURCE_DIR) / ".." / "shared" / "data" / "real-plots";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no folder " << folder;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name[0] != '.' && entry.path().extension() != ".md") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());

  const std::int64_t start_shift = 250;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    ScratchDir scratch;
    // Written, not copied: a copy would keep the source's read-only mode.
    const std::string original = read_file(file);
    scratch.write("plot.plt", original);
    scratch.write(k_settings, "15574\r\n" + std::to_string(start_shift) + "\r\n");
    RunResult result = run_in(scratch, {"plot.plt"});
    expect_exit(result, 0);
    const std::string after = scratch.read("plot.plt").value_or("<missing>");
    if (after == original) continue;

    const std::vector<std::string> in = split_lines(original);
    const std::vector<std::string> out = split_lines(after);
    ASSERT_EQ(in.size(), out.size()) << "line count changed";
    std::int64_t shift = start_shift;
    for (std::size_t n = 0; n < in.size(); ++n) {
      SCOPED_TRACE("line " + std::to_string(n + 1));
      ASSERT_TRUE(out[n].size() >= 1 && out[n].back() == '\r') << "no CR LF written";
      const std::string written = out[n].substr(0, out[n].size() - 1);
      const std::string read = line_data(in[n]);
      const std::size_t cr = in[n].find('\r');
      if (cr != std::string::npos) {
        ASSERT_EQ(std::string::npos, in[n].find_first_not_of('\r', cr))
            << "bytes behind a CR were dropped";
      }
      ASSERT_LE(read.size(), 80u) << "text beyond column 80 was dropped";
      if (written == read) continue;
      check_rewritten(read, written, shift);
      if (HasFatalFailure()) break;
    }
    EXPECT_EQ(write_back(15574, static_cast<std::int32_t>(shift)), scratch.read(k_settings));
  }
}

// The settings file is rewritten through a new file beside it: a write-back
// cut short by the file-size limit leaves the old settings whole, and a
// completed one keeps the file's permission bits. Nothing else stays behind.
TEST_F(E2e, SettingsWriteBackIsAllOrNothingAndKeepsPermissionBits) {
  SKIP_ON_WINDOWS("needs a file-size limit and permission bits");
  // An empty plot writes nothing to ~ffx.log, so the 24 bytes of the
  // write-back are the only ones that meet the limit of 16.
  dir.write(k_settings, "15574\r\n250\r\n");
  dir.write("p.plt", "");
  RunOptions options;
  options.file_size_limit = 16;
  RunResult result = run({"p.plt"}, options);
  expect_exit(result, 1);
  EXPECT_EQ(0u, result.err.find("\r\nrun-time error F")) << result.describe();
  EXPECT_EQ("15574\r\n250\r\n", dir.read(k_settings));
  EXPECT_EQ((std::vector<std::string>{k_settings, "p.plt"}), dir.names());

  const auto mode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                    std::filesystem::perms::group_read;
  std::filesystem::permissions(dir.file(k_settings), mode, std::filesystem::perm_options::replace);
  result = run({"p.plt"});
  expect_exit(result, 0);
  EXPECT_EQ(write_back(15574, 250), dir.read(k_settings));
  EXPECT_EQ(mode, std::filesystem::status(dir.file(k_settings)).permissions() &
                      std::filesystem::perms::mask);
  EXPECT_EQ((std::vector<std::string>{k_settings, "p.plt"}), dir.names());
}

}  // namespace
