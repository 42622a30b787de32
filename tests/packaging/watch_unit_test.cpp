// The kelpwood-flows-watch unit as the build configures it: systemd-analyze
// accepts it and rates its sandbox at 2.0 or below, and the watch started
// the way the unit starts it (its ExecStart, as an unprivileged user with the
// unit's supplementary groups, umask and state directory mode, also in a
// user namespace of its own) reads points from the journal, writes their
// verdict and keeps its state to itself.

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "journald.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kelpwood::testing::ChildOptions;
using kelpwood::testing::ChildProcess;
using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood::testing::TempDir;

// The user that the watch runs as here; systemd allocates one at start.
constexpr uid_t kUnprivileged = 65534;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Field(const kelpwood_test::JournalFields& fields,
                  const std::string& name) {
  const auto found = fields.find(name);
  return found == fields.end() ? "<absent>" : found->second;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The value of the last uncommented "KEY=value" line of the unit, or
// "<absent>".
std::string Setting(const std::string& unit, const std::string& key) {
  std::istringstream in(unit);
  std::string value = "<absent>";
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size() + 1, key + "=") == 0) {
      value = line.substr(key.size() + 1);
    }
  }
  return value;
}

// An octal setting such as UMask=, or systemd's default when the unit has
// none.
mode_t ModeSetting(const std::string& unit, const std::string& key,
                   mode_t systemd_default) {
  const std::string value = Setting(unit, key);
  return value == "<absent>"
             ? systemd_default
             : static_cast<mode_t>(std::stoul(value, nullptr, 8));
}

// ExecStart as systemd splits it: "$NAME" becomes the words of the unit's
// Environment=NAME=..., nothing when that is empty.
std::vector<std::string> ExecStartWords(const std::string& unit) {
  std::vector<std::string> words;
  for (const std::string& word : Words(Setting(unit, "ExecStart"))) {
    if (word[0] != '$') {
      words.push_back(word);
      continue;
    }
    const std::string value = Setting(unit, "Environment=" + word.substr(1));
    if (value == "<absent>") continue;
    for (const std::string& part : Words(value)) words.push_back(part);
  }
  return words;
}

// "→ Overall exposure level for NAME.service: 0.4 SAFE 😀": the number, or
// -1 when systemd-analyze gave no such line.
double Exposure(const std::string& output) {
  const std::size_t line = output.rfind("Overall exposure level for ");
  if (line == std::string::npos) return -1;
  const std::size_t colon = output.find(": ", line);
  if (colon == std::string::npos) return -1;
  return std::stod(output.substr(colon + 2));
}

// The configured unit, with ExecStart's program replaced by `program` so
// that "systemd-analyze verify" finds it; named as the installed unit.
std::string UnitRunning(const TempDir& dir, const std::string& program) {
  std::string unit = ReadFile(KELPWOOD_WATCH_UNIT);
  const std::string installed = ExecStartWords(unit).at(0);
  unit.replace(unit.find("ExecStart=" + installed), 10 + installed.size(),
               "ExecStart=" + program);
  return dir.WriteFile("kelpwood-flows-watch.service", unit);
}

// Its syntax and the units it needs (the manual page is installed only with
// the package), then its sandbox, at 2.0 ("OK") or below.
TEST(WatchUnitAnalyzeTest, VerifiesAndRatesTheSandbox) {
  if (access(KELPWOOD_SYSTEMD_ANALYZE, X_OK) != 0) {
    GTEST_SKIP() << "systemd-analyze is missing (Debian package systemd)";
  }
  TempDir dir;
  const std::string unit = UnitRunning(dir, KELPWOOD_FLOWS_TOOL);
  const auto analyze = [&](const char* verb, const char* option) {
    const ChildResult result =
        RunChild(KELPWOOD_SYSTEMD_ANALYZE, {verb, option, unit},
                 {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"});
    EXPECT_TRUE(result.ExitedCleanly())
        << verb << ": " << result.standard_output << result.standard_error;
    return result.standard_output;
  };
  analyze("verify", "--man=no");
  const std::string rating = analyze("security", "--offline=true");
  EXPECT_GE(Exposure(rating), 0.0) << rating;
  EXPECT_LE(Exposure(rating), 2.0) << rating;
}

// The group ids of the unit's SupplementaryGroups=, comma-separated as
// setpriv takes them; "" when a group is unknown here.
std::string GroupIds(const std::string& names) {
  std::string ids;
  for (const std::string& name : Words(names)) {
    const group* found = getgrnam(name.c_str());
    if (found == nullptr) return "";
    ids += (ids.empty() ? "" : ",") + std::to_string(found->gr_gid);
  }
  return ids;
}

struct UserCase {
  const char* name;
  // Whether the watch runs in a user namespace of its own that maps only
  // its user, as PrivateUsers=yes gives it; its supplementary groups are
  // then unmapped there, and only the kernel's check on the host's ids
  // lets it read the journal.
  bool own_user_namespace;
};

void PrintTo(const UserCase& user, std::ostream* out) { *out << user.name; }

class WatchAsUnitUserTest : public ::testing::TestWithParam<UserCase> {
 protected:
  void SetUp() override {
    const std::string unavailable = kelpwood_test::JournaldUnavailableReason();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    if (access(KELPWOOD_SETPRIV, X_OK) != 0 ||
        access(KELPWOOD_UNSHARE, X_OK) != 0 ||
        access(KELPWOOD_SYSTEMD_TMPFILES, X_OK) != 0) {
      GTEST_SKIP() << "setpriv, unshare (Debian package util-linux) or "
                      "systemd-tmpfiles (systemd) is missing";
    }
    lock_ = std::make_unique<kelpwood_test::JournalTestLock>();
    journald_ = std::make_unique<kelpwood_test::Journald>();
    ASSERT_TRUE(journald_->WaitUntilListening(std::chrono::seconds(5)))
        << journald_->Error();
    // The journal's owner, group and modes as a booted device has them from
    // systemd's own tmpfiles.d entries: readable by the systemd-journal group.
    const ChildResult tmpfiles =
        RunChild(KELPWOOD_SYSTEMD_TMPFILES,
                 {"--create", "--prefix=/run/log/journal"}, {});
    ASSERT_TRUE(tmpfiles.ExitedCleanly()) << tmpfiles.standard_error;
    // The watch's user must reach the flow file and the notify socket.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    flow_ = "unit_" + std::to_string(getpid()) + "_" + GetParam().name;
    config_ = dir_.WriteFile("flows.yaml", "workflows:\n  - flow_id: " + flow_ +
                                               R"(
    flow_name: Unit user
    scope: device
    check_order: true
    deadline_ms: 600000
    flow_points:
      - point_id: init
      - point_id: ready
)");
  }

  void TearDown() override {
    if (notify_fd_ >= 0) close(notify_fd_);
  }

  // A datagram socket that the unprivileged watch may send READY=1 to.
  std::string BindNotifySocket() {
    const std::string path = dir_.File("notify");
    notify_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(notify_fd_, reinterpret_cast<const sockaddr*>(&address),
                   sizeof address),
              0);
    EXPECT_EQ(chmod(path.c_str(), 0666), 0);
    timeval timeout{10, 0};
    setsockopt(notify_fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return path;
  }

  std::string AwaitNotification() {
    char message[256];
    const ssize_t length = recv(notify_fd_, message, sizeof message, 0);
    return length > 0 ? std::string(message, static_cast<std::size_t>(length))
                      : "<none>";
  }

  TempDir dir_;
  std::unique_ptr<kelpwood_test::JournalTestLock> lock_;
  std::unique_ptr<kelpwood_test::Journald> journald_;
  std::string flow_;
  std::string config_;
  int notify_fd_ = -1;
};

TEST_P(WatchAsUnitUserTest, ReadsTheJournalAndKeepsItsStatePrivate) {
  const std::string unit = ReadFile(KELPWOOD_WATCH_UNIT);
  const std::string groups = GroupIds(Setting(unit, "SupplementaryGroups"));
  ASSERT_NE(groups, "") << "SupplementaryGroups="
                        << Setting(unit, "SupplementaryGroups");

  // The state directory as systemd makes it for StateDirectory=.
  const std::string state_dir = dir_.File("state");
  const mode_t directory_mode = ModeSetting(unit, "StateDirectoryMode", 0755);
  ASSERT_EQ(mkdir(state_dir.c_str(), directory_mode), 0);
  ASSERT_EQ(chmod(state_dir.c_str(), directory_mode), 0);
  ASSERT_EQ(chown(state_dir.c_str(), kUnprivileged, kUnprivileged), 0);

  // ExecStart with the build's tool, the state directory above and the
  // test's flow file in place of the device's.
  std::vector<std::string> command = ExecStartWords(unit);
  ASSERT_EQ(command.size(), 5u) << Setting(unit, "ExecStart");
  EXPECT_EQ(command[1], "watch");
  EXPECT_EQ(command[2], "--state-dir");
  EXPECT_EQ(command[3], "/var/lib/" + Setting(unit, "StateDirectory"));
  command[0] = KELPWOOD_FLOWS_TOOL;
  command[3] = state_dir;
  command[4] = config_;
  std::vector<std::string> arguments = {
      "--reuid=" + std::to_string(kUnprivileged),
      "--regid=" + std::to_string(kUnprivileged),
      "--groups=" + groups,
      "--inh-caps=-all",
      "--bounding-set=-all",
      "--no-new-privs",
      "--"};
  if (GetParam().own_user_namespace) {
    const std::string user = std::to_string(kUnprivileged);
    arguments.insert(arguments.end(),
                     {KELPWOOD_UNSHARE, "--user", "--map-user=" + user,
                      "--map-group=" + user, "--"});
  }
  arguments.insert(arguments.end(), command.begin(), command.end());

  const std::string notify = BindNotifySocket();
  const mode_t test_umask = umask(ModeSetting(unit, "UMask", 0022));
  ChildOptions options;
  options.deadline = std::chrono::seconds(60);
  ChildProcess watch(
      KELPWOOD_SETPRIV, arguments,
      kelpwood::testing::WithSanitizerOptions({"NOTIFY_SOCKET=" + notify}),
      options);
  umask(test_umask);
  ASSERT_EQ(AwaitNotification(), "READY=1") << watch.Wait().standard_error;

  // Points published by root reach the watch through the journal's group.
  const ChildResult published =
      RunChild(KELPWOOD_POINT_PUBLISHER,
               {config_, flow_ + ":init:ok", flow_ + ":ready:ok"},
               kelpwood::testing::WithSanitizerOptions(
                   {"SPDLOG_LEVEL=critical", "SPDLOG_STDOUT=false",
                    "SPDLOG_SYSTEMD=false"}));
  ASSERT_TRUE(published.ExitedCleanly()) << published.standard_error;
  const std::vector<kelpwood_test::JournalFields> verdicts =
      kelpwood_test::ReadJournal(
          {"FLOW_ID=" + flow_, "SYSLOG_IDENTIFIER=kelpwood-flows"}, 1,
          std::chrono::seconds(20));
  ASSERT_EQ(verdicts.size(), 1u);
  EXPECT_EQ(Field(verdicts[0], "CHECK_CODE"), "PASSED");
  EXPECT_EQ(Field(verdicts[0], "_UID"), std::to_string(kUnprivileged));

  kill(watch.pid(), SIGTERM);
  const ChildResult& stopped = watch.Wait();
  EXPECT_TRUE(stopped.ExitedCleanly()) << stopped.standard_error;

  struct stat state {};
  ASSERT_EQ(stat((state_dir + "/state").c_str(), &state), 0);
  EXPECT_EQ(state.st_mode & 07777, 0600u);
  EXPECT_EQ(state.st_uid, kUnprivileged);
}

INSTANTIATE_TEST_SUITE_P(
    Users, WatchAsUnitUserTest,
    ::testing::Values(UserCase{"unit_user", false},
                      UserCase{"unit_user_in_own_user_namespace", true}),
    [](const ::testing::TestParamInfo<UserCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
