/* C interface to the device state (device_state.h), for C99 and C++ callers.
 *
 * Conventions:
 *
 * (1) A handle is an opaque pointer to one device-state object. The caller
 *     owns it from DeviceState_create() or DeviceState_create_at() until
 *     DeviceState_destroy(). Every other function REQUIRES a live handle; a
 *     null handle is refused (DEVICE_STATE_READ_ERROR, false or no effect).
 *
 * (2) A state goes in as an int32_t of which only the low 8 bits are used
 *     (261 stores 5) and comes back as the 8-bit value widened with its sign,
 *     -128 to 127: file bytes 128 to 255 read as -128 to -1 (200 reads as
 *     -56).
 *
 * (3) No error and no exception ever reaches the caller. Failures come back
 *     as a null handle, false, or DEVICE_STATE_READ_ERROR; the reason is not
 *     passed on (the file lock may write its own line to standard error).
 *
 * (4) The working order is: create; DeviceState_LockAndReadState() (from then
 *     on the handle holds a read lock); any number of DeviceState_TransitState
 *     and DeviceState_WaitForStateChange[For]; DeviceState_ReleaseLock;
 *     destroy. Without the read lock, transitions and waits return false.
 *
 * (5) Record locks belong to the process: handles of one process share the
 *     lock on the state byte, and destroying any of them drops it for all.
 *     A handle is used by one thread at a time.
 */
#ifndef KELPWOOD_DEVICE_STATE_C_H_
#define KELPWOOD_DEVICE_STATE_C_H_

#include <kelpwood/export.h>
#include <stdbool.h>
#include <stdint.h>

#include "state_file.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle: a device_state::DeviceState object. */
typedef struct DeviceStateHandle DeviceStateHandle;

/* Returned by DeviceState_LockAndReadState() when the state can be neither
 * locked nor read (for instance an empty state file). It lies outside
 * -128..127, so it is never a state. */
#define DEVICE_STATE_READ_ERROR ((int32_t)-1000)

/* Opens the state file KELPWOOD_DEVICE_STATE_FILE, creating it with the byte 0
 * if missing. Returns null if it cannot be created, initialised or opened
 * (for instance when its directory does not exist). Takes no lock. */
KELPWOOD_API DeviceStateHandle* DeviceState_create(void);

/* As DeviceState_create(), for the state file at path. */
KELPWOOD_API DeviceStateHandle* DeviceState_create_at(const char* path);

/* Releases the handle's lock, closes its descriptor (dropping every lock this
 * process holds on the file) and frees it. Does nothing for null. */
KELPWOOD_API void DeviceState_destroy(DeviceStateHandle* handle);

/* Takes a read lock unless the handle holds one (WAITING while another
 * process writes), then returns the state. Returns DEVICE_STATE_READ_ERROR
 * when locking fails or the byte cannot be read; a lock taken stays held. */
KELPWOOD_API int32_t DeviceState_LockAndReadState(DeviceStateHandle* handle);

/* REQUIRES the read lock. Writes the low 8 bits of state without waiting for
 * other processes: false, with the read lock still held, while any other
 * process holds a lock on the byte. On success the read lock is held again. */
KELPWOOD_API bool DeviceState_TransitState(DeviceStateHandle* handle,
                                           int32_t state);

/* REQUIRES the read lock. Blocks, with NO time limit, until the state equals
 * the low 8 bits of state, re-reading once per second with the lock dropped in
 * between; true with the read lock held. False when the byte cannot be read,
 * when re-locking fails (holding no lock) or without the read lock. */
KELPWOOD_API bool DeviceState_WaitForStateChange(DeviceStateHandle* handle,
                                                 int32_t state);

/* As DeviceState_WaitForStateChange(), but false once timeout_ms (negative
 * counts as 0) has passed, the read lock still held, and it wakes within
 * milliseconds of a change (inotify; once a second where unavailable). */
KELPWOOD_API bool DeviceState_WaitForStateChangeFor(DeviceStateHandle* handle,
                                                    int32_t state,
                                                    int64_t timeout_ms);

/* Releases whatever lock the handle holds (for the whole process). The only
 * possible failure, of the handle's internal mutex, is swallowed: the lock
 * then stays as it was, and DeviceState_destroy() still drops it. */
KELPWOOD_API void DeviceState_ReleaseLock(DeviceStateHandle* handle);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELPWOOD_DEVICE_STATE_C_H_ */
