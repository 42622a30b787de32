#include "base/posix_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace kelpwood {
namespace base {

std::string FileReadFailure::Reason() const {
  if (step == Step::kNotRegular) {
    return S_ISDIR(mode) ? "is a directory" : "not a regular file";
  }
  return std::strerror(system_error);
}

bool ReadToEnd(int fd, std::string& content) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count =
        RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (count == 0) return true;
    if (count < 0) return false;
    content.append(buffer, static_cast<std::size_t>(count));
  }
}

bool ReadRegularFile(const std::string& path, std::string& content,
                     FileReadFailure& failure) {
  // O_NONBLOCK keeps the open of a FIFO without a writer from waiting, and
  // O_NOCTTY keeps a terminal from becoming the caller's controlling one.
  UniqueFd fd(RetryOnInterrupt([&] {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  }));
  if (!fd.valid()) {
    failure = {FileReadFailure::Step::kOpen, errno, 0};
    return false;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    failure = {FileReadFailure::Step::kStat, errno, 0};
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    failure = {FileReadFailure::Step::kNotRegular, 0,
               static_cast<mode_t>(status.st_mode & S_IFMT)};
    return false;
  }
  content.clear();
  if (!ReadToEnd(fd.get(), content)) {
    failure = {FileReadFailure::Step::kRead, errno, 0};
    return false;
  }
  return true;
}

struct flock RecordLockRequest(short type, off_t start, off_t length) noexcept {
  struct flock request;
  std::memset(&request, 0, sizeof request);
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = start;
  request.l_len = length;
  return request;
}

}  // namespace base
}  // namespace kelpwood
