// Descriptor ownership, whole-file reads and record-lock requests shared by
// the library's own sources and tools. Internal: not installed, not part of
// the public API, free to change.
#ifndef KELPWOOD_BASE_POSIX_FILE_H_
#define KELPWOOD_BASE_POSIX_FILE_H_

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace kelpwood {
namespace base {

// Owns one file descriptor (or none, -1) and closes it on destruction. Moves,
// never copies.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it; holds none afterwards.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the held descriptor, if any, and takes fd instead. close() is
  // never retried: on Linux the descriptor is gone even when it reports
  // EINTR, and a retry could close a descriptor another thread just opened.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes the held descriptor now and returns close()'s result, so that a
  // failing close (a full disk on NFS) is seen. Holds none afterwards.
  int Close() noexcept { return ::close(release()); }

 private:
  int fd_ = -1;
};

// Calls call() again for as long as it fails with EINTR, and returns its
// last result. For calls that are safe to repeat (not close()).
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// Why ReadRegularFile() failed, without formatting: callers word it.
struct FileReadFailure {
  enum class Step {
    kOpen,        // open() failed: system_error holds errno
    kStat,        // fstat() failed: system_error holds errno
    kNotRegular,  // not a regular file: mode holds its type bits
    kRead,        // read() failed: system_error holds errno
  };
  Step step = Step::kOpen;
  int system_error = 0;
  mode_t mode = 0;

  // "is a directory", "not a regular file", or the system's reason
  // (strerror).
  std::string Reason() const;
};

// Reads the whole regular file at path into content. Opens without blocking,
// so a FIFO or a device at the path never hangs the caller, and judges the
// type on the open descriptor, so the file judged is the file read. Symbolic
// links are followed. Returns false and fills failure otherwise.
bool ReadRegularFile(const std::string& path, std::string& content,
                     FileReadFailure& failure);

// Appends everything left to read on fd to content, retrying interrupted
// reads. Returns false with errno set when a read fails.
bool ReadToEnd(int fd, std::string& content);

// Writes `content` to `path` so that a reader sees the old or the new file
// whole: a temporary file in the same directory (hidden, so not named *.prom),
// fsync, the given mode whatever the umask, rename, then fsync of the
// directory. False with the reason in `error`; the temporary file is removed.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         unsigned mode, std::string& error);

// The request for a record lock of type (F_RDLCK, F_WRLCK or F_UNLCK) on
// length bytes from start, counted from the start of the file.
struct flock RecordLockRequest(short type, off_t start = 0,
                               off_t length = 1) noexcept;

}  // namespace base
}  // namespace kelpwood

#endif  // KELPWOOD_BASE_POSIX_FILE_H_
