// Eight processes share one state file for a while (KELPWOOD_SOAK_SECONDS,
// 10 s by default; CI runs 60), each mixing reads, transitions, waits with
// and without a timeout, and forks. Every transition adds one to the state,
// so the state is a sequence counter: a transition that did not start from
// the last one written is lost. Counted and required to be 0: waits that
// overran their timeout by more than a second, lost transitions, and
// unexpected errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using device_state::DeviceState;
using device_state::State;
using device_state_test::StderrCapture;
using device_state_test::TempDir;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kProcesses = 8;
constexpr int kNoPin = -1;

// Shared by every process through an anonymous shared mapping.
struct Shared {
  std::atomic<bool> stop;
  // The value the last successful transition wrote; only a process holding
  // its read lock right after that transition changes it.
  std::atomic<int> last_written;
  // A value that transitions must not leave, so that a waiter without a
  // timeout is sure to see it.
  std::atomic<int> pinned;
  std::atomic<std::uint64_t> transits, refused, lost, gets, timed_waits,
      untimed_waits, overruns, forks, errors;
  std::atomic<std::int64_t> longest_overrun_ms;
  std::atomic<bool> error_recorded;
  char first_error[256];
};

int Value(State state) {
  return static_cast<unsigned char>(static_cast<std::int8_t>(state));
}
State AsState(int value) {
  return static_cast<State>(static_cast<std::int8_t>(value & 0xFF));
}
State Next(int value) { return AsState(value + 1); }

void RecordError(Shared& shared, const std::string& what) {
  ++shared.errors;
  bool expected = false;
  if (shared.error_recorded.compare_exchange_strong(expected, true)) {
    std::snprintf(shared.first_error, sizeof shared.first_error, "%s",
                  what.c_str());
  }
}

// One transition from the value read under the lock to the next, unless the
// value is pinned. Leaves the lock released.
void TryTransit(Shared& shared, DeviceState& device) {
  const int value = Value(device.LockAndReadState());
  if (shared.pinned == value) {
    device.ReleaseLock();
    return;
  }
  if (device.TransitState(Next(value))) {
    // Still holding the read lock: no other transition can succeed yet.
    if (shared.last_written != value) ++shared.lost;
    shared.last_written = (value + 1) & 0xFF;
    ++shared.transits;
  } else {
    ++shared.refused;
  }
  device.ReleaseLock();
}

void TimedWait(Shared& shared, DeviceState& device, std::minstd_rand& random) {
  const int target =
      (Value(device.LockAndReadState()) + 1 + static_cast<int>(random() % 3)) &
      0xFF;
  const milliseconds timeout(random() % 400);
  const auto start = steady_clock::now();
  device.WaitForStateChangeFor(AsState(target), timeout);
  const auto overrun = std::chrono::duration_cast<milliseconds>(
      steady_clock::now() - start - timeout);
  if (overrun > std::chrono::seconds(1)) ++shared.overruns;
  std::int64_t longest = shared.longest_overrun_ms;
  while (overrun.count() > longest &&
         !shared.longest_overrun_ms.compare_exchange_weak(longest,
                                                          overrun.count())) {
  }
  ++shared.timed_waits;
  device.ReleaseLock();
}

void UntimedWait(Shared& shared, DeviceState& device) {
  const int target = (Value(device.LockAndReadState()) + 1) & 0xFF;
  int none = kNoPin;
  // One such waiter at a time; the value cannot move while the lock is held.
  if (shared.pinned.compare_exchange_strong(none, target)) {
    if (!device.WaitForStateChange(AsState(target))) {
      RecordError(shared, "WaitForStateChange returned false");
    }
    shared.pinned = kNoPin;
    ++shared.untimed_waits;
  }
  device.ReleaseLock();
}

// The child uses the object copied from its parent, which held a read lock
// at the fork: the child holds none, and must lock for itself.
void ForkAndTransit(Shared& shared, DeviceState& device) {
  device.LockAndReadState();
  const pid_t child = ::fork();
  if (child == 0) {
    int status = 0;
    try {
      if (device.TransitState(State{0})) status = 3;  // it holds no lock
      TryTransit(shared, device);
    } catch (const std::exception& error) {
      RecordError(shared, std::string("fork child: ") + error.what());
      status = 2;
    }
    ::_exit(status);
  }
  device.ReleaseLock();
  int status = 0;
  if (child == -1 || ::waitpid(child, &status, 0) != child ||
      !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    RecordError(shared, "fork child failed with status " +
                            std::to_string(WEXITSTATUS(status)));
  }
  ++shared.forks;
}

void Work(Shared& shared, const std::string& path, unsigned seed) {
  std::minstd_rand random(seed);
  DeviceState device(path);
  while (!shared.stop) {
    const unsigned action = random() % 100;
    try {
      if (action < 30) {
        device.LockAndReadState();
        device.ReleaseLock();
        ++shared.gets;
      } else if (action < 60) {
        TryTransit(shared, device);
      } else if (action < 85) {
        TimedWait(shared, device, random);
      } else if (action < 88) {
        UntimedWait(shared, device);
      } else {
        ForkAndTransit(shared, device);
      }
    } catch (const std::exception& error) {
      RecordError(shared, error.what());
      device.ReleaseLock();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
  }
}

TEST(DeviceStateSoakTest, EightProcessesLoseNothingAndOverrunNoTimeout) {
  const char* seconds_text = std::getenv("KELPWOOD_SOAK_SECONDS");
  const int seconds = seconds_text != nullptr ? std::atoi(seconds_text) : 10;
  TempDir dir;
  const std::string path = dir.File("device_state");
  DeviceState creator(path);

  void* mapping = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                         MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  Shared& shared = *new (mapping) Shared{};
  shared.pinned = kNoPin;

  // The lines of refused upgrades would flood the log.
  std::fflush(nullptr);
  std::vector<pid_t> workers;
  for (int index = 0; index < kProcesses; ++index) {
    const pid_t worker = ::fork();
    if (worker == 0) {
      const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
      ::dup2(null_fd, STDERR_FILENO);
      Work(shared, path, 1000u + static_cast<unsigned>(index));
      ::_exit(0);
    }
    workers.push_back(worker);
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  shared.stop = true;
  // A waiter without a timeout may still wait for one more transition.
  {
    StderrCapture quiet;
    while (shared.pinned != kNoPin) {
      TryTransit(shared, creator);
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  int failed_workers = 0;
  for (const pid_t worker : workers) {
    int status = 0;
    if (::waitpid(worker, &status, 0) != worker || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      ++failed_workers;
    }
  }
  // The byte counts every transition modulo 256.
  const int final_value = Value(creator.LockAndReadState());
  creator.ReleaseLock();
  if (final_value != static_cast<int>(shared.transits % 256)) ++shared.lost;

  std::printf(
      "soak: %d processes, %d s: %llu transits (%llu refused), %llu gets, "
      "%llu timed waits, %llu untimed waits, %llu forks; overruns > 1 s: "
      "%llu (longest %lld ms), lost transits: %llu, unexpected errors: "
      "%llu\n",
      kProcesses, seconds,
      static_cast<unsigned long long>(shared.transits.load()),
      static_cast<unsigned long long>(shared.refused.load()),
      static_cast<unsigned long long>(shared.gets.load()),
      static_cast<unsigned long long>(shared.timed_waits.load()),
      static_cast<unsigned long long>(shared.untimed_waits.load()),
      static_cast<unsigned long long>(shared.forks.load()),
      static_cast<unsigned long long>(shared.overruns.load()),
      static_cast<long long>(shared.longest_overrun_ms.load()),
      static_cast<unsigned long long>(shared.lost.load()),
      static_cast<unsigned long long>(shared.errors.load()));
  EXPECT_EQ(failed_workers, 0);
  EXPECT_EQ(shared.overruns.load(), 0u);
  EXPECT_EQ(shared.lost.load(), 0u);
  EXPECT_EQ(shared.errors.load(), 0u) << shared.first_error;
  EXPECT_GT(shared.transits.load(), 0u);
  EXPECT_GT(shared.timed_waits.load(), 0u);
  EXPECT_GT(shared.untimed_waits.load(), 0u);
  EXPECT_GT(shared.forks.load(), 0u);
  ::munmap(mapping, sizeof(Shared));
}

}  // namespace
