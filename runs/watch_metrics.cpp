#include "runs/watch_metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace kelpwood {
namespace runs {
namespace {

constexpr std::int64_t kWriteIntervalNs = 1000000000;

}  // namespace

WatchMetrics::WatchMetrics(std::string path, const std::string& state_dir)
    : path_(std::move(path)),
      state_dir_(state_dir),
      metrics_(FlowMetrics::Scope::kWatch) {}

std::string WatchMetrics::Load() {
  if (!enabled()) return "";
  const std::string state = state_dir_ + "/metrics.state";
  std::ifstream in(state);
  if (!in) {
    if (errno == ENOENT) return "";
    return state + ": " + std::strerror(errno) + "; counters start at 0";
  }
  if (metrics_.LoadState(in)) return "";
  const std::string aside = state + ".damaged";
  if (std::rename(state.c_str(), aside.c_str()) != 0) {
    return state +
           ": damaged, and it cannot be kept aside: " + std::strerror(errno) +
           "; counters start at 0";
  }
  return state + ": damaged, kept as " + aside + "; counters start at 0";
}

void WatchMetrics::AddRun(const trace::FlowRun& run) {
  if (!enabled()) return;
  metrics_.AddRun(run);
  changed_ = true;
}

void WatchMetrics::SetUnwrittenVerdicts(std::uint64_t count) {
  if (!enabled() || count <= unwritten_seen_) return;
  metrics_.AddUnwrittenVerdicts(count - unwritten_seen_);
  unwritten_seen_ = count;
  changed_ = true;
}

std::string WatchMetrics::Update(std::size_t open_runs, std::int64_t now_ns,
                                 bool final) {
  if (!enabled()) return "";
  if (open_runs != open_runs_) {
    open_runs_ = open_runs;
    metrics_.SetOpenRuns(open_runs);
    changed_ = true;
  }
  if (last_entry_us_ != 0) {
    const double lag =
        static_cast<double>(now_ns / 1000 -
                            static_cast<std::int64_t>(last_entry_us_)) /
        1e6;
    metrics_.SetLagSeconds(lag > 0 ? lag : 0);
    last_entry_us_ = 0;
    changed_ = true;
  }
  if (!changed_ || (!final && now_ns - last_write_ns_ < kWriteIntervalNs)) {
    return "";
  }
  last_write_ns_ = now_ns;
  const std::string error = Write();
  if (!error.empty()) {
    const bool first = !failing_;
    failing_ = true;
    return first ? error : "";
  }
  failing_ = false;
  changed_ = false;
  return "";
}

// The state first: a file that shows counts the state lacks would go back
// after a restart.
std::string WatchMetrics::Write() {
  std::ostringstream state;
  metrics_.SaveState(state);
  std::string error;
  if (!WriteFileAtomically(state_dir_ + "/metrics.state", state.str(), 0600,
                           error) ||
      !WriteFileAtomically(path_, metrics_.Render(), 0644, error)) {
    return "metrics: " + error;
  }
  return "";
}

}  // namespace runs
}  // namespace kelpwood
