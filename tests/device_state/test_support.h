// Real files, real processes and captured standard error for the
// device-state tests.
#ifndef KELPWOOD_TESTS_DEVICE_STATE_TEST_SUPPORT_H_
#define KELPWOOD_TESTS_DEVICE_STATE_TEST_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/lock_peer.h"
#include "support/temp_dir.h"

namespace device_state_test {

using ::kelpwood::testing::ChildResult;
using ::kelpwood::testing::PythonPeer;
using ::kelpwood::testing::RunInChild;
using ::kelpwood::testing::TempDir;

// The whole content of a file, or "<missing>" when it cannot be read. Reads
// in a child process, so this process keeps its record locks on the file.
std::string ReadBytes(const std::string& path);
// Replaces a file's content. Drops this process's locks on it: use before
// locking.
void WriteBytes(const std::string& path, const std::string& bytes);
// Writes state 0 to a new one-byte file at path and opens it read-write:
// the descriptor, or -1.
int CreateStateFile(const std::string& path);
// Permission bits of a file, or -1.
int ModeOf(const std::string& path);
// Descriptors of this process that refer to path.
std::vector<int> DescriptorsOf(const std::string& path);

// Sends everything written to file descriptor 2 into a buffer until Finish().
class StderrCapture {
 public:
  StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture();

  // Restores standard error and returns what was written meanwhile.
  std::string Finish();

 private:
  int saved_fd_ = -1;
  int capture_fd_ = -1;
};

// Runs body in a forked child (see RunInChild) inside a private mount
// namespace with a fresh tmpfs on /opt, so the fixed state-file path can be
// used without touching the host. The report starts with "skip: " when the
// namespace cannot be made.
ChildResult RunWithPrivateOpt(const std::function<std::string()>& body);

// The lock that some process other than the probing one holds on byte 0 of
// path, as a child process sees it: F_RDLCK, F_WRLCK or F_UNLCK (none);
// -1 when the probe fails.
int ProbeLockType(const std::string& path);

// True when /proc/locks shows pid blocked waiting for a record lock.
bool BlockedOnALock(pid_t pid);

// True when /proc/locks lists a granted POSIX record lock of pid, of type
// "READ" or "WRITE".
bool HoldsRecordLock(pid_t pid, const std::string& type);

// Sets up a lock cycle that the kernel refuses with EDEADLK: this process
// write-locks byte 1 of path, and a child write-locks byte 0 and then waits
// for byte 1. Once ready(), a read-lock request of this process on byte 0
// would close the cycle and fails at once. The destructor ends the cycle.
class DeadlockPartner {
 public:
  explicit DeadlockPartner(const std::string& path);
  DeadlockPartner(const DeadlockPartner&) = delete;
  DeadlockPartner& operator=(const DeadlockPartner&) = delete;
  ~DeadlockPartner();

  // True once the child is blocked waiting for byte 1.
  bool ready() const { return ready_; }

 private:
  int byte_one_fd_ = -1;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace device_state_test

#endif  // KELPWOOD_TESTS_DEVICE_STATE_TEST_SUPPORT_H_
