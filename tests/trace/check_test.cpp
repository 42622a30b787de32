#include <kelpwood/flow_trace.h>
#include <kelpwood/logger.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "test_points.h"

namespace kelpwood {
namespace testing {
namespace {

using trace::FlowCheckCode;
using trace::FlowCheckResult;
using trace::FlowTrace;
using trace::TracePoint;
using trace::TracePointCfg;
using Lines = std::vector<std::string>;
using Configured = std::vector<std::shared_ptr<TracePointCfg>>;
using Recorded = std::vector<std::pair<std::string, bool>>;

class CheckFlowTest : public FlowTraceTest {
 protected:
  // Registers flow() with `configured`, records `recorded` in order, clears
  // the capture and checks the flow.
  std::shared_ptr<FlowCheckResult> Run(const Configured& configured,
                                       bool check_order,
                                       const Recorded& recorded) {
    registry.RegisterTraceFlow(flow, configured, "name", "", check_order);
    for (const auto& [id, success] : recorded) {
      registry.Trace(flow, id, success);
    }
    ClearCapturedMessages();
    return registry.CheckFlow(flow);
  }
  const TracePoint* Recording(std::size_t position) {
    return registry.GetTracePoints(flow).at(position).get();
  }
  // The log lines every check of flow() starts with.
  Lines Head(const std::string& recorded_chain,
             const std::string& configured_chain) const {
    return {
        "[INFO] Check flow: " + flow,
        "[INFO] Flow '" + flow + "' trace points: " + recorded_chain,
        "[INFO] Flow '" + flow + "' trace point configs: " + configured_chain};
  }
  static Lines Join(Lines head, const Lines& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  }

  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = Flow("f");
};

TEST_F(CheckFlowTest, UnknownFlowIsNotFoundWithBothPointersEmpty) {
  auto result = registry.CheckFlow(flow);
  EXPECT_EQ(result->result, FlowCheckCode::FLOW_NOT_FOUND);
  EXPECT_EQ(result->trace_point, nullptr);
  EXPECT_EQ(result->point_cfg, nullptr);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[INFO] Check flow: " + flow,
                   "[WARN] Flow with ID '" + flow + "' not found"}));

  // The empty id is looked up like any other.
  ClearCapturedMessages();
  EXPECT_EQ(registry.CheckFlow("")->result, FlowCheckCode::FLOW_NOT_FOUND);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[INFO] Check flow: ", "[WARN] Flow with ID '' not found"}));
}

TEST_F(CheckFlowTest, FlowWithoutQueueIsNotFoundAndHandlerStillCalled) {
  std::shared_ptr<FlowCheckResult> handed;
  const std::string* handed_id = nullptr;
  registry.RegisterFlowHandler(
      flow, [&](const std::string& id,
                const std::shared_ptr<FlowCheckResult>& result) {
        handed_id = &id;
        handed = result;
      });
  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.Trace(flow, "A", true);
  registry.ResetAllFlows();

  auto result = registry.CheckFlow(flow);
  EXPECT_EQ(result->result, FlowCheckCode::FLOW_NOT_FOUND);
  EXPECT_EQ(handed, result);    // the very object that is returned
  EXPECT_EQ(handed_id, &flow);  // and the caller's own string
}

TEST_F(CheckFlowTest, NothingRecordedReportsTheFirstCriticalPoint) {
  Configured configured = {Optional("O"), Critical("A"), Critical("B")};
  auto result = Run(configured, true, {});
  EXPECT_EQ(result->result, FlowCheckCode::POINT_MISSING);
  EXPECT_EQ(result->trace_point, nullptr);
  EXPECT_EQ(result->point_cfg, configured[1]);
  EXPECT_EQ(
      CapturedLines(),
      Join(Head("", "[O] -> <A> -> <B>"),
           {"[ERROR] Critical point 'A' not executed in flow '" + flow + "'"}));
}

TEST_F(CheckFlowTest, NothingRecordedWithOnlyOptionalPointsPasses) {
  auto result = Run({Optional("O"), Optional("P")}, true, {});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(CapturedLines(),
            Join(Head("", "[O] -> [P]"),
                 {"[INFO] All points executed in flow '" + flow + "'",
                  "[INFO] Flow '" + flow + "' check passed"}));
}

TEST_F(CheckFlowTest, WithoutConfiguredPointsEveryRecordingIsALeftover) {
  auto result = Run({}, true, {{"X", true}, {"Y", false}, {"X", true}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(result->trace_point, nullptr);
  EXPECT_EQ(result->point_cfg, nullptr);
  EXPECT_EQ(CapturedLines(),
            Join(Head("X -> Y -> X", ""),
                 {"[ERROR] Some points not in flow '" + flow + "' executed: ",
                  "[ERROR] Point 'X' not in flow config",
                  "[ERROR] Point 'Y' not in flow config",
                  "[ERROR] Point 'X' not in flow config",
                  "[INFO] Flow '" + flow + "' check passed"}));
}

TEST_F(CheckFlowTest, RepeatedRecordingConsumesTheLaterOne) {
  auto result = Run({Critical("A")}, false, {{"A", true}, {"A", true}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> A", "<A>"),
                 {"[ERROR] Some points not in flow '" + flow + "' executed: ",
                  "[ERROR] Point 'A' not in flow config",
                  "[INFO] Flow '" + flow + "' check passed"}));
}

// A critical id configured twice needs two recordings: each configured point
// takes its own recording out of the index, so one recording cannot satisfy
// both.
TEST_F(CheckFlowTest, IdConfiguredTwiceNeedsTwoRecordings) {
  struct Case {
    Recorded recorded;
    FlowCheckCode expected;
    std::string recorded_chain;
    Lines tail;  // the lines after the two chains
  };
  const std::vector<Case> cases = {
      {{{"A", true}},
       FlowCheckCode::POINT_MISSING,
       "A",
       {"[ERROR] Critical point 'A' not executed in flow '" + flow + "'"}},
      {{{"A", true}, {"A", true}},
       FlowCheckCode::PASSED,
       "A -> A",
       {"[INFO] All points executed in flow '" + flow + "'",
        "[INFO] Flow '" + flow + "' check passed"}},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.recorded_chain);
    Configured configured = {Critical("A"), Critical("A")};
    auto result = Run(configured, true, one.recorded);
    EXPECT_EQ(result->result, one.expected);
    EXPECT_EQ(result->trace_point, nullptr);
    EXPECT_EQ(result->point_cfg, one.expected == FlowCheckCode::POINT_MISSING
                                     ? configured[1]
                                     : nullptr);
    EXPECT_EQ(CapturedLines(),
              Join(Head(one.recorded_chain, "<A> -> <A>"), one.tail));
  }
}

TEST_F(CheckFlowTest, ReportsDuplicatedPointAtFirstMismatch) {
  Configured configured = {Critical("A"), Critical("B")};
  auto result = Run(configured, true, {{"A", true}, {"A", true}, {"B", true}});
  EXPECT_EQ(result->result, FlowCheckCode::POINT_DUPLICATED);
  EXPECT_EQ(result->trace_point.get(), Recording(1));
  EXPECT_EQ(result->point_cfg, configured[1]);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> A -> B", "<A> -> <B>"),
                 {"[ERROR] Some points not in flow '" + flow + "' executed: ",
                  "[ERROR] Point 'A' not in flow config",
                  "[ERROR] Flow '" + flow + "' trace point 'A' duplicated",
                  "[ERROR] Flow '" + flow +
                      "' trace point 'A' not match config 'B'"}));
}

TEST_F(CheckFlowTest, OnlyTheLatestRecordingOfAPointIsJudged) {
  auto result = Run({Critical("A")}, true, {{"A", false}, {"A", true}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> A", "<A>"),
                 {"[ERROR] Some points not in flow '" + flow + "' executed: ",
                  "[ERROR] Point 'A' not in flow config",
                  "[INFO] Flow '" + flow + "' check passed"}));
}

TEST_F(CheckFlowTest, LaterFailedRecordingFailsThePoint) {
  Configured configured = {Critical("A")};
  auto result = Run(configured, true, {{"A", true}, {"A", false}});
  EXPECT_EQ(result->result, FlowCheckCode::POINT_FAILED);
  EXPECT_EQ(result->trace_point.get(), Recording(1));
  EXPECT_EQ(result->point_cfg, configured[0]);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> A", "<A>"),
                 {"[ERROR] Point 'A' failed in flow '" + flow + "'"}));
}

TEST_F(CheckFlowTest, FailedOptionalPointFailsAndComesBeforeOrder) {
  Configured configured = {Critical("A"), Optional("O"), Critical("B")};
  auto result = Run(configured, true, {{"B", true}, {"O", false}, {"A", true}});
  EXPECT_EQ(result->result, FlowCheckCode::POINT_FAILED);
  EXPECT_EQ(result->trace_point.get(), Recording(1));
  EXPECT_EQ(result->point_cfg, configured[1]);
}

TEST_F(CheckFlowTest, FailedRecordingOutsideTheConfigurationIsOnlyALeftover) {
  auto result = Run({Critical("A")}, true, {{"A", true}, {"Z", false}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> Z", "<A>"),
                 {"[ERROR] Some points not in flow '" + flow + "' executed: ",
                  "[ERROR] Point 'Z' not in flow config",
                  "[INFO] Flow '" + flow + "' check passed"}));
}

TEST_F(CheckFlowTest, ReportsMissingPointWhenTheNextConfiguredOneCameFirst) {
  Configured configured = {Critical("A"), Critical("B")};
  auto result = Run(configured, true, {{"B", true}, {"A", true}});
  EXPECT_EQ(result->result, FlowCheckCode::POINT_MISSING);
  EXPECT_EQ(result->trace_point, nullptr);
  EXPECT_EQ(result->point_cfg, configured[0]);
  EXPECT_EQ(CapturedLines(),
            Join(Head("B -> A", "<A> -> <B>"),
                 {"[INFO] All points executed in flow '" + flow + "'",
                  "[ERROR] Flow '" + flow + "' trace point 'A' missing",
                  "[ERROR] Flow '" + flow +
                      "' trace point 'B' not match config 'A'"}));
}

TEST_F(CheckFlowTest, WrongOrderPassesWithoutOrderCheck) {
  auto result =
      Run({Critical("A"), Critical("B")}, false, {{"B", true}, {"A", true}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(CapturedLines(),
            Join(Head("B -> A", "<A> -> <B>"),
                 {"[INFO] All points executed in flow '" + flow + "'",
                  "[INFO] Flow '" + flow + "' check passed"}));
}

TEST_F(CheckFlowTest, ReportsInvalidPointFollowedByTheExpectedOne) {
  Configured configured = {Critical("A"), Critical("B")};
  auto result = Run(configured, true, {{"A", true}, {"X", true}, {"B", true}});
  EXPECT_EQ(result->result, FlowCheckCode::POINT_INVALID);
  EXPECT_EQ(result->trace_point.get(), Recording(1));
  EXPECT_EQ(result->point_cfg, configured[1]);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> X -> B", "<A> -> <B>"),
                 {"[ERROR] Some points not in flow '" + flow + "' executed: ",
                  "[ERROR] Point 'X' not in flow config",
                  "[ERROR] Flow '" + flow + "' trace point 'X' invalid",
                  "[ERROR] Flow '" + flow +
                      "' trace point 'X' not match config 'B'"}));
}

TEST_F(CheckFlowTest, ReportsOrderErrorWhenNoOtherRuleHolds) {
  Configured configured = {Critical("A"), Critical("B")};
  auto result = Run(configured, true,
                    {{"A", true}, {"X", true}, {"Y", true}, {"B", true}});
  EXPECT_EQ(result->result, FlowCheckCode::ORDER_ERROR);
  EXPECT_EQ(result->trace_point.get(), Recording(1));
  EXPECT_EQ(result->point_cfg, configured[1]);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> X -> Y -> B", "<A> -> <B>"),
                 {"[ERROR] Some points not in flow '" + flow + "' executed: ",
                  "[ERROR] Point 'X' not in flow config",
                  "[ERROR] Point 'Y' not in flow config",
                  "[ERROR] Flow '" + flow + "' trace point 'X' order error",
                  "[ERROR] Flow '" + flow +
                      "' trace point 'X' not match config 'B'"}));
}

TEST_F(CheckFlowTest, SkipsUnrecordedOptionalPointInBothPasses) {
  auto result = Run({Critical("A"), Optional("O"), Critical("B")}, true,
                    {{"A", true}, {"B", true}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(CapturedLines(),
            Join(Head("A -> B", "<A> -> [O] -> <B>"),
                 {"[INFO] All points executed in flow '" + flow + "'",
                  "[INFO] Flow '" + flow + "' check passed"}));
}

TEST_F(CheckFlowTest, RecordingsAfterTheLastConfiguredPointAreNoOrderFailure) {
  auto result = Run({Critical("A")}, true, {{"A", true}, {"Z", true}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
}

TEST_F(CheckFlowTest, OrderPassEndsWhenTheRecordingsRunOut) {
  // After A the recordings are used up; the optional O and P are never
  // examined by the order pass.
  auto result =
      Run({Critical("A"), Optional("O"), Optional("P")}, true, {{"A", true}});
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
}

TEST_F(CheckFlowTest, PointIdsDifferingInCaseAreDifferent) {
  Configured configured = {Critical("a")};
  auto result = Run(configured, true, {{"A", true}});
  EXPECT_EQ(result->result, FlowCheckCode::POINT_MISSING);
  EXPECT_EQ(result->point_cfg, configured[0]);
}

TEST_F(CheckFlowTest, LogsEveryMetadataPairBeforeTheRecordedChain) {
  registry.RegisterTraceFlow(flow, {Critical("A"), Critical("B")}, "n", "",
                             true);
  auto first = std::make_shared<TracePoint>("A", true);
  first->metadata = {{"k1", "v1"}, {"k2", "{}"}};
  auto second = std::make_shared<TracePoint>("B", true);
  second->metadata = {{"", ""}};
  registry.Trace(flow, first);
  registry.Trace(flow, second);
  ClearCapturedMessages();

  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
  const std::string prefix = "[INFO] Flow '" + flow + "' has trace point ";
  EXPECT_EQ(
      CapturedLines(),
      (Lines{"[INFO] Check flow: " + flow, prefix + "'A' metadata 'k1' = 'v1'",
             prefix + "'A' metadata 'k2' = '{}'",
             prefix + "'B' metadata '' = ''",
             "[INFO] Flow '" + flow + "' trace points: A -> B",
             "[INFO] Flow '" + flow + "' trace point configs: <A> -> <B>",
             "[INFO] All points executed in flow '" + flow + "'",
             "[INFO] Flow '" + flow + "' check passed"}));
}

TEST_F(CheckFlowTest, CheckingAgainGivesTheSameOutcomeAndCallsTheHandlerAgain) {
  int calls = 0;
  registry.RegisterFlowHandler(
      flow, [&](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        ++calls;
      });
  auto first =
      Run({Critical("A"), Critical("B")}, true, {{"B", true}, {"A", true}});
  const Lines first_lines = CapturedLines();
  ClearCapturedMessages();
  auto second = registry.CheckFlow(flow);
  EXPECT_NE(first, second);
  EXPECT_EQ(second->result, FlowCheckCode::POINT_MISSING);
  EXPECT_EQ(CapturedLines(), first_lines);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(registry.GetTracePoints(flow).size(), 2u);
}

TEST_F(CheckFlowTest, NullPointAddedAfterRegistrationIsSkippedEverywhere) {
  auto cfg = std::make_shared<trace::TraceFlowCfg>();
  cfg->flow_id = flow;
  cfg->flow_points = {Critical("A"), Critical("B")};
  registry.RegisterTraceFlow(cfg);
  cfg->flow_points.insert(cfg->flow_points.begin() + 1, nullptr);
  registry.Trace(flow, "B", true);
  registry.Trace(flow, "A", true);
  ClearCapturedMessages();

  // The missing rule looks past the null element to B.
  auto result = registry.CheckFlow(flow);
  EXPECT_EQ(result->result, FlowCheckCode::POINT_MISSING);
  EXPECT_EQ(result->point_cfg, cfg->flow_points[0]);
  EXPECT_EQ(CapturedLines(),
            Join(Head("B -> A", "<A> -> <B>"),
                 {"[INFO] All points executed in flow '" + flow + "'",
                  "[ERROR] Flow '" + flow + "' trace point 'A' missing",
                  "[ERROR] Flow '" + flow +
                      "' trace point 'B' not match config 'A'"}));
}

TEST_F(CheckFlowTest, ThrowingHandlerLeavesTheRegistryUnlocked) {
  registry.RegisterFlowHandler(
      flow, [](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        throw std::runtime_error("handler failed");
      });
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  EXPECT_THROW(registry.CheckFlow(flow), std::runtime_error);
  registry.Trace(flow, "A", true);  // would block if the mutex were held
  EXPECT_EQ(registry.GetTracePoints(flow).size(), 1u);
}

TEST_F(CheckFlowTest, MessagesCarryTheCheckersLocationAndRunOnWithoutGaps) {
  Run({Critical("A"), Critical("B")}, true, {{"B", true}, {"A", true}});
  const auto messages = CapturedMessages();
  ASSERT_EQ(messages.size(), 6u);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].file, "./trace/src/flow_trace.cpp");
    EXPECT_EQ(messages[i].function, "CheckFlow");
    EXPECT_GT(messages[i].line, 0);
    if (i > 0) {
      const int previous = std::stoi(messages[i - 1].payload.substr(0, 3));
      EXPECT_EQ(std::stoi(messages[i].payload.substr(0, 3)),
                (previous + 1) % 128);
    }
  }
  EXPECT_EQ(messages[1].level, 2);
  EXPECT_EQ(messages[5].level, 4);
}

TEST_F(CheckFlowTest, SinklessLoggerCountsTheSameMessages) {
  // Without a sink the chain texts are not built, but every message is still
  // counted: the number after the check is the same either way.
  const Configured configured = {Critical("A"), Optional("O")};
  const Recorded recorded = {{"A", true}, {"X", true}};
  Run(configured, true, recorded);
  const std::size_t logged = CapturedMessages().size();

  auto& counter = Logger::Instance().counter;
  const unsigned before = counter.load();
  {
    SinklessLogger sinkless;
    EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
  }
  EXPECT_EQ((counter.load() - before) & 0xFFu, logged & 0xFFu);
  EXPECT_EQ(logged, 6u);
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
