// kelpwood-flows watch against a real systemd-journald: points published by
// two processes become one run and one verdict entry; an early verdict does
// not wait for the deadline; a restarted watch neither repeats nor loses a
// verdict.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "journal/message_ids.h"
#include "journald.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kelpwood::testing::ChildProcess;
using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood::testing::TempDir;
using kelpwood_test::Journald;
using kelpwood_test::JournalTestLock;

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
  WatchProcess(const std::string& state_dir, const std::string& config,
               std::vector<std::string> environment = {})
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
    kelpwood::testing::ChildOptions options;
    options.deadline = std::chrono::seconds(60);
    watch_ = std::make_unique<ChildProcess>(
        KELPWOOD_FLOWS_TOOL,
        std::vector<std::string>{"watch", "--state-dir", state_dir, config},
        kelpwood::testing::WithSanitizerOptions([&] {
          environment.push_back("NOTIFY_SOCKET=" + notify_path_);
          return environment;
        }()),
        options);
    if (watch_->pid() <= 0) {
      ADD_FAILURE() << "cannot start " << KELPWOOD_FLOWS_TOOL << ": "
                    << watch_->Wait().standard_error;
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
    if (!watch_ || watch_->pid() <= 0) return -1;
    kill(watch_->pid(), SIGTERM);
    const int status = watch_->Wait().status;
    watch_.reset();
    return status;
  }

 private:
  std::string notify_path_;
  int notify_fd_ = -1;
  std::unique_ptr<ChildProcess> watch_;
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
    temp_dir_ = std::make_unique<TempDir>();
    dir_ = temp_dir_->path();
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

  // Publishes from a process of its own; returns its pid.
  pid_t Publish(const std::vector<std::string>& steps) {
    std::vector<std::string> arguments = {config_};
    for (const std::string& step : steps)
      arguments.push_back(flow_ + ":" + step);
    const ChildResult result =
        RunChild(KELPWOOD_POINT_PUBLISHER, arguments,
                 kelpwood::testing::WithSanitizerOptions(
                     {"SPDLOG_LEVEL=critical", "SPDLOG_STDOUT=false",
                      "SPDLOG_SYSTEMD=false"}));
    EXPECT_TRUE(result.ExitedCleanly()) << result.standard_error;
    return result.pid;
  }

  std::unique_ptr<JournalTestLock> lock_;
  std::unique_ptr<Journald> journald_;
  std::unique_ptr<TempDir> temp_dir_;
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
  Publish({"dropped:1", "init:ok", "mount:fail"});
  // The deadline is ten minutes away: only the early verdict can arrive.
  const std::vector<Fields> verdicts = AwaitVerdicts(flow_, 1);
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(Field(verdicts[0], "CHECK_CODE"), "POINT_FAILED");
  EXPECT_EQ(Field(verdicts[0], "POINT_ID"), "mount");
  EXPECT_EQ(Field(verdicts[0], "CONFIGURED_POINT_ID"), "mount");
  EXPECT_EQ(Field(verdicts[0], "FAILURE_ID"), "302");
  EXPECT_EQ(Field(verdicts[0], "RECORDED_POINTS"), "2");
  EXPECT_EQ(Field(verdicts[0], "POSSIBLY_LOST_POINTS"), "1");
}

// Restarted twice, each time after runs published while it was down: every
// restart goes on from the cursor the previous watch saved.
TEST_F(WatchJournalTest, RestartsNeitherRepeatNorLoseAVerdict) {
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
  {
    WatchProcess watch(dir_ + "/state", config_);
    ASSERT_TRUE(watch.AwaitReady());
    ASSERT_EQ(AwaitVerdicts(flow_, 3).size(), 3u);
    EXPECT_EQ(watch.Stop(), 0);
  }
  Publish({"init:ok", "mount:ok", "ready:ok"});  // down a second time

  WatchProcess watch(dir_ + "/state", config_);
  ASSERT_TRUE(watch.AwaitReady());
  ASSERT_EQ(AwaitVerdicts(flow_, 4).size(), 4u);
  // A run published after the restart: any repeat would come before it.
  Publish({"init:ok", "mount:ok", "ready:ok"});
  const std::vector<Fields> verdicts = AwaitVerdicts(flow_, 5);
  ASSERT_EQ(verdicts.size(), 5u);
  std::vector<std::string> summary;
  std::set<std::string> runs;
  for (const Fields& verdict : verdicts) {
    summary.push_back(Field(verdict, "CHECK_CODE") + " " +
                      Field(verdict, "RECORDED_POINTS"));
    runs.insert(Field(verdict, "FLOW_RUN"));
  }
  EXPECT_EQ(summary,
            (std::vector<std::string>{"PASSED 3", "PASSED 3", "POINT_MISSING 2",
                                      "PASSED 3", "PASSED 3"}));
  EXPECT_EQ(runs.size(), 5u);
  EXPECT_EQ(watch.Stop(), 0);
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  line.erase(std::remove(line.begin(), line.end(), '-'), line.end());
  return line;
}

TEST_F(WatchJournalTest, CheckJournalReportsTheRunsOfThisBoot) {
  Publish({"init:ok", "mount:ok", "ready:ok"});
  Publish({"init:ok", "mount:fail"});
  // Both runs are in the journal once the failed point is.
  ASSERT_EQ(kelpwood_test::ReadJournal({"FLOW_ID=" + flow_, "POINT_SUCCESS=0"},
                                       1, std::chrono::seconds(20))
                .size(),
            1u);
  const ChildResult result =
      RunChild(KELPWOOD_FLOWS_TOOL, {"check", "--journal", "--boot", config_},
               kelpwood::testing::WithSanitizerOptions({}));
  const std::string machine = FirstLine("/etc/machine-id");
  const std::string boot = FirstLine("/proc/sys/kernel/random/boot_id");
  const std::string device_line =
      machine + "  " + flow_ +
      "  2 runs  POINT_FAILED at 'mount', failure_id 302 (1 failed; first in "
      "boot " +
      boot + ", run ";
  EXPECT_EQ(result.standard_output.substr(0, device_line.size()), device_line);
  const std::string summary = ")\nFlow '" + flow_ +
                              "' (Watched boot): 1 device, 0 passed, 1 "
                              "failed (POINT_FAILED at 'mount': 1); runs: 1 "
                              "passed, 1 failed (POINT_FAILED at 'mount': "
                              "1)\n";
  // Between them only the run: the journal time of its first point in
  // microseconds, 16 digits.
  ASSERT_EQ(result.standard_output.size(),
            device_line.size() + 16 + summary.size());
  EXPECT_EQ(result.standard_output.substr(result.standard_output.size() -
                                          summary.size()),
            summary);
  EXPECT_EQ(result.standard_error, "");
  EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1);
}

TEST_F(WatchJournalTest, StateOlderThanItsVerdictsRepeatsNone) {
  // A watch that dies after writing a verdict but before saving its state
  // restarts from an older state, as here.
  const std::string saved = dir_ + "/older-state";
  {
    WatchProcess watch(dir_ + "/state", config_);
    ASSERT_TRUE(watch.AwaitReady());
    Publish({"init:ok", "mount:ok", "ready:ok"});
    ASSERT_EQ(AwaitVerdicts(flow_, 1).size(), 1u);
    EXPECT_EQ(watch.Stop(), 0);
  }
  std::filesystem::copy_file(dir_ + "/state/state", saved);
  {
    WatchProcess watch(dir_ + "/state", config_);
    ASSERT_TRUE(watch.AwaitReady());
    Publish({"init:ok", "ready:ok"});
    ASSERT_EQ(AwaitVerdicts(flow_, 2).size(), 2u);
    EXPECT_EQ(watch.Stop(), 0);
  }
  std::filesystem::copy_file(saved, dir_ + "/state/state",
                             std::filesystem::copy_options::overwrite_existing);
  WatchProcess watch(dir_ + "/state", config_);
  ASSERT_TRUE(watch.AwaitReady());
  Publish({"init:ok", "mount:ok", "ready:ok"});
  const std::vector<Fields> verdicts = AwaitVerdicts(flow_, 3);
  std::vector<std::string> codes;
  for (const Fields& verdict : verdicts) {
    codes.push_back(Field(verdict, "CHECK_CODE"));
  }
  EXPECT_EQ(codes,
            (std::vector<std::string>{"PASSED", "POINT_MISSING", "PASSED"}));
  EXPECT_EQ(watch.Stop(), 0);
}

// KELPWOOD_FLOW_JOURNAL=true is a natural device-wide setting: the offline
// commands must still write no verdict, and watch exactly one per run.
TEST_F(WatchJournalTest, VerdictSwitchOnGivesOneVerdictPerRunAndNoneOffline) {
  const std::vector<std::string> journal_on = {"KELPWOOD_FLOW_JOURNAL=true"};
  const std::string trace_path = dir_ + "/run.trace";
  std::ofstream(trace_path) << flow_ << " init\n"
                            << flow_ << " mount\n"
                            << flow_ << " ready\n";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"check", config_, trace_path},
        std::vector<std::string>{"validate", config_},
        std::vector<std::string>{"timeline", "-o", dir_ + "/t.html", config_,
                                 trace_path}}) {
    const ChildResult result =
        RunChild(KELPWOOD_FLOWS_TOOL, command,
                 kelpwood::testing::WithSanitizerOptions(journal_on));
    EXPECT_TRUE(result.ExitedCleanly())
        << command[0] << ": " << result.standard_error;
  }
  {
    WatchProcess watch(dir_ + "/state", config_, journal_on);
    ASSERT_TRUE(watch.AwaitReady());
    Publish({"init:ok", "mount:ok", "ready:ok"});
    Publish({"init:ok", "mount:ok", "ready:ok"});
    ASSERT_EQ(AwaitVerdicts(flow_, 2).size(), 2u);
  }
  // A second writer would have written along with the first.
  EXPECT_EQ(kelpwood_test::ReadJournal(
                {"FLOW_ID=" + flow_, "SYSLOG_IDENTIFIER=kelpwood-flows"}, 3,
                std::chrono::seconds(2))
                .size(),
            2u);
}

// A damaged state must not stop the watch for good: it is kept aside and
// the watch starts as on first install.
TEST_F(WatchJournalTest, DamagedStateIsKeptAsideAndTheWatchStarts) {
  const std::string state_dir = dir_ + "/state";
  ASSERT_EQ(mkdir(state_dir.c_str(), 0700), 0);
  std::ofstream(state_dir + "/state") << "cursor\tx\nbroken\n";
  WatchProcess watch(state_dir, config_);
  ASSERT_TRUE(watch.AwaitReady());
  Publish({"init:ok", "mount:ok", "ready:ok"});
  EXPECT_EQ(AwaitVerdicts(flow_, 1).size(), 1u);
  std::ifstream aside(state_dir + "/state.damaged");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}),
            "cursor\tx\nbroken\n");
}

// The local journal moved aside for the object's life, so that a journald
// started meanwhile begins an empty one; put back afterwards.
class FreshJournal {
 public:
  FreshJournal()
      : dir_("/run/log/journal/" + FirstLine("/etc/machine-id")),
        aside_(dir_ + ".kelpwood-test-aside") {
    std::filesystem::remove_all(aside_);
    moved_ = std::rename(dir_.c_str(), aside_.c_str()) == 0;
  }
  ~FreshJournal() {
    if (!moved_) return;
    std::filesystem::remove_all(dir_);
    std::rename(aside_.c_str(), dir_.c_str());
  }

 private:
  std::string dir_;
  std::string aside_;
  bool moved_ = false;
};

// What the journal looks like when the watch starts, what others publish
// after its READY=1, and the verdict fields it must write.
struct AttackCase {
  const char* name;
  enum Journal {
    kFresh,
    kRotated,
    kVacuumed,
    kWithEarlierPoints,
    // A watch saved its cursor, stopped, and the file of that cursor's entry
    // was vacuumed; the publishers run while it is down.
    kCursorVacuumedWhileDown,
  } journal;
  // Publisher runs, in order; "nobody " first runs it as uid 65534.
  std::vector<std::string> publishers;
  std::vector<std::string> expected;  // "FIELD=value" of the one verdict
};

void PrintTo(const AttackCase& attack, std::ostream* out) {
  *out << attack.name;
}

class WatchAttackTest : public ::testing::TestWithParam<AttackCase> {
 protected:
  void SetUp() override {
    const std::string unavailable = kelpwood_test::JournaldUnavailableReason();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    lock_ = std::make_unique<JournalTestLock>();
    if (kelpwood_test::JournaldIsListening()) {
      GTEST_SKIP() << "a running journald owns the journal";
    }
    fresh_ = std::make_unique<FreshJournal>();
    journald_ = std::make_unique<Journald>();
    ASSERT_TRUE(journald_->WaitUntilListening(std::chrono::seconds(5)))
        << journald_->Error();
    temp_dir_ = std::make_unique<TempDir>();
    // Readable by uid 65534 too, whose publisher loads the flow file.
    chmod(temp_dir_->path().c_str(), 0755);
    config_ = temp_dir_->path() + "/flows.yaml";
    std::ofstream(config_) << "workflows:\n  - flow_id: attacked\n"
                              "    flow_name: Attacked\n    scope: device\n"
                              "    check_order: true\n    deadline_ms: 600000\n"
                              "    flow_points:\n      - point_id: init\n"
                              "      - point_id: mount\n"
                              "      - point_id: ready\n";
    chmod(config_.c_str(), 0644);
  }
  void TearDown() override {
    journald_.reset();  // stopped before the journal is put back
    fresh_.reset();
  }

  void Run(const std::string& publisher) {
    std::vector<std::string> words;
    std::istringstream in(publisher);
    for (std::string word; in >> word;) words.push_back(word);
    std::string program = KELPWOOD_POINT_PUBLISHER;
    if (words[0] == "nobody") {
      words[0] = config_;
      words.insert(words.begin(), {"--reuid=65534", "--regid=65534",
                                   "--clear-groups", program});
      program = "/usr/bin/setpriv";
    } else {
      words.insert(words.begin(), config_);
    }
    const ChildResult result =
        RunChild(program, words,
                 kelpwood::testing::WithSanitizerOptions(
                     {"SPDLOG_LEVEL=critical", "SPDLOG_STDOUT=false",
                      "SPDLOG_SYSTEMD=false"}));
    EXPECT_TRUE(result.ExitedCleanly()) << publisher << result.standard_error;
  }

  std::unique_ptr<JournalTestLock> lock_;
  std::unique_ptr<FreshJournal> fresh_;
  std::unique_ptr<Journald> journald_;
  std::unique_ptr<TempDir> temp_dir_;
  std::string config_;
};

TEST_P(WatchAttackTest, WritesTheVerdictOfTheGenuineRun) {
  const AttackCase& attack = GetParam();
  if (attack.journal == AttackCase::kWithEarlierPoints) {
    Run("attacked:init:ok");  // before the watch: not its business
  }
  const bool while_down =
      attack.journal == AttackCase::kCursorVacuumedWhileDown;
  const std::string state_dir = temp_dir_->path() + "/state";
  if (while_down) {
    WatchProcess first(state_dir, config_);
    ASSERT_TRUE(first.AwaitReady());
    Run("attacked:init:ok attacked:mount:fail");
    ASSERT_EQ(AwaitVerdicts("attacked", 1).size(), 1u);
    EXPECT_EQ(first.Stop(), 0);
  }
  if (attack.journal != AttackCase::kFresh &&
      attack.journal != AttackCase::kWithEarlierPoints) {
    // --vacuum-size=1 removes every archived file, the one just rotated too.
    const ChildResult rotated = RunChild(
        "/bin/journalctl",
        attack.journal == AttackCase::kRotated
            ? std::vector<std::string>{"--rotate"}
        : while_down ? std::vector<std::string>{"--rotate", "--vacuum-size=1"}
                     : std::vector<std::string>{"--rotate", "--vacuum-files=1"},
        {});
    ASSERT_TRUE(rotated.ExitedCleanly()) << rotated.standard_error;
  }
  if (while_down) {
    for (const std::string& publisher : attack.publishers) Run(publisher);
  }
  WatchProcess watch(state_dir, config_);
  ASSERT_TRUE(watch.AwaitReady());
  if (!while_down) {
    for (const std::string& publisher : attack.publishers) Run(publisher);
  }
  const std::vector<Fields> verdicts = AwaitVerdicts("attacked", 1);
  ASSERT_EQ(verdicts.size(), 1u);
  std::vector<std::string> fields;
  for (const std::string& expected : attack.expected) {
    const std::string name = expected.substr(0, expected.find('='));
    fields.push_back(name + "=" + Field(verdicts[0], name));
  }
  EXPECT_EQ(fields, attack.expected);
  // A far-future stamp would have made the run a year long.
  EXPECT_LT(std::stoll(Field(verdicts[0], "DURATION_MS")), 60000);
  EXPECT_EQ(watch.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    FirstStartAndForgeries, WatchAttackTest,
    ::testing::Values(
        // One burst after READY=1 on an empty journal: every point of it.
        AttackCase{"FreshJournal",
                   AttackCase::kFresh,
                   {"attacked:init:ok attacked:mount:ok attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        AttackCase{"RotatedJournal",
                   AttackCase::kRotated,
                   {"attacked:init:ok attacked:mount:ok attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        AttackCase{"VacuumedJournal",
                   AttackCase::kVacuumed,
                   {"attacked:init:ok attacked:mount:ok attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        // The failed run's verdict went with the vacuumed file: the one
        // verdict is the passed run's, read from the first entry kept.
        AttackCase{"CursorVacuumedWhileDown",
                   AttackCase::kCursorVacuumedWhileDown,
                   {"attacked:init:ok attacked:mount:ok attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        AttackCase{"PointsBeforeTheStartAreNotTaken",
                   AttackCase::kWithEarlierPoints,
                   {"attacked:init:ok attacked:mount:ok attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        AttackCase{"ForgedFailedPointOfAnotherUser",
                   AttackCase::kFresh,
                   {"attacked:init:ok", "nobody attacked:mount:fail",
                    "attacked:mount:ok attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        AttackCase{"ForgedResetOfAnotherUser",
                   AttackCase::kFresh,
                   {"attacked:init:ok", "nobody attacked:reset",
                    "attacked:mount:ok attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        AttackCase{"FarFutureStamp",
                   AttackCase::kFresh,
                   {"attacked:init:ok "
                    "attacked:mount:raw:4102444800000000000:0:1 "
                    "attacked:ready:ok"},
                   {"CHECK_CODE=PASSED", "RECORDED_POINTS=3"}},
        // 1 KB points beyond the cap: counted, and the run still ends.
        AttackCase{"FloodOfPointsStaysBounded",
                   AttackCase::kFresh,
                   {"attacked:init:ok attacked:mount:ok "
                    "attacked:noise:raw:0:1024:1000",
                    "attacked:ready:ok"},
                   {"CHECK_CODE=POINT_MISSING", "CONFIGURED_POINT_ID=ready",
                    "RECORDED_POINTS=1000", "POINTS_DROPPED_BY_WATCH=3"}}),
    [](const ::testing::TestParamInfo<AttackCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
