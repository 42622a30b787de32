// The manual pages are made from each tool's own --help: every option that
// --help lists is on the page, a section that --help has is never given a
// second time from the include file, and the include file adds only what
// --help lacks.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood::testing::TempDir;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

struct Tool {
  const char* name;
  const char* path;
};

void PrintTo(const Tool& tool, std::ostream* out) { *out << tool.name; }

class ManPageTest : public ::testing::TestWithParam<Tool> {
 protected:
  // Runs the generator as the build does; the include file holds an
  // "Exit status" section (which --help has) and a FILES section (which it
  // lacks), each with a marker.
  std::string Generate() {
    const std::string include = dir_.File("tool.h2m");
    WriteFile(include,
              "[EXIT STATUS]\nMARKER-EXIT-FROM-INCLUDE\n"
              "[FILES]\nMARKER-FILES-FROM-INCLUDE\n");
    const std::string page = dir_.File("tool.1");
    const ChildResult result = RunChild(
        KELPWOOD_CMAKE_COMMAND,
        {"-DHELP2MAN=" KELPWOOD_HELP2MAN,
         std::string("-DTOOL=") + GetParam().path, "-DINCLUDE=" + include,
         "-DMANUAL_NAME=what it does", "-DVERSION=9.8.7", "-DOUTPUT=" + page,
         "-P", KELPWOOD_MAN_PAGE_SCRIPT},
        {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"});
    EXPECT_TRUE(result.ExitedCleanly()) << result.standard_error;
    return ReadFile(page);
  }

  std::string Help() {
    const ChildResult result = RunChild(GetParam().path, {"--help"}, {});
    EXPECT_TRUE(result.ExitedCleanly()) << result.standard_error;
    return result.standard_output;
  }

  TempDir dir_;
};

TEST_P(ManPageTest, NamesTheToolWithItsDescriptionAndVersion) {
  const std::string page = Generate();
  const std::string name = GetParam().name;
  EXPECT_NE(page.find(".SH NAME\n" + name + " \\- what it does\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("\"" + name + " 9.8.7\""), std::string::npos) << page;
}

TEST_P(ManPageTest, ListsEveryLongOptionOfHelp) {
  const std::string page = Generate();
  const std::string help = Help();
  const std::regex long_option("--[a-z][a-z-]+");
  std::size_t options = 0;
  for (auto it = std::sregex_iterator(help.begin(), help.end(), long_option);
       it != std::sregex_iterator(); ++it) {
    std::string escaped;
    for (char c : it->str()) escaped += c == '-' ? "\\-" : std::string(1, c);
    EXPECT_NE(page.find(escaped), std::string::npos)
        << it->str() << " of --help is missing from the page";
    ++options;
  }
  EXPECT_GE(options, 1u);
}

TEST_P(ManPageTest, TakesExitStatusFromHelpAndOnlyTheMissingSections) {
  const std::string page = Generate();
  ASSERT_NE(Help().find("\nExit status:\n"), std::string::npos);
  EXPECT_EQ(CountOf(page, ".SH \"EXIT STATUS\"\n"), 1u) << page;
  EXPECT_EQ(CountOf(page, "Exit status"), 0u) << page;
  EXPECT_EQ(page.find("MARKER-EXIT-FROM-INCLUDE"), std::string::npos) << page;
  EXPECT_NE(page.find(".SH FILES\nMARKER-FILES-FROM-INCLUDE\n"),
            std::string::npos)
      << page;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ManPageTest,
    ::testing::Values(Tool{"kelpwood-flows", KELPWOOD_FLOWS_TOOL},
                      Tool{"kelpwood-state", KELPWOOD_STATE_TOOL}),
    [](const ::testing::TestParamInfo<Tool>& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (c == '-') c = '_';
      }
      return name;
    });

}  // namespace
