#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace kelpwood {
namespace testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string ReadFromStart(int fd) {
  std::string bytes;
  if (fd < 0) return bytes;
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
}

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written =
        ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

// Reads `fd` to its end, or until `deadline`.
std::string ReadUntilEnd(int fd, Clock::time_point deadline) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) return bytes;
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return bytes;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Waits for `pid` until `deadline` through a pidfd, so that the wait neither
// spins nor sleeps past the child's exit; kills the child at the deadline.
// Returns the wait status, or -1 when it was killed or could not be waited.
int WaitUntil(pid_t pid, Clock::time_point deadline, bool& timed_out) {
  timed_out = false;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) break;
    if (pidfd >= 0) {
      pollfd exited{pidfd, POLLIN, 0};
      const int ready = ::poll(&exited, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) break;
      if (ready <= 0) continue;
    } else {
      ::usleep(2000);
    }
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, pidfd >= 0 ? 0 : WNOHANG);
    if (done == pid) {
      if (pidfd >= 0) ::close(pidfd);
      return status;
    }
    if (done < 0 && errno != EINTR) {
      if (pidfd >= 0) ::close(pidfd);
      return -1;
    }
  }
  timed_out = true;
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pidfd >= 0) ::close(pidfd);
  return -1;
}

std::vector<char*> NullTerminated(const std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (const std::string& word : words) {
    pointers.push_back(const_cast<char*>(word.c_str()));
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

bool ChildResult::ExitedCleanly() const {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int ChildResult::ExitCode() const {
  if (status < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool ChildResult::Succeeded() const {
  return ExitedCleanly() && report.empty();
}

ChildProcess::ChildProcess(const std::string& program,
                           const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment,
                           const ChildOptions& options)
    : deadline_(Clock::now() + options.deadline) {
  output_fd_ = ::memfd_create("stdout", MFD_CLOEXEC);
  error_fd_ = ::memfd_create("stderr", MFD_CLOEXEC);
  if (output_fd_ < 0 || error_fd_ < 0) {
    result_.standard_error = "memfd_create failed";
    collected_ = true;
    return;
  }
  std::vector<std::string> words = {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = NullTerminated(words);
  std::vector<char*> envp = NullTerminated(environment);

  // dup2 clears O_CLOEXEC on the child's copies; every other descriptor of
  // the test closes on exec.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.working_directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions,
                                         options.working_directory.c_str());
  }
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                   options.standard_input.c_str(), O_RDONLY, 0);
  if (options.standard_output_path.empty()) {
    posix_spawn_file_actions_adddup2(&actions, output_fd_, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                     options.standard_output_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  posix_spawn_file_actions_adddup2(&actions, error_fd_, STDERR_FILENO);
  std::fflush(nullptr);
  const int spawn_error = ::posix_spawn(&pid_, program.c_str(), &actions,
                                        nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    pid_ = -1;
    result_.standard_error =
        "cannot start " + program + ": " + std::strerror(spawn_error);
    collected_ = true;
  }
  result_.pid = pid_;
}

ChildProcess::~ChildProcess() {
  if (!collected_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  CloseIfOpen(output_fd_);
  CloseIfOpen(error_fd_);
}

const ChildResult& ChildProcess::Wait() {
  if (collected_) return result_;
  collected_ = true;
  result_.status = WaitUntil(pid_, deadline_, result_.timed_out);
  result_.standard_output = ReadFromStart(output_fd_);
  result_.standard_error = ReadFromStart(error_fd_);
  return result_;
}

ChildResult RunChild(const std::string& program,
                     const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment,
                     const ChildOptions& options) {
  ChildProcess child(program, arguments, environment, options);
  return child.Wait();
}

std::vector<std::string> WithSanitizerOptions(
    std::vector<std::string> environment) {
  for (const char* name :
       {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) {
      environment.push_back(std::string(name) + "=" + value);
    }
  }
  return environment;
}

ChildResult RunInChild(const std::function<std::string()>& body,
                       std::chrono::milliseconds deadline) {
  ChildResult result;
  // A pipe, not a memory file: a body may limit the size of the files its
  // process writes.
  int report_pipe[2];
  if (::pipe2(report_pipe, O_CLOEXEC) != 0) {
    result.report = "pipe2 failed";
    return result;
  }
  const auto until = Clock::now() + deadline;
  std::fflush(nullptr);
  result.pid = ::fork();
  if (result.pid == 0) {
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
  if (result.pid < 0) {
    result.report = "fork failed";
  } else {
    result.report = ReadUntilEnd(report_pipe[0], until);
    result.status = WaitUntil(result.pid, until, result.timed_out);
  }
  ::close(report_pipe[0]);
  return result;
}

int WaitOrKill(pid_t pid, std::chrono::milliseconds limit) {
  bool timed_out = false;
  return WaitUntil(pid, Clock::now() + limit, timed_out);
}

}  // namespace testing
}  // namespace kelpwood
