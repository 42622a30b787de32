#include "journal/flow_publishing.h"

#include <fmt/format.h>
#include <kelpwood/flow_timeline.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

// A drop report is tried at most this often (steady clock), so that reports
// never crowd out the points while journald's queue is full.
constexpr std::int64_t kReportSpacingNs = 100'000'000;

// journald refuses an entry with more than 1024 fields from its sender
// (ENTRY_FIELDS_MAX): a point sends at most this many, with room to spare.
constexpr std::size_t kMaxPointFields = 960;
// MESSAGE to POINT_INDEX, POINT_METADATA and POINT_TRUNCATED.
constexpr std::size_t kPointOwnFields = 11;
constexpr std::size_t kMaxMetadataPairs = kMaxPointFields - kPointOwnFields;
// A metadata key or value is cut to this many bytes.
constexpr std::size_t kMaxMetadataBytes = 4096;

std::int64_t SteadyNowNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// `text` cut to kMaxMetadataBytes, not inside a UTF-8 sequence.
std::string_view CutMetadata(std::string_view text) noexcept {
  if (text.size() <= kMaxMetadataBytes) return text;
  std::size_t cut = kMaxMetadataBytes;
  while (cut + 3 > kMaxMetadataBytes &&
         (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return text.substr(0, cut);
}

void BuildDropReport(JournalEntry& entry, const std::string& flow_id,
                     std::uint64_t count) {
  entry.Clear();
  entry.Add("MESSAGE",
            fmt::format("{} points of flow '{}' could not be published", count,
                        flow_id));
  entry.Add("MESSAGE_ID", kPointsDropped);
  entry.Add("PRIORITY", "4");
  entry.Add("SYSLOG_IDENTIFIER", ProgramIdentifier());
  entry.Add("FLOW_ID", flow_id);
  entry.Add("DROPPED_POINTS", count);
}

// Points journald did not take, by flow, until a report of them is sent.
// Counting a drop takes the ledger's mutex for one increment; reports are
// built and sent outside it, so that a drop never waits for a send.
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

  std::uint64_t Unreported(const std::string& flow_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = dropped_.find(flow_id);
    return entry == dropped_.end() ? 0 : entry->second;
  }

  // Called after journald took an entry: reports when drops are pending and
  // no report was tried in the last kReportSpacingNs. One atomic load while
  // nothing is pending.
  void ReportIfDue() {
    if (!pending_.load(std::memory_order_acquire)) return;
    const std::int64_t now = SteadyNowNs();
    std::int64_t due = next_report_ns_.load(std::memory_order_relaxed);
    if (now < due) return;
    // Of the threads that find it due, one reports.
    if (!next_report_ns_.compare_exchange_strong(due, now + kReportSpacingNs)) {
      return;
    }
    Report();
  }

  // Sends one entry per flow until journald refuses one; each sent report's
  // count is subtracted, so drops counted meanwhile wait for the next one.
  bool Report() {
    std::lock_guard<std::mutex> reporting(report_mutex_);
    std::vector<std::pair<std::string, std::uint64_t>> counts;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      counts.assign(dropped_.begin(), dropped_.end());
    }
    JournalEntry entry;
    std::size_t reported = 0;
    for (; reported < counts.size(); ++reported) {
      BuildDropReport(entry, counts[reported].first, counts[reported].second);
      if (JournalWriter::Instance().Send(entry) != SendStatus::kSent) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < reported; ++i) {
      auto it = dropped_.find(counts[i].first);
      it->second -= counts[i].second;
      if (it->second == 0) dropped_.erase(it);
    }
    const bool done = dropped_.empty();
    pending_.store(!done, std::memory_order_release);
    return done;
  }

 private:
  // Held while a report is built and sent: one reporter at a time.
  std::mutex report_mutex_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::uint64_t> dropped_;
  std::atomic<bool> pending_{false};
  // steady_clock ns from which the next report may be tried.
  std::atomic<std::int64_t> next_report_ns_{0};
};

// Sends `entry`; once journald took it, any drop report that is due follows
// it, so that points go first. Returns whether journald took `entry`.
bool SendThenReportDrops(const JournalEntry& entry) {
  if (JournalWriter::Instance().Send(entry) != SendStatus::kSent) return false;
  DropLedger::Instance().ReportIfDue();
  return true;
}

// Adds the point's metadata, cut to journald's limits: the first
// kMaxMetadataPairs pairs, each key and value at most kMaxMetadataBytes.
// Returns how many pairs were dropped or cut.
std::uint64_t AddMetadata(
    JournalEntry& entry,
    const std::vector<std::pair<std::string, std::string>>& metadata) {
  const std::size_t kept = std::min(metadata.size(), kMaxMetadataPairs);
  std::uint64_t truncated = metadata.size() - kept;
  thread_local std::string encoded;
  encoded.clear();
  for (std::size_t i = 0; i < kept; ++i) {
    const std::string_view key = CutMetadata(metadata[i].first);
    const std::string_view value = CutMetadata(metadata[i].second);
    if (key.size() < metadata[i].first.size() ||
        value.size() < metadata[i].second.size()) {
      ++truncated;
    }
    entry.Add(JournalFieldName("POINT_META_", metadata[i].first), value);
    AppendMetadataPair(encoded, key, value);
  }
  if (kept > 0) entry.Add(kPointMetadataField, encoded);
  return truncated;
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
  const std::uint64_t truncated = AddMetadata(entry, point.metadata);
  if (truncated > 0) entry.Add("POINT_TRUNCATED", truncated);
  if (!SendThenReportDrops(entry)) DropLedger::Instance().Count(flow_id);
}

void PublishReset(const std::string& flow_id) {
  JournalEntry& entry = ThreadEntry();
  entry.Add("MESSAGE", fmt::format("Flow '{}' reset", flow_id));
  entry.Add("MESSAGE_ID", kFlowReset);
  entry.Add("PRIORITY", "6");
  entry.Add("SYSLOG_IDENTIFIER", ProgramIdentifier());
  entry.Add("FLOW_ID", flow_id);
  SendThenReportDrops(entry);
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
