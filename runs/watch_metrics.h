// The metrics file of kelpwood-flows watch --metrics FILE: the counters of
// FlowMetrics kept across restarts in STATE_DIR/metrics.state, and FILE
// rewritten atomically (mode 0644) at most about once a second while
// something changed. Library-internal.

#ifndef KELPWOOD_RUNS_WATCH_METRICS_H_
#define KELPWOOD_RUNS_WATCH_METRICS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "journal/journal_reader.h"
#include "runs/flow_metrics.h"
#include "trace/src/flow_run.h"

namespace kelpwood {
namespace runs {

class WatchMetrics {
 public:
  // Off, every call doing nothing, when `path` is empty.
  WatchMetrics(std::string path, const std::string& state_dir);

  bool enabled() const { return !path_.empty(); }
  // Reads the saved counters. A missing state is a first start; a damaged
  // one is kept aside as metrics.state.damaged and the counters start at 0.
  // Returns what to report, or "".
  std::string Load();
  // One ended, checked run.
  void AddRun(const trace::FlowRun& run);
  // The entry just taken: its journal receive time gives the lag.
  void NoteEntry(const journal::FlowEntry& entry) {
    last_entry_us_ = entry.realtime_us;
  }
  // The watch's count of verdicts it could not write, since it started.
  void SetUnwrittenVerdicts(std::uint64_t count);
  // After each pass of the watch: writes FILE and the state when something
  // changed and a second has passed since the last write, or at once when
  // `final`. Returns what to report (the first failure after a success),
  // or "".
  std::string Update(std::size_t open_runs, std::int64_t now_ns,
                     bool final = false);

  const FlowMetrics& metrics() const { return metrics_; }

 private:
  std::string Write();

  std::string path_;
  std::string state_dir_;
  FlowMetrics metrics_;
  bool changed_ = true;
  bool failing_ = false;
  std::int64_t last_write_ns_ = 0;
  std::size_t open_runs_ = 0;
  std::uint64_t last_entry_us_ = 0;
  std::uint64_t unwritten_seen_ = 0;
};

}  // namespace runs
}  // namespace kelpwood

#endif  // KELPWOOD_RUNS_WATCH_METRICS_H_
