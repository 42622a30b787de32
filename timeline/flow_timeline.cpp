#include <errno.h>
#include <kelpwood/flow_timeline.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "timeline/timeline_writers.h"
#include "trace/src/flow_run.h"

namespace kelpwood {
namespace trace {

struct FlowTimeline::Runs {
  std::vector<trace::FlowRun> runs;
  // Runs added per flow, for each run's id.
  std::vector<std::pair<std::string, std::uint64_t>> counts;

  std::string NextRunId(const std::string& flow_id) {
    for (auto& [flow, count] : counts) {
      if (flow == flow_id) return std::to_string(++count);
    }
    counts.emplace_back(flow_id, 1);
    return "1";
  }
};

FlowTimeline::FlowTimeline() : runs_(std::make_unique<Runs>()) {}
FlowTimeline::~FlowTimeline() = default;
FlowTimeline::FlowTimeline(FlowTimeline&&) noexcept = default;
FlowTimeline& FlowTimeline::operator=(FlowTimeline&&) noexcept = default;

void FlowTimeline::AddRun(const std::string& flow_id,
                          const FlowCheckResult& result, FlowTrace& registry) {
  if (!runs_) runs_ = std::make_unique<Runs>();  // after a move
  std::vector<std::shared_ptr<TracePoint>> points;
  std::shared_ptr<const TraceFlowCfg> cfg;
  registry.SnapshotFlow(flow_id, points, cfg);

  trace::FlowRun run;
  run.flow_id = flow_id;
  run.run_id = runs_->NextRunId(flow_id);
  run.code = result.result;
  if (cfg) {
    // A deep copy: the host owns the registered configuration and may change
    // it after this call.
    auto copy = std::make_shared<TraceFlowCfg>();
    copy->check_order = cfg->check_order;
    copy->flow_id = cfg->flow_id;
    copy->flow_name = cfg->flow_name;
    copy->description = cfg->description;
    for (const auto& point : cfg->flow_points) {
      if (point) {
        copy->flow_points.push_back(std::make_shared<TracePointCfg>(*point));
      }
    }
    run.cfg = std::move(copy);
    // Asked only with a configuration: from a flow handler the snapshot is
    // refused (no configuration), and this call would wait for the mutex
    // that the handler's CheckFlow holds.
    run.deadline_ms = registry.GetFlowDeadline(flow_id);
    run.steps = registry.StepsOf(flow_id);  // immutable: shared, not copied
  }

  std::unordered_set<std::string> configured;
  if (run.cfg) {
    for (const auto& point : run.cfg->flow_points) {
      configured.insert(point->point_id);
    }
  }
  const pid_t pid = ::getpid();
  const std::string comm = program_invocation_short_name;
  run.points.reserve(points.size());
  for (std::size_t position = 0; position < points.size(); ++position) {
    const TracePoint* point = points[position].get();
    if (point == nullptr) continue;
    if (point == result.trace_point.get()) {
      run.fault_point_index = static_cast<int>(run.points.size());
    }
    trace::RunPoint& copy = run.points.emplace_back();
    copy.point_id = point->point_id;
    copy.success = point->success;
    copy.time_ns = TracePointTimeNs(*point);
    copy.pid = pid;
    copy.comm = comm;
    copy.metadata = point->metadata;
    if (configured.count(copy.point_id) == 0) ++run.unexpected_points;
  }
  if (result.point_cfg) {
    run.fault_configured_point_id = result.point_cfg->point_id;
    run.failure_id = result.point_cfg->failure_id;
  }
  trace::SpanRunOverItsPoints(run);
  runs_->runs.push_back(std::move(run));
}

std::size_t FlowTimeline::run_count() const noexcept {
  return runs_ ? runs_->runs.size() : 0;
}

std::string FlowTimeline::Render(TimelineFormat format) const {
  static const std::vector<trace::FlowRun> kNoRuns;
  return timeline::RenderTimeline(runs_ ? runs_->runs : kNoRuns, format);
}

bool FlowTimeline::Write(const std::string& path, TimelineFormat format,
                         std::string* error) const {
  std::string reason;
  if (timeline::WriteTimelineFile(path, Render(format), reason)) return true;
  if (error != nullptr) *error = std::move(reason);
  return false;
}

}  // namespace trace
}  // namespace kelpwood
