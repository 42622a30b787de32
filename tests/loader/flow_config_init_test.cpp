// FlowTrace::Init on real files: file-level faults, what is stored in the
// registry, and how a load meets flows, queues and handlers already there.

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <yaml-cpp/yaml.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "registry_views.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelpwood {
namespace trace {
namespace {

using ::kelpwood::testing::ConfiguredChain;
using ::kelpwood::testing::DataPath;
using ::kelpwood::testing::ExampleFlowLines;
using ::kelpwood::testing::HasQueue;
using ::kelpwood::testing::TakeLogLines;
using ::kelpwood::testing::TempDir;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

Lines LoadAndTakeLines(const std::string& path) {
  TakeLogLines();
  FlowTrace::GetInstance().Init(path);
  return TakeLogLines();
}

struct FileFault {
  const char* name;
  const char* file;
  // The one line Init logs; "{path}" stands for the file's path.
  std::string expected_line;
  // An id that the file names but that must not be stored, or "".
  const char* unstored_flow_id;
};

// Names the case in test listings instead of dumping the structure's bytes.
void PrintTo(const FileFault& fault, std::ostream* out) { *out << fault.file; }

class InitFileFaultTest : public ::testing::TestWithParam<FileFault> {};

TEST_P(InitFileFaultTest, LogsOneErrorAndStoresNothing) {
  const FileFault& fault = GetParam();
  const std::string path = DataPath(fault.file);
  std::string expected = fault.expected_line;
  const std::string placeholder = "{path}";
  if (auto at = expected.find(placeholder); at != std::string::npos) {
    expected.replace(at, placeholder.size(), path);
  }
  EXPECT_EQ(LoadAndTakeLines(path), Lines{expected});
  if (fault.unstored_flow_id[0] != '\0') {
    EXPECT_FALSE(HasQueue(fault.unstored_flow_id));
    EXPECT_EQ(ConfiguredChain(fault.unstored_flow_id), "NOT FOUND");
  }
}

const char kNoWorkflows[] = "[ERROR] No workflows configuration found";
const char kNotSequence[] = "[ERROR] workflows should be a sequence";
const char kFileError[] = "[ERROR] Failed to parse flow configuration file: ";

INSTANTIATE_TEST_SUITE_P(
    FileFaults, InitFileFaultTest,
    ::testing::Values(
        FileFault{"MissingFile", "does_not_exist.yaml",
                  std::string(kFileError) + "bad file: {path}", ""},
        FileFault{"SyntaxError", "syntax_error.yaml",
                  std::string(kFileError) +
                      "yaml-cpp: error at line 4, column 1: end of sequence "
                      "flow not found",
                  "syntax_flow"},
        FileFault{"ScalarRoot", "scalar_root.yaml",
                  std::string(kFileError) +
                      "yaml-cpp: error at line 1, column 1: operator[] call "
                      "on a scalar (key: \"workflows\")",
                  ""},
        // yaml-cpp 0.7.0 stops at nesting depth 500 with this text.
        FileFault{"NestingDeeperThanTheParserAllows", "deep_nesting.yaml",
                  std::string(kFileError) +
                      "yaml-cpp: error at line 3, column 1218: bad file",
                  "deep_flow"},
        FileFault{"EmptyDocument", "empty_document.yaml", kNoWorkflows, ""},
        FileFault{"NullRoot", "null_root.yaml", kNoWorkflows, ""},
        FileFault{"SequenceRoot", "sequence_root.yaml", kNoWorkflows,
                  "seq_root_flow"},
        FileFault{"RootWithoutWorkflows", "no_workflows_key.yaml", kNoWorkflows,
                  "no_key_flow"},
        FileFault{"NullWorkflows", "null_workflows.yaml", kNoWorkflows, ""},
        FileFault{"ScalarWorkflows", "scalar_workflows.yaml", kNotSequence,
                  "scalar_workflows_flow"},
        FileFault{"MapWorkflows", "map_workflows.yaml", kNotSequence,
                  "map_workflows_flow"}),
    [](const ::testing::TestParamInfo<FileFault>& info) {
      return std::string(info.param.name);
    });

TEST(InitTest, EmptyWorkflowsLoadsNothingAndLogsNothing) {
  EXPECT_EQ(LoadAndTakeLines(DataPath("empty_workflows.yaml")), Lines{});
}

TEST(InitTest, StoresTheExampleFlowWithAnEmptyQueue) {
  EXPECT_EQ(LoadAndTakeLines(DataPath("example.yaml")), ExampleFlowLines());
  EXPECT_TRUE(FlowTrace::GetInstance().GetTracePoints("demo_flow").empty());
  EXPECT_EQ(ConfiguredChain("demo_flow"), "<p1> -> [p2]");

  // check_order is in force: p2 before p1 breaks the order at p1, and the
  // configured point handed back carries the file's failure id.
  FlowTrace& registry = FlowTrace::GetInstance();
  registry.Trace("demo_flow", "p2", true);
  registry.Trace("demo_flow", "p1", true);
  std::shared_ptr<FlowCheckResult> result = registry.CheckFlow("demo_flow");
  EXPECT_EQ(result->result, FlowCheckCode::POINT_MISSING);
  ASSERT_NE(result->point_cfg, nullptr);
  EXPECT_EQ(result->point_cfg->point_id, "p1");
  EXPECT_EQ(result->point_cfg->failure_id, 16u);
  registry.RemoveTraceFlow("demo_flow");
  TakeLogLines();
}

TEST(InitTest, SkipsBadFlowEntriesAndLoadsTheOnesAfterThem) {
  const Lines lines = LoadAndTakeLines(DataPath("flow_faults.yaml"));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0],
            "[ERROR] Failed to parse trace flow config: yaml-cpp: error at "
            "line 2, column 5: operator[] call on a scalar (key: "
            "\"flow_id\")");
  EXPECT_EQ(lines[6],
            "[DEBUG] Parsed trace flow config: flow_id=flow_faults_survivor, "
            "flow_name=, check_order=false, points_count=1");
  for (const char* skipped :
       {"flow_faults_bad_order", "flow_faults_empty_order",
        "flow_faults_bad_name"}) {
    EXPECT_FALSE(HasQueue(skipped)) << skipped;
    EXPECT_EQ(ConfiguredChain(skipped), "NOT FOUND") << skipped;
  }
  EXPECT_EQ(ConfiguredChain("flow_faults_survivor"), "<s1>");
}

TEST(InitTest, StoresAFlowWithoutPointsWhenAllItsPointsAreDropped) {
  const Lines lines = LoadAndTakeLines(DataPath("flow_points_kinds.yaml"));
  EXPECT_EQ(lines.size(), 11u);
  for (const char* flow_id :
       {"points_map", "points_scalar", "points_null", "points_scalars"}) {
    EXPECT_TRUE(HasQueue(flow_id)) << flow_id;
    EXPECT_EQ(ConfiguredChain(flow_id), "") << flow_id;
  }
  EXPECT_EQ(ConfiguredChain("points_odd_entries"), "<> -> <> -> <last>");
}

TEST(InitTest, StoresTheFlowWithTheRemainingPointsInOrder) {
  LoadAndTakeLines(DataPath("bad_middle_point.yaml"));
  EXPECT_EQ(ConfiguredChain("bad_middle_flow"), "<first> -> [third]");
}

TEST(InitTest, StoresFlowsWithoutAnIdUnderTheEmptyId) {
  EXPECT_EQ(LoadAndTakeLines(DataPath("unnamed_flows.yaml")).back(),
            "[DEBUG] Parsed trace flow config: flow_id=, flow_name=Unnamed, "
            "check_order=false, points_count=1");
  EXPECT_TRUE(HasQueue(""));
  EXPECT_EQ(ConfiguredChain(""), "<u1>");

  // A sequence or null flow entry is no error either: the later one replaces
  // the flow under the empty id.
  EXPECT_EQ(LoadAndTakeLines(DataPath("odd_flow_entries.yaml")),
            (Lines{"[DEBUG] Parsed trace flow config: flow_id=, flow_name=, "
                   "check_order=false, points_count=0",
                   "[DEBUG] Parsed trace flow config: flow_id=, flow_name=, "
                   "check_order=false, points_count=0"}));
  EXPECT_EQ(ConfiguredChain(""), "");
}

TEST(InitTest, StoresAFlowWithAnEmptyIdValueUnderNull) {
  LoadAndTakeLines(DataPath("text_values.yaml"));
  EXPECT_EQ(ConfiguredChain("null"),
            "<null> -> <null> -> <null> -> <null> "
            "-> <> -> <42>");
}

TEST(InitTest, LetTheLaterOfTwoEntriesWithOneIdWin) {
  const Lines lines = LoadAndTakeLines(DataPath("duplicate_flows.yaml"));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1],
            "[DEBUG] Parsed trace flow config: flow_id=duplicate_flow, "
            "flow_name=First, check_order=false, points_count=1");
  EXPECT_EQ(lines[4],
            "[DEBUG] Parsed trace flow config: flow_id=duplicate_flow, "
            "flow_name=Second, check_order=false, points_count=2");
  EXPECT_EQ(ConfiguredChain("duplicate_flow"), "<d2> -> [d3]");
}

TEST(InitTest, SecondLoadAddsItsFlowsAndKeepsTheFirstOnes) {
  LoadAndTakeLines(DataPath("reload_first.yaml"));
  FlowTrace& registry = FlowTrace::GetInstance();
  registry.Trace("reload_a", "a1", true);
  registry.Trace("reload_shared", "old", true);

  LoadAndTakeLines(DataPath("reload_second.yaml"));
  EXPECT_EQ(ConfiguredChain("reload_a"), "<a1>");
  EXPECT_EQ(ConfiguredChain("reload_b"), "<b1>");
  EXPECT_EQ(ConfiguredChain("reload_shared"), "[new]");
  // Only the queue of the flow the second file names was emptied.
  EXPECT_EQ(registry.GetTracePoints("reload_a").size(), 1u);
  EXPECT_TRUE(registry.GetTracePoints("reload_shared").empty());
  EXPECT_EQ(TakeLogLines(), Lines{});
}

TEST(InitTest, ReplacingAFlowEmptiesItsQueueAndKeepsItsHandler) {
  FlowTrace& registry = FlowTrace::GetInstance();
  auto cfg = std::make_shared<TraceFlowCfg>();
  cfg->flow_id = "replace_holding_flow";
  auto point = std::make_shared<TracePointCfg>();
  point->point_id = "registered";
  point->is_critical = true;
  cfg->flow_points.push_back(point);
  registry.RegisterTraceFlow(cfg);
  std::vector<FlowCheckCode> handled;
  registry.RegisterFlowHandler(
      "replace_holding_flow",
      [&handled](const std::string&,
                 const std::shared_ptr<FlowCheckResult>& result) {
        handled.push_back(result->result);
      });
  registry.Trace("replace_holding_flow", "registered", true);
  registry.Trace("replace_holding_flow", "registered", true);
  auto held = registry.GetTracePoints("replace_holding_flow").front();

  // Init replaces without the warning and INFO line of RegisterTraceFlow.
  EXPECT_EQ(LoadAndTakeLines(DataPath("replace_holding.yaml")),
            (Lines{"[DEBUG] Parsed trace point config: point_id=loaded, "
                   "description=, is_critical=true",
                   "[DEBUG] Parsed trace flow config: "
                   "flow_id=replace_holding_flow, flow_name=From file, "
                   "check_order=false, points_count=1"}));
  EXPECT_TRUE(registry.GetTracePoints("replace_holding_flow").empty());
  EXPECT_EQ(held->point_id, "registered");  // a caller's copy lives on

  registry.Trace("replace_holding_flow", "loaded", true);
  EXPECT_EQ(registry.GetTracePoints("replace_holding_flow").front()->index, 0);
  std::shared_ptr<FlowCheckResult> result =
      registry.CheckFlow("replace_holding_flow");
  EXPECT_EQ(result->result, FlowCheckCode::PASSED);
  EXPECT_EQ(handled, std::vector<FlowCheckCode>{FlowCheckCode::PASSED});
  registry.RemoveTraceFlow("replace_holding_flow");
  TakeLogLines();
}

TEST(InitTest, LoadingAgainAfterResetAllFlowsGivesTheFlowsQueuesBack) {
  LoadAndTakeLines(DataPath("check_order_forms.yaml"));
  FlowTrace& registry = FlowTrace::GetInstance();
  registry.ResetAllFlows();
  EXPECT_FALSE(HasQueue("order_true"));
  LoadAndTakeLines(DataPath("check_order_forms.yaml"));
  EXPECT_TRUE(HasQueue("order_true"));
  EXPECT_TRUE(HasQueue("order_absent"));
}

TEST(InitTest, ZeroByteFileHasNoWorkflows) {
  TempDir dir;
  EXPECT_EQ(LoadAndTakeLines(dir.WriteFile("flows.yaml", "")),
            Lines{"[ERROR] No workflows configuration found"});
}

TEST(InitTest, FileWithANulByteFailsAsYamlCppLoadFileDoes) {
  TempDir dir;
  const std::string path = dir.WriteFile(
      "flows.yaml",
      "workflows:\n  - flow_id: nul_before\n  - flow_id: nul\0here\n"s);
  std::string load_file_error = "LoadFile accepted the file";
  try {
    YAML::LoadFile(path);
  } catch (const YAML::Exception& error) {
    load_file_error = error.what();
  }
  EXPECT_EQ(LoadAndTakeLines(path),
            Lines{"[ERROR] Failed to parse flow configuration file: " +
                  load_file_error});
  EXPECT_FALSE(HasQueue("nul_before"));
}

TEST(InitTest, ReadsAFileFarLargerThanOneReadBuffer) {
  TempDir dir;
  std::string content = "workflows:\n";
  for (int flow = 0; flow < 2000; ++flow) {
    content += "  - flow_id: large_" + std::to_string(flow) +
               "\n    flow_points:\n      - point_id: only\n";
  }
  content +=
      "  - flow_id: large_last\n    flow_points:\n"
      "      - point_id: tail\n";
  ASSERT_GT(content.size(), 100000u);
  const Lines lines = LoadAndTakeLines(dir.WriteFile("flows.yaml", content));
  ASSERT_EQ(lines.size(), 2u * 2001);
  EXPECT_EQ(lines.back(),
            "[DEBUG] Parsed trace flow config: flow_id=large_last, "
            "flow_name=, check_order=false, points_count=1");
  EXPECT_EQ(ConfiguredChain("large_last"), "<tail>");
}

}  // namespace
}  // namespace trace
}  // namespace kelpwood
