#include "log_capture.h"

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <kelpwood/logger.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kelpwood {
namespace testing {
namespace {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> taken;
    taken.swap(lines_);
    return taken;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    lines_.emplace_back(message.payload.data(), message.payload.size());
  }
  void flush_() override {}

 private:
  std::vector<std::string> lines_;
};

std::shared_ptr<CaptureSink>& Sink() {
  static std::shared_ptr<CaptureSink> sink = std::make_shared<CaptureSink>();
  return sink;
}

// The logger reads its environment when it is built, on the first message of
// the process; this set-up runs before any test and builds it without any
// output sink, then adds the capturing one.
class LogCaptureEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("SPDLOG_STDOUT", "false", 1);
    setenv("SPDLOG_SYSTEMD", "false", 1);
    setenv("SPDLOG_LEVEL", "debug", 1);
    Logger& record = Logger::Instance();
    ASSERT_NE(record.logger, nullptr);
    record.logger->sinks().push_back(Sink());
  }
};

[[maybe_unused]] ::testing::Environment* const kLogCaptureEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

}  // namespace

std::vector<std::string> TakeLogLines() {
  std::vector<std::string> lines = Sink()->Take();
  for (std::string& line : lines) {
    // "NNN " in front of the tag.
    line.erase(0, line.size() < 4 ? line.size() : 4);
  }
  return lines;
}

std::string DataPath(const std::string& name) {
  return std::string(KELPWOOD_TEST_DATA_DIR) + "/" + name;
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

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kelpwood-loader-XXXXXX")
          .string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::WriteFile(const std::string& name,
                               const std::string& content) const {
  const std::string file_path = path_ + "/" + name;
  std::ofstream out(file_path, std::ios::binary);
  out << content;
  return file_path;
}

}  // namespace testing
}  // namespace kelpwood
