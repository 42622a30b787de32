// Init with paths that are not plain files. Each load runs in a child process
// with a deadline, so that a loader that throws or blocks fails its test
// instead of killing or hanging the whole test program.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "registry_views.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelpwood {
namespace trace {
namespace {

using ::kelpwood::testing::ChildResult;
using ::kelpwood::testing::ConfiguredChain;
using ::kelpwood::testing::DataPath;
using ::kelpwood::testing::RunInChild;
using ::kelpwood::testing::TakeLogLines;
using ::kelpwood::testing::TempDir;
using Lines = std::vector<std::string>;

struct ChildLoad {
  bool finished = false;  // false: killed at the deadline
  bool returned = false;  // Init returned: no signal, no exception
  Lines lines;            // what Init logged
};

// Runs Init(path) in a child process that reports the lines Init logged;
// kills it if it is not done within two seconds.
ChildLoad LoadInChild(const std::string& path) {
  TakeLogLines();
  const ChildResult child = RunInChild(
      [&]() -> std::string {
        FlowTrace::GetInstance().Init(path);
        std::string logged;
        for (const std::string& line : TakeLogLines()) logged += line + '\n';
        return logged;
      },
      std::chrono::seconds(2));
  ChildLoad load;
  load.finished = !child.timed_out;
  load.returned =
      WIFEXITED(child.status) && child.report.rfind("exception: ", 0) != 0;
  std::istringstream logged(child.report);
  for (std::string line; std::getline(logged, line);)
    load.lines.push_back(line);
  return load;
}

// The one line that a refused path gives: the loader's file-level message
// with a reason after it.
void ExpectRefused(const ChildLoad& load, const std::string& path) {
  ASSERT_TRUE(load.finished) << path << ": Init did not return";
  ASSERT_TRUE(load.returned) << path << ": Init did not return normally";
  ASSERT_EQ(load.lines.size(), 1u) << path;
  const std::string prefix =
      "[ERROR] Failed to parse flow configuration file: ";
  EXPECT_THAT(load.lines[0], ::testing::StartsWith(prefix));
  EXPECT_GT(load.lines[0].size(), prefix.size()) << "no reason given";
}

TEST(InitSpecialFileTest, RefusesADirectoryWithoutThrowing) {
  TempDir dir;
  const std::string config_dir = dir.path() + "/flows.yaml";
  ASSERT_EQ(mkdir(config_dir.c_str(), 0700), 0);
  ExpectRefused(LoadInChild(config_dir), config_dir);
}

TEST(InitSpecialFileTest, RefusesAFifoWithoutWaitingForAWriter) {
  TempDir dir;
  const std::string fifo = dir.path() + "/flows.yaml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ExpectRefused(LoadInChild(fifo), fifo);
}

TEST(InitSpecialFileTest, RefusesADeviceThatNeverEnds) {
  ExpectRefused(LoadInChild("/dev/zero"), "/dev/zero");
}

TEST(InitSpecialFileTest, FollowsASymbolicLinkToARegularFile) {
  TempDir dir;
  const std::string link = dir.path() + "/linked.yaml";
  ASSERT_EQ(symlink(DataPath("bad_middle_point.yaml").c_str(), link.c_str()),
            0);
  TakeLogLines();
  FlowTrace::GetInstance().Init(link);
  EXPECT_EQ(TakeLogLines().back(),
            "[DEBUG] Parsed trace flow config: flow_id=bad_middle_flow, "
            "flow_name=, check_order=true, points_count=2");
  EXPECT_EQ(ConfiguredChain("bad_middle_flow"), "<first> -> [third]");
}

TEST(InitSpecialFileTest, LoadsAFileWrittenAtRunTime) {
  TempDir dir;
  const std::string path = dir.WriteFile(
      "flows.yaml",
      "workflows:\n  - flow_id: runtime_flow\n    flow_points:\n"
      "      - {point_id: r1, optional: true}\n      - point_id: r2\n");
  TakeLogLines();
  FlowTrace::GetInstance().Init(path);
  EXPECT_EQ(TakeLogLines().size(), 3u);
  EXPECT_EQ(ConfiguredChain("runtime_flow"), "[r1] -> <r2>");
}

}  // namespace
}  // namespace trace
}  // namespace kelpwood
