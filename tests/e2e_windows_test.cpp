// Black-box runs of the Windows program under Wine: command lines exactly as
// the command interpreter hands them over, the read-only attribute, the command
// run at the pause from a console, and console and file bytes equal to the
// Linux program's.
//
// Runs only with FEEDFIX_E2E_PLATFORM=windows and FEEDFIX_E2E_COMMAND naming
// the launcher and the program ("wine /path/feedfix.exe").
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scratch_dir.h"
#include "tests/support/tool_files.h"

namespace {

const std::string k_plot = "PU1200,3400;\r\n";
const std::string k_shifted = "PU1450,3400;\r\n";  // k_plot with a carried shift of 250
const std::string k_pause_prompt =
    "Pause - Please enter a blank line (to continue) or a DOS command.";

std::vector<std::string> words(const char* text) {
  std::vector<std::string> out;
  std::string word;
  for (const char* p = text;; ++p) {
    if (*p == '\0' || *p == ' ' || *p == '\t') {
      if (!word.empty()) out.push_back(word);
      word.clear();
      if (*p == '\0') return out;
    } else {
      word += *p;
    }
  }
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The names in the directory `path`, sorted.
std::vector<std::string> names_in(const std::string& path) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    out.push_back(entry.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

void expect_exit_0(const RunResult& result) {
  EXPECT_TRUE(result.started && !result.timed_out && result.signal == 0 && result.exit_status == 0)
      << result.describe();
}

class E2eWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* platform = std::getenv("FEEDFIX_E2E_PLATFORM");
    const char* command = std::getenv("FEEDFIX_E2E_COMMAND");
    if (platform == nullptr || std::string(platform) != "windows" || command == nullptr) {
      GTEST_SKIP() << "needs FEEDFIX_E2E_PLATFORM=windows and FEEDFIX_E2E_COMMAND";
    }
    launcher_ = words(command);
    if (launcher_.size() < 2) GTEST_SKIP() << "FEEDFIX_E2E_COMMAND names no launcher";
    program_ = launcher_.back();
    launcher_.pop_back();
  }

  /// Starts the program with `args`; the launcher builds the command line.
  RunResult run(const ScratchDir& dir, const std::vector<std::string>& args,
                const RunOptions& options = {}) const {
    std::vector<std::string> command = launcher_;
    command.push_back(program_);
    command.insert(command.end(), args.begin(), args.end());
    return dir.run(command, options);
  }

  /// Runs the lines of a batch file in `dir` through the command interpreter.
  /// It hands a command line to the program as written, so a line
  /// "@feedfix.exe <text>" gives the program <text> unchanged to split.
  RunResult run_batch(const ScratchDir& dir, const std::string& lines,
                      const RunOptions& options = {}) const {
    std::error_code error;
    std::filesystem::copy_file(program_, dir.file("feedfix.exe"),
                               std::filesystem::copy_options::skip_existing, error);
    EXPECT_FALSE(error) << "cannot copy " << program_ << ": " << error.message();
    dir.write("run.bat", lines);
    std::vector<std::string> command = launcher_;
    command.insert(command.end(), {"cmd", "/c", "run.bat"});
    return dir.run(command, options);
  }

  std::vector<std::string> launcher_;
  std::string program_;
};

TEST_F(E2eWindows, RawCommandLineIsSplitByTheProgramsOwnRules) {
  struct Case {
    std::string line;       // after "feedfix.exe "
    std::string rewritten;  // the plot file the argument names, or none
    std::string message;    // the stop message when none is rewritten
    bool double_byte = false;
  };
  const std::vector<Case> cases = {
      {R"("my plot.plt")", "my plot.plt", ""},
      {R"("sub dir\my plot.plt")", "sub dir/my plot.plt", ""},
      // Two backslashes before a quote give one and the quote ends the quoting;
      // the second argument is ignored.
      {R"(  "sub dir\\"my" plot.plt" second)", "sub dir/my plot.plt", ""},
      // One backslash before a quote gives the quote itself: sub dir"my plot.plt
      {R"("sub dir\"my plot.plt")", "", "Cannot open plot file."},
      // A doubled quote inside quoting gives one quote and ends it: my "plot.plt
      {R"("my ""plot.plt")", "", "Cannot open plot file."},
      {R"("")", "", "Parameter (plot file) invalid."},
      {"  \t ", "", "No parameters."},
      {R"(/"r")", "", "Ini file resetted. Shift length set to zero."},
      // In code page 932, 0x95 0x5C is one character whose second byte is no
      // backslash, so the quote after it ends the quoting and the blank ends
      // the argument: <char>\..\plot.plt, which reaches plot.plt.
      {"\"\x95\x5C\"\\..\\plot.plt x", "plot.plt", "", true},
  };
  const std::vector<std::string> plots = {"plot.plt", "my plot.plt", "sub dir/my plot.plt"};
  for (const Case& c : cases) {
    SCOPED_TRACE(escape_bytes(c.line));
    ScratchDir dir;
    std::filesystem::create_directory(dir.file("sub dir"));
    for (const std::string& plot : plots) dir.write(plot, k_plot);
    dir.write(k_settings, "15574\r\n250\r\n");
    RunOptions options;
    // Wine takes its ANSI code page from the locale named here.
    if (c.double_byte) options.env["LC_ALL"] = "ja_JP.UTF-8";
    RunResult result = run_batch(dir, "@feedfix.exe " + c.line + "\r\n", options);
    expect_exit_0(result);
    if (c.rewritten.empty()) {
      EXPECT_TRUE(ends_with(result.out, "\r\n" + c.message + "\r\n\r\n")) << result.describe();
    } else {
      EXPECT_TRUE(ends_with(result.out, "\r\n.  OK\r\n")) << result.describe();
    }
    for (const std::string& plot : plots) {
      EXPECT_EQ(plot == c.rewritten ? k_shifted : k_plot, dir.read(plot)) << plot;
    }
  }
}

TEST_F(E2eWindows, ArgumentWithBlanksFromTheLauncherArrivesWhole) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.file("sub dir"));
  dir.write("sub dir/my plot.plt", k_plot);
  dir.write(k_settings, "15574\r\n250\r\n");
  RunResult result = run(dir, {"sub dir\\my plot.plt"});
  expect_exit_0(result);
  EXPECT_TRUE(ends_with(result.out, "\r\n.  OK\r\n")) << result.describe();
  EXPECT_EQ(k_shifted, dir.read("sub dir/my plot.plt"));
  EXPECT_EQ((std::vector<std::string>{k_settings, "sub dir"}), dir.names());
}

TEST_F(E2eWindows, ReadOnlyAttributeKeepsTheFileItMarks) {
  struct Case {
    std::string name;
    std::string read_only;  // the file marked read-only
    std::string tail;       // how the run ends
    std::string temp_after;
    std::string settings_after;
  };
  const std::vector<Case> cases = {
      {"plot file: kept, the shift is saved", "plot.plt",
       "\r\n.  OK\r\nError on cleaning up plot files.\r\n\r\n", k_shifted,
       "     15574\r\n       250\r\n"},
      {"own temporary file: left, nothing done", k_temp,
       " \r\nCannot open temporary file.\r\n\r\n", "old\r\n", "15574\r\n250\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write("plot.plt", k_plot);
    dir.write(k_settings, "15574\r\n250\r\n");
    if (c.read_only == k_temp) dir.write(k_temp, "old\r\n");
    std::vector<std::string> attrib = launcher_;
    attrib.insert(attrib.end(), {"cmd", "/c", "attrib", "+r", c.read_only});
    expect_exit_0(dir.run(attrib));

    RunResult result = run(dir, {"plot.plt"});
    expect_exit_0(result);
    EXPECT_TRUE(ends_with(result.out, c.tail)) << result.describe();
    EXPECT_EQ(k_plot, dir.read("plot.plt"));
    EXPECT_EQ(c.temp_after, dir.read(k_temp));
    EXPECT_EQ(c.settings_after, dir.read(k_settings));
    // No half-made replacement is left beside the plot file.
    EXPECT_EQ((std::vector<std::string>{k_settings, "plot.plt", k_temp}), dir.names());
  }
}

// Temporary files of runs that are gone go; anything else named like them
// stays, and a directory full of them costs a run a bounded look.
TEST_F(E2eWindows, StaleTemporaryFilesGoAFewThousandAtATime) {
  ScratchDir dir;
  dir.write(k_settings, "15574\r\n250\r\n");
  // Process id fffffff0 is no process's.
  constexpr int k_many = 5000;
  for (int i = 0; i < k_many; ++i) {
    dir.write("~ffxfffffff0-" + std::to_string(i) + ".tmp", "");
  }
  std::filesystem::create_directory(dir.file("sub"));
  dir.write("sub/plot.plt", k_plot);
  dir.write("sub/~ffxfffffff0-1.tmp", "");   // a gone run's
  dir.write("sub/~ffxfffffff0-zz.tmp", "");  // no name the program makes
  std::filesystem::create_directory(dir.file("sub/~ffxfffffff0-2.tmp"));

  RunResult result = run(dir, {"sub\\plot.plt"});
  expect_exit_0(result);
  EXPECT_TRUE(ends_with(result.out, "\r\n.  OK\r\n")) << result.describe();
  EXPECT_EQ((std::vector<std::string>{"plot.plt", "~ffxfffffff0-2.tmp", "~ffxfffffff0-zz.tmp"}),
            names_in(dir.file("sub")));
  // One sweep of the current directory: no more than 4096 files looked at.
  const std::size_t left = dir.names().size() - 2;  // feedfix.ini, sub
  EXPECT_GE(left, std::size_t{k_many - 4096});
  EXPECT_LT(left, std::size_t{k_many});
}

TEST_F(E2eWindows, PauseAnswerRunsThroughComspecOrElseCmdOnlyFromAConsole) {
  const std::string expected_tail =
      "\r\nError: x,j,m=    -2    -2     0\r\n" + k_pause_prompt + "\r\n\r\n OK\r\n";
  struct Case {
    std::string name;
    bool comspec_broken;  // COMSPEC names no program
    bool console;         // standard input is a console (a terminal under Wine)
  };
  const std::vector<Case> cases = {
      {"COMSPEC as set by the system", false, true},
      {"COMSPEC names no program", true, true},
      {"answer from a pipe is read and dropped", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write(k_settings, "15574\r\n-1\r\n");
    dir.write("p.plt", "PG;     -1,0;\r\n");
    RunOptions options;
    // The console ends a typed line with a carriage return.
    options.input = c.console ? "echo made> made.txt  \t\r" : "echo made> made.txt  \t\r\n";
    options.terminal_input = c.console;
    const std::string set_comspec = c.comspec_broken ? "@set COMSPEC=C:\\nowhere\\cmd.exe\r\n" : "";
    RunResult result = run_batch(dir, set_comspec + "@feedfix.exe p.plt\r\n", options);
    expect_exit_0(result);
    EXPECT_TRUE(ends_with(result.out, expected_tail)) << result.describe();
    EXPECT_EQ(c.console ? std::optional<std::string>("made\r\n") : std::nullopt,
              dir.read("made.txt"));
    EXPECT_EQ("PG;0,0;\r\n", dir.read("p.plt"));
  }
}

TEST_F(E2eWindows, ConsoleAndFileBytesEqualTheLinuxPrograms) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> args;
    std::string input;
    std::string shows;  // what the run prints on the way
  };
  const std::string plot =
      "IN;\r\nSP1;\r\nPU1200,3400;\r\nPD 1300, 3400 ;   \r\nPG;   9000,0;\r\nPU1200,3400;\n"
      "\tLB\x1A text\r\nPG;   -900,0;\r\nPA-100,50,70;\r\n\r\n   \r\nPG;  99999,1;\r\nSP0;";
  const std::vector<Case> cases = {
      {"typical run with a pause",
       {{k_settings, "15574\r\n250\r\n"}, {"p.plt", plot}},
       {"p.plt"},
       "\r\n",
       k_pause_prompt},
      {"second run, nothing to change",
       {{k_settings, "     15574\r\n       446\r\n"}, {"p.plt", "IN;\r\nSP1;\r\n"}},
       {"p.plt"},
       "",
       "  OK"},
      {"corrected settings",
       {{k_settings, "50000\r\n3000\r\n"}, {"p.plt", plot}},
       {"p.plt", "more"},
       "\n",
       "ACHTUNG: Falsche INI-Werte wurden korrigiert!"},
      {"no argument", {{k_settings, "15574\r\n250\r\n"}}, {}, "", "No parameters."},
      {"no settings file", {{"p.plt", plot}}, {"p.plt"}, "", "Default file created."},
      {"reset", {{k_settings, "15574\r\n250\r\n"}}, {"-R"}, "", "Ini file resetted."},
      {"missing plot file",
       {{k_settings, "15574\r\n250\r\n"}},
       {"gone.plt"},
       "",
       "Cannot open plot file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir linux_dir;
    ScratchDir windows_dir;
    for (const auto& [name, bytes] : c.files) {
      linux_dir.write(name, bytes);
      windows_dir.write(name, bytes);
    }
    RunOptions options;
    options.input = c.input;
    std::vector<std::string> linux_command = {FEEDFIX_BINARY};
    linux_command.insert(linux_command.end(), c.args.begin(), c.args.end());
    const RunResult on_linux = linux_dir.run(linux_command, options);
    const RunResult on_windows = run(windows_dir, c.args, options);
    expect_exit_0(on_linux);
    EXPECT_NE(std::string::npos, on_linux.out.find(c.shows)) << on_linux.describe();
    EXPECT_EQ(on_linux.out, on_windows.out);
    EXPECT_EQ(on_linux.err, on_windows.err);
    EXPECT_EQ(on_linux.exit_status, on_windows.exit_status);
    EXPECT_EQ(linux_dir.names(), windows_dir.names());
    for (const std::string& name : linux_dir.names()) {
      EXPECT_EQ(linux_dir.read(name), windows_dir.read(name)) << name;
    }
  }
}

}  // namespace
