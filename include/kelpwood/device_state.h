// device_state: one state byte shared by every process of the device, kept in
// the state file (state_file.h) and ordered by a record lock on that byte.
//
// The protocol between processes:
//  - a reader keeps a read lock on the byte from its first read until it
//    releases it;
//  - a writer changes the byte only while it holds a read lock, by turning it
//    into a write lock WITHOUT WAITING, writing and turning it back into a read
//    lock; this succeeds only when no other process holds a lock on the byte;
//  - a waiter drops its read lock between two reads, which is when a writer
//    gets through.
//
// Record locks belong to the process (see file_lock.h): two DeviceState
// objects of one process do not exclude each other, and destroying one drops
// the other's lock. One object is used by one thread at a time.
#ifndef KELPWOOD_DEVICE_STATE_H_
#define KELPWOOD_DEVICE_STATE_H_

#include <kelpwood/export.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "file_lock.h"
#include "state_file.h"

namespace device_state {

// The state: one byte, the file's byte being the value's bit pattern (file
// bytes 128 to 255 are -128 to -1). The library names no values; the file
// starts at 0. Make one with State{5} or static_cast<State>(value).
enum class State : std::int8_t {};

// Writes state as the byte at offset 0 of fd. Returns true exactly when the
// seek to 0 succeeded and one byte was written. Takes no lock and does not
// flush to disk.
KELPWOOD_API bool SetState(State state, int fd);

// Reads the byte at offset 0 of fd. Throws std::runtime_error "Unable to get
// state from lock file." unless the seek to 0 succeeded and exactly one byte
// was read. Takes no lock.
KELPWOOD_API State GetState(int fd);

class KELPWOOD_API DeviceState {
 public:
  // Opens the state file at KELPWOOD_DEVICE_STATE_FILE, see below.
  DeviceState();

  // Opens the state file at path, creating it with the single byte 0 (mode
  // 0600 less the umask) when it does not exist. An existing file is never
  // changed (an empty one stays empty, and reading it throws), and a new file
  // appears complete, so processes starting together neither lose a state
  // already written nor see an empty file. Takes no
  // lock. A symbolic link at path is followed; anything but a regular file
  // (a FIFO, a device, a directory) is refused without blocking. A new file
  // is synced to disk, with its directory, before it is used. Throws
  // std::runtime_error "Unable to create the lock file." (for instance when
  // the directory is missing), "Unable to init state." or "Unable to open the
  // lock file.". File-lock lines on standard error name path.
  explicit DeviceState(const std::string& path);

  DeviceState(const DeviceState&) = delete;
  DeviceState& operator=(const DeviceState&) = delete;
  DeviceState(DeviceState&&) = delete;
  DeviceState& operator=(DeviceState&&) = delete;

  // Releases the lock and closes the descriptor, which drops every lock that
  // this process holds on the state file, other objects' included.
  ~DeviceState();

  // Takes a read lock unless this object already holds a lock (WAITING while
  // another process holds a write lock), then reads the state. Throws
  // std::runtime_error "Unable to lock." when locking fails, or GetState's
  // error when the byte cannot be read; a lock taken here stays held.
  State LockAndReadState();

  // REQUIRES a read lock from LockAndReadState(), else returns false at once.
  // Upgrades it without waiting, writes state and downgrades. Returns false,
  // still holding the read lock, while another process holds a lock on the
  // byte (the file lock writes its line to standard error); returns false
  // holding the WRITE lock if the write itself fails (ReleaseLock() ends
  // that). On success the read lock is held again.
  bool TransitState(State state);

  // REQUIRES a read lock, else returns false at once. Returns true, with the
  // read lock held, once the byte equals state. Between two reads it drops the
  // lock for one second, then waits for a read lock again; returns false,
  // holding no lock, if that fails. No time limit. Throws GetState's error.
  bool WaitForStateChange(State state);

  // As WaitForStateChange(), but returns false once timeout has passed, still
  // holding the read lock, and wakes within milliseconds of a change: it
  // watches the file with inotify while its lock is dropped, falling back to
  // reading once per second where inotify cannot be used. A negative timeout
  // counts as 0, one beyond 100 years as 100 years. The wait for the read
  // lock itself is not bounded (writers hold it only while writing).
  bool WaitForStateChangeFor(State state, std::chrono::milliseconds timeout);

  // Releases whatever lock this object holds (for the whole process).
  void ReleaseLock();

 private:
  int fd;
  std::unique_ptr<file_lock::FileLock> lock;
  std::string path;
  // inotify instance watching the file for writes; made by the first
  // WaitForStateChangeFor() and kept, because closing one costs milliseconds.
  int watch_fd = -1;
};

}  // namespace device_state

#endif  // KELPWOOD_DEVICE_STATE_H_
