// The plot transaction's decisions: which ~ffx.log may take the plot's
// place, and what the next run does about a stopped replacement. Whole runs
// under every failing call, kill and power loss are in fault_test.cpp.
#include "hilfen/feedfix/plot_transaction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/tool_files.h"

namespace {

TEST(PlotTransaction, OnlyTheCorrectedCopyTheRunWroteTakesThePlotsPlace) {
  FakeOs fake;
  fake.files[k_temp] = "PU1,2;\r\n";
  fake.files["other"] = "PU1,2;\r\n";
  FakeOsScope scope(fake);
  const auto state_of = [&](const std::string& name) {
    const OpenResult r = fake.open_file(name, Access::read, Create::must_exist);
    const FileState state = fake.file_state(r.handle);
    (void)fake.close_file(r.handle);
    return state;
  };
  Replacement replacement;
  const FileState plot;
  EXPECT_TRUE(prepare_replacement(replacement, "plot.plt", plot, state_of(k_temp), 15574, 0));
  EXPECT_FALSE(prepare_replacement(replacement, "plot.plt", plot, state_of("other"), 15574, 0));
}

TEST(PlotTransaction, RecoveryActsOnlyOnWhatTheRecordNames) {
  // Every combination; those not listed leave the plot file and the
  // settings alone and drop the record.
  struct Acting {
    ReplaceMethod method;
    PlotFound plot;
    bool log_kept;
    bool stopped_copy;
    Recovery recovery;
  };
  std::vector<Acting> acting;
  for (const ReplaceMethod method :
       {ReplaceMethod::rename, ReplaceMethod::beside, ReplaceMethod::in_place}) {
    for (const bool stopped_copy : {false, true}) {
      // Untouched, and ~ffx.log still the recorded one: made again.
      acting.push_back({method, PlotFound::as_read, true, stopped_copy, Recovery::replace_again});
      for (const bool log_kept : {false, true}) {
        acting.push_back({ReplaceMethod::rename, PlotFound::corrected, log_kept, stopped_copy,
                          Recovery::write_back});
        acting.push_back({ReplaceMethod::beside, PlotFound::copy_beside, log_kept, stopped_copy,
                          Recovery::write_back});
      }
    }
  }
  acting.push_back(
      {ReplaceMethod::in_place, PlotFound::same_file, true, true, Recovery::finish_copy});
  for (const ReplaceMethod method :
       {ReplaceMethod::rename, ReplaceMethod::beside, ReplaceMethod::in_place}) {
    for (const PlotFound plot : {PlotFound::as_read, PlotFound::corrected, PlotFound::copy_beside,
                                 PlotFound::same_file, PlotFound::other}) {
      for (const bool log_kept : {false, true}) {
        for (const bool stopped_copy : {false, true}) {
          Recovery expected = Recovery::drop_record;
          for (const Acting& a : acting) {
            if (a.method == method && a.plot == plot && a.log_kept == log_kept &&
                a.stopped_copy == stopped_copy) {
              expected = a.recovery;
            }
          }
          EXPECT_EQ(expected, classify_recovery(method, plot, log_kept, stopped_copy))
              << "method " << static_cast<int>(method) << ", plot " << static_cast<int>(plot)
              << ", log kept " << log_kept << ", stopped copy " << stopped_copy;
        }
      }
    }
  }
}

}  // namespace
