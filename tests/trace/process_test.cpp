// The registry at process boundaries: checks made while the process exits,
// and children forked while another thread holds the registry.

#include <kelpwood/flow_trace.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../logger/child_process.h"
#include "log_capture.h"
#include "test_points.h"

namespace kelpwood {
namespace testing {
namespace {

using trace::FlowCheckResult;
using trace::FlowTrace;
using Lines = std::vector<std::string>;

// The lines of `text` that start with `prefix`, in order.
Lines LinesStartingWith(const std::string& text, const std::string& prefix) {
  Lines found;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

// Waits for `child` for at most `limit`; a child still running then is
// killed. Returns its wait status, or -1 when it had to be killed.
int WaitOrKill(pid_t child, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return status;
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A host that reaches the registry before its first message and checks a
// flow from an atexit hook and from a static's destructor: both checks log
// through a live logger and the process exits cleanly.
TEST(FlowTraceExitTest, ChecksAtExitLogAndExitCleanly) {
  const kelpwood_test::ChildResult child = kelpwood_test::RunChild(
      KELPWOOD_EXIT_CHECK_HELPER, {},
      kelpwood_test::WithSanitizerOptions(
          {"SPDLOG_STDOUT=true", "SPDLOG_SYSTEMD=false", "SPDLOG_LEVEL=info"}));
  EXPECT_TRUE(child.ExitedCleanly()) << "status " << child.status << "\n"
                                     << child.standard_error;
  EXPECT_EQ(LinesStartingWith(child.standard_output, "exit check"),
            (Lines{"exit check in atexit hook: PASSED",
                   "exit check in static destructor: PASSED"}));
  // Each check logged all of its lines, the last one included.
  std::size_t passed = 0;
  for (std::size_t at =
           child.standard_output.find("[INFO] Flow 'exit.flow' check passed");
       at != std::string::npos;
       at = child.standard_output.find("[INFO] Flow 'exit.flow' check passed",
                                       at + 1)) {
    ++passed;
  }
  EXPECT_EQ(passed, 2u) << child.standard_output;
}

class FlowTraceForkTest : public FlowTraceTest {
 protected:
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = Flow("f");
};

// Child exit codes.
constexpr int kChildRecorded = 0;
constexpr int kChildLostItsRecording = 3;

// A fork taken while another thread's handler holds the registry waits for
// the check to end, so the child gets a free registry and records at once.
TEST_F(FlowTraceForkTest, ChildForkedDuringACheckRecordsAtOnce) {
  registry.RegisterTraceFlow(flow, {Critical("A")}, "name", "", true);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  registry.RegisterFlowHandler(
      flow, [&](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        entered.set_value();
        released.wait();
      });
  std::thread checker([&] { registry.CheckFlow(flow); });
  entered.get_future().wait();

  pid_t child = -1;
  std::thread forker([&] {
    child = ::fork();
    if (child == 0) {
      registry.Trace(flow, "A", true);
      const auto points = registry.CopyTracePoints(flow);
      ::_exit(points.size() == 1 && points[0]->point_id == "A"
                  ? kChildRecorded
                  : kChildLostItsRecording);
    }
  });
  // Let the fork start while the handler still holds the registry.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  release.set_value();
  forker.join();
  checker.join();

  ASSERT_GT(child, 0);
  const int status = WaitOrKill(child, std::chrono::seconds(10));
  ASSERT_NE(status, -1) << "the child hung in Trace";
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), kChildRecorded);
  EXPECT_TRUE(registry.CopyTracePoints(flow).empty());  // parent unchanged
}

// A handler that forks already holds the registry: the fork must not wait
// for it, and the parent's check releases it as usual.
TEST_F(FlowTraceForkTest, HandlerThatForksDoesNotWaitForItself) {
  registry.RegisterTraceFlow(flow, {Critical("A")}, "name", "", true);
  registry.Trace(flow, "A", true);
  pid_t child = -1;
  registry.RegisterFlowHandler(
      flow, [&](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        child = ::fork();
        if (child == 0) ::_exit(kChildRecorded);
      });
  registry.CheckFlow(flow);

  ASSERT_GT(child, 0);
  const int status = WaitOrKill(child, std::chrono::seconds(10));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), kChildRecorded);
  registry.Trace(flow, "B", true);
  EXPECT_EQ(registry.CopyTracePoints(flow).size(), 2u);
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
