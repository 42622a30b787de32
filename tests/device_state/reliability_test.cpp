// Device state under fork(), caught signals, special files at the state path
// and state files away from the fixed path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state.h>
#include <kelpwood/file_lock.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "test_support.h"

namespace {

using device_state::DeviceState;
using device_state::State;
using device_state_test::BlockedOnALock;
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

void PrintTo(const SpecialFileCase& test_case, std::ostream* stream) {
  *stream << test_case.name;
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

// Pins this process to one CPU for its lifetime, restoring the old set.
class PinnedToOneCpu {
 public:
  PinnedToOneCpu() {
    if (::sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &saved_)) continue;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      pinned_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
      return;
    }
  }
  ~PinnedToOneCpu() {
    if (pinned_) ::sched_setaffinity(0, sizeof saved_, &saved_);
  }
  bool pinned() const { return pinned_; }

 private:
  cpu_set_t saved_{};
  bool pinned_ = false;
};

// The transition's downgrade must convert the write lock into a read lock in
// one request. Released and taken again instead, it leaves a gap in which a
// waiting writer gets the byte. The gap is microseconds wide, so the writer
// here is made to take any gap there is: it shares this process's only CPU
// and runs SCHED_FIFO, so the kernel runs it the instant the lock is free.
TEST(DeviceStateDowngradeTest, WaitingWriterNeverGetsInDuringATransition) {
  TempDir dir;
  const std::string path = dir.File("device_state");
  DeviceState device(path);
  ASSERT_EQ(device.LockAndReadState(), State{0});
  PinnedToOneCpu pin;
  if (!pin.pinned()) GTEST_SKIP() << "cannot pin to one CPU";
  int report[2];
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  const pid_t writer = ::fork();
  if (writer == 0) {
    ::close(report[0]);
    const sched_param priority{1};
    if (::sched_setscheduler(0, SCHED_FIFO, &priority) != 0) {
      (void)!::write(report[1], "S", 1);
      ::_exit(1);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 1;
    if (fd == -1 || ::fcntl(fd, F_SETLKW, &request) != 0) ::_exit(2);
    (void)!::write(report[1], "W", 1);
    ::_exit(0);
  }
  ::close(report[1]);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool blocked = false;
  while (!blocked && std::chrono::steady_clock::now() < deadline) {
    pollfd early{report[0], POLLIN, 0};
    if (::poll(&early, 1, 1) == 1) break;  // the writer could not start
    blocked = BlockedOnALock(writer);
  }
  if (!blocked) {
    char why = '?';
    (void)!::read(report[0], &why, 1);
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    ::close(report[0]);
    if (why == 'S') GTEST_SKIP() << "SCHED_FIFO not permitted";
    FAIL() << "the writer never waited for the lock";
  }

  EXPECT_TRUE(device.TransitState(State{5}));
  pollfd got_in{report[0], POLLIN, 0};
  EXPECT_EQ(::poll(&got_in, 1, 0), 0) << "the writer got in during the transit";
  EXPECT_TRUE(BlockedOnALock(writer));
  EXPECT_TRUE(HoldsRecordLock(::getpid(), "READ"));

  // Once the read lock goes, the writer gets in.
  device.ReleaseLock();
  char byte = 0;
  EXPECT_EQ(::read(report[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'W');
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_EQ(status, 0);
  ::close(report[0]);
}

}  // namespace
