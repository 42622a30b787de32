#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/file_lock.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using device_state_test::CreateStateFile;
using device_state_test::ProbeLockType;
using device_state_test::PythonPeer;
using device_state_test::StderrCapture;
using device_state_test::TempDir;
using device_state_test::WriteBytes;
using file_lock::FileLock;

const std::string kFixedPath = "/opt/kelpwood/device_state";

class FileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("state");
    WriteBytes(path_, std::string(1, '\0'));
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_NE(fd_, -1);
  }
  void TearDown() override { ::close(fd_); }

  TempDir dir_;
  std::string path_;
  int fd_ = -1;
};

TEST_F(FileLockTest, NewLockHoldsNothing) {
  FileLock lock(fd_);
  EXPECT_EQ(lock.getLockType(), F_UNLCK);
  EXPECT_EQ(ProbeLockType(path_), F_UNLCK);
}

TEST_F(FileLockTest, ConstructorRefusesMissingDescriptor) {
  try {
    FileLock lock(-1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Unable to open the lock file.");
  }
}

TEST_F(FileLockTest, ModesFollowEachOperationAsOtherProcessesSeeThem) {
  FileLock lock(fd_);
  StderrCapture capture;
  ASSERT_TRUE(lock.acquireReadLock());
  EXPECT_EQ(lock.getLockType(), F_RDLCK);
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  ASSERT_TRUE(lock.upgradeToWriteLock());
  EXPECT_EQ(lock.getLockType(), F_WRLCK);
  EXPECT_EQ(ProbeLockType(path_), F_WRLCK);
  ASSERT_TRUE(lock.downgradeToReadLock());
  EXPECT_EQ(lock.getLockType(), F_RDLCK);
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  // Acquiring converts whatever is held, in both directions.
  ASSERT_TRUE(lock.acquireWriteLock());
  EXPECT_EQ(ProbeLockType(path_), F_WRLCK);
  ASSERT_TRUE(lock.acquireReadLock());
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  lock.releaseLock();
  EXPECT_EQ(lock.getLockType(), F_UNLCK);
  EXPECT_EQ(ProbeLockType(path_), F_UNLCK);
  EXPECT_EQ(capture.Finish(), "");
}

TEST_F(FileLockTest, UpgradeWithoutReadLockFailsWithItsLine) {
  FileLock lock(fd_);
  StderrCapture capture;
  EXPECT_FALSE(lock.upgradeToWriteLock());
  EXPECT_EQ(lock.getLockType(), F_UNLCK);
  ASSERT_TRUE(lock.acquireWriteLock());
  EXPECT_FALSE(lock.upgradeToWriteLock());
  EXPECT_EQ(lock.getLockType(), F_WRLCK);
  EXPECT_EQ(capture.Finish(),
            "Cannot upgrade lock: current lock is not a read lock\n"
            "Cannot upgrade lock: current lock is not a read lock\n");
  lock.releaseLock();
}

TEST_F(FileLockTest, DowngradeWithoutWriteLockFailsWithItsLine) {
  FileLock lock(fd_);
  StderrCapture capture;
  EXPECT_FALSE(lock.downgradeToReadLock());
  EXPECT_EQ(lock.getLockType(), F_UNLCK);
  ASSERT_TRUE(lock.acquireReadLock());
  EXPECT_FALSE(lock.downgradeToReadLock());
  EXPECT_EQ(lock.getLockType(), F_RDLCK);
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  EXPECT_EQ(capture.Finish(),
            "Cannot downupgrade lock: current lock is not a write lock\n"
            "Cannot downupgrade lock: current lock is not a write lock\n");
  lock.releaseLock();
}

TEST_F(FileLockTest, ReleaseWithoutLockIsSilent) {
  FileLock lock(fd_);
  StderrCapture capture;
  lock.releaseLock();
  EXPECT_EQ(lock.getLockType(), F_UNLCK);
  EXPECT_EQ(capture.Finish(), "");
}

// The messages name the fixed state file whatever the descriptor is.
TEST_F(FileLockTest, SystemFailuresWriteLinesNamingTheFixedPath) {
  const int read_only = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_NE(read_only, -1);
  StderrCapture capture;
  {
    // A write lock needs a descriptor open for writing.
    FileLock lock(read_only);
    ASSERT_TRUE(lock.acquireReadLock());
    EXPECT_FALSE(lock.acquireWriteLock());
    EXPECT_EQ(lock.getLockType(), F_RDLCK);
    EXPECT_FALSE(lock.upgradeToWriteLock());
    EXPECT_EQ(lock.getLockType(), F_RDLCK);
    lock.releaseLock();
  }
  {
    // Closing the descriptor under a lock leaves later calls with EBADF.
    FileLock lock(read_only);
    ASSERT_TRUE(lock.acquireReadLock());
    ::close(read_only);
    EXPECT_FALSE(lock.acquireReadLock());
    EXPECT_EQ(lock.getLockType(), F_RDLCK);
  }
  {
    const int writable = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_NE(writable, -1);
    FileLock lock(writable);
    ASSERT_TRUE(lock.acquireWriteLock());
    ::close(writable);
    EXPECT_FALSE(lock.downgradeToReadLock());
    EXPECT_EQ(lock.getLockType(), F_WRLCK);
  }
  EXPECT_EQ(capture.Finish(),
            "Failed to acquire write lock: " + kFixedPath + "\n" +
                "Failed to upgrade to write lock: " + kFixedPath + "\n" +
                "Failed to acquire read lock: " + kFixedPath + "\n" +
                "Failed to downupgrade to read lock: " + kFixedPath + "\n");
}

TEST_F(FileLockTest, PeerReadLockRefusesWriteAndUpgradeButSharesRead) {
  PythonPeer peer(path_, PythonPeer::Mode::kRead, 0);
  ASSERT_EQ(peer.status(), "locked");
  FileLock lock(fd_);
  StderrCapture capture;
  EXPECT_FALSE(lock.acquireWriteLock());
  EXPECT_EQ(lock.getLockType(), F_UNLCK);
  EXPECT_TRUE(lock.acquireReadLock());
  EXPECT_FALSE(lock.upgradeToWriteLock());
  EXPECT_EQ(lock.getLockType(), F_RDLCK);
  EXPECT_EQ(capture.Finish(),
            "Failed to acquire write lock: " + kFixedPath + "\n" +
                "Failed to upgrade to write lock: " + kFixedPath + "\n");
  lock.releaseLock();
}

TEST_F(FileLockTest, ReadLockWaitsUntilPeerWriterLetsGo) {
  PythonPeer peer(path_, PythonPeer::Mode::kWrite, 0, 0.3);
  ASSERT_EQ(peer.status(), "locked");
  FileLock lock(fd_);
  StderrCapture capture;
  ASSERT_TRUE(lock.acquireReadLock());
  // The peer announces before it unlocks: the announcement is already there
  // exactly when the lock was granted only after the peer let go.
  EXPECT_TRUE(peer.AnnouncedRelease());
  EXPECT_EQ(lock.getLockType(), F_RDLCK);
  EXPECT_EQ(capture.Finish(), "");
  lock.releaseLock();
}

TEST_F(FileLockTest, PeerLockOnSecondByteDoesNotConflict) {
  WriteBytes(path_, std::string("\0\0", 2));
  PythonPeer peer(path_, PythonPeer::Mode::kWrite, 1);
  ASSERT_EQ(peer.status(), "locked");
  FileLock lock(fd_);
  StderrCapture capture;
  EXPECT_TRUE(lock.acquireWriteLock());
  EXPECT_TRUE(lock.downgradeToReadLock());
  EXPECT_TRUE(lock.upgradeToWriteLock());
  EXPECT_EQ(capture.Finish(), "");
  lock.releaseLock();
}

// Record locks belong to the process: a second object on the same file does
// not exclude the first, and closing its descriptor drops the first's lock.
TEST_F(FileLockTest, LocksOfOneProcessAreSharedAcrossObjects) {
  const int second_fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_NE(second_fd, -1);
  FileLock first(fd_);
  FileLock second(second_fd);
  ASSERT_TRUE(first.acquireWriteLock());
  EXPECT_TRUE(second.acquireWriteLock());
  ::close(second_fd);
  EXPECT_EQ(ProbeLockType(path_), F_UNLCK);
  EXPECT_EQ(first.getLockType(), F_WRLCK);
}

// Threads sharing one object: the object's mutex keeps its recorded mode
// whole, and every refused operation writes exactly one whole line.
TEST(FileLockConcurrencyTest, ThreadsSharingOneLockKeepModeAndLinesWhole) {
  TempDir dir;
  const std::string path = dir.File("state");
  const int fd = CreateStateFile(path);
  ASSERT_NE(fd, -1);
  FileLock lock(fd);
  constexpr int kThreads = 4;
  constexpr int kRounds = 400;
  std::atomic<int> refusals{0};
  std::atomic<int> bad_modes{0};
  std::atomic<int> failed_acquisitions{0};
  StderrCapture capture;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (int round = 0; round < kRounds; ++round) {
        const bool acquired = (round + thread) % 3 == 0
                                  ? lock.acquireWriteLock()
                                  : lock.acquireReadLock();
        if (!acquired) ++failed_acquisitions;
        if (!lock.upgradeToWriteLock()) ++refusals;
        if (!lock.downgradeToReadLock()) ++refusals;
        const int mode = lock.getLockType();
        if (mode != F_RDLCK && mode != F_WRLCK && mode != F_UNLCK) ++bad_modes;
        if (round % 5 == thread) lock.releaseLock();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  lock.releaseLock();
  const std::string lines = capture.Finish();
  ::close(fd);

  EXPECT_EQ(failed_acquisitions.load(), 0);
  EXPECT_EQ(bad_modes.load(), 0);
  EXPECT_EQ(lock.getLockType(), F_UNLCK);
  std::istringstream stream(lines);
  std::string line;
  int line_count = 0;
  while (std::getline(stream, line)) {
    ++line_count;
    EXPECT_TRUE(
        line == "Cannot upgrade lock: current lock is not a read lock" ||
        line == "Cannot downupgrade lock: current lock is not a write lock")
        << "unexpected line: " << line;
  }
  EXPECT_EQ(line_count, refusals.load());
  EXPECT_TRUE(lines.empty() || lines.back() == '\n');
}

}  // namespace
