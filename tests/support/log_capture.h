// Captures every message that the library logs, so that tests can assert on
// exact log lines. Linking this file into a test program builds the
// process-wide logger with no other sink (SPDLOG_STDOUT=false, no journal)
// and threshold debug, and adds the capture sink before the first test.

#ifndef KELPWOOD_TESTS_SUPPORT_LOG_CAPTURE_H_
#define KELPWOOD_TESTS_SUPPORT_LOG_CAPTURE_H_

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

// Every message received since the last clear, in arrival order.
std::vector<CapturedMessage> CapturedMessages();
void ClearCapturedMessages();

// The captured payloads from their level tag on ("[WARN] flow_id f not
// found"): the counter in front depends on everything logged before.
std::vector<std::string> CapturedLines();

// CapturedLines(), then clears the capture, in one step.
std::vector<std::string> TakeLogLines();

// Removes the capture sink from the logger until the guard ends, so that the
// logger has no sink at all.
class SinklessLogger {
 public:
  SinklessLogger();
  ~SinklessLogger();
  SinklessLogger(const SinklessLogger&) = delete;
  SinklessLogger& operator=(const SinklessLogger&) = delete;
};

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_SUPPORT_LOG_CAPTURE_H_
