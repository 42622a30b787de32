#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kelpwood_test {
namespace {

// Owns one descriptor.
class Descriptor {
 public:
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { Reset(-1); }

  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Descriptor read_end;
  Descriptor write_end;

  bool Open() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end.Reset(fds[0]);
    write_end.Reset(fds[1]);
    return true;
  }
};

// Reads both streams together, so that a child filling one pipe while the
// other is not being read cannot stall.
void DrainBoth(int output_fd, int error_fd, std::string& output,
               std::string& error) {
  pollfd fds[2] = {{output_fd, POLLIN, 0}, {error_fd, POLLIN, 0}};
  std::string* targets[2] = {&output, &error};
  int open_streams = 2;
  char buffer[4096];
  while (open_streams > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        targets[i]->append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }
}

}  // namespace

bool ChildResult::ExitedCleanly() const {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ChildResult RunChild(const std::string& program,
                     const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment) {
  ChildResult result;
  Pipe output;
  Pipe error;
  if (!output.Open() || !error.Open()) return result;

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);

  // dup2 clears O_CLOEXEC on the child's copies; every other pipe end closes
  // on exec.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output.write_end.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, error.write_end.get(), 2);
  const int spawn_error = posix_spawn(&result.pid, program.c_str(), &actions,
                                      nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    result.pid = -1;
    return result;
  }
  output.write_end.Reset(-1);
  error.write_end.Reset(-1);

  DrainBoth(output.read_end.get(), error.read_end.get(), result.standard_output,
            result.standard_error);
  int status = 0;
  while (waitpid(result.pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  result.status = status;
  return result;
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

}  // namespace kelpwood_test
