// Whole runs of the tool in the in-memory Os, for what a black-box run cannot
// see: which calls a run makes, and which file name the replacement targets.
// The ends of a run are checked on the built program (e2e_test.cpp) and under
// every failing call (fault_test.cpp).
#include "hilfen/feedfix/driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/console.h"
#include "tests/support/fake_os.h"
#include "tests/support/tool_files.h"

namespace {

const std::string k_banner =
    " \r\nPlotfile-Nachbehandlung  Gerber AP3xx-Plotter   V0.92\r\n"
    "feedfix plot file post-processing tool (c) 1997-2001\r\n ";

/// What a stop with `message` adds after earlier console output.
std::string stop(const std::string& message) { return "\r\n" + message + "\r\n\r\n"; }

const std::string k_plot =
    "PG;   9000,0;\r\nPU1200,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";
const std::string k_plot_fixed =
    "PG;8804,0;\r\nPU1646,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n";

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
    fake.files[k_settings] = "15574\r\n250\r\n";
    fake.files["plot.plt"] = k_plot;
  }
};

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
  fake.files[k_settings] = "15574\r\n0\r\n";
  EXPECT_EQ(0, run({std::string(259, 'p')}));
  EXPECT_EQ(k_banner + stop("Cannot open plot file."), fake.out);
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

TEST_F(Driver, APlotFileHeldElsewhereIsWaitedForWithTheDirectoryGivenBack) {
  typical_files();
  fake.lock_busy = 2;  // busy when tried, and after the quiet second
  // Meanwhile another run in the directory carries its shift: this run
  // starts from that one.
  fake.while_waiting = [](FakeOs& os) {
    os.files[k_settings] = "15574\r\n0\r\n";
    os.while_waiting = nullptr;
  };
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_FALSE(fake.waited_holding_directory);
  EXPECT_TRUE(fake.directory_locked) << "the directory taken again after the wait";
  EXPECT_EQ("feedfix: waiting for the lock of this plot file\r\n", fake.err);
  EXPECT_EQ("PG;8804,0;\r\nPU1396,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n",
            fake.files["plot.plt"]);
  EXPECT_EQ("     15574\r\n       196\r\n", fake.files[k_settings]);
}

TEST_F(Driver, APlotReplacedBeforeItsLockIsTakenIsReadAgain) {
  typical_files();
  FakeOs probe = fake;
  run({"plot.plt"});
  const auto lock = std::find(fake.calls.begin(), fake.calls.end(), "lock plot.plt");
  ASSERT_NE(fake.calls.end(), lock);
  const std::size_t at = static_cast<std::size_t>(lock - fake.calls.begin()) + 1;
  fake = probe;
  // Another run puts its corrected plot under the name between this run's
  // open and its lock: the lock is on that file, which is what is read.
  fake.change_at_call(at, [](FakeOs& f) { f.replaced_elsewhere("plot.plt", k_plot_fixed); });
  EXPECT_EQ(0, run({"plot.plt"}));
  EXPECT_EQ(" OK\r\n", fake.out.substr(fake.out.size() - 5));
  EXPECT_EQ("PG;8800,0;\r\nPU1900,3400;\r\nPG;   8804,0;\r\nPG;   16000,0;\r\n",
            fake.files["plot.plt"]);
}

}  // namespace
