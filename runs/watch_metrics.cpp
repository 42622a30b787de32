#include "runs/watch_metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "base/posix_file.h"

namespace kelpwood {
namespace runs {
namespace {

constexpr std::int64_t kWriteIntervalNs = 1000000000;

}  // namespace

MetricsWriter::MetricsWriter(std::string state_path, std::string file_path)
    : state_path_(std::move(state_path)),
      file_path_(std::move(file_path)),
      thread_([this] { Run(); }) {}

MetricsWriter::~MetricsWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void MetricsWriter::Submit(std::string state, std::string file) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = std::move(state);
    file_ = std::move(file);
    pending_ = true;
  }
  wake_.notify_one();
}

void MetricsWriter::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return !pending_ && !busy_; });
}

std::string MetricsWriter::LastError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

void MetricsWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return pending_ || stop_; });
    if (!pending_) return;
    const std::string state = std::move(state_);
    const std::string file = std::move(file_);
    pending_ = false;
    busy_ = true;
    lock.unlock();
    std::string error;
    const bool written =
        base::WriteFileAtomically(state_path_, state, 0600, error) &&
        base::WriteFileAtomically(file_path_, file, 0644, error);
    lock.lock();
    busy_ = false;
    last_error_ = written ? "" : "metrics: " + error;
    idle_.notify_all();
  }
}

WatchMetrics::WatchMetrics(std::string path, const std::string& state_dir)
    : path_(std::move(path)),
      state_dir_(state_dir),
      metrics_(FlowMetrics::Scope::kWatch) {
  if (enabled()) {
    writer_ =
        std::make_unique<MetricsWriter>(state_dir_ + "/metrics.state", path_);
  }
}

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
  if (changed_ && (final || now_ns - last_write_ns_ >= kWriteIntervalNs)) {
    last_write_ns_ = now_ns;
    std::ostringstream state;
    metrics_.SaveState(state);
    writer_->Submit(state.str(), metrics_.Render());
    changed_ = false;
  }
  if (final) writer_->Flush();
  const std::string error = writer_->LastError();
  if (error.empty()) {
    failing_ = false;
    return "";
  }
  changed_ = true;  // written again a second later
  const bool first = !failing_;
  failing_ = true;
  return first ? error : "";
}

}  // namespace runs
}  // namespace kelpwood
