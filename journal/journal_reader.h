// Reads the journal entries that describe device-wide flows: published
// points, published resets, publishers' drop counts and journald's own
// "Suppressed N messages" notices. Library-internal: used by kelpwood-flows
// watch and check, their tests and benchmarks.
//
//   std::string error;
//   auto reader = JournalReader::OpenDirectory("/var/log/journal/remote",
//                                              error);
//   FlowEntry entry;
//   while (reader->Next(entry) > 0) engine.Add(entry);

#ifndef KELPWOOD_JOURNAL_JOURNAL_READER_H_
#define KELPWOOD_JOURNAL_JOURNAL_READER_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

typedef struct sd_journal sd_journal;

namespace kelpwood {
namespace journal {

enum class FlowEntryKind {
  kPoint,              // a point of a device-wide flow
  kReset,              // a ResetFlow of a device-wide flow
  kPointsDropped,      // a publisher's count of points it could not send
  kJournalSuppressed,  // journald's rate limit dropped a unit's entries
  // A flow entry read but not to be used: from a writer not trusted,
  // lacking a field its kind needs, or a suppression notice journald did
  // not write itself. Returned so that callers' read loops stay bounded.
  kIgnored,
};

// Whose flow entries count. journald sets _UID and _SYSTEMD_UNIT itself, so
// a local process cannot forge them; every other field can be forged.
struct TrustedWriters {
  std::vector<uid_t> uids = {0};
  std::vector<std::string> units;
  bool Allows(uid_t uid, std::string_view unit) const;
};

// A point's own time (POINT_TIMESTAMP_NS) counts only this close to the time
// journald received it; otherwise the receive time is used.
inline constexpr std::int64_t kPointTimeWindowNs = 60LL * 1000000000;
// The most metadata kept per point (keys and values); later pairs are left
// out and counted.
inline constexpr std::size_t kMaxMetadataBytes = 4096;
// A FLOW_ID or POINT_ID longer than this makes the entry kIgnored.
inline constexpr std::size_t kMaxIdBytes = 1024;

// One entry, reduced to what the run engine needs.
struct FlowEntry {
  FlowEntryKind kind = FlowEntryKind::kPoint;
  std::string machine_id;
  std::string boot_id;
  std::string flow_id;  // empty for kJournalSuppressed
  std::string point_id;
  bool success = true;
  // The point's own time (POINT_TIMESTAMP_NS) when it lies within
  // kPointTimeWindowNs of the entry's journal time, else the journal time,
  // in nanoseconds since the Unix epoch.
  std::int64_t time_ns = 0;
  // The journal's receive time in microseconds since the Unix epoch.
  std::uint64_t realtime_us = 0;
  // The journal's receive time on the boot's monotonic clock
  // (__MONOTONIC_TIMESTAMP), which wall-clock steps do not move.
  std::uint64_t monotonic_us = 0;
  pid_t pid = 0;
  std::string comm;
  // The writer's systemd unit (_SYSTEMD_UNIT); for kJournalSuppressed the
  // unit whose entries were dropped.
  std::string unit;
  // DROPPED_POINTS of kPointsDropped, N_DROPPED of kJournalSuppressed.
  std::uint64_t count = 0;
  // The point's metadata with its keys as the publisher spelt them
  // (POINT_METADATA), in the point's order; for entries without that field,
  // the POINT_META_* fields with the prefix removed, in journal order.
  std::vector<std::pair<std::string, std::string>> metadata;
  // Metadata pairs left out beyond kMaxMetadataBytes.
  std::uint64_t metadata_dropped = 0;
  // _TRANSPORT, as journald set it.
  std::string transport;
};

class JournalReader {
 public:
  // The local journal (every file this user may read), or a directory of
  // journal files such as systemd-journal-remote writes. Null on failure,
  // with the system's reason in `error`.
  static std::unique_ptr<JournalReader> OpenLocal(std::string& error);
  static std::unique_ptr<JournalReader> OpenDirectory(const std::string& path,
                                                      std::string& error);
  ~JournalReader();
  JournalReader(const JournalReader&) = delete;
  JournalReader& operator=(const JournalReader&) = delete;

  // Narrow the entries read to one boot or one machine (32 hex digits).
  // Call before the first Next(); false if journald refuses the match.
  bool RestrictToBoot(const std::string& boot_id);
  bool RestrictToMachine(const std::string& machine_id);
  // Whose points, resets and drop counts count (default: _UID=0 only);
  // entries of others come back as kIgnored.
  void SetTrustedWriters(TrustedWriters writers);

  // Positions: before the first entry, after the last one, at the first
  // entry received at or after `realtime_us`, or just after the entry of
  // `cursor`. Each returns false with a reason in `error`. After SeekTail
  // Next() returns every flow entry written later, also when the journal
  // holds no flow entry yet or none at all. SeekAfterCursor fails for a
  // cursor the journal refuses; when its entry is no longer there (vacuumed,
  // or another journal's) it sets `*entry_gone` and Next() goes on from the
  // first entry after the cursor's place, so that none still kept is skipped.
  bool SeekHead(std::string& error);
  bool SeekTail(std::string& error);
  bool SeekRealtime(std::uint64_t realtime_us, std::string& error);
  bool SeekAfterCursor(const std::string& cursor, std::string& error,
                       bool* entry_gone = nullptr);

  // Reads the next flow entry into `entry`: 1 read, 0 none left for now,
  // negative errno on failure. Entries that are not flow entries are never
  // read; flow entries that must not count come back as kIgnored.
  int Next(FlowEntry& entry);
  // The cursor of the entry last read; empty before the first.
  std::string Cursor();
  // Waits up to `timeout_us` for the journal to change (sd_journal_wait);
  // negative errno on failure.
  int Wait(std::uint64_t timeout_us);

 private:
  JournalReader(sd_journal* journal, std::string directory);
  bool AddFlowMatches();
  // Positions the reader at the newest entry of any kind: false when the
  // journal holds none.
  bool SeekNewestEntry(std::string& error);
  // The kind of the entry just parsed, kIgnored when it must not count.
  FlowEntryKind Classify(FlowEntry& entry, std::string_view message_id,
                         std::string_view message, bool trusted,
                         bool whole_point) const;

  sd_journal* journal_;
  // Empty for the local journal.
  std::string directory_;
  TrustedWriters trusted_;
  bool restricted_to_boot_ = false;
  bool restricted_to_machine_ = false;
  bool last_step_positioned_ = false;
  // The journal stands on an entry that Next() must return before stepping.
  bool take_current_ = false;
};

}  // namespace journal
}  // namespace kelpwood

#endif  // KELPWOOD_JOURNAL_JOURNAL_READER_H_
