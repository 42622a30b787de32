#include <kelpwood/flow_trace.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "test_points.h"

namespace kelpwood {
namespace testing {
namespace {

class FlowDurationTest : public FlowTraceTest {
 protected:
  void SetUp() override {
    FlowTraceTest::SetUp();
    registry.RegisterTraceFlow(flow, {}, "n", "", true);
    ClearCapturedMessages();
  }
  void RecordAt(std::int64_t timestamp) {
    auto point = std::make_shared<TracePoint>("p", true);
    point->timestamp = timestamp;
    registry.Trace(flow, point);
  }
  std::string Info(std::uint64_t duration, std::int64_t start,
                   std::int64_t end) const {
    return "[INFO] Flow '" + flow + "' duration: " + std::to_string(duration) +
           " ms (start: " + std::to_string(start) +
           ", end: " + std::to_string(end) + ")";
  }

  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = Flow("f");
};

TEST_F(FlowDurationTest, CasesWithoutADurationReturnZero) {
  EXPECT_EQ(registry.GetFlowDuration(""), 0u);
  EXPECT_EQ(registry.GetFlowDuration(Flow("unknown")), 0u);
  EXPECT_EQ(registry.GetFlowDuration(flow), 0u);
  RecordAt(10);
  registry.ResetFlow(flow);
  EXPECT_EQ(registry.GetFlowDuration(flow), 0u);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[ERROR] Invalid flow_id: cannot be empty",
                   "[WARN] Flow with ID '" + Flow("unknown") + "' not found",
                   "[DEBUG] Flow '" + flow + "' has no trace points",
                   "[DEBUG] Flow '" + flow + "' has no trace points"}));
}

TEST_F(FlowDurationTest, ConfiguredFlowWithoutQueueIsNotFound) {
  registry.ResetAllFlows();
  EXPECT_EQ(registry.GetFlowDuration(flow), 0u);
  EXPECT_EQ(CapturedLines(),
            (Lines{"[WARN] Flow with ID '" + flow + "' not found"}));
}

TEST_F(FlowDurationTest, OnePointLastsZeroMilliseconds) {
  RecordAt(1'700'000'000'123);
  EXPECT_EQ(registry.GetFlowDuration(flow), 0u);
  EXPECT_EQ(CapturedLines(),
            (Lines{Info(0, 1'700'000'000'123, 1'700'000'000'123)}));
}

TEST_F(FlowDurationTest, MeasuresFromFirstToLastByQueuePosition) {
  RecordAt(1000);
  RecordAt(50);     // a smaller stamp in the middle has no effect
  RecordAt(99999);  // nor a larger one
  RecordAt(2500);
  EXPECT_EQ(registry.GetFlowDuration(flow), 1500u);
  EXPECT_EQ(CapturedLines(), (Lines{Info(1500, 1000, 2500)}));
}

TEST_F(FlowDurationTest, FallingOrEqualTimestampsGiveZero) {
  RecordAt(5000);
  RecordAt(9000);
  RecordAt(4999);
  EXPECT_EQ(registry.GetFlowDuration(flow), 0u);
  RecordAt(5000);
  EXPECT_EQ(registry.GetFlowDuration(flow), 0u);
  EXPECT_EQ(CapturedLines(), (Lines{Info(0, 5000, 4999), Info(0, 5000, 5000)}));
}

TEST_F(FlowDurationTest, WidestSpanDoesNotOverflow) {
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  RecordAt(kMin);
  RecordAt(kMax);
  EXPECT_EQ(registry.GetFlowDuration(flow),
            std::numeric_limits<std::uint64_t>::max());
}

TEST_F(FlowDurationTest, RealRecordingsAreMeasuredInWholeMilliseconds) {
  registry.Trace(flow, "a", true);
  registry.Trace(flow, "b", true);
  const auto& points = registry.GetTracePoints(flow);
  const auto start = points.front()->timestamp;
  const auto end = points.back()->timestamp;
  const std::uint64_t expected =
      end > start ? static_cast<std::uint64_t>(end - start) : 0;
  EXPECT_EQ(registry.GetFlowDuration(flow), expected);
  EXPECT_EQ(CapturedLines(), (Lines{Info(expected, start, end)}));
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
