/* A shared library that interposes on the system calls of the device-state
 * code (open, mkostemp, write, fsync, link, rename, fcntl, lseek, read,
 * inotify_init1, inotify_add_watch) for the thread that arms it: it records
 * each call and makes one chosen call fail with a chosen errno. Linked into a
 * test program ahead of the C library, so that the library's calls reach it
 * first. Calls of other threads, and of this one while disarmed, pass
 * straight through. */
#ifndef KELPWOOD_TESTS_DEVICE_STATE_FAULT_SHIM_H_
#define KELPWOOD_TESTS_DEVICE_STATE_FAULT_SHIM_H_

#ifdef __cplusplus
extern "C" {
#endif

/* Starts recording this thread's calls. The call with index fail_at (0 for
 * the first) fails with error instead of reaching the system; -1 fails
 * none. */
void kelpwood_fault_arm(int fail_at, int error);

/* Stops recording and returns the number of calls made while armed. */
int kelpwood_fault_disarm(void);

/* The index-th recorded call: its name, with the command for fcntl
 * ("fcntl F_SETLKW") and "stderr" for a write to descriptor 2. Only the first
 * 64 calls are kept; later ones read "?". */
const char* kelpwood_fault_call(int index);

/* While armed, runs hook(argument) once, just before the first call named
 * call reaches the system. Cleared by kelpwood_fault_disarm(). */
void kelpwood_fault_before(const char* call, void (*hook)(void*),
                           void* argument);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KELPWOOD_TESTS_DEVICE_STATE_FAULT_SHIM_H_ */
