// A real systemd-journald for tests: the running one if one listens, else
// one started here as root and stopped by its pid. Every test that starts,
// stops or relies on journald holds JournaldTestLock, so that build trees
// tested at the same time never stop each other's journald.

#ifndef KELPWOOD_TESTS_SUPPORT_JOURNALD_H_
#define KELPWOOD_TESTS_SUPPORT_JOURNALD_H_

#include <sys/types.h>

#include <chrono>
#include <string>

namespace kelpwood_test {

inline constexpr char kJournaldProgram[] = "/lib/systemd/systemd-journald";
inline constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
inline constexpr char kJournalTestLockPath[] =
    "/run/kelpwood-journal-test.lock";

// True when a journald accepts datagrams on its native socket.
bool JournaldIsListening();

// Holds an exclusive flock on kJournalTestLockPath for its lifetime.
class JournaldTestLock {
 public:
  JournaldTestLock();
  ~JournaldTestLock();
  JournaldTestLock(const JournaldTestLock&) = delete;
  JournaldTestLock& operator=(const JournaldTestLock&) = delete;

 private:
  int fd_;
};

class Journald {
 public:
  // Starts journald unless one listens already.
  Journald();
  // Stops the journald started here (SIGTERM, then SIGKILL after 3 s).
  ~Journald();
  Journald(const Journald&) = delete;
  Journald& operator=(const Journald&) = delete;

  // Waits up to `limit` for the socket to accept; on failure Error() says
  // why.
  bool WaitUntilListening(std::chrono::milliseconds limit);
  const std::string& Error() const { return error_; }

 private:
  pid_t pid_ = -1;
  std::string error_;
};

}  // namespace kelpwood_test

#endif  // KELPWOOD_TESTS_SUPPORT_JOURNALD_H_
