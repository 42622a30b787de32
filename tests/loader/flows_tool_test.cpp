// kelpwood-flows run as a real program on real files: its report, its
// exit status and its silence about the library's own log.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kelpwood-flows-XXXXXX")
            .string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct ToolRun {
  int exit_code = -1;  // -1: killed at the deadline or by a signal
  std::string out;
  std::string err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the tool in tests/data with `arguments`, the logger's variables set
// as a careless caller might leave them; kills it after five seconds.
ToolRun RunTool(std::initializer_list<std::string> arguments) {
  TempDir dir;
  const std::string out_path = dir.path() + "/out";
  const std::string err_path = dir.path() + "/err";
  std::vector<std::string> words = {KELPWOOD_FLOWS_TOOL};
  words.insert(words.end(), arguments);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT, 0600);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT, 0600);
    if (out_fd < 0 || err_fd < 0 || chdir(KELPWOOD_TEST_DATA_DIR) != 0) {
      _exit(127);
    }
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    setenv("SPDLOG_STDOUT", "true", 1);
    unsetenv("SPDLOG_LEVEL");
    unsetenv("SPDLOG_SYSTEMD");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ToolRun run;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  run.out = ReadAll(out_path);
  run.err = ReadAll(err_path);
  return run;
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

TEST(FlowsToolValidateTest, ReportsTyposWithTheNearestKnownKey) {
  const ToolRun run = RunTool({"validate", "tool_typos.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(
      run.out,
      "tool_typos.yaml:1:1: unknown key \"workflow_version\" is ignored by "
      "the loader\n"
      "tool_typos.yaml:4:5: unknown key \"flow_nmae\" in flow \"typo_flow\" "
      "is ignored by the loader: did you mean \"flow_name\"?\n"
      "tool_typos.yaml:8:9: unknown key \"optinal\" in flow \"typo_flow\" is "
      "ignored by the loader: did you mean \"optional\"?\n"
      "tool_typos.yaml:9:9: point id \"start\" in flow \"typo_flow\" repeats "
      "the one at line 7\n"
      "tool_typos.yaml:11:9: repeated key \"failure_id\" in flow "
      "\"typo_flow\" (first at line 10): the loader reads only the first\n"
      "tool_typos.yaml:12:9: unknown key \"pointid\" in flow \"typo_flow\" is "
      "ignored by the loader: did you mean \"point_id\"?\n"
      "tool_typos.yaml:12:9: point entry 3 in flow \"typo_flow\" has no "
      "\"point_id\": the loader keeps it with an empty id\n"
      "tool_typos.yaml: 1 flow as loaded\n"
      "  flow typo_flow, check_order true\n"
      "    <start> -> <start>#7 -> <>\n"
      "7 findings in 1 file\n");
}

TEST(FlowsToolValidateTest, ReportsDroppedEntriesAtTheValueAtFault) {
  const ToolRun run = RunTool({"validate", "failure_ids.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
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
            "5 findings in 1 file\n");
}

TEST(FlowsToolValidateTest, ReportsDroppedFlowsAndKeepsTheRest) {
  const ToolRun run = RunTool({"validate", "flow_faults.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
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
            "5 findings in 1 file\n");
}

TEST(FlowsToolValidateTest, ReportsRepeatedFlowIdsAndTheEmptyId) {
  ToolRun run = RunTool({"validate", "duplicate_flows.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
            "duplicate_flows.yaml:6:5: flow id \"duplicate_flow\" repeats the "
            "one at line 2: this later entry replaces it\n"
            "duplicate_flows.yaml: 1 flow as loaded\n"
            "  flow duplicate_flow (Second), check_order false\n"
            "    <d2> -> [d3]\n"
            "1 finding in 1 file\n");

  run = RunTool({"validate", "unnamed_flows.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
            "unnamed_flows.yaml:2:5: flow entry 1 has no \"flow_id\": the "
            "loader stores it under the empty id\n"
            "unnamed_flows.yaml: 1 flow as loaded\n"
            "  flow \"\" (Unnamed), check_order false\n"
            "    <u1>\n"
            "1 finding in 1 file\n");
}

TEST(FlowsToolValidateTest, ReportsIdsReadAsNullAndFlowPointsOfTheWrongKind) {
  ToolRun run = RunTool({"validate", "text_values.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
            "text_values.yaml:2:5: \"flow_id\" in flow \"null\" has no value: "
            "the loader reads it as the text \"null\"\n");

  run = RunTool({"validate", "flow_points_kinds.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
            "flow_points_kinds.yaml:4:7: \"flow_points\" in flow "
            "\"points_map\" is a map, not a sequence: the loader gives the "
            "flow no points\n");
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
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1), each.first_line);
  }
}

TEST(FlowsToolValidateTest, UnreadableFileExitsTwoAfterJudgingTheOthers) {
  const ToolRun run =
      RunTool({"validate", "does_not_exist.yaml", "bad_middle_point.yaml"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err,
            "kelpwood-flows: does_not_exist.yaml: No such file or directory\n");
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
            "bad_middle_point.yaml:7:19: point entry 2 in flow "
            "\"bad_middle_flow\" is dropped by the loader: \"optional\" is "
            "the scalar \"perhaps\", not true or false\n");
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
  EXPECT_EQ(run.out.find("[ERROR]"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("environment variable"), std::string::npos);

  run = RunTool({"validate", "--verbose", "bad_middle_point.yaml"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.out.find("[ERROR] Failed to parse trace point config: "
                         "yaml-cpp: error at line 7, column 19: bad "
                         "conversion\n"),
            std::string::npos)
      << run.out;
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
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
            "Usage: kelpwood-flows [OPTION]... COMMAND [ARG]...\n");
  run = RunTool({"validate", "--help"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
            "Usage: kelpwood-flows validate [OPTION]... FILE...\n");
  run = RunTool({"check", "-h"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
            "Usage: kelpwood-flows check [OPTION]... CONFIG TRACE\n");

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

}  // namespace
