#include "base/posix_file.h"

#include <stdlib.h>
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

bool WriteFileAtomically(const std::string& path, const std::string& content,
                         unsigned mode, std::string& error) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const std::string name =
      slash == std::string::npos ? path : path.substr(slash + 1);
  // Hidden and not ending in .prom: node_exporter reads only *.prom.
  std::string temporary = dir + "/." + name + ".XXXXXX";
  // Each call is repeated when interrupted: a signal must not cost a state.
  UniqueFd fd(RetryOnInterrupt(
      [&] { return ::mkostemp(temporary.data(), O_CLOEXEC); }));
  if (!fd.valid()) {
    error = temporary + ": " + std::strerror(errno);
    return false;
  }
  const auto fail = [&](const std::string& what) {
    error = what + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  };
  for (std::size_t written = 0; written < content.size();) {
    const ssize_t step = RetryOnInterrupt([&] {
      return ::write(fd.get(), content.data() + written,
                     content.size() - written);
    });
    if (step < 0) return fail(temporary);
    written += static_cast<std::size_t>(step);
  }
  // Data before name: renamed unsynced, a power cut can leave an empty file.
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0 ||
      RetryOnInterrupt([&] { return ::fsync(fd.get()); }) != 0 ||
      fd.Close() != 0) {
    return fail(temporary);
  }
  if (RetryOnInterrupt(
          [&] { return ::rename(temporary.c_str(), path.c_str()); }) != 0) {
    return fail(path);
  }
  // The rename itself must survive a power cut as well.
  const UniqueFd directory(RetryOnInterrupt(
      [&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!directory.valid() ||
      RetryOnInterrupt([&] { return ::fsync(directory.get()); }) != 0) {
    error = dir + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace base
}  // namespace kelpwood
