#include "journal/journal_reader.h"

#include <systemd/sd-journal.h>
#include <systemd/sd-messages.h>

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

}  // namespace

JournalReader::JournalReader(sd_journal* journal) : journal_(journal) {}

JournalReader::~JournalReader() { sd_journal_close(journal_); }

std::unique_ptr<JournalReader> JournalReader::OpenLocal(std::string& error) {
  sd_journal* journal = nullptr;
  const int result = sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY);
  if (result < 0) {
    error = Reason("cannot open the journal", result);
    return nullptr;
  }
  std::unique_ptr<JournalReader> reader(new JournalReader(journal));
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
  std::unique_ptr<JournalReader> reader(new JournalReader(journal));
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

bool JournalReader::SeekHead(std::string& error) {
  const int result = sd_journal_seek_head(journal_);
  if (result < 0) error = Reason("cannot seek to the journal's head", result);
  return result >= 0;
}

bool JournalReader::SeekTail(std::string& error) {
  int result = sd_journal_seek_tail(journal_);
  // After seek_tail the next step forward finds nothing until new entries
  // arrive; stepping back once and forward again positions the reader on
  // the last entry, so that Next() returns only newer ones.
  if (result >= 0) {
    result = sd_journal_previous(journal_);
    last_step_positioned_ = result > 0;
  }
  if (result < 0) error = Reason("cannot seek to the journal's tail", result);
  return result >= 0;
}

bool JournalReader::SeekRealtime(std::uint64_t realtime_us,
                                 std::string& error) {
  const int result = sd_journal_seek_realtime_usec(journal_, realtime_us);
  if (result < 0) error = Reason("cannot seek in the journal", result);
  return result >= 0;
}

bool JournalReader::SeekAfterCursor(const std::string& cursor,
                                    std::string& error) {
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
  if (result > 0 && sd_journal_test_cursor(journal_, cursor.c_str()) <= 0) {
    // The saved entry is gone (vacuumed): the entry found is the first one
    // not yet read, so step back before it.
    sd_journal_previous(journal_);
  }
  return true;
}

int JournalReader::Next(FlowEntry& entry) {
  for (;;) {
    const int step = sd_journal_next(journal_);
    if (step <= 0) return step;

    entry = FlowEntry();
    std::string_view message_id;
    std::string_view message;
    bool has_point = false;
    bool has_success = false;
    bool has_count = false;
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
      } else if (name == "FLOW_ID") {
        entry.flow_id.assign(value);
      } else if (name == "POINT_ID") {
        entry.point_id.assign(value);
        has_point = true;
      } else if (name == "POINT_SUCCESS") {
        has_success = value == "1" || value == "0";
        entry.success = value == "1";
      } else if (name == "POINT_TIMESTAMP_NS") {
        if (ParseInteger(value, true, number)) entry.time_ns = number;
      } else if (name == "DROPPED_POINTS" || name == "N_DROPPED") {
        has_count = ParseInteger(value, false, number);
        if (has_count) entry.count = static_cast<std::uint64_t>(number);
      } else if (name == "_MACHINE_ID") {
        entry.machine_id.assign(value);
      } else if (name == "_BOOT_ID") {
        entry.boot_id.assign(value);
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
        entry.metadata.emplace_back(name.substr(kPointMetaPrefix.size()),
                                    value);
      }
    }
    // The keys as spelt, when the publisher wrote them and they decode; else
    // the POINT_META_* names.
    if (has_spelt_metadata) entry.metadata = std::move(spelt_metadata);
    // `message` points into the journal's mapping; use it before moving on.
    if (message_id == kPointPublished) {
      if (entry.flow_id.empty() || !has_point || !has_success) continue;
      entry.kind = FlowEntryKind::kPoint;
    } else if (message_id == kFlowReset) {
      if (entry.flow_id.empty()) continue;
      entry.kind = FlowEntryKind::kReset;
    } else if (message_id == kPointsDropped) {
      if (entry.flow_id.empty() || !has_count) continue;
      entry.kind = FlowEntryKind::kPointsDropped;
    } else if (message_id == SD_MESSAGE_JOURNAL_DROPPED_STR) {
      entry.unit = SuppressedUnit(message);
      if (entry.unit.empty() || !has_count) continue;
      entry.kind = FlowEntryKind::kJournalSuppressed;
      entry.flow_id.clear();
    } else {
      continue;
    }
    std::uint64_t realtime_us = 0;
    if (sd_journal_get_realtime_usec(journal_, &realtime_us) >= 0) {
      entry.realtime_us = realtime_us;
    }
    if (entry.time_ns == 0) {
      entry.time_ns = static_cast<std::int64_t>(entry.realtime_us) * 1000;
    }
    last_step_positioned_ = true;
    return 1;
  }
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
