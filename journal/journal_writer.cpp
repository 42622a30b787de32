#include "journal/journal_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "base/posix_file.h"

namespace kelpwood {
namespace journal {

namespace {

// journald takes entries of up to its own limit (768 MiB); a larger socket
// buffer lets more of them go as one datagram before the memory-file path.
constexpr int kSendBufferBytes = 8 * 1024 * 1024;

// While nothing listens, a send tries to connect again at most this often, so
// that a process tracing at full speed without journald pays one failed
// send per point rather than a socket call more.
constexpr std::int64_t kReconnectSpacingNs = 100'000'000;

std::int64_t SteadyNowNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool IsNameCharacter(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

int NewSocket() noexcept {
  const int fd =
      ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int size = kSendBufferBytes;
  // Without CAP_NET_ADMIN the forced size is refused and the plain one is
  // capped by net.core.wmem_max; either way the memory file covers the rest.
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  return fd;
}

bool ConnectTo(int fd, const std::string& path) noexcept {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address),
                   sizeof address) == 0;
}

}  // namespace

std::string JournalFieldName(std::string_view prefix, std::string_view key) {
  std::string name(prefix);
  for (char c : key) {
    if (name.size() >= kMaxFieldNameLength) break;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    name.push_back(IsNameCharacter(c) ? c : '_');
  }
  return name;
}

bool IsValidFieldName(std::string_view name) noexcept {
  if (name.empty() || name.size() > kMaxFieldNameLength) return false;
  if (name[0] == '_' || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    if (!IsNameCharacter(c)) return false;
  }
  return true;
}

const char* ProgramIdentifier() noexcept {
  return program_invocation_short_name;
}

void JournalEntry::Add(std::string_view name, std::string_view value) {
  data_.append(name);
  if (value.find('\n') == std::string_view::npos) {
    data_.push_back('=');
    data_.append(value);
  } else {
    // NAME, new line, the value's size as 64-bit little endian, the value.
    data_.push_back('\n');
    std::uint64_t size = value.size();
    for (int byte = 0; byte < 8; ++byte) {
      data_.push_back(static_cast<char>(size & 0xff));
      size >>= 8;
    }
    data_.append(value);
  }
  data_.push_back('\n');
}

void JournalEntry::Add(std::string_view name, std::int64_t value) {
  char digits[24];
  const int length = std::snprintf(digits, sizeof digits, "%lld",
                                   static_cast<long long>(value));
  Add(name, std::string_view(digits, static_cast<std::size_t>(length)));
}

void JournalEntry::Add(std::string_view name, std::uint64_t value) {
  char digits[24];
  const int length = std::snprintf(digits, sizeof digits, "%llu",
                                   static_cast<unsigned long long>(value));
  Add(name, std::string_view(digits, static_cast<std::size_t>(length)));
}

void JournalEntry::AddAssignment(std::string_view assignment) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string_view::npos) return;
  Add(assignment.substr(0, equals), assignment.substr(equals + 1));
}

JournalWriter::JournalWriter(std::string socket_path)
    : socket_path_(std::move(socket_path)), fd_(NewSocket()) {
  // Not listening yet is fine: the first send connects.
  if (fd_ >= 0) ConnectTo(fd_, socket_path_);
}

JournalWriter::~JournalWriter() {
  if (fd_ >= 0) ::close(fd_);
}

SendStatus JournalWriter::Send(const JournalEntry& entry) noexcept {
  return SendSerialized(entry.Serialized());
}

SendStatus JournalWriter::Send(const std::vector<std::string>& assignments) {
  JournalEntry entry;
  for (const std::string& assignment : assignments) {
    entry.AddAssignment(assignment);
  }
  return Send(entry);
}

SendStatus JournalWriter::SendSerialized(std::string_view data) noexcept {
  if (fd_ < 0) return SendStatus::kFailed;
  // Two rounds: the second follows a reconnection to a restarted journald.
  for (int round = 0; round < 2; ++round) {
    const ssize_t sent =
        ::send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) return SendStatus::kSent;
    switch (errno) {
      case EAGAIN:
        return SendStatus::kWouldBlock;
      case EMSGSIZE:
      case ENOBUFS:
        return SendThroughMemoryFile(data);
      case ECONNREFUSED:
      case ECONNRESET:
      case ENOTCONN:
      case EPIPE:
      case ENOENT:
        if (!Reconnect()) return SendStatus::kNoJournal;
        break;
      default:
        return SendStatus::kFailed;
    }
  }
  return SendStatus::kNoJournal;
}

SendStatus JournalWriter::SendThroughMemoryFile(
    std::string_view data) noexcept {
  base::UniqueFd file(
      ::memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (file.get() < 0) return SendStatus::kFailed;
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t count =
        ::write(file.get(), data.data() + written, data.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      return SendStatus::kFailed;
    }
    written += static_cast<std::size_t>(count);
  }
  // journald accepts a memory file only sealed against every change.
  if (::fcntl(file.get(), F_ADD_SEALS,
              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return SendStatus::kFailed;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  const int descriptor = file.get();
  std::memcpy(CMSG_DATA(header), &descriptor, sizeof descriptor);
  if (::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
    return SendStatus::kSent;
  }
  return errno == EAGAIN ? SendStatus::kWouldBlock : SendStatus::kFailed;
}

bool JournalWriter::Reconnect() noexcept {
  std::lock_guard<std::mutex> lock(reconnect_mutex_);
  const std::int64_t now = SteadyNowNs();
  const std::int64_t last_failure =
      last_failed_connect_ns_.load(std::memory_order_relaxed);
  if (last_failure != 0 && now - last_failure < kReconnectSpacingNs) {
    return false;
  }
  base::UniqueFd fresh(NewSocket());
  if (fresh.get() < 0 || !ConnectTo(fresh.get(), socket_path_) ||
      ::dup3(fresh.get(), fd_, O_CLOEXEC) < 0) {
    last_failed_connect_ns_.store(now, std::memory_order_relaxed);
    return false;
  }
  last_failed_connect_ns_.store(0, std::memory_order_relaxed);
  return true;
}

}  // namespace journal
}  // namespace kelpwood
