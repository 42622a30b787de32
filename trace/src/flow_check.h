// The flow check as a pure function: a flow's configuration and a recording
// in, the outcome and how it was reached out. No lock, no log, no journal, no
// handler. FlowTrace::CheckFlow narrates the trail in its log; the run engine,
// the tools and the timelines use the outcome alone.
//
//   CheckTrail trail = CheckRecording(cfg, points);
//   if (trail.code != FlowCheckCode::PASSED) ...
//   cfg.flow_points[trail.fault_configured]

#ifndef KELPWOOD_TRACE_SRC_FLOW_CHECK_H_
#define KELPWOOD_TRACE_SRC_FLOW_CHECK_H_

#include <kelpwood/flow_trace.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "trace/src/flow_run.h"
#include "trace/src/flow_steps.h"

namespace kelpwood {
namespace trace {

// The outcome of one check and the comparison behind it.
struct CheckTrail {
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  FlowCheckCode code = FlowCheckCode::PASSED;
  // True when the presence pass decided (POINT_FAILED, or POINT_MISSING for
  // a critical point never recorded); the leftovers were then not looked at.
  bool decided_by_presence = false;
  // Positions of the recorded and the configured point at fault; kNone where
  // the outcome names none.
  std::size_t fault_recorded = kNone;
  std::size_t fault_configured = kNone;
  // Where the order pass broke off: the recorded point at the mismatch, also
  // when the outcome names no recorded point (a missing one); kNone when the
  // order pass found no mismatch.
  std::size_t order_mismatch_recorded = kNone;
  // Recordings that no configured point took, in recording order (after a
  // presence pass that did not decide). For steps: the recordings before the
  // fault that no step took.
  std::vector<std::size_t> leftovers;
  // The failure_id that the outcome reports: the configured point's own, or
  // for a missing step of a grammar the outermost group's that sets one.
  std::uint32_t failure_id = 0;
  // POINT_LATE: the recording the late one is measured from (the previous
  // step's last one) and the step's budget.
  std::size_t late_after_recorded = kNone;
  std::uint64_t late_budget_ms = 0;
  // Steps only: no later recording can change the outcome, as with a fault
  // found at a recording, or a pass with every step taken as often as it
  // may be. The watch ends such a run at once.
  bool settled = false;
};

// Checks `recorded` (in recording order) against `cfg`: a presence pass that
// gives each configured point its latest recording, then, with check_order,
// an order pass. Null configured points are skipped. Linear in the number of
// recorded plus configured points.
CheckTrail CheckRecording(
    const TraceFlowCfg& cfg,
    const std::vector<std::shared_ptr<TracePoint>>& recorded);
CheckTrail CheckRecording(const TraceFlowCfg& cfg,
                          const std::vector<RunPoint>& recorded);

// With `steps` (the flow's grammar), checks the recording against the steps
// instead (README, "A flow grammar"): one pass in recording order, the first
// fault decides. `fault_configured` indexes steps->points, which is the
// flow's flow_points as read or registered. Null `steps`: as above. Linear
// in the recording: each recording moves through at most the steps once.
CheckTrail CheckRecording(
    const TraceFlowCfg& cfg, const FlowSteps* steps,
    const std::vector<std::shared_ptr<TracePoint>>& recorded);
CheckTrail CheckRecording(const TraceFlowCfg& cfg, const FlowSteps* steps,
                          const std::vector<RunPoint>& recorded);

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_FLOW_CHECK_H_
