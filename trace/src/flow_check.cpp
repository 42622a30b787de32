#include "trace/src/flow_check.h"

#include "trace/src/flow_check_impl.h"

namespace kelpwood {
namespace trace {

using check_impl::Check;

// Exported from the shared object (the declaration says so), and linked from
// this module into the tools, which name codes without the registry.
const char* FlowCheckCodeName(FlowCheckCode code) noexcept {
  switch (code) {
    case FlowCheckCode::PASSED:
      return "PASSED";
    case FlowCheckCode::POINT_FAILED:
      return "POINT_FAILED";
    case FlowCheckCode::POINT_INVALID:
      return "POINT_INVALID";
    case FlowCheckCode::POINT_DUPLICATED:
      return "POINT_DUPLICATED";
    case FlowCheckCode::POINT_MISSING:
      return "POINT_MISSING";
    case FlowCheckCode::ORDER_ERROR:
      return "ORDER_ERROR";
    case FlowCheckCode::FLOW_NOT_FOUND:
      return "FLOW_NOT_FOUND";
    case FlowCheckCode::POINT_LATE:
      return "POINT_LATE";
  }
  return "UNKNOWN";
}

CheckTrail CheckRecording(const TraceFlowCfg& cfg,
                          const std::vector<RunPoint>& recorded) {
  return Check(cfg, nullptr, recorded);
}

CheckTrail CheckRecording(const TraceFlowCfg& cfg, const FlowSteps* steps,
                          const std::vector<RunPoint>& recorded) {
  return Check(cfg, steps, recorded);
}

}  // namespace trace
}  // namespace kelpwood
