#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using device_state::DeviceState;
using device_state::State;
using device_state_test::ChildResult;
using device_state_test::DescriptorsOf;
using device_state_test::ModeOf;
using device_state_test::ProbeLockType;
using device_state_test::PythonPeer;
using device_state_test::ReadBytes;
using device_state_test::RunInChild;
using device_state_test::RunWithPrivateOpt;
using device_state_test::StderrCapture;
using device_state_test::TempDir;
using device_state_test::WriteBytes;
using std::chrono::milliseconds;

const std::string kFixedPath = "/opt/kelpwood/device_state";

std::string Byte(int value) { return std::string(1, static_cast<char>(value)); }

// The message of the runtime error that action raises, or a description of
// what happened instead.
template <typename Action>
std::string RuntimeErrorOf(Action action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  } catch (...) {
    return "<other exception>";
  }
  return "<no exception>";
}

// Tries a transition for up to five seconds; another process holding its
// read lock makes single attempts fail.
bool TransitWithRetry(DeviceState& device, State state) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    device.LockAndReadState();
    if (device.TransitState(state)) return true;
    device.ReleaseLock();
    std::this_thread::sleep_for(milliseconds(1));
  }
  return false;
}

// Inotify instances open in this process: the waits must not leak them.
int InotifyDescriptorCount() {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char target[64] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target) == "anon_inode:inotify") ++count;
  }
  return count;
}

class DeviceStateTest : public ::testing::Test {
 protected:
  TempDir dir_;
  const std::string path_ = dir_.File("device_state");
};

TEST_F(DeviceStateTest, CreatesMissingFileHoldingZeroWithMode0600) {
  const mode_t saved_mask = ::umask(022);
  {
    DeviceState device(path_);
    ::umask(saved_mask);
    EXPECT_EQ(ReadBytes(path_), Byte(0));
    EXPECT_EQ(ModeOf(path_), 0600);
    EXPECT_EQ(device.LockAndReadState(), State{0});
  }
  // The temporary file used for the creation is gone.
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"device_state"});
}

TEST_F(DeviceStateTest, CreationModeIsReducedByTheUmask) {
  const mode_t saved_mask = ::umask(0277);
  DeviceState device(path_);
  ::umask(saved_mask);
  EXPECT_EQ(ModeOf(path_), 0400);
}

TEST_F(DeviceStateTest, ExistingFileKeepsItsContent) {
  WriteBytes(path_, "\x09xy");
  DeviceState device(path_);
  EXPECT_EQ(ReadBytes(path_), "\x09xy");
  EXPECT_EQ(device.LockAndReadState(), State{9});
}

TEST_F(DeviceStateTest, EmptyFileStaysEmptyAndReadingItThrowsHoldingReadLock) {
  WriteBytes(path_, "");
  DeviceState device(path_);
  EXPECT_EQ(RuntimeErrorOf([&] { device.LockAndReadState(); }),
            "Unable to get state from lock file.");
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  EXPECT_EQ(ReadBytes(path_), "");
}

TEST_F(DeviceStateTest, MissingDirectoryIsACreateError) {
  const std::string path = dir_.File("missing/device_state");
  EXPECT_EQ(RuntimeErrorOf([&] { DeviceState device(path); }),
            "Unable to create the lock file.");
  EXPECT_TRUE(dir_.Entries().empty());
}

TEST_F(DeviceStateTest, DirectoryAtThePathIsAnOpenError) {
  ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);
  EXPECT_EQ(RuntimeErrorOf([&] { DeviceState device(path_); }),
            "Unable to open the lock file.");
}

TEST_F(DeviceStateTest, FailedInitialWriteIsAnInitErrorAndLeavesNothing) {
  // A file-size limit of 0 makes the one-byte write fail (EFBIG).
  const ChildResult child = RunInChild([&]() -> std::string {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit no_size{0, 0};
    if (::setrlimit(RLIMIT_FSIZE, &no_size) != 0) return "setrlimit failed";
    return RuntimeErrorOf([&] { DeviceState device(path_); });
  });
  EXPECT_EQ(child.report, "Unable to init state.");
  EXPECT_TRUE(dir_.Entries().empty());
}

TEST_F(DeviceStateTest, DescriptorIsClosedOnExecAndByTheDestructor) {
  {
    DeviceState device(path_);
    const std::vector<int> descriptors = DescriptorsOf(path_);
    ASSERT_EQ(descriptors.size(), 1u);
    EXPECT_EQ(::fcntl(descriptors[0], F_GETFD), FD_CLOEXEC);
    device.LockAndReadState();
    EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  }
  EXPECT_TRUE(DescriptorsOf(path_).empty());
  EXPECT_EQ(ProbeLockType(path_), F_UNLCK);
}

TEST_F(DeviceStateTest, TransitWithoutLockFailsSilentlyAndWritesNothing) {
  WriteBytes(path_, Byte(3));
  DeviceState device(path_);
  StderrCapture capture;
  EXPECT_FALSE(device.TransitState(State{5}));
  EXPECT_EQ(capture.Finish(), "");
  EXPECT_EQ(ReadBytes(path_), Byte(3));
}

TEST_F(DeviceStateTest, TransitWritesTheByteAndHoldsReadLockAgain) {
  DeviceState device(path_);
  StderrCapture capture;
  EXPECT_EQ(device.LockAndReadState(), State{0});
  EXPECT_TRUE(device.TransitState(State{5}));
  EXPECT_EQ(capture.Finish(), "");
  EXPECT_EQ(ReadBytes(path_), Byte(5));
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  // Negative states are the bytes 128 to 255.
  EXPECT_TRUE(device.TransitState(State{-56}));
  EXPECT_EQ(ReadBytes(path_), Byte(200));
  EXPECT_EQ(device.LockAndReadState(), State{-56});
}

TEST_F(DeviceStateTest, TransitWhilePeerReadsFailsAtOnceKeepingReadLock) {
  WriteBytes(path_, Byte(1));
  DeviceState device(path_);
  EXPECT_EQ(device.LockAndReadState(), State{1});
  {
    PythonPeer peer(path_, PythonPeer::Mode::kRead, 0);
    ASSERT_EQ(peer.status(), "locked");
    StderrCapture capture;
    EXPECT_FALSE(device.TransitState(State{5}));
    // The line names the file this object opened.
    EXPECT_EQ(capture.Finish(),
              "Failed to upgrade to write lock: " + path_ + "\n");
  }
  EXPECT_EQ(ReadBytes(path_), Byte(1));
  // With the peer gone, the lock still seen is this object's read lock...
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  // ...which is why a transition now succeeds without locking again.
  EXPECT_TRUE(device.TransitState(State{6}));
  EXPECT_EQ(ReadBytes(path_), Byte(6));
}

TEST_F(DeviceStateTest, LockAndReadStateWithLockHeldDoesNotLockAgain) {
  WriteBytes(path_, Byte(4));
  DeviceState holder(path_);
  DeviceState other(path_);
  ASSERT_EQ(holder.LockAndReadState(), State{4});
  // Releasing through another object drops the process's lock while the
  // holder still records a read lock; a writer can now get in.
  other.ReleaseLock();
  PythonPeer peer(path_, PythonPeer::Mode::kWrite, 0, 1.0);
  ASSERT_EQ(peer.status(), "locked");
  // A new lock request would wait for the writer; reading does not.
  EXPECT_EQ(holder.LockAndReadState(), State{4});
  EXPECT_FALSE(peer.AnnouncedRelease());
}

TEST_F(DeviceStateTest, WaitsWithoutReadLockReturnFalseAtOnce) {
  DeviceState device(path_);
  EXPECT_FALSE(device.WaitForStateChange(State{0}));
  EXPECT_FALSE(device.WaitForStateChangeFor(State{0}, milliseconds(10)));
  EXPECT_EQ(ProbeLockType(path_), F_UNLCK);
}

TEST_F(DeviceStateTest, WaitForCurrentStateReturnsTrueHoldingReadLock) {
  WriteBytes(path_, Byte(200));
  DeviceState device(path_);
  device.LockAndReadState();
  EXPECT_TRUE(device.WaitForStateChange(State{-56}));
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  EXPECT_TRUE(device.WaitForStateChangeFor(State{-56}, milliseconds(0)));
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
}

TEST_F(DeviceStateTest, WaitForStateChangeForTimesOutHoldingReadLock) {
  {
    DeviceState device(path_);
    device.LockAndReadState();
    EXPECT_FALSE(device.WaitForStateChangeFor(State{7}, milliseconds(0)));
    EXPECT_FALSE(device.WaitForStateChangeFor(State{7}, milliseconds(50)));
    EXPECT_FALSE(device.WaitForStateChangeFor(State{7}, milliseconds(-5)));
    EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
    // One watch serves every wait of the object and ends with it.
    EXPECT_EQ(InotifyDescriptorCount(), 1);
  }
  EXPECT_EQ(InotifyDescriptorCount(), 0);
}

TEST_F(DeviceStateTest, WaitEndsWithTheReadErrorWhenTheFileIsEmptied) {
  DeviceState device(path_);
  device.LockAndReadState();
  ASSERT_EQ(::truncate(path_.c_str(), 0), 0);
  EXPECT_EQ(RuntimeErrorOf([&] {
              device.WaitForStateChangeFor(State{1}, milliseconds(100));
            }),
            "Unable to get state from lock file.");
  EXPECT_EQ(RuntimeErrorOf([&] { device.WaitForStateChange(State{1}); }),
            "Unable to get state from lock file.");
}

TEST_F(DeviceStateTest, SetStateAndGetStateWorkOnAnyDescriptorWithoutLocking) {
  WriteBytes(path_, "\x01\x02");
  const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_NE(fd, -1);
  ::lseek(fd, 1, SEEK_SET);
  EXPECT_TRUE(device_state::SetState(State{-1}, fd));
  EXPECT_EQ(ReadBytes(path_), "\xff\x02");
  ::lseek(fd, 2, SEEK_SET);
  EXPECT_EQ(device_state::GetState(fd), State{-1});
  EXPECT_EQ(ProbeLockType(path_), F_UNLCK);
  ::close(fd);

  const int read_only = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_FALSE(device_state::SetState(State{3}, read_only));
  ::close(read_only);
  WriteBytes(path_, "");
  const int empty = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(RuntimeErrorOf([&] { device_state::GetState(empty); }),
            "Unable to get state from lock file.");
  ::close(empty);
}

// --- Several processes -------------------------------------------------

class DeviceStateProcessTest : public DeviceStateTest {};

TEST_F(DeviceStateProcessTest, WaitForStateChangeSeesAnotherProcessTransit) {
  DeviceState waiter(path_);
  ASSERT_EQ(waiter.LockAndReadState(), State{0});
  const pid_t writer = ::fork();
  if (writer == 0) {
    DeviceState device(path_);
    ::_exit(TransitWithRetry(device, State{3}) ? 0 : 1);
  }
  EXPECT_TRUE(waiter.WaitForStateChange(State{3}));
  EXPECT_EQ(ReadBytes(path_), Byte(3));
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_EQ(status, 0);
}

TEST_F(DeviceStateProcessTest, WaitForStateChangeForSeesAnotherProcessTransit) {
  DeviceState waiter(path_);
  ASSERT_EQ(waiter.LockAndReadState(), State{0});
  const pid_t writer = ::fork();
  if (writer == 0) {
    DeviceState device(path_);
    // Two changes: the waiter must keep waiting through the first.
    const bool done =
        TransitWithRetry(device, State{2}) &&
        (device.ReleaseLock(), TransitWithRetry(device, State{3}));
    ::_exit(done ? 0 : 1);
  }
  EXPECT_TRUE(waiter.WaitForStateChangeFor(State{3}, std::chrono::seconds(10)));
  EXPECT_EQ(ReadBytes(path_), Byte(3));
  EXPECT_EQ(ProbeLockType(path_), F_RDLCK);
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_EQ(status, 0);
}

TEST_F(DeviceStateProcessTest, WaitForStateChangeForPollsWhereInotifyFails) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const ChildResult waiter_result = [&] {
    DeviceState writer(path_);
    const pid_t waiter = ::fork();
    if (waiter == 0) {
      ::close(ready[0]);
      std::string report;
      {
        DeviceState device(path_);
        device.LockAndReadState();
        // No descriptor can be opened any more, so inotify_init1 fails.
        const int lowest_free = ::dup(0);
        ::close(lowest_free);
        const rlimit limit{static_cast<rlim_t>(lowest_free),
                           static_cast<rlim_t>(lowest_free)};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        const int probe = ::inotify_init1(IN_CLOEXEC);
        if (probe != -1) report = "inotify still available";
        if (::write(ready[1], "r", 1) != 1) report = "ready write failed";
        if (report.empty() &&
            !device.WaitForStateChangeFor(State{4}, std::chrono::seconds(10))) {
          report = "wait returned false";
        }
      }
      ::_exit(report.empty() ? 0 : 1);
    }
    ::close(ready[1]);
    char signal_byte;
    ChildResult result;
    if (::read(ready[0], &signal_byte, 1) != 1) result.report = "no ready";
    ::close(ready[0]);
    if (!TransitWithRetry(writer, State{4})) result.report += "transit failed";
    ::waitpid(waiter, &result.status, 0);
    return result;
  }();
  EXPECT_EQ(waiter_result.report, "");
  EXPECT_TRUE(WIFEXITED(waiter_result.status));
  EXPECT_EQ(WEXITSTATUS(waiter_result.status), 0);
  EXPECT_EQ(ReadBytes(path_), Byte(4));
}

TEST_F(DeviceStateProcessTest, LockHolderKilledWithSigkillFreesTheByte) {
  DeviceState device(path_);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    DeviceState held(path_);
    held.LockAndReadState();
    if (!held.TransitState(State{8})) ::_exit(1);
    // Hold the write lock, as a writer dying mid-transition would.
    file_lock::FileLock lock(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
    if (!lock.acquireWriteLock()) ::_exit(1);
    if (::write(ready[1], "r", 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char signal_byte;
  ASSERT_EQ(::read(ready[0], &signal_byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(ProbeLockType(path_), F_WRLCK);
  ASSERT_EQ(::kill(holder, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ProbeLockType(path_), F_UNLCK);
  StderrCapture capture;
  EXPECT_EQ(device.LockAndReadState(), State{8});
  EXPECT_TRUE(device.TransitState(State{9}));
  EXPECT_EQ(capture.Finish(), "");
}

// A read lock that the kernel refuses (here with EDEADLK) is "Unable to
// lock.", after the file lock's own line.
TEST_F(DeviceStateProcessTest, RefusedReadLockIsUnableToLock) {
  WriteBytes(path_, std::string(2, '\0'));
  DeviceState device(path_);
  device_state_test::DeadlockPartner partner(path_);
  ASSERT_TRUE(partner.ready());
  StderrCapture capture;
  EXPECT_EQ(RuntimeErrorOf([&] { device.LockAndReadState(); }),
            "Unable to lock.");
  EXPECT_EQ(capture.Finish(), "Failed to acquire read lock: " + path_ + "\n");
}

// Eight processes start together on a missing file; one of them commits a
// state as soon as it can. No round may lose that state (a late creator
// truncating the file) or show any process an empty file.
TEST_F(DeviceStateProcessTest, ConcurrentFirstStartLosesNothing) {
  constexpr int kProcesses = 8;
  constexpr int kRounds = 200;
  constexpr int kCommitted = 7;
  int lost_rounds = 0;
  int failed_processes = 0;
  std::string first_failure;
  for (int round = 0; round < kRounds; ++round) {
    const std::string path = dir_.File("state" + std::to_string(round));
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int index = 0; index < kProcesses; ++index) {
      const pid_t child = ::fork();
      if (child == 0) {
        ::close(start[1]);
        // The committer's refused attempts would each write a line.
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null_fd, STDERR_FILENO);
        char go;
        // Everyone blocks here until the parent closes the pipe.
        if (::read(start[0], &go, 1) != 0) ::_exit(10);
        try {
          DeviceState device(path);
          const State seen = device.LockAndReadState();
          if (index == 0) {
            ::_exit(TransitWithRetry(device, State{kCommitted}) ? 0 : 11);
          }
          ::_exit(seen == State{0} || seen == State{kCommitted} ? 0 : 12);
        } catch (const std::runtime_error& error) {
          const std::string message = error.what();
          ::_exit(message == "Unable to get state from lock file." ? 13 : 14);
        }
      }
      children.push_back(child);
    }
    ::close(start[0]);
    ::close(start[1]);
    for (const pid_t child : children) {
      int status = 0;
      ::waitpid(child, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ++failed_processes;
        if (first_failure.empty()) {
          first_failure = "round " + std::to_string(round) + " exit " +
                          std::to_string(WEXITSTATUS(status));
        }
      }
    }
    if (ReadBytes(path) != Byte(kCommitted)) ++lost_rounds;
    ::unlink(path.c_str());
  }
  EXPECT_EQ(lost_rounds, 0);
  EXPECT_EQ(failed_processes, 0) << first_failure;
  EXPECT_TRUE(dir_.Entries().empty());
}

// Objects on different threads of one process share the process's record
// lock, so one thread's transition is never refused because of another
// thread's read lock, and a waiting thread sees it.
TEST(DeviceStateConcurrencyTest,
     ThreadsWithTheirOwnObjectsSeeEachOthersStates) {
  TempDir dir;
  const std::string path = dir.File("device_state");
  DeviceState writer(path);
  ASSERT_EQ(writer.LockAndReadState(), State{0});
  bool waiter_saw_state = false;
  std::thread waiter([&] {
    DeviceState device(path);
    device.LockAndReadState();
    waiter_saw_state =
        device.WaitForStateChangeFor(State{5}, std::chrono::seconds(10));
  });
  bool all_transits_succeeded = true;
  for (int step = 1; step <= 5; ++step) {
    all_transits_succeeded &=
        writer.TransitState(State{static_cast<std::int8_t>(step)});
    std::this_thread::sleep_for(milliseconds(2));
  }
  waiter.join();
  EXPECT_TRUE(all_transits_succeeded);
  EXPECT_TRUE(waiter_saw_state);
  EXPECT_EQ(ReadBytes(path), Byte(5));
}

// --- The fixed path, in a private mount namespace --------------------------

class DeviceStateFixedPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "needs root to mount a private tmpfs on /opt";
    }
  }

  void ExpectSuccessOrSkip(const ChildResult& result) {
    if (result.report.rfind("skip: ", 0) == 0) {
      GTEST_SKIP() << result.report;
    }
    EXPECT_EQ(result.report, "");
    EXPECT_TRUE(result.Succeeded());
  }
};

TEST_F(DeviceStateFixedPathTest, DefaultConstructorCreatesTheFixedFile) {
  ExpectSuccessOrSkip(RunWithPrivateOpt([]() -> std::string {
    if (::mkdir("/opt/kelpwood", 0755) != 0) return "mkdir failed";
    const mode_t saved_mask = ::umask(022);
    DeviceState device;
    ::umask(saved_mask);
    if (ReadBytes(kFixedPath) != Byte(0)) return "initial byte is not 0";
    if (ModeOf(kFixedPath) != 0600) return "mode is not 0600";
    if (device.LockAndReadState() != State{0}) return "state is not 0";
    if (!device.TransitState(State{12})) return "transit failed";
    if (ReadBytes(kFixedPath) != Byte(12)) return "byte 12 not written";
    DeviceState second;
    if (second.LockAndReadState() != State{12}) return "second reads wrong";
    return "";
  }));
}

// tmpfs reserves an inode for every extra hard link: with room for two
// inodes (the directory and the temporary file) the link() itself fails.
TEST_F(DeviceStateFixedPathTest, FailedLinkIsACreateErrorAndLeavesNothing) {
  ExpectSuccessOrSkip(RunWithPrivateOpt([]() -> std::string {
    if (::mkdir("/opt/kelpwood", 0755) != 0) return "mkdir failed";
    if (::mount("tmpfs", "/opt/kelpwood", "tmpfs", 0, "nr_inodes=2") != 0) {
      return "skip: small tmpfs: " + std::string(std::strerror(errno));
    }
    const std::string message = RuntimeErrorOf([] { DeviceState device; });
    if (message != "Unable to create the lock file.") return message;
    for (const auto& entry :
         std::filesystem::directory_iterator("/opt/kelpwood")) {
      return "left behind: " + entry.path().string();
    }
    return "";
  }));
}

TEST_F(DeviceStateFixedPathTest, DefaultConstructorWithoutDirectoryThrows) {
  ExpectSuccessOrSkip(RunWithPrivateOpt([]() -> std::string {
    const std::string message = RuntimeErrorOf([] { DeviceState device; });
    if (message != "Unable to create the lock file.") return message;
    if (ReadBytes(kFixedPath) != "<missing>") return "file was created";
    return "";
  }));
}

}  // namespace
