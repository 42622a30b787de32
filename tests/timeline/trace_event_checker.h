// A checker of Chrome trace-event JSON against the rules the Perfetto UI and
// chrome://tracing read it by, for the timeline tests: no UI is needed.

#ifndef KELPWOOD_TESTS_TIMELINE_TRACE_EVENT_CHECKER_H_
#define KELPWOOD_TESTS_TIMELINE_TRACE_EVENT_CHECKER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kelpwood {
namespace testing {

// Every rule that `json` breaks, one message each, in document order:
//   - the document is {"traceEvents": [...]} and every event has ph, pid, tid;
//   - phases are X, B, E, i, I or M; X has a non-negative dur, i an s of t,
//     p or g; ts and dur are decimal microseconds, at most ns resolution;
//   - metadata is process_name or thread_name with a non-empty args.name, and
//     every pid and (pid, tid) of an event is named by it;
//   - every flow_in has a flow_out of its bind_id at the same or earlier ts;
//   - X slices on one (pid, tid) nest: none ends inside another.
std::vector<std::string> TraceEventProblems(const std::string& json);

// A decimal microsecond value ("1500.25") in nanoseconds; -1 when malformed.
std::int64_t MicrosecondsToNanoseconds(const std::string& text);

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_TIMELINE_TRACE_EVENT_CHECKER_H_
