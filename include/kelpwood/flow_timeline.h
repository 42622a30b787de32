// Timelines of checked flow runs, for people to look at: Chrome trace-event
// JSON (the Perfetto UI and chrome://tracing open it) or one self-contained
// HTML page. A host dumps runs of its own, in process:
//
//   auto result = registry.CheckFlow("boot");
//   kelpwood::trace::FlowTimeline timeline;
//   timeline.AddRun("boot", *result);
//   std::string error;
//   if (!timeline.Write("/tmp/boot.html", TimelineFormat::kHtml, &error)) ...
//
// A FlowTimeline is a plain value: one object must not be used by two threads
// at once; separate objects may.

#ifndef KELPWOOD_FLOW_TIMELINE_H_
#define KELPWOOD_FLOW_TIMELINE_H_

#include <kelpwood/flow_trace.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kelpwood {
namespace trace {

enum class TimelineFormat : std::int32_t {
  kChrome = 0,  // Chrome trace-event JSON
  kHtml = 1,    // HTML with inline SVG and CSS, no script, no network
};

// The time at which `point` was made, in nanoseconds since the Unix epoch:
// the clock's own nanoseconds for a point made by Trace(flow, id, success),
// `timestamp` x 10^6 for any other point or one whose timestamp was changed.
__attribute__((visibility("default"))) std::int64_t TracePointTimeNs(
    const TracePoint& point) noexcept;

class __attribute__((visibility("default"))) FlowTimeline {
 public:
  FlowTimeline();
  ~FlowTimeline();
  FlowTimeline(FlowTimeline&&) noexcept;
  FlowTimeline& operator=(FlowTimeline&&) noexcept;

  // Adds one run of `flow_id`: a copy of its recorded points (with their
  // times) and configured points as `registry` holds them now, and the
  // verdict and points at fault of `result`, which CheckFlow returned for it.
  void AddRun(const std::string& flow_id, const FlowCheckResult& result,
              FlowTrace& registry = FlowTrace::GetInstance());

  // The runs added so far, in order.
  std::size_t run_count() const noexcept;

  // Every run added so far as one document in `format`.
  std::string Render(TimelineFormat format) const;

  // Writes Render(format) to `path`, replacing it. Returns false, with the
  // path and the system's reason in `*error` (when given), if it fails.
  bool Write(const std::string& path, TimelineFormat format,
             std::string* error = nullptr) const;

 private:
  struct Runs;
  std::unique_ptr<Runs> runs_;
};

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_FLOW_TIMELINE_H_
