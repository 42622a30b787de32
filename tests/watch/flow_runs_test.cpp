// The run engine on entries as the journal reader hands them over: where
// runs begin and end, what the library's check says about each, where lost
// points are counted, and how open runs survive a restart.

#include "runs/flow_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "journal/verdict_entry.h"
#include "trace/src/flow_steps.h"

namespace {

using kelpwood::journal::FlowEntry;
using kelpwood::journal::FlowEntryKind;
using kelpwood::runs::FlowRunEngine;
using kelpwood::runs::WatchedFlow;
using kelpwood::trace::FlowRun;
using kelpwood::trace::TraceFlowCfg;
using kelpwood::trace::TracePointCfg;

std::shared_ptr<TracePointCfg> Point(const std::string& id, bool critical,
                                     std::uint32_t failure_id = 0) {
  auto point = std::make_shared<TracePointCfg>();
  point->point_id = id;
  point->is_critical = critical;
  point->failure_id = failure_id;
  return point;
}

// "ordered": <a> [b] <c #31> <d>, deadline 1000 ms.
// "unordered": <x> <y> [z], no deadline.
// "repeat": <a> <b> <a>, ordered, no deadline.
// "grammar": steps <s> (<e> | <w>) <c>{1,2}, no deadline.
std::map<std::string, WatchedFlow> Flows() {
  namespace kt = kelpwood::trace;
  const std::shared_ptr<const kt::FlowSteps> steps = kt::CompileSteps(
      {kt::Step(Point("s", true)),
       kt::OneOf({kt::Step(Point("e", true)), kt::Step(Point("w", true))}),
       kt::Repeat(kt::Step(Point("c", true)), 1, 2)});
  auto grammar = std::make_shared<TraceFlowCfg>();
  grammar->flow_id = "grammar";
  grammar->check_order = true;
  grammar->flow_points = steps->points;
  auto ordered = std::make_shared<TraceFlowCfg>();
  ordered->flow_id = "ordered";
  ordered->flow_name = "Ordered";
  ordered->check_order = true;
  ordered->flow_points = {Point("a", true), Point("b", false),
                          Point("c", true, 31), Point("d", true)};
  auto unordered = std::make_shared<TraceFlowCfg>();
  unordered->flow_id = "unordered";
  unordered->flow_name = "Unordered";
  unordered->check_order = false;
  unordered->flow_points = {Point("x", true), Point("y", true),
                            Point("z", false)};
  auto repeat = std::make_shared<TraceFlowCfg>();
  repeat->flow_id = "repeat";
  repeat->flow_name = "Repeat";
  repeat->check_order = true;
  repeat->flow_points = {Point("a", true), Point("b", true), Point("a", true)};
  std::map<std::string, WatchedFlow> flows;
  flows["repeat"] = WatchedFlow{repeat, 0, nullptr};
  flows["grammar"] = WatchedFlow{grammar, 0, steps};
  flows["ordered"] = WatchedFlow{ordered, 1000, nullptr};
  flows["unordered"] = WatchedFlow{unordered, 0, nullptr};
  return flows;
}

// Steps: "FLOW POINT ok|fail MS", "FLOW reset MS", "FLOW dropped N",
// "suppressed UNIT N [MS]"; MS is the journal's time, wall and monotonic.
// Trailing words: "@m2" another machine (default m1), "~b2" another boot
// (default b1), "=MS" a wall time stepped away from the monotonic one.
FlowEntry Entry(const std::string& step) {
  std::istringstream words(step);
  std::vector<std::string> w;
  for (std::string word; words >> word;) w.push_back(word);
  FlowEntry entry;
  entry.machine_id = "m1";
  entry.boot_id = "b1";
  std::int64_t wall_ms = -1;
  while (!w.empty() &&
         std::string("@~=").find(w.back()[0]) != std::string::npos) {
    const std::string value = w.back().substr(1);
    switch (w.back()[0]) {
      case '@':
        entry.machine_id = value;
        break;
      case '~':
        entry.boot_id = value;
        break;
      default:
        wall_ms = std::stoll(value);
    }
    w.pop_back();
  }
  entry.pid = 100;
  entry.comm = "proc";
  entry.unit = "pub.service";
  if (w[0] == "suppressed") {
    entry.kind = FlowEntryKind::kJournalSuppressed;
    entry.unit = w[1];
    entry.count = std::stoull(w[2]);
    if (w.size() > 3) entry.realtime_us = std::stoull(w[3]) * 1000;
    return entry;
  }
  entry.flow_id = w[0];
  if (w[1] == "reset") {
    entry.kind = FlowEntryKind::kReset;
    entry.time_ns = std::stoll(w[2]) * 1000000;
  } else if (w[1] == "dropped") {
    entry.kind = FlowEntryKind::kPointsDropped;
    entry.count = std::stoull(w[2]);
  } else {
    entry.kind = FlowEntryKind::kPoint;
    entry.point_id = w[1];
    entry.success = w[2] == "ok";
    entry.time_ns = std::stoll(w[3]) * 1000000;
    entry.realtime_us = static_cast<std::uint64_t>(std::stoll(w[3])) * 1000;
    entry.monotonic_us = entry.realtime_us;
    if (wall_ms >= 0) entry.time_ns = wall_ms * 1000000;
  }
  return entry;
}

// "m1 ordered#0: POINT_MISSING at 'c', failure_id 31; 2 points, lost 0",
// the loss read from the verdict's POSSIBLY_LOST_POINTS.
std::string Describe(const FlowRun& run) {
  std::string text = run.machine_id + " " + run.flow_id + "#" + run.run_id +
                     ": " + kelpwood::trace::FlowCheckCodeName(run.code);
  const std::string at = kelpwood::runs::FaultPointId(run);
  if (!at.empty()) text += " at '" + at + "'";
  if (run.failure_id != 0) {
    text += ", failure_id " + std::to_string(run.failure_id);
  }
  // The loss as the verdict entry states it.
  std::string lost = "0";
  for (const std::string& field : kelpwood::journal::BuildVerdictFields(run)) {
    if (field.rfind("POSSIBLY_LOST_POINTS=", 0) == 0) lost = field.substr(21);
  }
  return text + "; " + std::to_string(run.points.size()) + " points, lost " +
         lost;
}

struct RunCase {
  const char* name;
  std::vector<std::string> steps;
  // Runs ended by the steps themselves, then those ended at the end.
  std::vector<std::string> ended;
  std::vector<std::string> ended_at_end;
};

void PrintTo(const RunCase& run_case, std::ostream* out) {
  *out << run_case.name;
}

class FlowRunEngineTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(FlowRunEngineTest, EndsAndChecksRunsByTheRule) {
  std::vector<std::string> ended;
  FlowRunEngine engine(
      Flows(), [&ended](FlowRun&& run) { ended.push_back(Describe(run)); });
  for (const std::string& step : GetParam().steps) engine.Add(Entry(step));
  EXPECT_EQ(ended, GetParam().ended);
  ended.clear();
  engine.EndAllRuns();
  EXPECT_EQ(ended, GetParam().ended_at_end);
  EXPECT_EQ(engine.OpenRunCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FlowRunEngineTest,
    ::testing::Values(
        RunCase{"OrderedEndsAtItsLastPoint",
                {"ordered a ok 0", "ordered b ok 1", "ordered c ok 2",
                 "ordered d ok 3"},
                {"m1 ordered#0: PASSED; 4 points, lost 0"},
                {}},
        RunCase{"FailedCriticalPointEndsAtOnce",
                {"ordered a ok 0", "ordered c fail 5"},
                {"m1 ordered#0: POINT_FAILED at 'c', failure_id 31; 2 "
                 "points, lost 0"},
                {}},
        RunCase{"FailedOptionalPointWaitsForTheRest",
                {"ordered a ok 0", "ordered b fail 1", "ordered c ok 2",
                 "ordered d ok 3"},
                {"m1 ordered#0: POINT_FAILED at 'b'; 4 points, lost 0"},
                {}},
        RunCase{"SkippedCriticalPointEndsAtOnce",
                {"ordered a ok 0", "ordered d ok 1"},
                {"m1 ordered#0: POINT_MISSING at 'c', failure_id 31; 2 "
                 "points, lost 0"},
                {}},
        RunCase{"DeadlineEndsTheRunAndTheNextPointStartsOne",
                {"ordered a ok 0", "ordered b ok 500", "ordered a ok 1500"},
                {"m1 ordered#0: POINT_MISSING at 'c', failure_id 31; 2 "
                 "points, lost 0"},
                {"m1 ordered#1500000: POINT_MISSING at 'c', failure_id 31; 1 "
                 "points, lost 0"}},
        RunCase{"ResetEndsTheRun",
                {"ordered a ok 0", "ordered reset 1", "ordered reset 2",
                 "ordered a ok 3", "ordered c ok 4", "ordered d ok 5"},
                {"m1 ordered#0: POINT_MISSING at 'c', failure_id 31; 1 "
                 "points, lost 0",
                 "m1 ordered#3000: PASSED; 3 points, lost 0"},
                {}},
        RunCase{"UnorderedEndsOnceEveryPointArrived",
                {"unordered z ok 0", "unordered y ok 1", "unordered x ok 2",
                 "unordered y ok 3", "unordered x ok 4"},
                {"m1 unordered#0: PASSED; 3 points, lost 0"},
                {"m1 unordered#3000: PASSED; 2 points, lost 0"}},
        RunCase{
            "MachinesKeepTheirOwnRuns",
            {"ordered a ok 0 @m1", "ordered a ok 1 @m2", "ordered c ok 2 @m2",
             "ordered d ok 3 @m1", "ordered d ok 4 @m2"},
            {"m1 ordered#0: POINT_MISSING at 'c', failure_id 31; 2 "
             "points, lost 0",
             "m2 ordered#1000: PASSED; 3 points, lost 0"},
            {}},
        RunCase{"UnconfiguredFlowsAreIgnored",
                {"other a ok 0", "other reset 1", "other dropped 3"},
                {},
                {}},
        RunCase{"DropCountsGoToTheOpenOrTheNextRun",
                {"ordered dropped 2", "ordered a ok 0", "ordered dropped 3",
                 "ordered c ok 1", "ordered d ok 2"},
                {"m1 ordered#0: PASSED; 3 points, lost 5"},
                {}},
        RunCase{"OneDroppedPointIsALoss",
                {"ordered a ok 0", "ordered dropped 1", "ordered c ok 1",
                 "ordered d ok 2"},
                {"m1 ordered#0: PASSED; 3 points, lost 1"},
                {}},
        // Cut at the first 'a' before, three POINT_MISSING runs.
        RunCase{"RepeatedIdEndsAtItsLastPlace",
                {"repeat a ok 0", "repeat b ok 1", "repeat a ok 2"},
                {"m1 repeat#0: PASSED; 3 points, lost 0"},
                {}},
        // A grammar's run ends at the point that settles its check.
        RunCase{"GrammarEndsOnceEveryStepIsUsedUp",
                {"grammar s ok 0", "grammar e ok 1", "grammar c ok 2",
                 "grammar c ok 3"},
                {"m1 grammar#0: PASSED; 4 points, lost 0"},
                {}},
        RunCase{"GrammarWaitsWhileAStepMayRepeat",
                {"grammar s ok 0", "grammar w ok 1", "grammar c ok 2"},
                {},
                {"m1 grammar#0: PASSED; 3 points, lost 0"}},
        RunCase{"GrammarEndsAtAFault",
                {"grammar s ok 0", "grammar e fail 1", "grammar c ok 2"},
                {"m1 grammar#0: POINT_FAILED at 'e'; 2 points, lost 0",
                 "m1 grammar#2000: POINT_MISSING at 's'; 1 points, lost 0"},
                {}},
        RunCase{"RebootMidFlowGivesARunPerBoot",
                {"ordered a ok 0", "ordered c ok 1", "ordered a ok 5 ~b2",
                 "ordered c ok 6 ~b2", "ordered d ok 7 ~b2"},
                {"m1 ordered#5000: PASSED; 3 points, lost 0"},
                {"m1 ordered#0: POINT_MISSING at 'd'; 2 points, lost 0"}},
        // The wall clock stepped 5 s ahead: the deadline runs on the
        // monotonic clock, so the run goes on.
        RunCase{"WallClockStepDoesNotEndARun",
                {"ordered a ok 0", "ordered c ok 500 =5500",
                 "ordered d ok 600 =5600"},
                {"m1 ordered#0: PASSED; 3 points, lost 0"},
                {}},
        RunCase{"LossOlderThanAnHourExpires",
                {"suppressed pub.service 4 0",
                 "suppressed other.service 1 "
                 "3600001",
                 "unordered x ok 3600002"},
                {},
                {"m1 unordered#3600002000: POINT_MISSING at 'y'; 1 points, "
                 "lost 0"}},
        RunCase{"SuppressionGoesToRunsOfTheUnit",
                {"suppressed other.service 7", "suppressed pub.service 4",
                 "unordered x ok 0", "suppressed pub.service 6"},
                {},
                {"m1 unordered#0: POINT_MISSING at 'y'; 1 points, lost 10"}}),
    [](const ::testing::TestParamInfo<RunCase>& info) {
      return std::string(info.param.name);
    });

TEST(FlowRunEngineStateTest, RestoredRunContinuesWithItsPointsAndLosses) {
  std::vector<std::string> ended;
  std::ostringstream saved;
  {
    FlowRunEngine engine(
        Flows(), [&ended](FlowRun&& run) { ended.push_back(Describe(run)); });
    FlowEntry first = Entry("ordered a ok 10");
    first.comm = "tab\tand%";
    first.metadata = {{"KEY", "line\nbreak"}};
    engine.Add(first);
    engine.Add(Entry("ordered dropped 2"));
    engine.Add(Entry("unordered dropped 9"));
    engine.SaveState(saved);
  }
  std::vector<FlowRun> runs;
  FlowRunEngine engine(Flows(),
                       [&runs](FlowRun&& run) { runs.push_back(run); });
  std::istringstream in(saved.str());
  ASSERT_TRUE(engine.LoadState(in));
  EXPECT_EQ(engine.OpenRunCount(), 1u);
  engine.Add(Entry("ordered c ok 20"));
  engine.Add(Entry("ordered d ok 30"));
  engine.Add(Entry("unordered x ok 40"));
  engine.EndAllRuns();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(Describe(runs[0]), "m1 ordered#10000: PASSED; 3 points, lost 2");
  EXPECT_EQ(runs[0].points[0].comm, "tab\tand%");
  EXPECT_EQ(runs[0].points[0].metadata,
            (std::vector<std::pair<std::string, std::string>>{
                {"KEY", "line\nbreak"}}));
  EXPECT_EQ(runs[0].start_ns, 10000000);
  EXPECT_EQ(runs[0].end_ns, 30000000);
  EXPECT_EQ(Describe(runs[1]),
            "m1 unordered#40000: POINT_MISSING at 'y'; 1 points, lost 9");
  EXPECT_TRUE(ended.empty());
}

TEST(FlowRunEngineStateTest, RefusesDamagedStateAndKeepsItsRuns) {
  FlowRunEngine engine(Flows(), [](FlowRun&&) {});
  engine.Add(Entry("ordered a ok 0"));
  for (const char* damaged :
       {"", "kelpwood-flows-watch-state 2\n",
        "kelpwood-flows-watch-state 1\nrun\tm1\tb1\n",
        "kelpwood-flows-watch-state 1\nflow-loss\tk\tminus\n",
        "kelpwood-flows-watch-state 1\nrun\tm1\tb1\tordered\t0\tx\t0\t0\n",
        "kelpwood-flows-watch-state 1\nunit-loss\tbad%2\t1\n"}) {
    std::istringstream in(damaged);
    EXPECT_FALSE(engine.LoadState(in)) << damaged;
    EXPECT_EQ(engine.OpenRunCount(), 1u);
  }
}

TEST(FlowRunEngineDeadlineTest, EndsRunsDueByTheGivenTime) {
  std::vector<std::string> ended;
  FlowRunEngine engine(Flows(), [&ended](FlowRun&& run) {
    ended.push_back(Describe(run) + " end " + std::to_string(run.end_ns));
  });
  engine.Add(Entry("ordered a ok 100"));
  engine.Add(Entry("unordered x ok 100"));
  EXPECT_EQ(engine.NextDeadlineNs(), 1100000000);
  engine.EndRunsDueBy("b1", 1099999999);
  engine.EndRunsDueBy("b2", 1100000000);
  EXPECT_TRUE(ended.empty());
  engine.EndRunsDueBy("b1", 1100000000);
  EXPECT_EQ(ended, (std::vector<std::string>{
                       "m1 ordered#100000: POINT_MISSING at 'c', failure_id "
                       "31; 1 points, lost 0 end 1100000000"}));
  EXPECT_EQ(engine.NextDeadlineNs(), INT64_MAX);
  EXPECT_EQ(engine.OpenRunCount(), 1u);
}

// A point after the deadline ends the run at its deadline, not at the
// late point.
TEST(FlowRunEngineDeadlineTest, LatePointEndsTheRunAtItsDeadline) {
  std::vector<FlowRun> runs;
  FlowRunEngine engine(Flows(),
                       [&runs](FlowRun&& run) { runs.push_back(run); });
  engine.Add(Entry("ordered a ok 100"));
  engine.Add(Entry("ordered c ok 700"));
  engine.Add(Entry("ordered a ok 1500"));
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].start_ns, 100000000);
  EXPECT_EQ(runs[0].end_ns, 1100000000);
  EXPECT_EQ(kelpwood::journal::RunDurationMs(runs[0]), 1000u);
  EXPECT_EQ(runs[0].points.size(), 2u);
  EXPECT_EQ(engine.OpenRunCount(), 1u);
}

// A run holds at most kMaxPointsPerRun points and counts the rest; a point
// keeps what the reader left of its metadata, the rest counted.
TEST(FlowRunEngineBoundsTest, CountsWhatARunCannotHold) {
  std::vector<FlowRun> runs;
  FlowRunEngine engine(Flows(),
                       [&runs](FlowRun&& run) { runs.push_back(run); });
  FlowEntry first = Entry("unordered x ok 0");
  first.metadata_dropped = 3;
  engine.Add(first);
  for (std::size_t i = 0; i < FlowRunEngine::kMaxPointsPerRun + 1; ++i) {
    engine.Add(Entry("unordered x ok 1"));
  }
  engine.EndAllRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].points.size(), FlowRunEngine::kMaxPointsPerRun);
  EXPECT_EQ(runs[0].points_dropped_by_watch, 2u);
  EXPECT_EQ(runs[0].metadata_dropped_by_watch, 3u);
}

// Loss counts wait under at most kMaxPendingLosses keys: the oldest goes.
TEST(FlowRunEngineBoundsTest, PendingLossesStayBounded) {
  FlowRunEngine engine(Flows(), [](FlowRun&&) {});
  for (std::size_t i = 0; i <= FlowRunEngine::kMaxPendingLosses; ++i) {
    engine.Add(Entry("suppressed u" + std::to_string(i) + ".service 1 " +
                     std::to_string(i)));
  }
  std::ostringstream saved;
  engine.SaveState(saved);
  const std::string state = saved.str();
  EXPECT_EQ(std::count(state.begin(), state.end(), '\n'),
            1 + static_cast<long>(FlowRunEngine::kMaxPendingLosses));
  EXPECT_EQ(state.find("u0.service"), std::string::npos);
  EXPECT_NE(state.find("u1000.service"), std::string::npos);
}

}  // namespace
