// The flow-tracing tests' fixture and small builders for configured points.

#ifndef KELPWOOD_TESTS_TRACE_TEST_POINTS_H_
#define KELPWOOD_TESTS_TRACE_TEST_POINTS_H_

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>

#include <memory>
#include <string>

#include "support/log_capture.h"

namespace kelpwood {
namespace testing {

inline std::shared_ptr<trace::TracePointCfg> Critical(const std::string& id) {
  auto point = std::make_shared<trace::TracePointCfg>();
  point->point_id = id;
  point->is_critical = true;
  return point;
}

inline std::shared_ptr<trace::TracePointCfg> Optional(const std::string& id) {
  auto point = std::make_shared<trace::TracePointCfg>();
  point->point_id = id;
  point->is_critical = false;
  return point;
}

// Base fixture: clears the log capture before each test and gives every test
// its own flow ids (the registry is one per process).
class FlowTraceTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearCapturedMessages(); }
  // "<TestSuite>.<TestName>.<name>": unique to the running test.
  static std::string Flow(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name() + "." +
           name;
  }
};

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_TRACE_TEST_POINTS_H_
