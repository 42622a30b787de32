// The journal sink against a real systemd-journald. When no journald is
// listening, the test starts one standalone (this needs root) and stops it by
// its pid afterwards; entries are read back with journalctl.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "journald.h"
#include "source_lines.h"
#include "support/child_process.h"

namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood_test::Journald;
using kelpwood_test::JournalTestLock;
using kelpwood_test::LineContaining;
using kelpwood_test::SourceLine;

std::string FindJournalctl() {
  for (const char* path : {"/usr/bin/journalctl", "/bin/journalctl"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

// The string fields of one line of `journalctl -o json`. Values that are not
// JSON strings (arrays for binary data, numbers) are left out.
std::map<std::string, std::string> ParseJsonEntry(const std::string& line) {
  std::map<std::string, std::string> fields;
  std::size_t position = 0;
  // Reads the JSON string starting at line[position] == '"'.
  auto read_string = [&](std::string& out) {
    ++position;
    while (position < line.size() && line[position] != '"') {
      char c = line[position++];
      if (c == '\\' && position < line.size()) {
        c = line[position++];
        switch (c) {
          case 'n':
            c = '\n';
            break;
          case 't':
            c = '\t';
            break;
          case 'u':
            c = static_cast<char>(
                std::stoi(line.substr(position, 4), nullptr, 16));
            position += 4;
            break;
          default:
            break;
        }
      }
      out.push_back(c);
    }
    ++position;
  };
  while ((position = line.find('"', position)) != std::string::npos) {
    std::string key;
    read_string(key);
    if (position >= line.size() || line[position] != ':') continue;
    ++position;
    if (position < line.size() && line[position] == '"') {
      std::string value;
      read_string(value);
      fields[key] = value;
    } else {
      // Skip a non-string value up to the next field.
      const std::size_t next = line.find(",\"", position);
      if (next == std::string::npos) break;
      position = next + 1;
    }
  }
  return fields;
}

TEST(LoggerJournalTest, EntriesCarryMessagePriorityIdentifierAndLocation) {
  const std::string unavailable = kelpwood_test::JournaldUnavailableReason();
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  const std::string journalctl = FindJournalctl();
  if (journalctl.empty()) {
    GTEST_SKIP() << "journalctl is missing (Debian package systemd)";
  }
  const std::string helper_source = KELPWOOD_LOG_HELPER_SOURCE;
  const int debug_line =
      LineContaining(helper_source, "KELPWOOD_LOG_DEBUG(\"message {}\"");
  const int info_line =
      LineContaining(helper_source, "KELPWOOD_LOG_INFO(\"message {}\", arg");
  const int warn_line =
      LineContaining(helper_source, "KELPWOOD_LOG_WARN(\"message {}\"");
  const int error_line =
      LineContaining(helper_source, "KELPWOOD_LOG_ERROR(\"message {}\"");
  const int located_line =
      LineContaining(helper_source, "KELPWOOD_LOG_WARN(\"located at");
  ASSERT_GT(debug_line, 0);
  ASSERT_GT(info_line, 0);
  ASSERT_GT(warn_line, 0);
  ASSERT_GT(error_line, 0);
  ASSERT_GT(located_line, 0);

  JournalTestLock lock;
  Journald journald;
  ASSERT_TRUE(journald.WaitUntilListening(std::chrono::seconds(5)))
      << journald.Error();

  // Entries of an earlier process with the same pid may still be in the
  // journal; this run's messages carry a token of their own.
  const std::string token =
      std::to_string(getpid()) + "-" +
      std::to_string(
          std::chrono::steady_clock::now().time_since_epoch().count());
  const ChildResult child = RunChild(
      KELPWOOD_LOG_HELPER,
      {"debug:first-" + token, "info:second-" + token, "warn:third-" + token,
       "error:fourth-" + token, "located", "library"},
      kelpwood::testing::WithSanitizerOptions({"SPDLOG_STDOUT=false",
                                               "SPDLOG_SYSTEMD=true",
                                               "SPDLOG_LEVEL=debug"}));
  ASSERT_TRUE(child.ExitedCleanly()) << child.standard_error;
  EXPECT_EQ(child.standard_output, "");
  EXPECT_EQ(child.standard_error, "");

  // journald stores a datagram as it receives it, but journalctl may look
  // before that: retry for a bounded time.
  std::vector<std::map<std::string, std::string>> entries;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    const ChildResult query = RunChild(
        journalctl,
        {"--no-pager", "-o", "json", "_PID=" + std::to_string(child.pid)}, {});
    entries.clear();
    std::size_t start = 0;
    const std::string& text = query.standard_output;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         end = text.find('\n', start)) {
      auto entry = ParseJsonEntry(text.substr(start, end - start));
      start = end + 1;
      const bool first_of_this_run =
          entry["MESSAGE"] == "  1 [DEBUG] message first-" + token;
      if (first_of_this_run) entries.clear();
      if (first_of_this_run || !entries.empty()) entries.push_back(entry);
    }
    if (entries.size() >= 6) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(entries.size(), 6u) << "entries of pid " << child.pid;

  const std::string file = "./tests/logger/log_helper.cpp";
  const struct {
    std::string message;
    const char* priority;
    int line;
    const char* function;
  } expected[] = {
      {"  1 [DEBUG] message first-" + token, "7", debug_line, "RunStep"},
      {"  2 [INFO] message second-" + token, "6", info_line, "RunStep"},
      {"  3 [WARN] message third-" + token, "4", warn_line, "RunStep"},
      {"  4 [ERROR] message fourth-" + token, "3", error_line, "RunStep"},
      {"  5 [WARN] located at a known line 42", "4", located_line,
       "LogFromKnownPlace"},
  };
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(expected[i].message);
    auto& entry = entries[i];
    EXPECT_EQ(entry["MESSAGE"], expected[i].message);
    EXPECT_EQ(entry["PRIORITY"], expected[i].priority);
    EXPECT_EQ(entry["SYSLOG_IDENTIFIER"], "spdlog");
    EXPECT_EQ(entry["CODE_FILE"], file);
    EXPECT_EQ(entry["CODE_LINE"], std::to_string(expected[i].line));
    EXPECT_EQ(entry["CODE_FUNC"], expected[i].function);
    EXPECT_EQ(entry["_PID"], std::to_string(child.pid));
  }

  // The library's own message names the library's source and a line that
  // holds that very logging statement.
  auto& library_entry = entries[5];
  EXPECT_EQ(library_entry["MESSAGE"],
            "  6 [WARN] flow_id no-such-flow not found");
  EXPECT_EQ(library_entry["PRIORITY"], "4");
  EXPECT_EQ(library_entry["SYSLOG_IDENTIFIER"], "spdlog");
  EXPECT_EQ(library_entry["CODE_FILE"], "./trace/src/flow_trace.cpp");
  EXPECT_EQ(library_entry["CODE_FUNC"], "Trace");
  const std::string library_line =
      SourceLine(KELPWOOD_SOURCE_DIR "/trace/src/flow_trace.cpp",
                 std::stoi(library_entry["CODE_LINE"]));
  EXPECT_NE(library_line.find("KELPWOOD_LOG_WARN(\"flow_id {} not found\""),
            std::string::npos)
      << "line " << library_entry["CODE_LINE"] << ": " << library_line;
}

}  // namespace
