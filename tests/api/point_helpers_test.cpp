// The header's point builders give the same configured points as the
// configuration file does for the same entry, and a flow built from them is
// checked as one loaded from YAML.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "../trace/test_points.h"

namespace kt = kelpwood::trace;

namespace {

struct HelperCase {
  const char* name;
  const char* yaml_entry;
  std::shared_ptr<kt::TracePointCfg> (*build)();
  const char* point_id;
  const char* description;
  bool is_critical;
  std::uint32_t failure_id;
};

const HelperCase kHelperCases[] = {
    {"CriticalWithDefaults", "{point_id: init}",
     [] { return kt::Critical("init"); }, "init", "", true, 0},
    {"CriticalWithFailureIdAndDescription",
     "{point_id: mount, failure_id: 17, description: Data partition}",
     [] { return kt::Critical("mount", 17, "Data partition"); }, "mount",
     "Data partition", true, 17},
    {"OptionalWithDefaults", "{point_id: splash, optional: true}",
     [] { return kt::Optional("splash"); }, "splash", "", false, 0},
    {"OptionalWithFailureIdAndDescription",
     "{point_id: net, optional: true, failure_id: 4294967295, point_desc: "
     "Uplink}",
     [] { return kt::Optional("net", 4294967295u, "Uplink"); }, "net", "Uplink",
     false, 4294967295u},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const HelperCase& entry, std::ostream* out) { *out << entry.name; }

class PointHelperTest : public ::testing::TestWithParam<HelperCase> {};

TEST_P(PointHelperTest, BuildsTheConfigurationFilesPoint) {
  const HelperCase& entry = GetParam();
  const std::shared_ptr<kt::TracePointCfg> built = entry.build();
  ASSERT_NE(built, nullptr);
  EXPECT_EQ(built->point_id, entry.point_id);
  EXPECT_EQ(built->description, entry.description);
  EXPECT_EQ(built->is_critical, entry.is_critical);
  EXPECT_EQ(built->failure_id, entry.failure_id);

  const std::shared_ptr<kt::TracePointCfg> parsed =
      kt::FlowTrace::GetInstance().parseTracePointCfg(
          YAML::Load(entry.yaml_entry));
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(parsed->point_id, built->point_id);
  EXPECT_EQ(parsed->description, built->description);
  EXPECT_EQ(parsed->is_critical, built->is_critical);
  EXPECT_EQ(parsed->failure_id, built->failure_id);
}

INSTANTIATE_TEST_SUITE_P(Entries, PointHelperTest,
                         ::testing::ValuesIn(kHelperCases),
                         [](const ::testing::TestParamInfo<HelperCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(PointHelperObjectsTest, MakesANewPointOnEveryCall) {
  const auto first = kt::Critical("same");
  const auto second = kt::Critical("same");
  EXPECT_NE(first.get(), second.get());
  first->description = "changed";
  EXPECT_EQ(second->description, "");
}

using FlowFromHelpersTest = kelpwood::testing::FlowTraceTest;

// The flow of the header's example: the optional point may be skipped, a
// missing critical point fails the check at that very point.
TEST_F(FlowFromHelpersTest, ChecksTheHeaderExampleFlow) {
  auto& registry = kt::FlowTrace::GetInstance();
  const std::string flow = Flow("boot");
  const auto ready = kt::Critical("ready", 42);
  registry.RegisterTraceFlow(
      flow, {kt::Critical("init"), kt::Optional("splash"), ready}, "Boot", "",
      /*check_order=*/true);
  registry.Trace(flow, "init", true);
  registry.Trace(flow, "ready", true);
  EXPECT_EQ(registry.CheckFlow(flow)->result, kt::FlowCheckCode::PASSED);

  registry.ResetFlow(flow);
  registry.Trace(flow, "init", true);
  kelpwood::testing::ClearCapturedMessages();
  const auto result = registry.CheckFlow(flow);
  EXPECT_EQ(result->result, kt::FlowCheckCode::POINT_MISSING);
  EXPECT_EQ(result->point_cfg, ready);
  EXPECT_EQ(result->point_cfg->failure_id, 42u);
  EXPECT_THAT(kelpwood::testing::CapturedLines(),
              ::testing::ElementsAre(
                  "[INFO] Check flow: " + flow,
                  "[INFO] Flow '" + flow + "' trace points: init",
                  "[INFO] Flow '" + flow +
                      "' trace point configs: <init> -> [splash] -> <ready>",
                  "[ERROR] Critical point 'ready' not executed in flow '" +
                      flow + "'"));
}

}  // namespace
