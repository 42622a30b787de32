// Device state under fork(), caught signals, special files at the state path
// and state files away from the fixed path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state.h>
#include <kelpwood/file_lock.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "test_support.h"

namespace {

using device_state::DeviceState;
using device_state::State;
using device_state_test::ChildResult;
using device_state_test::HoldsRecordLock;
using device_state_test::ProbeLockType;
using device_state_test::PythonPeer;
using device_state_test::RunInChild;
using device_state_test::StderrCapture;
using device_state_test::TempDir;
using device_state_test::WriteBytes;
using file_lock::FileLock;

std::string OpenErrorOf(const std::string& path) {
  try {
    DeviceState device(path);
    return "<opened>";
  } catch (const std::runtime_error& error) {
    return error.what();
  }
}

// A child of fork() copies the parent's objects but none of its record
// locks: its objects must say so and lock for themselves.
TEST(DeviceStateForkTest, ChildHoldsNoLockUntilItLocksItself) {
  TempDir dir;
  const std::string path = dir.File("device_state");
  DeviceState device(path);
  ASSERT_EQ(device.LockAndReadState(), State{0});
  const ChildResult child = RunInChild([&]() -> std::string {
    if (HoldsRecordLock(::getpid(), "READ")) return "inherited a lock";
    // Without a lock a transition is refused at once and silently; a child
    // that believed it held the parent's lock would try to upgrade and be
    // refused by the kernel with a line.
    StderrCapture capture;
    if (device.TransitState(State{3})) return "transit without a lock";
    const std::string lines = capture.Finish();
    if (!lines.empty()) return "transit wrote: " + lines;
    if (device.LockAndReadState() != State{0}) return "wrong state";
    if (!HoldsRecordLock(::getpid(), "READ")) return "took no lock";
    return "";
  });
  EXPECT_EQ(child.report, "");
  EXPECT_TRUE(child.Succeeded());
  EXPECT_TRUE(HoldsRecordLock(::getpid(), "READ"));
}

TEST(FileLockForkTest, ChildSeesNoLockWhateverTheParentHeld) {
  TempDir dir;
  const std::string path = dir.File("state");
  WriteBytes(path, std::string(1, '\0'));
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_NE(fd, -1);
  FileLock lock(fd);
  for (const bool write : {false, true}) {
    ASSERT_TRUE(write ? lock.acquireWriteLock() : lock.acquireReadLock());
    const ChildResult child = RunInChild([&]() -> std::string {
      if (lock.getLockType() != F_UNLCK) return "child records a lock";
      StderrCapture capture;
      const bool upgraded = lock.upgradeToWriteLock();
      const std::string lines = capture.Finish();
      if (upgraded ||
          lines != "Cannot upgrade lock: current lock is not a read lock\n") {
        return "upgrade: " + lines;
      }
      return "";
    });
    EXPECT_EQ(child.report, "") << (write ? "write" : "read");
    EXPECT_EQ(lock.getLockType(), write ? F_WRLCK : F_RDLCK);
  }
  lock.releaseLock();
  ::close(fd);
}

// A signal caught by a handler installed without SA_RESTART interrupts the
// kernel's wait for a lock; the wait must go on, not fail.
TEST(DeviceStateSignalTest, CaughtSignalsDoNotEndTheWaitForTheReadLock) {
  TempDir dir;
  const std::string path = dir.File("device_state");
  WriteBytes(path, std::string(1, '\x06'));
  DeviceState device(path);
  PythonPeer writer(path, PythonPeer::Mode::kWrite, 0, 0.5);
  ASSERT_EQ(writer.status(), "locked");
  const ChildResult child = RunInChild([&]() -> std::string {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    action.sa_flags = 0;  // no SA_RESTART
    ::sigaction(SIGALRM, &action, nullptr);
    const itimerval every_20ms{{0, 20000}, {0, 20000}};
    ::setitimer(ITIMER_REAL, &every_20ms, nullptr);
    StderrCapture capture;
    std::string report;
    try {
      if (device.LockAndReadState() != State{6}) report = "wrong state";
    } catch (const std::runtime_error& error) {
      report = error.what();
    }
    const itimerval stop{};
    ::setitimer(ITIMER_REAL, &stop, nullptr);
    const std::string lines = capture.Finish();
    if (!lines.empty()) report += " " + lines;
    if (report.empty() && !HoldsRecordLock(::getpid(), "READ")) {
      report = "no read lock held";
    }
    return report;
  });
  EXPECT_EQ(child.report, "");
  // The lock came only after the writer had let go.
  EXPECT_TRUE(writer.AnnouncedRelease());
}

struct SpecialFileCase {
  const char* name;
  // Puts something at path (inside dir).
  void (*make)(const TempDir& dir, const std::string& path);
  const char* outcome;
};

void MakeFifo(const TempDir&, const std::string& path) {
  ::mkfifo(path.c_str(), 0600);
}
void MakeLinkToFifo(const TempDir& dir, const std::string& path) {
  ::mkfifo(dir.File("fifo").c_str(), 0600);
  ::symlink(dir.File("fifo").c_str(), path.c_str());
}
void MakeLinkToDevice(const TempDir&, const std::string& path) {
  ::symlink("/dev/zero", path.c_str());
}
void MakeLinkToRegular(const TempDir& dir, const std::string& path) {
  WriteBytes(dir.File("elsewhere"), std::string(1, '\x07'));
  ::symlink(dir.File("elsewhere").c_str(), path.c_str());
}

class SpecialFileTest : public ::testing::TestWithParam<SpecialFileCase> {};

// Only regular files are state files; the check never blocks, and symbolic
// links are followed to them.
TEST_P(SpecialFileTest, OnlyARegularFileIsOpened) {
  TempDir dir;
  const std::string path = dir.File("device_state");
  GetParam().make(dir, path);
  const ChildResult child = RunInChild([&]() -> std::string {
    ::alarm(5);  // a blocked open or read ends the child instead of the test
    const std::string outcome = OpenErrorOf(path);
    if (outcome != "<opened>") return outcome;
    DeviceState device(path);
    return "<opened> state " +
           std::to_string(static_cast<int>(device.LockAndReadState()));
  });
  EXPECT_EQ(child.report, GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    AtTheStatePath, SpecialFileTest,
    ::testing::Values(SpecialFileCase{"Fifo", MakeFifo,
                                      "Unable to open the lock file."},
                      SpecialFileCase{"LinkToFifo", MakeLinkToFifo,
                                      "Unable to open the lock file."},
                      SpecialFileCase{"LinkToCharacterDevice", MakeLinkToDevice,
                                      "Unable to open the lock file."},
                      SpecialFileCase{"LinkToRegularFile", MakeLinkToRegular,
                                      "<opened> state 7"}),
    [](const ::testing::TestParamInfo<SpecialFileCase>& info) {
      return std::string(info.param.name);
    });

// Every failure line of a lock opened on a path names that path; a lock made
// from a bare descriptor keeps naming the fixed state file.
TEST(FileLockPathTest, FailureLinesNameThePathTheLockWasOpenedOn) {
  TempDir dir;
  const std::string path = dir.File("elsewhere");
  WriteBytes(path, std::string(1, '\0'));
  const int read_only = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(read_only, -1);
  StderrCapture capture;
  {
    FileLock named(read_only, path);
    FileLock bare(read_only);
    // A write lock needs a descriptor open for writing.
    EXPECT_FALSE(named.acquireWriteLock());
    EXPECT_FALSE(bare.acquireWriteLock());
    ASSERT_TRUE(named.acquireReadLock());
    EXPECT_FALSE(named.upgradeToWriteLock());
    EXPECT_FALSE(named.downgradeToReadLock());
    named.releaseLock();
  }
  EXPECT_EQ(capture.Finish(),
            "Failed to acquire write lock: " + path + "\n" +
                "Failed to acquire write lock: /opt/kelpwood/device_state\n" +
                "Failed to upgrade to write lock: " + path + "\n" +
                "Cannot downupgrade lock: current lock is not a write lock\n");
  ::close(read_only);
}

}  // namespace
