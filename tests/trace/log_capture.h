// Captures every message that the library logs, so that tests can assert on
// exact log lines. The capture sink is added to the process-wide logger once,
// before the first test; the logger itself is built with no other sink
// (SPDLOG_STDOUT=false) and with threshold debug.

#ifndef KELPWOOD_TESTS_TRACE_LOG_CAPTURE_H_
#define KELPWOOD_TESTS_TRACE_LOG_CAPTURE_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kelpwood {
namespace testing {

// One message as the sink received it.
struct CapturedMessage {
  std::string payload;  // "  5 [WARN] flow_id f not found"
  int level = 0;        // spdlog's numbering
  std::string file;     // source file of the logging statement
  int line = 0;
  std::string function;  // bare method name
};

// Every message received since the last Clear(), in arrival order.
std::vector<CapturedMessage> CapturedMessages();
void ClearCapturedMessages();

// The captured payloads without their three-character number and the blank
// after it ("[WARN] flow_id f not found").
std::vector<std::string> CapturedLines();

// Removes the capture sink from the logger until the returned guard ends, so
// that the logger has no sink at all.
class SinklessLogger {
 public:
  SinklessLogger();
  ~SinklessLogger();
  SinklessLogger(const SinklessLogger&) = delete;
  SinklessLogger& operator=(const SinklessLogger&) = delete;
};

// Base fixture: clears the capture before each test and gives every test its
// own flow ids (the registry is one per process).
class FlowTraceTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearCapturedMessages(); }
  // "<TestName>.<name>": unique to the running test.
  static std::string Flow(const std::string& name);
};

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_TRACE_LOG_CAPTURE_H_
