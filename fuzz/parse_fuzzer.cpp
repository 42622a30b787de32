// Feeds arbitrary bytes to yaml-cpp and hands the document to the two parse
// operations: the root itself as a flow and as a point, then each workflows
// entry and each of its points.

#include <kelpwood/flow_trace.h>
#include <stdlib.h>
#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "critical", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  YAML::Node root;
  try {
    root = YAML::Load(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const YAML::Exception&) {
    return 0;
  }
  kelpwood::trace::FlowTrace& registry =
      kelpwood::trace::FlowTrace::GetInstance();
  // The parse operations promise to turn every yaml-cpp error into an empty
  // result: any exception that reaches this frame is a finding.
  registry.parseTraceFlowCfg(root);
  registry.parseTracePointCfg(root);
  if (!root.IsMap()) return 0;
  const YAML::Node workflows = root["workflows"];
  if (!workflows || !workflows.IsSequence()) return 0;
  for (const YAML::Node& flow : workflows) {
    registry.parseTraceFlowCfg(flow);
    if (!flow.IsMap()) continue;
    const YAML::Node points = flow["flow_points"];
    if (!points || !points.IsSequence()) continue;
    for (const YAML::Node& point : points) registry.parseTracePointCfg(point);
  }
  return 0;
}
