// The journal sink against a real systemd-journald. When no journald is
// listening, the test starts one standalone (this needs root) and stops it by
// its pid afterwards; entries are read back with journalctl.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "source_lines.h"

namespace {

using kelpwood_test::ChildResult;
using kelpwood_test::LineContaining;
using kelpwood_test::RunChild;
using kelpwood_test::SourceLine;

const char kJournald[] = "/lib/systemd/systemd-journald";
const char kJournalDirectory[] = "/run/systemd/journal";
const char kJournalSocket[] = "/run/systemd/journal/socket";
// Serialises this test between build trees run at the same time, so that one
// run never stops a journald that another is using.
const char kTestLockPath[] = "/run/kelpwood-journal-test.lock";

std::string FindJournalctl() {
  for (const char* path : {"/usr/bin/journalctl", "/bin/journalctl"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

// True when a journald accepts datagrams on its native socket. A socket file
// left behind by a journald that has exited refuses the connection.
bool JournaldIsListening() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kJournalSocket, sizeof address.sun_path - 1);
  const bool listening =
      connect(fd, reinterpret_cast<const sockaddr*>(&address),
              sizeof address) == 0;
  close(fd);
  return listening;
}

// Holds an exclusive flock on kTestLockPath for its lifetime.
class TestLock {
 public:
  TestLock() : fd_(open(kTestLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  TestLock(const TestLock&) = delete;
  TestLock& operator=(const TestLock&) = delete;
  ~TestLock() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_;
};

// A journald for the test: the running one if there is one, else one started
// here, which the destructor stops.
class Journald {
 public:
  Journald() {
    if (JournaldIsListening()) return;
    mkdir("/run/systemd", 0755);
    mkdir(kJournalDirectory, 0755);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    }
    char* argv[] = {const_cast<char*>(kJournald), nullptr};
    char* envp[] = {nullptr};
    const int spawn_error =
        posix_spawn(&pid_, kJournald, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (spawn_error != 0) {
      pid_ = -1;
      error_ = std::string("cannot start ") + kJournald + ": " +
               std::strerror(spawn_error);
    }
  }
  Journald(const Journald&) = delete;
  Journald& operator=(const Journald&) = delete;

  ~Journald() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!Reap(std::chrono::seconds(3))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Waits up to `limit` for the socket to accept; on failure Error() says why.
  bool WaitUntilListening(std::chrono::milliseconds limit) {
    if (!error_.empty()) return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (JournaldIsListening()) return true;
      if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        error_ = std::string(kJournald) + " exited at start";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error_ = std::string(kJournalSocket) + " does not accept datagrams";
    return false;
  }
  const std::string& Error() const { return error_; }

 private:
  bool Reap(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const pid_t reaped = waitpid(pid_, nullptr, WNOHANG);
      if (reaped == pid_ || (reaped < 0 && errno == ECHILD)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  pid_t pid_ = -1;
  std::string error_;
};

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
  if (geteuid() != 0) {
    GTEST_SKIP() << "starting systemd-journald needs root";
  }
  if (access(kJournald, X_OK) != 0) {
    GTEST_SKIP() << kJournald << " is missing (Debian package systemd)";
  }
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

  TestLock lock;
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
      kelpwood_test::WithSanitizerOptions({"SPDLOG_STDOUT=false",
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
