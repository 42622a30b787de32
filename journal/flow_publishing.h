// The registry's journal side: which flows are device-wide, their deadlines,
// publishing their points and resets, counting points journald did not take,
// and in-process verdicts. Used by FlowTrace (trace/src/flow_trace.cpp);
// uninstalled.

#ifndef KELPWOOD_JOURNAL_FLOW_PUBLISHING_H_
#define KELPWOOD_JOURNAL_FLOW_PUBLISHING_H_

#include <kelpwood/flow_trace.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "journal/flow_run.h"

namespace kelpwood {
namespace journal {

// The journal settings of one flow id.
struct FlowJournalSettings {
  bool device_wide = false;
  std::uint64_t deadline_ms = 0;
  // In-process verdicts written for the flow so far (FLOW_RUN "<pid>-<n>").
  std::uint64_t verdicts_written = 0;
};

// The registry's settings by flow id. Every call REQUIRES the registry mutex:
// the table lives beside the registry's own tables, under the same lock.
class FlowJournalTable {
 public:
  // Never destroyed, like the journal writer.
  static FlowJournalTable& Instance();

  void SetDeviceWide(const std::string& flow_id, bool device_wide);
  void SetDeadline(const std::string& flow_id, std::uint64_t deadline_ms);
  // The flow's settings; defaults for a flow never set.
  FlowJournalSettings Get(const std::string& flow_id) const;
  // Whether points of `flow_id` are published. Costs one comparison while no
  // flow is device-wide, so that process-wide tracing pays nothing more.
  bool IsDeviceWide(const std::string& flow_id) const;
  // Counts one more verdict of the flow and returns its number, from 1.
  std::uint64_t NextVerdictNumber(const std::string& flow_id);

 private:
  std::unordered_map<std::string, FlowJournalSettings> settings_;
  std::size_t device_wide_count_ = 0;
};

// Publishes one point of a device-wide flow (its queue position `index`).
// Never blocks; a point journald does not take is counted against the flow
// and reported by a later publish. Call without the registry mutex.
void PublishPoint(const std::string& flow_id, const trace::TracePoint& point,
                  std::int32_t index);
// Publishes a ResetFlow of a device-wide flow, as above.
void PublishReset(const std::string& flow_id);
// Points of `flow_id` that could not be published and are not yet reported.
std::uint64_t UnreportedDroppedPoints(const std::string& flow_id);
// Tries to report every flow's dropped points now (one entry per flow).
// True when nothing is left to report.
bool ReportDroppedPoints();

// Whether CheckFlow writes its verdict: KELPWOOD_FLOW_JOURNAL=true in the
// environment at first use, unless SetVerdictsToJournal() decided.
bool VerdictsGoToJournal() noexcept;
void SetVerdictsToJournal(bool enabled) noexcept;

// The run that CheckFlow just checked, in the shape the verdict entry takes.
FlowRun MakeCheckedRun(
    const std::string& flow_id, const std::string& run_id,
    const std::shared_ptr<trace::TraceFlowCfg>& cfg,
    const std::vector<std::shared_ptr<trace::TracePoint>>& recorded,
    const trace::FlowCheckResult& result);

}  // namespace journal
}  // namespace kelpwood

#endif  // KELPWOOD_JOURNAL_FLOW_PUBLISHING_H_
