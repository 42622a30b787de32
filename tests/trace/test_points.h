// Small builders for configured points, shared by the flow-tracing tests.

#ifndef KELPWOOD_TESTS_TRACE_TEST_POINTS_H_
#define KELPWOOD_TESTS_TRACE_TEST_POINTS_H_

#include <kelpwood/flow_trace.h>

#include <memory>
#include <string>

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

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_TRACE_TEST_POINTS_H_
