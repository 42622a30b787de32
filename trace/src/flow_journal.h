// What the registry hands to the journal: the points and resets of
// device-wide flows, and verdicts. The journal module implements it and
// installs itself when the shared object is loaded, so that the flow core
// never includes the journal module: dependencies run one way.

#ifndef KELPWOOD_TRACE_SRC_FLOW_JOURNAL_H_
#define KELPWOOD_TRACE_SRC_FLOW_JOURNAL_H_

#include <kelpwood/flow_trace.h>

#include <cstdint>
#include <string>

#include "trace/src/flow_run.h"

namespace kelpwood {
namespace trace {

class FlowJournal {
 public:
  // Each call never blocks; what journald does not take is counted and
  // reported later. Called without the registry mutex.
  virtual void PublishPoint(const std::string& flow_id, const TracePoint& point,
                            std::int32_t index) = 0;
  virtual void PublishReset(const std::string& flow_id) = 0;
  // Called with the registry mutex held: it must not call the registry.
  virtual void SendVerdict(const FlowRun& run) = 0;

 protected:
  ~FlowJournal() = default;
};

// Installs the journal the registry uses; null: none (nothing is written).
void InstallFlowJournal(FlowJournal* journal) noexcept;

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_FLOW_JOURNAL_H_
