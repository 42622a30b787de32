// A writer killed with SIGKILL at a random moment of creating the state file
// or of a transition leaves either no file (creation only) or exactly one
// byte, the old or the new state, and the next process opens it as usual.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using device_state::DeviceState;
using device_state::State;
using device_state_test::TempDir;
using device_state_test::WriteBytes;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

// 2,200 trials in all; under AddressSanitizer, whose forks cost ten times
// as much, fewer, so that the sanitizer run stays within its time.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kTrialsPerKind = 250;
#else
constexpr int kTrialsPerKind = 1100;
#endif

// Where the writer had got to, shared with the parent.
enum Stage : int { kStarting = 0, kInOperation = 1, kDone = 2 };
struct Progress {
  std::atomic<bool> ready;
  std::atomic<int> stage;
  std::atomic<std::int64_t> operation_ns;
};

struct Kind {
  const char* name;
  // The file's content before the writer starts ("<missing>": none).
  std::string (*before)(int trial);
  // The writer's setup (before its operation) and operation.
  void (*setup)(DeviceState*& device, const std::string& path);
  void (*operation)(DeviceState* device, const std::string& path, int trial);
  // The contents the file may hold after the writer died.
  std::vector<std::string> (*allowed)(int trial);
};

std::string OldState(int trial) { return std::string(1, trial % 2 ? 1 : 2); }
std::string NewState(int trial) { return std::string(1, trial % 2 ? 2 : 1); }

const Kind kCreation = {
    "creation",
    [](int) { return std::string("<missing>"); },
    [](DeviceState*&, const std::string&) {},
    [](DeviceState*, const std::string& path, int) {
      DeviceState device(path);
    },
    [](int) {
      return std::vector<std::string>{"<missing>", std::string(1, '\0')};
    },
};

const Kind kTransit = {
    "transit",
    OldState,
    [](DeviceState*& device, const std::string& path) {
      device = new DeviceState(path);
      device->LockAndReadState();
    },
    [](DeviceState* device, const std::string&, int trial) {
      device->TransitState(State{static_cast<std::int8_t>(NewState(trial)[0])});
    },
    [](int trial) {
      return std::vector<std::string>{OldState(trial), NewState(trial)};
    },
};

struct Tally {
  double operation_us = 0;
  int trials = 0;
  int killed_before = 0;
  int killed_during = 0;
  int finished = 0;
  int bad_files = 0;
  int failed_reopens = 0;
  int temporaries_left = 0;
  std::string first_bad;
};

// Runs the writer once; kills it after delay unless delay is negative.
// Returns the stage it had reached.
// Read here: this process holds no lock on the file that a close() could
// drop.
std::string ContentOf(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return "<missing>";
  char bytes[8];
  const ssize_t count = ::read(fd, bytes, sizeof bytes);
  ::close(fd);
  return std::string(bytes, count > 0 ? static_cast<size_t>(count) : 0);
}

int RunWriter(const Kind& kind, const std::string& path, int trial,
              Progress* progress, nanoseconds delay) {
  progress->stage = kStarting;
  progress->ready = false;
  const pid_t writer = ::fork();
  if (writer == 0) {
    DeviceState* device = nullptr;
    kind.setup(device, path);
    progress->ready = true;
    const auto start = steady_clock::now();
    progress->stage = kInOperation;
    kind.operation(device, path, trial);
    progress->stage = kDone;
    progress->operation_ns = (steady_clock::now() - start).count();
    ::_exit(0);
  }
  if (delay.count() >= 0) {
    // Spin rather than sleep or read a pipe: the operations last
    // microseconds, and a wake-up would take longer than that.
    const auto give_up = steady_clock::now() + std::chrono::seconds(5);
    while (!progress->ready && steady_clock::now() < give_up) {
      ::sched_yield();
    }
    const auto until = steady_clock::now() + delay;
    while (steady_clock::now() < until) {
    }
    ::kill(writer, SIGKILL);
  }
  int status = 0;
  ::waitpid(writer, &status, 0);
  return progress->stage;
}

Tally RunTrials(const Kind& kind, Progress* progress) {
  // On tmpfs where there is one: fsync() is then free, and the trials
  // stay short.
  TempDir dir(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  const std::string path = dir.File("device_state");
  // How long the operation takes here, from a few unkilled runs.
  std::vector<std::int64_t> durations;
  for (int trial = 0; trial < 15; ++trial) {
    ::unlink(path.c_str());
    if (kind.before(trial) != "<missing>") WriteBytes(path, kind.before(trial));
    RunWriter(kind, path, trial, progress, nanoseconds(-1));
    durations.push_back(progress->operation_ns);
  }
  std::sort(durations.begin(), durations.end());
  const std::int64_t longest_delay = durations[durations.size() / 2];
  std::minstd_rand random(20261208);
  std::uniform_int_distribution<std::int64_t> delay(0, longest_delay);

  Tally tally;
  tally.operation_us = static_cast<double>(longest_delay) / 1e3;
  for (int trial = 0; trial < kTrialsPerKind; ++trial) {
    ::unlink(path.c_str());
    if (kind.before(trial) != "<missing>") WriteBytes(path, kind.before(trial));
    const int stage =
        RunWriter(kind, path, trial, progress, nanoseconds(delay(random)));
    ++tally.trials;
    if (stage == kStarting) ++tally.killed_before;
    if (stage == kInOperation) ++tally.killed_during;
    if (stage == kDone) ++tally.finished;
    const std::string content = ContentOf(path);
    const std::vector<std::string> allowed = kind.allowed(trial);
    if (std::find(allowed.begin(), allowed.end(), content) == allowed.end()) {
      ++tally.bad_files;
      if (tally.first_bad.empty()) {
        tally.first_bad = "trial " + std::to_string(trial) + ": " +
                          std::to_string(content.size()) + " bytes";
      }
    }
    // A killed creator may leave its hidden temporary file; the state file
    // itself must still open.
    for (const std::string& entry : dir.Entries()) {
      if (entry != "device_state") {
        ++tally.temporaries_left;
        ::unlink(dir.File(entry).c_str());
      }
    }
    try {
      DeviceState next(path);
      next.LockAndReadState();
    } catch (...) {
      ++tally.failed_reopens;
    }
  }
  return tally;
}

void PrintTo(const Kind& kind, std::ostream* stream) { *stream << kind.name; }

class DeviceStateCrashTest : public ::testing::TestWithParam<Kind> {};

TEST_P(DeviceStateCrashTest, SigkilledWriterLeavesOldOrNewByte) {
  void* shared = ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  Progress* progress = new (shared) Progress{};
  const Tally tally = RunTrials(GetParam(), progress);
  ::munmap(shared, sizeof(Progress));
  std::printf(
      "crash %s: operation %.1f us, %d trials, killed before %d, during %d, "
      "after %d; "
      "bad files %d, failed reopens %d, temporary files left %d\n",
      GetParam().name, tally.operation_us, tally.trials, tally.killed_before,
      tally.killed_during, tally.finished, tally.bad_files,
      tally.failed_reopens, tally.temporaries_left);
  EXPECT_EQ(tally.trials, kTrialsPerKind);
  EXPECT_EQ(tally.bad_files, 0) << tally.first_bad;
  EXPECT_EQ(tally.failed_reopens, 0);
  // Some moments must fall inside the operation, not only around it; a kill
  // takes about as long to land as a transition takes, so most land after.
  EXPECT_GE(tally.killed_during, kTrialsPerKind / 50);
}

INSTANTIATE_TEST_SUITE_P(Writers, DeviceStateCrashTest,
                         ::testing::Values(kCreation, kTransit),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
