/* Drives every DeviceState_* function from a program compiled as C99.
 * Exits 0 when every check passes; prints each failed check. */
#define _GNU_SOURCE /* unshare, mount, mkdtemp */

#include <errno.h>
#include <fcntl.h>
#include <kelpwood/device_state_c.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int failures = 0;

#define CHECK(condition)                                               \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #condition);                                             \
      ++failures;                                                      \
    }                                                                  \
  } while (0)

static char directory[] = "/tmp/kelpwood-device-state-c-XXXXXX";
static char state_path[256];

static void write_file(const char* path, const char* bytes, size_t length) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1 || write(fd, bytes, length) != (ssize_t)length) {
    fprintf(stderr, "cannot write %s\n", path);
    exit(2);
  }
  close(fd);
}

/* The file's content into buffer; returns its length, or -1. */
static int read_file(const char* path, char* buffer, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  ssize_t length;
  if (fd == -1) return -1;
  length = read(fd, buffer, size);
  close(fd);
  return (int)length;
}

static void check_single_byte(const char* path, unsigned char expected,
                              int line) {
  char buffer[8];
  int length = read_file(path, buffer, sizeof buffer);
  if (length != 1 || (unsigned char)buffer[0] != expected) {
    fprintf(stderr, "%s:%d: file holds %d bytes, first %d, expected [%d]\n",
            __FILE__, line, length, length > 0 ? (unsigned char)buffer[0] : -1,
            expected);
    ++failures;
  }
}

static void test_create_read_transit_wait_release(void) {
  DeviceStateHandle* handle = DeviceState_create_at(state_path);
  CHECK(handle != NULL);
  if (handle == NULL) return;
  check_single_byte(state_path, 0, __LINE__);

  /* Without the read lock nothing is written. */
  CHECK(!DeviceState_TransitState(handle, 3));
  check_single_byte(state_path, 0, __LINE__);
  CHECK(!DeviceState_WaitForStateChange(handle, 0));
  CHECK(!DeviceState_WaitForStateChangeFor(handle, 0, 10));

  CHECK(DeviceState_LockAndReadState(handle) == 0);
  /* Only the low 8 bits count: 261 is 5. */
  CHECK(DeviceState_TransitState(handle, 261));
  check_single_byte(state_path, 5, __LINE__);
  CHECK(DeviceState_WaitForStateChange(handle, 261));
  CHECK(DeviceState_WaitForStateChangeFor(handle, 5, 0));
  CHECK(!DeviceState_WaitForStateChangeFor(handle, 6, 20));
  CHECK(DeviceState_LockAndReadState(handle) == 5);
  DeviceState_ReleaseLock(handle);
  CHECK(!DeviceState_TransitState(handle, 1));
  check_single_byte(state_path, 5, __LINE__);
  DeviceState_destroy(handle);
}

static void test_high_bytes_read_negative(void) {
  DeviceStateHandle* handle;
  write_file(state_path, "\xc8", 1); /* 200 */
  handle = DeviceState_create_at(state_path);
  CHECK(handle != NULL);
  if (handle == NULL) return;
  CHECK(DeviceState_LockAndReadState(handle) == -56);
  CHECK(DeviceState_WaitForStateChange(handle, 200));
  CHECK(DeviceState_TransitState(handle, -1));
  check_single_byte(state_path, 255, __LINE__);
  CHECK(DeviceState_LockAndReadState(handle) == -1);
  DeviceState_destroy(handle);
}

static void test_bad_input(void) {
  char missing[300];
  DeviceStateHandle* handle;
  snprintf(missing, sizeof missing, "%s/missing/device_state", directory);
  CHECK(DeviceState_create_at(missing) == NULL);
  CHECK(DeviceState_create_at(directory) == NULL);
  DeviceState_destroy(NULL);

  write_file(state_path, "", 0);
  handle = DeviceState_create_at(state_path);
  CHECK(handle != NULL);
  if (handle == NULL) return;
  CHECK(DeviceState_LockAndReadState(handle) == DEVICE_STATE_READ_ERROR);
  CHECK(!DeviceState_WaitForStateChange(handle, 0));
  DeviceState_ReleaseLock(handle);
  DeviceState_destroy(handle);
}

/* DeviceState_create() on the fixed path, in a private mount namespace with a
 * tmpfs on /opt. Returns 0 when skipped. */
static int test_fixed_path(void) {
  pid_t child;
  int status = 0;
  if (geteuid() != 0) {
    printf("skipped DeviceState_create(): needs root for a private /opt\n");
    return 0;
  }
  fflush(NULL);
  child = fork();
  if (child == 0) {
    DeviceStateHandle* handle;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
        mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") != 0) {
      _exit(77);
    }
    if (DeviceState_create() != NULL) _exit(1);
    if (mkdir("/opt/kelpwood", 0755) != 0) _exit(2);
    handle = DeviceState_create();
    if (handle == NULL) _exit(3);
    if (DeviceState_LockAndReadState(handle) != 0) _exit(4);
    if (!DeviceState_TransitState(handle, 44)) _exit(5);
    DeviceState_destroy(handle);
    check_single_byte(KELPWOOD_DEVICE_STATE_FILE, 44, __LINE__);
    _exit(failures == 0 ? 0 : 6);
  }
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    CHECK(!"fixed-path child did not exit");
    return 1;
  }
  if (WEXITSTATUS(status) == 77) {
    printf("skipped DeviceState_create(): no private mount namespace\n");
    return 0;
  }
  if (WEXITSTATUS(status) != 0) {
    fprintf(stderr, "fixed-path child failed at step %d\n",
            WEXITSTATUS(status));
    ++failures;
  }
  return 1;
}

int main(void) {
  if (mkdtemp(directory) == NULL) {
    perror("mkdtemp");
    return 2;
  }
  snprintf(state_path, sizeof state_path, "%s/device_state", directory);

  test_create_read_transit_wait_release();
  unlink(state_path);
  test_high_bytes_read_negative();
  unlink(state_path);
  test_bad_input();
  unlink(state_path);
  test_fixed_path();

  rmdir(directory);
  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("all C interface checks passed\n");
  return 0;
}
