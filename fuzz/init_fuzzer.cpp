// Feeds arbitrary bytes to FlowTrace::Init through a real file, then checks
// every flow that the bytes may have stored, so that whatever the loader
// builds also goes through the flow check.

#include <fcntl.h>
#include <kelpwood/flow_trace.h>
#include <stdlib.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string& ConfigPath() {
  static std::string path;
  return path;
}

// The flow ids that `text` names, as the loader would read them; empty when
// yaml-cpp rejects the text.
std::vector<std::string> NamedFlowIds(const std::string& text) {
  std::vector<std::string> ids;
  try {
    const YAML::Node root = YAML::Load(text);
    if (!root.IsMap()) return ids;
    const YAML::Node workflows = root["workflows"];
    if (!workflows || !workflows.IsSequence()) return ids;
    for (const YAML::Node& flow : workflows) {
      try {
        if (flow.IsMap() && flow["flow_id"]) {
          ids.push_back(flow["flow_id"].as<std::string>());
        }
      } catch (const YAML::Exception&) {
      }
    }
  } catch (const YAML::Exception&) {
  }
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "critical", 1);
  char pattern[] = "/tmp/kelpwood-fuzz-init-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd < 0) {
    std::perror("mkstemp");
    std::abort();
  }
  close(fd);
  ConfigPath() = pattern;
  std::atexit([] { unlink(ConfigPath().c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int fd = open(ConfigPath().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) std::abort();
  std::size_t written = 0;
  while (written < size) {
    const ssize_t count = write(fd, data + written, size - written);
    if (count <= 0) std::abort();
    written += static_cast<std::size_t>(count);
  }
  close(fd);

  kelpwood::trace::FlowTrace& registry =
      kelpwood::trace::FlowTrace::GetInstance();
  registry.Init(ConfigPath());

  // Check, then forget, what this input stored, so that the registry does
  // not grow over millions of inputs.
  for (const std::string& flow_id : NamedFlowIds(text)) {
    registry.Trace(flow_id, flow_id, true);
    registry.CheckFlow(flow_id);
    registry.RemoveTraceFlow(flow_id);
  }
  registry.CheckFlow("");
  registry.ResetFlow("");
  return 0;
}
