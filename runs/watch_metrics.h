// The metrics file of kelpwood-flows watch --metrics FILE: the counters of
// FlowMetrics kept across restarts in STATE_DIR/metrics.state, and FILE
// rewritten atomically (mode 0644) at most about once a second while
// something changed. The files are written, with their fsyncs, by a thread
// of their own, so the watch never waits for the disk on their account.
// Library-internal.

#ifndef KELPWOOD_RUNS_WATCH_METRICS_H_
#define KELPWOOD_RUNS_WATCH_METRICS_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "journal/journal_reader.h"
#include "runs/flow_metrics.h"
#include "trace/src/flow_run.h"

namespace kelpwood {
namespace runs {

// Writes the newest state and metrics file on its own thread, state first:
// a file that shows counts the state lacks would go back after a restart.
class MetricsWriter {
 public:
  MetricsWriter(std::string state_path, std::string file_path);
  // Finishes what was handed over, then stops the thread.
  ~MetricsWriter();
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

  // Hands over the newest contents; contents not yet written are replaced.
  void Submit(std::string state, std::string file);
  // Waits until everything handed over is written.
  void Flush();
  // The reason the last write failed, or "" when it succeeded.
  std::string LastError();

 private:
  void Run();

  const std::string state_path_;
  const std::string file_path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  bool pending_ = false;
  bool busy_ = false;
  bool stop_ = false;
  std::string state_;
  std::string file_;
  std::string last_error_;
  std::thread thread_;  // last: started once the members above exist
};

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
  // After each pass of the watch: hands FILE and the state to the writer
  // when something changed and a second has passed since the last time,
  // or at once, waiting for the write, when `final`. Returns what to report
  // (the first failure after a success), or "".
  std::string Update(std::size_t open_runs, std::int64_t now_ns,
                     bool final = false);

  // Waits until every write handed over is done.
  void WaitForWrites() {
    if (writer_) writer_->Flush();
  }

 private:
  std::string path_;
  std::string state_dir_;
  FlowMetrics metrics_;
  std::unique_ptr<MetricsWriter> writer_;
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
