// kelpwood-flows watch against a real systemd-journald: points published by
// two processes become one run and one verdict entry; an early verdict does
// not wait for the deadline; a restarted watch neither repeats nor loses a
// verdict.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../logger/child_process.h"
#include "../support/journald.h"
#include "journal/message_ids.h"

namespace {

using kelpwood_test::ChildResult;
using kelpwood_test::Journald;
using kelpwood_test::JournalTestLock;
using kelpwood_test::RunChild;

using Fields = kelpwood_test::JournalFields;

std::string Field(const Fields& fields, const std::string& name) {
  const auto found = fields.find(name);
  return found == fields.end() ? "<absent>" : found->second;
}

std::multiset<std::string> AllOf(const Fields& fields,
                                 const std::string& name) {
  std::multiset<std::string> values;
  const auto range = fields.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) {
    values.insert(it->second);
  }
  return values;
}

// The verdict entries written for `flow_id`, oldest first, once there are
// `count` of them or 20 seconds have passed.
std::vector<Fields> AwaitVerdicts(const std::string& flow_id,
                                  std::size_t count) {
  return kelpwood_test::ReadJournal(
      {"FLOW_ID=" + flow_id, "SYSLOG_IDENTIFIER=kelpwood-flows"}, count,
      std::chrono::seconds(20));
}

// kelpwood-flows watch in the background, started and waited for through
// the sd_notify protocol, stopped by SIGTERM.
class WatchProcess {
 public:
  WatchProcess(const std::string& state_dir, const std::string& config)
      : notify_path_(state_dir + ".notify") {
    notify_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    notify_path_.copy(address.sun_path, sizeof address.sun_path - 1);
    unlink(notify_path_.c_str());
    if (bind(notify_fd_, reinterpret_cast<const sockaddr*>(&address),
             sizeof address) != 0) {
      ADD_FAILURE() << "cannot bind " << notify_path_;
      return;
    }
    std::vector<std::string> words = {KELPWOOD_FLOWS_TOOL, "watch",
                                      "--state-dir", state_dir, config};
    std::vector<std::string> environment =
        kelpwood_test::WithSanitizerOptions({"NOTIFY_SOCKET=" + notify_path_});
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(),
                    envp.data()) != 0) {
      pid_ = -1;
      ADD_FAILURE() << "cannot start " << KELPWOOD_FLOWS_TOOL;
    }
  }
  ~WatchProcess() {
    Stop();
    close(notify_fd_);
    unlink(notify_path_.c_str());
  }

  // True once watch has said READY=1 (within 10 seconds).
  bool AwaitReady() {
    timeval timeout{10, 0};
    setsockopt(notify_fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char message[256];
    const ssize_t length = recv(notify_fd_, message, sizeof message, 0);
    return length > 0 &&
           std::string(message, static_cast<std::size_t>(length)) == "READY=1";
  }

  // Stops watch; its exit status, or -1.
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = -1;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  std::string notify_path_;
  int notify_fd_ = -1;
  pid_t pid_ = -1;
};

class WatchJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unavailable = kelpwood_test::JournaldUnavailableReason();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    lock_ = std::make_unique<JournalTestLock>();
    journald_ = std::make_unique<Journald>();
    ASSERT_TRUE(journald_->WaitUntilListening(std::chrono::seconds(5)))
        << journald_->Error();
    char pattern[] = "/tmp/kelpwood-watch-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // Flow ids of their own, so that entries of earlier runs never count.
    flow_ = "boot_" + std::to_string(getpid()) + "_" +
            std::to_string(
                std::chrono::steady_clock::now().time_since_epoch().count());
    config_ = dir_ + "/flows.yaml";
    std::ofstream(config_) << "workflows:\n"
                              "  - flow_id: "
                           << flow_
                           << "\n"
                              "    flow_name: Watched boot\n"
                              "    scope: device\n"
                              "    check_order: true\n"
                              "    deadline_ms: 600000\n"
                              "    flow_points:\n"
                              "      - point_id: init\n"
                              "      - point_id: mount\n"
                              "        failure_id: 302\n"
                              "      - point_id: ready\n";
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // Publishes from a process of its own; returns its pid.
  pid_t Publish(const std::vector<std::string>& steps) {
    std::vector<std::string> arguments = {config_};
    for (const std::string& step : steps)
      arguments.push_back(flow_ + ":" + step);
    const ChildResult result =
        RunChild(KELPWOOD_POINT_PUBLISHER, arguments,
                 kelpwood_test::WithSanitizerOptions(
                     {"SPDLOG_LEVEL=off", "SPDLOG_SYSTEMD=false"}));
    EXPECT_TRUE(result.ExitedCleanly()) << result.standard_error;
    return result.pid;
  }

  std::unique_ptr<JournalTestLock> lock_;
  std::unique_ptr<Journald> journald_;
  std::string dir_;
  std::string flow_;
  std::string config_;
};

TEST_F(WatchJournalTest, TwoProcessesGiveOneVerdictWithItsFields) {
  WatchProcess watch(dir_ + "/state", config_);
  ASSERT_TRUE(watch.AwaitReady());
  const pid_t first = Publish({"init:ok", "mount:ok"});
  const pid_t second = Publish({"ready:ok"});
  const pid_t third = Publish({"init:ok", "ready:ok"});

  const std::vector<Fields> verdicts = AwaitVerdicts(flow_, 2);
  ASSERT_EQ(verdicts.size(), 2u);
  const Fields& passed = verdicts[0];
  EXPECT_EQ(Field(passed, "MESSAGE"),
            "Flow '" + flow_ +
                "' (Watched boot): PASSED; 3 points recorded in " +
                Field(passed, "DURATION_MS") + " ms");
  EXPECT_EQ(Field(passed, "MESSAGE_ID"), kelpwood::journal::kVerdictPassed);
  EXPECT_EQ(Field(passed, "PRIORITY"), "6");
  EXPECT_EQ(Field(passed, "FLOW_NAME"), "Watched boot");
  EXPECT_EQ(Field(passed, "CHECK_CODE"), "PASSED");
  EXPECT_EQ(Field(passed, "RECORDED_POINTS"), "3");
  EXPECT_EQ(Field(passed, "UNEXPECTED_POINTS"), "0");
  EXPECT_EQ(Field(passed, "POINT_ID"), "<absent>");
  EXPECT_EQ(AllOf(passed, "RUN_PID"),
            (std::multiset<std::string>{std::to_string(first),
                                        std::to_string(second)}));
  // journald keeps one copy of a field repeated with the same value.
  EXPECT_EQ(AllOf(passed, "RUN_COMM"),
            (std::multiset<std::string>{"kelpwood_point_"}));
  EXPECT_EQ(Field(passed, "POSSIBLY_LOST_POINTS"), "<absent>");

  const Fields& missing = verdicts[1];
  EXPECT_EQ(Field(missing, "MESSAGE"),
            "Flow '" + flow_ +
                "' (Watched boot): POINT_MISSING at 'mount', failure_id 302; "
                "2 points recorded in " +
                Field(missing, "DURATION_MS") + " ms");
  EXPECT_EQ(Field(missing, "MESSAGE_ID"),
            kelpwood::journal::kVerdictPointMissing);
  EXPECT_EQ(Field(missing, "PRIORITY"), "3");
  EXPECT_EQ(Field(missing, "CONFIGURED_POINT_ID"), "mount");
  EXPECT_EQ(Field(missing, "FAILURE_ID"), "302");
  EXPECT_EQ(AllOf(missing, "RUN_PID"),
            (std::multiset<std::string>{std::to_string(third)}));
  EXPECT_NE(Field(passed, "FLOW_RUN"), Field(missing, "FLOW_RUN"));
  EXPECT_EQ(watch.Stop(), 0);
}

TEST_F(WatchJournalTest, FailedCriticalPointGivesVerdictBeforeTheDeadline) {
  WatchProcess watch(dir_ + "/state", config_);
  ASSERT_TRUE(watch.AwaitReady());
  Publish({"dropped:2", "init:ok", "mount:fail"});
  // The deadline is ten minutes away: only the early verdict can arrive.
  const std::vector<Fields> verdicts = AwaitVerdicts(flow_, 1);
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(Field(verdicts[0], "CHECK_CODE"), "POINT_FAILED");
  EXPECT_EQ(Field(verdicts[0], "POINT_ID"), "mount");
  EXPECT_EQ(Field(verdicts[0], "CONFIGURED_POINT_ID"), "mount");
  EXPECT_EQ(Field(verdicts[0], "FAILURE_ID"), "302");
  EXPECT_EQ(Field(verdicts[0], "RECORDED_POINTS"), "2");
  EXPECT_EQ(Field(verdicts[0], "POSSIBLY_LOST_POINTS"), "2");
}

TEST_F(WatchJournalTest, RestartNeitherRepeatsNorLosesAVerdict) {
  {
    WatchProcess watch(dir_ + "/state", config_);
    ASSERT_TRUE(watch.AwaitReady());
    Publish({"init:ok", "mount:ok", "ready:ok"});
    ASSERT_EQ(AwaitVerdicts(flow_, 1).size(), 1u);
    Publish({"init:ok"});  // a run left open across the restart
    // The open run is saved with the entry that started it.
    const auto limit =
        std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string state;
    while (state.find("\tinit\t") == std::string::npos &&
           std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      std::ifstream in(dir_ + "/state/state");
      state.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_NE(state.find("\tinit\t"), std::string::npos) << state;
    EXPECT_EQ(watch.Stop(), 0);
  }
  // While watch is down: the open run ends and a whole run passes.
  Publish({"mount:ok", "ready:ok"});
  Publish({"init:ok", "ready:ok"});

  WatchProcess watch(dir_ + "/state", config_);
  ASSERT_TRUE(watch.AwaitReady());
  ASSERT_EQ(AwaitVerdicts(flow_, 3).size(), 3u);
  // A run published after the restart: any repeat would come before it.
  Publish({"init:ok", "mount:ok", "ready:ok"});
  const std::vector<Fields> verdicts = AwaitVerdicts(flow_, 4);
  ASSERT_EQ(verdicts.size(), 4u);
  std::vector<std::string> summary;
  std::set<std::string> runs;
  for (const Fields& verdict : verdicts) {
    summary.push_back(Field(verdict, "CHECK_CODE") + " " +
                      Field(verdict, "RECORDED_POINTS"));
    runs.insert(Field(verdict, "FLOW_RUN"));
  }
  EXPECT_EQ(summary, (std::vector<std::string>{"PASSED 3", "PASSED 3",
                                               "POINT_MISSING 2", "PASSED 3"}));
  EXPECT_EQ(runs.size(), 4u);
  EXPECT_EQ(watch.Stop(), 0);
}

}  // namespace
