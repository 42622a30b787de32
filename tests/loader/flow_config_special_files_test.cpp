// Init with paths that are not plain files. Each load runs in a child process
// with a deadline, so that a loader that throws or blocks fails its test
// instead of killing or hanging the whole test program.

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"

namespace kelpwood {
namespace trace {
namespace {

using ::kelpwood::testing::ConfiguredChain;
using ::kelpwood::testing::DataPath;
using ::kelpwood::testing::TakeLogLines;
using ::kelpwood::testing::TempDir;
using Lines = std::vector<std::string>;

struct ChildLoad {
  bool finished = false;  // false: killed at the deadline
  int exit_code = -1;     // -1 when the child ended by a signal
  Lines lines;            // what Init logged
};

// Runs Init(path) in a child process that writes the lines Init logged to a
// file in `dir`; kills it if it is not done within two seconds.
ChildLoad LoadInChild(const std::string& path, const TempDir& dir) {
  const std::string log_path = dir.path() + "/child.log";
  TakeLogLines();
  const pid_t pid = fork();
  if (pid == 0) {
    FlowTrace::GetInstance().Init(path);
    std::ofstream out(log_path);
    for (const std::string& line : TakeLogLines()) out << line << '\n';
    out.close();
    _exit(out ? 0 : 3);
  }
  ChildLoad load;
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return load;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return load;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  load.finished = true;
  load.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(log_path);
  for (std::string line; std::getline(in, line);) load.lines.push_back(line);
  return load;
}

// The one line that a refused path gives: the loader's file-level message
// with a reason after it.
void ExpectRefused(const ChildLoad& load, const std::string& path) {
  ASSERT_TRUE(load.finished) << path << ": Init did not return";
  ASSERT_EQ(load.exit_code, 0) << path << ": Init did not return normally";
  ASSERT_EQ(load.lines.size(), 1u) << path;
  const std::string prefix =
      "[ERROR] Failed to parse flow configuration file: ";
  EXPECT_EQ(load.lines[0].compare(0, prefix.size(), prefix), 0)
      << load.lines[0];
  EXPECT_GT(load.lines[0].size(), prefix.size()) << "no reason given";
}

TEST(InitSpecialFileTest, RefusesADirectoryWithoutThrowing) {
  TempDir dir;
  const std::string config_dir = dir.path() + "/flows.yaml";
  ASSERT_EQ(mkdir(config_dir.c_str(), 0700), 0);
  ExpectRefused(LoadInChild(config_dir, dir), config_dir);
}

TEST(InitSpecialFileTest, RefusesAFifoWithoutWaitingForAWriter) {
  TempDir dir;
  const std::string fifo = dir.path() + "/flows.yaml";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ExpectRefused(LoadInChild(fifo, dir), fifo);
}

TEST(InitSpecialFileTest, RefusesADeviceThatNeverEnds) {
  TempDir dir;
  ExpectRefused(LoadInChild("/dev/zero", dir), "/dev/zero");
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
