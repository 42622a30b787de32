// Costs of recording and checking, each beside a floor: the least work any
// implementation of the same operation must do, built from the same parts.
//
//   Trace(flow, point, true)   vs  lock + find + make_shared + push_back
//   Trace into an unknown flow
//   CheckFlow of a passing flow (10k, 100k points) vs hash-index + lookups +
//                                                   one ordered walk
//   Trace from two threads into one flow
//   CheckFlow of a steps flow (10k recordings) vs CheckFlow of a flat
//   100-point flow over the same recordings: at most 2x for 100 steps, 5x
//   for nested repeats and alternatives
//
// The logger is built with no sink (SPDLOG_STDOUT=false) and threshold info:
// every message is counted but none is written, as in a host that logs only
// to a journal it has switched off.

#include <benchmark/benchmark.h>
#include <kelpwood/flow_trace.h>
#include <malloc.h>
#include <stdlib.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using kelpwood::trace::FlowCheckCode;
using kelpwood::trace::FlowStep;
using kelpwood::trace::FlowTrace;
using kelpwood::trace::TraceFlowCfg;
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

// The flow grammar against today's check of a flat flow over the very same
// recordings. After the measured loop each benchmark times both checks
// alternately and reports vs_flat, the grammar's time over the flat one's;
// above its limit the benchmark fails.
struct GrammarFlows {
  GrammarFlows(const std::string& name, std::vector<FlowStep> steps,
               const std::vector<std::string>& recorded)
      : grammar("bench.grammar." + name), flat("bench.flat." + name) {
    FlowTrace& registry = FlowTrace::GetInstance();
    auto cfg = std::make_shared<TraceFlowCfg>();
    cfg->flow_id = grammar;
    registry.RegisterStepsFlow(cfg, std::move(steps));
    std::vector<std::shared_ptr<TracePointCfg>> points;
    for (std::size_t i = 0; i < 100; ++i) {
      points.push_back(kelpwood::trace::Critical("p" + std::to_string(i)));
    }
    registry.RegisterTraceFlow(flat, points, "bench", "", true);
    for (const std::string& id : recorded) {
      registry.Trace(grammar, id, true);
      registry.Trace(flat, id, true);
    }
  }
  ~GrammarFlows() {
    FlowTrace::GetInstance().RemoveTraceFlow(grammar);
    FlowTrace::GetInstance().RemoveTraceFlow(flat);
  }
  std::string grammar;
  std::string flat;
};

double SecondsOf(FlowTrace& registry, const std::string& flow, int times) {
  // Thread CPU time: the host is shared, and waiting is no cost of a check.
  timespec start{};
  timespec end{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  for (int i = 0; i < times; ++i) {
    benchmark::DoNotOptimize(registry.CheckFlow(flow));
  }
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
}

void RunGrammar(benchmark::State& state, const GrammarFlows& flows,
                double limit) {
  FlowTrace& registry = FlowTrace::GetInstance();
  for (auto _ : state) {
    if (registry.CheckFlow(flows.grammar)->result != FlowCheckCode::PASSED) {
      state.SkipWithError("the grammar flow did not pass");
      return;
    }
  }
  // The median of interleaved rounds: a shared host slows single rounds.
  std::vector<double> ratios;
  for (int round = 0; round < 15; ++round) {
    const double grammar = SecondsOf(registry, flows.grammar, 40);
    ratios.push_back(grammar / SecondsOf(registry, flows.flat, 40));
  }
  std::nth_element(ratios.begin(), ratios.begin() + 7, ratios.end());
  const double ratio = ratios[7];
  state.counters["vs_flat"] = ratio;
  state.counters["limit"] = limit;
  if (ratio > limit) {
    state.SkipWithError(
        ("slower than its limit: vs_flat=" + std::to_string(ratio)).c_str());
  }
  state.SetItemsProcessed(state.iterations() * 10'000);
}

// 100 steps, each a point repeated 1 to 100 times; 10,000 recordings, each
// point 100 times in a row.
void BM_CheckGrammar100Steps(benchmark::State& state) {
  std::vector<FlowStep> steps;
  std::vector<std::string> recorded;
  for (std::size_t i = 0; i < 100; ++i) {
    const std::string id = "p" + std::to_string(i);
    steps.push_back(kelpwood::trace::Repeat(
        kelpwood::trace::Step(kelpwood::trace::Critical(id)), 1, 100));
    for (int k = 0; k < 100; ++k) recorded.push_back(id);
  }
  const GrammarFlows flows("steps100", std::move(steps), recorded);
  RunGrammar(state, flows, 2.0);
}
BENCHMARK(BM_CheckGrammar100Steps)->Unit(benchmark::kMicrosecond);

// Optional repeats inside alternatives inside a repeat: ten branches, each
// a repeated optional point or a sequence of one; 10,000 recordings that
// switch branch at almost every point.
void BM_CheckGrammarNested(benchmark::State& state) {
  namespace kt = kelpwood::trace;
  std::vector<FlowStep> branches;
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < 10; ++i) {
    const std::string n = std::to_string(i);
    branches.push_back(kt::Repeat(kt::Step(kt::Optional("a" + n)), 0, 5));
    branches.push_back(
        kt::Sequence({kt::Repeat(kt::Step(kt::Optional("b" + n)), 0, 3),
                      kt::Step(kt::Optional("c" + n))}));
    for (const char* kind : {"a", "b", "c"}) ids.push_back(kind + n);
  }
  std::vector<FlowStep> steps = {
      kt::Repeat(kt::OneOf(std::move(branches)), 0, FlowStep::kUnbounded)};
  std::vector<std::string> recorded;
  std::uint32_t seed = 12345;
  for (std::size_t i = 0; i < 10'000; ++i) {
    seed = seed * 1103515245u + 12345u;
    recorded.push_back(ids[(seed >> 16) % ids.size()]);
  }
  const GrammarFlows flows("nested", std::move(steps), recorded);
  RunGrammar(state, flows, 5.0);
}
BENCHMARK(BM_CheckGrammarNested)->Unit(benchmark::kMicrosecond);

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
