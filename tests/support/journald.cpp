#include "journald.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace kelpwood_test {
namespace {

bool Reap(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t reaped = waitpid(pid, nullptr, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

bool JournaldIsListening() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kJournalSocket, sizeof address.sun_path - 1);
  // A socket file left by a journald that has exited refuses the connection.
  const bool listening =
      connect(fd, reinterpret_cast<const sockaddr*>(&address),
              sizeof address) == 0;
  close(fd);
  return listening;
}

JournaldTestLock::JournaldTestLock()
    : fd_(open(kJournalTestLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
  if (fd_ >= 0) flock(fd_, LOCK_EX);
}

JournaldTestLock::~JournaldTestLock() {
  if (fd_ >= 0) close(fd_);
}

Journald::Journald() {
  if (JournaldIsListening()) return;
  mkdir("/run/systemd", 0755);
  mkdir("/run/systemd/journal", 0755);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  }
  char* argv[] = {const_cast<char*>(kJournaldProgram), nullptr};
  char* envp[] = {nullptr};
  const int spawn_error =
      posix_spawn(&pid_, kJournaldProgram, &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    pid_ = -1;
    error_ = std::string("cannot start ") + kJournaldProgram + ": " +
             std::strerror(spawn_error);
  }
}

Journald::~Journald() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!Reap(pid_, std::chrono::seconds(3))) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Journald::WaitUntilListening(std::chrono::milliseconds limit) {
  if (!error_.empty()) return false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (JournaldIsListening()) return true;
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = std::string(kJournaldProgram) + " exited at start";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = std::string(kJournalSocket) + " does not accept datagrams";
  return false;
}

}  // namespace kelpwood_test
