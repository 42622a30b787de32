#include <kelpwood/flow_trace.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "test_points.h"

extern char** environ;

namespace kelpwood {
namespace testing {
namespace {

using trace::FlowCheckCode;
using trace::FlowCheckResult;
using trace::FlowTrace;

constexpr char kFirstUseVariable[] = "KELPWOOD_TEST_FIRST_USE_RACE";
constexpr int kFirstUseSameObject = 42;
constexpr int kFirstUseDifferentObjects = 43;

// In a child started by GetInstanceRacedOnFirstUseGivesOneObject, this runs
// during static initialisation, before anything has touched the registry:
// several threads make the very first GetInstance calls at once.
const int kFirstUseRace = [] {
  if (std::getenv(kFirstUseVariable) == nullptr) return 0;
  constexpr int kThreads = 8;
  std::atomic<bool> start{false};
  std::vector<FlowTrace*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!start.load()) std::this_thread::yield();
      seen[i] = &FlowTrace::GetInstance();
    });
  }
  start = true;
  for (auto& thread : threads) thread.join();
  const bool same = seen[0] != nullptr &&
                    std::all_of(seen.begin(), seen.end(),
                                [&](FlowTrace* p) { return p == seen[0]; });
  std::_Exit(same ? kFirstUseSameObject : kFirstUseDifferentObjects);
}();

class FlowTraceConcurrencyTest : public FlowTraceTest {
 protected:
  FlowTrace& registry = FlowTrace::GetInstance();
};

TEST_F(FlowTraceConcurrencyTest, GetInstanceRacedOnFirstUseGivesOneObject) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  environment.push_back(std::string(kFirstUseVariable) + "=1");
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char program[] = "/proc/self/exe";
  char* argv[] = {program, nullptr};

  pid_t child = 0;
  ASSERT_EQ(::posix_spawn(&child, program, nullptr, nullptr, argv, envp.data()),
            0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kFirstUseSameObject);
}

TEST_F(FlowTraceConcurrencyTest, TracesFromSeveralThreadsGetContiguousIndices) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        registry.Trace(flow, std::to_string(t) + ":" + std::to_string(i), true);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const auto& points = registry.GetTracePoints(flow);
  ASSERT_EQ(points.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (std::size_t position = 0; position < points.size(); ++position) {
    ASSERT_EQ(points[position]->index, static_cast<int>(position));
    // Each thread's points keep that thread's order.
    const std::string& id = points[position]->point_id;
    const int t = std::stoi(id.substr(0, id.find(':')));
    EXPECT_EQ(std::stoi(id.substr(id.find(':') + 1)), next[t]++);
  }
  registry.RemoveTraceFlow(flow);
}

// The refusal is for the handler's own thread only: another thread that
// records while the handler runs waits for the mutex and is served.
TEST_F(FlowTraceConcurrencyTest, OtherThreadWaitsForAHandlerAndIsServed) {
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "name", "", false);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  registry.RegisterFlowHandler(
      flow, [&](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
        entered.set_value();
        released.wait();
      });
  ClearCapturedMessages();

  std::thread checker([&] { registry.CheckFlow(flow); });
  entered.get_future().wait();
  std::atomic<bool> recorded{false};
  std::thread recorder([&] {
    registry.Trace(flow, "B", true);
    recorded = true;
  });
  // The recorder cannot finish while the handler holds the mutex.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(recorded.load());
  release.set_value();
  recorder.join();
  checker.join();

  const auto points = registry.CopyTracePoints(flow);
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0]->point_id, "B");
  for (const auto& line : CapturedLines()) {
    EXPECT_EQ(line.find("[ERROR]"), std::string::npos) << line;
  }
  registry.RemoveTraceFlow(flow);
}

// Snapshots taken while two threads record are each a whole prefix of the
// queue: positions match indices and no snapshot is shorter than the one
// before it.
TEST_F(FlowTraceConcurrencyTest, CopyTracePointsWhileOthersTraceIsConsistent) {
  constexpr int kThreads = 2;
  constexpr int kPerThread = 2000;
  const std::string flow = Flow("f");
  registry.RegisterTraceFlow(flow, {}, "n", "", true);

  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) registry.Trace(flow, "p", true);
      --running;
    });
  }
  std::size_t previous = 0;
  int snapshots = 0;
  bool consistent = true;
  while (running.load() > 0 || snapshots == 0) {
    const auto snapshot = registry.CopyTracePoints(flow);
    consistent = consistent && snapshot.size() >= previous;
    for (std::size_t position = 0; position < snapshot.size(); ++position) {
      consistent =
          consistent && snapshot[position]->index == static_cast<int>(position);
    }
    previous = snapshot.size();
    ++snapshots;
  }
  for (auto& thread : threads) thread.join();

  EXPECT_TRUE(consistent);
  EXPECT_EQ(registry.CopyTracePoints(flow).size(),
            static_cast<std::size_t>(kThreads * kPerThread));
  registry.RemoveTraceFlow(flow);
}

// Registration, removal and loading write the configuration table while
// checks read it; handler registration, recording and resets run meanwhile.
// Run under ThreadSanitizer, any unguarded access is reported.
TEST_F(FlowTraceConcurrencyTest, RegistryOperationsOverlapWithoutDataRaces) {
  constexpr int kRounds = 300;
  const std::string churned = Flow("churned");
  const std::string loaded = Flow("loaded");

  char directory_template[] = "/tmp/kelpwood-trace-XXXXXX";
  const char* directory = ::mkdtemp(directory_template);
  ASSERT_NE(directory, nullptr);
  const std::string path = std::string(directory) + "/flows.yaml";
  {
    std::ofstream file(path);
    file << "workflows:\n  - flow_id: " << loaded
         << "\n    check_order: true\n    flow_points:\n"
            "      - point_id: A\n      - point_id: B\n        optional: "
            "true\n";
  }

  std::atomic<int> handler_calls{0};
  const auto handler = [&](const std::string&,
                           const std::shared_ptr<FlowCheckResult>&) {
    handler_calls.fetch_add(1);
  };
  registry.RegisterFlowHandler(churned, handler);
  registry.Init(path);
  int churned_checks = 0;
  std::set<FlowCheckCode> outcomes;

  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      registry.RegisterTraceFlow(churned, {Critical("A"), Optional("B")}, "n",
                                 "", i % 2 == 0);
      registry.RemoveTraceFlow(churned);
      registry.RegisterTraceFlow(churned, {Critical("A")}, "n", "", true);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds / 10; ++i) registry.Init(path);
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      registry.Trace(churned, "A", true);
      registry.Trace(loaded, i % 3 == 0 ? "B" : "A", true);
      registry.Trace(loaded, std::make_shared<trace::TracePoint>("A", true));
      if (i % 50 == 0) registry.ResetFlow(loaded);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      outcomes.insert(registry.CheckFlow(churned)->result);
      ++churned_checks;
      registry.CheckFlow(loaded);
      registry.GetFlowDuration(loaded);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      registry.RegisterFlowHandler(churned, handler);
    }
  });
  for (auto& thread : threads) thread.join();

  // Every check of the churned flow reached a handler, whatever it found.
  EXPECT_EQ(handler_calls.load(), churned_checks);
  for (FlowCheckCode code : outcomes) {
    EXPECT_TRUE(code == FlowCheckCode::PASSED ||
                code == FlowCheckCode::POINT_MISSING ||
                code == FlowCheckCode::FLOW_NOT_FOUND)
        << trace::FlowCheckCodeName(code);
  }
  // The last registration of each flow is in force.
  registry.ResetFlow(churned);
  registry.Trace(churned, "A", true);
  EXPECT_EQ(registry.CheckFlow(churned)->result, FlowCheckCode::PASSED);

  registry.RemoveTraceFlow(churned);
  registry.RemoveTraceFlow(loaded);
  std::remove(path.c_str());
  ::rmdir(directory);
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
