#include "library_log.h"

#include <kelpwood/logger.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>
#include <stdlib.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli.h"

namespace kelpwood {
namespace flows_tool {
namespace {

class ErrorCaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(errors_);
    return taken;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    if (message.level != spdlog::level::err) return;
    std::string text(message.payload.data(), message.payload.size());
    static const std::string kTag = "[ERROR] ";
    const std::size_t tag = text.find(kTag);
    if (tag != std::string::npos) text.erase(0, tag + kTag.size());
    errors_.push_back(std::move(text));
  }
  void flush_() override {}

 private:
  std::vector<std::string> errors_;
};

std::shared_ptr<ErrorCaptureSink>& CaptureSink() {
  static std::shared_ptr<ErrorCaptureSink> sink =
      std::make_shared<ErrorCaptureSink>();
  return sink;
}

}  // namespace

void SetUpLibraryLog(bool verbose) {
  if (verbose) {
    // Whatever the user set wins; unset variables get values that show the
    // loader's reasoning without the logger's complaints about them.
    setenv("SPDLOG_STDOUT", "true", 0);
    setenv("SPDLOG_SYSTEMD", "false", 0);
    setenv("SPDLOG_LEVEL", "debug", 0);
  } else {
    setenv("SPDLOG_STDOUT", "false", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "error", 1);
  }
  Logger& record = Logger::Instance();
  if (record.logger) record.logger->sinks().push_back(CaptureSink());
}

std::vector<std::string> TakeLibraryErrors() { return CaptureSink()->Take(); }

void ReportDroppedEntries(const std::string& config_path, std::size_t dropped) {
  if (dropped == 0) return;
  cli::Error(
      "{0}: the loader reported {1} {2}; run 'kelpwood-flows validate {0}' "
      "for details",
      cli::EscapeControls(config_path), dropped,
      dropped == 1 ? "error" : "errors");
}

std::map<std::string, trace::ReadFlow> LoadFlows(const std::string& config_path,
                                                 const std::string& content,
                                                 std::size_t& dropped) {
  using Kind = trace::FlowFileNote::Kind;
  const trace::FlowFile file = trace::ReadFlowText(content);
  // The loader's own words, so that --verbose shows what a device logs.
  for (const trace::FlowFileNote& note : file.notes) {
    switch (note.kind) {
      case Kind::kPointRead:
        KELPWOOD_LOG_DEBUG(
            "Parsed trace point config: point_id={}, description={}, "
            "is_critical={}",
            note.point->point_id, note.point->description,
            note.point->is_critical);
        break;
      case Kind::kFlowRead:
        KELPWOOD_LOG_DEBUG(
            "Parsed trace flow config: flow_id={}, flow_name={}, "
            "check_order={}, points_count={}",
            note.flow->flow_id, note.flow->flow_name, note.flow->check_order,
            note.flow->flow_points.size());
        break;
      case Kind::kPointRefused:
        KELPWOOD_LOG_ERROR("Failed to parse trace point config: {}",
                           note.reason);
        break;
      case Kind::kFlowRefused:
      case Kind::kSettingRefused:
        KELPWOOD_LOG_ERROR("Failed to parse trace flow config: {}",
                           note.reason);
        break;
      case Kind::kNoWorkflows:
        KELPWOOD_LOG_ERROR("No workflows configuration found");
        break;
      case Kind::kWorkflowsNotSequence:
        KELPWOOD_LOG_ERROR("workflows should be a sequence");
        break;
      case Kind::kFileRefused:
        KELPWOOD_LOG_ERROR("Failed to parse flow configuration file: {}",
                           note.reason);
        break;
    }
  }
  dropped = file.RefusalCount();
  ReportDroppedEntries(config_path, dropped);
  std::map<std::string, trace::ReadFlow> flows;
  for (const trace::ReadFlow& flow : file.flows) {
    flows[flow.cfg->flow_id] = flow;
  }
  return flows;
}

void ReportDroppedFlowEntries(const std::vector<std::string>& dropped) {
  for (const std::string& entry : dropped) {
    cli::Error(
        "{}: dropped by the loader; run 'kelpwood-flows validate' for "
        "details",
        cli::EscapeControls(entry));
  }
}

}  // namespace flows_tool
}  // namespace kelpwood
