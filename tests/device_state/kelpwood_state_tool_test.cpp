// Runs the built kelpwood-state program and checks its exit codes, output
// and messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state.h>
#include <kelpwood/version.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using device_state_test::Process;
using device_state_test::PythonPeer;
using device_state_test::ReadBytes;
using device_state_test::RunWithPrivateOpt;
using device_state_test::TempDir;
using device_state_test::WriteBytes;

const std::string kTool = KELPWOOD_STATE_TOOL;

struct Outcome {
  int exit_code;
  std::string standard_output;
  std::string standard_error;
};

Outcome RunTool(const std::vector<std::string>& args) {
  Process process(kTool, args);
  const int exit_code = process.Wait();
  return {exit_code, process.standard_output(), process.standard_error()};
}

std::string Byte(int value) { return std::string(1, static_cast<char>(value)); }

class KelpwoodStateToolTest : public ::testing::Test {
 protected:
  TempDir dir_;
  const std::string path_ = dir_.File("device_state");
};

TEST_F(KelpwoodStateToolTest, GetCreatesMissingFileAndPrintsZero) {
  const Outcome outcome = RunTool({"get", "--file", path_});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.standard_output, "0\n");
  EXPECT_EQ(outcome.standard_error, "");
  EXPECT_EQ(ReadBytes(path_), Byte(0));
}

TEST_F(KelpwoodStateToolTest, GetPrintsHighBytesUnsigned) {
  WriteBytes(path_, Byte(200));
  const Outcome outcome = RunTool({"--file=" + path_, "get"});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.standard_output, "200\n");
}

TEST_F(KelpwoodStateToolTest, SetWritesTheByte) {
  const Outcome outcome = RunTool({"-f", path_, "set", "255"});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.standard_output, "");
  EXPECT_EQ(outcome.standard_error, "");
  EXPECT_EQ(ReadBytes(path_), Byte(255));
}

TEST_F(KelpwoodStateToolTest, SetWhilePeerReadsExitsOneAtOnce) {
  WriteBytes(path_, Byte(1));
  PythonPeer peer(path_, PythonPeer::Mode::kRead, 0);
  ASSERT_EQ(peer.status(), "locked");
  const Outcome outcome = RunTool({"set", "9", "--file", path_});
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.standard_error,
            "kelpwood-state: " + path_ +
                ": busy: another process holds a lock on the state\n");
  EXPECT_EQ(ReadBytes(path_), Byte(1));
}

TEST_F(KelpwoodStateToolTest, SetRetriesUntilPeerLetsGo) {
  WriteBytes(path_, Byte(1));
  PythonPeer peer(path_, PythonPeer::Mode::kRead, 0, 0.3);
  ASSERT_EQ(peer.status(), "locked");
  const Outcome outcome =
      RunTool({"set", "9", "--file", path_, "--retry-for", "20"});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.standard_error, "");
  EXPECT_EQ(ReadBytes(path_), Byte(9));
  EXPECT_TRUE(peer.AnnouncedRelease());
}

TEST_F(KelpwoodStateToolTest, SetRetryGivesUpAtTheDeadline) {
  WriteBytes(path_, Byte(1));
  PythonPeer peer(path_, PythonPeer::Mode::kRead, 0);
  ASSERT_EQ(peer.status(), "locked");
  const Outcome outcome =
      RunTool({"set", "9", "--file", path_, "--retry-for", "0.2"});
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.standard_error,
            "kelpwood-state: " + path_ +
                ": busy: another process holds a lock on the state\n");
  EXPECT_EQ(ReadBytes(path_), Byte(1));
}

TEST_F(KelpwoodStateToolTest, WaitForCurrentStateExitsZero) {
  WriteBytes(path_, Byte(6));
  const Outcome outcome = RunTool({"wait", "6", "--file", path_});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.standard_output, "");
  EXPECT_EQ(outcome.standard_error, "");
}

TEST_F(KelpwoodStateToolTest, WaitTimesOutWithOne) {
  const Outcome outcome =
      RunTool({"wait", "8", "--timeout", "0.1", "--file", path_});
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(outcome.standard_error,
            "kelpwood-state: timed out waiting for state 8\n");
}

TEST_F(KelpwoodStateToolTest, WaitSeesAnotherProcessTransit) {
  WriteBytes(path_, Byte(0));
  Process waiter(kTool, {"wait", "130", "--file", path_, "--timeout", "20"});
  device_state::DeviceState device(path_);
  bool transited = false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!transited && std::chrono::steady_clock::now() < deadline) {
    device.LockAndReadState();
    transited = device.TransitState(device_state::State{-126});
    device.ReleaseLock();
    if (!transited) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(transited);
  EXPECT_EQ(waiter.Wait(), 0);
  EXPECT_EQ(waiter.standard_error(), "");
}

TEST_F(KelpwoodStateToolTest, StateFileProblemsExitThreeWithTheMessage) {
  const std::string missing = dir_.File("missing/device_state");
  Outcome outcome = RunTool({"get", "--file", missing});
  EXPECT_EQ(outcome.exit_code, 3);
  EXPECT_EQ(outcome.standard_error,
            "kelpwood-state: " + missing +
                ": Unable to create the lock file. (No such file or "
                "directory)\n");

  WriteBytes(path_, "");
  outcome = RunTool({"set", "1", "--file", path_});
  EXPECT_EQ(outcome.exit_code, 3);
  EXPECT_EQ(outcome.standard_error,
            "kelpwood-state: " + path_ +
                ": Unable to get state from lock file. (the file is empty)\n");
  EXPECT_EQ(ReadBytes(path_), "");

  const std::string directory = dir_.File("directory");
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  outcome = RunTool({"wait", "1", "--file", directory});
  EXPECT_EQ(outcome.exit_code, 3);
  EXPECT_EQ(outcome.standard_error,
            "kelpwood-state: " + directory +
                ": Unable to open the lock file. (Is a directory)\n");
}

TEST_F(KelpwoodStateToolTest, UsageErrorsExitTwoWithAHint) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "missing command"},
      {{"frob"}, "unknown command 'frob'"},
      {{"set"}, "missing state after 'set'"},
      {{"set", "256"}, "invalid state '256': expected 0 to 255"},
      {{"wait", "-1"}, "unrecognized option '-1'"},
      {{"set", "x7"}, "invalid state 'x7': expected 0 to 255"},
      {{"get", "3"}, "extra operand '3'"},
      {{"get", "--bogus"}, "unrecognized option '--bogus'"},
      {{"get", "--file"}, "option '--file' requires an argument"},
      {{"set", "1", "--timeout", "2"}, "--timeout applies to 'wait' only"},
      {{"wait", "1", "--retry-for", "2"}, "--retry-for applies to 'set' only"},
      {{"wait", "1", "--timeout", "soon"},
       "invalid number of seconds for --timeout: 'soon'"},
      {{"set", "1", "--retry-for=-3"},
       "invalid number of seconds for --retry-for: '-3'"},
      {{"gett"}, "unknown command 'gett'; did you mean 'get'?"},
      {{"set", "1", "--json"}, "--json applies to 'get' only"},
      {{"get", "--json=1"}, "option '--json' doesn't allow an argument"},
      {{"wait", "1", "2"}, "extra operand '2'"},
      {{"get", "-f"}, "option requires an argument -- 'f'"},
      {{"get", "-x"}, "unrecognized option '-x'"},
  };
  for (const auto& usage : cases) {
    std::vector<std::string> args = {"--file=" + path_};
    args.insert(args.end(), usage.args.begin(), usage.args.end());
    const Outcome outcome = RunTool(args);
    EXPECT_EQ(outcome.exit_code, 2) << usage.message;
    EXPECT_EQ(outcome.standard_error,
              "kelpwood-state: " + usage.message +
                  "\nTry 'kelpwood-state --help' for more information.\n");
  }
  // Nothing was created by a refused command line.
  EXPECT_EQ(ReadBytes(path_), "<missing>");
}

TEST_F(KelpwoodStateToolTest, HelpPrintsUsageAndExitCodes) {
  const Outcome outcome = RunTool({"--help"});
  EXPECT_EQ(outcome.exit_code, 0);
  EXPECT_EQ(outcome.standard_error, "");
  EXPECT_EQ(outcome.standard_output.rfind(
                "Usage: kelpwood-state [--file PATH] get\n", 0),
            0u);
  EXPECT_NE(
      outcome.standard_output.find("(default: /opt/kelpwood/device_state)"),
      std::string::npos);
  EXPECT_NE(outcome.standard_output.find("Exit status:\n  0  done\n"),
            std::string::npos);
  EXPECT_EQ(RunTool({"set", "-h"}).exit_code, 0);
}

TEST_F(KelpwoodStateToolTest, DefaultFileIsTheFixedPath) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to mount a private tmpfs on /opt";
  }
  const auto result = RunWithPrivateOpt([]() -> std::string {
    Outcome outcome = RunTool({"get"});
    if (outcome.exit_code != 3) return "get without directory did not exit 3";
    if (outcome.standard_error !=
        "kelpwood-state: /opt/kelpwood/device_state: Unable to create the "
        "lock file. (No such file or directory)\n") {
      return "unexpected message: " + outcome.standard_error;
    }
    if (::mkdir("/opt/kelpwood", 0755) != 0) return "mkdir failed";
    outcome = RunTool({"set", "77"});
    if (outcome.exit_code != 0) return "set failed: " + outcome.standard_error;
    outcome = RunTool({"get"});
    if (outcome.standard_output != "77\n")
      return "get printed " + outcome.standard_output;
    return "";
  });
  if (result.report.rfind("skip: ", 0) == 0) GTEST_SKIP() << result.report;
  EXPECT_EQ(result.report, "");
  EXPECT_TRUE(result.Succeeded());
}

TEST_F(KelpwoodStateToolTest, GetJsonPrintsTheFileAndTheState) {
  WriteBytes(path_, Byte(201));
  const std::string quoted_dir = dir_.File("say \"hi\"");
  ASSERT_EQ(::mkdir(quoted_dir.c_str(), 0700), 0);
  WriteBytes(quoted_dir + "/state", Byte(7));
  const struct {
    std::string path;
    std::string json_path;
    std::string state;
  } cases[] = {
      {path_, path_, "201"},
      {quoted_dir + "/state", dir_.path() + "/say \\\"hi\\\"/state", "7"},
  };
  for (const auto& each : cases) {
    const Outcome outcome = RunTool({"--json", "get", "-f", each.path});
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(
        outcome.standard_output,
        "{\"file\":\"" + each.json_path + "\",\"state\":" + each.state + "}\n");
    EXPECT_EQ(outcome.standard_error, "");
  }
}

TEST_F(KelpwoodStateToolTest, FullStandardOutputExitsTwoWithTheReason) {
  WriteBytes(path_, Byte(3));
  for (const char* command : {"get", "--json get", "--version", "--help"}) {
    Process shell("/bin/sh", {"-c",
                              std::string("exec \"$0\" --file \"$1\" ") +
                                  command + " >/dev/full",
                              kTool, path_});
    EXPECT_EQ(shell.Wait(), 2) << command;
    EXPECT_EQ(shell.standard_error(),
              "kelpwood-state: write error: No space left on device\n")
        << command;
  }
  EXPECT_EQ(ReadBytes(path_), Byte(3));
}

TEST_F(KelpwoodStateToolTest, VersionNamesTheLibrarysVersion) {
  for (const char* option : {"--version", "-V"}) {
    const Outcome outcome = RunTool({option});
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.standard_output,
              std::string("kelpwood-state ") + KELPWOOD_VERSION_STRING + "\n");
    EXPECT_EQ(outcome.standard_error, "");
  }
}

}  // namespace
