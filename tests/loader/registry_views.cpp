#include "registry_views.h"

#include <kelpwood/flow_trace.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace kelpwood {
namespace testing {

std::string DataPath(const std::string& name) {
  return std::string(KELPWOOD_TEST_DATA_DIR) + "/" + name;
}

std::vector<std::string> ExampleFlowLines() {
  return {
      "[DEBUG] Parsed trace point config: point_id=p1, description=, "
      "is_critical=true",
      "[DEBUG] Parsed trace point config: point_id=p2, description=Second "
      "step, is_critical=false",
      "[DEBUG] Parsed trace flow config: flow_id=demo_flow, flow_name=Demo, "
      "check_order=true, points_count=2"};
}

std::string ConfiguredChain(const std::string& flow_id) {
  TakeLogLines();
  trace::FlowTrace::GetInstance().CheckFlow(flow_id);
  const std::string prefix =
      "[INFO] Flow '" + flow_id + "' trace point configs: ";
  std::string chain = "NOT FOUND";
  for (const std::string& line : TakeLogLines()) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      chain = line.substr(prefix.size());
    }
  }
  return chain;
}

bool HasQueue(const std::string& flow_id) {
  TakeLogLines();
  trace::FlowTrace::GetInstance().GetTracePoints(flow_id);
  return TakeLogLines().empty();
}

}  // namespace testing
}  // namespace kelpwood
