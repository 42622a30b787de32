#include "runs/flow_metrics.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <iterator>
#include <ostream>
#include <vector>

#include "base/posix_file.h"
#include "base/utf8.h"
#include "runs/state_fields.h"

namespace kelpwood {
namespace runs {
namespace {

using trace::FlowRun;
using trace::RunPoint;

constexpr std::array<double, kBucketBounds.size()> kBucketValues = {
    0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1, 5, 10, 30, 60, 120, 300, 600};

const char kStateHeader[] = "kelpwood-flows-metrics-state 1";

// The fields of one state line, unescaped; false for a bad escape.
bool SplitFields(const std::string& line, std::vector<std::string>& fields) {
  fields.clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    std::string plain;
    if (!UnescapeStateField(std::string_view(line).substr(start, tab - start),
                            plain)) {
      return false;
    }
    fields.push_back(std::move(plain));
    if (tab == std::string::npos) return true;
    start = tab + 1;
  }
}

bool ToDouble(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0' && value >= 0 && value < 1e300;
}

// COUNT SUM BUCKET... from fields[at] on; false unless the buckets add up.
bool ParseHistogram(const std::vector<std::string>& fields, std::size_t at,
                    Histogram& histogram) {
  if (fields.size() != at + 2 + histogram.buckets.size()) return false;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < histogram.buckets.size(); ++i) {
    if (!ParseStateUint64(fields[at + 2 + i], histogram.buckets[i]))
      return false;
    total += histogram.buckets[i];
  }
  return ParseStateUint64(fields[at], histogram.count) &&
         ToDouble(fields[at + 1], histogram.sum) && total == histogram.count;
}

std::string HistogramFields(const Histogram& histogram) {
  std::string text = fmt::format("{}\t{}", histogram.count, histogram.sum);
  for (const std::uint64_t count : histogram.buckets) {
    text += fmt::format("\t{}", count);
  }
  return text;
}

void Family(std::string& out, const char* name, const char* type,
            const char* help) {
  fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name,
                 help, name, type);
}

void HistogramSamples(std::string& out, const char* name,
                      const std::string& labels, const Histogram& histogram) {
  auto to = std::back_inserter(out);
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kBucketBounds.size(); ++i) {
    cumulative += histogram.buckets[i];
    fmt::format_to(to, "{}_bucket{{{},le=\"{}\"}} {}\n", name, labels,
                   kBucketBounds[i], cumulative);
  }
  fmt::format_to(to, "{}_bucket{{{},le=\"+Inf\"}} {}\n", name, labels,
                 histogram.count);
  fmt::format_to(to, "{}_sum{{{}}} {}\n{}_count{{{}}} {}\n", name, labels,
                 histogram.sum, name, labels, histogram.count);
}

bool IsConfigured(const trace::TraceFlowCfg& cfg, const std::string& id) {
  return std::any_of(
      cfg.flow_points.begin(), cfg.flow_points.end(),
      [&](const auto& point) { return point && point->point_id == id; });
}

}  // namespace

void Histogram::Observe(double seconds) {
  if (!(seconds >= 0)) seconds = 0;  // a clock that went back, or NaN
  const std::size_t bucket = static_cast<std::size_t>(
      std::lower_bound(kBucketValues.begin(), kBucketValues.end(), seconds) -
      kBucketValues.begin());
  ++buckets[bucket];
  sum += seconds;
  ++count;
}

std::string EscapeLabelValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  while (!value.empty()) {
    const std::size_t length = base::Utf8SequenceLength(value);
    if (length == 0) {
      escaped += "\xEF\xBF\xBD";
      value.remove_prefix(1);
      continue;
    }
    if (value[0] == '\\') {
      escaped += "\\\\";
    } else if (value[0] == '"') {
      escaped += "\\\"";
    } else if (value[0] == '\n') {
      escaped += "\\n";
    } else {
      escaped.append(value.data(), length);
    }
    value.remove_prefix(length);
  }
  return escaped;
}

FlowMetrics::FlowMetrics(Scope scope, std::size_t max_series_per_machine)
    : scope_(scope), max_series_(max_series_per_machine) {}

bool FlowMetrics::Admit(MachineSeries& machine, std::size_t needed) {
  if (machine.series + needed > max_series_) {
    ++series_dropped_;
    return false;
  }
  machine.series += needed;
  return true;
}

void FlowMetrics::AddRun(const FlowRun& run) {
  MachineSeries& machine =
      machines_[scope_ == Scope::kFleet ? run.machine_id : std::string()];
  auto at = machine.flows.find(run.flow_id);
  if (at == machine.flows.end()) {
    // The flow's duration and points_dropped label sets.
    if (!Admit(machine, 2)) return;
    at = machine.flows.emplace(run.flow_id, FlowSeries()).first;
  }
  FlowSeries& flow = at->second;
  const std::string result = trace::FlowCheckCodeName(run.code);
  auto runs = flow.runs.find(result);
  if (runs != flow.runs.end()) {
    ++runs->second;
  } else if (Admit(machine, 1)) {
    flow.runs.emplace(result, 1);
  }
  if (run.code != trace::FlowCheckCode::PASSED) {
    const auto key = std::make_pair(run.fault_configured_point_id,
                                    static_cast<std::uint32_t>(run.failure_id));
    auto failures = flow.failures.find(key);
    if (failures != flow.failures.end()) {
      ++failures->second;
    } else if (Admit(machine, 1)) {
      flow.failures.emplace(key, 1);
    }
  }
  if (!run.points.empty()) {
    const auto [first, last] =
        std::minmax_element(run.points.begin(), run.points.end(),
                            [](const RunPoint& a, const RunPoint& b) {
                              return a.time_ns < b.time_ns;
                            });
    flow.duration.Observe(static_cast<double>(last->time_ns - first->time_ns) /
                          1e9);
  }
  flow.points_dropped += run.possibly_lost_points;
  AddSteps(machine, flow, run);
}

void FlowMetrics::AddSteps(MachineSeries& machine, FlowSeries& flow,
                           const FlowRun& run) {
  if (!run.cfg) return;
  bool have_previous = false;
  std::int64_t previous_ns = 0;
  for (const RunPoint& point : run.points) {
    // Only configured ids have a step: a known one needs no search.
    auto step = flow.steps.find(point.point_id);
    if (step == flow.steps.end() && !IsConfigured(*run.cfg, point.point_id)) {
      continue;
    }
    if (have_previous) {
      if (step == flow.steps.end() && Admit(machine, 1)) {
        step = flow.steps.emplace(point.point_id, Histogram()).first;
      }
      if (step != flow.steps.end()) {
        step->second.Observe(static_cast<double>(point.time_ns - previous_ns) /
                             1e9);
      }
    }
    have_previous = true;
    previous_ns = point.time_ns;
  }
}

std::string FlowMetrics::Labels(const std::string& machine,
                                const std::string& flow,
                                std::string_view rest) const {
  std::string labels;
  if (scope_ == Scope::kFleet) {
    labels += "machine=\"" + EscapeLabelValue(machine) + "\",";
  }
  labels += "flow=\"" + EscapeLabelValue(flow) + "\"";
  if (!rest.empty()) {
    labels += ',';
    labels += rest;
  }
  return labels;
}

void FlowMetrics::RenderCounters(std::string& out) const {
  auto to = std::back_inserter(out);
  Family(out, "kelpwood_flow_runs_total", "counter",
         "Checked runs of each device-wide flow, by result.");
  for (const auto& [machine, series] : machines_) {
    for (const auto& [flow, counts] : series.flows) {
      for (const auto& [result, count] : counts.runs) {
        fmt::format_to(to, "kelpwood_flow_runs_total{{{}}} {}\n",
                       Labels(machine, flow, "result=\"" + result + "\""),
                       count);
      }
    }
  }
  Family(out, "kelpwood_flow_failures_total", "counter",
         "Runs that did not pass, by the configured point at fault and its "
         "failure_id.");
  for (const auto& [machine, series] : machines_) {
    for (const auto& [flow, counts] : series.flows) {
      for (const auto& [fault, count] : counts.failures) {
        const std::string rest = "point=\"" + EscapeLabelValue(fault.first) +
                                 "\",failure_id=\"" +
                                 std::to_string(fault.second) + "\"";
        fmt::format_to(to, "kelpwood_flow_failures_total{{{}}} {}\n",
                       Labels(machine, flow, rest), count);
      }
    }
  }
  Family(out, "kelpwood_flow_points_dropped_total", "counter",
         "Points that may belong to a checked run but were lost before the "
         "journal.");
  for (const auto& [machine, series] : machines_) {
    for (const auto& [flow, counts] : series.flows) {
      fmt::format_to(to, "kelpwood_flow_points_dropped_total{{{}}} {}\n",
                     Labels(machine, flow, ""), counts.points_dropped);
    }
  }
}

void FlowMetrics::RenderHistograms(std::string& out) const {
  Family(out, "kelpwood_flow_duration_seconds", "histogram",
         "Time from the first to the last point of each checked run.");
  for (const auto& [machine, series] : machines_) {
    for (const auto& [flow, counts] : series.flows) {
      HistogramSamples(out, "kelpwood_flow_duration_seconds",
                       Labels(machine, flow, ""), counts.duration);
    }
  }
  Family(out, "kelpwood_flow_step_seconds", "histogram",
         "Time from the previous configured point of a run to each "
         "configured point recorded, by the point reached.");
  for (const auto& [machine, series] : machines_) {
    for (const auto& [flow, counts] : series.flows) {
      for (const auto& [step, histogram] : counts.steps) {
        HistogramSamples(
            out, "kelpwood_flow_step_seconds",
            Labels(machine, flow, "step=\"" + EscapeLabelValue(step) + "\""),
            histogram);
      }
    }
  }
}

std::string FlowMetrics::Render() const {
  std::string out;
  RenderCounters(out);
  RenderHistograms(out);
  auto to = std::back_inserter(out);
  if (scope_ == Scope::kWatch) {
    Family(out, "kelpwood_watch_open_runs", "gauge",
           "Runs begun and not yet ended.");
    fmt::format_to(to, "kelpwood_watch_open_runs {}\n", open_runs_);
    Family(out, "kelpwood_watch_lag_seconds", "gauge",
           "From the journal's receive time of the last entry taken to the "
           "moment the watch took it.");
    fmt::format_to(to, "kelpwood_watch_lag_seconds {}\n", lag_seconds_);
    Family(out, "kelpwood_watch_verdicts_unwritten_total", "counter",
           "Verdict entries that could not be written to the journal.");
    fmt::format_to(to, "kelpwood_watch_verdicts_unwritten_total {}\n",
                   unwritten_verdicts_);
  }
  Family(out, "kelpwood_metrics_series_dropped_total", "counter",
         "Observations left out because their label set would pass the "
         "limit of label sets per machine.");
  fmt::format_to(to, "kelpwood_metrics_series_dropped_total {}\n",
                 series_dropped_);
  return out;
}

void FlowMetrics::SaveState(std::ostream& out) const {
  out << kStateHeader << '\n';
  for (const auto& [machine_id, machine] : machines_) {
    const std::string m = EscapeStateField(machine_id);
    for (const auto& [flow_id, flow] : machine.flows) {
      const std::string f = m + '\t' + EscapeStateField(flow_id);
      out << "flow\t" << f << '\t' << flow.points_dropped << '\t'
          << HistogramFields(flow.duration) << '\n';
      for (const auto& [result, count] : flow.runs) {
        out << "runs\t" << f << '\t' << EscapeStateField(result) << '\t'
            << count << '\n';
      }
      for (const auto& [fault, count] : flow.failures) {
        out << "failure\t" << f << '\t' << EscapeStateField(fault.first) << '\t'
            << fault.second << '\t' << count << '\n';
      }
      for (const auto& [step, histogram] : flow.steps) {
        out << "step\t" << f << '\t' << EscapeStateField(step) << '\t'
            << HistogramFields(histogram) << '\n';
      }
    }
  }
  out << "unwritten\t" << unwritten_verdicts_ << '\n';
  out << "series-dropped\t" << series_dropped_ << '\n';
}

// One line of the state into this (fresh) object; false when malformed.
bool FlowMetrics::LoadLine(const std::string& line) {
  std::vector<std::string> fields;
  if (!SplitFields(line, fields) || fields.size() < 2) return false;
  const std::string& tag = fields[0];
  if (fields.size() == 2) {
    if (tag == "unwritten")
      return ParseStateUint64(fields[1], unwritten_verdicts_);
    if (tag == "series-dropped")
      return ParseStateUint64(fields[1], series_dropped_);
    return false;
  }
  MachineSeries& machine = machines_[fields[1]];
  if (tag == "flow") {
    FlowSeries flow;
    if (fields.size() < 4 ||
        !ParseStateUint64(fields[3], flow.points_dropped) ||
        !ParseHistogram(fields, 4, flow.duration) ||
        machine.flows.count(fields[2]) != 0) {
      return false;
    }
    if (Admit(machine, 2)) machine.flows.emplace(fields[2], std::move(flow));
    return true;
  }
  const auto at = machine.flows.find(fields[2]);
  if (at == machine.flows.end() || fields.size() < 5) {
    // A label set of a flow left out: left out with it.
    return at == machine.flows.end() && fields.size() >= 5 &&
           machine.series + 2 > max_series_;
  }
  FlowSeries& flow = at->second;
  std::uint64_t count = 0;
  std::uint64_t failure_id = 0;
  if (tag == "runs" && fields.size() == 5 &&
      ParseStateUint64(fields[4], count)) {
    if (Admit(machine, 1)) flow.runs[fields[3]] = count;
    return true;
  }
  if (tag == "failure" && fields.size() == 6 &&
      ParseStateUint64(fields[4], failure_id) && failure_id <= UINT32_MAX &&
      ParseStateUint64(fields[5], count)) {
    if (Admit(machine, 1)) {
      flow.failures[{fields[3], static_cast<std::uint32_t>(failure_id)}] =
          count;
    }
    return true;
  }
  Histogram histogram;
  if (tag == "step" && ParseHistogram(fields, 4, histogram)) {
    if (Admit(machine, 1)) flow.steps[fields[3]] = histogram;
    return true;
  }
  return false;
}

bool FlowMetrics::LoadState(std::istream& in) {
  std::string line;
  if (!std::getline(in, line) || line != kStateHeader) return false;
  FlowMetrics loaded(scope_, max_series_);
  while (std::getline(in, line)) {
    if (!loaded.LoadLine(line)) return false;
  }
  machines_ = std::move(loaded.machines_);
  unwritten_verdicts_ = loaded.unwritten_verdicts_;
  series_dropped_ = loaded.series_dropped_;
  return true;
}

}  // namespace runs
}  // namespace kelpwood
