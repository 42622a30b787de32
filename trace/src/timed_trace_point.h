// The point that FlowTrace::Trace(flow, id, success) makes: a TracePoint that
// also keeps the clock reading in nanoseconds. Library-internal; callers see a
// TracePoint and read the time through TracePointTimeNs().

#ifndef KELPWOOD_TRACE_SRC_TIMED_TRACE_POINT_H_
#define KELPWOOD_TRACE_SRC_TIMED_TRACE_POINT_H_

#include <kelpwood/flow_trace.h>

#include <cstdint>
#include <string>

namespace kelpwood {
namespace trace {

// Nanoseconds since the Unix epoch (system clock).
std::int64_t NowNanoseconds() noexcept;

class TimedTracePoint final : public TracePoint {
 public:
  // `time_ns` is read once by the caller; `timestamp` is derived from it.
  TimedTracePoint(const std::string& point_id, bool success,
                  std::int64_t time_ns)
      : TracePoint(point_id, success, time_ns), time_ns(time_ns) {}

  const std::int64_t time_ns;
};

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_TIMED_TRACE_POINT_H_
