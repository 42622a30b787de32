// The journal settings of flows: "scope" and "deadline_ms" in a flow file,
// and the calls that set and read them.

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>

#include <ostream>
#include <string>
#include <vector>

#include "log_capture.h"

namespace kelpwood {
namespace trace {
namespace {

using ::kelpwood::testing::HasQueue;
using ::kelpwood::testing::TakeLogLines;
using ::kelpwood::testing::TempDir;

struct SettingsCase {
  const char* name;
  // The flow entry's own keys, each line indented as a flow key.
  const char* keys;
  bool loaded;
  FlowScope scope;
  std::uint64_t deadline_ms;
  // The ERROR line Init logs, or "".
  std::string error;
};

void PrintTo(const SettingsCase& c, std::ostream* out) { *out << c.name; }

std::vector<std::string> ErrorLines() {
  std::vector<std::string> errors;
  for (std::string& line : TakeLogLines()) {
    if (line.rfind("[ERROR]", 0) == 0) errors.push_back(line);
  }
  return errors;
}

class FlowSettingsFileTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(FlowSettingsFileTest, InitStoresScopeAndDeadline) {
  const SettingsCase& c = GetParam();
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = std::string("settings_") + c.name;
  // Set beforehand, so that a loaded file is seen to replace them.
  registry.SetFlowScope(flow, FlowScope::DEVICE);
  registry.SetFlowDeadline(flow, 9);
  TempDir directory;
  const std::string path = directory.WriteFile(
      "flows.yaml", "workflows:\n  - flow_id: " + flow + "\n" + c.keys +
                        "    flow_points:\n      - point_id: a\n");
  TakeLogLines();
  registry.Init(path);
  std::vector<std::string> expected_errors;
  if (!c.error.empty()) expected_errors.push_back(c.error);
  EXPECT_EQ(ErrorLines(), expected_errors);
  EXPECT_EQ(HasQueue(flow), c.loaded);
  EXPECT_EQ(registry.GetFlowScope(flow), c.scope);
  EXPECT_EQ(registry.GetFlowDeadline(flow), c.deadline_ms);
  registry.RemoveTraceFlow(flow);
  registry.SetFlowScope(flow, FlowScope::PROCESS);
  TakeLogLines();
}

INSTANTIATE_TEST_SUITE_P(
    Keys, FlowSettingsFileTest,
    ::testing::Values(
        SettingsCase{"device", "    scope: device\n    deadline_ms: 250\n",
                     true, FlowScope::DEVICE, 250, ""},
        SettingsCase{"process", "    scope: process\n", true,
                     FlowScope::PROCESS, 0, ""},
        SettingsCase{"absent", "", true, FlowScope::PROCESS, 0, ""},
        SettingsCase{"unknown_scope", "    scope: global\n", false,
                     FlowScope::DEVICE, 9,
                     "[ERROR] Failed to parse trace flow config: flow "
                     "'settings_unknown_scope': scope is 'global', not "
                     "'device' or 'process'"},
        SettingsCase{"bad_deadline", "    deadline_ms: soon\n", false,
                     FlowScope::DEVICE, 9,
                     "[ERROR] Failed to parse trace flow config: yaml-cpp: "
                     "error at line 3, column 18: bad conversion"},
        SettingsCase{"negative_deadline", "    deadline_ms: -5\n", false,
                     FlowScope::DEVICE, 9,
                     "[ERROR] Failed to parse trace flow config: yaml-cpp: "
                     "error at line 3, column 18: bad conversion"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlowSettingsTest, CallsWorkForFlowsNotRegisteredAndLogNothing) {
  FlowTrace& registry = FlowTrace::GetInstance();
  TakeLogLines();
  EXPECT_EQ(registry.GetFlowScope("settings_never_seen"), FlowScope::PROCESS);
  EXPECT_EQ(registry.GetFlowDeadline("settings_never_seen"), 0u);
  registry.SetFlowScope("settings_later", FlowScope::DEVICE);
  registry.SetFlowDeadline("settings_later", 1500);
  EXPECT_EQ(registry.GetFlowScope("settings_later"), FlowScope::DEVICE);
  EXPECT_EQ(registry.GetFlowDeadline("settings_later"), 1500u);
  registry.SetFlowScope("settings_later", FlowScope::PROCESS);
  EXPECT_EQ(registry.GetFlowScope("settings_later"), FlowScope::PROCESS);
  EXPECT_EQ(TakeLogLines(), std::vector<std::string>{});
}

}  // namespace
}  // namespace trace
}  // namespace kelpwood
