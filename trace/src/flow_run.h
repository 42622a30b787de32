// One run of a flow as the journal reader assembles it and the timeline
// writers draw it: the configuration, the points recorded by one or more
// processes, and the verdict of the library's own check. Uninstalled: shared
// by the library's journal and timeline code and the tools.

#ifndef KELPWOOD_TRACE_SRC_FLOW_RUN_H_
#define KELPWOOD_TRACE_SRC_FLOW_RUN_H_

#include <kelpwood/flow_trace.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelpwood {
namespace trace {

// One recorded point of a run.
struct RunPoint {
  std::string point_id;
  bool success = true;
  // Nanoseconds since the Unix epoch (system clock).
  std::int64_t time_ns = 0;
  // The recording process; 0 and "" where unknown (an in-process run).
  pid_t pid = 0;
  std::string comm;
  std::vector<std::pair<std::string, std::string>> metadata;
};

// One checked run of one flow.
struct FlowRun {
  // Where the run happened; empty for an in-process run.
  std::string machine_id;
  std::string boot_id;
  std::string flow_id;
  // Unique among the runs of one flow on one machine and boot.
  std::string run_id;
  // The flow's configuration; null when the flow is not configured.
  std::shared_ptr<const TraceFlowCfg> cfg;
  // The flow's grammar when it has steps; null for a flow of flow_points.
  std::shared_ptr<const FlowSteps> steps;
  // Recorded points, in the order the check saw them.
  std::vector<RunPoint> points;
  // The verdict. `fault_point_index` indexes `points` (-1: none);
  // `fault_configured_point_id` and `failure_id` name the configured point at
  // fault ("" and 0: none).
  FlowCheckCode code = FlowCheckCode::PASSED;
  int fault_point_index = -1;
  // The configured point at fault: its position in cfg->flow_points (-1:
  // none) and its id.
  int fault_configured_index = -1;
  std::string fault_configured_point_id;
  std::uint32_t failure_id = 0;
  // Recorded points that the configuration does not name.
  std::uint32_t unexpected_points = 0;
  // The flow's deadline in milliseconds after its first point; 0: none.
  std::uint64_t deadline_ms = 0;
  // Points that may belong to this run but were lost before the journal
  // (publisher drop counts, journald's "Suppressed N messages").
  std::uint64_t possibly_lost_points = 0;
  // What the watch left out to stay bounded: points beyond its cap per run,
  // and metadata pairs beyond its cap per point.
  std::uint64_t points_dropped_by_watch = 0;
  std::uint64_t metadata_dropped_by_watch = 0;
  // Start and end of the run in nanoseconds since the Unix epoch: its first
  // and last points, or the time its deadline ended it.
  std::int64_t start_ns = 0;
  std::int64_t end_ns = 0;
};

// Sets the run's start and end to its earliest and latest points; a run
// without points keeps them as they are.
inline void SpanRunOverItsPoints(FlowRun& run) {
  if (run.points.empty()) return;
  const auto [first, last] =
      std::minmax_element(run.points.begin(), run.points.end(),
                          [](const RunPoint& a, const RunPoint& b) {
                            return a.time_ns < b.time_ns;
                          });
  run.start_ns = first->time_ns;
  run.end_ns = last->time_ns;
}

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_FLOW_RUN_H_
