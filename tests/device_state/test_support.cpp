#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "base/posix_file.h"

namespace device_state_test {
namespace {

using ::kelpwood::base::RecordLockRequest;

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written =
        ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

std::string ReadFromStart(int fd) {
  ::lseek(fd, 0, SEEK_SET);
  return ReadAll(fd);
}

int MemoryFile(const char* name) {
  const int fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd == -1) throw std::runtime_error("memfd_create failed");
  return fd;
}

}  // namespace

// Read in a child process: opening and closing the file here would drop
// every record lock that this process holds on it.
std::string ReadBytes(const std::string& path) {
  const ChildResult child = RunInChild([&]() -> std::string {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return "<missing>";
    return ReadAll(fd);
  });
  return child.report;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1) throw std::runtime_error("cannot write " + path);
  WriteAll(fd, bytes);
  ::close(fd);
}

int CreateStateFile(const std::string& path) {
  WriteBytes(path, std::string(1, '\0'));
  return ::open(path.c_str(), O_RDWR | O_CLOEXEC);
}

int ModeOf(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return -1;
  return static_cast<int>(status.st_mode & 07777);
}

std::vector<int> DescriptorsOf(const std::string& path) {
  std::vector<int> descriptors;
  std::error_code error;
  const std::filesystem::path wanted = std::filesystem::canonical(path, error);
  if (error) return descriptors;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code link_error;
    const auto target = std::filesystem::read_symlink(entry.path(), link_error);
    if (!link_error && target == wanted) {
      descriptors.push_back(std::stoi(entry.path().filename().string()));
    }
  }
  return descriptors;
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  capture_fd_ = MemoryFile("stderr");
  saved_fd_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  ::dup2(capture_fd_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
  if (saved_fd_ != -1) Finish();
}

std::string StderrCapture::Finish() {
  std::fflush(stderr);
  ::dup2(saved_fd_, STDERR_FILENO);
  ::close(saved_fd_);
  saved_fd_ = -1;
  std::string captured = ReadFromStart(capture_fd_);
  ::close(capture_fd_);
  capture_fd_ = -1;
  return captured;
}

ChildResult RunWithPrivateOpt(const std::function<std::string()>& body) {
  return RunInChild([&]() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0) {
      return std::string("skip: unshare(CLONE_NEWNS): ") + std::strerror(errno);
    }
    // Without this, the tmpfs below could propagate back to the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("skip: making / private: ") + std::strerror(errno);
    }
    if (::mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") != 0) {
      return std::string("skip: tmpfs on /opt: ") + std::strerror(errno);
    }
    return body();
  });
}

int ProbeLockType(const std::string& path) {
  const ChildResult probe = RunInChild([&]() -> std::string {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock request = RecordLockRequest(F_WRLCK);
    if (fd == -1 || ::fcntl(fd, F_GETLK, &request) == -1) return "failed";
    return std::to_string(request.l_type);
  });
  if (probe.report.empty() || probe.report == "failed") return -1;
  return std::stoi(probe.report);
}

namespace {

bool SetRecordLock(int fd, int command, short type, off_t byte) {
  struct flock request = RecordLockRequest(type, byte);
  return ::fcntl(fd, command, &request) == 0;
}

}  // namespace

// Waiters are listed in /proc/locks on lines with "->" naming their pid.
bool BlockedOnALock(pid_t pid) {
  const int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
  if (fd == -1) return false;
  const std::string locks = ReadAll(fd);
  ::close(fd);
  const std::string pid_text = " " + std::to_string(pid) + " ";
  size_t start = 0;
  while (start < locks.size()) {
    size_t end = locks.find('\n', start);
    if (end == std::string::npos) end = locks.size();
    const std::string line = locks.substr(start, end - start);
    if (line.find("->") != std::string::npos &&
        line.find(pid_text) != std::string::npos) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool HoldsRecordLock(pid_t pid, const std::string& type) {
  const int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
  if (fd == -1) return false;
  const std::string locks = ReadAll(fd);
  ::close(fd);
  // "1: POSIX  ADVISORY  READ 1234 00:2d:5678 0 0"; waiters carry "->".
  const std::string wanted = " " + type + " " + std::to_string(pid) + " ";
  size_t start = 0;
  while (start < locks.size()) {
    size_t end = locks.find('\n', start);
    if (end == std::string::npos) end = locks.size();
    const std::string line = locks.substr(start, end - start);
    if (line.find("->") == std::string::npos &&
        line.find("POSIX") != std::string::npos &&
        line.find(wanted) != std::string::npos) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

DeadlockPartner::DeadlockPartner(const std::string& path) {
  byte_one_fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (byte_one_fd_ == -1 || !SetRecordLock(byte_one_fd_, F_SETLK, F_WRLCK, 1)) {
    return;
  }
  std::fflush(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd == -1 || !SetRecordLock(fd, F_SETLK, F_WRLCK, 0)) ::_exit(1);
    // Blocks until the parent lets byte 1 go.
    SetRecordLock(fd, F_SETLKW, F_WRLCK, 1);
    ::_exit(0);
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!ready_ && std::chrono::steady_clock::now() < deadline) {
    ready_ = BlockedOnALock(pid_);
    if (!ready_) ::usleep(1000);
  }
}

DeadlockPartner::~DeadlockPartner() {
  if (byte_one_fd_ != -1) {
    SetRecordLock(byte_one_fd_, F_SETLK, F_UNLCK, 1);
  }
  if (pid_ > 0) ::kelpwood::testing::WaitOrKill(pid_, std::chrono::seconds(10));
  // Closing drops every lock of this process on the file: only now.
  if (byte_one_fd_ != -1) ::close(byte_one_fd_);
}

}  // namespace device_state_test
