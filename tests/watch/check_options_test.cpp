// kelpwood-flows check parses one option table for both of its forms: long
// options may be abbreviated in the journal form too, -v reaches it, and
// the options of one form are refused by the other with check's own texts.
// Run against an empty and a missing directory: no journal files needed.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood::testing::TempDir;

const char kConfig[] =
    "workflows:\n"
    "  - flow_id: check-options-flow\n"
    "    flow_name: Options\n"
    "    scope: device\n"
    "    flow_points:\n"
    "      - point_id: only\n";
const char kNoRuns[] = "No runs of the configured flows found.\n";
const char kTry[] = "Try 'kelpwood-flows --help' for more information.\n";

ChildResult RunTool(const std::vector<std::string>& arguments) {
  return RunChild(KELPWOOD_FLOWS_TOOL, arguments,
                  kelpwood::testing::WithSanitizerOptions({}));
}

TEST(FleetCheckOptionsTest, JournalFormTakesAbbreviationsAndVerbose) {
  TempDir dir;
  const std::string config = dir.WriteFile("flows.yaml", kConfig);
  const std::string empty = dir.File("empty");
  std::filesystem::create_directory(empty);
  const std::string missing = dir.File("missing");
  const std::string trace =
      dir.WriteFile("t.trace", "check-options-flow only\n");
  const std::string no_directory =
      "kelpwood-flows: check: cannot open journal directory '" + missing +
      "': No such file or directory\n";
  const std::string json_verbose =
      std::string(
          "kelpwood-flows: check: --json and --verbose cannot be "
          "combined\n") +
      kTry;
  const struct {
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
    int exit_code;
  } cases[] = {
      // Fault: the journal form is chosen by exact spelling, not by getopt.
      {{"check", "--directory", empty, config}, kNoRuns, "", 0},
      {{"check", "--dir=" + empty, config}, kNoRuns, "", 0},
      {{"check", "--directory=" + empty, config}, kNoRuns, "", 0},
      {{"check", "--dir", empty, config}, kNoRuns, "", 0},
      {{"check", "-D", empty, config}, kNoRuns, "", 0},
      {{"check", "--directory", missing, config}, "", no_directory, 2},
      {{"check", "--direc", missing, config}, "", no_directory, 2},
      // Fault: the journal form refuses -v, or ignores the global one.
      {{"check", "-v", "--dir", empty, config}, kNoRuns, "", 0},
      {{"-v", "check", "--dir", empty, config}, kNoRuns, "", 0},
      // Fault: --json with --verbose breaks the journal form's JSON.
      {{"check", "--dir", empty, "--json", "-v", config}, "", json_verbose, 2},
      {{"-v", "check", "--json", "-D", empty, config}, "", json_verbose, 2},
      {{"check", "--json", "-v", config, trace}, "", json_verbose, 2},
      // Fault: a journal-only option is silently dropped by the trace form.
      {{"check", "--mach", std::string(32, 'a'), config, trace},
       "",
       std::string("kelpwood-flows: check: --machine needs --journal or "
                   "--directory DIR\n") +
           kTry,
       2},
  };
  for (const auto& row : cases) {
    const ChildResult result = RunTool(row.arguments);
    const std::string line = ::testing::PrintToString(row.arguments);
    EXPECT_EQ(result.standard_output, row.out) << line;
    EXPECT_EQ(result.standard_error, row.err) << line;
    EXPECT_EQ(result.ExitCode(), row.exit_code) << line;
  }
}

// Fault: --jour falls through to the trace form (it would then ask for
// TRACE) instead of reading the local journal as --journal does.
TEST(FleetCheckOptionsTest, JourReadsTheLocalJournalAsJournalDoes) {
  TempDir dir;
  const std::string config = dir.WriteFile("flows.yaml", kConfig);
  const ChildResult full = RunTool({"check", "--journal", config});
  const ChildResult short_form = RunTool({"check", "--jour", config});
  EXPECT_EQ(short_form.standard_output, full.standard_output);
  EXPECT_EQ(short_form.standard_error, full.standard_error);
  EXPECT_EQ(short_form.ExitCode(), full.ExitCode());
  EXPECT_EQ(short_form.standard_error.find("missing CONFIG or TRACE"),
            std::string::npos)
      << short_form.standard_error;
}

}  // namespace
