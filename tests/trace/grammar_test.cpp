// The flow grammar: one table of recordings of the example flow
// (tests/data/grammar_boot.yaml) and their outcomes, checked three ways: by
// CheckFlow on a flow registered with the step builders, by
// `kelpwood-flows check` on a trace file, and by runs::CheckRun on a run
// read from the same file.

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runs/flow_runs.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "test_points.h"
#include "trace/src/flow_file.h"

namespace kelpwood {
namespace testing {
namespace {

using trace::AllOf;
using trace::OneOf;
using trace::Repeat;
using trace::Sequence;
using trace::Step;
using trace::Within;

// One recording: its id, success and time in milliseconds.
struct Rec {
  std::string id;
  bool ok = true;
  std::int64_t ms = 0;
};

struct Row {
  std::string flow;  // "boot" or "boot_any"
  // The recordings, space-separated: "ID", "ID!" for a failed one, "ID@MS"
  // for one at MS milliseconds rather than one second after the previous.
  std::string recorded;
  FlowCheckCode code;
  std::string configured;  // the configured point at fault, "" for none
  std::uint32_t failure_id;
  int recorded_at_fault;  // its position, -1 for none
};

std::vector<Rec> Recorded(const Row& row) {
  std::vector<Rec> recs;
  std::istringstream in(row.recorded);
  for (std::string word; in >> word;) {
    Rec& rec = recs.emplace_back();
    const std::size_t at = word.find('@');
    rec.ms = at != std::string::npos ? std::stoll(word.substr(at + 1))
             : recs.size() > 1       ? recs[recs.size() - 2].ms + 1000
                                     : 1000;
    rec.id = word.substr(0, std::min(at, word.find('!')));
    rec.ok = word.find('!') == std::string::npos;
  }
  return recs;
}

const std::vector<Row>& Table() {
  using C = FlowCheckCode;
  static const std::vector<Row> rows = {
      {"boot", "power_on eth_up audio_ready video_ready connect online",
       C::PASSED, "", 0, -1},
      {"boot",
       "power_on wifi_up video_ready audio_ready connect connect online "
       "report idle",
       C::PASSED, "", 0, -1},
      // wifi_up after the branch of eth_up is a leftover.
      {"boot", "power_on eth_up wifi_up audio_ready video_ready connect online",
       C::PASSED, "", 0, -1},
      {"boot", "power_on audio_ready video_ready connect online",
       C::POINT_MISSING, "eth_up", 20, -1},
      {"boot", "power_on eth_up audio_ready connect online", C::POINT_MISSING,
       "video_ready", 0, -1},
      {"boot",
       "power_on eth_up audio_ready video_ready connect connect connect "
       "connect online",
       C::POINT_DUPLICATED, "connect", 40, 7},
      {"boot", "power_on eth_up audio_ready!", C::POINT_FAILED, "audio_ready",
       0, 2},
      {"boot",
       "power_on@1000 eth_up audio_ready video_ready connect online@11000",
       C::POINT_LATE, "online", 50, 5},
      // Fewer than min: missing, at the end of the recording.
      {"boot", "power_on eth_up audio_ready video_ready", C::POINT_MISSING,
       "connect", 40, -1},
      {"boot", "eth_up power_on", C::POINT_MISSING, "power_on", 10, -1},
      {"boot",
       "power_on eth_up audio_ready video_ready connect online power_on",
       C::ORDER_ERROR, "power_on", 10, 6},
      // idle without report: the sequence cannot start with it.
      {"boot", "power_on eth_up audio_ready video_ready connect online idle",
       C::ORDER_ERROR, "idle", 0, 6},
      // Without check_order: presence and counts only, no time budget.
      {"boot_any",
       "online@1000 video_ready connect wifi_up audio_ready power_on@60000",
       C::PASSED, "", 0, -1},
      {"boot_any", "online connect connect connect connect",
       C::POINT_DUPLICATED, "connect", 40, 4},
      {"boot_any", "online video_ready connect wifi_up power_on",
       C::POINT_MISSING, "audio_ready", 0, -1},
  };
  return rows;
}

// The example flow, built with the step builders.
std::vector<trace::FlowStep> BootSteps() {
  return {Step(Critical("power_on", 10)),
          OneOf({Step(Critical("eth_up")), Step(Critical("wifi_up"))}, 20),
          AllOf({Step(Critical("audio_ready")), Step(Critical("video_ready"))}),
          Repeat(Step(Critical("connect", 40)), 1, 3),
          Within(Step(Critical("online", 50)), 5000),
          Repeat(Sequence({Step(Critical("report")), Step(Optional("idle"))}),
                 0, 1)};
}

class GrammarTest : public FlowTraceTest {
 protected:
  FlowTrace& registry = FlowTrace::GetInstance();
};

TEST_F(GrammarTest, CheckFlowGivesEachRowsOutcome) {
  for (const Row& row : Table()) {
    SCOPED_TRACE(row.flow + ": " + row.recorded);
    const std::vector<Rec> recorded = Recorded(row);
    const std::string flow = Flow(row.flow);
    auto cfg = std::make_shared<TraceFlowCfg>();
    cfg->flow_id = flow;
    cfg->check_order = row.flow == "boot";
    registry.RegisterStepsFlow(cfg, BootSteps());
    for (const Rec& rec : recorded) {
      auto point = std::make_shared<TracePoint>(rec.id, rec.ok);
      point->timestamp = rec.ms;
      registry.Trace(flow, point);
    }
    const auto result = registry.CheckFlow(flow);
    EXPECT_EQ(result->result, row.code);
    EXPECT_EQ(result->point_cfg ? result->point_cfg->point_id : "",
              row.configured);
    EXPECT_EQ(result->point_cfg ? result->point_cfg->failure_id : 0u,
              row.failure_id);
    EXPECT_EQ(result->trace_point,
              row.recorded_at_fault < 0
                  ? nullptr
                  : registry.GetTracePoints(flow).at(row.recorded_at_fault));
  }
}

// The trace file of a row: "FLOW POINT ok|fail TIME" per recording.
std::string TraceText(const Row& row, const std::vector<Rec>& recorded) {
  std::string text;
  for (const Rec& rec : recorded) {
    text += row.flow + " " + rec.id + (rec.ok ? " ok " : " fail ") +
            std::to_string(rec.ms) + "\n";
  }
  return text;
}

TEST_F(GrammarTest, FlowsToolCheckGivesEachRowsOutcome) {
  const TempDir directory;
  for (const Row& row : Table()) {
    SCOPED_TRACE(row.flow + ": " + row.recorded);
    const std::vector<Rec> recorded = Recorded(row);
    const std::string trace =
        directory.WriteFile("run.trace", TraceText(row, recorded));
    const ChildResult child = RunChild(
        KELPWOOD_FLOWS_TOOL,
        {"check", "--json", KELPWOOD_TEST_DATA_DIR "/grammar_boot.yaml", trace},
        WithSanitizerOptions({}), ChildOptions());
    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status),
              row.code == FlowCheckCode::PASSED ? 0 : 1);
    const std::string& out = child.standard_output;
    EXPECT_NE(out.find(std::string("\"code\":\"") +
                       trace::FlowCheckCodeName(row.code) + "\""),
              std::string::npos)
        << out;
    const std::string configured =
        row.configured.empty() ? "\"configured_at_fault\":null"
                               : "\"configured_at_fault\":{\"point_id\":\"" +
                                     row.configured + "\"";
    EXPECT_NE(out.find(configured), std::string::npos) << out;
    const std::string at_fault =
        row.recorded_at_fault < 0
            ? "\"recorded_at_fault\":null"
            : "\"recorded_at_fault\":{\"point_id\":\"" +
                  recorded[row.recorded_at_fault].id +
                  "\",\"line\":" + std::to_string(row.recorded_at_fault + 1) +
                  "}";
    EXPECT_NE(out.find(at_fault), std::string::npos) << out;
  }
}

TEST_F(GrammarTest, CheckRunGivesEachRowsOutcome) {
  const trace::FlowFile file =
      trace::ReadFlowFile(KELPWOOD_TEST_DATA_DIR "/grammar_boot.yaml");
  ASSERT_EQ(file.flows.size(), 2u);
  std::map<std::string, const trace::ReadFlow*> flows;
  for (const trace::ReadFlow& flow : file.flows) {
    flows[flow.cfg->flow_id] = &flow;
  }
  for (const Row& row : Table()) {
    SCOPED_TRACE(row.flow + ": " + row.recorded);
    const std::vector<Rec> recorded = Recorded(row);
    trace::FlowRun run;
    run.flow_id = row.flow;
    run.cfg = flows.at(row.flow)->cfg;
    run.steps = flows.at(row.flow)->steps;
    for (const Rec& rec : recorded) {
      trace::RunPoint& point = run.points.emplace_back();
      point.point_id = rec.id;
      point.success = rec.ok;
      point.time_ns = rec.ms * 1'000'000;
    }
    runs::CheckRun(run);
    EXPECT_EQ(run.code, row.code);
    EXPECT_EQ(run.fault_configured_point_id, row.configured);
    EXPECT_EQ(run.failure_id, row.failure_id);
    EXPECT_EQ(run.fault_point_index, row.recorded_at_fault);
  }
}

// CheckFlow's narration of a steps flow: the chains, then the fault in the
// flat check's words, or the one line of its own for a late point.
TEST_F(GrammarTest, CheckFlowNarratesMissingAndLatePoints) {
  const std::string flow = Flow("boot");
  auto cfg = std::make_shared<TraceFlowCfg>();
  cfg->flow_id = flow;
  registry.RegisterStepsFlow(cfg, BootSteps());
  const std::string configs =
      "[INFO] Flow '" + flow +
      "' trace point configs: <power_on> -> (<eth_up> | <wifi_up>)#20 -> "
      "(<audio_ready> & <video_ready>) -> <connect>{1,3} -> <online>@5000ms "
      "-> (<report> -> [idle])?";
  for (const char* id : {"power_on", "audio_ready"})
    registry.Trace(flow, id, true);
  ClearCapturedMessages();
  registry.CheckFlow(flow);
  EXPECT_EQ(
      CapturedLines(),
      (Lines{
          "[INFO] Check flow: " + flow,
          "[INFO] Flow '" + flow + "' trace points: power_on -> audio_ready",
          configs,
          "[ERROR] Critical point 'eth_up' not executed in flow '" + flow + "'",
          "[ERROR] Flow '" + flow +
              "' trace point 'audio_ready' not match config 'eth_up'"}));

  registry.ResetFlow(flow);
  std::int64_t ms = 1000;
  for (const char* id :
       {"power_on", "eth_up", "x", "audio_ready", "video_ready", "connect"}) {
    auto point = std::make_shared<TracePoint>(id, true);
    point->timestamp = ms += 100;
    registry.Trace(flow, point);
  }
  auto late = std::make_shared<TracePoint>("online", true);
  late->timestamp = ms + 5001;
  registry.Trace(flow, late);
  ClearCapturedMessages();
  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::POINT_LATE);
  EXPECT_EQ(
      CapturedLines(),
      (Lines{"[INFO] Check flow: " + flow,
             "[INFO] Flow '" + flow +
                 "' trace points: power_on -> eth_up -> x -> audio_ready -> "
                 "video_ready -> connect -> online",
             configs,
             "[ERROR] Some points not in flow '" + flow + "' executed: ",
             "[ERROR] Point 'x' not in flow config",
             "[ERROR] Flow '" + flow +
                 "' trace point 'online' late: 5001 ms after 'connect', "
                 "budget 5000 ms"}));
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
