// Whole runs of the tool in the in-memory Os: console bytes, files left behind
// and exit status for every way the run can end.
#include "hilfen/feedfix/driver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/console.h"
#include "tests/support/fake_os.h"

namespace {

const std::string k_banner =
    " \r\nPlotfile-Nachbehandlung  Gerber AP3xx-Plotter   V0.92\r\n"
    "feedfix plot file post-processing tool (c) 1997-2001\r\n ";
const std::string k_warning = "\r\nACHTUNG: Falsche INI-Werte wurden korrigiert!";
const std::string k_pause =
    "\r\nPause - Please enter a blank line (to continue) or a DOS command.\r\n";

/// What a stop with `message` adds after earlier console output.
std::string stop(const std::string& message) { return "\r\n" + message + "\r\n\r\n"; }

const std::string k_plot =
    "PG;   9000,0;\r\nPU1200,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";
const std::string k_plot_fixed =
    "PG;8804,0;\r\nPU1646,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";

const std::string k_plot_fixed_from_defaults =
    "PG;8804,0;\r\nPU1396,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";

class Driver : public ::testing::Test {
 protected:
  FakeOs fake;

  /// Runs the tool with `arguments` as a process would, returning its exit status.
  int run(const std::vector<std::string>& arguments) {
    fake.args = {"feedfix"};
    fake.args.insert(fake.args.end(), arguments.begin(), arguments.end());
    FakeOsScope scope(fake);
    try {
      end_process(feedfix_main());
    } catch (const ProcessExit& exit) {
      return exit.status;
    }
    return -1;
  }

  void typical_files() {
    fake.files["feedfix.ini"] = "15574\r\n250\r\n";
    fake.files["plot.plt"] = k_plot;
  }
};

TEST_F(Driver, TypicalRunRewritesThePlotAndCarriesTheShift) {
  typical_files();
  EXPECT_EQ(0, run({"plot.plt", "ignored"}));
  EXPECT_EQ(k_banner + "\r\n....  OK\r\n", fake.out);
  EXPECT_EQ(k_plot_fixed, fake.files["plot.plt"]);
  EXPECT_EQ("     15574\r\n       446\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ(0u, fake.files.count("~ffx.log"));
  EXPECT_EQ("", fake.err);
}

TEST_F(Driver, NothingChangedDeletesTheTemporaryFileAndRewritesSettings) {
  fake.files["feedfix.ini"] = "15574\r\n0\r\n";
  fake.files["plot.plt"] = "IN;\r\nPG;   16000,0;\r\n";
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n..  OK\r\n", fake.out);
  EXPECT_EQ("IN;\r\nPG;   16000,0;\r\n", fake.files["plot.plt"]);
  EXPECT_EQ("     15574\r\n         0\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ(0u, fake.files.count("~ffx.log"));

  fake.out.clear();
  fake.files["plot.plt"] = "";
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n.  OK\r\n", fake.out);
  EXPECT_EQ("", fake.files["plot.plt"]);
  EXPECT_EQ(0u, fake.files.count("~ffx.log"));
}

TEST_F(Driver, MissingOrInvalidArgumentTouchesNoFile) {
  EXPECT_EQ(0, run({}));
  EXPECT_EQ(k_banner + stop("No parameters."), fake.out);

  for (const std::string& argument : {std::string(), std::string(260, 'p'),
                                      std::string(300, 'p')}) {
    fake.out.clear();
    EXPECT_EQ(0, run({argument}));
    EXPECT_EQ(k_banner + stop("Parameter (plot file) invalid."), fake.out);
  }
  EXPECT_TRUE(fake.files.empty());
  for (const std::string& call : fake.calls) EXPECT_EQ("stdout ", call);
}

TEST_F(Driver, LongestAcceptedArgumentReachesTheOpen) {
  fake.files["feedfix.ini"] = "15574\r\n0\r\n";
  EXPECT_EQ(0, run({std::string(259, 'p')}));
  EXPECT_EQ(k_banner + stop("Cannot open plot file."), fake.out);
}

TEST_F(Driver, SettingsFileMissingIsCreatedEvenForAReset) {
  for (const char* argument : {"plot.plt", "/r"}) {
    fake.files.clear();
    fake.out.clear();
    EXPECT_EQ(0, run({argument}));
    EXPECT_EQ(k_banner + stop("INI-file not found. Default file created."), fake.out);
    EXPECT_EQ("15574\r\n0\r\n", fake.files["feedfix.ini"]);
    EXPECT_EQ(1u, fake.files.size());
  }
}

TEST_F(Driver, SettingsFileThatCannotBeCreatedEndsTheRun) {
  fake.directories.insert("feedfix.ini");
  fake.files["plot.plt"] = k_plot;
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + stop("INI-file cannot be used."), fake.out);
  EXPECT_EQ(0u, fake.files.count("feedfix.ini"));
  EXPECT_EQ(k_plot, fake.files["plot.plt"]);
}

TEST_F(Driver, EachResetSwitchStoresZeroAndWinsOverAFileOfItsName) {
  for (const char* reset : {"/r", "/R", "-r", "-R"}) {
    fake.files.clear();
    fake.out.clear();
    fake.files["feedfix.ini"] = "20000\r\n250\r\n";
    fake.files[reset] = "PU1,1;\r\n";
    EXPECT_EQ(0, run({reset})) << reset;
    EXPECT_EQ(k_banner + stop("Ini file resetted. Shift length set to zero."), fake.out);
    EXPECT_EQ("     20000\r\n0\r\n", fake.files["feedfix.ini"]) << reset;
    EXPECT_EQ("PU1,1;\r\n", fake.files[reset]) << reset;
    EXPECT_EQ(0u, fake.files.count("~ffx.log"));
  }
}

TEST_F(Driver, ResetWithInvalidValuesWarnsAndStoresTheDefaultThreshold) {
  fake.files["feedfix.ini"] = "9\r\n250\r\n";
  EXPECT_EQ(0, run({"-R"}));
  EXPECT_EQ(k_banner + k_warning + stop("Ini file resetted. Shift length set to zero."),
            fake.out);
  EXPECT_EQ("     15574\r\n0\r\n", fake.files["feedfix.ini"]);
}

TEST_F(Driver, ResetOnAnUnwritableSettingsFileLeavesIt) {
  fake.files["feedfix.ini"] = "20000\r\n250\r\n";
  fake.read_only.insert("feedfix.ini");
  EXPECT_EQ(0, run({"/r"}));
  EXPECT_EQ(k_banner + stop("INI-file not opened (for writing)."), fake.out);
  EXPECT_EQ("20000\r\n250\r\n", fake.files["feedfix.ini"]);
}

TEST_F(Driver, NearSwitchesAreTakenAsPlotFileNames) {
  for (const char* name : {"/rx", "/r ", "r", "rr", "/x", " /r"}) {
    fake.files.clear();
    fake.out.clear();
    fake.files["feedfix.ini"] = "20000\r\n250\r\n";
    EXPECT_EQ(0, run({name})) << name;
    EXPECT_EQ(k_banner + stop("Cannot open plot file."), fake.out) << name;
    EXPECT_EQ("20000\r\n250\r\n", fake.files["feedfix.ini"]);
    EXPECT_EQ(1u, fake.files.size());
  }
}

TEST_F(Driver, MissingPlotFileLeavesCorrectedSettingsUnwritten) {
  fake.files["feedfix.ini"] = "40001\r\n17\r\n";
  EXPECT_EQ(0, run({"missing.plt"}));
  EXPECT_EQ(k_banner + k_warning + stop("Cannot open plot file."), fake.out);
  EXPECT_EQ("40001\r\n17\r\n", fake.files["feedfix.ini"]);
}

TEST_F(Driver, TemporaryFileThatCannotBeOpenedEndsTheRun) {
  typical_files();
  fake.directories.insert("~ffx.log");
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + stop("Cannot open temporary file."), fake.out);
  EXPECT_EQ(k_plot, fake.files["plot.plt"]);
  EXPECT_EQ("15574\r\n250\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ(0u, fake.files.count("~ffx.log"));
  EXPECT_TRUE(fake.open_files().empty());
}

TEST_F(Driver, FullDiskWhileWritingKeepsPlotAndSettings) {
  typical_files();
  fake.fail_next("write", "~ffx.log", OsError::disk_full);
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n...." + stop("Error on reading or writing."), fake.out);
  EXPECT_EQ(k_plot, fake.files["plot.plt"]);
  EXPECT_EQ("15574\r\n250\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ(1u, fake.files.count("~ffx.log"));
}

TEST_F(Driver, LoopFailureLeavesThePartialTemporaryFile) {
  fake.files["feedfix.ini"] = "15574\r\n2000\r\n";
  fake.files["plot.plt"] = "PU1,1;\r\nPU2147483000,0;\r\nPU2,2;\r\n";
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n." + stop("Error on reading or writing."), fake.out);
  EXPECT_EQ("PU1,1;\r\nPU2147483000,0;\r\nPU2,2;\r\n", fake.files["plot.plt"]);
  EXPECT_EQ("15574\r\n2000\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ("PU2001,1;\r\n", fake.files["~ffx.log"]);
}

TEST_F(Driver, LossyPlotLineIsRefusedWithItsNumber) {
  fake.files["feedfix.ini"] = "15574\r\n250\r\n";
  const std::string plot = "PU1,1;\r\n" + std::string(79, 'x') + "yz\r\nPU2,2;\r\n";
  fake.files["plot.plt"] = plot;
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n. \r\nPlot file line 2 cannot be read without loss." +
                stop("Error on reading or writing."),
            fake.out);
  EXPECT_EQ(plot, fake.files["plot.plt"]);
  EXPECT_EQ("15574\r\n250\r\n", fake.files["feedfix.ini"]);
}

TEST_F(Driver, ErrorLinePausesRunsTheAnswerAndGoesOn) {
  fake.files["feedfix.ini"] = "15574\r\n0\r\n";
  fake.files["plot.plt"] = "PG;   -5,0;\r\nPU10,20;\r\n";
  fake.stdin_lines = {"echo hi"};
  EXPECT_EQ(0, run({"plot.plt"}));
  // After the error line the line is no longer open: " OK" starts a new one.
  EXPECT_EQ(k_banner + "\r\n.. \r\nError: x,j,m=    -5    -5     0" + k_pause + "\r\n OK\r\n",
            fake.out);
  EXPECT_EQ(std::vector<std::string>{"echo hi"}, fake.commands);
  EXPECT_EQ("PG;0,0;\r\nPU10,20;\r\n", fake.files["plot.plt"]);
  EXPECT_EQ("     15574\r\n        -5\r\n", fake.files["feedfix.ini"]);
}

TEST_F(Driver, UnwritableSettingsAtTheEndStillReplaceThePlot) {
  typical_files();
  fake.read_only.insert("feedfix.ini");
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n....  OK" + stop("INI-file not opened (for writing)."), fake.out);
  EXPECT_EQ(k_plot_fixed, fake.files["plot.plt"]);
  EXPECT_EQ("15574\r\n250\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ(0u, fake.files.count("~ffx.log"));
}

TEST_F(Driver, ReadOnlyPlotFileIsReportedAfterTheSettingsAreWritten) {
  typical_files();
  fake.read_only.insert("plot.plt");
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n....  OK" + stop("Error on cleaning up plot files."), fake.out);
  EXPECT_EQ(k_plot, fake.files["plot.plt"]);
  EXPECT_EQ("     15574\r\n       446\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ(k_plot_fixed, fake.files["~ffx.log"]);
}

TEST_F(Driver, FailedDeleteOfTheTemporaryFileIsReported) {
  typical_files();
  fake.fail_next("remove", "~ffx.log", OsError::access_denied);
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(k_banner + "\r\n....  OK" + stop("Error on cleaning up plot files."), fake.out);
  EXPECT_EQ(k_plot_fixed, fake.files["plot.plt"]);
  EXPECT_EQ("     15574\r\n       446\r\n", fake.files["feedfix.ini"]);
  EXPECT_EQ(k_plot_fixed, fake.files["~ffx.log"]);
}

TEST_F(Driver, ReplacementTargetsTheFileThatWasRead) {
  typical_files();
  EXPECT_EQ(0, run({"  plot.plt "}));
  EXPECT_EQ(k_plot_fixed, fake.files["plot.plt"]);
  EXPECT_EQ(0u, fake.files.count("  plot.plt "));

  // A blank argument makes the open ask for the name; the typed name is the one replaced.
  typical_files();
  fake.out.clear();
  fake.stdin_lines = {"plot.plt"};
  EXPECT_EQ(0, run({"   "}));
  EXPECT_EQ(k_plot_fixed, fake.files["plot.plt"]);
  EXPECT_EQ(0u, fake.files.count("   "));
  const std::string prompt =
      k_banner + "\r\nFile name missing or blank - please enter file name\r\nUNIT 18? ";
  EXPECT_EQ(prompt, fake.out.substr(0, prompt.size()));
}

TEST_F(Driver, AnyFailingSystemCallLeavesThePlotWholeOrReplaced) {
  typical_files();
  ASSERT_EQ(0, run({"plot.plt"}));
  const std::size_t calls = fake.call_count();
  for (OsError error : {OsError::io_error, OsError::disk_full}) {
    for (std::size_t index = 1; index <= calls; ++index) {
      fake = FakeOs{};
      typical_files();
      fake.fail_call(index, error);
      const int status = run({"plot.plt"});
      EXPECT_TRUE(status == 0 || status == 1) << "call " << index;
      // An unreadable settings file gives the defaults, and with them another
      // complete rewrite.
      const std::string& plot = fake.files["plot.plt"];
      EXPECT_TRUE(plot == k_plot || plot == k_plot_fixed || plot == k_plot_fixed_from_defaults)
          << "call " << index << ": " << plot;
    }
  }
}

}  // namespace
