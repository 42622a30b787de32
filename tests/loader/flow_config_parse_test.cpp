// The two parse operations on nodes of real YAML files: which field each key
// fills, the values of absent keys, and the messages of dropped entries.

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <yaml-cpp/yaml.h>

#include <memory>
#include <string>
#include <vector>

#include "registry_views.h"
#include "support/log_capture.h"

namespace kelpwood {
namespace trace {
namespace {

using ::kelpwood::testing::DataPath;
using ::kelpwood::testing::ExampleFlowLines;
using ::kelpwood::testing::TakeLogLines;
using Lines = std::vector<std::string>;

YAML::Node FlowEntry(const std::string& file, std::size_t index) {
  return YAML::LoadFile(DataPath(file))["workflows"][index];
}

std::shared_ptr<TraceFlowCfg> ParseFlow(const std::string& file,
                                        std::size_t index) {
  YAML::Node entry = FlowEntry(file, index);
  TakeLogLines();
  return FlowTrace::GetInstance().parseTraceFlowCfg(entry);
}

// The line that a value yaml-cpp cannot convert gives, for a "point" or a
// "flow" entry.
std::string BadConversion(const std::string& entry, int line, int column) {
  return "[ERROR] Failed to parse trace " + entry +
         " config: yaml-cpp: error at line " + std::to_string(line) +
         ", column " + std::to_string(column) + ": bad conversion";
}

std::vector<std::string> PointIds(const TraceFlowCfg& cfg) {
  std::vector<std::string> ids;
  for (const auto& point : cfg.flow_points) ids.push_back(point->point_id);
  return ids;
}

TEST(ParseTraceFlowCfgTest, BuildsTheDocumentedExampleWithItsMessages) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("example.yaml", 0);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->flow_id, "demo_flow");
  EXPECT_EQ(cfg->flow_name, "Demo");
  EXPECT_EQ(cfg->description, "");
  EXPECT_TRUE(cfg->check_order);
  ASSERT_EQ(cfg->flow_points.size(), 2u);
  const TracePointCfg& first = *cfg->flow_points[0];
  EXPECT_EQ(first.point_id, "p1");
  EXPECT_EQ(first.description, "");
  EXPECT_TRUE(first.is_critical);
  EXPECT_EQ(first.failure_id, 16u);
  const TracePointCfg& second = *cfg->flow_points[1];
  EXPECT_EQ(second.point_id, "p2");
  EXPECT_EQ(second.description, "Second step");
  EXPECT_FALSE(second.is_critical);
  EXPECT_EQ(second.failure_id, 0u);
  EXPECT_EQ(TakeLogLines(), ExampleFlowLines());
}

TEST(ParseTraceFlowCfgTest, ReadsCheckOrderAsBooleanAndDefaultsToFalse) {
  // A default-built TraceFlowCfg says true; the file's default is false.
  const std::vector<bool> expected = {false, true, false, true, false};
  for (std::size_t index = 0; index < expected.size(); ++index) {
    std::shared_ptr<TraceFlowCfg> cfg =
        ParseFlow("check_order_forms.yaml", index);
    ASSERT_NE(cfg, nullptr) << index;
    EXPECT_EQ(cfg->check_order, expected[index]) << cfg->flow_id;
  }
}

TEST(ParseTraceFlowCfgTest, RejectsFlowEntriesWithUnconvertibleKeys) {
  const Lines expected[] = {
      {"[ERROR] Failed to parse trace flow config: yaml-cpp: error at line 2, "
       "column 5: operator[] call on a scalar (key: \"flow_id\")"},
      {BadConversion("flow", 3, 14)},
      {BadConversion("flow", 5, 18)},
      // An empty check_order is present and null, and null is no boolean.
      {BadConversion("flow", 8, 3)},
      {BadConversion("flow", 9, 16)},
  };
  for (std::size_t index = 0; index < 5; ++index) {
    EXPECT_EQ(ParseFlow("flow_faults.yaml", index), nullptr) << index;
    EXPECT_EQ(TakeLogLines(), expected[index]) << index;
  }
}

TEST(ParseTraceFlowCfgTest, ReadsFailureIdsAsUnsigned32BitNumbers) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("failure_ids.yaml", 0);
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(PointIds(*cfg), (Lines{"hex", "octal", "largest", "absent"}));
  EXPECT_EQ(cfg->flow_points[0]->failure_id, 16u);
  EXPECT_EQ(cfg->flow_points[1]->failure_id, 8u);
  EXPECT_EQ(cfg->flow_points[2]->failure_id, 4294967295u);
  EXPECT_EQ(cfg->flow_points[3]->failure_id, 0u);
  const Lines lines = TakeLogLines();
  // -1, abc, an empty value and 2^32 each drop their point.
  const Lines errors(lines.begin() + 2, lines.begin() + 6);
  EXPECT_EQ(
      errors,
      (Lines{BadConversion("point", 9, 21), BadConversion("point", 11, 21),
             BadConversion("point", 14, 7), BadConversion("point", 15, 21)}));
  EXPECT_EQ(lines.back(),
            "[DEBUG] Parsed trace flow config: flow_id=failure_ids_flow, "
            "flow_name=, check_order=false, points_count=4");
}

TEST(ParseTraceFlowCfgTest, ReadsEmptyAndTildeTextValuesAsNull) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("text_values.yaml", 0);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->flow_id, "null");
  EXPECT_EQ(cfg->flow_name, "null");
  EXPECT_EQ(cfg->description, "null");
  EXPECT_EQ(PointIds(*cfg), (Lines{"null", "null", "null", "null", "", "42"}));
}

TEST(ParseTraceFlowCfgTest, PrefersPointDescAndDropsPointsWithNonTextOnes) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("descriptions.yaml", 0);
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(PointIds(*cfg),
            (Lines{"both", "only_description", "desc_null", "neither"}));
  EXPECT_EQ(cfg->flow_points[0]->description, "From point_desc");
  EXPECT_EQ(cfg->flow_points[1]->description, "From description");
  // A present but empty point_desc is read, not skipped for description.
  EXPECT_EQ(cfg->flow_points[2]->description, "null");
  EXPECT_EQ(cfg->flow_points[3]->description, "");
  const Lines lines = TakeLogLines();
  ASSERT_EQ(lines.size(), 7u);
  // A point_desc that is a sequence drops the point although its
  // description is valid text.
  EXPECT_EQ(lines[2], BadConversion("point", 10, 21));
  EXPECT_EQ(lines[5], BadConversion("point", 17, 22));
}

TEST(ParseTraceFlowCfgTest, MakesPointsCriticalUnlessOptionalIsTrue) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("optional_forms.yaml", 0);
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(PointIds(*cfg), (Lines{"opt_false", "opt_absent", "opt_true",
                                   "opt_yes", "opt_off"}));
  const std::vector<bool> critical = {true, true, false, false, true};
  for (std::size_t index = 0; index < critical.size(); ++index) {
    EXPECT_EQ(cfg->flow_points[index]->is_critical, critical[index])
        << cfg->flow_points[index]->point_id;
  }
  const Lines lines = TakeLogLines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5], BadConversion("point", 14, 19));
  EXPECT_EQ(lines[6], BadConversion("point", 17, 1));
}

TEST(ParseTraceFlowCfgTest, IgnoresFlowPointsThatAreNotASequence) {
  for (std::size_t index = 0; index < 3; ++index) {
    std::shared_ptr<TraceFlowCfg> cfg =
        ParseFlow("flow_points_kinds.yaml", index);
    ASSERT_NE(cfg, nullptr) << index;
    EXPECT_TRUE(cfg->flow_points.empty()) << cfg->flow_id;
    EXPECT_EQ(
        TakeLogLines(),
        Lines{"[DEBUG] Parsed trace flow config: flow_id=" + cfg->flow_id +
              ", flow_name=, check_order=false, points_count=0"});
  }
}

TEST(ParseTraceFlowCfgTest, DropsEveryPlainScalarPointWithOneErrorEach) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("flow_points_kinds.yaml", 3);
  ASSERT_NE(cfg, nullptr);
  EXPECT_TRUE(cfg->flow_points.empty());
  EXPECT_EQ(TakeLogLines(),
            (Lines{"[ERROR] Failed to parse trace point config: yaml-cpp: "
                   "error at line 10, column 19: operator[] call on a scalar "
                   "(key: \"point_id\")",
                   "[ERROR] Failed to parse trace point config: yaml-cpp: "
                   "error at line 10, column 22: operator[] call on a scalar "
                   "(key: \"point_id\")",
                   "[ERROR] Failed to parse trace point config: yaml-cpp: "
                   "error at line 10, column 25: operator[] call on a scalar "
                   "(key: \"point_id\")",
                   "[DEBUG] Parsed trace flow config: flow_id=points_scalars, "
                   "flow_name=, check_order=false, points_count=0"}));
}

TEST(ParseTraceFlowCfgTest, TurnsSequenceAndNullPointEntriesIntoEmptyPoints) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("flow_points_kinds.yaml", 4);
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(PointIds(*cfg), (Lines{"", "", "last"}));
  for (std::size_t index = 0; index < 2; ++index) {
    EXPECT_EQ(cfg->flow_points[index]->description, "");
    EXPECT_TRUE(cfg->flow_points[index]->is_critical);
    EXPECT_EQ(cfg->flow_points[index]->failure_id, 0u);
  }
  EXPECT_EQ(TakeLogLines().front(),
            "[DEBUG] Parsed trace point config: point_id=, description=, "
            "is_critical=true");
}

TEST(ParseTraceFlowCfgTest, MovesLaterPointsUpWhenAMiddleOneIsDropped) {
  std::shared_ptr<TraceFlowCfg> cfg = ParseFlow("bad_middle_point.yaml", 0);
  ASSERT_NE(cfg, nullptr);
  ASSERT_EQ(PointIds(*cfg), (Lines{"first", "third"}));
  EXPECT_FALSE(cfg->flow_points[1]->is_critical);
  EXPECT_EQ(TakeLogLines(),
            (Lines{"[DEBUG] Parsed trace point config: point_id=first, "
                   "description=, is_critical=true",
                   BadConversion("point", 7, 19),
                   "[DEBUG] Parsed trace point config: point_id=third, "
                   "description=, is_critical=false",
                   "[DEBUG] Parsed trace flow config: flow_id=bad_middle_flow, "
                   "flow_name=, check_order=true, points_count=2"}));
}

TEST(ParseTraceFlowCfgTest, GivesSequenceAndNullFlowNodesEveryAbsentValue) {
  FlowTrace& registry = FlowTrace::GetInstance();
  for (const char* text : {"[a, b]", "~", "{}"}) {
    TakeLogLines();
    std::shared_ptr<TraceFlowCfg> cfg =
        registry.parseTraceFlowCfg(YAML::Load(text));
    ASSERT_NE(cfg, nullptr) << text;
    EXPECT_EQ(cfg->flow_id, "");
    EXPECT_EQ(cfg->flow_name, "");
    EXPECT_EQ(cfg->description, "");
    EXPECT_FALSE(cfg->check_order);
    EXPECT_TRUE(cfg->flow_points.empty());
    EXPECT_EQ(TakeLogLines(),
              Lines{"[DEBUG] Parsed trace flow config: flow_id=, flow_name=, "
                    "check_order=false, points_count=0"});
  }
}

TEST(ParseTracePointCfgTest, RejectsAScalarNodeWithTheSubscriptError) {
  TakeLogLines();
  EXPECT_EQ(FlowTrace::GetInstance().parseTracePointCfg(YAML::Load("p1")),
            nullptr);
  EXPECT_EQ(TakeLogLines(),
            Lines{"[ERROR] Failed to parse trace point config: yaml-cpp: "
                  "error at line 1, column 1: operator[] call on a scalar "
                  "(key: \"point_id\")"});
}

TEST(ParseTracePointCfgTest, ReadsAllKeysOfAMapNode) {
  TakeLogLines();
  std::shared_ptr<TracePointCfg> point =
      FlowTrace::GetInstance().parseTracePointCfg(YAML::Load(
          "{point_id: ready, failure_id: 7, description: Up, optional: no, "
          "extra: ignored}"));
  ASSERT_NE(point, nullptr);
  EXPECT_EQ(point->point_id, "ready");
  EXPECT_EQ(point->failure_id, 7u);
  EXPECT_EQ(point->description, "Up");
  EXPECT_TRUE(point->is_critical);
  EXPECT_EQ(TakeLogLines(),
            Lines{"[DEBUG] Parsed trace point config: point_id=ready, "
                  "description=Up, is_critical=true"});
}

}  // namespace
}  // namespace trace
}  // namespace kelpwood
