// The intent record's form: what a run writes reads back the same, and a
// record that no run could have written is none.
#include "hilfen/feedfix/intent_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

Intent valid() {
  Intent intent;
  intent.method = ReplaceMethod::in_place;
  intent.plot_name = "plots/p.plt";
  intent.pg_threshold = 15574;
  intent.carried_shift = 446;
  intent.plot_before = FileState{.exists = true, .id = {1, 2}, .size = 30, .modified = 5};
  intent.corrected = FileState{.exists = true, .id = {1, 3}, .size = 30, .modified = 6};
  return intent;
}

TEST(IntentRecord, ReadsBackWhatARunWritesAndNothingElse) {
  struct Case {
    const char* name;
    std::string text;
    bool accepted;
  };
  const auto with = [](auto change) {
    Intent intent = valid();
    change(intent);
    return format_intent(intent);
  };
  const std::vector<Case> cases = {
      {"a run's record", format_intent(valid()), true},
      {"the longest plot name a run opens",
       with([](Intent& i) { i.plot_name = std::string(259, 'p'); }), true},
      {"a longer plot name", with([](Intent& i) { i.plot_name = std::string(260, 'p'); }), false},
      {"a plot name holding NUL", with([](Intent& i) { i.plot_name = std::string("p\0q", 3); }),
       false},
      {"no state of the plot as read", with([](Intent& i) { i.plot_before.exists = false; }),
       false},
      {"no state of ~ffx.log", with([](Intent& i) { i.corrected.exists = false; }), false},
      {"a shift no run carries", with([](Intent& i) { i.carried_shift = 2001; }), false},
      {"bytes after its end", format_intent(valid()) + "x", false},
      {"cut short", format_intent(valid()).substr(0, 40), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Intent read;
    EXPECT_EQ(c.accepted, parse_intent(c.text, read));
    if (c.accepted) {
      EXPECT_EQ(c.text, format_intent(read));
    }
  }
}

}  // namespace
