// The registry's instantiation of the flow check, over its own points. Only
// the shared object links it: it reads each point's time through
// TracePointTimeNs, which the shared object defines.

#include "trace/src/flow_check.h"
#include "trace/src/flow_check_impl.h"

namespace kelpwood {
namespace trace {

using check_impl::Check;

CheckTrail CheckRecording(
    const TraceFlowCfg& cfg,
    const std::vector<std::shared_ptr<TracePoint>>& recorded) {
  return Check(cfg, nullptr, recorded);
}

CheckTrail CheckRecording(
    const TraceFlowCfg& cfg, const FlowSteps* steps,
    const std::vector<std::shared_ptr<TracePoint>>& recorded) {
  return Check(cfg, steps, recorded);
}

}  // namespace trace
}  // namespace kelpwood
