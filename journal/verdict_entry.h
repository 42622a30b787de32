// The journal entry that sums up the verdict on one run of a flow: written by
// CheckFlow when verdicts go to the journal, and by the tools for the runs
// they check. Uninstalled, like flow_run.h.
//
//   FlowRun run = ...;                       // checked
//   SendVerdict(run);                        // or BuildVerdictFields(run)

#ifndef KELPWOOD_JOURNAL_VERDICT_ENTRY_H_
#define KELPWOOD_JOURNAL_VERDICT_ENTRY_H_

#include <kelpwood/flow_trace.h>

#include <cstdint>
#include <string>
#include <vector>

#include "journal/journal_writer.h"
#include "trace/src/flow_run.h"

namespace kelpwood {
namespace journal {

using trace::FlowRun;
using trace::RunPoint;

// The MESSAGE_ID of a verdict: one per check code, and a pass with
// unexpected points has its own.
const char* VerdictMessageId(trace::FlowCheckCode code,
                             std::uint32_t unexpected_points) noexcept;

// The verdict's one-line MESSAGE, e.g. "Flow 'storage_mount' (Storage mount):
// POINT_MISSING at 'fsck', failure_id 302; 3 points recorded in 10 ms".
std::string VerdictMessage(const FlowRun& run);

// Milliseconds from the run's start to its end; 0 when it has no length.
std::uint64_t RunDurationMs(const FlowRun& run) noexcept;

// Recorded points whose id `cfg` does not name (all of them when `cfg` is
// null).
std::uint32_t CountUnexpectedPoints(const trace::TraceFlowCfg* cfg,
                                    const std::vector<RunPoint>& points);

// Every field of the verdict entry as "NAME=value", in a fixed order:
// MESSAGE, MESSAGE_ID, PRIORITY (6 pass, 3 failure), SYSLOG_IDENTIFIER,
// FLOW_ID, FLOW_NAME (when configured), CHECK_CODE, POINT_ID (recorded point
// at fault), CONFIGURED_POINT_ID, FAILURE_ID (each when there is one),
// RECORDED_POINTS, UNEXPECTED_POINTS, DURATION_MS, FLOW_RUN, then RUN_PID and
// RUN_COMM once per recording process (pid != 0, first-seen order) for the
// first 32 processes, RUN_PROCESSES_MORE with the number of the others when
// there are more, POSSIBLY_LOST_POINTS when there are any, and
// POINTS_DROPPED_BY_WATCH and METADATA_DROPPED_BY_WATCH when the watch left
// points or metadata pairs out.
std::vector<std::string> BuildVerdictFields(const FlowRun& run);

// Writes the verdict entry through `writer` (a memory file when it is larger
// than a datagram); never blocks. Anything but kSent means journald does not
// have it: kWouldBlock and kNoJournal may succeed when sent again later.
SendStatus SendVerdict(JournalWriter& writer, const FlowRun& run);

}  // namespace journal
}  // namespace kelpwood

#endif  // KELPWOOD_JOURNAL_VERDICT_ENTRY_H_
