#include "journal/journal_reader.h"

#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>
#include <systemd/sd-messages.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "journal/journal_writer.h"
#include "journal/message_ids.h"

namespace kelpwood {
namespace journal {
namespace {

constexpr std::string_view kPointMetaPrefix = "POINT_META_";

std::string Reason(const char* what, int negative_errno) {
  return std::string(what) + ": " + std::strerror(-negative_errno);
}

// Parses a decimal field value; false for anything but digits (an optional
// leading '-' where `allow_negative`).
bool ParseInteger(std::string_view text, bool allow_negative,
                  std::int64_t& value) {
  if (text.empty()) return false;
  bool negative = false;
  if (allow_negative && text.front() == '-') {
    negative = true;
    text.remove_prefix(1);
    if (text.empty()) return false;
  }
  std::uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (static_cast<std::uint64_t>(INT64_MAX) - digit) / 10) {
      return false;
    }
    magnitude = magnitude * 10 + digit;
  }
  value = negative ? -static_cast<std::int64_t>(magnitude)
                   : static_cast<std::int64_t>(magnitude);
  return true;
}

// journald names the unit only inside its text: "Suppressed N messages from
// UNIT".
std::string SuppressedUnit(std::string_view message) {
  constexpr std::string_view kFrom = " messages from ";
  const std::size_t at = message.find(kFrom);
  if (at == std::string_view::npos) return "";
  return std::string(message.substr(at + kFrom.size()));
}

// Keeps the pairs that fit in kMaxMetadataBytes; the number left out.
std::uint64_t CapMetadata(
    std::vector<std::pair<std::string, std::string>>& metadata) {
  std::size_t bytes = 0;
  std::size_t kept = 0;
  while (kept < metadata.size()) {
    bytes += metadata[kept].first.size() + metadata[kept].second.size();
    if (bytes > kMaxMetadataBytes) break;
    ++kept;
  }
  const std::uint64_t dropped = metadata.size() - kept;
  metadata.resize(kept);
  return dropped;
}

// The point's own time where it is close to the journal's, else the
// journal's: a point cannot move itself into another run or past a deadline.
std::int64_t PointTime(std::int64_t point_time_ns, std::uint64_t realtime_us) {
  const std::int64_t received_ns =
      static_cast<std::int64_t>(realtime_us) * 1000;
  if (point_time_ns == 0) return received_ns;
  const std::int64_t apart = point_time_ns > received_ns
                                 ? point_time_ns - received_ns
                                 : received_ns - point_time_ns;
  return apart <= kPointTimeWindowNs ? point_time_ns : received_ns;
}

}  // namespace

bool TrustedWriters::Allows(uid_t uid, std::string_view unit) const {
  if (std::find(uids.begin(), uids.end(), uid) != uids.end()) return true;
  return !unit.empty() &&
         std::find(units.begin(), units.end(), unit) != units.end();
}

JournalReader::JournalReader(sd_journal* journal, std::string directory)
    : journal_(journal), directory_(std::move(directory)) {}

JournalReader::~JournalReader() { sd_journal_close(journal_); }

std::unique_ptr<JournalReader> JournalReader::OpenLocal(std::string& error) {
  sd_journal* journal = nullptr;
  const int result = sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY);
  if (result < 0) {
    error = Reason("cannot open the journal", result);
    return nullptr;
  }
  std::unique_ptr<JournalReader> reader(new JournalReader(journal, ""));
  if (!reader->AddFlowMatches()) {
    error = "cannot select the flow entries of the journal";
    return nullptr;
  }
  return reader;
}

std::unique_ptr<JournalReader> JournalReader::OpenDirectory(
    const std::string& path, std::string& error) {
  sd_journal* journal = nullptr;
  const int result = sd_journal_open_directory(&journal, path.c_str(), 0);
  if (result < 0) {
    error = Reason(("cannot open journal directory '" + path + "'").c_str(),
                   result);
    return nullptr;
  }
  std::unique_ptr<JournalReader> reader(new JournalReader(journal, path));
  if (!reader->AddFlowMatches()) {
    error = "cannot select the flow entries of '" + path + "'";
    return nullptr;
  }
  return reader;
}

bool JournalReader::AddFlowMatches() {
  // Matches on one field are alternatives, so the journal's own indexes pick
  // the flow entries and every other entry is never read.
  for (const char* id : {kPointPublished, kFlowReset, kPointsDropped,
                         SD_MESSAGE_JOURNAL_DROPPED_STR}) {
    const std::string match = std::string("MESSAGE_ID=") + id;
    if (sd_journal_add_match(journal_, match.data(), match.size()) < 0) {
      return false;
    }
  }
  return true;
}

bool JournalReader::RestrictToBoot(const std::string& boot_id) {
  const std::string match = "_BOOT_ID=" + boot_id;
  return sd_journal_add_match(journal_, match.data(), match.size()) >= 0;
}

bool JournalReader::RestrictToMachine(const std::string& machine_id) {
  const std::string match = "_MACHINE_ID=" + machine_id;
  return sd_journal_add_match(journal_, match.data(), match.size()) >= 0;
}

void JournalReader::SetTrustedWriters(TrustedWriters writers) {
  trusted_ = std::move(writers);
}

bool JournalReader::SeekHead(std::string& error) {
  take_current_ = false;
  const int result = sd_journal_seek_head(journal_);
  if (result < 0) error = Reason("cannot seek to the journal's head", result);
  return result >= 0;
}

bool JournalReader::SeekTail(std::string& error) {
  take_current_ = false;
  int result = sd_journal_seek_tail(journal_);
  // After seek_tail the next step forward finds nothing until new entries
  // arrive, and then only the last of them; stepping back onto the last
  // flow entry positions the reader so that Next() returns every newer one.
  if (result >= 0) result = sd_journal_previous(journal_);
  if (result < 0) {
    error = Reason("cannot seek to the journal's tail", result);
    return false;
  }
  last_step_positioned_ = result > 0;
  if (result > 0) return true;
  // No flow entry yet (a fresh, rotated or vacuumed journal): stand on the
  // newest entry of any kind instead, or before the first one to come.
  return SeekNewestEntry(error);
}

bool JournalReader::SeekNewestEntry(std::string& error) {
  sd_journal* all = nullptr;
  int result = directory_.empty()
                   ? sd_journal_open(&all, SD_JOURNAL_LOCAL_ONLY)
                   : sd_journal_open_directory(&all, directory_.c_str(), 0);
  if (result < 0) {
    error = Reason("cannot open the journal", result);
    return false;
  }
  char* cursor = nullptr;
  result = sd_journal_seek_tail(all);
  if (result >= 0) result = sd_journal_previous(all);
  if (result > 0) result = sd_journal_get_cursor(all, &cursor);
  sd_journal_close(all);
  if (result < 0) {
    error = Reason("cannot seek to the journal's tail", result);
    return false;
  }
  // An empty journal: every entry that comes is newer.
  result = cursor == nullptr ? sd_journal_seek_head(journal_)
                             : sd_journal_seek_cursor(journal_, cursor);
  std::free(cursor);
  if (result < 0) error = Reason("cannot seek to the journal's tail", result);
  return result >= 0;
}

bool JournalReader::SeekRealtime(std::uint64_t realtime_us,
                                 std::string& error) {
  take_current_ = false;
  const int result = sd_journal_seek_realtime_usec(journal_, realtime_us);
  if (result < 0) error = Reason("cannot seek in the journal", result);
  return result >= 0;
}

bool JournalReader::SeekAfterCursor(const std::string& cursor,
                                    std::string& error, bool* entry_gone) {
  int result = sd_journal_seek_cursor(journal_, cursor.c_str());
  if (result < 0) {
    error = Reason("cannot seek to the saved journal cursor", result);
    return false;
  }
  result = sd_journal_next(journal_);
  if (result < 0) {
    error = Reason("cannot read the journal", result);
    return false;
  }
  const bool gone =
      result == 0 || sd_journal_test_cursor(journal_, cursor.c_str()) <= 0;
  if (entry_gone != nullptr) *entry_gone = gone;
  // Gone, the seek lands on the nearest place (by sequence number, else by
  // time): the entry stood on is the first after it, still to be read.
  take_current_ = gone && result > 0;
  last_step_positioned_ = result > 0;
  return true;
}

int JournalReader::Next(FlowEntry& entry) {
  const int step = take_current_ ? 1 : sd_journal_next(journal_);
  take_current_ = false;
  if (step <= 0) return step;
  last_step_positioned_ = true;

  entry = FlowEntry();
  std::string_view message_id;
  std::string_view message;
  bool has_point = false;
  bool has_success = false;
  bool has_uid = false;
  bool oversized = false;
  std::int64_t uid = -1;
  std::int64_t point_time_ns = 0;
  // POINT_METADATA, decoded at once: a compressed field's bytes last only
  // until the next field is read.
  std::vector<std::pair<std::string, std::string>> spelt_metadata;
  bool has_spelt_metadata = false;
  std::int64_t number = 0;
  const void* data = nullptr;
  std::size_t length = 0;
  sd_journal_restart_data(journal_);
  while (sd_journal_enumerate_available_data(journal_, &data, &length) > 0) {
    const std::string_view field(static_cast<const char*>(data), length);
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = field.substr(0, equals);
    const std::string_view value = field.substr(equals + 1);
    if (name == "MESSAGE_ID") {
      message_id = value;
    } else if (name == "FLOW_ID" || name == "POINT_ID") {
      oversized = oversized || value.size() > kMaxIdBytes;
      (name == "FLOW_ID" ? entry.flow_id : entry.point_id).assign(value);
      has_point = has_point || name == "POINT_ID";
    } else if (name == "POINT_SUCCESS") {
      has_success = value == "1" || value == "0";
      entry.success = value == "1";
    } else if (name == "POINT_TIMESTAMP_NS") {
      if (ParseInteger(value, true, number)) point_time_ns = number;
    } else if (name == "DROPPED_POINTS" || name == "N_DROPPED") {
      if (ParseInteger(value, false, number))
        entry.count = static_cast<std::uint64_t>(number);
    } else if (name == "_MACHINE_ID") {
      entry.machine_id.assign(value);
    } else if (name == "_BOOT_ID") {
      entry.boot_id.assign(value);
    } else if (name == "_UID") {
      has_uid = ParseInteger(value, false, uid);
    } else if (name == "_TRANSPORT") {
      entry.transport.assign(value);
    } else if (name == "_PID") {
      if (ParseInteger(value, false, number)) {
        entry.pid = static_cast<pid_t>(number);
      }
    } else if (name == "_COMM") {
      entry.comm.assign(value);
    } else if (name == "_SYSTEMD_UNIT") {
      entry.unit.assign(value);
    } else if (name == "MESSAGE") {
      message = value;
    } else if (name == kPointMetadataField) {
      has_spelt_metadata = DecodeMetadataPairs(value, spelt_metadata);
    } else if (name.size() > kPointMetaPrefix.size() &&
               name.substr(0, kPointMetaPrefix.size()) == kPointMetaPrefix) {
      entry.metadata.emplace_back(name.substr(kPointMetaPrefix.size()), value);
    }
  }
  // The keys as spelt, when the publisher wrote them and they decode; else
  // the POINT_META_* names.
  if (has_spelt_metadata) entry.metadata = std::move(spelt_metadata);
  entry.metadata_dropped = CapMetadata(entry.metadata);
  sd_journal_get_realtime_usec(journal_, &entry.realtime_us);
  sd_id128_t boot;
  sd_journal_get_monotonic_usec(journal_, &entry.monotonic_us, &boot);
  entry.time_ns = PointTime(point_time_ns, entry.realtime_us);
  const bool trusted =
      has_uid && trusted_.Allows(static_cast<uid_t>(uid), entry.unit);
  // `message` points into the journal's mapping; use it before moving on.
  entry.kind = Classify(entry, message_id, message, trusted && !oversized,
                        has_point && has_success);
  return 1;
}

FlowEntryKind JournalReader::Classify(FlowEntry& entry,
                                      std::string_view message_id,
                                      std::string_view message, bool trusted,
                                      bool whole_point) const {
  if (message_id == SD_MESSAGE_JOURNAL_DROPPED_STR) {
    // Only journald's own notice: any process may write its MESSAGE_ID.
    entry.unit = SuppressedUnit(message);
    entry.flow_id.clear();
    const bool counts =
        entry.transport == "driver" && !entry.unit.empty() && entry.count > 0;
    return counts ? FlowEntryKind::kJournalSuppressed : FlowEntryKind::kIgnored;
  }
  if (!trusted || entry.flow_id.empty()) return FlowEntryKind::kIgnored;
  if (message_id == kPointPublished) {
    return whole_point ? FlowEntryKind::kPoint : FlowEntryKind::kIgnored;
  }
  if (message_id == kFlowReset) return FlowEntryKind::kReset;
  if (message_id == kPointsDropped && entry.count > 0) {
    return FlowEntryKind::kPointsDropped;
  }
  return FlowEntryKind::kIgnored;
}

std::string JournalReader::Cursor() {
  if (!last_step_positioned_) return "";
  char* cursor = nullptr;
  if (sd_journal_get_cursor(journal_, &cursor) < 0) return "";
  std::string result(cursor);
  std::free(cursor);
  return result;
}

int JournalReader::Wait(std::uint64_t timeout_us) {
  const int result = sd_journal_wait(journal_, timeout_us);
  return result < 0 ? result : 0;
}

}  // namespace journal
}  // namespace kelpwood
