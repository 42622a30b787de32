// Real files, real processes and captured standard error for the
// device-state tests.
#ifndef KELPWOOD_TESTS_DEVICE_STATE_TEST_SUPPORT_H_
#define KELPWOOD_TESTS_DEVICE_STATE_TEST_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace device_state_test {

// A private directory under base (/tmp by default), removed with its
// content.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

// The whole content of a file, or "<missing>" when it cannot be read. Reads
// in a child process, so this process keeps its record locks on the file.
std::string ReadBytes(const std::string& path);
// Replaces a file's content. Drops this process's locks on it: use before
// locking.
void WriteBytes(const std::string& path, const std::string& bytes);
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

// Runs body in a forked child. The child's report is body's result: empty
// for success, else a description of what went wrong (exceptions included).
struct ChildResult {
  int status = -1;  // as waitpid() reports it
  std::string report;
  bool Succeeded() const;
};
ChildResult RunInChild(const std::function<std::string()>& body);

// Same, inside a private mount namespace with a fresh tmpfs on /opt, so the
// fixed state-file path can be used without touching the host. The report
// starts with "skip: " when the namespace cannot be made.
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

// A started child process; Wait() collects it.
class Process {
 public:
  // Runs program with arguments, standard output and error to buffers.
  Process(const std::string& program, const std::vector<std::string>& args);
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  // Waits for the process; returns its exit code, 128 + signal if killed.
  int Wait();
  const std::string& standard_output() const { return standard_output_; }
  const std::string& standard_error() const { return standard_error_; }

 private:
  pid_t pid_ = -1;
  int output_fd_ = -1;
  int error_fd_ = -1;
  int exit_code_ = -1;
  std::string standard_output_;
  std::string standard_error_;
};

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

// A python3 process holding a POSIX record lock (fcntl.lockf) on one byte of
// a file: a peer that shares no code with the library.
class PythonPeer {
 public:
  enum class Mode { kRead, kWrite };

  // Returns once the peer holds the lock. With release_after >= 0 the peer
  // prints "releasing" and then unlocks after that many seconds; otherwise it
  // holds the lock until it is destroyed.
  PythonPeer(const std::string& path, Mode mode, int byte,
             double release_after = -1);
  PythonPeer(const PythonPeer&) = delete;
  PythonPeer& operator=(const PythonPeer&) = delete;
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

}  // namespace device_state_test

#endif  // KELPWOOD_TESTS_DEVICE_STATE_TEST_SUPPORT_H_
