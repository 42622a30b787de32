// A flow handler runs inside CheckFlow with the registry mutex held. Registry
// calls that it makes on its own thread are refused (they would lock the
// mutex again); calls from other threads wait for the mutex as usual.

#include <kelpwood/flow_trace.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
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
using Lines = std::vector<std::string>;

// One registry call made from inside a handler, and what it must give back.
struct ReentryCase {
  const char* operation;  // the name the refusal names
  // Makes the call on `flow`; fails the test when the value it returns is not
  // the operation's "nothing done" value.
  std::function<void(FlowTrace&, const std::string& flow)> call;
  // Run after the check, when the call needs more than the common checks.
  std::function<void(FlowTrace&, const std::string& flow)> after = nullptr;
};

// Named by its operation in test output, not dumped as bytes.
void PrintTo(const ReentryCase& one, std::ostream* out) {
  *out << one.operation;
}

std::string RefusalLine(const std::string& operation) {
  return "[ERROR] " + operation +
         " called from a flow handler is refused: call it after CheckFlow "
         "returns";
}

class FlowHandlerReentryTest
    : public FlowTraceTest,
      public ::testing::WithParamInterface<ReentryCase> {
 protected:
  // Registers flow() with critical "A" and one recording of it, and a handler
  // that runs `inside` once per check.
  void Prepare(std::function<void()> inside) {
    registry.RegisterTraceFlow(flow, {Critical("A")}, "name", "", true);
    registry.Trace(flow, "A", true);
    registry.RegisterFlowHandler(
        flow, [inside](const std::string&,
                       const std::shared_ptr<FlowCheckResult>&) { inside(); });
    ClearCapturedMessages();
  }
  // The lines of a passing check of flow().
  Lines PassingCheck() const {
    return {"[INFO] Check flow: " + flow,
            "[INFO] Flow '" + flow + "' trace points: A",
            "[INFO] Flow '" + flow + "' trace point configs: <A>",
            "[INFO] All points executed in flow '" + flow + "'",
            "[INFO] Flow '" + flow + "' check passed"};
  }

  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = Flow("f");
};

TEST_P(FlowHandlerReentryTest, CallIsRefusedAndChangesNothing) {
  const ReentryCase& one = GetParam();
  Prepare([&] { one.call(registry, flow); });

  auto result = registry.CheckFlow(flow);

  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  Lines expected = PassingCheck();
  expected.push_back(RefusalLine(one.operation));
  EXPECT_EQ(CapturedLines(), expected);
  EXPECT_EQ(CapturedMessages().back().function, one.operation);
  if (one.after) one.after(registry, flow);

  // The flow is as it was: configured, with its one recording, and the
  // handler still in place. Outside the handler the same calls are served.
  ClearCapturedMessages();
  const auto points = registry.CopyTracePoints(flow);
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0]->point_id, "A");
  registry.RegisterFlowHandler(flow, nullptr);
  EXPECT_EQ(registry.CheckFlow(flow)->result, FlowCheckCode::PASSED);
  expected = {
      "[WARN] Handler for flow_id '" + flow + "' already exists, overwriting",
      "[INFO] Successfully registered handler for flow_id: " + flow};
  const Lines check = PassingCheck();
  expected.insert(expected.end(), check.begin(), check.end());
  EXPECT_EQ(CapturedLines(), expected);
}

// A YAML file that would add the flow "<flow>.loaded" if Init read it.
std::string WriteFlowFile(const std::string& flow) {
  char path[] = "/tmp/kelpwood-reentry-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return "";
  const std::string text = "workflows:\n  - flow_id: " + flow +
                           ".loaded\n    flow_points:\n      - point_id: A\n";
  const bool written = ::write(fd, text.data(), text.size()) ==
                       static_cast<ssize_t>(text.size());
  ::close(fd);
  return written ? path : "";
}

const ReentryCase kReentryCases[] = {
    {"Trace", [](FlowTrace& registry,
                 const std::string& flow) { registry.Trace(flow, "B", true); }},
    {"Trace",
     [](FlowTrace& registry, const std::string& flow) {
       registry.Trace(flow, std::make_shared<TracePoint>("B", true));
     }},
    {"GetTracePoints",
     [](FlowTrace& registry, const std::string& flow) {
       EXPECT_TRUE(registry.GetTracePoints(flow).empty());
     }},
    {"CopyTracePoints",
     [](FlowTrace& registry, const std::string& flow) {
       EXPECT_TRUE(registry.CopyTracePoints(flow).empty());
     }},
    {"ResetFlow", [](FlowTrace& registry,
                     const std::string& flow) { registry.ResetFlow(flow); }},
    {"ResetAllFlows",
     [](FlowTrace& registry, const std::string&) { registry.ResetAllFlows(); }},
    {"CheckFlow",
     [](FlowTrace& registry, const std::string& flow) {
       auto nested = registry.CheckFlow(flow);
       ASSERT_NE(nested, nullptr);
       EXPECT_EQ(nested->result, FlowCheckCode::FLOW_NOT_FOUND);
       EXPECT_EQ(nested->trace_point, nullptr);
       EXPECT_EQ(nested->point_cfg, nullptr);
     }},
    {"GetFlowDuration",
     [](FlowTrace& registry, const std::string& flow) {
       EXPECT_EQ(registry.GetFlowDuration(flow), 0u);
     }},
    {"RegisterFlowHandler",
     [](FlowTrace& registry, const std::string& flow) {
       registry.RegisterFlowHandler(flow, nullptr);
     }},
    {"RegisterTraceFlow",
     [](FlowTrace& registry, const std::string& flow) {
       registry.RegisterTraceFlow(flow, {}, "other", "", false);
     }},
    {"RegisterTraceFlow",
     [](FlowTrace& registry, const std::string& flow) {
       auto cfg = std::make_shared<trace::TraceFlowCfg>();
       cfg->flow_id = flow;
       registry.RegisterTraceFlow(cfg);
     }},
    {"RemoveTraceFlow",
     [](FlowTrace& registry, const std::string& flow) {
       registry.RemoveTraceFlow(flow);
     }},
    {"Init",
     [](FlowTrace& registry, const std::string& flow) {
       const std::string path = WriteFlowFile(flow);
       ASSERT_FALSE(path.empty());
       registry.Init(path);
       ::unlink(path.c_str());
     },
     [](FlowTrace& registry, const std::string& flow) {
       EXPECT_EQ(registry.CheckFlow(flow + ".loaded")->result,
                 FlowCheckCode::FLOW_NOT_FOUND);
     }},
};

INSTANTIATE_TEST_SUITE_P(EveryRegistryOperation, FlowHandlerReentryTest,
                         ::testing::ValuesIn(kReentryCases),
                         [](const ::testing::TestParamInfo<ReentryCase>& info) {
                           return std::string(info.param.operation) + "_" +
                                  std::to_string(info.index);
                         });

}  // namespace
}  // namespace testing
}  // namespace kelpwood
