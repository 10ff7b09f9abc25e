// What the dashboard's end-to-end test cannot wait for: the chart over hours of a shift (bars
// of ten minutes, empty ones kept, the last eight hours) and the last fifty modules, as
// /api/state gives them; and a browser that stops taking its events, dropped by the hub while
// the others keep their streams.
#include <gtest/gtest.h>

#include "station/event_hub.h"
#include "station/state_json.h"

namespace {

using namespace station;
using namespace std::chrono;

const Clock::time_point kStart = sys_days(2026y / 12 / 7) + 6h;

struct Finished {
  minutes at;  // after the shift's start
  Outcome outcome;
  int count = 1;
};

struct Case {
  const char* name;
  std::vector<Finished> finished;
  minutes now;
  size_t bars;
  std::string filled;  // the bars with a module, as "index:done/failed yield"
  size_t recent;
};

const std::vector<Case> kCases{
    {"one stretch", {{2min, Outcome::Ok}, {5min, Outcome::Failed}}, 9min, 1, "0:1/1 50.0", 2},
    {"empty stretches kept",
     {{3min, Outcome::Ok}, {25min, Outcome::Failed}},
     31min,
     4,
     "0:1/0 100.0 2:0/1 0.0",
     2},
    {"a wrong platform in no bar",
     {{1min, Outcome::WrongPlatform}, {2min, Outcome::Ok}},
     5min,
     1,
     "0:1/0 100.0",
     2},
    {"the last eight hours",
     {{5min, Outcome::Ok}, {9h, Outcome::Ok}},
     9h + 5min,
     48,
     "47:1/0 100.0",
     2},
    {"fifty kept",
     {{1min, Outcome::Ok, 40}, {12min, Outcome::Failed, 20}},
     15min,
     2,
     "0:40/0 100.0 1:0/20 0.0",
     50},
};

std::string member_text(json_object* object, const char* key) {
  const char* text = json_object_get_string(json_object_object_get(object, key));
  return text != nullptr ? text : "null";
}

TEST(DashboardState, ChartAndRecentModulesFollowTheShift) {
  for (const Case& row : kCases) {
    ShiftState state;
    state.started = kStart;
    for (const Finished& finished : row.finished) {
      for (int count = 0; count < finished.count; ++count) {
        ModuleRecord module;
        module.outcome = finished.outcome;
        module.started = kStart + finished.at - 30s;
        module.finished = kStart + finished.at;
        note_finished(state.history, module, state.started);
      }
    }
    const JsonObject whole = state_json(state, kStart + row.now);
    json_object* bars =
        json_object_object_get(json_object_object_get(whole.get(), "chart"), "bars");
    std::string filled;
    for (size_t index = 0; index < json_object_array_length(bars); ++index) {
      json_object* bar = json_object_array_get_idx(bars, index);
      if (member_text(bar, "done") != "0" || member_text(bar, "failed") != "0") {
        filled += (filled.empty() ? "" : " ") + std::to_string(index) + ":" +
                  member_text(bar, "done") + "/" + member_text(bar, "failed") + " " +
                  member_text(bar, "yield_percent");
      }
    }
    EXPECT_EQ(json_object_array_length(bars), row.bars) << row.name;
    EXPECT_EQ(filled, row.filled) << row.name;
    json_object* recent = json_object_object_get(whole.get(), "recent");
    ASSERT_EQ(json_object_array_length(recent), row.recent) << row.name;
    // Newest first.
    EXPECT_EQ(member_text(json_object_array_get_idx(recent, 0), "result"),
              result_word(row.finished.back().outcome))
        << row.name;
  }
}

TEST(EventHub, DropsAReaderThatFallsBehindAndKeepsTheOthers) {
  EventHub hub(1000);
  hub.publish("{}", {});
  const auto behind = hub.subscribe();
  const auto keeping_up = hub.subscribe();
  EXPECT_EQ(keeping_up->take(0ms), "event: state\ndata: {}\n\n");
  for (int round = 0; round < 20; ++round) {
    hub.publish("{}", {{"port", std::string(100, 'x')}});
    EXPECT_EQ(keeping_up->take(0ms)->size(), 120u);
  }
  EXPECT_EQ(behind->take(0ms), std::nullopt);
  EXPECT_EQ(keeping_up->take(0ms), "");
  hub.close();
  EXPECT_EQ(keeping_up->take(0ms), std::nullopt);
}

}  // namespace
