// kelpwood-flows timeline, run as a child process on real files.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <yaml-cpp/yaml.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "trace_event_checker.h"

namespace kelpwood {
namespace testing {
namespace {

struct ToolRun {
  int exit_code = -1;
  std::string out;
  std::string err;
};

constexpr char kConfig[] = R"(workflows:
  - flow_id: boot
    check_order: true
    flow_points:
      - point_id: power_on
      - point_id: ready
  - flow_id: update
    check_order: true
    deadline_ms: 20
    flow_points:
      - point_id: download
      - point_id: flash
        failure_id: 3
)";

// Times in milliseconds with nanosecond decimals; the third line takes the
// time of the second.
constexpr char kTimedTrace[] =
    "boot power_on ok 1700000000000.000250\n"
    "update download 1700000000002.5\n"
    "boot ready\n"
    "update flash fail 1700000000010\n";

class TimelineToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_.WriteFile("flows.yaml", kConfig);
    directory_.WriteFile("timed.trace", kTimedTrace);
  }

  ToolRun Run(const std::vector<std::string>& arguments,
              const ChildOptions& options = ChildOptions()) {
    const kelpwood::testing::ChildResult child = kelpwood::testing::RunChild(
        KELPWOOD_FLOWS_TOOL, arguments,
        kelpwood::testing::WithSanitizerOptions({"SPDLOG_STDOUT=false"}),
        options);
    EXPECT_FALSE(child.timed_out);
    return ToolRun{WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1,
                   child.standard_output, child.standard_error};
  }

  std::string File(const std::string& name) { return directory_.File(name); }

  kelpwood::testing::TempDir directory_;
};

TEST_F(TimelineToolTest, ChromeTimelineKeepsTheTraceFileTimes) {
  const ToolRun run =
      Run({"timeline", File("flows.yaml"), File("timed.trace")});
  EXPECT_EQ(run.exit_code, 1);  // update fails at flash
  EXPECT_EQ(run.err, "kelpwood-flows: timeline: 1 of 2 runs failed\n");
  EXPECT_EQ(TraceEventProblems(run.out), std::vector<std::string>{});
  std::vector<std::string> points;
  for (const YAML::Node& event : YAML::Load(run.out)["traceEvents"]) {
    if (event["cat"] && (event["cat"].Scalar() == "point" ||
                         event["cat"].Scalar() == "fault")) {
      points.push_back(event["name"].Scalar() + " @" + event["ts"].Scalar());
    }
  }
  EXPECT_EQ(points,
            (std::vector<std::string>{"power_on @0", "ready @2499.75",
                                      "download @2499.75", "flash @9999.75",
                                      "fault: POINT_FAILED flash @9999.75"}));
}

TEST_F(TimelineToolTest, HtmlTimelineGoesToTheOutputFile) {
  const ToolRun run = Run({"timeline", "--format=html", "-o", File("t.html"),
                           File("flows.yaml"), File("timed.trace")});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kelpwood-flows: timeline: 1 of 2 runs failed\n");
  const std::string html = directory_.ReadFile("t.html");
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html.find("POINT_FAILED · failure_id 3</text>"), std::string::npos);
  EXPECT_NE(html.find(">deadline 20 ms</text>"), std::string::npos);
}

TEST_F(TimelineToolTest, CheckAcceptsTheTimeColumn) {
  const ToolRun run = Run({"check", File("flows.yaml"), File("timed.trace")});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
            "FLOW    RESULT        RECORDED AT FAULT  CONFIGURED AT FAULT\n"
            "boot    PASSED        -                  -\n"
            "update  POINT_FAILED  flash (line 4)     <flash>#3\n"
            "1 of 2 flows passed\n");
}

struct Refusal {
  const char* name;
  std::vector<std::string> arguments;
  const char* trace;
  const char* error;
};

class TimelineToolRefusalTest : public TimelineToolTest,
                                public ::testing::WithParamInterface<Refusal> {
};

// "DIR" stands for the test's directory.
std::string InDirectory(std::string text, const std::string& directory) {
  for (std::size_t at; (at = text.find("DIR")) != std::string::npos;) {
    text.replace(at, 3, directory);
  }
  return text;
}

TEST_P(TimelineToolRefusalTest, ExitsTwoNamingTheCause) {
  directory_.WriteFile("bad.trace", GetParam().trace);
  std::vector<std::string> arguments = {"timeline"};
  for (const std::string& argument : GetParam().arguments) {
    arguments.push_back(InDirectory(argument, directory_.path()));
  }
  arguments.push_back(File("flows.yaml"));
  arguments.push_back(File("bad.trace"));
  const ToolRun run = Run(arguments);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, InDirectory(GetParam().error, directory_.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Causes, TimelineToolRefusalTest,
    ::testing::Values(
        Refusal{"UnknownFormat",
                {"--format", "svg"},
                "boot ready\n",
                "kelpwood-flows: timeline: unknown format 'svg' (chrome or "
                "html)\nTry 'kelpwood-flows --help' for more information.\n"},
        Refusal{"BadTime",
                {},
                "boot ready ok 12:30\n",
                "kelpwood-flows: DIR/bad.trace:1: TIME '12:30' is not "
                "milliseconds (digits, up to six decimals)\n"},
        Refusal{"BadStatusOrTime",
                {},
                "boot ready soon\n",
                "kelpwood-flows: DIR/bad.trace:1: expected 'FLOW_ID POINT_ID "
                "[ok|fail]'\n"},
        Refusal{"UnwritableOutput",
                {"-o", "DIR/none/t.json"},
                "boot ready\n",
                "kelpwood-flows: DIR/none/t.json: No such file or "
                "directory\n"}),
    [](const ::testing::TestParamInfo<Refusal>& info) {
      return std::string(info.param.name);
    });

// Standard input without end: each command that reads '-' stops at 64 MiB
// and says so, instead of growing until allocation fails (exit 134).
struct EndlessInput {
  const char* name;
  std::vector<std::string> arguments;  // "FLOWS" stands for the flow file
};

class EndlessInputTest : public TimelineToolTest,
                         public ::testing::WithParamInterface<EndlessInput> {};

TEST_P(EndlessInputTest, StopsAt64MiBWithExitTwo) {
  std::vector<std::string> arguments = GetParam().arguments;
  for (std::string& argument : arguments) {
    if (argument == "FLOWS") argument = File("flows.yaml");
  }
  ChildOptions options;
  options.standard_input = "/dev/zero";
  options.deadline = std::chrono::seconds(20);
  const ToolRun run = Run(arguments, options);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kelpwood-flows: -: too large (more than 64 MiB)\n");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, EndlessInputTest,
    ::testing::Values(EndlessInput{"Check", {"check", "FLOWS", "-"}},
                      EndlessInput{"Timeline", {"timeline", "FLOWS", "-"}},
                      EndlessInput{"Validate", {"validate", "-"}}),
    [](const ::testing::TestParamInfo<EndlessInput>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace testing
}  // namespace kelpwood
