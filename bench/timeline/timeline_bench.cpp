// Export cost of timelines: 100 runs of 100 points each, as Chrome
// trace-event JSON and as the HTML page, beside a floor: one formatted line
// per point with its id and time, the least any text export of the same runs
// writes. The "bytes" counter is the document's size.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "timeline/timeline_writers.h"
#include "trace/src/flow_run.h"

namespace {

using kelpwood::trace::FlowRun;
using kelpwood::trace::TimelineFormat;

constexpr int kRuns = 100;
constexpr int kPoints = 100;

// Runs of one configured flow recorded by three processes; every tenth run
// fails at a point, and each run has one point outside the configuration.
std::vector<FlowRun> Runs() {
  auto cfg = std::make_shared<kelpwood::trace::TraceFlowCfg>();
  cfg->flow_id = "bench.flow";
  for (int i = 0; i + 1 < kPoints; ++i) {
    auto point = std::make_shared<kelpwood::trace::TracePointCfg>();
    point->point_id = fmt::format("step-{}", i);
    point->is_critical = true;
    point->failure_id = static_cast<std::uint32_t>(1000 + i);
    cfg->flow_points.push_back(point);
  }
  std::vector<FlowRun> runs(kRuns);
  std::int64_t now = 1'700'000'000'000'000'000;
  for (int r = 0; r < kRuns; ++r) {
    FlowRun& run = runs[r];
    run.flow_id = "bench.flow";
    run.run_id = std::to_string(r + 1);
    run.cfg = cfg;
    run.deadline_ms = 50;
    for (int i = 0; i < kPoints; ++i) {
      auto& point = run.points.emplace_back();
      point.point_id =
          i + 1 < kPoints ? fmt::format("step-{}", i) : "extra.point";
      point.time_ns = now += 123'457;
      point.pid = 1000 + i % 3;
      point.comm = fmt::format("proc-{}", i % 3);
    }
    run.unexpected_points = 1;
    if (r % 10 == 0) {
      run.points[40].success = false;
      run.code = kelpwood::trace::FlowCheckCode::POINT_FAILED;
      run.fault_point_index = 40;
      run.fault_configured_point_id = "step-40";
      run.failure_id = 1040;
    }
    run.start_ns = run.points.front().time_ns;
    run.end_ns = run.points.back().time_ns;
  }
  return runs;
}

void Export(benchmark::State& state, TimelineFormat format) {
  const std::vector<FlowRun> runs = Runs();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string document =
        kelpwood::timeline::RenderTimeline(runs, format);
    bytes = document.size();
    benchmark::DoNotOptimize(document.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * kRuns * kPoints);
}

void BM_ExportChrome(benchmark::State& state) {
  Export(state, TimelineFormat::kChrome);
}
BENCHMARK(BM_ExportChrome)->Unit(benchmark::kMillisecond);

void BM_ExportHtml(benchmark::State& state) {
  Export(state, TimelineFormat::kHtml);
}
BENCHMARK(BM_ExportHtml)->Unit(benchmark::kMillisecond);

void BM_ExportFloor(benchmark::State& state) {
  const std::vector<FlowRun> runs = Runs();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string document;
    document.reserve(runs.size() * kPoints * 32);
    for (const FlowRun& run : runs) {
      for (const auto& point : run.points) {
        fmt::format_to(std::back_inserter(document), "{} {}\n", point.point_id,
                       point.time_ns);
      }
    }
    bytes = document.size();
    benchmark::DoNotOptimize(document.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * kRuns * kPoints);
}
BENCHMARK(BM_ExportFloor)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
