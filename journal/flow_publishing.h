// The publisher of device-wide flows: each point and reset of such a flow
// becomes a journal entry, points journald did not take are counted and
// reported, and in-process verdicts are written. It installs itself as the
// registry's FlowJournal (trace/src/flow_journal.h) when the shared object is
// loaded, and holds the process's one JournalWriter. Part of the shared
// object alone; uninstalled.

#ifndef KELPWOOD_JOURNAL_FLOW_PUBLISHING_H_
#define KELPWOOD_JOURNAL_FLOW_PUBLISHING_H_

#include <kelpwood/export.h>
#include <kelpwood/flow_trace.h>

#include <cstdint>
#include <string>

namespace kelpwood {
namespace journal {

// Publishes one point of a device-wide flow (its queue position `index`).
// Never blocks; a point journald does not take is counted against the flow
// and reported by a later publish. Call without the registry mutex.
void PublishPoint(const std::string& flow_id, const trace::TracePoint& point,
                  std::int32_t index);
// Publishes a ResetFlow of a device-wide flow, as above.
void PublishReset(const std::string& flow_id);

// For the library's own tests and benchmarks, which share the shared
// object's publisher: exported, but no part of the API.
// Points of `flow_id` that could not be published and are not yet reported.
KELPWOOD_API std::uint64_t UnreportedDroppedPoints(const std::string& flow_id);
// Tries to report every flow's dropped points now (one entry per flow).
// True when nothing is left to report.
KELPWOOD_API bool ReportDroppedPoints();

}  // namespace journal
}  // namespace kelpwood

#endif  // KELPWOOD_JOURNAL_FLOW_PUBLISHING_H_
