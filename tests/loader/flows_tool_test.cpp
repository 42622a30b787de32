// kelpwood-flows run as a real program on real files: its report, its
// exit status and its silence about the library's own log.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <kelpwood/version.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using ::kelpwood::testing::ChildOptions;
using ::kelpwood::testing::ChildResult;
using ::kelpwood::testing::RunChild;
using ::kelpwood::testing::TempDir;
using ::kelpwood::testing::WithSanitizerOptions;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

struct ToolRun {
  int exit_code = -1;  // -1: killed at the deadline or by a signal
  std::string out;
  std::string err;
};

// Where the tool's standard input comes from and its standard output goes;
// an empty stdout_path means "captured".
struct Streams {
  std::string stdin_path = "/dev/null";
  std::string stdout_path;
};

// Runs the tool in tests/data with `arguments`, the logger writing to stdout
// as a careless caller might leave it; kills it after five seconds.
ToolRun RunToolWith(const std::vector<std::string>& arguments,
                    const Streams& streams) {
  ChildOptions options;
  options.working_directory = KELPWOOD_TEST_DATA_DIR;
  options.standard_input = streams.stdin_path;
  options.standard_output_path = streams.stdout_path;
  options.deadline = std::chrono::seconds(5);
  const ChildResult child =
      RunChild(KELPWOOD_FLOWS_TOOL, arguments,
               WithSanitizerOptions({"SPDLOG_STDOUT=true"}), options);
  ToolRun run;
  if (WIFEXITED(child.status)) run.exit_code = WEXITSTATUS(child.status);
  run.out = child.standard_output;
  run.err = child.standard_error;
  return run;
}

ToolRun RunTool(std::initializer_list<std::string> arguments) {
  return RunToolWith(arguments, Streams());
}

TEST(FlowsToolValidateTest, CleanFileExitsZeroAndListsItsFlowsAsLoaded) {
  const ToolRun run = RunTool({"validate", "example.yaml"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out,
            "example.yaml: 1 flow as loaded\n"
            "  flow demo_flow (Demo), check_order true\n"
            "    <p1>#16 -> [p2]\n"
            "no findings\n");
  EXPECT_EQ(run.err, "");
}

TEST(FlowsToolValidateTest, ReportsIdsReadAsNullAndFlowPointsOfTheWrongKind) {
  ToolRun run = RunTool({"validate", "text_values.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(
      run.out,
      StartsWith(
          "text_values.yaml:2:5: \"flow_id\" in flow \"null\" has no value: "
          "the loader reads it as the text \"null\"\n"));

  run = RunTool({"validate", "flow_points_kinds.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(
      run.out,
      StartsWith(
          "flow_points_kinds.yaml:4:7: \"flow_points\" in flow "
          "\"points_map\" is a map, not a sequence: the loader gives the "
          "flow no points\n"));
}

TEST(FlowsToolValidateTest, ReportsFileLevelFaultsWithTheirPosition) {
  const struct {
    const char* file;
    const char* first_line;
  } cases[] = {
      {"syntax_error.yaml",
       "syntax_error.yaml:4:1: end of sequence flow not found: the loader "
       "loads nothing\n"},
      {"scalar_root.yaml",
       "scalar_root.yaml:1:1: the document is the scalar \"workflows\", not a "
       "map: the loader loads nothing\n"},
      {"null_workflows.yaml",
       "null_workflows.yaml:1:1: \"workflows\" has no value: the loader loads "
       "nothing\n"},
      {"map_workflows.yaml",
       "map_workflows.yaml:2:3: \"workflows\" is a map, not a sequence: the "
       "loader loads nothing\n"},
      {"deep_nesting.yaml",
       "deep_nesting.yaml:3:1218: nested deeper than yaml-cpp allows (498 "
       "levels below the root): the loader loads nothing\n"},
      {"empty_document.yaml",
       "empty_document.yaml:1:1: the document is empty: the loader loads "
       "nothing\n"},
  };
  for (const auto& each : cases) {
    const ToolRun run = RunTool({"validate", each.file});
    EXPECT_EQ(run.exit_code, 1) << each.file;
    EXPECT_THAT(run.out, StartsWith(each.first_line));
  }
}

TEST(FlowsToolValidateTest, UnreadableFileExitsTwoAfterJudgingTheOthers) {
  const ToolRun run =
      RunTool({"validate", "does_not_exist.yaml", "bad_middle_point.yaml"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err,
            "kelpwood-flows: does_not_exist.yaml: No such file or directory\n");
  EXPECT_THAT(
      run.out,
      StartsWith(
          "bad_middle_point.yaml:7:19: point entry 2 in flow "
          "\"bad_middle_flow\" is dropped by the loader: \"optional\" is "
          "the scalar \"perhaps\", not true or false\n"));
}

TEST(FlowsToolValidateTest, RefusesADirectoryAndAFifoWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir.path() + "/flows.yaml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ToolRun run = RunTool({"validate", fifo});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err, "kelpwood-flows: " + fifo + ": not a regular file\n");

  run = RunTool({"validate", dir.path()});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err, "kelpwood-flows: " + dir.path() + ": is a directory\n");
}

TEST(FlowsToolValidateTest, ShowsTheLibraryLogOnlyWhenVerbose) {
  ToolRun run = RunTool({"validate", "bad_middle_point.yaml"});
  EXPECT_THAT(run.out, Not(HasSubstr("[ERROR]")));
  EXPECT_THAT(run.out, Not(HasSubstr("environment variable")));

  run = RunTool({"validate", "--verbose", "bad_middle_point.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.out, HasSubstr("[ERROR] Failed to parse trace point config: "
                                 "yaml-cpp: error at line 7, column 19: bad "
                                 "conversion\n"));
}

TEST(FlowsToolCheckTest, PassingTraceExitsZero) {
  const ToolRun run =
      RunTool({"check", "check_flows.yaml", "check_passing.trace"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out,
            "FLOW    RESULT  RECORDED AT FAULT  CONFIGURED AT FAULT\n"
            "boot    PASSED  -                  -\n"
            "update  PASSED  -                  -\n"
            "2 of 2 flows passed\n");
  EXPECT_EQ(run.err, "");
}

TEST(FlowsToolCheckTest, FailingTraceNamesThePointsAtFault) {
  const ToolRun run =
      RunTool({"check", "check_flows.yaml", "check_failing.trace"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(
      run.out,
      "FLOW          RESULT          RECORDED AT FAULT  CONFIGURED AT FAULT\n"
      "boot          PASSED          -                  -\n"
      "update        POINT_FAILED    flash (line 4)     <flash>#3\n"
      "unknown_flow  FLOW_NOT_FOUND  -                  -\n"
      "1 of 3 flows passed\n");
}

TEST(FlowsToolCheckTest, ReportsADuplicatedPointWithItsTraceLine) {
  const ToolRun run =
      RunTool({"check", "check_flows.yaml", "check_duplicated.trace"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
            "FLOW  RESULT            RECORDED AT FAULT  CONFIGURED AT FAULT\n"
            "boot  POINT_DUPLICATED  power_on (line 2)  <ready>#12\n"
            "0 of 1 flow passed\n");
}

TEST(FlowsToolCheckTest, MalformedTraceOrUnreadableFileExitsTwo) {
  ToolRun run = RunTool({"check", "check_flows.yaml", "check_malformed.trace"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "kelpwood-flows: check_malformed.trace:2: expected 'FLOW_ID "
            "POINT_ID [ok|fail]'\n"
            "kelpwood-flows: check_malformed.trace:3: expected 'FLOW_ID "
            "POINT_ID [ok|fail]'\n");

  run = RunTool({"check", "does_not_exist.yaml", "check_passing.trace"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err,
            "kelpwood-flows: does_not_exist.yaml: No such file or directory\n");
}

TEST(FlowsToolCheckTest, NotesAConfigurationTheLoaderComplainedAbout) {
  const ToolRun run =
      RunTool({"check", "syntax_error.yaml", "check_failing.trace"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err,
            "kelpwood-flows: syntax_error.yaml: the loader reported 1 error; "
            "run 'kelpwood-flows validate syntax_error.yaml' for details\n");
}

TEST(FlowsToolUsageTest, HelpExitsZeroAndUsageErrorsExitTwo) {
  ToolRun run = RunTool({"--help"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(
      run.out,
      StartsWith("Usage: kelpwood-flows [OPTION]... COMMAND [ARG]...\n"));
  run = RunTool({"validate", "--help"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(
      run.out,
      StartsWith("Usage: kelpwood-flows validate [OPTION]... FILE...\n"));
  run = RunTool({"check", "-h"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_THAT(
      run.out,
      StartsWith("Usage: kelpwood-flows check [OPTION]... CONFIG TRACE\n"));

  run = RunTool({"check", "check_flows.yaml"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err,
            "kelpwood-flows: check: missing CONFIG or TRACE\n"
            "Try 'kelpwood-flows --help' for more information.\n");
  run = RunTool({"validate", "--frobnicate", "example.yaml"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err,
            "kelpwood-flows: unrecognized option '--frobnicate'\n"
            "Try 'kelpwood-flows --help' for more information.\n");
  run = RunTool({});
  EXPECT_EQ(run.exit_code, 2);
  run = RunTool({"lint", "example.yaml"});
  EXPECT_EQ(run.exit_code, 2);
}

// Files that the loader reads otherwise than their author probably meant
// (typos, dropped entries and flows, repeated ids, ...): each gives its whole
// report, exit status 1.
struct MisreadCase {
  const char* file;
  const char* report;
};

class FlowsToolMisreadTest : public ::testing::TestWithParam<MisreadCase> {};

TEST_P(FlowsToolMisreadTest, ReportsTheMisreadAndExitsOne) {
  const ToolRun run = RunTool({"validate", GetParam().file});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, GetParam().report);
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Files, FlowsToolMisreadTest,
    ::testing::Values(
        MisreadCase{
            "tool_typos.yaml",
            "tool_typos.yaml:1:1: unknown key \"workflow_version\" is ignored "
            "by the loader\n"
            "tool_typos.yaml:4:5: unknown key \"flow_nmae\" in flow "
            "\"typo_flow\" is ignored by the loader: did you mean "
            "\"flow_name\"?\n"
            "tool_typos.yaml:8:9: unknown key \"optinal\" in flow "
            "\"typo_flow\" is ignored by the loader: did you mean "
            "\"optional\"?\n"
            "tool_typos.yaml:9:9: point id \"start\" in flow \"typo_flow\" "
            "repeats the one at line 7\n"
            "tool_typos.yaml:11:9: repeated key \"failure_id\" in flow "
            "\"typo_flow\" (first at line 10): the loader reads only the "
            "first\n"
            "tool_typos.yaml:12:9: unknown key \"pointid\" in flow "
            "\"typo_flow\" is ignored by the loader: did you mean "
            "\"point_id\"?\n"
            "tool_typos.yaml:12:9: point entry 3 in flow \"typo_flow\" has no "
            "\"point_id\": the loader keeps it with an empty id\n"
            "tool_typos.yaml: 1 flow as loaded\n"
            "  flow typo_flow, check_order true\n"
            "    <start> -> <start>#7 -> <>\n"
            "7 findings in 1 file\n"},
        MisreadCase{
            "failure_ids.yaml",
            "failure_ids.yaml:7:21: \"failure_id\" in flow "
            "\"failure_ids_flow\" is \"010\", which the loader reads as an "
            "octal number: 8, not 10\n"
            "failure_ids.yaml:9:21: point entry 3 in flow "
            "\"failure_ids_flow\" is dropped by the loader: \"failure_id\" is "
            "the scalar \"-1\", not an unsigned 32-bit number\n"
            "failure_ids.yaml:11:21: point entry 4 in flow "
            "\"failure_ids_flow\" is dropped by the loader: \"failure_id\" is "
            "the scalar \"abc\", not an unsigned 32-bit number\n"
            "failure_ids.yaml:13:9: point entry 5 in flow "
            "\"failure_ids_flow\" is dropped by the loader: \"failure_id\" "
            "has no value; an unsigned 32-bit number is required\n"
            "failure_ids.yaml:15:21: point entry 6 in flow "
            "\"failure_ids_flow\" is dropped by the loader: \"failure_id\" is "
            "the scalar \"4294967296\", not an unsigned 32-bit number\n"
            "failure_ids.yaml: 1 flow as loaded\n"
            "  flow failure_ids_flow, check_order false\n"
            "    <hex>#16 -> <octal>#8 -> <largest>#4294967295 -> <absent>\n"
            "5 findings in 1 file\n"},
        MisreadCase{
            "flow_faults.yaml",
            "flow_faults.yaml:2:5: flow entry 1 is dropped by the loader: the "
            "entry is the scalar \"just_a_scalar\", not a map\n"
            "flow_faults.yaml:3:14: flow entry 2 is dropped by the loader: "
            "\"flow_id\" is a sequence, not text\n"
            "flow_faults.yaml:5:18: flow entry 3 is dropped by the loader: "
            "\"check_order\" is the scalar \"maybe\", not true or false\n"
            "flow_faults.yaml:7:5: flow entry 4 is dropped by the loader: "
            "\"check_order\" has no value; true or false is required\n"
            "flow_faults.yaml:9:16: flow entry 5 is dropped by the loader: "
            "\"flow_name\" is a map, not text\n"
            "flow_faults.yaml: 1 flow as loaded\n"
            "  flow flow_faults_survivor, check_order false\n"
            "    <s1>\n"
            "5 findings in 1 file\n"},
        MisreadCase{
            "duplicate_flows.yaml",
            "duplicate_flows.yaml:6:5: flow id \"duplicate_flow\" repeats the "
            "one at line 2: this later entry replaces it\n"
            "duplicate_flows.yaml: 1 flow as loaded\n"
            "  flow duplicate_flow (Second), check_order false\n"
            "    <d2> -> [d3]\n"
            "1 finding in 1 file\n"},
        MisreadCase{
            "unnamed_flows.yaml",
            "unnamed_flows.yaml:2:5: flow entry 1 has no \"flow_id\": the "
            "loader stores it under the empty id\n"
            "unnamed_flows.yaml: 1 flow as loaded\n"
            "  flow \"\" (Unnamed), check_order false\n"
            "    <u1>\n"
            "1 finding in 1 file\n"},
        MisreadCase{
            "second_document.yaml",
            "second_document.yaml:5:1: a second YAML document starts here: "
            "the loader reads only the first and ignores the rest of the "
            "file\n"
            "second_document.yaml: 1 flow as loaded\n"
            "  flow first_document_flow, check_order false\n"
            "    <a>\n"
            "1 finding in 1 file\n"},
        MisreadCase{
            "merge_key.yaml",
            "merge_key.yaml:1:1: unknown key \"defaults\" is ignored by the "
            "loader\n"
            "merge_key.yaml:5:5: merge key \"<<\" in flow \"merged_flow\" is "
            "ignored: the loader does not merge, so the keys it names are not "
            "read\n"
            "merge_key.yaml:8:21: \"failure_id\" in flow \"merged_flow\" is "
            "\"017\", which the loader reads as an octal number: 15, not 17\n"
            "merge_key.yaml: 1 flow as loaded\n"
            "  flow merged_flow, check_order false\n"
            "    <m1>#15\n"
            "3 findings in 1 file\n"},
        MisreadCase{
            "empty_entries.yaml",
            "empty_entries.yaml:2:3: flow entry 1 is empty, not a map: the "
            "loader stores a flow without points under the empty id\n"
            "empty_entries.yaml:5:7: point entry 1 in flow \"after_empty\" is "
            "empty, not a map: the loader keeps a critical point with an "
            "empty id\n"
            "empty_entries.yaml: 2 flows as loaded\n"
            "  flow \"\", check_order false\n"
            "    (no points)\n"
            "  flow after_empty, check_order false\n"
            "    <> -> <e2>\n"
            "2 findings in 1 file\n"},
        MisreadCase{
            "alias_repeats.yaml",
            "alias_repeats.yaml:6:9: point id \"start\" in flow \"boot\" "
            "repeats the one at line 5 (and 2 more like it, the last at "
            "8:5)\n"
            "alias_repeats.yaml:7:5: flow id \"boot\" repeats the one at line "
            "2: this later entry replaces it (and 1 more like it, the last at "
            "8:5)\n"
            "alias_repeats.yaml: 1 flow as loaded\n"
            "  flow boot, check_order false\n"
            "    <start> -> <start>\n"
            "5 findings in 1 file\n"},
        MisreadCase{
            "control_characters.yaml",
            "control_characters.yaml:6:9: unknown key \"bogus_key\" in flow "
            "\"esc\\x1b[31mred\" is ignored by the loader\n"
            "control_characters.yaml:7:9: point id \"nul\\x00byte\" in flow "
            "\"esc\\x1b[31mred\" repeats the one at line 5\n"
            "control_characters.yaml: 1 flow as loaded\n"
            "  flow esc\\x1b[31mred (two\\nlines), check_order false\n"
            "    <nul\\x00byte> -> <nul\\x00byte>\n"
            "2 findings in 1 file\n"}),
    [](const ::testing::TestParamInfo<MisreadCase>& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

TEST(FlowsToolValidateTest, MissingFileAloneSaysNothingOnStandardOutput) {
  const ToolRun run = RunTool({"validate", "does_not_exist.yaml"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "kelpwood-flows: does_not_exist.yaml: No such file or directory\n");
}

TEST(FlowsToolValidateTest, JsonHoldsFindingsFlowsAndUnreadableFiles) {
  const ToolRun run =
      RunTool({"validate", "--json", "duplicate_flows.yaml", "missing.yaml"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out,
            "{\"files\":[{\"file\":\"duplicate_flows.yaml\",\"error\":null,"
            "\"findings\":1,\"flows\":[{\"flow_id\":\"duplicate_flow\","
            "\"flow_name\":\"Second\",\"check_order\":false,\"points\":["
            "{\"point_id\":\"d2\",\"critical\":true,\"failure_id\":0},"
            "{\"point_id\":\"d3\",\"critical\":false,\"failure_id\":0}],"
            "\"scope\":\"process\",\"deadline_ms\":0}]},"
            "{\"file\":\"missing.yaml\",\"error\":\"No such file or "
            "directory\",\"findings\":0,\"flows\":[]}],"
            "\"findings\":[{\"file\":\"duplicate_flows.yaml\",\"line\":6,"
            "\"column\":5,\"kind\":\"repeated_flow\",\"message\":\"flow id "
            "\\\"duplicate_flow\\\" repeats the one at line 2: this later "
            "entry replaces it\",\"repeats\":0}],\"finding_count\":1}\n");
  EXPECT_EQ(run.err,
            "kelpwood-flows: missing.yaml: No such file or directory\n");
}

TEST(FlowsToolValidateTest, JsonKeepsControlCharactersEscaped) {
  const ToolRun run = RunTool({"validate", "-j", "control_characters.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.out,
              HasSubstr("\"flow_id\":\"esc\\u001b[31mred\",\"flow_name\":"
                        "\"two\\nlines\""));
  EXPECT_THAT(run.out, Not(HasSubstr("\x1b")));
}

TEST(FlowsToolCheckTest, JsonHoldsOneResultPerFlow) {
  const ToolRun run =
      RunTool({"check", "--json", "check_flows.yaml", "check_failing.trace"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
            "{\"config\":\"check_flows.yaml\",\"trace\":\"check_failing."
            "trace\",\"loader_errors\":0,\"results\":["
            "{\"flow\":\"boot\",\"code\":\"PASSED\",\"points\":[\"power_on\","
            "\"ready\"],\"failure_id\":null,\"recorded_at_fault\":null,"
            "\"configured_at_fault\":null},"
            "{\"flow\":\"update\",\"code\":\"POINT_FAILED\",\"points\":["
            "\"download\",\"flash\"],\"failure_id\":3,\"recorded_at_fault\":{"
            "\"point_id\":\"flash\",\"line\":4},\"configured_at_fault\":{"
            "\"point_id\":\"flash\",\"critical\":true,\"failure_id\":3}},"
            "{\"flow\":\"unknown_flow\",\"code\":\"FLOW_NOT_FOUND\","
            "\"points\":[\"step\"],\"failure_id\":null,"
            "\"recorded_at_fault\":null,\"configured_at_fault\":null}],"
            "\"passed\":1,\"total\":3}\n");
  EXPECT_EQ(run.err, "");
}

// Lines of two flows alternate: each result lists only its flow's points.
TEST(FlowsToolCheckTest, JsonKeepsInterleavedFlowsApart) {
  const ToolRun run = RunTool(
      {"check", "--json", "check_flows.yaml", "check_interleaved.trace"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
            "{\"config\":\"check_flows.yaml\",\"trace\":\"check_"
            "interleaved.trace\",\"loader_errors\":0,\"results\":["
            "{\"flow\":\"boot\",\"code\":\"PASSED\",\"points\":[\"power_on\","
            "\"ready\"],\"failure_id\":null,\"recorded_at_fault\":null,"
            "\"configured_at_fault\":null},"
            "{\"flow\":\"update\",\"code\":\"POINT_FAILED\",\"points\":["
            "\"download\",\"flash\"],\"failure_id\":3,\"recorded_at_fault\":{"
            "\"point_id\":\"flash\",\"line\":5},\"configured_at_fault\":{"
            "\"point_id\":\"flash\",\"critical\":true,\"failure_id\":3}}],"
            "\"passed\":1,\"total\":2}\n");
  EXPECT_EQ(run.err, "");
}

TEST(FlowsToolInputTest, DashReadsStandardInput) {
  const std::string data = KELPWOOD_TEST_DATA_DIR;
  ToolRun run =
      RunToolWith({"validate", "-"}, {data + "/duplicate_flows.yaml", ""});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(
      run.out,
      StartsWith("-:6:5: flow id \"duplicate_flow\" repeats the one at line 2: "
                 "this later entry replaces it\n"));

  const std::string failing_table =
      "FLOW          RESULT          RECORDED AT FAULT  CONFIGURED AT FAULT\n"
      "boot          PASSED          -                  -\n"
      "update        POINT_FAILED    flash (line 4)     <flash>#3\n"
      "unknown_flow  FLOW_NOT_FOUND  -                  -\n"
      "1 of 3 flows passed\n";
  run = RunToolWith({"check", "-", "check_failing.trace"},
                    {data + "/check_flows.yaml", ""});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, failing_table);
  EXPECT_EQ(run.err, "");
  run = RunToolWith({"check", "check_flows.yaml", "-"},
                    {data + "/check_failing.trace", ""});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, failing_table);

  run = RunTool({"check", "-", "-"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err,
            "kelpwood-flows: check: CONFIG and TRACE cannot both be '-'\n"
            "Try 'kelpwood-flows --help' for more information.\n");
}

TEST(FlowsToolOutputTest, FullStandardOutputExitsTwoWithTheReason) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"validate", "example.yaml"},
           {"check", "--json", "check_flows.yaml", "check_passing.trace"},
           {"--help"},
           {"--version"}}) {
    const ToolRun run = RunToolWith(arguments, {"/dev/null", "/dev/full"});
    EXPECT_EQ(run.exit_code, 2) << arguments[0];
    EXPECT_EQ(run.err,
              "kelpwood-flows: write error: No space left on device\n");
  }
}

TEST(FlowsToolUsageTest, VersionNamesTheLibrarysVersion) {
  EXPECT_STREQ(kelpwood::Version(), KELPWOOD_VERSION_STRING);
  const std::string expected = std::to_string(KELPWOOD_VERSION_MAJOR) + "." +
                               std::to_string(KELPWOOD_VERSION_MINOR) + "." +
                               std::to_string(KELPWOOD_VERSION_PATCH);
  EXPECT_EQ(expected, KELPWOOD_VERSION_STRING);
  for (const char* option : {"--version", "-V"}) {
    const ToolRun run = RunTool({option});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "kelpwood-flows " + expected + "\n");
  }
}

TEST(FlowsToolUsageTest, RefusedCommandLinesNameTheirFault) {
  const struct {
    std::vector<std::string> arguments;
    const char* message;
  } cases[] = {
      {{"valdate", "example.yaml"},
       "unknown command 'valdate'; did you mean 'validate'?"},
      {{"chek"}, "unknown command 'chek'; did you mean 'check'?"},
      {{"lint"}, "unknown command 'lint'"},
      {{}, "missing command"},
      {{"--bogus", "validate"}, "unrecognized option '--bogus'"},
      {{"validate", "-x", "example.yaml"}, "unrecognized option '-x'"},
      {{"validate", "--json=yes", "example.yaml"},
       "option '--json' doesn't allow an argument"},
      {{"validate"}, "validate: missing FILE"},
      {{"check", "a", "b", "c"}, "check: too many operands"},
      {{"-v", "check", "--json", "a", "b"},
       "check: --json and --verbose cannot be combined"},
      {{"validate", "--json", "--verbose", "example.yaml"},
       "validate: --json and --verbose cannot be combined"},
  };
  for (const auto& refused : cases) {
    const ToolRun run = RunToolWith(refused.arguments, Streams());
    EXPECT_EQ(run.exit_code, 2) << refused.message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("kelpwood-flows: ") + refused.message +
                           "\nTry 'kelpwood-flows --help' for more "
                           "information.\n");
  }
}

TEST(FlowsToolUsageTest, VerboseBeforeTheCommandShowsTheLibraryLog) {
  const ToolRun run = RunTool({"-v", "validate", "bad_middle_point.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.out,
              HasSubstr("[ERROR] Failed to parse trace point config: "));
}

}  // namespace

namespace {

// validate and Init read scope and deadline_ms through one reader, so a flow
// that Init drops is a dropped_flow finding, at the value, and a flow Init
// keeps is listed with its settings.
TEST(FlowsToolValidateTest, AgreesWithInitOnScopeAndDeadline) {
  const struct {
    const char* setting;
    const char* finding;  // "" when the flow is kept
    const char* listed;
  } cases[] = {
      {"deadline_ms: soon", "3:18: flow entry 1 is dropped", ""},
      {"deadline_ms: -5", "3:18: flow entry 1 is dropped", ""},
      {"deadline_ms: 30s", "3:18: flow entry 1 is dropped", ""},
      {"scope: everywhere",
       "3:12: flow entry 1 is dropped by the loader: "
       "flow 'f': scope is 'everywhere', not 'device' "
       "or 'process'",
       ""},
      {"scope: Device", "3:12: flow entry 1 is dropped", ""},
      {"scope: device", "", ", scope device\n"},
      {"deadline_ms: 3000", "", ", deadline_ms 3000\n"},
  };
  kelpwood::trace::FlowTrace& registry =
      kelpwood::trace::FlowTrace::GetInstance();
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.setting);
    TempDir dir;
    const std::string path = dir.path() + "/flows.yaml";
    std::ofstream(path) << "workflows:\n  - flow_id: f\n    "
                        << test_case.setting
                        << "\n    flow_points:\n      - point_id: p\n";
    const ToolRun run = RunTool({"validate", path});
    registry.RemoveTraceFlow("f");
    registry.Init(path);
    const bool loaded = registry.CheckFlow("f")->result !=
                        kelpwood::trace::FlowCheckCode::FLOW_NOT_FOUND;
    if (*test_case.finding != '\0') {
      EXPECT_EQ(run.exit_code, 1);
      EXPECT_THAT(run.out, HasSubstr(path + ":" + test_case.finding));
      EXPECT_FALSE(loaded);
    } else {
      EXPECT_EQ(run.exit_code, 0) << run.out;
      EXPECT_THAT(run.out, HasSubstr("check_order false" +
                                     std::string(test_case.listed)));
      EXPECT_TRUE(loaded);
    }
  }
}

}  // namespace
