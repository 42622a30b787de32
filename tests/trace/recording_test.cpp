#include <kelpwood/flow_trace.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "test_points.h"

namespace kelpwood {
namespace testing {
namespace {

using trace::FlowCheckCode;
using trace::FlowTrace;
using trace::TracePoint;
using Lines = std::vector<std::string>;

std::int64_t NowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count() /
         1'000'000;
}

class RecordingTest : public FlowTraceTest {
 protected:
  FlowTrace& registry = FlowTrace::GetInstance();
};

TEST_F(RecordingTest, UnknownFlowAndNullPointAreRefused) {
  const std::string flow = Flow("f");
  const std::string unknown = Flow("unknown");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  ClearCapturedMessages();

  registry.Trace(unknown, "A", true);
  registry.Trace(unknown, std::make_shared<TracePoint>("A", true));
  registry.Trace(flow, std::shared_ptr<TracePoint>());
  EXPECT_EQ(CapturedLines(), (Lines{"[WARN] flow_id " + unknown + " not found",
                                    "[WARN] flow_id " + unknown + " not found",
                                    "[WARN] flow_id " + flow + " not found"}));
  EXPECT_TRUE(registry.GetTracePoints(flow).empty());
}

TEST_F(RecordingTest, GetTracePointsOfUnknownFlowIsTheOneEmptySequence) {
  const std::string unknown = Flow("unknown");
  const auto& first = registry.GetTracePoints(unknown);
  const auto& second = registry.GetTracePoints(unknown);
  EXPECT_TRUE(first.empty());
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[WARN] flow_id " + unknown + " not found",
                   "[WARN] flow_id " + unknown + " not found"}));
}

TEST_F(RecordingTest, PointsGetTheirPositionAndComeBackInOrder) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  registry.Trace(flow, "A", true);
  registry.Trace(flow, "", false);
  auto own = std::make_shared<TracePoint>("C", true);
  registry.Trace(flow, own);
  ClearCapturedMessages();

  const auto& points = registry.GetTracePoints(flow);
  ASSERT_EQ(points.size(), 3u);
  EXPECT_EQ(points[0]->point_id, "A");
  EXPECT_TRUE(points[0]->success);
  EXPECT_EQ(points[1]->point_id, "");
  EXPECT_FALSE(points[1]->success);
  EXPECT_EQ(points[2], own);  // the caller's object itself, not a copy
  for (int i = 0; i < 3; ++i) EXPECT_EQ(points[i]->index, i);
  EXPECT_TRUE(CapturedLines().empty());
}

TEST_F(RecordingTest, CopyTracePointsIsASnapshotOfTheSamePoints) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  registry.Trace(flow, "A", true);
  registry.Trace(flow, "B", false);
  ClearCapturedMessages();

  const std::vector<std::shared_ptr<TracePoint>> copy =
      registry.CopyTracePoints(flow);
  EXPECT_EQ(copy, registry.GetTracePoints(flow));  // the same objects
  registry.Trace(flow, "C", true);
  registry.ResetFlow(flow);
  ASSERT_EQ(copy.size(), 2u);
  EXPECT_EQ(copy[0]->point_id, "A");
  EXPECT_EQ(copy[1]->point_id, "B");
  EXPECT_EQ(copy[1]->index, 1);
  EXPECT_TRUE(registry.CopyTracePoints(flow).empty());
  EXPECT_TRUE(CapturedLines().empty());

  const std::string unknown = Flow("unknown");
  EXPECT_TRUE(registry.CopyTracePoints(unknown).empty());
  EXPECT_EQ(CapturedLines(), Lines{"[WARN] flow_id " + unknown + " not found"});
  EXPECT_EQ(CapturedMessages().at(0).function, "CopyTracePoints");
}

TEST_F(RecordingTest, RecordingOnePointTwiceKeepsTheLaterPosition) {
  const std::string first = Flow("first");
  const std::string second = Flow("second");
  registry.RegisterTraceFlow(first, {}, "n", "", true);
  registry.RegisterTraceFlow(second, {}, "n", "", true);
  registry.Trace(first, "x", true);
  auto point = std::make_shared<TracePoint>("A", true);
  registry.Trace(first, point);
  registry.Trace(first, point);
  EXPECT_EQ(point->index, 2);
  ASSERT_EQ(registry.GetTracePoints(first).size(), 3u);
  EXPECT_EQ(registry.GetTracePoints(first)[1],
            registry.GetTracePoints(first)[2]);

  registry.Trace(second, point);
  EXPECT_EQ(point->index, 0);
}

TEST_F(RecordingTest, PointsCarryTheirConstructionTimeInWholeMilliseconds) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  const std::int64_t before = NowMilliseconds();
  registry.Trace(flow, "A", true);
  const std::int64_t after = NowMilliseconds();
  const auto stamped = registry.GetTracePoints(flow)[0]->timestamp;
  EXPECT_LE(before, stamped);
  EXPECT_LE(stamped, after);

  // A point made by the caller keeps the time it was made, not recorded.
  auto early = std::make_shared<TracePoint>("B", true);
  early->timestamp = 42;
  registry.Trace(flow, early);
  EXPECT_EQ(registry.GetTracePoints(flow)[1]->timestamp, 42);
}

TEST_F(RecordingTest, ResetFlowEmptiesTheQueueAndKeepsTheFlow) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  registry.Trace(flow, "A", true);
  registry.Trace(flow, "B", true);
  const auto* queue = &registry.GetTracePoints(flow);
  ClearCapturedMessages();

  registry.ResetFlow(flow);
  EXPECT_TRUE(registry.GetTracePoints(flow).empty());
  EXPECT_EQ(&registry.GetTracePoints(flow), queue);  // same sequence object
  registry.Trace(flow, "C", true);
  EXPECT_EQ(registry.GetTracePoints(flow)[0]->index, 0);
  EXPECT_TRUE(CapturedLines().empty());

  registry.ResetFlow(Flow("unknown"));
  EXPECT_EQ(CapturedLines(),
            (Lines{"[WARN] flow_id " + Flow("unknown") + " not found"}));
}

TEST_F(RecordingTest, ResetAllFlowsRefusesEveryFlowUntilRegisteredAgain) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.Trace(flow, "A", true);
  ClearCapturedMessages();

  registry.ResetAllFlows();
  EXPECT_TRUE(CapturedLines().empty());
  registry.ResetAllFlows();  // nothing left: still silent
  EXPECT_TRUE(CapturedLines().empty());

  const std::string refused = "[WARN] flow_id " + flow + " not found";
  EXPECT_TRUE(registry.GetTracePoints(flow).empty());
  registry.ResetFlow(flow);
  registry.Trace(flow, "A", true);
  registry.Trace(flow, std::make_shared<TracePoint>("A", true));
  EXPECT_EQ(CapturedLines(), (Lines{refused, refused, refused, refused}));

  // The configuration is still there: re-registering warns, and recording
  // works again.
  ClearCapturedMessages();
  registry.RegisterTraceFlow(flow, {Critical("A")}, "n", "", true);
  registry.Trace(flow, "A", true);
  EXPECT_EQ(CapturedLines()[0], "[WARN] Flow with ID '" + flow +
                                    "' already registered, overwriting");
  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
}

TEST_F(RecordingTest, OneFlowHoldsAMillionPointsAndChecksThemInOrder) {
  // A million recordings of a thousand ids in rounds, configured the same
  // way: the configured points share a thousand objects, so the test spends
  // its time in the registry rather than in building the configuration.
  constexpr int kCount = 1'000'000;
  constexpr int kDistinct = 1000;
  const std::string flow = Flow("f");
  std::vector<std::string> ids;
  std::vector<std::shared_ptr<trace::TracePointCfg>> distinct;
  for (int i = 0; i < kDistinct; ++i) {
    ids.push_back(std::to_string(i));
    distinct.push_back(Critical(ids.back()));
  }
  std::vector<std::shared_ptr<trace::TracePointCfg>> configured;
  configured.reserve(kCount);
  for (int i = 0; i < kCount; ++i)
    configured.push_back(distinct[i % kDistinct]);
  registry.RegisterTraceFlow(flow, std::move(configured), "big", "", true);
  for (int i = 0; i < kCount; ++i)
    registry.Trace(flow, ids[i % kDistinct], true);

  const auto& points = registry.GetTracePoints(flow);
  ASSERT_EQ(points.size(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(points.back()->index, kCount - 1);
  EXPECT_EQ(points.back()->point_id, "999");

  ClearCapturedMessages();
  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
  const Lines lines = CapturedLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "[INFO] Check flow: " + flow);
  EXPECT_EQ(
      lines[1].rfind("[INFO] Flow '" + flow + "' trace points: 0 -> 1 -> ", 0),
      0u);
  EXPECT_EQ(lines[3], "[INFO] All points executed in flow '" + flow + "'");
  EXPECT_EQ(lines[4], "[INFO] Flow '" + flow + "' check passed");
  registry.RemoveTraceFlow(flow);
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
