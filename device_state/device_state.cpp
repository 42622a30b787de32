#include <fcntl.h>
#include <kelpwood/device_state.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "base/posix_file.h"
#include "device_state/state_byte.h"

namespace device_state {
namespace {

using kelpwood::base::RetryOnInterrupt;
using kelpwood::base::UniqueFd;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A waiter without inotify reads the byte this often; a waiter with inotify
// still re-reads this often, in case a change reaches the file without an
// event (a write through another mount, a file replaced under the path).
constexpr milliseconds kPollInterval{1000};

// Longer timeouts are cut to this, so that the deadline stays within the
// range of the steady clock (about 292 years from boot).
constexpr milliseconds kLongestTimeout = std::chrono::hours(24 * 365 * 100);

// Where the last component of path starts.
size_t BaseStart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// The directory part of path with its slash ("/dir/" for "/dir/name"), empty
// for a bare name.
std::string DirectoryOf(const std::string& path) {
  return path.substr(0, BaseStart(path));
}

// Makes the entries of path's directory durable.
bool SyncDirectoryOf(const std::string& path) {
  const std::string directory = DirectoryOf(path);
  UniqueFd fd(RetryOnInterrupt([&] {
    return ::open(directory.empty() ? "." : directory.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  return fd.valid() && RetryOnInterrupt([&] { return ::fsync(fd.get()); }) == 0;
}

// A temporary file beside the state file, closed and removed on every path
// out of the creation, including the ones that throw.
class TemporaryFile {
 public:
  // Creates the file with mode 0600 less the umask; fd() is -1 on failure.
  explicit TemporaryFile(const std::string& beside_path)
      : fd_(RetryOnInterrupt([&] {
          // A failed call may have changed the name: start from the template
          // on every attempt.
          name_ = TemplateBeside(beside_path);
          return ::mkostemp(name_.data(), O_CLOEXEC);
        })) {}
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
    return DirectoryOf(path) + "." + path.substr(BaseStart(path)) + ".XXXXXX";
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
//
// The byte is synced before the link and the directory after it, so that a
// power cut at any moment leaves either no file or one holding its byte;
// without that the name could reach the disk before the byte, and every
// later reader would fail on an empty file.
void CreateStateFile(const std::string& path) {
  TemporaryFile temporary(path);
  if (temporary.fd() == -1) {
    throw std::runtime_error("Unable to create the lock file.");
  }
  const char initial_state = 0;
  if (RetryOnInterrupt(
          [&] { return ::write(temporary.fd(), &initial_state, 1); }) != 1 ||
      RetryOnInterrupt([&] { return ::fsync(temporary.fd()); }) != 0) {
    throw std::runtime_error("Unable to init state.");
  }
  if (RetryOnInterrupt(
          [&] { return ::link(temporary.name(), path.c_str()); }) == -1) {
    if (errno == EEXIST) return;
    throw std::runtime_error("Unable to create the lock file.");
  }
  if (!SyncDirectoryOf(path)) {
    throw std::runtime_error("Unable to create the lock file.");
  }
}

// Opens the state file for reading and writing. Only a regular file is
// accepted: a FIFO or a device would block the first read for ever. The open
// itself does not wait (O_NONBLOCK, for a FIFO without a writer), the type is
// judged on the descriptor, so the file judged is the file used, and the
// descriptor is made blocking again for the locks and reads that follow.
// A symbolic link at the path is followed: deployments put the state file
// elsewhere and link it there.
UniqueFd OpenStateFile(const std::string& path) {
  UniqueFd fd(RetryOnInterrupt([&] {
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  }));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 ||
      !S_ISREG(status.st_mode) ||
      RetryOnInterrupt([&] { return ::fcntl(fd.get(), F_SETFL, 0); }) != 0) {
    throw std::runtime_error("Unable to open the lock file.");
  }
  return fd;
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

// A failed seek fails the call: reading or writing at whatever offset the
// descriptor had would use some other byte of the file.
bool SetState(State state, int fd) {
  const unsigned char byte = kelpwood::base::StateToByte(state);
  if (RetryOnInterrupt([&] { return ::lseek(fd, 0, SEEK_SET); }) != 0) {
    return false;
  }
  return RetryOnInterrupt([&] { return ::write(fd, &byte, 1); }) == 1;
}

State GetState(int fd) {
  unsigned char byte = 0;
  if (RetryOnInterrupt([&] { return ::lseek(fd, 0, SEEK_SET); }) != 0 ||
      RetryOnInterrupt([&] { return ::read(fd, &byte, 1); }) != 1) {
    // Contract text: the state file is called the "lock file" in every message.
    throw std::runtime_error("Unable to get state from lock file.");
  }
  return kelpwood::base::StateFromByte(byte);
}

DeviceState::DeviceState() : DeviceState(std::string(kStateFilePath)) {}

DeviceState::DeviceState(const std::string& path) : fd(-1), path(path) {
  // An existing file, even an empty one, is opened as it is; only a missing
  // (or unreachable) one is created.
  if (::access(path.c_str(), F_OK) != 0) CreateStateFile(path);
  UniqueFd opened = OpenStateFile(path);
  lock = std::make_unique<file_lock::FileLock>(opened.get(), path);
  fd = opened.release();
}

DeviceState::~DeviceState() {
  try {
    lock->releaseLock();
  } catch (...) {
    // Only the mutex can fail here, and the close() below drops the lock
    // anyway.
  }
  // The members stay plain descriptors (the class layout is part of the
  // ABI); they are handed to owners here so that both are closed.
  UniqueFd watch(watch_fd);
  UniqueFd state(fd);
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
