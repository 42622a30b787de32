// A real systemd-journald for tests, and reading back what reached it.
//
//   JournalTestLock lock;                  // one journald user at a time
//   Journald journald;                     // the running one, or a new one
//   ASSERT_TRUE(journald.WaitUntilListening(std::chrono::seconds(5)))
//       << journald.Error();
//   auto entries = ReadJournal({"FLOW_ID=boot"}, 3, std::chrono::seconds(5));

#ifndef KELPWOOD_TESTS_SUPPORT_JOURNALD_H_
#define KELPWOOD_TESTS_SUPPORT_JOURNALD_H_

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace kelpwood_test {

inline constexpr char kJournaldPath[] = "/lib/systemd/systemd-journald";
inline constexpr char kJournalSocketPath[] = "/run/systemd/journal/socket";

// Why a journald cannot be started here (not root, no systemd-journald), or
// "" when it can.
std::string JournaldUnavailableReason();

// True when a journald accepts datagrams on its native socket. A socket file
// left behind by a journald that has exited refuses the connection.
bool JournaldIsListening();

// Holds an exclusive flock on /run/kelpwood-journal-test.lock for its
// lifetime: every test that starts, stops or pauses journald takes it, so
// that test runs of several build trees never disturb each other's journald.
class JournalTestLock {
 public:
  JournalTestLock();
  ~JournalTestLock();
  JournalTestLock(const JournalTestLock&) = delete;
  JournalTestLock& operator=(const JournalTestLock&) = delete;

 private:
  int fd_;
};

// A journald for a test: the running one if there is one, else one started
// here (this needs root), which the destructor stops by its pid.
class Journald {
 public:
  Journald();
  ~Journald();
  Journald(const Journald&) = delete;
  Journald& operator=(const Journald&) = delete;

  // Waits up to `limit` for the socket to accept; on failure Error() says why.
  bool WaitUntilListening(std::chrono::milliseconds limit);
  const std::string& Error() const { return error_; }
  // The pid of the journald started here; -1 when an existing one is used.
  pid_t started_pid() const { return pid_; }

 private:
  bool Reap(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  std::string error_;
};

// Stops a process with SIGSTOP for its lifetime and lets it go on with
// SIGCONT, also when the test fails midway.
class StoppedProcess {
 public:
  explicit StoppedProcess(pid_t pid);
  ~StoppedProcess();
  StoppedProcess(const StoppedProcess&) = delete;
  StoppedProcess& operator=(const StoppedProcess&) = delete;

 private:
  pid_t pid_;
};

// The fields of one journal entry; a field may repeat.
using JournalFields = std::multimap<std::string, std::string>;

// The entries of the local journal that carry every "FIELD=value" of
// `matches`, oldest first. Reads again for up to `limit` until there are at
// least `count`, since journald may store an entry after the reader looks.
std::vector<JournalFields> ReadJournal(const std::vector<std::string>& matches,
                                       std::size_t count,
                                       std::chrono::milliseconds limit);

// `fields` without the ones journald adds itself (names starting with '_')
// as "NAME=value", sorted by name.
std::vector<std::string> SentFields(const JournalFields& fields);

}  // namespace kelpwood_test

#endif  // KELPWOOD_TESTS_SUPPORT_JOURNALD_H_
