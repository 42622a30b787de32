// The flow-tracing tests' fixture and helpers.

#ifndef KELPWOOD_TESTS_TRACE_TEST_POINTS_H_
#define KELPWOOD_TESTS_TRACE_TEST_POINTS_H_

#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"

namespace kelpwood {
namespace testing {

// Configured points are built as callers build them.
using trace::Critical;
using trace::FlowCheckCode;
using trace::FlowCheckResult;
using trace::FlowTrace;
using trace::Optional;
using trace::TraceFlowCfg;
using trace::TracePoint;
using trace::TracePointCfg;
using Lines = std::vector<std::string>;

// A check of a flow running on a thread of its own and held inside its flow
// handler, and so with the registry held, until Release().
class HeldCheck {
 public:
  // Registers the holding handler for `flow`.
  HeldCheck(FlowTrace& registry, const std::string& flow)
      : registry_(registry), flow_(flow) {
    registry_.RegisterFlowHandler(
        flow_,
        [this](const std::string&, const std::shared_ptr<FlowCheckResult>&) {
          entered_.set_value();
          released_.wait();
        });
  }
  // Releases a check still held, so that a failed test does not hang.
  ~HeldCheck() { Release(); }
  HeldCheck(const HeldCheck&) = delete;
  HeldCheck& operator=(const HeldCheck&) = delete;

  // Starts the check and returns once its handler holds it.
  void Start() {
    checker_ = std::thread([this] { registry_.CheckFlow(flow_); });
    entered_.get_future().wait();
  }
  // Lets the handler return and waits for the check to end.
  void Release() {
    if (!checker_.joinable()) return;
    release_.set_value();
    checker_.join();
  }

 private:
  FlowTrace& registry_;
  const std::string flow_;
  std::promise<void> entered_;
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::thread checker_;
};

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
