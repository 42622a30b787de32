// The library's internal file helpers, on real files of every type.
#include "base/posix_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "device_state/state_byte.h"
#include "test_support.h"

namespace {

using device_state_test::DescriptorsOf;
using device_state_test::TempDir;
using device_state_test::WriteBytes;
using kelpwood::base::FileReadFailure;
using kelpwood::base::ReadRegularFile;
using kelpwood::base::UniqueFd;

TEST(UniqueFdTest, ClosesOnDestructionResetAndMoveAssignment) {
  TempDir dir;
  const std::string path = dir.File("file");
  WriteBytes(path, "x");
  const auto open_file = [&] { return ::open(path.c_str(), O_RDONLY); };
  {
    UniqueFd first(open_file());
    ASSERT_TRUE(first.valid());
    UniqueFd moved(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(DescriptorsOf(path).size(), 1u);
    moved = UniqueFd(open_file());
    EXPECT_EQ(DescriptorsOf(path).size(), 1u);
    moved.reset(open_file());
    EXPECT_EQ(DescriptorsOf(path).size(), 1u);
  }
  EXPECT_TRUE(DescriptorsOf(path).empty());
  UniqueFd kept(open_file());
  const int raw = kept.release();
  EXPECT_EQ(kept.get(), -1);
  EXPECT_EQ(DescriptorsOf(path), std::vector<int>{raw});
  ::close(raw);
}

struct ReadCase {
  const char* name;
  // Makes the path's object in dir; returns the path to read.
  std::string (*make)(const TempDir& dir);
  bool read;
  FileReadFailure::Step step;
  const char* reason;
};

std::string Regular(const TempDir& dir) {
  WriteBytes(dir.File("regular"), std::string("a\0b", 3));
  return dir.File("regular");
}
std::string LinkToRegular(const TempDir& dir) {
  Regular(dir);
  ::symlink(dir.File("regular").c_str(), dir.File("link").c_str());
  return dir.File("link");
}
std::string Fifo(const TempDir& dir) {
  ::mkfifo(dir.File("fifo").c_str(), 0600);
  return dir.File("fifo");
}
std::string Directory(const TempDir& dir) { return dir.path(); }
std::string Missing(const TempDir& dir) { return dir.File("missing"); }
std::string Device(const TempDir&) { return "/dev/null"; }
std::string Socket(const TempDir& dir) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir.File("socket");
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::close(fd);
  return path;
}

class ReadRegularFileTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadRegularFileTest, ReadsOnlyRegularFilesWithoutBlocking) {
  const ReadCase& param = GetParam();
  TempDir dir;
  const std::string path = param.make(dir);
  // Standard streams may already be open on the path (/dev/null).
  const size_t open_before = DescriptorsOf(path).size();
  std::string content = "stale";
  FileReadFailure failure;
  ASSERT_EQ(ReadRegularFile(path, content, failure), param.read);
  if (param.read) {
    EXPECT_EQ(content, std::string("a\0b", 3));
  } else {
    EXPECT_EQ(failure.step, param.step);
    EXPECT_EQ(failure.Reason(), param.reason);
  }
  EXPECT_EQ(DescriptorsOf(path).size(), open_before);
}

INSTANTIATE_TEST_SUITE_P(
    FileTypes, ReadRegularFileTest,
    ::testing::Values(
        ReadCase{"Regular", Regular, true, {}, ""},
        ReadCase{"SymbolicLinkToRegular", LinkToRegular, true, {}, ""},
        ReadCase{"Fifo", Fifo, false, FileReadFailure::Step::kNotRegular,
                 "not a regular file"},
        ReadCase{"Directory", Directory, false,
                 FileReadFailure::Step::kNotRegular, "is a directory"},
        ReadCase{"CharacterDevice", Device, false,
                 FileReadFailure::Step::kNotRegular, "not a regular file"},
        ReadCase{"Socket", Socket, false, FileReadFailure::Step::kOpen,
                 "No such device or address"},
        ReadCase{"Missing", Missing, false, FileReadFailure::Step::kOpen,
                 "No such file or directory"}),
    [](const ::testing::TestParamInfo<ReadCase>& info) {
      return std::string(info.param.name);
    });

TEST(RecordLockRequestTest, CoversTheRequestedBytesFromTheStart) {
  const struct flock first = kelpwood::base::RecordLockRequest(F_WRLCK);
  EXPECT_EQ(first.l_type, F_WRLCK);
  EXPECT_EQ(first.l_whence, SEEK_SET);
  EXPECT_EQ(first.l_start, 0);
  EXPECT_EQ(first.l_len, 1);
  EXPECT_EQ(first.l_pid, 0);
  const struct flock second = kelpwood::base::RecordLockRequest(F_RDLCK, 1, 2);
  EXPECT_EQ(second.l_start, 1);
  EXPECT_EQ(second.l_len, 2);
}

TEST(StateByteTest, ConvertsBetweenByteStateAndCValue) {
  using device_state::State;
  using kelpwood::base::StateFromByte;
  using kelpwood::base::StateFromLowBits;
  using kelpwood::base::StateToByte;
  using kelpwood::base::StateToInt;
  const struct {
    std::int32_t c_value;
    unsigned char byte;
    std::int32_t read_back;
  } cases[] = {{0, 0, 0},        {5, 5, 5},         {127, 127, 127},
               {128, 128, -128}, {200, 200, -56},   {255, 255, -1},
               {-1, 255, -1},    {261, 5, 5},       {-56, 200, -56},
               {384, 128, -128}, {INT32_MIN, 0, 0}, {INT32_MAX, 255, -1}};
  for (const auto& test_case : cases) {
    const State state = StateFromLowBits(test_case.c_value);
    EXPECT_EQ(StateToByte(state), test_case.byte) << test_case.c_value;
    EXPECT_EQ(StateToInt(state), test_case.read_back) << test_case.c_value;
    EXPECT_EQ(StateFromByte(test_case.byte), state) << test_case.c_value;
  }
}

}  // namespace
