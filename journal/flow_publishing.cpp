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
#include "trace/src/flow_journal.h"

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

}  // namespace

// Never destroyed: Trace may run from other objects' destructors at exit.
JournalWriter& JournalWriter::Instance() {
  static JournalWriter* const writer = new JournalWriter(kDefaultSocketPath);
  return *writer;
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

namespace {

// The registry's view of this module.
class Publisher final : public trace::FlowJournal {
 public:
  void PublishPoint(const std::string& flow_id, const trace::TracePoint& point,
                    std::int32_t index) override {
    journal::PublishPoint(flow_id, point, index);
  }
  void PublishReset(const std::string& flow_id) override {
    journal::PublishReset(flow_id);
  }
  void SendVerdict(const trace::FlowRun& run) override {
    journal::SendVerdict(JournalWriter::Instance(), run);
  }
};

// Installed when the shared object is loaded; never destroyed, so that a
// check at exit still writes its verdict.
[[maybe_unused]] const bool publisher_installed = [] {
  static Publisher* const publisher = new Publisher;
  trace::InstallFlowJournal(publisher);
  return true;
}();

}  // namespace

}  // namespace journal
}  // namespace kelpwood
