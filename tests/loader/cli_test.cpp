// The shared command-line helpers of the tools: the texts they produce for
// JSON, for a one-line terminal report and for a suggested name.

#include "cli.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using kelpwood::cli::EditDistance;
using kelpwood::cli::EscapeControls;
using kelpwood::cli::JsonString;
using kelpwood::cli::Nearest;

struct TextCase {
  std::string input;
  std::string expected;
};

// Names each case in test listings by its input, control characters shown.
void PrintTo(const TextCase& text, std::ostream* out) {
  *out << EscapeControls(text.input);
}

class JsonStringTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(JsonStringTest, QuotesAndEscapes) {
  EXPECT_EQ(JsonString(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonStringTest,
    ::testing::Values(
        TextCase{"", "\"\""}, TextCase{"plain id", "\"plain id\""},
        TextCase{"say \"hi\" \\ bye", "\"say \\\"hi\\\" \\\\ bye\""},
        TextCase{"a\nb\tc\rd\be\ff", "\"a\\nb\\tc\\rd\\be\\ff\""},
        TextCase{std::string("nul\0esc\x1b"
                             "del\x7f",
                             12),
                 "\"nul\\u0000esc\\u001bdel\\u007f\""},
        // Valid UTF-8 passes through; broken sequences become U+FFFD.
        TextCase{"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x90\x9f",
                 "\"gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x90\x9f\""},
        TextCase{"bad\xff", "\"bad\\ufffd\""},
        TextCase{"cut\xe2\x82", "\"cut\\ufffd\\ufffd\""},
        TextCase{"overlong\xc0\xaf", "\"overlong\\ufffd\\ufffd\""},
        TextCase{"surrogate\xed\xa0\x80",
                 "\"surrogate\\ufffd\\ufffd\\ufffd\""}));

class EscapeControlsTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(EscapeControlsTest, KeepsAReportOnOneLine) {
  EXPECT_EQ(EscapeControls(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeControlsTest,
    ::testing::Values(TextCase{"plain", "plain"},
                      TextCase{"two\nlines\r\ttab", "two\\nlines\\r\\ttab"},
                      TextCase{"\x1b[31mred", "\\x1b[31mred"},
                      TextCase{std::string("nul\0", 4), "nul\\x00"},
                      TextCase{"back\\slash\x7f", "back\\\\slash\\x7f"},
                      TextCase{"gr\xc3\xbc\xc3\x9f", "gr\xc3\xbc\xc3\x9f"}));

TEST(EditDistanceTest, CountsInsertionsDeletionsAndSubstitutions) {
  const struct {
    const char* from;
    const char* to;
    std::size_t distance;
  } cases[] = {
      {"", "", 0},
      {"", "abc", 3},
      {"abc", "", 3},
      {"check", "check", 0},
      {"valdate", "validate", 1},
      {"optinal", "optional", 1},
      {"chekc", "check", 2},
      {"kitten", "sitting", 3},
  };
  for (const auto& each : cases) {
    EXPECT_EQ(EditDistance(each.from, each.to), each.distance)
        << each.from << " -> " << each.to;
  }
}

TEST(NearestTest, SuggestsOnlyWhatIsCloseEnoughToBeATypo) {
  const std::vector<std::string> commands = {"validate", "check", "watch"};
  const struct {
    const char* word;
    const char* nearest;
  } cases[] = {
      {"valdate", "validate"},
      {"chek", "check"},
      {"wach", "watch"},
      {"lint", ""},
      {"v", ""},
      {"validatexyz", "validate"},
      {"validatexyzw", ""},
      {"", ""},
  };
  for (const auto& each : cases) {
    EXPECT_EQ(Nearest(each.word, commands), each.nearest) << each.word;
  }
  EXPECT_EQ(Nearest("anything", {}), "");
}

}  // namespace
