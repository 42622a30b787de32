#include "device_state.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace device_state {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A waiter without inotify reads the byte this often; a waiter with inotify
// still re-reads this often, in case a change reaches the file without an
// event (a write through another mount, a file replaced under the path).
constexpr milliseconds kPollInterval{1000};

// Longer timeouts are cut to this, so that the deadline stays within the
// range of the steady clock (about 292 years from boot).
constexpr milliseconds kLongestTimeout = std::chrono::hours(24 * 365 * 100);

// Owns a descriptor until it is handed over with release().
class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset() noexcept {
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A temporary file beside the state file, closed and removed on every path
// out of the creation, including the ones that throw.
class TemporaryFile {
 public:
  // Creates the file with mode 0600 less the umask; fd() is -1 on failure.
  explicit TemporaryFile(const std::string& beside_path)
      : name_(TemplateBeside(beside_path)),
        fd_(::mkostemp(name_.data(), O_CLOEXEC)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_.get() != -1) ::unlink(name_.c_str());
  }

  int fd() const noexcept { return fd_.get(); }
  const char* name() const noexcept { return name_.c_str(); }

 private:
  // "/dir/.name.XXXXXX" for "/dir/name": the same directory, so that link()
  // can put it in place, and a hidden name that no reader opens.
  static std::string TemplateBeside(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, base) + "." + path.substr(base) + ".XXXXXX";
  }

  std::string name_;
  UniqueFd fd_;
};

// Puts a file holding the single byte 0 at path unless one appears there
// first. The byte is written into a temporary file which is then linked into
// place: link() never replaces an existing file, so a state that another
// process created and changed an instant earlier is never truncated, and no
// process ever opens the file before its byte is there. EEXIST means another
// process won the race, which is as good as winning it.
void CreateStateFile(const std::string& path) {
  TemporaryFile temporary(path);
  if (temporary.fd() == -1) {
    throw std::runtime_error("Unable to create the lock file.");
  }
  const char initial_state = 0;
  if (::write(temporary.fd(), &initial_state, 1) != 1) {
    throw std::runtime_error("Unable to init state.");
  }
  if (::link(temporary.name(), path.c_str()) == -1 && errno != EEXIST) {
    throw std::runtime_error("Unable to create the lock file.");
  }
}

// An inotify instance watching the open file fd for writes, or -1 where
// inotify cannot be used (no descriptors or instances left, a file system
// without events); the waiter then falls back to plain polling. The watch goes
// through /proc/self/fd so that it follows the file that fd refers to even if
// the path has since been replaced or was relative; the path is the fallback
// where /proc is missing.
int OpenWriteWatch(int fd, const std::string& path) {
  UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (watch.get() == -1) return -1;
  const std::string own_link = "/proc/self/fd/" + std::to_string(fd);
  if (::inotify_add_watch(watch.get(), own_link.c_str(), IN_MODIFY) == -1 &&
      ::inotify_add_watch(watch.get(), path.c_str(), IN_MODIFY) == -1) {
    return -1;
  }
  return watch.release();
}

// Empties the event queue without waiting. Every write reported so far is
// covered by the read of the byte that follows.
void DiscardEvents(int watch_fd) {
  alignas(inotify_event) char events[4096];
  while (::read(watch_fd, events, sizeof events) > 0) {
  }
}

// Waits until the file has been written since the queue was last emptied, or
// for timeout. An interrupted wait returns early, which only costs the caller
// one more read.
void WaitForWrite(int watch_fd, milliseconds timeout) {
  pollfd watched{watch_fd, POLLIN, 0};
  if (::poll(&watched, 1, static_cast<int>(timeout.count())) > 0) {
    DiscardEvents(watch_fd);
  }
}

milliseconds CeilMilliseconds(steady_clock::duration duration) {
  return std::chrono::ceil<milliseconds>(duration);
}

}  // namespace

bool SetState(State state, int fd) {
  const char byte = static_cast<char>(state);
  ::lseek(fd, 0, SEEK_SET);
  return ::write(fd, &byte, 1) == 1;
}

State GetState(int fd) {
  char byte = 0;
  ::lseek(fd, 0, SEEK_SET);
  if (::read(fd, &byte, 1) != 1) {
    // Contract text: the state file is called the "lock file" in every message.
    throw std::runtime_error("Unable to get state from lock file.");
  }
  return static_cast<State>(byte);
}

DeviceState::DeviceState() : DeviceState(std::string(kStateFilePath)) {}

DeviceState::DeviceState(const std::string& path) : fd(-1), path(path) {
  // An existing file, even an empty one, is opened as it is; only a missing
  // (or unreachable) one is created.
  if (::access(path.c_str(), F_OK) != 0) CreateStateFile(path);
  UniqueFd opened(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (opened.get() == -1) {
    throw std::runtime_error("Unable to open the lock file.");
  }
  lock = std::make_unique<file_lock::FileLock>(opened.get());
  fd = opened.release();
}

DeviceState::~DeviceState() {
  try {
    lock->releaseLock();
  } catch (...) {
    // Only the mutex can fail here, and the close() below drops the lock
    // anyway.
  }
  if (watch_fd != -1) ::close(watch_fd);
  ::close(fd);
}

State DeviceState::LockAndReadState() {
  if (lock->getLockType() == F_UNLCK && !lock->acquireReadLock()) {
    throw std::runtime_error("Unable to lock.");
  }
  return GetState(fd);
}

bool DeviceState::TransitState(State state) {
  if (lock->getLockType() != F_RDLCK) return false;
  if (!lock->upgradeToWriteLock()) return false;
  if (!SetState(state, fd)) return false;
  return lock->downgradeToReadLock();
}

bool DeviceState::WaitForStateChange(State state) {
  if (lock->getLockType() != F_RDLCK) return false;
  for (;;) {
    if (GetState(fd) == state) return true;
    lock->releaseLock();
    std::this_thread::sleep_for(kPollInterval);
    if (!lock->acquireReadLock()) return false;
  }
}

bool DeviceState::WaitForStateChangeFor(State state,
                                        std::chrono::milliseconds timeout) {
  if (lock->getLockType() != F_RDLCK) return false;
  const steady_clock::time_point deadline =
      steady_clock::now() +
      std::clamp(timeout, milliseconds::zero(), kLongestTimeout);
  if (watch_fd == -1) watch_fd = OpenWriteWatch(fd, path);
  // Events queued since the last wait are covered by the first read below;
  // the watch exists before that read, so a write landing between a read and
  // the wait still wakes the wait.
  if (watch_fd != -1) DiscardEvents(watch_fd);
  for (;;) {
    if (GetState(fd) == state) return true;
    const steady_clock::time_point now = steady_clock::now();
    if (now >= deadline) return false;
    const milliseconds pause =
        std::min(CeilMilliseconds(deadline - now), kPollInterval);
    // Writers get through only while no other process holds a lock on the
    // byte, so the lock is dropped for the whole pause.
    lock->releaseLock();
    if (watch_fd != -1) {
      WaitForWrite(watch_fd, pause);
    } else {
      std::this_thread::sleep_for(pause);
    }
    if (!lock->acquireReadLock()) return false;
  }
}

void DeviceState::ReleaseLock() { lock->releaseLock(); }

}  // namespace device_state
