// Writing entries straight to systemd-journald, never blocking the caller.
//
// Entries travel in the journal's native datagram protocol over a
// non-blocking AF_UNIX socket: a journald that is stopped or busy makes a
// send fail at once instead of waiting. Uninstalled: shared by the library's
// flow publishing and verdicts and by the tools.
//
//   JournalEntry entry;
//   entry.Add("MESSAGE", "Flow 'boot' reset");
//   entry.Add("FLOW_ID", "boot");
//   JournalWriter::Instance().Send(entry);

#ifndef KELPWOOD_JOURNAL_JOURNAL_WRITER_H_
#define KELPWOOD_JOURNAL_JOURNAL_WRITER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelpwood {
namespace journal {

// The longest field name journald accepts.
inline constexpr std::size_t kMaxFieldNameLength = 64;

// `prefix` followed by `key` made a valid field name: upper-cased, every
// character outside [A-Z0-9_] replaced by '_', cut to kMaxFieldNameLength.
// `prefix` must itself be valid ("POINT_META_").
std::string JournalFieldName(std::string_view prefix, std::string_view key);

// Whether `name` is a field name journald keeps: [A-Z0-9_], not starting
// with '_' or a digit, 1 to kMaxFieldNameLength characters.
bool IsValidFieldName(std::string_view name) noexcept;

// The metadata of a point in one field value that keeps every key as it was
// spelt: per pair, the key and then the value, each as "<bytes>:<bytes of
// text>" ("3:a.b1:7" for a.b=7). POINT_META_<NAME> fields, which join keys
// such as "a.b" and "a-b", stay beside it for the readers that know only them.
inline constexpr char kPointMetadataField[] = "POINT_METADATA";
void AppendMetadataPair(std::string& encoded, std::string_view key,
                        std::string_view value);
// The pairs of an encoded value, in order. False, with `pairs` cleared, for a
// value that is not made of whole pairs (entries are untrusted input).
bool DecodeMetadataPairs(
    std::string_view encoded,
    std::vector<std::pair<std::string, std::string>>& pairs);

// The program's own short name (program_invocation_short_name), the value of
// SYSLOG_IDENTIFIER in every entry the library writes.
const char* ProgramIdentifier() noexcept;

// One entry in the native protocol's serialized form. Values may hold any
// bytes, new lines included. Reusable: Clear() keeps the storage.
class JournalEntry {
 public:
  // Appends one field; a field may repeat.
  void Add(std::string_view name, std::string_view value);
  void Add(std::string_view name, std::int64_t value);
  void Add(std::string_view name, std::uint64_t value);
  // Appends a "NAME=value" assignment; one without '=' is ignored.
  void AddAssignment(std::string_view assignment);

  void Clear() noexcept { data_.clear(); }
  bool empty() const noexcept { return data_.empty(); }
  // The datagram as journald receives it.
  const std::string& Serialized() const noexcept { return data_; }

 private:
  std::string data_;
};

// What became of one entry.
enum class SendStatus {
  kSent,        // journald has it (in its socket queue)
  kWouldBlock,  // journald's queue is full (journald stopped or too slow)
  kNoJournal,   // nothing listens on the socket
  kFailed,      // any other error (out of memory, ...)
};

// A connection to journald's native socket. Send() never blocks and may be
// called from any thread at once. The socket is made on the first send, and
// made again on a later one when that failed (out of descriptors). When
// journald restarts the writer connects to the new one on the next send, by
// datagram or memory file (attempts are spaced out while none listens).
class JournalWriter {
 public:
  static constexpr char kDefaultSocketPath[] = "/run/systemd/journal/socket";

  // The process's writer to kDefaultSocketPath, made on first use and never
  // destroyed, so that entries can still be written while the process exits.
  // It lives in the shared object alone (flow_publishing.cpp): a tool that
  // writes entries owns a writer of its own.
  static JournalWriter& Instance();

  explicit JournalWriter(std::string socket_path);
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Sends one entry. An entry larger than one datagram travels in a sealed
  // memory file, as sd_journal_sendv does it.
  SendStatus Send(const JournalEntry& entry) noexcept;
  // Sends "NAME=value" assignments as one entry.
  SendStatus Send(const std::vector<std::string>& assignments);

 private:
  SendStatus SendSerialized(std::string_view data) noexcept;
  // The socket, made now if there is none yet; -1 when it cannot be made
  // (or a failed attempt was too recent).
  int Socket() noexcept;
  // Points the socket at the journald that listens now. False when none.
  bool Reconnect() noexcept;
  // Whether an attempt to make or connect the socket may be made at `now_ns`.
  // REQUIRES reconnect_mutex_.
  bool AttemptAllowed(std::int64_t now_ns) const noexcept;

  const std::string socket_path_;
  // -1 until the first socket is made; from then on the same number for the
  // writer's life: a reconnection puts a new socket behind it with dup3(),
  // so concurrent senders never see a closed or reused descriptor.
  std::atomic<int> fd_{-1};
  std::mutex reconnect_mutex_;
  // steady_clock time of the last failed attempt to make or connect the
  // socket, in ns; 0 after a success.
  std::atomic<std::int64_t> last_failed_connect_ns_{0};
};

}  // namespace journal
}  // namespace kelpwood

#endif  // KELPWOOD_JOURNAL_JOURNAL_WRITER_H_
