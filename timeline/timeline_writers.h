// Writers that draw checked flow runs: Chrome trace-event JSON and a
// self-contained HTML page. Library-internal; hosts use
// <kelpwood/flow_timeline.h> and the tools call these directly.

#ifndef KELPWOOD_TIMELINE_TIMELINE_WRITERS_H_
#define KELPWOOD_TIMELINE_TIMELINE_WRITERS_H_

#include <kelpwood/flow_timeline.h>

#include <string>
#include <vector>

#include "trace/src/flow_run.h"

namespace kelpwood {
namespace timeline {

using trace::FlowRun;
using trace::RunPoint;

// Appends the runs as Chrome trace-event JSON to `out`: a process track per
// recording process, a track of flow runs, a slice per point, flow arrows
// linking each run's points in time order and instants for verdicts and
// points at fault. Times are microseconds after the earliest point.
void AppendChromeTrace(const std::vector<FlowRun>& runs, std::string& out);

// Appends the runs as one HTML page to `out`: a lane per run with the
// configured points above the recorded ones on the run's time axis.
void AppendHtmlTimeline(const std::vector<FlowRun>& runs, std::string& out);

// The runs as one document in `format`.
std::string RenderTimeline(const std::vector<FlowRun>& runs,
                           trace::TimelineFormat format);

// Replaces the file at `path` with `content`. Returns false with "PATH:
// reason" in `error` if it cannot be opened or written.
bool WriteTimelineFile(const std::string& path, const std::string& content,
                       std::string& error);

}  // namespace timeline
}  // namespace kelpwood

#endif  // KELPWOOD_TIMELINE_TIMELINE_WRITERS_H_
