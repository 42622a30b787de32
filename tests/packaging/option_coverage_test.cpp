// Every option that a command accepts, as its own getopt table lists it
// (TOOL --list-options COMMAND), is documented in its --help, on its manual
// page and offered by the bash completion, which offers no other. The commands
// are the tool's own (TOOL --list-commands), so a command added to the table is
// covered here without an edit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;

const std::vector<std::string> kEnvironment = {"PATH=/usr/bin:/bin",
                                               "LANG=C.UTF-8"};

struct Tool {
  const char* name;
  const char* path;
  const char* completion;           // the script
  const char* completion_function;  // the function it registers
  bool page_per_command;            // TOOL-COMMAND(1), or only TOOL(1)
};

void PrintTo(const Tool& tool, std::ostream* out) { *out << tool.name; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Whether `text` holds `word` not followed by more of a name ("--json"
// is not found in "--json-lines").
bool HasWord(const std::string& text, const std::string& word) {
  for (std::size_t at = text.find(word); at != std::string::npos;
       at = text.find(word, at + 1)) {
    const std::size_t end = at + word.size();
    if (end == text.size() ||
        !(std::isalnum(static_cast<unsigned char>(text[end])) ||
          text[end] == '-')) {
      return true;
    }
  }
  return false;
}

class OptionCoverageTest : public ::testing::TestWithParam<Tool> {
 protected:
  // The output of the tool, which must succeed.
  std::string Run(const std::vector<std::string>& arguments) {
    const ChildResult result =
        RunChild(GetParam().path, arguments, kEnvironment);
    EXPECT_TRUE(result.ExitedCleanly())
        << testing::PrintToString(arguments) << ": " << result.standard_error;
    return result.standard_output;
  }

  // "" (the tool's own options) and each command.
  std::vector<std::string> Commands() {
    std::vector<std::string> commands = {""};
    for (const std::string& line : Lines(Run({"--list-commands"}))) {
      commands.push_back(line.substr(0, line.find('\t')));
    }
    EXPECT_GE(commands.size(), 2u);
    return commands;
  }

  // The long options of `command`, as "--name".
  std::vector<std::string> Options(const std::string& command) {
    std::vector<std::string> arguments = {"--list-options"};
    if (!command.empty()) arguments.push_back(command);
    std::vector<std::string> options;
    for (std::string line : Lines(Run(arguments))) {
      line = std::regex_replace(line, std::regex("\\[?=\\]?$"), "");
      options.push_back(line);
    }
    return options;
  }

  std::string Help(const std::string& command) {
    return command.empty() ? Run({"--help"}) : Run({command, "--help"});
  }
};

TEST_P(OptionCoverageTest, EveryCommandListsItsOptions) {
  for (const std::string& command : Commands()) {
    const std::vector<std::string> options = Options(command);
    EXPECT_NE(std::find(options.begin(), options.end(), "--help"),
              options.end())
        << "'" << command << "' lists no --help";
  }
}

TEST_P(OptionCoverageTest, EveryOptionIsInTheHelp) {
  for (const std::string& command : Commands()) {
    const std::string help = Help(command);
    for (const std::string& option : Options(command)) {
      EXPECT_TRUE(HasWord(help, option))
          << option << " of '" << command << "' is missing from its --help";
    }
  }
}

TEST_P(OptionCoverageTest, EveryOptionIsOnTheManualPage) {
  const std::string man_dir = KELPWOOD_MAN_DIR;
  if (man_dir.empty()) GTEST_SKIP() << "built without manual pages";
  for (const std::string& command : Commands()) {
    const std::string page_path =
        command.empty() || !GetParam().page_per_command
            ? man_dir + "/" + GetParam().name + ".1"
            : man_dir + "/commands/" + GetParam().name + "-" + command + ".1";
    std::ifstream in(page_path);
    ASSERT_TRUE(in) << page_path;
    std::ostringstream page;
    page << in.rdbuf();
    for (const std::string& option : Options(command)) {
      EXPECT_TRUE(HasWord(page.str(),
                          std::regex_replace(option, std::regex("-"), "\\-")))
          << option << " of '" << command << "' is missing from " << page_path;
    }
  }
}

TEST_P(OptionCoverageTest, CompletionOffersEachOptionOnceAndNoOther) {
  const char kBashCompletion[] = "/usr/share/bash-completion/bash_completion";
  if (!std::ifstream(kBashCompletion)) GTEST_SKIP() << "no bash-completion";
  for (const std::string& command : Commands()) {
    // TOOL [COMMAND] --<TAB>
    const std::string words = std::string("'") + GetParam().path + "' " +
                              (command.empty() ? "" : command + " ") + "--";
    const ChildResult result = RunChild(
        "/bin/bash",
        {"-c",
         std::string("source ") + kBashCompletion + "; source " +
             GetParam().completion + "; COMP_WORDS=(" + words +
             "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1));"
             " COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}; " +
             GetParam().completion_function +
             "; printf '%s\\n' \"${COMPREPLY[@]}\""},
        kEnvironment);
    ASSERT_TRUE(result.ExitedCleanly()) << result.standard_error;
    // Each option once, and none that the command does not take
    // (kelpwood-state set --json).
    std::vector<std::string> candidates = Lines(result.standard_output);
    std::vector<std::string> options = Options(command);
    std::sort(candidates.begin(), candidates.end());
    std::sort(options.begin(), options.end());
    EXPECT_EQ(candidates, options)
        << "the candidates of '" << command << "' by " << GetParam().completion;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, OptionCoverageTest,
    ::testing::Values(Tool{"kelpwood-flows", KELPWOOD_FLOWS_TOOL,
                           KELPWOOD_COMPLETION_DIR "/kelpwood-flows",
                           "_kelpwood_flows", true},
                      Tool{"kelpwood-state", KELPWOOD_STATE_TOOL,
                           KELPWOOD_COMPLETION_DIR "/kelpwood-state",
                           "_kelpwood_state", false}),
    [](const ::testing::TestParamInfo<Tool>& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (c == '-') c = '_';
      }
      return name;
    });

}  // namespace
