// Costs of recording and checking, each beside a floor: the least work any
// implementation of the same operation must do, built from the same parts.
//
//   Trace(flow, point, true)   vs  lock + find + make_shared + push_back
//   Trace into an unknown flow
//   CheckFlow of a passing flow (10k, 100k points) vs hash-index + lookups +
//                                                   one ordered walk
//   Trace from two threads into one flow
//
// The logger is built with no sink (SPDLOG_STDOUT=false) and threshold info:
// every message is counted but none is written, as in a host that logs only
// to a journal it has switched off.

#include <benchmark/benchmark.h>
#include <kelpwood/flow_trace.h>
#include <malloc.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using kelpwood::trace::FlowCheckCode;
using kelpwood::trace::FlowTrace;
using kelpwood::trace::TracePoint;
using kelpwood::trace::TracePointCfg;

// Queues are emptied this often so that memory stays bounded; the floors
// empty theirs at the same rate, so both pay the same deallocations.
constexpr std::size_t kResetEvery = 4096;

void BM_Trace(benchmark::State& state) {
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "bench.trace";
  const std::string point = "point";
  registry.RegisterTraceFlow(flow, {}, "bench", "", true);
  std::size_t recorded = 0;
  for (auto _ : state) {
    registry.Trace(flow, point, true);
    if (++recorded == kResetEvery) {
      registry.ResetFlow(flow);
      recorded = 0;
    }
  }
  registry.RemoveTraceFlow(flow);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Trace);

// The floor of Trace: one lock, one hash lookup, one allocation of the point
// with its count (its constructor reads system_clock::now), one append.
void BM_TraceFloor(benchmark::State& state) {
  std::mutex mutex;
  std::unordered_map<std::string, std::vector<std::shared_ptr<TracePoint>>>
      queues;
  const std::string flow = "bench.trace";
  const std::string point = "point";
  queues[flow];
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(mutex);
    auto entry = queues.find(flow);
    auto& queue = entry->second;
    auto made = std::make_shared<TracePoint>(point, true);
    made->index = static_cast<std::int32_t>(queue.size());
    queue.push_back(std::move(made));
    if (queue.size() == kResetEvery) queue.clear();
  }
  benchmark::DoNotOptimize(queues);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceFloor);

void BM_TraceUnknownFlow(benchmark::State& state) {
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "bench.unknown";
  const std::string point = "point";
  for (auto _ : state) registry.Trace(flow, point, true);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceUnknownFlow);

// Two threads record into one flow: throughput under contention.
void BM_TraceTwoThreads(benchmark::State& state) {
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "bench.shared";
  const std::string point = "point";
  if (state.thread_index() == 0) {
    registry.RegisterTraceFlow(flow, {}, "bench", "", true);
  }
  std::size_t recorded = 0;
  for (auto _ : state) {
    registry.Trace(flow, point, true);
    if (++recorded == kResetEvery) {
      if (state.thread_index() == 0) registry.ResetFlow(flow);
      recorded = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceTwoThreads)->Threads(2)->UseRealTime();

// A passing flow of n critical points, recorded once in configured order.
struct PassingFlow {
  explicit PassingFlow(std::size_t count)
      : flow("bench.check." + std::to_string(count)) {
    for (std::size_t i = 0; i < count; ++i) {
      auto point = std::make_shared<TracePointCfg>();
      point->point_id = "step-" + std::to_string(i);
      point->is_critical = true;
      configured.push_back(point);
    }
    FlowTrace& registry = FlowTrace::GetInstance();
    registry.RegisterTraceFlow(flow, configured, "bench", "", true);
    for (const auto& point : configured) {
      registry.Trace(flow, point->point_id, true);
    }
  }
  ~PassingFlow() { FlowTrace::GetInstance().RemoveTraceFlow(flow); }

  std::string flow;
  std::vector<std::shared_ptr<TracePointCfg>> configured;
};

void BM_CheckFlow(benchmark::State& state) {
  PassingFlow passing(static_cast<std::size_t>(state.range(0)));
  FlowTrace& registry = FlowTrace::GetInstance();
  for (auto _ : state) {
    auto result = registry.CheckFlow(passing.flow);
    if (result->result != FlowCheckCode::PASSED) {
      state.SkipWithError("the flow did not pass");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CheckFlow)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond);

// The floor of a check on the same objects: index the recorded ids in a hash
// table, look every configured id up once, walk both sequences in order.
void BM_CheckFlowFloor(benchmark::State& state) {
  PassingFlow passing(static_cast<std::size_t>(state.range(0)));
  const auto& recorded = FlowTrace::GetInstance().GetTracePoints(passing.flow);
  const auto& configured = passing.configured;
  for (auto _ : state) {
    std::unordered_map<std::string_view, std::size_t> index;
    index.reserve(recorded.size());
    for (std::size_t i = 0; i < recorded.size(); ++i) {
      index.emplace(recorded[i]->point_id, i);
    }
    std::size_t found = 0;
    for (const auto& point : configured) {
      found += index.find(point->point_id) != index.end();
    }
    std::size_t matched = 0;
    for (std::size_t c = 0, j = 0; c < configured.size() && j < recorded.size();
         ++c) {
      if (configured[c]->point_id == recorded[j]->point_id) ++j, ++matched;
    }
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(matched);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CheckFlowFloor)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Before the first message builds the logger: no sink, threshold info.
  ::setenv("SPDLOG_STDOUT", "false", 1);
  ::setenv("SPDLOG_SYSTEMD", "false", 1);
  ::setenv("SPDLOG_LEVEL", "info", 1);

  // Pin the heap regime. By default glibc returns freed memory at the top of
  // the heap to the kernel (trim) and serves large blocks with fresh mmaps;
  // every benchmark iteration then faults the same pages in again, which
  // moves both the measured code and its floor by tens of percent from run
  // to run. Keeping freed memory in the process makes the figures the cost
  // of the code, not of the page faults.
  // 32 MiB is the largest mmap threshold glibc accepts on 64-bit systems.
  if (::mallopt(M_TRIM_THRESHOLD, 1 << 30) != 1 ||
      ::mallopt(M_TOP_PAD, 64 << 20) != 1 ||
      ::mallopt(M_MMAP_THRESHOLD, 32 << 20) != 1) {
    std::fputs("mallopt refused the heap settings\n", stderr);
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
