#include "journal/flow_publishing.h"

#include <fmt/format.h>
#include <kelpwood/flow_timeline.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "journal/journal_writer.h"
#include "journal/message_ids.h"
#include "journal/verdict_entry.h"

namespace kelpwood {
namespace journal {

namespace {

// Points journald did not take, by flow, until a report of them is sent.
// Its own mutex is taken only while there is something to count or report:
// publishing normally checks one atomic flag.
class DropLedger {
 public:
  static DropLedger& Instance() {
    static DropLedger* const ledger = new DropLedger;
    return *ledger;
  }

  void Count(const std::string& flow_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++dropped_[flow_id];
    pending_.store(true, std::memory_order_release);
  }

  bool Pending() const noexcept {
    return pending_.load(std::memory_order_acquire);
  }

  std::uint64_t Unreported(const std::string& flow_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = dropped_.find(flow_id);
    return entry == dropped_.end() ? 0 : entry->second;
  }

  // Sends one entry per flow until journald refuses one; reported counts are
  // forgotten, the others kept for the next try.
  bool Report() {
    std::lock_guard<std::mutex> lock(mutex_);
    JournalEntry entry;
    for (auto it = dropped_.begin(); it != dropped_.end();) {
      const std::string& flow_id = it->first;
      const std::uint64_t count = it->second;
      entry.Clear();
      entry.Add("MESSAGE",
                fmt::format("{} points of flow '{}' could not be published",
                            count, flow_id));
      entry.Add("MESSAGE_ID", kPointsDropped);
      entry.Add("PRIORITY", "4");
      entry.Add("SYSLOG_IDENTIFIER", ProgramIdentifier());
      entry.Add("FLOW_ID", flow_id);
      entry.Add("DROPPED_POINTS", count);
      if (JournalWriter::Instance().Send(entry) != SendStatus::kSent) break;
      it = dropped_.erase(it);
    }
    const bool done = dropped_.empty();
    pending_.store(!done, std::memory_order_release);
    return done;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::uint64_t> dropped_;
  std::atomic<bool> pending_{false};
};

// Sends `entry`, after any pending drop report so that the report comes
// before the points that follow it. Returns whether journald took `entry`.
bool SendAfterDropReport(const JournalEntry& entry) {
  DropLedger& ledger = DropLedger::Instance();
  if (ledger.Pending() && !ledger.Report()) return false;
  return JournalWriter::Instance().Send(entry) == SendStatus::kSent;
}

// Each thread reuses its entry's storage: publishing a point allocates
// nothing once the buffer has grown to the flow's entry size.
JournalEntry& ThreadEntry() {
  thread_local JournalEntry entry;
  entry.Clear();
  return entry;
}

// -1: not decided yet (read the environment); 0 or 1: decided.
std::atomic<int> verdicts_to_journal{-1};

}  // namespace

FlowJournalTable& FlowJournalTable::Instance() {
  static FlowJournalTable* const table = new FlowJournalTable;
  return *table;
}

void FlowJournalTable::SetDeviceWide(const std::string& flow_id,
                                     bool device_wide) {
  FlowJournalSettings& settings = settings_[flow_id];
  if (settings.device_wide == device_wide) return;
  settings.device_wide = device_wide;
  if (device_wide) {
    ++device_wide_count_;
  } else {
    --device_wide_count_;
  }
}

void FlowJournalTable::SetDeadline(const std::string& flow_id,
                                   std::uint64_t deadline_ms) {
  settings_[flow_id].deadline_ms = deadline_ms;
}

FlowJournalSettings FlowJournalTable::Get(const std::string& flow_id) const {
  auto entry = settings_.find(flow_id);
  return entry == settings_.end() ? FlowJournalSettings{} : entry->second;
}

bool FlowJournalTable::IsDeviceWide(const std::string& flow_id) const {
  if (device_wide_count_ == 0) return false;
  auto entry = settings_.find(flow_id);
  return entry != settings_.end() && entry->second.device_wide;
}

std::uint64_t FlowJournalTable::NextVerdictNumber(const std::string& flow_id) {
  return ++settings_[flow_id].verdicts_written;
}

void PublishPoint(const std::string& flow_id, const trace::TracePoint& point,
                  std::int32_t index) {
  JournalEntry& entry = ThreadEntry();
  thread_local std::string message;
  message.assign("Flow '").append(flow_id).append("' point '");
  message.append(point.point_id).append(point.success ? "' ok" : "' failed");
  entry.Add("MESSAGE", message);
  entry.Add("MESSAGE_ID", kPointPublished);
  entry.Add("PRIORITY", point.success ? "6" : "4");
  entry.Add("SYSLOG_IDENTIFIER", ProgramIdentifier());
  entry.Add("FLOW_ID", flow_id);
  entry.Add("POINT_ID", point.point_id);
  entry.Add("POINT_SUCCESS", point.success ? "1" : "0");
  // The point's own time stamp, which has millisecond precision.
  entry.Add("POINT_TIMESTAMP_NS", trace::TracePointTimeNs(point));
  entry.Add("POINT_INDEX", static_cast<std::int64_t>(index));
  for (const auto& [key, value] : point.metadata) {
    entry.Add(JournalFieldName("POINT_META_", key), value);
  }
  if (!SendAfterDropReport(entry)) DropLedger::Instance().Count(flow_id);
}

void PublishReset(const std::string& flow_id) {
  JournalEntry& entry = ThreadEntry();
  entry.Add("MESSAGE", fmt::format("Flow '{}' reset", flow_id));
  entry.Add("MESSAGE_ID", kFlowReset);
  entry.Add("PRIORITY", "6");
  entry.Add("SYSLOG_IDENTIFIER", ProgramIdentifier());
  entry.Add("FLOW_ID", flow_id);
  SendAfterDropReport(entry);
}

std::uint64_t UnreportedDroppedPoints(const std::string& flow_id) {
  return DropLedger::Instance().Unreported(flow_id);
}

bool ReportDroppedPoints() { return DropLedger::Instance().Report(); }

bool VerdictsGoToJournal() noexcept {
  int state = verdicts_to_journal.load(std::memory_order_relaxed);
  if (state < 0) {
    const char* value = std::getenv("KELPWOOD_FLOW_JOURNAL");
    const int from_environment =
        value != nullptr && std::strcmp(value, "true") == 0 ? 1 : 0;
    // A concurrent SetVerdictsToJournal() wins over the environment.
    verdicts_to_journal.compare_exchange_strong(state, from_environment);
    state = verdicts_to_journal.load(std::memory_order_relaxed);
  }
  return state == 1;
}

void SetVerdictsToJournal(bool enabled) noexcept {
  verdicts_to_journal.store(enabled ? 1 : 0, std::memory_order_relaxed);
}

FlowRun MakeCheckedRun(
    const std::string& flow_id, const std::string& run_id,
    const std::shared_ptr<trace::TraceFlowCfg>& cfg,
    const std::vector<std::shared_ptr<trace::TracePoint>>& recorded,
    const trace::FlowCheckResult& result) {
  FlowRun run;
  run.flow_id = flow_id;
  run.run_id = run_id;
  run.cfg = cfg;
  run.points.reserve(recorded.size());
  for (const auto& point : recorded) {
    if (point == result.trace_point) {
      run.fault_point_index = static_cast<int>(run.points.size());
    }
    RunPoint& copy = run.points.emplace_back();
    copy.point_id = point->point_id;
    copy.success = point->success;
    copy.time_ns = trace::TracePointTimeNs(*point);
  }
  if (!recorded.empty()) {
    // As GetFlowDuration: first and last by queue position.
    run.start_ns = run.points.front().time_ns;
    run.end_ns = run.points.back().time_ns;
  }
  run.code = result.result;
  if (result.point_cfg) {
    run.fault_configured_point_id = result.point_cfg->point_id;
    run.failure_id = result.point_cfg->failure_id;
  }
  run.unexpected_points = CountUnexpectedPoints(cfg.get(), run.points);
  return run;
}

}  // namespace journal
}  // namespace kelpwood
