// kelpwood-flows check --directory over a fleet directory that a real
// systemd-journal-remote builds from the export streams of simulated
// machines: the per-device table, the per-flow summary, --json, --machine
// and the exit status.

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "journal/message_ids.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood::testing::TempDir;

const char kJournalRemote[] = "/lib/systemd/systemd-journal-remote";
const std::string kMachineA(32, 'a');
const std::string kMachineB(32, 'b');
const std::string kMachineC(32, 'c');
const std::string kMachineD(32, 'd');
const std::string kMachineE(32, 'e');
const std::uint64_t kBaseUs = 1700000000000000;

const char kConfig[] =
    "workflows:\n"
    "  - flow_id: boot\n"
    "    flow_name: Boot\n"
    "    scope: device\n"
    "    check_order: true\n"
    "    flow_points:\n"
    "      - point_id: init\n"
    "      - point_id: mount\n"
    "        failure_id: 302\n"
    "      - point_id: ready\n"
    "  - flow_id: update\n"
    "    flow_name: Update\n"
    "    scope: device\n"
    "    check_order: false\n"
    "    flow_points:\n"
    "      - point_id: fetch\n"
    "      - point_id: apply\n";

// One published point, as the export stream of a device carries it.
struct Published {
  std::string boot_id;
  std::string flow_id;
  std::string point_id;
  bool ok;
  std::uint64_t at_us;  // after kBaseUs
};

// The export stream (journalctl -o export) of one machine: its points, with
// an unrelated entry first that the check must pass over.
std::string ExportStream(const std::string& machine_id,
                         const std::vector<Published>& points) {
  std::string stream;
  std::uint64_t monotonic = 1000;
  auto header = [&](const std::string& boot_id, std::uint64_t at_us) {
    stream += "__REALTIME_TIMESTAMP=" + std::to_string(kBaseUs + at_us) +
              "\n__MONOTONIC_TIMESTAMP=" + std::to_string(monotonic++) +
              "\n_BOOT_ID=" + boot_id + "\n_MACHINE_ID=" + machine_id +
              "\n_PID=4" + std::to_string(points.size()) +
              "\n_UID=0\n_TRANSPORT=journal\n";
  };
  header(std::string(32, '9'), 0);
  stream += "_COMM=other\nMESSAGE=nothing to do with flows\n\n";
  for (const Published& point : points) {
    header(point.boot_id, point.at_us);
    stream += "_COMM=publisher\nMESSAGE=Flow '" + point.flow_id + "' point '" +
              point.point_id + (point.ok ? "' ok" : "' failed") +
              "\nMESSAGE_ID=" + kelpwood::journal::kPointPublished +
              "\nFLOW_ID=" + point.flow_id + "\nPOINT_ID=" + point.point_id +
              "\nPOINT_SUCCESS=" + (point.ok ? "1" : "0") +
              "\nPOINT_TIMESTAMP_NS=" +
              std::to_string((kBaseUs + point.at_us) * 1000) + "\n\n";
  }
  return stream;
}

class FleetCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (access(kJournalRemote, X_OK) != 0) return;
    temp_dir_ = new TempDir();
    dir_ = new std::string(temp_dir_->path());
    std::ofstream(*dir_ + "/flows.yaml") << kConfig;
    std::filesystem::create_directory(*dir_ + "/fleet");
    const std::string boot1(32, '1');
    const std::string boot2(32, '2');
    Import(kMachineA, {{boot1, "boot", "init", true, 10},
                       {boot1, "boot", "mount", true, 20},
                       {boot1, "update", "apply", true, 25},
                       {boot1, "boot", "ready", true, 30},
                       {boot1, "update", "fetch", true, 35},
                       {boot2, "boot", "init", true, 100},
                       {boot2, "boot", "mount", true, 110},
                       {boot2, "boot", "ready", true, 120}});
    Import(kMachineB, {{boot1, "boot", "init", true, 10},
                       {boot1, "boot", "ready", true, 20}});
    Import(kMachineC, {{boot1, "boot", "init", true, 10},
                       {boot1, "boot", "mount", false, 20},
                       {boot2, "boot", "init", true, 100},
                       {boot2, "boot", "mount", true, 110},
                       {boot2, "boot", "ready", true, 120}});
    // Three runs of one boot: passed, then two failures of their own.
    Import(kMachineD, {{boot1, "boot", "init", true, 10},
                       {boot1, "boot", "mount", true, 20},
                       {boot1, "boot", "ready", true, 30},
                       {boot1, "boot", "init", true, 40},
                       {boot1, "boot", "ready", true, 50},
                       {boot1, "boot", "init", true, 60},
                       {boot1, "boot", "mount", false, 70}});
    // More runs missing 'mount' than failing it, though POINT_FAILED sorts
    // first: the summary ranks by count.
    Import(kMachineE, {{boot1, "boot", "init", true, 10},
                       {boot1, "boot", "ready", true, 20},
                       {boot1, "boot", "init", true, 30},
                       {boot1, "boot", "ready", true, 40},
                       {boot1, "boot", "init", true, 50},
                       {boot1, "boot", "mount", false, 60}});
  }
  static void TearDownTestSuite() {
    if (dir_ == nullptr) return;
    delete temp_dir_;
    temp_dir_ = nullptr;
    delete dir_;
    dir_ = nullptr;
  }

  // Feeds one machine's export stream to systemd-journal-remote, which
  // writes it into the fleet directory as a collector would.
  static void Import(const std::string& machine_id,
                     const std::vector<Published>& points) {
    const std::string command = std::string(kJournalRemote) +
                                " --output=" + *dir_ + "/fleet/remote-" +
                                machine_id + ".journal - 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "w");
    ASSERT_NE(pipe, nullptr);
    const std::string stream = ExportStream(machine_id, points);
    fwrite(stream.data(), 1, stream.size(), pipe);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  void SetUp() override {
    if (dir_ == nullptr) {
      GTEST_SKIP() << kJournalRemote
                   << " is missing (Debian package systemd-journal-remote)";
    }
  }

  ChildResult Check(std::vector<std::string> arguments) {
    std::vector<std::string> words = {"check", "--directory", *dir_ + "/fleet"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    words.push_back(*dir_ + "/flows.yaml");
    return RunChild(KELPWOOD_FLOWS_TOOL, words,
                    kelpwood::testing::WithSanitizerOptions({}));
  }

  static TempDir* temp_dir_;
  static std::string* dir_;
};

TempDir* FleetCheckTest::temp_dir_ = nullptr;
std::string* FleetCheckTest::dir_ = nullptr;

TEST_F(FleetCheckTest, PrintsOneLinePerDeviceAndFlowThenEachFlow) {
  const ChildResult result = Check({});
  EXPECT_EQ(result.standard_output,
            kMachineA + "  boot  2 runs  PASSED\n" + kMachineA +
                "  update  1 run  PASSED\n" + kMachineB +
                "  boot  1 run  POINT_MISSING at 'mount', failure_id 302 (1 "
                "failed; first in boot " +
                std::string(32, '1') + ", run 1700000000000010)\n" + kMachineC +
                "  boot  2 runs  POINT_FAILED at 'mount', failure_id 302 (1 "
                "failed; first in boot " +
                std::string(32, '1') + ", run 1700000000000010)\n" + kMachineD +
                "  boot  3 runs  POINT_MISSING at 'mount', failure_id 302 (2 "
                "failed; first in boot " +
                std::string(32, '1') + ", run 1700000000000040)\n" + kMachineE +
                "  boot  3 runs  POINT_MISSING at 'mount', failure_id 302 (3 "
                "failed; first in boot " +
                std::string(32, '1') +
                ", run 1700000000000010)\n"
                "Flow 'boot' (Boot): 5 devices, 1 passed, 4 failed "
                "(POINT_MISSING at 'mount': 3, POINT_FAILED at 'mount': 1); "
                "runs: 4 passed, 7 failed (POINT_MISSING at 'mount': 4, "
                "POINT_FAILED at 'mount': 3)\n"
                "Flow 'update' (Update): 1 device, 1 passed, 0 failed; runs: "
                "1 passed, 0 failed\n");
  EXPECT_EQ(result.standard_error, "");
  EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1);
}

TEST_F(FleetCheckTest, JsonCarriesTheSameFindings) {
  const ChildResult result = Check({"--json", "--machine", kMachineC});
  EXPECT_EQ(result.standard_output,
            "{\"devices\":[{\"machine_id\":\"" + kMachineC +
                "\",\"flow_id\":\"boot\",\"runs\":2,\"failed_runs\":1,"
                "\"result\":\"POINT_FAILED\",\"point_id\":\"mount\","
                "\"failure_id\":302,\"boot_id\":\"" +
                std::string(32, '1') +
                "\",\"flow_run\":\"1700000000000010\"}],\"flows\":[{"
                "\"flow_id\":\"boot\",\"flow_name\":\"Boot\","
                "\"devices_passed\":0,\"devices_failed\":1,\"failures\":[{"
                "\"code\":\"POINT_FAILED\",\"point_id\":\"mount\","
                "\"devices\":1}],\"runs_passed\":1,\"runs_failed\":1,"
                "\"run_failures\":[{\"code\":\"POINT_FAILED\",\"point_id\":"
                "\"mount\",\"runs\":1}]}]}\n");
  EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1);
}

// The JSON summary ranks findings by count as the text does.
TEST_F(FleetCheckTest, JsonRanksRunFailuresByCount) {
  const ChildResult result = Check({"--json", "--machine", kMachineE});
  EXPECT_NE(result.standard_output.find(
                "\"run_failures\":[{\"code\":\"POINT_MISSING\",\"point_id\":"
                "\"mount\",\"runs\":2},{\"code\":\"POINT_FAILED\","
                "\"point_id\":\"mount\",\"runs\":1}]"),
            std::string::npos)
      << result.standard_output;
}

// Every run listed, none of a device's failures dropped from the summary.
TEST_F(FleetCheckTest, RunsListsEveryRunOfTheDevice) {
  const std::string boot(32, '1');
  const std::string row =
      kMachineD + "  " + boot + "  boot  2023-11-14T22:13:20";
  ChildResult result = Check({"--runs", "--machine", kMachineD});
  EXPECT_EQ(result.standard_output,
            row + ".000010Z  PASSED\n" + row +
                ".000040Z  POINT_MISSING at 'mount', failure_id 302\n" + row +
                ".000060Z  POINT_FAILED at 'mount', failure_id 302\n" +
                kMachineD +
                "  boot  3 runs  POINT_MISSING at 'mount', failure_id 302 (2 "
                "failed; first in boot " +
                boot +
                ", run 1700000000000040)\n"
                "Flow 'boot' (Boot): 1 device, 0 passed, 1 failed "
                "(POINT_MISSING at 'mount': 1); runs: 1 passed, 2 failed "
                "(POINT_FAILED at 'mount': 1, POINT_MISSING at 'mount': 1)\n");
  result = Check({"--runs", "--json", "--machine", kMachineD});
  const std::string json_row = "{\"machine_id\":\"" + kMachineD +
                               "\",\"boot_id\":\"" + boot +
                               "\",\"flow_id\":\"boot\",\"flow_run\":\"";
  const std::string runs =
      ",\"runs\":[" + json_row +
      "1700000000000010\",\"start\":\"2023-11-14T22:13:20.000010Z\","
      "\"code\":\"PASSED\",\"point_id\":\"\",\"failure_id\":0}," +
      json_row +
      "1700000000000040\",\"start\":\"2023-11-14T22:13:20.000040Z\","
      "\"code\":\"POINT_MISSING\",\"point_id\":\"mount\","
      "\"failure_id\":302}," +
      json_row +
      "1700000000000060\",\"start\":\"2023-11-14T22:13:20.000060Z\","
      "\"code\":\"POINT_FAILED\",\"point_id\":\"mount\","
      "\"failure_id\":302}]}\n";
  ASSERT_GT(result.standard_output.size(), runs.size());
  EXPECT_EQ(result.standard_output.substr(result.standard_output.size() -
                                          runs.size()),
            runs);
  EXPECT_NE(result.standard_output.find(
                "\"run_failures\":[{\"code\":\"POINT_FAILED\",\"point_id\":"
                "\"mount\",\"runs\":1},{\"code\":\"POINT_MISSING\","
                "\"point_id\":\"mount\",\"runs\":1}]"),
            std::string::npos)
      << result.standard_output;
  EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1);
}

TEST_F(FleetCheckTest, PassingMachineExitsClean) {
  const ChildResult result = Check({"--machine", kMachineA});
  EXPECT_EQ(result.standard_output,
            kMachineA + "  boot  2 runs  PASSED\n" + kMachineA +
                "  update  1 run  PASSED\n"
                "Flow 'boot' (Boot): 1 device, 1 passed, 0 failed; runs: 2 "
                "passed, 0 failed\n"
                "Flow 'update' (Update): 1 device, 1 passed, 0 failed; runs: "
                "1 passed, 0 failed\n");
  EXPECT_TRUE(result.ExitedCleanly());
}

struct UsageCase {
  std::vector<std::string> arguments;
  std::string error;
};

TEST_F(FleetCheckTest, RefusesBadUsageWithItsCause) {
  const std::string config = *dir_ + "/flows.yaml";
  const std::vector<UsageCase> cases = {
      {{"check", "--directory", *dir_ + "/fleet"},
       "kelpwood-flows: check: missing CONFIG\n"
       "Try 'kelpwood-flows --help' for more information.\n"},
      {{"check", "--journal", "--directory", *dir_, config},
       "kelpwood-flows: check: give exactly one of --journal and --directory "
       "DIR\nTry 'kelpwood-flows --help' for more information.\n"},
      {{"check", "--directory", *dir_, "--machine", "ABC", config},
       "kelpwood-flows: check: 'ABC' is not a machine id (32 hex digits)\n"
       "Try 'kelpwood-flows --help' for more information.\n"},
      {{"check", "--directory", *dir_, "--since", "yesterday", config},
       "kelpwood-flows: check: 'yesterday' is not a time: give YYYY-MM-DD, "
       "\"YYYY-MM-DD HH:MM:SS\" (local time) or @SECONDS (since the epoch)\n"
       "Try 'kelpwood-flows check --help' for more information.\n"},
      {{"check", "--directory", *dir_, *dir_ + "/missing.yaml"},
       "kelpwood-flows: check: " + *dir_ +
           "/missing.yaml: No such file or directory\n"},
      {{"check", "--directory", *dir_ + "/missing", config},
       "kelpwood-flows: check: cannot open journal directory '" + *dir_ +
           "/missing': No such file or directory\n"},
  };
  for (const UsageCase& usage : cases) {
    const ChildResult result =
        RunChild(KELPWOOD_FLOWS_TOOL, usage.arguments,
                 kelpwood::testing::WithSanitizerOptions({}));
    EXPECT_EQ(result.standard_error, usage.error);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 2)
        << usage.error;
  }
}

// kelpwood-flows timeline draws the same runs: one slice per run, the
// publishing process named by its command and machine, the fault marked.
TEST_F(FleetCheckTest, TimelineDrawsTheRunsOfOneMachine) {
  const ChildResult result =
      RunChild(KELPWOOD_FLOWS_TOOL,
               {"timeline", "--directory", *dir_ + "/fleet", "--machine",
                kMachineC, *dir_ + "/flows.yaml"},
               kelpwood::testing::WithSanitizerOptions({}));
  EXPECT_EQ(result.standard_error,
            "kelpwood-flows: timeline: 1 of 2 runs failed\n");
  EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 1);
  const std::string& json = result.standard_output;
  std::size_t runs = 0;
  for (std::size_t at = json.find("\"cat\":\"run\""); at != std::string::npos;
       at = json.find("\"cat\":\"run\"", at + 1)) {
    ++runs;
  }
  EXPECT_EQ(runs, 2u);
  EXPECT_NE(json.find("{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":45,"
                      "\"tid\":0,\"args\":{\"name\":\"publisher on "
                      "cccccccccccc\"}}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"ts\":10,\"name\":\"fault: POINT_FAILED mount\","
                      "\"args\":{\"code\":\"POINT_FAILED\",\"failure_id\":302"),
            std::string::npos)
      << json;
}

}  // namespace
