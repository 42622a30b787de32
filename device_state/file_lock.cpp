#include "file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "state_file.h"

// How POSIX record locks behave, and why this class looks the way it does.
//
// fcntl() record locks (F_SETLK, F_SETLKW, struct flock) are the only locks
// that every process of the device, whatever language it is written in, can
// take on one byte of a shared file, and that the kernel drops by itself when
// a process dies. They come with traps that every user of this class must
// know about:
//
//  1. A lock belongs to the PROCESS, identified by its pid, and to the file
//     (the inode), not to the descriptor, not to this object and not to a
//     thread. Two FileLock objects of one process on the same file do not
//     exclude each other: the second request simply replaces the first (a
//     read lock becomes a write lock and back), and releasing through either
//     object drops the lock for both. Threads of one process are therefore
//     kept apart only by this object's own mutex, never by the kernel.
//
//  2. A close() of ANY descriptor of the file, by any code in the process,
//     drops EVERY lock that the process holds on that file. Code that opens
//     the state file for a quick look and closes it again silently unlocks
//     every DeviceState of the process. This is why the lock never closes its
//     descriptor and why the device state keeps its descriptor for its whole
//     life.
//
//  3. exec() keeps the process, and with it every lock held through a
//     descriptor that stays open: a program started with exec() would sit on
//     the state byte without knowing it. Every descriptor is therefore opened
//     with O_CLOEXEC.
//
//  4. F_SETLKW sleeps inside the kernel. acquireReadLock() and
//     downgradeToReadLock() call it with the object's mutex held, so while
//     one thread waits for a writer in another process every other call on
//     the same object, getLockType() included, waits as well. Write locks and
//     upgrades use F_SETLK and never sleep, which is also what keeps two
//     processes that both hold read locks from deadlocking when both try to
//     upgrade: each fails at once.
//
//  5. F_SETLKW is interrupted by signals (EINTR) and can be refused with
//     EDEADLK when the kernel detects a cycle of waiting processes; both come
//     back as a plain failure here, with the held mode unchanged.
//
//  6. A conversion is one request on a lock already held: a downgrade never
//     lets a writer in between, and a refused upgrade leaves the read lock
//     exactly as it was (the kernel does not drop it first), which is what
//     the device state relies on after a failed transition. Upgrading with
//     F_SETLKW instead would leave two readers that upgrade at once waiting
//     for each other until the kernel refuses one with EDEADLK.
//
//  7. Locks are not inherited across fork(): a child starts with none, even
//     though it shares the parent's descriptors (a close() in the child does
//     not drop the parent's locks either: they belong to another process).
//
//  8. The locks are advisory: read() and write() ignore them. Only processes
//     that follow the same protocol on the same byte are ordered by them.
//
//  9. Only byte 0 is ever locked (start 0, length 1, from SEEK_SET). A lock
//     on any other byte does not conflict, and a length of 0 would mean "to
//     the end of the file, however it grows", which nobody here wants.
//
// The kernel does not remember which mode a process asked for in a form that
// is cheap to query (F_GETLK reports only OTHER processes' locks), so the
// object records the mode it was granted in lockType.

namespace file_lock {
namespace {

// Writes text, the fixed state-file path when asked, and a line feed to
// standard error with one write(), so that lines from concurrent threads or
// processes never interleave and nothing stays in a buffer.
void WriteStderrLine(const char* text, bool append_path) noexcept {
  // The longest text with the path is well under this size; the buffer keeps
  // the error path free of allocation.
  char line[160];
  size_t length = 0;
  const auto append = [&](const char* part) {
    const size_t part_length =
        std::min(std::strlen(part), sizeof line - 1 - length);
    std::memcpy(line + length, part, part_length);
    length += part_length;
  };
  append(text);
  if (append_path) append(KELPWOOD_DEVICE_STATE_FILE);
  line[length++] = '\n';
  const char* next = line;
  while (length > 0) {
    const ssize_t written = ::write(STDERR_FILENO, next, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    next += written;
    length -= static_cast<size_t>(written);
  }
}

}  // namespace

FileLock::FileLock(int fd) : fd(fd), lockType(F_UNLCK) {
  if (fd == -1) throw std::runtime_error("Unable to open the lock file.");
}

// Caller holds mutex. On failure the recorded mode stays as it was, because
// the kernel leaves the held lock unchanged when a request is refused.
bool FileLock::setLock(int command, short type, const char* failure_text) {
  struct flock request;
  std::memset(&request, 0, sizeof request);
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 1;
  if (::fcntl(fd, command, &request) == -1) {
    WriteStderrLine(failure_text, true);
    return false;
  }
  lockType = type;
  return true;
}

bool FileLock::acquireReadLock() {
  std::lock_guard<std::mutex> guard(mutex);
  return setLock(F_SETLKW, F_RDLCK, "Failed to acquire read lock: ");
}

bool FileLock::acquireWriteLock() {
  std::lock_guard<std::mutex> guard(mutex);
  return setLock(F_SETLK, F_WRLCK, "Failed to acquire write lock: ");
}

bool FileLock::upgradeToWriteLock() {
  std::lock_guard<std::mutex> guard(mutex);
  if (lockType != F_RDLCK) {
    WriteStderrLine("Cannot upgrade lock: current lock is not a read lock",
                    false);
    return false;
  }
  return setLock(F_SETLK, F_WRLCK, "Failed to upgrade to write lock: ");
}

bool FileLock::downgradeToReadLock() {
  std::lock_guard<std::mutex> guard(mutex);
  // Contract texts: "downupgrade" is what callers' log filters match; keep it.
  if (lockType != F_WRLCK) {
    WriteStderrLine("Cannot downupgrade lock: current lock is not a write lock",
                    false);
    return false;
  }
  return setLock(F_SETLKW, F_RDLCK, "Failed to downupgrade to read lock: ");
}

void FileLock::releaseLock() {
  std::lock_guard<std::mutex> guard(mutex);
  struct flock request;
  std::memset(&request, 0, sizeof request);
  request.l_type = F_UNLCK;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 1;
  // An unlock can fail only for a bad descriptor, and then nothing is held
  // through it anyway: the object records "none" whatever the answer.
  (void)::fcntl(fd, F_SETLK, &request);
  lockType = F_UNLCK;
}

int FileLock::getLockType() const {
  std::lock_guard<std::mutex> guard(mutex);
  return lockType;
}

}  // namespace file_lock
