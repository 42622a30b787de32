// Threads that trace a device-wide flow while another switches its scope:
// every point is recorded once with its own index, whether or not journald
// takes the entries (run under TSan in CI).

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kelpwood {
namespace trace {
namespace {

TEST(PublishingConcurrencyTest, ThreadsTraceWhileTheScopeChanges) {
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "publishing_concurrency";
  registry.RegisterTraceFlow(flow, {}, "Concurrency", "", false);
  registry.SetFlowScope(flow, FlowScope::DEVICE);
  constexpr int kThreads = 2;
  constexpr int kPointsEach = 500;
  std::atomic<bool> tracing{true};
  std::thread switcher([&] {
    bool device = false;
    while (tracing.load()) {
      registry.SetFlowScope(flow,
                            device ? FlowScope::DEVICE : FlowScope::PROCESS);
      device = !device;
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> tracers;
  for (int t = 0; t < kThreads; ++t) {
    tracers.emplace_back([&registry, &flow, t] {
      for (int i = 0; i < kPointsEach; ++i) {
        auto point = std::make_shared<TracePoint>(
            "t" + std::to_string(t) + "_" + std::to_string(i), true);
        point->metadata.emplace_back("thread", std::to_string(t));
        registry.Trace(flow, point);
      }
    });
  }
  for (auto& tracer : tracers) tracer.join();
  tracing = false;
  switcher.join();

  const auto& points = registry.GetTracePoints(flow);
  ASSERT_EQ(points.size(), static_cast<std::size_t>(kThreads * kPointsEach));
  std::vector<std::int32_t> indices;
  for (const auto& point : points) indices.push_back(point->index);
  std::sort(indices.begin(), indices.end());
  for (std::size_t i = 0; i < indices.size(); ++i) {
    ASSERT_EQ(indices[i], static_cast<std::int32_t>(i));
  }
  registry.SetFlowScope(flow, FlowScope::PROCESS);
  registry.RemoveTraceFlow(flow);
}

}  // namespace
}  // namespace trace
}  // namespace kelpwood
