#include <fcntl.h>
#include <kelpwood/file_lock.h>
#include <kelpwood/state_file.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "base/posix_file.h"

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
//  5. F_SETLKW is interrupted by signals whose handler was installed
//     without SA_RESTART (EINTR). The wait is then simply resumed: a signal
//     says nothing about the lock. EDEADLK, when the kernel detects a cycle
//     of waiting processes, still comes back as a plain failure with the held
//     mode unchanged.
//
//  6. A conversion is one request on a lock already held: a downgrade never
//     lets a writer in between, and a refused upgrade leaves the read lock
//     exactly as it was (the kernel does not drop it first), which is what
//     the device state relies on after a failed transition. Upgrading with
//     F_SETLKW instead would leave two readers that upgrade at once waiting
//     for each other until the kernel refuses one with EDEADLK.
//
//  7. Locks are not inherited across fork(): a child starts with none, even
//     though it shares the parent's descriptors and a copy of every FileLock
//     (a close() in the child does not drop the parent's locks either: they
//     belong to another process). A pthread_atfork() child handler therefore
//     bumps a process generation, and each object stores the generation in
//     which it recorded its mode: a mode recorded in another generation is
//     "none". Checking it costs one relaxed atomic load per operation.
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

using kelpwood::base::RecordLockRequest;
using kelpwood::base::RetryOnInterrupt;

// lockType packs three things into the int that the class has always had
// (its size is part of the 1.0 ABI): the mode in the low two bits, whether
// the object was given a path in the next bit, and the process generation in
// which the mode was recorded above them.
constexpr int kTypeMask = 0x3;
constexpr int kNamedBit = 0x4;
constexpr int kGenerationShift = 3;
constexpr unsigned kGenerationMask = ~0u >> (kGenerationShift + 1);

// Bumped in every child of fork(). Wrapping needs 2^28 nested generations.
std::atomic<unsigned> fork_generation{0};

unsigned CurrentGeneration() noexcept {
  return fork_generation.load(std::memory_order_relaxed) & kGenerationMask;
}

int Pack(int type, int named_bit) noexcept {
  return static_cast<int>(CurrentGeneration() << kGenerationShift) | named_bit |
         type;
}

// Paths given to FileLock(fd, path), by object. Touched only when such an
// object is made or destroyed and when it writes a failure line, never on
// the path of a successful operation. Never destroyed, so that objects
// destroyed during exit still find it.
std::mutex& PathTableMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}
std::unordered_map<const FileLock*, std::string>& PathTable() {
  static auto* const table =
      new std::unordered_map<const FileLock*, std::string>;
  return *table;
}

// The table's mutex is held across fork(), as glibc does with malloc's, so
// that a child never inherits it locked by a thread that it does not have.
void BeforeFork() noexcept { PathTableMutex().lock(); }
void AfterForkInParent() noexcept { PathTableMutex().unlock(); }
void AfterForkInChild() noexcept {
  PathTableMutex().unlock();
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const bool fork_handlers_registered =
    (PathTableMutex(), PathTable(),
     ::pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0);

// Writes text, then path when given, and a line feed to standard error with
// one write(), so that lines from concurrent threads or processes never
// interleave and nothing stays in a buffer.
void WriteStderrLine(const char* text, const char* path) noexcept {
  // Room for the longest text and a path of PATH_MAX bytes; longer paths are
  // cut. The buffer keeps the error path free of allocation.
  char line[4200];
  size_t length = 0;
  const auto append = [&](const char* part) {
    const size_t part_length =
        std::min(std::strlen(part), sizeof line - 1 - length);
    std::memcpy(line + length, part, part_length);
    length += part_length;
  };
  append(text);
  if (path != nullptr) append(path);
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

FileLock::FileLock(int fd) : fd(fd), lockType(Pack(F_UNLCK, 0)) {
  if (fd == -1) throw std::runtime_error("Unable to open the lock file.");
}

FileLock::FileLock(int fd, const std::string& path)
    : fd(fd), lockType(Pack(F_UNLCK, kNamedBit)) {
  if (fd == -1) throw std::runtime_error("Unable to open the lock file.");
  std::lock_guard<std::mutex> guard(PathTableMutex());
  PathTable()[this] = path;
}

FileLock::~FileLock() {
  if ((lockType & kNamedBit) == 0) return;
  std::lock_guard<std::mutex> guard(PathTableMutex());
  PathTable().erase(this);
}

int FileLock::heldType() const noexcept {
  const unsigned recorded_generation =
      static_cast<unsigned>(lockType) >> kGenerationShift;
  // A mode recorded by the parent before fork() is not held here.
  if (recorded_generation != CurrentGeneration()) return F_UNLCK;
  return lockType & kTypeMask;
}

void FileLock::writeFailureLine(const char* text) const noexcept {
  if ((lockType & kNamedBit) == 0) {
    WriteStderrLine(text, KELPWOOD_DEVICE_STATE_FILE);
    return;
  }
  char path[4096];
  path[0] = '\0';
  {
    std::lock_guard<std::mutex> guard(PathTableMutex());
    const auto entry = PathTable().find(this);
    if (entry != PathTable().end()) {
      const size_t length = std::min(entry->second.size(), sizeof path - 1);
      std::memcpy(path, entry->second.data(), length);
      path[length] = '\0';
    }
  }
  WriteStderrLine(text, path);
}

// Caller holds mutex. On failure the recorded mode stays as it was, because
// the kernel leaves the held lock unchanged when a request is refused.
bool FileLock::setLock(int command, short type, const char* failure_text) {
  struct flock request = RecordLockRequest(type);
  if (RetryOnInterrupt([&] { return ::fcntl(fd, command, &request); }) == -1) {
    writeFailureLine(failure_text);
    return false;
  }
  lockType = Pack(type, lockType & kNamedBit);
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
  if (heldType() != F_RDLCK) {
    WriteStderrLine("Cannot upgrade lock: current lock is not a read lock",
                    nullptr);
    return false;
  }
  return setLock(F_SETLK, F_WRLCK, "Failed to upgrade to write lock: ");
}

bool FileLock::downgradeToReadLock() {
  std::lock_guard<std::mutex> guard(mutex);
  // Contract texts: "downupgrade" is what callers' log filters match; keep it.
  if (heldType() != F_WRLCK) {
    WriteStderrLine("Cannot downupgrade lock: current lock is not a write lock",
                    nullptr);
    return false;
  }
  return setLock(F_SETLKW, F_RDLCK, "Failed to downupgrade to read lock: ");
}

void FileLock::releaseLock() {
  std::lock_guard<std::mutex> guard(mutex);
  struct flock request = RecordLockRequest(F_UNLCK);
  // An unlock can fail only for a bad descriptor, and then nothing is held
  // through it anyway: the object records "none" whatever the answer.
  (void)::fcntl(fd, F_SETLK, &request);
  lockType = Pack(F_UNLCK, lockType & kNamedBit);
}

int FileLock::getLockType() const {
  std::lock_guard<std::mutex> guard(mutex);
  return heldType();
}

}  // namespace file_lock
