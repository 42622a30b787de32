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

namespace device_state_test {
namespace {

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

// Reads one line (without its line feed), waiting at most timeout.
std::string ReadLine(int fd, std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{fd, POLLIN, 0};
    if (left.count() <= 0 ||
        ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      return line + "<timeout>";
    }
    char byte;
    if (::read(fd, &byte, 1) != 1) return line + "<end>";
    if (byte == '\n') return line;
    line += byte;
  }
}

int MemoryFile(const char* name) {
  const int fd = ::memfd_create(name, MFD_CLOEXEC);
  if (fd == -1) throw std::runtime_error("memfd_create failed");
  return fd;
}

int WaitStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

TempDir::TempDir(const std::string& base) {
  std::string name = base + "/kelpwood-device-state-XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed in " + base);
  }
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

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

bool ChildResult::Succeeded() const {
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && report.empty();
}

ChildResult RunInChild(const std::function<std::string()>& body) {
  int report_pipe[2];
  if (::pipe2(report_pipe, O_CLOEXEC) != 0) return {-1, "pipe2 failed"};
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == -1) return {-1, "fork failed"};
  if (pid == 0) {
    ::close(report_pipe[0]);
    std::string report;
    try {
      report = body();
    } catch (const std::exception& error) {
      report = std::string("exception: ") + error.what();
    } catch (...) {
      report = "unknown exception";
    }
    WriteAll(report_pipe[1], report);
    ::_exit(report.empty() ? 0 : 1);
  }
  ::close(report_pipe[1]);
  ChildResult result;
  result.report = ReadAll(report_pipe[0]);
  ::close(report_pipe[0]);
  result.status = WaitStatus(pid);
  return result;
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
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == -1) return -1;
  if (pid == 0) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock request;
    std::memset(&request, 0, sizeof request);
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 1;
    if (fd == -1 || ::fcntl(fd, F_GETLK, &request) == -1) ::_exit(100);
    ::_exit(request.l_type);
  }
  const int status = WaitStatus(pid);
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 100) return -1;
  return WEXITSTATUS(status);
}

namespace {

bool SetRecordLock(int fd, int command, short type, off_t byte) {
  struct flock request;
  std::memset(&request, 0, sizeof request);
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = byte;
  request.l_len = 1;
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
  if (pid_ > 0) WaitStatus(pid_);
  // Closing drops every lock of this process on the file: only now.
  if (byte_one_fd_ != -1) ::close(byte_one_fd_);
}

Process::Process(const std::string& program,
                 const std::vector<std::string>& args) {
  output_fd_ = MemoryFile("stdout");
  error_fd_ = MemoryFile("stderr");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(output_fd_, STDOUT_FILENO);
    ::dup2(error_fd_, STDERR_FILENO);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
}

Process::~Process() {
  if (pid_ > 0 && exit_code_ == -1) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  ::close(output_fd_);
  ::close(error_fd_);
}

int Process::Wait() {
  if (exit_code_ != -1 || pid_ <= 0) return exit_code_;
  const int status = WaitStatus(pid_);
  exit_code_ = WIFEXITED(status)     ? WEXITSTATUS(status)
               : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                     : -1;
  standard_output_ = ReadFromStart(output_fd_);
  standard_error_ = ReadFromStart(error_fd_);
  return exit_code_;
}

// The peer: lock, say so, optionally announce and release after a delay,
// then live until its standard input ends.
static const char kPeerScript[] = R"(import fcntl, os, sys, time
path, mode, byte, release_after = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
fd = os.open(path, os.O_RDWR)
kind = fcntl.LOCK_SH if mode == "read" else fcntl.LOCK_EX
fcntl.lockf(fd, kind | fcntl.LOCK_NB, 1, byte)
print("locked", flush=True)
if release_after >= 0:
    time.sleep(release_after)
    print("releasing", flush=True)
    fcntl.lockf(fd, fcntl.LOCK_UN, 1, byte)
sys.stdin.read()
)";

PythonPeer::PythonPeer(const std::string& path, Mode mode, int byte,
                       double release_after) {
  int input_pipe[2];
  int output_pipe[2];
  if (::pipe2(input_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(output_pipe, O_CLOEXEC) != 0) {
    status_ = "pipe2 failed";
    return;
  }
  const std::string mode_name = mode == Mode::kRead ? "read" : "write";
  const std::string byte_text = std::to_string(byte);
  const std::string release_text = std::to_string(release_after);
  std::fflush(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(input_pipe[0], STDIN_FILENO);
    ::dup2(output_pipe[1], STDOUT_FILENO);
    ::execlp("python3", "python3", "-c", kPeerScript, path.c_str(),
             mode_name.c_str(), byte_text.c_str(), release_text.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(input_pipe[0]);
  ::close(output_pipe[1]);
  input_fd_ = input_pipe[1];
  output_fd_ = output_pipe[0];
  status_ = ReadLine(output_fd_, std::chrono::seconds(10));
  if (status_ != "locked") {
    status_ = "python3 peer did not lock (is python3 installed?): " + status_;
  }
}

PythonPeer::~PythonPeer() {
  if (input_fd_ != -1) ::close(input_fd_);
  if (pid_ > 0) WaitStatus(pid_);
  if (output_fd_ != -1) ::close(output_fd_);
}

bool PythonPeer::AnnouncedRelease() {
  pollfd readable{output_fd_, POLLIN, 0};
  if (::poll(&readable, 1, 0) != 1) return false;
  return ReadLine(output_fd_, std::chrono::milliseconds(100)) == "releasing";
}

}  // namespace device_state_test
