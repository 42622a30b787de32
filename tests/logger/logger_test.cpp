// The logger record is built once per process from the environment, so each
// case runs the helper program in a child process with an exact environment
// and compares what it writes byte for byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "source_lines.h"
#include "support/child_process.h"

namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood_test::LineContaining;
using kelpwood_test::SourceLine;

const char kStdoutUnset[] =
    "environment variable SPDLOG_STDOUT is not set, and set true\n";
const char kStdoutInvalid[] =
    "environment variable SPDLOG_STDOUT is invalid, and set true\n";
const char kSystemdUnset[] =
    "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
const char kSystemdInvalid[] =
    "environment variable SPDLOG_SYSTEMD is invalid, and set false\n";
const char kLevelUnset[] =
    "environment variable SPDLOG_LEVEL is not set, and set default level\n";
const char kLevelInvalid[] =
    "environment variable SPDLOG_LEVEL is invalid, and set default level\n";

// Standard output only, threshold info, no construction lines.
const std::vector<std::string> kQuietStdoutInfo = {
    "SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"};

ChildResult RunHelper(const std::vector<std::string>& environment,
                      const std::vector<std::string>& steps) {
  ChildResult result =
      RunChild(KELPWOOD_LOG_HELPER, steps,
               kelpwood::testing::WithSanitizerOptions(environment));
  EXPECT_TRUE(result.ExitedCleanly())
      << "status " << result.status << ", stderr: " << result.standard_error;
  return result;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos;
       end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TEST(LoggerEnvironmentTest, NothingSetWritesThreeLinesThenLogsInfoAndAbove) {
  const ChildResult child =
      RunHelper({}, {"debug:a", "info:b", "warn:c", "error:d", "state"});
  EXPECT_EQ(child.standard_output, std::string(kStdoutUnset) + kSystemdUnset +
                                       kLevelUnset +
                                       "  1 [INFO] message b\n"
                                       "  2 [WARN] message c\n"
                                       "  3 [ERROR] message d\n");
  EXPECT_EQ(child.standard_error, "counter=3 level=2 sinks=1 spdlog_level=2\n");
}

TEST(LoggerEnvironmentTest, AcceptedValuesWriteNoLine) {
  const ChildResult child = RunHelper(kQuietStdoutInfo, {"info:a", "state"});
  EXPECT_EQ(child.standard_output, "  1 [INFO] message a\n");
  EXPECT_EQ(child.standard_error, "counter=1 level=2 sinks=1 spdlog_level=2\n");
}

TEST(LoggerEnvironmentTest, InvalidStdoutValueWritesLineAndKeepsStdout) {
  for (const char* value :
       {"TRUE", "True", "FALSE", "1", "0", "", " true", "true ", "yes"}) {
    SCOPED_TRACE(std::string("SPDLOG_STDOUT=") + value);
    const ChildResult child =
        RunHelper({std::string("SPDLOG_STDOUT=") + value,
                   "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"},
                  {"info:a", "state"});
    EXPECT_EQ(child.standard_output,
              std::string(kStdoutInvalid) + "  1 [INFO] message a\n");
    EXPECT_EQ(child.standard_error,
              "counter=1 level=2 sinks=1 spdlog_level=2\n");
  }
}

TEST(LoggerEnvironmentTest, InvalidSystemdValueWritesLineAndAddsNoSink) {
  for (const char* value : {"TRUE", "False", "1", "", " true", "false "}) {
    SCOPED_TRACE(std::string("SPDLOG_SYSTEMD=") + value);
    const ChildResult child =
        RunHelper({"SPDLOG_STDOUT=false",
                   std::string("SPDLOG_SYSTEMD=") + value, "SPDLOG_LEVEL=info"},
                  {"info:a", "state"});
    EXPECT_EQ(child.standard_output, kSystemdInvalid);
    EXPECT_EQ(child.standard_error,
              "counter=1 level=2 sinks=0 spdlog_level=2\n");
  }
}

TEST(LoggerEnvironmentTest, InvalidLevelNameFallsBackToInfoWithLine) {
  for (const char* value : {"warn", "err", "off", "INFO", "Debug", "2", "",
                            " info", "info ", "warning\t"}) {
    SCOPED_TRACE(std::string("SPDLOG_LEVEL=") + value);
    const ChildResult child =
        RunHelper({"SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false",
                   std::string("SPDLOG_LEVEL=") + value},
                  {"debug:a", "info:b", "state"});
    EXPECT_EQ(child.standard_output,
              std::string(kLevelInvalid) + "  1 [INFO] message b\n");
    EXPECT_EQ(child.standard_error,
              "counter=1 level=2 sinks=1 spdlog_level=2\n");
  }
}

TEST(LoggerEnvironmentTest, EachLevelNameSetsBothThresholdsWithoutLine) {
  const struct {
    const char* name;
    const char* output;
    const char* state;
  } cases[] = {
      {"trace",
       "  1 [DEBUG] message a\n  2 [INFO] message b\n"
       "  3 [WARN] message c\n  4 [ERROR] message d\n",
       "counter=4 level=0 sinks=1 spdlog_level=0\n"},
      {"debug",
       "  1 [DEBUG] message a\n  2 [INFO] message b\n"
       "  3 [WARN] message c\n  4 [ERROR] message d\n",
       "counter=4 level=1 sinks=1 spdlog_level=1\n"},
      {"info",
       "  1 [INFO] message b\n  2 [WARN] message c\n  3 [ERROR] message d\n",
       "counter=3 level=2 sinks=1 spdlog_level=2\n"},
      {"warning", "  1 [WARN] message c\n  2 [ERROR] message d\n",
       "counter=2 level=3 sinks=1 spdlog_level=3\n"},
      {"error", "  1 [ERROR] message d\n",
       "counter=1 level=4 sinks=1 spdlog_level=4\n"},
      {"critical", "", "counter=0 level=5 sinks=1 spdlog_level=5\n"},
  };
  for (const auto& level_case : cases) {
    SCOPED_TRACE(level_case.name);
    const ChildResult child =
        RunHelper({"SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false",
                   std::string("SPDLOG_LEVEL=") + level_case.name},
                  {"debug:a", "info:b", "warn:c", "error:d", "state"});
    EXPECT_EQ(child.standard_output, level_case.output);
    EXPECT_EQ(child.standard_error, level_case.state);
  }
}

TEST(LoggerEnvironmentTest, StdoutFalseWithoutJournalWritesNothingButCounts) {
  // The sink added after three messages shows that the sink-less logger went
  // on numbering: its first line carries 3.
  const ChildResult child = RunHelper(
      {"SPDLOG_STDOUT=false", "SPDLOG_LEVEL=info"},
      {"info:a", "debug:b", "warn:c", "state", "add-stdout-sink", "error:d"});
  EXPECT_EQ(child.standard_output,
            std::string(kSystemdUnset) + "  3 [ERROR] message d\n");
  EXPECT_EQ(child.standard_error, "counter=2 level=2 sinks=0 spdlog_level=2\n");
}

TEST(LoggerEnvironmentTest, JournalOnlyLoggerWritesNothingToStdout) {
  const ChildResult child = RunHelper(
      {"SPDLOG_STDOUT=false", "SPDLOG_SYSTEMD=true", "SPDLOG_LEVEL=warning"},
      {"state"});
  EXPECT_EQ(child.standard_output, "");
  EXPECT_EQ(child.standard_error, "counter=0 level=3 sinks=1 spdlog_level=3\n");
}

TEST(LoggerEnvironmentTest, EnvironmentIsReadAtFirstMessageOnly) {
  const ChildResult child = RunHelper(
      {"SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false"},
      {"setenv:SPDLOG_LEVEL=debug", "debug:a", "setenv:SPDLOG_LEVEL=error",
       "setenv:SPDLOG_STDOUT=false", "info:b"});
  EXPECT_EQ(child.standard_output,
            "  1 [DEBUG] message a\n  2 [INFO] message b\n");
}

TEST(LoggerNumberingTest, SuppressedMessagesDoNotCount) {
  const ChildResult child = RunHelper(
      kQuietStdoutInfo,
      {"info:a", "debug:b", "debug:c", "warn:d", "debug:e", "error:f"});
  EXPECT_EQ(child.standard_output,
            "  1 [INFO] message a\n  2 [WARN] message d\n"
            "  3 [ERROR] message f\n");
}

TEST(LoggerNumberingTest, NumbersWrapAfter127AndCounterAfter255) {
  const ChildResult child = RunHelper(kQuietStdoutInfo, {"infos:257", "state"});
  const std::vector<std::string> lines = SplitLines(child.standard_output);
  ASSERT_EQ(lines.size(), 257u);
  EXPECT_EQ(lines[0], "  1 [INFO] message 1");
  EXPECT_EQ(lines[8], "  9 [INFO] message 9");
  EXPECT_EQ(lines[9], " 10 [INFO] message 10");
  EXPECT_EQ(lines[98], " 99 [INFO] message 99");
  EXPECT_EQ(lines[99], "100 [INFO] message 100");
  EXPECT_EQ(lines[126], "127 [INFO] message 127");
  EXPECT_EQ(lines[127], "  0 [INFO] message 128");
  EXPECT_EQ(lines[128], "  1 [INFO] message 129");
  EXPECT_EQ(lines[254], "127 [INFO] message 255");
  EXPECT_EQ(lines[255], "  0 [INFO] message 256");
  EXPECT_EQ(lines[256], "  1 [INFO] message 257");
  // Every line in between runs on by one, modulo 128.
  for (std::size_t i = 0; i < lines.size(); ++i) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "%3zu [INFO] message %zu",
                  (i + 1) % 128, i + 1);
    EXPECT_EQ(lines[i], expected);
  }
  EXPECT_EQ(child.standard_error, "counter=1 level=2 sinks=1 spdlog_level=2\n");
}

TEST(LoggerNumberingTest, TagStartsAtFifthCharacterForEveryLevel) {
  const ChildResult child = RunHelper(
      {"SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=trace"},
      {"debug:a", "infos:8", "warn:b", "infos:88", "error:c", "debug:d",
       "infos:30"});
  const std::vector<std::string> lines = SplitLines(child.standard_output);
  ASSERT_EQ(lines.size(), 130u);
  for (const std::string& line : lines) {
    ASSERT_GE(line.size(), 5u);
    EXPECT_EQ(line.substr(3, 2), " [") << line;
  }
  EXPECT_EQ(lines[0], "  1 [DEBUG] message a");
  EXPECT_EQ(lines[9], " 10 [WARN] message b");
  EXPECT_EQ(lines[98], " 99 [ERROR] message c");
  EXPECT_EQ(lines[99], "100 [DEBUG] message d");
  EXPECT_EQ(lines[129], "  2 [INFO] message 30");
}

TEST(LoggerNumberingTest, FormatsBodyByFmtRules) {
  const ChildResult child = RunHelper(kQuietStdoutInfo, {"literal", "values"});
  EXPECT_EQ(child.standard_output,
            "  1 [INFO] plain body\n"
            "  2 [INFO] flag true false text {0} {}\n");
}

TEST(LoggerSourceLocationTest, RecordCarriesTheLoggingStatementsLocation) {
  const int line =
      LineContaining(KELPWOOD_LOG_HELPER_SOURCE,
                     "KELPWOOD_LOG_WARN(\"located at a known line");
  ASSERT_GT(line, 0);
  const ChildResult child = RunHelper(
      {"SPDLOG_STDOUT=false", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"},
      {"info:before", "capture", "located"});
  EXPECT_EQ(child.standard_output, "");
  EXPECT_EQ(child.standard_error,
            "3|./tests/logger/log_helper.cpp|" + std::to_string(line) +
                "|LogFromKnownPlace|  2 [WARN] located at a known line 42\n");
}

TEST(LoggerSourceLocationTest, LibraryRecordsNameTheLibrarysOwnSource) {
  const ChildResult child = RunHelper(
      {"SPDLOG_STDOUT=false", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"},
      {"capture", "library"});
  // "3|./trace/src/flow_trace.cpp|LINE|Trace|  1 [WARN] flow_id ..."
  const std::string prefix = "3|./trace/src/flow_trace.cpp|";
  const std::string suffix =
      "|Trace|  1 [WARN] flow_id no-such-flow not found\n";
  const std::string& record = child.standard_error;
  ASSERT_GT(record.size(), prefix.size() + suffix.size()) << record;
  EXPECT_EQ(record.substr(0, prefix.size()), prefix);
  EXPECT_EQ(record.substr(record.size() - suffix.size()), suffix);
  const std::string line_text = record.substr(
      prefix.size(), record.size() - prefix.size() - suffix.size());
  const int line = std::stoi(line_text);
  EXPECT_EQ(std::to_string(line), line_text);
  // The line is a logging statement of that very message.
  const std::string text =
      SourceLine(KELPWOOD_SOURCE_DIR "/trace/src/flow_trace.cpp", line);
  EXPECT_NE(text.find("KELPWOOD_LOG_WARN(\"flow_id {} not found\""),
            std::string::npos)
      << "line " << line << ": " << text;
}

TEST(LoggerSharedRecordTest, HostAndLibraryNumberOnOneCounter) {
  // Unset variables make a second record visible: its construction lines
  // would appear twice.
  const ChildResult child =
      RunHelper({}, {"info:host", "library", "warn:host again", "state"});
  EXPECT_EQ(child.standard_output,
            std::string(kStdoutUnset) + kSystemdUnset + kLevelUnset +
                "  1 [INFO] message host\n"
                "  2 [WARN] flow_id no-such-flow not found\n"
                "  3 [WARN] message host again\n");
  EXPECT_EQ(child.standard_error, "counter=3 level=2 sinks=1 spdlog_level=2\n");
}

TEST(LoggerConcurrencyTest, ConcurrentFirstUseBuildsOneRecordAndWholeLines) {
  // Eight threads make the process's first calls together: the record is
  // built once (one set of construction lines), every message arrives as one
  // whole line, and each thread's messages keep their order.
  const int kThreads = 8;
  const int kMessages = 200;
  const ChildResult child = RunHelper({}, {"threads:8:200"});
  const std::vector<std::string> lines = SplitLines(child.standard_output);
  ASSERT_EQ(lines.size(), 3u + kThreads * kMessages);
  EXPECT_EQ(lines[0] + "\n", kStdoutUnset);
  EXPECT_EQ(lines[1] + "\n", kSystemdUnset);
  EXPECT_EQ(lines[2] + "\n", kLevelUnset);
  std::vector<int> next_message(kThreads, 0);
  std::set<std::string> seen;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    unsigned number = 0;
    int thread = -1;
    int message = -1;
    int consumed = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%3u [INFO] message %d-%d%n", &number,
                          &thread, &message, &consumed),
              3)
        << line;
    ASSERT_EQ(static_cast<std::size_t>(consumed), line.size()) << line;
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%3u [INFO] ", number);
    EXPECT_EQ(line.compare(0, 11, prefix), 0) << line;
    EXPECT_LT(number, 128u) << line;
    ASSERT_GE(thread, 0);
    ASSERT_LT(thread, kThreads);
    EXPECT_EQ(message, next_message[thread]) << line;
    next_message[thread] = message + 1;
    EXPECT_TRUE(seen.insert(line.substr(4)).second) << line;
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kMessages));
}

}  // namespace
