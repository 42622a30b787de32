#define _GNU_SOURCE
#include "fault_shim.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>

enum { kKeptCalls = 64, kNameSize = 24 };

/* Per thread, so that only the arming thread's calls are touched. */
static __thread int armed;
static __thread int calls;
static __thread int fail_index = -1;
static __thread int fail_error;
static __thread char names[kKeptCalls][kNameSize];
static __thread const char* hook_call;
static __thread void (*hook_function)(void*);
static __thread void* hook_argument;

void kelpwood_fault_arm(int fail_at, int error) {
  calls = 0;
  fail_index = fail_at;
  fail_error = error;
  armed = 1;
}

int kelpwood_fault_disarm(void) {
  armed = 0;
  hook_call = NULL;
  hook_function = NULL;
  return calls;
}

const char* kelpwood_fault_call(int index) {
  if (index < 0 || index >= calls || index >= kKeptCalls) return "?";
  return names[index];
}

void kelpwood_fault_before(const char* call, void (*hook)(void*),
                           void* argument) {
  hook_call = call;
  hook_function = hook;
  hook_argument = argument;
}

/* Records the call; returns nonzero when it is the one to fail (errno is then
 * set). */
static int Intercept(const char* name, const char* detail) {
  if (!armed) return 0;
  if (calls < kKeptCalls) {
    snprintf(names[calls], kNameSize, detail ? "%s %s" : "%s", name, detail);
  }
  const int index = calls++;
  if (hook_call != NULL && strcmp(hook_call, name) == 0) {
    void (*hook)(void*) = hook_function;
    hook_call = NULL;
    armed = 0; /* the hook's own calls are not counted */
    hook(hook_argument);
    armed = 1;
  }
  if (index != fail_index) return 0;
  errno = fail_error;
  return 1;
}

/* Stored through a void** because ISO C has no cast from an object pointer
 * to a function pointer; POSIX guarantees the representations match. */
static void* Next(const char* name) {
  void* function = dlsym(RTLD_NEXT, name);
  if (function == NULL) abort();
  return function;
}

static const char* FcntlCommand(int command) {
  switch (command) {
    case F_SETLK:
      return "F_SETLK";
    case F_SETLKW:
      return "F_SETLKW";
    case F_GETLK:
      return "F_GETLK";
    case F_SETFL:
      return "F_SETFL";
    case F_GETFL:
      return "F_GETFL";
    default:
      return "other";
  }
}

int open(const char* path, int flags, ...) {
  static int (*real)(const char*, int, ...);
  if (real == NULL) *(void**)&real = Next("open");
  mode_t mode = 0;
  if (flags & (O_CREAT | __O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  if (Intercept("open", (flags & O_DIRECTORY) ? "directory" : NULL)) return -1;
  return real(path, flags, mode);
}

int mkostemp(char* name_template, int flags) {
  static int (*real)(char*, int);
  if (real == NULL) *(void**)&real = Next("mkostemp");
  if (Intercept("mkostemp", NULL)) return -1;
  return real(name_template, flags);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  if (real == NULL) *(void**)&real = Next("write");
  if (Intercept("write", fd == 2 ? "stderr" : NULL)) return -1;
  return real(fd, buffer, count);
}

ssize_t read(int fd, void* buffer, size_t count) {
  static ssize_t (*real)(int, void*, size_t);
  if (real == NULL) *(void**)&real = Next("read");
  if (Intercept("read", NULL)) return -1;
  return real(fd, buffer, count);
}

int fsync(int fd) {
  static int (*real)(int);
  if (real == NULL) *(void**)&real = Next("fsync");
  if (Intercept("fsync", NULL)) return -1;
  return real(fd);
}

int link(const char* from, const char* to) {
  static int (*real)(const char*, const char*);
  if (real == NULL) *(void**)&real = Next("link");
  if (Intercept("link", NULL)) return -1;
  return real(from, to);
}

int rename(const char* from, const char* to) {
  static int (*real)(const char*, const char*);
  if (real == NULL) *(void**)&real = Next("rename");
  if (Intercept("rename", NULL)) return -1;
  return real(from, to);
}

int fcntl(int fd, int command, ...) {
  static int (*real)(int, int, ...);
  if (real == NULL) *(void**)&real = Next("fcntl");
  /* As the C library itself does: one pointer-sized argument, whatever the
   * command. */
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (Intercept("fcntl", FcntlCommand(command))) return -1;
  return real(fd, command, argument);
}

off_t lseek(int fd, off_t offset, int whence) {
  static off_t (*real)(int, off_t, int);
  if (real == NULL) *(void**)&real = Next("lseek");
  if (Intercept("lseek", NULL)) return -1;
  return real(fd, offset, whence);
}

int inotify_init1(int flags) {
  static int (*real)(int);
  if (real == NULL) *(void**)&real = Next("inotify_init1");
  if (Intercept("inotify_init1", NULL)) return -1;
  return real(flags);
}

int inotify_add_watch(int fd, const char* path, uint32_t mask) {
  static int (*real)(int, const char*, uint32_t);
  if (real == NULL) {
    *(void**)&real = Next("inotify_add_watch");
  }
  if (Intercept("inotify_add_watch", NULL)) return -1;
  return real(fd, path, mask);
}
