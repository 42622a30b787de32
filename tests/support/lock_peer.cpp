#include "lock_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "child_process.h"

extern char** environ;

namespace kelpwood {
namespace testing {
namespace {

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

// The peer: lock, say so, optionally announce and release after a delay,
// then live until its standard input ends.
constexpr char kPeerScript[] = R"(import fcntl, os, sys, time
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

}  // namespace

PythonPeer::PythonPeer(const std::string& path, Mode mode, int byte,
                       double release_after) {
  int input_pipe[2];
  int output_pipe[2];
  if (::pipe2(input_pipe, O_CLOEXEC) != 0) {
    status_ = "pipe2 failed";
    return;
  }
  if (::pipe2(output_pipe, O_CLOEXEC) != 0) {
    ::close(input_pipe[0]);
    ::close(input_pipe[1]);
    status_ = "pipe2 failed";
    return;
  }
  std::string mode_name = mode == Mode::kRead ? "read" : "write";
  std::string byte_text = std::to_string(byte);
  std::string release_text = std::to_string(release_after);
  std::string script = kPeerScript;
  std::string file = path;
  char python[] = "python3";
  char command_option[] = "-c";
  char* const argv[] = {
      python,           command_option,   script.data(),       file.data(),
      mode_name.data(), byte_text.data(), release_text.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output_pipe[1], STDOUT_FILENO);
  const int spawn_error =
      ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input_pipe[0]);
  ::close(output_pipe[1]);
  input_fd_ = input_pipe[1];
  output_fd_ = output_pipe[0];
  if (spawn_error != 0) {
    pid_ = -1;
    status_ = std::string(
                  "python3 peer did not start (is python3 "
                  "installed?): ") +
              std::strerror(spawn_error);
    return;
  }
  status_ = ReadLine(output_fd_, std::chrono::seconds(10));
  if (status_ != "locked") {
    status_ = "python3 peer did not lock (is python3 installed?): " + status_;
  }
}

PythonPeer::~PythonPeer() {
  if (input_fd_ != -1) ::close(input_fd_);
  // A peer that never locked may still be starting: the end of its input
  // lets it finish, and the deadline keeps a hung one from hanging the test.
  if (pid_ > 0) WaitOrKill(pid_, std::chrono::seconds(10));
  if (output_fd_ != -1) ::close(output_fd_);
}

bool PythonPeer::AnnouncedRelease() {
  pollfd readable{output_fd_, POLLIN, 0};
  if (::poll(&readable, 1, 0) != 1) return false;
  return ReadLine(output_fd_, std::chrono::milliseconds(100)) == "releasing";
}

}  // namespace testing
}  // namespace kelpwood
