#include "log_capture.h"

#include <gtest/gtest.h>
#include <kelpwood/logger.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

namespace kelpwood {
namespace testing {
namespace {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<CapturedMessage> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<CapturedMessage> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CapturedMessage> taken;
    taken.swap(messages_);
    return taken;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    CapturedMessage captured;
    captured.payload.assign(message.payload.data(), message.payload.size());
    captured.level = static_cast<int>(message.level);
    captured.file = message.source.filename ? message.source.filename : "";
    captured.line = message.source.line;
    captured.function = message.source.funcname ? message.source.funcname : "";
    messages_.push_back(std::move(captured));
  }
  void flush_() override {}

 private:
  std::vector<CapturedMessage> messages_;
};

std::shared_ptr<CaptureSink>& Sink() {
  static std::shared_ptr<CaptureSink> sink = std::make_shared<CaptureSink>();
  return sink;
}

// Runs during static initialisation, before main and so before the logger
// is built by the first message: the logger then reads these variables.
const bool kEnvironmentSet = [] {
  ::setenv("SPDLOG_STDOUT", "false", 1);
  ::setenv("SPDLOG_SYSTEMD", "false", 1);
  ::setenv("SPDLOG_LEVEL", "debug", 1);
  return true;
}();

class CaptureEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Logger& record = Logger::Instance();
    ASSERT_NE(record.logger, nullptr);
    record.logger->sinks().push_back(Sink());
  }
};

[[maybe_unused]] ::testing::Environment* const kCaptureEnvironment =
    ::testing::AddGlobalTestEnvironment(new CaptureEnvironment);

std::vector<std::string> WithoutCounters(
    const std::vector<CapturedMessage>& messages) {
  std::vector<std::string> lines;
  for (const auto& message : messages) {
    // "NNN " in front of the tag.
    lines.push_back(message.payload.size() >= 4 ? message.payload.substr(4)
                                                : message.payload);
  }
  return lines;
}

}  // namespace

std::vector<CapturedMessage> CapturedMessages() { return Sink()->Messages(); }

void ClearCapturedMessages() { Sink()->Take(); }

std::vector<std::string> CapturedLines() {
  return WithoutCounters(Sink()->Messages());
}

std::vector<std::string> TakeLogLines() {
  return WithoutCounters(Sink()->Take());
}

SinklessLogger::SinklessLogger() {
  auto& sinks = Logger::Instance().logger->sinks();
  sinks.erase(std::remove(sinks.begin(), sinks.end(), Sink()), sinks.end());
}

SinklessLogger::~SinklessLogger() {
  Logger::Instance().logger->sinks().push_back(Sink());
}

}  // namespace testing
}  // namespace kelpwood
