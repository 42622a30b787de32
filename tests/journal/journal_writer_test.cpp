// The journal writer against a datagram socket of the test's own, bound where
// journald's would be: a receiver that never reads stands for a stopped
// journald, a rebound one for a restarted journald.

#include "journal/journal_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelpwood {
namespace journal {
namespace {

// A bound datagram socket that receives what the writer sends.
class Receiver {
 public:
  explicit Receiver(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address),
                    sizeof address) == 0;
  }
  ~Receiver() { ::close(fd_); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  bool bound() const { return bound_; }

  // The next datagram's bytes, or the content of the memory file it carries;
  // "<none>" when nothing is queued. `seals` gets the file's seals (0: none).
  std::string Next(int* seals = nullptr) {
    char buffer[4096];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    iovec vector{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = ::recvmsg(fd_, &message, MSG_DONTWAIT);
    if (size < 0) return "<none>";
    if (seals != nullptr) *seals = 0;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS) {
      return std::string(buffer, static_cast<std::size_t>(size));
    }
    int file;
    std::memcpy(&file, CMSG_DATA(header), sizeof file);
    if (seals != nullptr) *seals = ::fcntl(file, F_GET_SEALS);
    std::string content;
    char chunk[65536];
    ssize_t count;
    while ((count = ::pread(file, chunk, sizeof chunk,
                            static_cast<off_t>(content.size()))) > 0) {
      content.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(file);
    return content;
  }

 private:
  int fd_;
  bool bound_ = false;
};

class JournalWriterTest : public ::testing::Test {
 protected:
  kelpwood::testing::TempDir directory_;
  const std::string socket_path_ = directory_.path() + "/socket";
};

JournalEntry SmallEntry(int number) {
  JournalEntry entry;
  entry.Add("MESSAGE", "entry " + std::to_string(number));
  return entry;
}

TEST_F(JournalWriterTest, ReportsWouldBlockOnceTheQueueIsFullAndKeepsOrder) {
  Receiver receiver(socket_path_);
  ASSERT_TRUE(receiver.bound());
  JournalWriter writer(socket_path_);
  // The queue of an unread datagram socket is short (net.unix.max_dgram_qlen);
  // a writer that waited would never leave this loop.
  int sent = 0;
  SendStatus status = SendStatus::kSent;
  while (sent < 100000 &&
         (status = writer.Send(SmallEntry(sent))) == SendStatus::kSent) {
    ++sent;
  }
  EXPECT_EQ(status, SendStatus::kWouldBlock);
  ASSERT_GT(sent, 0);
  for (int number = 0; number < sent; ++number) {
    EXPECT_EQ(receiver.Next(),
              "MESSAGE=entry " + std::to_string(number) + "\n");
  }
  EXPECT_EQ(receiver.Next(), "<none>");
  EXPECT_EQ(writer.Send(SmallEntry(-1)), SendStatus::kSent);
  EXPECT_EQ(receiver.Next(), "MESSAGE=entry -1\n");
}

TEST_F(JournalWriterTest, SendsAnEntryLargerThanADatagramInASealedMemoryFile) {
  Receiver receiver(socket_path_);
  ASSERT_TRUE(receiver.bound());
  JournalWriter writer(socket_path_);
  JournalEntry entry;
  entry.Add("MESSAGE", "large");
  // Beyond any send buffer the socket can have (twice 8 MiB).
  entry.Add("POINT_META_BLOB", std::string(17 * 1024 * 1024, 'x'));
  ASSERT_EQ(writer.Send(entry), SendStatus::kSent);
  int seals = 0;
  const std::string received = receiver.Next(&seals);
  EXPECT_EQ(seals, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  EXPECT_TRUE(received == entry.Serialized())
      << "received " << received.size() << " bytes of "
      << entry.Serialized().size();
}

// A restarted journald must be found again whichever way the entry travels.
struct RestartCase {
  const char* name;
  std::size_t value_bytes;  // of one field beside MESSAGE
};

class JournalWriterRestartTest
    : public JournalWriterTest,
      public ::testing::WithParamInterface<RestartCase> {};

TEST_P(JournalWriterRestartTest,
       ReconnectsToARestartedReceiverAndSaysWhenNoneListens) {
  const auto entry = [](int number) {
    JournalEntry made = SmallEntry(number);
    made.Add("POINT_META_BLOB", std::string(GetParam().value_bytes, 'x'));
    return made;
  };
  JournalWriter writer(socket_path_);
  {
    Receiver first(socket_path_);
    ASSERT_TRUE(first.bound());
    // Connected lazily: the writer was made before anything listened.
    EXPECT_EQ(writer.Send(entry(1)), SendStatus::kSent);
    EXPECT_TRUE(first.Next() == entry(1).Serialized());
  }
  {
    Receiver second(socket_path_);
    ASSERT_TRUE(second.bound());
    EXPECT_EQ(writer.Send(entry(2)), SendStatus::kSent);
    EXPECT_TRUE(second.Next() == entry(2).Serialized());
  }
  ::unlink(socket_path_.c_str());
  EXPECT_EQ(writer.Send(entry(3)), SendStatus::kNoJournal);
  EXPECT_EQ(writer.Send(std::vector<std::string>{"MESSAGE=x"}),
            SendStatus::kNoJournal);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, JournalWriterRestartTest,
    ::testing::Values(RestartCase{"datagram", 8},
                      // Beyond any send buffer: a sealed memory file.
                      RestartCase{"memory_file", 17 * 1024 * 1024}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JournalWriterTest, MakesItsSocketOnALaterSendWhenTheFirstFailed) {
  const kelpwood::testing::ChildResult child =
      kelpwood::testing::RunInChild([this]() -> std::string {
        Receiver receiver(socket_path_);
        if (!receiver.bound()) return "cannot bind " + socket_path_;
        // No descriptor left: the lowest free number becomes the limit.
        const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowest_free);
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        const rlimit saved = limit;
        limit.rlim_cur = static_cast<rlim_t>(lowest_free);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        JournalWriter writer(socket_path_);
        const SendStatus starved = writer.Send(SmallEntry(1));
        ::setrlimit(RLIMIT_NOFILE, &saved);
        if (starved != SendStatus::kFailed) return "sent without a socket";
        // Attempts are spaced out: send until one makes the socket.
        const auto give_up =
            std::chrono::steady_clock::now() + std::chrono::seconds(5);
        SendStatus status = SendStatus::kFailed;
        while (status == SendStatus::kFailed &&
               std::chrono::steady_clock::now() < give_up) {
          status = writer.Send(SmallEntry(2));
        }
        if (status != SendStatus::kSent) return "never sent";
        const std::string received = receiver.Next();
        return received == "MESSAGE=entry 2\n" ? "" : "received " + received;
      });
  EXPECT_TRUE(child.Succeeded()) << child.report << child.standard_error;
}

}  // namespace
}  // namespace journal
}  // namespace kelpwood
