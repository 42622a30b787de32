#include "journal/journal_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
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

// A sealed memory file holding `data`, as journald accepts it; none when one
// cannot be made.
base::UniqueFd MemoryFileWith(std::string_view data) noexcept {
  base::UniqueFd file(
      ::memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file.valid()) return file;
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t count =
        ::write(file.get(), data.data() + written, data.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      return base::UniqueFd();
    }
    written += static_cast<std::size_t>(count);
  }
  // journald accepts a memory file only sealed against every change.
  if (::fcntl(file.get(), F_ADD_SEALS,
              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return base::UniqueFd();
  }
  return file;
}

// Sends `data` as one datagram, or the memory file `file` when it is valid.
// 0 when sent, else the errno.
int SendOnce(int fd, std::string_view data, int file) noexcept {
  if (file < 0) {
    return ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >=
                   0
               ? 0
               : errno;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &file, sizeof file);
  return ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 ? 0 : errno;
}

void AppendDecimal(std::string& text, std::uint64_t value) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  text.append(digits, end);
}

// Takes one "<bytes>:<text>" from the front of `encoded` into `text`.
bool TakeCounted(std::string_view& encoded, std::string& text) {
  const std::size_t colon = encoded.find(':');
  // At most 19 digits: no overflow, and far beyond any journal field.
  if (colon == 0 || colon == std::string_view::npos || colon > 19) {
    return false;
  }
  std::uint64_t size = 0;
  const char* digits_end = encoded.data() + colon;
  const auto parsed = std::from_chars(encoded.data(), digits_end, size);
  if (parsed.ec != std::errc() || parsed.ptr != digits_end) return false;
  encoded.remove_prefix(colon + 1);
  if (size > encoded.size()) return false;
  text.assign(encoded.substr(0, size));
  encoded.remove_prefix(size);
  return true;
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

void AppendMetadataPair(std::string& encoded, std::string_view key,
                        std::string_view value) {
  for (const std::string_view text : {key, value}) {
    AppendDecimal(encoded, text.size());
    encoded.push_back(':');
    encoded.append(text);
  }
}

bool DecodeMetadataPairs(
    std::string_view encoded,
    std::vector<std::pair<std::string, std::string>>& pairs) {
  pairs.clear();
  while (!encoded.empty()) {
    auto& pair = pairs.emplace_back();
    if (!TakeCounted(encoded, pair.first) ||
        !TakeCounted(encoded, pair.second)) {
      pairs.clear();
      return false;
    }
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
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  Add(name, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void JournalEntry::Add(std::string_view name, std::uint64_t value) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  Add(name, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void JournalEntry::AddAssignment(std::string_view assignment) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string_view::npos) return;
  Add(assignment.substr(0, equals), assignment.substr(equals + 1));
}

JournalWriter::JournalWriter(std::string socket_path)
    : socket_path_(std::move(socket_path)) {}

JournalWriter::~JournalWriter() {
  const int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) ::close(fd);
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
  const int fd = Socket();
  if (fd < 0) return SendStatus::kFailed;
  // Made once the entry is too large for a datagram.
  base::UniqueFd file;
  bool reconnected = false;
  // Ends after at most three sends: the memory file is made once, and the
  // socket reconnected once.
  for (;;) {
    const int error = SendOnce(fd, data, file.get());
    switch (error) {
      case 0:
        return SendStatus::kSent;
      case EAGAIN:
        return SendStatus::kWouldBlock;
      case EMSGSIZE:
      case ENOBUFS:
        if (file.valid()) return SendStatus::kFailed;
        file = MemoryFileWith(data);
        if (!file.valid()) return SendStatus::kFailed;
        break;
      case ECONNREFUSED:
      case ECONNRESET:
      case ENOTCONN:
      case EPIPE:
      case ENOENT:
        // A restarted journald, by datagram or memory file alike.
        if (reconnected || !Reconnect()) return SendStatus::kNoJournal;
        reconnected = true;
        break;
      default:
        return SendStatus::kFailed;
    }
  }
}

bool JournalWriter::AttemptAllowed(std::int64_t now_ns) const noexcept {
  const std::int64_t last_failure =
      last_failed_connect_ns_.load(std::memory_order_relaxed);
  return last_failure == 0 || now_ns - last_failure >= kReconnectSpacingNs;
}

int JournalWriter::Socket() noexcept {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  std::lock_guard<std::mutex> lock(reconnect_mutex_);
  fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  const std::int64_t now = SteadyNowNs();
  if (!AttemptAllowed(now)) return -1;
  base::UniqueFd fresh(NewSocket());
  if (!fresh.valid()) {
    last_failed_connect_ns_.store(now, std::memory_order_relaxed);
    return -1;
  }
  // Not listening yet is fine: the send that fails reconnects.
  ConnectTo(fresh.get(), socket_path_);
  fd = fresh.release();
  fd_.store(fd, std::memory_order_release);
  return fd;
}

bool JournalWriter::Reconnect() noexcept {
  std::lock_guard<std::mutex> lock(reconnect_mutex_);
  const std::int64_t now = SteadyNowNs();
  if (!AttemptAllowed(now)) return false;
  base::UniqueFd fresh(NewSocket());
  if (!fresh.valid() || !ConnectTo(fresh.get(), socket_path_) ||
      ::dup3(fresh.get(), fd_.load(std::memory_order_acquire), O_CLOEXEC) < 0) {
    last_failed_connect_ns_.store(now, std::memory_order_relaxed);
    return false;
  }
  last_failed_connect_ns_.store(0, std::memory_order_relaxed);
  return true;
}

}  // namespace journal
}  // namespace kelpwood
