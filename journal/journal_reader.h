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
};

// One entry, reduced to what the run engine needs.
struct FlowEntry {
  FlowEntryKind kind = FlowEntryKind::kPoint;
  std::string machine_id;
  std::string boot_id;
  std::string flow_id;  // empty for kJournalSuppressed
  std::string point_id;
  bool success = true;
  // The point's own time (POINT_TIMESTAMP_NS), else the entry's journal
  // time, in nanoseconds since the Unix epoch.
  std::int64_t time_ns = 0;
  // The journal's receive time in microseconds since the Unix epoch.
  std::uint64_t realtime_us = 0;
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

  // Positions: before the first entry, after the last one, at the first
  // entry received at or after `realtime_us`, or just after the entry of
  // `cursor`. Each returns false with a reason in `error`.
  bool SeekHead(std::string& error);
  bool SeekTail(std::string& error);
  bool SeekRealtime(std::uint64_t realtime_us, std::string& error);
  bool SeekAfterCursor(const std::string& cursor, std::string& error);

  // Reads the next flow entry into `entry`: 1 read, 0 none left for now,
  // negative errno on failure. Entries that are not flow entries, or lack a
  // field the kind needs, are skipped.
  int Next(FlowEntry& entry);
  // The cursor of the entry last read; empty before the first.
  std::string Cursor();
  // Waits up to `timeout_us` for the journal to change (sd_journal_wait);
  // negative errno on failure.
  int Wait(std::uint64_t timeout_us);

 private:
  explicit JournalReader(sd_journal* journal);
  bool AddFlowMatches();

  sd_journal* journal_;
  bool restricted_to_boot_ = false;
  bool restricted_to_machine_ = false;
  bool last_step_positioned_ = false;
};

}  // namespace journal
}  // namespace kelpwood

#endif  // KELPWOOD_JOURNAL_JOURNAL_READER_H_
