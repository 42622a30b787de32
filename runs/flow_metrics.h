// Fleet numbers of checked runs in the Prometheus text exposition format,
// for node_exporter's textfile collector. Library-internal: used by
// kelpwood-flows watch --metrics and check --journal/--directory --metrics.
//
//   FlowMetrics metrics(FlowMetrics::Scope::kWatch);
//   engine sink: metrics.AddRun(run);
//   base::WriteFileAtomically(path, metrics.Render(), 0644, error);
//
// Families (label values escaped, invalid UTF-8 made U+FFFD):
//   kelpwood_flow_runs_total{flow,result}             counter
//   kelpwood_flow_failures_total{flow,point,failure_id} counter
//   kelpwood_flow_duration_seconds{flow}              histogram
//   kelpwood_flow_step_seconds{flow,step}             histogram
//   kelpwood_flow_points_dropped_total{flow}          counter
//   kelpwood_watch_open_runs, kelpwood_watch_lag_seconds (gauges) and
//   kelpwood_watch_verdicts_unwritten_total (watch only)
//   kelpwood_metrics_series_dropped_total             counter
// With Scope::kFleet every flow family has a first label `machine`.

#ifndef KELPWOOD_RUNS_FLOW_METRICS_H_
#define KELPWOOD_RUNS_FLOW_METRICS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "trace/src/flow_run.h"

namespace kelpwood {
namespace runs {

// Upper bounds of the histogram buckets in seconds, from 1 ms to 10 min, as
// written in `le`; a last bucket +Inf follows.
inline constexpr std::array<const char*, 14> kBucketBounds = {
    "0.001", "0.005", "0.01", "0.05", "0.1", "0.5", "1",
    "5",     "10",    "30",   "60",   "120", "300", "600"};

struct Histogram {
  // Observations per bucket (not cumulative); the last is +Inf.
  std::array<std::uint64_t, kBucketBounds.size() + 1> buckets{};
  double sum = 0;
  std::uint64_t count = 0;

  void Observe(double seconds);
};

// A label value as the text format writes it between double quotes:
// backslash, double quote and newline escaped, bytes that are not UTF-8
// replaced by U+FFFD.
std::string EscapeLabelValue(std::string_view value);

class FlowMetrics {
 public:
  enum class Scope {
    kWatch,  // one device: no machine label, the watch's own families
    kFleet,  // many: a machine label on every flow family
  };
  // Label sets kept per machine; observations that would need another are
  // counted in kelpwood_metrics_series_dropped_total instead.
  static constexpr std::size_t kDefaultMaxSeries = 10000;

  explicit FlowMetrics(Scope scope,
                       std::size_t max_series_per_machine = kDefaultMaxSeries);

  // Counts one ended, checked run into every flow family.
  void AddRun(const trace::FlowRun& run);
  // The watch's gauges and its count of verdicts it could not write.
  void SetOpenRuns(std::size_t open_runs) { open_runs_ = open_runs; }
  void SetLagSeconds(double lag_seconds) { lag_seconds_ = lag_seconds; }
  void AddUnwrittenVerdicts(std::uint64_t count) {
    unwritten_verdicts_ += count;
  }

  // The whole exposition, families in a fixed order, label sets sorted.
  std::string Render() const;

  // Writes and reads back every counter and histogram (not the gauges), so
  // that a restarted watch continues them. Load returns false for a
  // malformed state and leaves the metrics unchanged.
  void SaveState(std::ostream& out) const;
  bool LoadState(std::istream& in);

 private:
  struct FlowSeries {
    std::map<std::string, std::uint64_t> runs;  // by result
    // By configured point at fault and its failure_id.
    std::map<std::pair<std::string, std::uint32_t>, std::uint64_t> failures;
    Histogram duration;
    std::map<std::string, Histogram> steps;
    std::uint64_t points_dropped = 0;
  };
  struct MachineSeries {
    std::map<std::string, FlowSeries> flows;
    std::size_t series = 0;
  };

  // True when the machine may hold `needed` more label sets (and counts
  // them); else counts one dropped observation.
  bool Admit(MachineSeries& machine, std::size_t needed);
  void AddSteps(MachineSeries& machine, FlowSeries& flow,
                const trace::FlowRun& run);
  bool LoadLine(const std::string& line);
  std::string Labels(const std::string& machine, const std::string& flow,
                     std::string_view rest) const;
  void RenderCounters(std::string& out) const;
  void RenderHistograms(std::string& out) const;

  Scope scope_;
  std::size_t max_series_;
  std::map<std::string, MachineSeries> machines_;
  std::size_t open_runs_ = 0;
  double lag_seconds_ = 0;
  std::uint64_t unwritten_verdicts_ = 0;
  std::uint64_t series_dropped_ = 0;
};

}  // namespace runs
}  // namespace kelpwood

#endif  // KELPWOOD_RUNS_FLOW_METRICS_H_
