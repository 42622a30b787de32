// Cuts the published entries of device-wide flows into runs and checks each
// run with the library's pure check (trace/src/flow_check.h). Library-internal:
// used by kelpwood-flows watch and check.
//
// The rule for runs, per machine, boot and flow:
//   - a run starts with the flow's first point after the previous run ended;
//   - it ends when the flow's last configured point arrives (ordered flows)
//     or once every configured point has (unordered flows);
//   - when deadline_ms has passed after its first point;
//   - at a published ResetFlow of the flow;
//   - at once, when a critical point fails or, in an ordered flow, when a
//     point arrives after a critical point that has not;
//   - and, when reading a finished journal, at its end.
// Each ended run is checked as if its points had been traced, in arrival
// order, into a freshly reset flow of one process, without that process's
// registry: nothing is published or logged, and no verdict is written.

#ifndef KELPWOOD_RUNS_FLOW_RUNS_H_
#define KELPWOOD_RUNS_FLOW_RUNS_H_

#include <kelpwood/flow_trace.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "journal/journal_reader.h"
#include "trace/src/flow_run.h"

namespace kelpwood {
namespace runs {

using journal::FlowEntry;
using journal::FlowEntryKind;
using trace::FlowRun;
using trace::RunPoint;

// One configured flow as the run engine needs it.
struct WatchedFlow {
  std::shared_ptr<const trace::TraceFlowCfg> cfg;
  std::uint64_t deadline_ms = 0;
  // The flow's grammar when it has steps. Such a run ends at the point that
  // settles its check (a fault, or every step used up), else at its
  // deadline, a reset or the end of a finished journal.
  std::shared_ptr<const trace::FlowSteps> steps;
};

// Reads the flows of the flow files at `paths` through the library's one
// reader (later files win, as with repeated Init calls). False with a reason
// in `error` for a file that cannot be read or holds no workflows sequence.
// Entries the reader drops (as Init does) are left out and, where `dropped`
// is given, described there as "PATH:LINE:COLUMN: reason".
bool LoadWatchedFlows(const std::vector<std::string>& paths,
                      std::map<std::string, WatchedFlow>& flows,
                      std::string& error,
                      std::vector<std::string>* dropped = nullptr);

// Fills the verdict fields of `run` (code, fault, failure_id, unexpected
// points) with the library's pure check; FLOW_NOT_FOUND without a
// configuration. Touches no registry and writes nothing.
void CheckRun(FlowRun& run);

// The id of the point at fault: the recorded one where the check names
// one, else the configured one; "" for none.
std::string FaultPointId(const FlowRun& run);

class FlowRunEngine {
 public:
  // Receives each ended, checked run, in the order runs end.
  using RunSink = std::function<void(FlowRun&&)>;

  FlowRunEngine(std::map<std::string, WatchedFlow> flows, RunSink sink);
  FlowRunEngine(const FlowRunEngine&) = delete;
  FlowRunEngine& operator=(const FlowRunEngine&) = delete;

  // The bounds on what one run and the loss tables may hold.
  static constexpr std::size_t kMaxPointsPerRun = 1000;
  static constexpr std::size_t kMaxPendingLosses = 1000;
  static constexpr std::uint64_t kPendingLossLifetimeUs = 3600ULL * 1000000;

  // Takes one entry; entries of flows not configured, and kIgnored ones,
  // are ignored.
  void Add(const FlowEntry& entry);
  // Ends every run of boot `boot_id` whose deadline is at or before
  // `now_monotonic_ns` on that boot's monotonic clock (the clock of
  // __MONOTONIC_TIMESTAMP, which wall-clock steps do not move).
  void EndRunsDueBy(const std::string& boot_id, std::int64_t now_monotonic_ns);
  // Ends every run of a boot other than `boot_id`: no point can join it any
  // more. Each ends at its deadline, or its last point without one.
  void EndRunsOfOtherBoots(const std::string& boot_id);
  // Ends every open run (end of a finished journal).
  void EndAllRuns();
  // The earliest deadline of an open run on its boot's monotonic clock, or
  // INT64_MAX when there is none.
  std::int64_t NextDeadlineNs() const;
  std::size_t OpenRunCount() const { return open_.size(); }

  // Writes and reads back the open runs and the loss counts not yet given
  // to a run, so that a restarted watch continues them. Load returns false
  // for a malformed state and leaves the engine unchanged.
  void SaveState(std::ostream& out) const;
  bool LoadState(std::istream& in);

 private:
  struct OpenRun {
    FlowRun run;
    // The journal's monotonic time of the first point, in nanoseconds.
    std::int64_t start_monotonic_ns = 0;
    std::vector<bool> seen;  // per configured point
    std::vector<std::string> units;
  };
  // A loss count waiting for a run, and the journal time it last grew.
  struct PendingLoss {
    std::uint64_t count = 0;
    std::uint64_t realtime_us = 0;
  };
  using PendingLosses = std::map<std::string, PendingLoss>;

  void Start(const std::string& key, const FlowEntry& entry,
             const WatchedFlow& flow);
  // True when the point just appended ends the run.
  static bool PointEndsRun(OpenRun& open, const trace::TraceFlowCfg& cfg,
                           const std::string& point_id, bool success);
  void AddPoint(std::map<std::string, OpenRun>::iterator at,
                const FlowEntry& entry, const WatchedFlow& flow);
  void End(std::map<std::string, OpenRun>::iterator at, std::int64_t end_ns);
  // Reads one "run" record of a saved state into `open_runs`; `current`
  // becomes the run that the following records belong to (null: dropped).
  bool LoadRun(const std::vector<std::string>& fields,
               std::map<std::string, OpenRun>& open_runs,
               OpenRun*& current) const;
  void TakePendingLosses(OpenRun& open, const std::string& unit);
  // Adds `count` under `key`, dropping entries older than an hour and, when
  // the table is full, the one that grew longest ago.
  static void AddPendingLoss(PendingLosses& table, const std::string& key,
                             std::uint64_t count, std::uint64_t realtime_us);

  std::map<std::string, WatchedFlow> flows_;
  RunSink sink_;
  // Keyed by machine, boot and flow.
  std::map<std::string, OpenRun> open_;
  // Loss counts waiting for the next run: by machine, boot and flow
  // (publisher drops) or machine, boot and unit (journald suppression).
  PendingLosses pending_flow_losses_;
  PendingLosses pending_unit_losses_;
};

}  // namespace runs
}  // namespace kelpwood

#endif  // KELPWOOD_RUNS_FLOW_RUNS_H_
