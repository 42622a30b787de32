// Costs of publishing device-wide flows, each beside a floor built from the
// same parts in the same run:
//
//   Trace into a device-wide flow  vs  Trace into a process-wide flow plus
//                                      one raw sd_journal_sendv of the same
//                                      fields (target: at most 1.1x)
//   One thread flooding a device-wide flow for 3 s
//                                  vs  a blocking sd_journal_sendv loop of the
//                                      same fields for 3 s into the same
//                                      journald (targets: points stored at
//                                      least half the floor's, drop reports
//                                      at most 1% of the entries stored)
//   Trace into a process-wide flow while device-wide flows exist
//                                  vs  lock + find + make_shared + push_back
//
// The device-wide pair needs a listening journald (run as root, e.g. under
// systemd); without one both are skipped. journald's rate limit discards
// most of the entries after the first burst, after reading them: both sides
// pay the same socket costs. "dropped" counts the points the writer could
// not hand over (journald's queue full), which the floor would have waited
// for instead.

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <benchmark/benchmark.h>
#include <errno.h>
#include <kelpwood/flow_trace.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "journal/flow_publishing.h"
#include "journal/message_ids.h"
#ifdef KELPWOOD_BENCH_STARTS_JOURNALD
#include "journald.h"
#endif

namespace {

using kelpwood::trace::FlowScope;
using kelpwood::trace::FlowTrace;
using kelpwood::trace::TracePoint;

// Queues are emptied this often so that memory stays bounded.
constexpr std::size_t kResetEvery = 4096;

bool JournaldListens() {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/run/systemd/journal/socket",
               sizeof address.sun_path - 1);
  const bool listening =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == 0;
  ::close(fd);
  return listening;
}

void BM_TraceDeviceWide(benchmark::State& state) {
  if (!JournaldListens()) {
    state.SkipWithError("no journald listens on /run/systemd/journal/socket");
    return;
  }
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "bench.device";
  const std::string point = "point";
  registry.RegisterTraceFlow(flow, {}, "bench", "", true);
  registry.SetFlowScope(flow, FlowScope::DEVICE);
  std::size_t recorded = 0;
  for (auto _ : state) {
    registry.Trace(flow, point, true);
    if (++recorded == kResetEvery) {
      registry.SetFlowScope(flow, FlowScope::PROCESS);
      registry.ResetFlow(flow);
      registry.SetFlowScope(flow, FlowScope::DEVICE);
      recorded = 0;
    }
  }
  state.counters["dropped"] =
      static_cast<double>(kelpwood::journal::UnreportedDroppedPoints(flow));
  kelpwood::journal::ReportDroppedPoints();
  registry.SetFlowScope(flow, FlowScope::PROCESS);
  registry.RemoveTraceFlow(flow);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceDeviceWide);

// The floor: today's Trace into a process-wide flow, then the same fields
// formatted and sent with one sd_journal_sendv.
void BM_TraceDeviceWideFloor(benchmark::State& state) {
  if (!JournaldListens()) {
    state.SkipWithError("no journald listens on /run/systemd/journal/socket");
    return;
  }
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "bench.device.floor";
  const std::string point = "point";
  registry.RegisterTraceFlow(flow, {}, "bench", "", true);
  const auto& queue = registry.GetTracePoints(flow);
  const std::string message_id =
      std::string("MESSAGE_ID=") + kelpwood::journal::kPointPublished;
  const std::string identifier =
      std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name;
  std::size_t recorded = 0;
  std::string message, flow_field, point_field, timestamp_field, index_field;
  for (auto _ : state) {
    registry.Trace(flow, point, true);
    const TracePoint& traced = *queue.back();
    message = "MESSAGE=Flow '" + flow + "' point '" + traced.point_id + "' ok";
    flow_field = "FLOW_ID=" + flow;
    point_field = "POINT_ID=" + traced.point_id;
    timestamp_field =
        "POINT_TIMESTAMP_NS=" + std::to_string(traced.timestamp * 1'000'000);
    index_field = "POINT_INDEX=" + std::to_string(traced.index);
    const iovec fields[] = {
        {message.data(), message.size()},
        {const_cast<char*>(message_id.data()), message_id.size()},
        {const_cast<char*>("PRIORITY=6"), 10},
        {const_cast<char*>(identifier.data()), identifier.size()},
        {flow_field.data(), flow_field.size()},
        {point_field.data(), point_field.size()},
        {const_cast<char*>("POINT_SUCCESS=1"), 15},
        {timestamp_field.data(), timestamp_field.size()},
        {index_field.data(), index_field.size()},
    };
    benchmark::DoNotOptimize(
        sd_journal_sendv(fields, sizeof fields / sizeof fields[0]));
    if (++recorded == kResetEvery) {
      registry.ResetFlow(flow);
      recorded = 0;
    }
  }
  registry.RemoveTraceFlow(flow);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceDeviceWideFloor);

constexpr std::chrono::seconds kFloodLength(3);

// The entries that journald stored for `flow`: points and drop reports.
struct Stored {
  std::uint64_t points = 0;
  std::uint64_t reports = 0;
};

// Sends a marker with a blocking send and waits until journald stored it,
// then counts the entries of each flow: everything sent before the marker is
// stored before it.
std::vector<Stored> CountStored(const std::vector<std::string>& flows) {
  const std::string marker = "BENCH_MARKER=" + flows.front();
  sd_journal_send("MESSAGE=flood counted", marker.c_str(), nullptr);
  std::vector<Stored> counts(flows.size());
  for (int attempt = 0; attempt < 600; ++attempt) {
    sd_journal* journal = nullptr;
    if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) break;
    sd_journal_add_match(journal, marker.data(), marker.size());
    const bool arrived = sd_journal_next(journal) > 0;
    sd_journal_flush_matches(journal);
    for (std::size_t i = 0; arrived && i < flows.size(); ++i) {
      const std::string match = "FLOW_ID=" + flows[i];
      sd_journal_flush_matches(journal);
      sd_journal_add_match(journal, match.data(), match.size());
      sd_journal_seek_head(journal);
      while (sd_journal_next(journal) > 0) {
        const void* data = nullptr;
        std::size_t length = 0;
        const bool report =
            sd_journal_get_data(journal, "MESSAGE_ID", &data, &length) >= 0 &&
            std::string(static_cast<const char*>(data), length) ==
                std::string("MESSAGE_ID=") + kelpwood::journal::kPointsDropped;
        ++(report ? counts[i].reports : counts[i].points);
      }
    }
    sd_journal_close(journal);
    if (arrived) return counts;
    ::usleep(50'000);
  }
  return counts;
}

// One thread publishes as fast as it can while journald stores what it can:
// what counts is how many points journald stored, and how few of its entries
// are drop reports. The floor sends the same fields with a blocking
// sd_journal_sendv, which waits for journald instead of dropping.
void BM_FloodDeviceWide(benchmark::State& state) {
#ifdef KELPWOOD_BENCH_STARTS_JOURNALD
  kelpwood_test::JournalTestLock lock;
  kelpwood_test::Journald journald;
  if (!journald.WaitUntilListening(std::chrono::seconds(5))) {
    state.SkipWithError(("no journald: " + journald.Error()).c_str());
    return;
  }
#else
  if (!JournaldListens()) {
    state.SkipWithError("no journald listens on /run/systemd/journal/socket");
    return;
  }
#endif
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "bench.flood." + std::to_string(::getpid());
  const std::string raw_flow = flow + ".raw";
  const std::string point = "point";
  const std::string message =
      "MESSAGE=Flow '" + raw_flow + "' point 'point' ok";
  const std::string message_id =
      std::string("MESSAGE_ID=") + kelpwood::journal::kPointPublished;
  const std::string identifier =
      std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name;
  const std::string flow_field = "FLOW_ID=" + raw_flow;
  std::uint64_t traced = 0;
  std::uint64_t raw_sent = 0;
  double ours_s = 0;
  double raw_s = 0;
  for (auto _ : state) {
    registry.RegisterTraceFlow(flow, {}, "bench", "", true);
    registry.SetFlowScope(flow, FlowScope::DEVICE);
    auto start = std::chrono::steady_clock::now();
    auto end = start + kFloodLength;
    std::size_t recorded = 0;
    for (auto now = start; now < end; now = std::chrono::steady_clock::now()) {
      for (int i = 0; i < 64; ++i, ++traced) {
        registry.Trace(flow, point, true);
        if (++recorded == kResetEvery) {
          registry.SetFlowScope(flow, FlowScope::PROCESS);
          registry.ResetFlow(flow);
          registry.SetFlowScope(flow, FlowScope::DEVICE);
          recorded = 0;
        }
      }
    }
    ours_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    for (int tries = 0; tries < 5000; ++tries) {
      if (kelpwood::journal::ReportDroppedPoints()) break;
      ::usleep(1000);
    }
    registry.SetFlowScope(flow, FlowScope::PROCESS);
    registry.RemoveTraceFlow(flow);

    std::string timestamp_field, index_field;
    start = std::chrono::steady_clock::now();
    end = start + kFloodLength;
    for (auto now = start; now < end; now = std::chrono::steady_clock::now()) {
      for (int i = 0; i < 64; ++i, ++raw_sent) {
        timestamp_field = "POINT_TIMESTAMP_NS=" + std::to_string(raw_sent);
        index_field = "POINT_INDEX=" + std::to_string(raw_sent % kResetEvery);
        const iovec fields[] = {
            {const_cast<char*>(message.data()), message.size()},
            {const_cast<char*>(message_id.data()), message_id.size()},
            {const_cast<char*>("PRIORITY=6"), 10},
            {const_cast<char*>(identifier.data()), identifier.size()},
            {const_cast<char*>(flow_field.data()), flow_field.size()},
            {const_cast<char*>("POINT_ID=point"), 14},
            {const_cast<char*>("POINT_SUCCESS=1"), 15},
            {timestamp_field.data(), timestamp_field.size()},
            {index_field.data(), index_field.size()},
        };
        benchmark::DoNotOptimize(
            sd_journal_sendv(fields, sizeof fields / sizeof fields[0]));
      }
    }
    raw_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
  }
  const std::vector<Stored> stored = CountStored({flow, raw_flow});
  const double ours_rate = static_cast<double>(stored[0].points) / ours_s;
  const double raw_rate = static_cast<double>(stored[1].points) / raw_s;
  state.counters["traced_per_s"] = static_cast<double>(traced) / ours_s;
  state.counters["stored_per_s"] = ours_rate;
  state.counters["floor_stored_per_s"] = raw_rate;
  state.counters["stored_vs_floor"] = raw_rate > 0 ? ours_rate / raw_rate : 0;
  state.counters["report_share"] =
      static_cast<double>(stored[0].reports) /
      static_cast<double>(
          std::max<std::uint64_t>(1, stored[0].points + stored[0].reports));
  state.counters["floor_sent"] = static_cast<double>(raw_sent);
  state.counters["floor_stored"] = static_cast<double>(stored[1].points);
}
BENCHMARK(BM_FloodDeviceWide)->Iterations(1)->Unit(benchmark::kSecond);

// Process-wide tracing while another flow is device-wide: the publishing
// check is then one hash lookup more than with no device-wide flow at all.
void BM_TraceProcessWide(benchmark::State& state) {
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = "bench.process";
  const std::string point = "point";
  registry.RegisterTraceFlow(flow, {}, "bench", "", true);
  registry.SetFlowScope("bench.other.device", FlowScope::DEVICE);
  std::size_t recorded = 0;
  for (auto _ : state) {
    registry.Trace(flow, point, true);
    if (++recorded == kResetEvery) {
      registry.ResetFlow(flow);
      recorded = 0;
    }
  }
  registry.SetFlowScope("bench.other.device", FlowScope::PROCESS);
  registry.RemoveTraceFlow(flow);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceProcessWide);

// The floor of Trace, as in the flow-tracing benchmark: one lock, one hash
// lookup, one allocation of the point, one append.
void BM_TraceProcessWideFloor(benchmark::State& state) {
  std::mutex mutex;
  std::unordered_map<std::string, std::vector<std::shared_ptr<TracePoint>>>
      queues;
  const std::string flow = "bench.process";
  const std::string point = "point";
  queues[flow];
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(mutex);
    auto& queue = queues.find(flow)->second;
    auto made = std::make_shared<TracePoint>(point, true);
    made->index = static_cast<std::int32_t>(queue.size());
    queue.push_back(std::move(made));
    if (queue.size() == kResetEvery) queue.clear();
  }
  benchmark::DoNotOptimize(queues);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceProcessWideFloor);

}  // namespace

int main(int argc, char** argv) {
  // Before the first message builds the logger: no sink, threshold info.
  ::setenv("SPDLOG_STDOUT", "false", 1);
  ::setenv("SPDLOG_SYSTEMD", "false", 1);
  ::setenv("SPDLOG_LEVEL", "info", 1);
  // The same heap regime as the flow-tracing benchmark, for the same reason:
  // freed pages are kept rather than faulted in again every iteration.
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
