#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "commands.h"

namespace kelpwood {
namespace flows_tool {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool ReadRegularFile(const std::string& path, std::string& content,
                     std::string& error) {
  // O_NONBLOCK keeps the open of a FIFO without a writer from waiting; the
  // type is then checked on the descriptor itself, so that the file judged
  // is the file read.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    error = "is a directory";
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    error = "not a regular file";
    return false;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      return false;
    }
    content.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace flows_tool
}  // namespace kelpwood
