#include "journald.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace kelpwood_test {

namespace {

const char kJournalDirectory[] = "/run/systemd/journal";
const char kTestLockPath[] = "/run/kelpwood-journal-test.lock";

// Reads the entries once; see ReadJournal.
std::vector<JournalFields> ReadJournalOnce(
    const std::vector<std::string>& matches) {
  std::vector<JournalFields> entries;
  sd_journal* journal = nullptr;
  if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) return entries;
  for (const std::string& match : matches) {
    sd_journal_add_match(journal, match.data(), match.size());
  }
  SD_JOURNAL_FOREACH(journal) {
    JournalFields fields;
    const void* data;
    size_t length;
    SD_JOURNAL_FOREACH_DATA(journal, data, length) {
      const std::string field(static_cast<const char*>(data), length);
      const std::size_t equals = field.find('=');
      if (equals == std::string::npos) continue;
      fields.emplace(field.substr(0, equals), field.substr(equals + 1));
    }
    entries.push_back(std::move(fields));
  }
  sd_journal_close(journal);
  return entries;
}

}  // namespace

std::string JournaldUnavailableReason() {
  if (geteuid() != 0) return "starting systemd-journald needs root";
  if (access(kJournaldPath, X_OK) != 0) {
    return std::string(kJournaldPath) + " is missing (Debian package systemd)";
  }
  return "";
}

bool JournaldIsListening() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, kJournalSocketPath,
               sizeof address.sun_path - 1);
  const bool listening =
      connect(fd, reinterpret_cast<const sockaddr*>(&address),
              sizeof address) == 0;
  close(fd);
  return listening;
}

JournalTestLock::JournalTestLock()
    : fd_(open(kTestLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
  if (fd_ >= 0) flock(fd_, LOCK_EX);
}

JournalTestLock::~JournalTestLock() {
  if (fd_ >= 0) close(fd_);
}

Journald::Journald() {
  if (JournaldIsListening()) return;
  mkdir("/run/systemd", 0755);
  mkdir(kJournalDirectory, 0755);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  }
  char* argv[] = {const_cast<char*>(kJournaldPath), nullptr};
  char* envp[] = {nullptr};
  const int spawn_error =
      posix_spawn(&pid_, kJournaldPath, &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    pid_ = -1;
    error_ = std::string("cannot start ") + kJournaldPath + ": " +
             std::strerror(spawn_error);
  }
}

Journald::~Journald() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  // A stopped journald would never act on SIGTERM.
  kill(pid_, SIGCONT);
  if (!Reap(std::chrono::seconds(3))) {
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
      error_ = std::string(kJournaldPath) + " exited at start";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = std::string(kJournalSocketPath) + " does not accept datagrams";
  return false;
}

bool Journald::Reap(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t reaped = waitpid(pid_, nullptr, WNOHANG);
    if (reaped == pid_ || (reaped < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

StoppedProcess::StoppedProcess(pid_t pid) : pid_(pid) {
  if (pid_ > 0) kill(pid_, SIGSTOP);
}

StoppedProcess::~StoppedProcess() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

std::vector<JournalFields> ReadJournal(const std::vector<std::string>& matches,
                                       std::size_t count,
                                       std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::vector<JournalFields> entries = ReadJournalOnce(matches);
    if (entries.size() >= count ||
        std::chrono::steady_clock::now() >= deadline) {
      return entries;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> SentFields(const JournalFields& fields) {
  std::vector<std::string> sent;
  for (const auto& [name, value] : fields) {
    if (!name.empty() && name[0] != '_') sent.push_back(name + "=" + value);
  }
  return sent;
}

}  // namespace kelpwood_test
