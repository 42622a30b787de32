// file_lock::FileLock: a POSIX advisory record lock on the first byte of a
// file shared by several processes, held in read (shared) or write
// (exclusive) mode.
//
// Record locks belong to the process, not to this object or to a thread: two
// objects of one process on the same file do not exclude each other, and
// closing ANY descriptor of the file in the process drops every lock that the
// process holds on it. Threads of one process are separated only by each
// object's own mutex.
//
// Every failed operation returns false and writes one whole line to standard
// error, flushed before it returns. A wait for a lock that a caught signal
// interrupts is resumed, not failed.
//
// Locks are not inherited by a child of fork(): in the child every FileLock
// copied from the parent holds nothing (getLockType() == F_UNLCK), whatever
// the parent held.
#ifndef KELPWOOD_FILE_LOCK_H_
#define KELPWOOD_FILE_LOCK_H_

#include <fcntl.h>
#include <kelpwood/export.h>

#include <mutex>
#include <string>

namespace file_lock {

class KELPWOOD_API FileLock {
 public:
  // Wraps fd, which the caller keeps owning: the lock never closes it. Holds
  // no lock yet (getLockType() == F_UNLCK). Throws std::runtime_error
  // "Unable to open the lock file." when fd is -1.
  explicit FileLock(int fd);

  // As FileLock(fd), for the file that fd was opened on at path: the
  // standard-error lines name path instead of KELPWOOD_DEVICE_STATE_FILE.
  FileLock(int fd, const std::string& path);

  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  FileLock(FileLock&&) = delete;
  FileLock& operator=(FileLock&&) = delete;

  // Destroying the object releases nothing: a record lock stays held until
  // releaseLock(), a close() of any descriptor of the file, or process exit.
  ~FileLock();

  // Takes a read lock, WAITING while another process holds a write lock (with
  // this object's mutex held, so other calls on this object wait too).
  // Converts a held write lock. On failure the held mode is unchanged.
  bool acquireReadLock();

  // Takes a write lock without waiting: fails at once while another process
  // holds any lock on the byte. Converts a held read lock.
  bool acquireWriteLock();

  // REQUIRES a held read lock (otherwise fails without calling the system).
  // Turns it into a write lock without waiting; on failure the read lock
  // stays held.
  bool upgradeToWriteLock();

  // REQUIRES a held write lock (otherwise fails without calling the system).
  // Turns it into a read lock.
  bool downgradeToReadLock();

  // Releases whatever this process holds on the byte. Ignores the system's
  // answer and always records F_UNLCK; writes nothing.
  void releaseLock();

  // The mode this object holds: F_RDLCK (0), F_WRLCK (1) or F_UNLCK (2).
  // Waits while another thread is inside acquireReadLock() on this object.
  int getLockType() const;

  // Every operation but the constructor throws std::system_error when the
  // object's mutex cannot be locked.

 private:
  bool setLock(int command, short type, const char* failure_text);
  // The mode held now: F_UNLCK in a child of fork(). Caller holds mutex.
  int heldType() const noexcept;
  void writeFailureLine(const char* text) const noexcept;

  const int fd;
  // The held mode in the low bits, with the process generation (see
  // file_lock.cpp) and whether a path was given above them.
  int lockType;
  mutable std::mutex mutex;
};

}  // namespace file_lock

#endif  // KELPWOOD_FILE_LOCK_H_
