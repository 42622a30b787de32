#include <kelpwood/flow_trace.h>

#include <memory>
#include <string>
#include <vector>

#include "test_points.h"

namespace kelpwood {
namespace testing {
namespace {

class FlowRegistrationTest : public FlowTraceTest {
 protected:
  FlowTrace& registry = FlowTrace::GetInstance();
};

TEST_F(FlowRegistrationTest, RefusesNullConfigurationAndEmptyIds) {
  registry.RegisterTraceFlow(std::shared_ptr<TraceFlowCfg>());
  registry.RegisterTraceFlow(std::make_shared<TraceFlowCfg>());
  registry.RegisterTraceFlow("", {Critical("A")}, "name", "", true);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[ERROR] Invalid flow configuration: flow_id is empty",
                   "[ERROR] Invalid flow configuration: flow_id is empty",
                   "[ERROR] Invalid flow_id: cannot be empty"}));

  // Nothing was stored under the empty id.
  ClearCapturedMessages();
  EXPECT_TRUE(registry.GetTracePoints("").empty());
  EXPECT_EQ(CapturedLines(), (Lines{"[WARN] flow_id  not found"}));
}

TEST_F(FlowRegistrationTest,
       RefusesNullConfiguredPointAndKeepsThePreviousFlow) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {Critical("A")}, "first", "", true);
  registry.Trace(flow, "A", true);
  ClearCapturedMessages();

  auto broken = std::make_shared<TraceFlowCfg>();
  broken->flow_id = flow;
  broken->flow_points = {Critical("A"), nullptr, Critical("B")};
  registry.RegisterTraceFlow(broken);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[ERROR] Invalid flow configuration: flow '" + flow +
                   "' has an empty point at position 1"}));

  // The earlier configuration and its recorded point are untouched.
  EXPECT_EQ(registry.GetTracePoints(flow).size(), 1u);
  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
}

TEST_F(FlowRegistrationTest,
       RegisteringAgainWarnsEmptiesQueueAndRestartsIndices) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {Critical("A")}, "first", "", true);
  for (int i = 0; i < 3; ++i) registry.Trace(flow, "A", true);
  ClearCapturedMessages();

  registry.RegisterTraceFlow(flow, {Critical("B"), Optional("C")}, "second", "",
                             false);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[WARN] Flow with ID '" + flow +
                       "' already registered, overwriting",
                   "[INFO] Registered trace flow: flow_id=" + flow +
                       ", flow_name=second, points_count=2"}));
  EXPECT_TRUE(registry.GetTracePoints(flow).empty());

  auto point = std::make_shared<trace::TracePoint>("B", true);
  point->index = 99;
  registry.Trace(flow, point);
  EXPECT_EQ(point->index, 0);
  // The second configuration is in force: B alone passes.
  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
}

TEST_F(FlowRegistrationTest, KeepsTheCallersConfigurationObject) {
  const std::string flow = Flow("f");
  auto cfg = std::make_shared<TraceFlowCfg>();
  cfg->flow_id = flow;
  cfg->flow_name = "Shared";
  registry.RegisterTraceFlow(cfg);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[INFO] Registered trace flow: flow_id=" + flow +
                   ", flow_name=Shared, points_count=0"}));

  // A point added through the caller's own pointer is seen by the check.
  cfg->flow_points.push_back(Critical("late"));
  auto result = registry.CheckFlow(flow);
  EXPECT_EQ(result->result, FlowCheckCode::POINT_MISSING);
  EXPECT_EQ(result->point_cfg, cfg->flow_points[0]);
}

TEST_F(FlowRegistrationTest, DefaultsAndCheckOrderOfTheArgumentOverload) {
  EXPECT_TRUE(TraceFlowCfg().check_order);
  EXPECT_FALSE(TracePointCfg().is_critical);
  EXPECT_EQ(TracePointCfg().failure_id, 0u);

  // check_order false from the arguments: B before A passes.
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {Critical("A"), Critical("B")}, "n", "d",
                             false);
  registry.Trace(flow, "B", true);
  registry.Trace(flow, "A", true);
  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
}

TEST_F(FlowRegistrationTest, RemoveLogsOneQueueAndOneConfigurationMessage) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  ClearCapturedMessages();

  registry.RemoveTraceFlow(flow);  // Registered
  registry.RemoveTraceFlow(flow);  // Unregistered
  registry.RemoveTraceFlow("");
  EXPECT_EQ(CapturedLines(),
            (Lines{"[INFO] Removed flow queue for flow_id: " + flow,
                   "[INFO] Removed flow configuration for flow_id: " + flow,
                   "[WARN] Flow queue not found for flow_id: " + flow,
                   "[WARN] Flow configuration not found for flow_id: " + flow,
                   "[ERROR] Invalid flow_id: cannot be empty"}));

  ClearCapturedMessages();
  registry.Trace(flow, "A", true);
  EXPECT_EQ(CapturedLines(), (Lines{"[WARN] flow_id " + flow + " not found"}));
}

TEST_F(FlowRegistrationTest,
       RemoveAfterResetAllFlowsFindsOnlyTheConfiguration) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  registry.ResetAllFlows();
  ClearCapturedMessages();

  registry.RemoveTraceFlow(flow);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[WARN] Flow queue not found for flow_id: " + flow,
                   "[INFO] Removed flow configuration for flow_id: " + flow}));
}

TEST_F(FlowRegistrationTest,
       ReRegistrationAfterResetAllFlowsWarnsAndAcceptsPoints) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.ResetAllFlows();
  ClearCapturedMessages();

  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.Trace(flow, "A", true);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[WARN] Flow with ID '" + flow +
                       "' already registered, overwriting",
                   "[INFO] Registered trace flow: flow_id=" + flow +
                       ", flow_name=n, points_count=1"}));
  EXPECT_EQ(registry.GetTracePoints(flow).size(), 1u);
}

TEST_F(FlowRegistrationTest, SecondHandlerReplacesTheFirst) {
  const std::string flow = Flow("f");
  int first_calls = 0;
  int second_calls = 0;
  registry.RegisterFlowHandler(
      flow, [&](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        ++first_calls;
      });
  registry.RegisterFlowHandler(
      flow, [&](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        ++second_calls;
      });
  registry.RegisterFlowHandler("", nullptr);
  EXPECT_EQ(
      CapturedLines(),
      (Lines{"[INFO] Successfully registered handler for flow_id: " + flow,
             "[WARN] Handler for flow_id '" + flow +
                 "' already exists, overwriting",
             "[INFO] Successfully registered handler for flow_id: " + flow,
             "[ERROR] Invalid flow_id: cannot be empty"}));

  registry.CheckFlow(flow);  // never registered: FLOW_NOT_FOUND, still called
  EXPECT_EQ(first_calls, 0);
  EXPECT_EQ(second_calls, 1);

  // An empty handler replaces it and is never called.
  registry.RegisterFlowHandler(flow, nullptr);
  registry.CheckFlow(flow);
  EXPECT_EQ(second_calls, 1);
}

TEST_F(FlowRegistrationTest, HandlerSurvivesRemovalAndServesTheFlowAgain) {
  const std::string flow = Flow("f");
  std::vector<FlowCheckCode> seen;
  registry.RegisterFlowHandler(
      flow,
      [&](const std::string&, const std::shared_ptr<FlowCheckResult>& result) {
        seen.push_back(result->result);
      });
  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.RemoveTraceFlow(flow);
  registry.CheckFlow(flow);
  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.Trace(flow, "A", true);
  registry.CheckFlow(flow);
  EXPECT_EQ(seen, (std::vector<FlowCheckCode>{FlowCheckCode::FLOW_NOT_FOUND,
                                              FlowCheckCode::PASSED}));
}

TEST_F(FlowRegistrationTest, EveryMessageNamesTheOperationThatLoggedIt) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.RegisterFlowHandler(flow, nullptr);
  registry.Trace(Flow("unknown"), "A", true);
  registry.GetTracePoints(Flow("unknown"));
  registry.ResetFlow(Flow("unknown"));
  registry.GetFlowDuration(flow);
  registry.RemoveTraceFlow(flow);

  std::vector<std::string> functions;
  for (const auto& message : CapturedMessages()) {
    EXPECT_EQ(message.file, "./trace/src/flow_trace.cpp");
    EXPECT_GT(message.line, 0);
    functions.push_back(message.function);
  }
  EXPECT_EQ(functions, (std::vector<std::string>{
                           "RegisterTraceFlow", "RegisterFlowHandler", "Trace",
                           "GetTracePoints", "ResetFlow", "GetFlowDuration",
                           "RemoveTraceFlow", "RemoveTraceFlow"}));
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
