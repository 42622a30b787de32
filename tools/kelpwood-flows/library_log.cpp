#include "library_log.h"

#include <kelpwood/flow_trace.h>
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

std::size_t LoadConfiguration(const std::string& config_path,
                              const std::string& load_path) {
  TakeLibraryErrors();
  trace::FlowTrace::GetInstance().Init(load_path);
  const std::size_t load_errors = TakeLibraryErrors().size();
  if (load_errors != 0) {
    cli::Error(
        "{0}: the loader reported {1} {2}; run 'kelpwood-flows validate {0}' "
        "for details",
        cli::EscapeControls(config_path), load_errors,
        load_errors == 1 ? "error" : "errors");
  }
  return load_errors;
}

}  // namespace flows_tool
}  // namespace kelpwood
