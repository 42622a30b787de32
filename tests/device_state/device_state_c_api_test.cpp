// The C interface as C++ callers see it; the C program beside this file
// drives it compiled as C.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state_c.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "test_support.h"

namespace {

using device_state_test::ProbeLockType;
using device_state_test::PythonPeer;
using device_state_test::ReadBytes;
using device_state_test::RunWithPrivateOpt;
using device_state_test::StderrCapture;
using device_state_test::TempDir;
using device_state_test::WriteBytes;

static_assert(DEVICE_STATE_READ_ERROR < -128 || DEVICE_STATE_READ_ERROR > 127,
              "the error value must not be a state");

TEST(DeviceStateCApiTest, NullHandleIsRefusedWithoutEffect) {
  DeviceState_destroy(nullptr);
  EXPECT_EQ(DeviceState_LockAndReadState(nullptr), DEVICE_STATE_READ_ERROR);
  EXPECT_FALSE(DeviceState_TransitState(nullptr, 1));
  EXPECT_FALSE(DeviceState_WaitForStateChange(nullptr, 1));
  EXPECT_FALSE(DeviceState_WaitForStateChangeFor(nullptr, 1, 10));
  DeviceState_ReleaseLock(nullptr);
  EXPECT_EQ(DeviceState_create_at(nullptr), nullptr);
}

TEST(DeviceStateCApiTest, UnreadableStateReturnsTheErrorValue) {
  TempDir dir;
  const std::string path = dir.File("state");
  WriteBytes(path, "");
  DeviceStateHandle* handle = DeviceState_create_at(path.c_str());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(DeviceState_LockAndReadState(handle), DEVICE_STATE_READ_ERROR);
  // The lock taken before the read failed stays held until released.
  EXPECT_EQ(ProbeLockType(path), F_RDLCK);
  EXPECT_FALSE(DeviceState_WaitForStateChangeFor(handle, 0, 0));
  DeviceState_ReleaseLock(handle);
  EXPECT_EQ(ProbeLockType(path), F_UNLCK);
  DeviceState_destroy(handle);
}

TEST(DeviceStateCApiTest, RefusedReadLockReturnsTheErrorValue) {
  TempDir dir;
  const std::string path = dir.File("state");
  WriteBytes(path, std::string(2, '\0'));
  DeviceStateHandle* handle = DeviceState_create_at(path.c_str());
  ASSERT_NE(handle, nullptr);
  {
    device_state_test::DeadlockPartner partner(path);
    ASSERT_TRUE(partner.ready());
    StderrCapture capture;
    EXPECT_EQ(DeviceState_LockAndReadState(handle), DEVICE_STATE_READ_ERROR);
    capture.Finish();
  }
  EXPECT_EQ(DeviceState_LockAndReadState(handle), 0);
  DeviceState_destroy(handle);
}

TEST(DeviceStateCApiTest, TransitWhilePeerReadsReturnsFalseWithTheLine) {
  TempDir dir;
  const std::string path = dir.File("state");
  DeviceStateHandle* handle = DeviceState_create_at(path.c_str());
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(DeviceState_LockAndReadState(handle), 0);
  {
    PythonPeer peer(path, PythonPeer::Mode::kRead, 0);
    ASSERT_EQ(peer.status(), "locked");
    StderrCapture capture;
    EXPECT_FALSE(DeviceState_TransitState(handle, 9));
    EXPECT_EQ(capture.Finish(),
              "Failed to upgrade to write lock: " + path + "\n");
  }
  EXPECT_EQ(ReadBytes(path), std::string(1, '\0'));
  EXPECT_TRUE(DeviceState_TransitState(handle, 9));
  EXPECT_EQ(ReadBytes(path), "\x09");
  DeviceState_destroy(handle);
}

TEST(DeviceStateCApiTest, WaitAcceptsTheWholeTimeoutRange) {
  TempDir dir;
  const std::string path = dir.File("state");
  DeviceStateHandle* handle = DeviceState_create_at(path.c_str());
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(DeviceState_LockAndReadState(handle), 0);
  EXPECT_TRUE(DeviceState_WaitForStateChangeFor(handle, 256, INT64_MAX));
  EXPECT_FALSE(DeviceState_WaitForStateChangeFor(handle, 1, INT64_MIN));
  EXPECT_EQ(ProbeLockType(path), F_RDLCK);
  DeviceState_destroy(handle);
}

// Handles of one process share the record lock: destroying one closes its
// descriptor, which drops the lock that the other holds.
TEST(DeviceStateCApiTest, DestroyingOneHandleDropsTheOthersLock) {
  TempDir dir;
  const std::string path = dir.File("state");
  DeviceStateHandle* first = DeviceState_create_at(path.c_str());
  DeviceStateHandle* second = DeviceState_create_at(path.c_str());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(DeviceState_LockAndReadState(first), 0);
  EXPECT_EQ(ProbeLockType(path), F_RDLCK);
  DeviceState_destroy(second);
  EXPECT_EQ(ProbeLockType(path), F_UNLCK);
  DeviceState_destroy(first);
}

TEST(DeviceStateCApiTest, CreateUsesTheFixedPath) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to mount a private tmpfs on /opt";
  }
  const auto result = RunWithPrivateOpt([]() -> std::string {
    if (DeviceState_create() != nullptr) return "created without directory";
    if (::mkdir("/opt/kelpwood", 0755) != 0) return "mkdir failed";
    DeviceStateHandle* handle = DeviceState_create();
    if (handle == nullptr) return "create failed";
    if (DeviceState_LockAndReadState(handle) != 0) return "state is not 0";
    if (!DeviceState_TransitState(handle, -1)) return "transit failed";
    DeviceState_destroy(handle);
    if (ReadBytes("/opt/kelpwood/device_state") != "\xff") return "not 255";
    return "";
  });
  if (result.report.rfind("skip: ", 0) == 0) GTEST_SKIP() << result.report;
  EXPECT_EQ(result.report, "");
  EXPECT_TRUE(result.Succeeded());
}

// States whose byte has the top bit set go through the C interface as the
// same byte, and come back as the byte's value widened with its sign.
TEST(DeviceStateCApiTest, HighBytesTravelWholeAndReadBackSigned) {
  TempDir dir;
  const std::string path = dir.File("state");
  DeviceStateHandle* handle = DeviceState_create_at(path.c_str());
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(DeviceState_LockAndReadState(handle), 0);
  const struct {
    int32_t given;
    unsigned char byte;
    int32_t read_back;
  } cases[] = {{128, 128, -128}, {200, 200, -56},   {255, 255, -1},
               {-1, 255, -1},    {-128, 128, -128}, {456, 200, -56},
               {-56, 200, -56},  {127, 127, 127}};
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.given);
    ASSERT_TRUE(DeviceState_TransitState(handle, test_case.given));
    EXPECT_EQ(ReadBytes(path),
              std::string(1, static_cast<char>(test_case.byte)));
    EXPECT_EQ(DeviceState_LockAndReadState(handle), test_case.read_back);
    EXPECT_TRUE(DeviceState_WaitForStateChange(handle, test_case.given));
    EXPECT_TRUE(
        DeviceState_WaitForStateChangeFor(handle, test_case.read_back, 0));
    EXPECT_TRUE(DeviceState_WaitForStateChangeFor(
        handle, static_cast<int32_t>(test_case.byte), 0));
  }
  DeviceState_destroy(handle);
}

}  // namespace
