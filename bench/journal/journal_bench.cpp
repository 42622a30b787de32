// Costs of publishing device-wide flows, each beside a floor built from the
// same parts in the same run:
//
//   Trace into a device-wide flow  vs  Trace into a process-wide flow plus
//                                      one raw sd_journal_sendv of the same
//                                      fields (target: at most 1.1x)
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

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "journal/flow_publishing.h"
#include "journal/message_ids.h"

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
