// Counts the allocations that recording makes, through a replacement of the
// global allocation functions (the library resolves to them as well).

#include <kelpwood/flow_trace.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "test_points.h"

namespace {
std::atomic<std::size_t> allocation_count{0};
}  // namespace

// Not inlined: GCC would otherwise see free() applied to the result of
// operator new (or delete applied to malloc's) at a call site and warn of a
// mismatch that is not one.
__attribute__((noinline)) void* operator new(std::size_t size) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* memory) noexcept {
  std::free(memory);
}
__attribute__((noinline)) void operator delete(void* memory,
                                               std::size_t) noexcept {
  std::free(memory);
}

namespace kelpwood {
namespace testing {
namespace {

class RecordingAllocationTest : public FlowTraceTest {
 protected:
  // Allocations made by `action`, with no sink attached so that only the
  // registry's own work is counted.
  template <typename Action>
  static std::size_t AllocationsOf(Action action) {
    SinklessLogger sinkless;
    const std::size_t before = allocation_count.load();
    action();
    return allocation_count.load() - before;
  }

  FlowTrace& registry = FlowTrace::GetInstance();
};

TEST_F(RecordingAllocationTest, TraceIntoUnknownFlowAllocatesNothing) {
  const std::string unknown = Flow("unknown");
  const std::string point = "A";
  registry.Trace(unknown, point, true);  // builds the logger, if not yet
  EXPECT_EQ(AllocationsOf([&] { registry.Trace(unknown, point, true); }), 0u);
}

TEST_F(RecordingAllocationTest, TraceMakesOneAllocationWhenTheQueueHasRoom) {
  const std::string flow = Flow("f");
  const std::string point = "A";
  registry.RegisterTraceFlow(flow, {}, "n", "", true);
  for (int i = 0; i < 3; ++i) registry.Trace(flow, point, true);
  ASSERT_GT(registry.GetTracePoints(flow).capacity(), 3u);
  EXPECT_EQ(AllocationsOf([&] { registry.Trace(flow, point, true); }), 1u);
  auto own = std::make_shared<trace::TracePoint>(point, true);
  registry.Trace(flow, own);  // capacity 8 after this: room for the next
  EXPECT_GT(registry.GetTracePoints(flow).capacity(), 5u);
  EXPECT_EQ(AllocationsOf([&] { registry.Trace(flow, own); }), 0u);
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
