// A python3 process holding a POSIX record lock (fcntl.lockf) on one byte of
// a file: a lock peer that shares no code with the library.

#ifndef KELPWOOD_TESTS_SUPPORT_LOCK_PEER_H_
#define KELPWOOD_TESTS_SUPPORT_LOCK_PEER_H_

#include <sys/types.h>

#include <string>

namespace kelpwood {
namespace testing {

class PythonPeer {
 public:
  enum class Mode { kRead, kWrite };

  // Returns once the peer holds the lock, or after ten seconds. With
  // release_after >= 0 the peer prints "releasing" and then unlocks after
  // that many seconds; otherwise it holds the lock until it is destroyed.
  PythonPeer(const std::string& path, Mode mode, int byte,
             double release_after = -1);
  PythonPeer(const PythonPeer&) = delete;
  PythonPeer& operator=(const PythonPeer&) = delete;
  // Ends the peer's standard input and waits for it to exit.
  ~PythonPeer();

  // "locked" once the lock is held, else what went wrong.
  const std::string& status() const { return status_; }
  // True when the peer has already announced its release; does not wait.
  bool AnnouncedRelease();

 private:
  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
  std::string status_;
};

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_SUPPORT_LOCK_PEER_H_
