// A flow file's steps that the loader refuses: kelpwood-flows validate
// reports each at its place, and Init logs each as an ERROR and leaves the
// flow out; both through the one reader.

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/log_capture.h"

namespace kelpwood {
namespace testing {
namespace {

struct Fault {
  std::string flow;
  std::string place;    // LINE:COLUMN in grammar_faults.yaml
  std::string problem;  // the reader's words after "flow 'ID': "
  std::string hint;     // validate's "did you mean", or ""
};

const std::vector<Fault> kFaults = {
    {"both", "7:7", "steps: a flow takes flow_points or steps, not both", ""},
    {"min_above_max", "10:9", "step 1: repeat min 4 is above max 3", ""},
    {"empty_group", "15:9", "step 2: one_of has no members", ""},
    {"first_within", "18:9",
     "step 1: within_ms on the flow's first step, which has no step before "
     "it",
     ""},
    {"typo", "23:9", "step 1: unknown key \"optinal\"",
     ": did you mean \"optional\"?"},
    {"two_kinds", "26:9",
     "step 1: a step takes exactly one of point_id, one_of, all_of and "
     "sequence",
     ""},
    {"deep", "29:205",
     "step 1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1: nested deeper than 16 levels",
     ""},
};

TEST(GrammarFileTest, ValidateReportsEachFaultAtItsPlace) {
  ChildOptions options;
  options.working_directory = KELPWOOD_TEST_DATA_DIR;
  const ChildResult child =
      RunChild(KELPWOOD_FLOWS_TOOL, {"validate", "grammar_faults.yaml"},
               WithSanitizerOptions({}), options);
  ASSERT_TRUE(WIFEXITED(child.status));
  EXPECT_EQ(WEXITSTATUS(child.status), 1);
  std::string expected;
  for (const Fault& fault : kFaults) {
    expected += "grammar_faults.yaml:" + fault.place + ": flow '" + fault.flow +
                "': " + fault.problem + ": the loader drops the flow" +
                fault.hint + "\n";
  }
  expected +=
      "grammar_faults.yaml: 1 flow as loaded\n"
      "  flow kept, check_order false\n"
      "    <a>\n"
      "7 findings in 1 file\n";
  EXPECT_EQ(child.standard_output, expected);
}

TEST(GrammarFileTest, InitLogsEachFaultAndLeavesTheFlowOut) {
  auto& registry = trace::FlowTrace::GetInstance();
  ClearCapturedMessages();
  registry.Init(KELPWOOD_TEST_DATA_DIR "/grammar_faults.yaml");
  std::vector<std::string> errors;
  for (const std::string& line : CapturedLines()) {
    if (line.rfind("[ERROR]", 0) == 0) errors.push_back(line);
  }
  std::vector<std::string> expected;
  for (const Fault& fault : kFaults) {
    expected.push_back("[ERROR] Failed to parse trace flow config: flow '" +
                       fault.flow + "': " + fault.problem);
  }
  EXPECT_EQ(errors, expected);
  for (const Fault& fault : kFaults) {
    EXPECT_EQ(registry.CheckFlow(fault.flow)->result,
              trace::FlowCheckCode::FLOW_NOT_FOUND);
  }
  registry.Trace("kept", "a", true);
  EXPECT_EQ(registry.CheckFlow("kept")->result, trace::FlowCheckCode::PASSED);
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
