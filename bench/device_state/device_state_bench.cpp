// The device-state operations beside the bare system calls they consist of,
// and how soon a waiter sees another process's transition.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <kelpwood/device_state.h>
#include <kelpwood/file_lock.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using device_state::DeviceState;
using device_state::State;
using std::chrono::steady_clock;

// A state file in a private directory, removed afterwards.
class StateFile {
 public:
  StateFile() {
    char name[] = "/tmp/kelpwood-bench-state-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory_ = name;
    path_ = directory_ + "/device_state";
  }
  ~StateFile() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string directory_;
  std::string path_;
};

bool SetRecordLock(int fd, int command, short type) {
  struct flock request;
  std::memset(&request, 0, sizeof request);
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 1;
  return ::fcntl(fd, command, &request) == 0;
}

void BM_LockAndReadState(benchmark::State& state) {
  StateFile file;
  DeviceState device(file.path());
  for (auto _ : state) {
    benchmark::DoNotOptimize(device.LockAndReadState());
    device.ReleaseLock();
  }
}
BENCHMARK(BM_LockAndReadState);

// The same work without the library: lock, seek, read, unlock.
void BM_RawLockAndRead(benchmark::State& state) {
  StateFile file;
  DeviceState creator(file.path());
  const int fd = ::open(file.path().c_str(), O_RDWR | O_CLOEXEC);
  for (auto _ : state) {
    if (!SetRecordLock(fd, F_SETLKW, F_RDLCK)) state.SkipWithError("lock");
    char byte;
    ::lseek(fd, 0, SEEK_SET);
    if (::read(fd, &byte, 1) != 1) state.SkipWithError("read");
    benchmark::DoNotOptimize(byte);
    SetRecordLock(fd, F_SETLK, F_UNLCK);
  }
  ::close(fd);
}
BENCHMARK(BM_RawLockAndRead);

void BM_TransitState(benchmark::State& state) {
  StateFile file;
  DeviceState device(file.path());
  device.LockAndReadState();
  std::int8_t next = 0;
  for (auto _ : state) {
    if (!device.TransitState(State{++next})) state.SkipWithError("transit");
  }
}
BENCHMARK(BM_TransitState);

// The same work without the library: upgrade without waiting, seek, write,
// downgrade.
void BM_RawTransit(benchmark::State& state) {
  StateFile file;
  DeviceState creator(file.path());
  const int fd = ::open(file.path().c_str(), O_RDWR | O_CLOEXEC);
  SetRecordLock(fd, F_SETLKW, F_RDLCK);
  char next = 0;
  for (auto _ : state) {
    if (!SetRecordLock(fd, F_SETLK, F_WRLCK)) state.SkipWithError("upgrade");
    ++next;
    ::lseek(fd, 0, SEEK_SET);
    if (::write(fd, &next, 1) != 1) state.SkipWithError("write");
    if (!SetRecordLock(fd, F_SETLKW, F_RDLCK)) state.SkipWithError("downgrade");
  }
  ::close(fd);
}
BENCHMARK(BM_RawTransit);

// The mode check every device-state operation starts with: the object's
// mutex and the fork-generation comparison...
void BM_GetLockType(benchmark::State& state) {
  StateFile file;
  DeviceState creator(file.path());
  const int fd = ::open(file.path().c_str(), O_RDWR | O_CLOEXEC);
  file_lock::FileLock lock(fd);
  lock.acquireReadLock();
  for (auto _ : state) benchmark::DoNotOptimize(lock.getLockType());
  lock.releaseLock();
  ::close(fd);
}
BENCHMARK(BM_GetLockType);

// ...against its floor: locking and unlocking a mutex and reading an int.
void BM_MutexGuardedRead(benchmark::State& state) {
  std::mutex mutex;
  int value = F_RDLCK;
  for (auto _ : state) {
    std::lock_guard<std::mutex> guard(mutex);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_MutexGuardedRead);

std::int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             steady_clock::now().time_since_epoch())
      .count();
}

// A writer process transits to 1, 2, 1, ... once per round, when the waiter
// asks, after a pause of 3 ms to longest_pause that lets the waiter settle
// into its wait. It
// reports the steady-clock time (system-wide on Linux) at which it started
// its successful attempt.
pid_t StartWriter(const std::string& path, const int ask[2], const int stamp[2],
                  std::chrono::milliseconds longest_pause) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // Without the waiter's ends the writer sees the end of the rounds.
  ::close(ask[1]);
  ::close(stamp[0]);
  const int ask_fd = ask[0];
  const int stamp_fd = stamp[1];
  // Attempts refused while the waiter holds its read lock would each write a
  // line.
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null_fd, STDERR_FILENO);
  DeviceState writer(path);
  // The pause falls at a random point of a polling waiter's second.
  std::minstd_rand random(42);
  std::uniform_int_distribution<long> pause_ms(3, longest_pause.count());
  char round;
  std::int8_t value = 0;
  while (::read(ask_fd, &round, 1) == 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
    value = value == 1 ? 2 : 1;
    std::int64_t started = 0;
    for (;;) {
      started = NowNanoseconds();
      writer.LockAndReadState();
      const bool done = writer.TransitState(State{value});
      writer.ReleaseLock();
      if (done) break;
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    if (::write(stamp_fd, &started, sizeof started) != sizeof started) break;
  }
  ::_exit(0);
}

// Wake latency of a waiter in this process after a transition in another.
template <bool kWatched>
void BM_WakeLatency(benchmark::State& state) {
  StateFile file;
  DeviceState waiter(file.path());
  waiter.LockAndReadState();
  int ask[2];
  int stamp[2];
  if (::pipe2(ask, O_CLOEXEC) != 0 || ::pipe2(stamp, O_CLOEXEC) != 0) {
    state.SkipWithError("pipe2");
    return;
  }
  const pid_t writer = StartWriter(
      file.path(), ask, stamp, std::chrono::milliseconds(kWatched ? 3 : 1000));
  ::close(ask[0]);
  ::close(stamp[1]);
  std::vector<double> latencies_ms;
  std::int8_t value = 0;
  for (auto _ : state) {
    value = value == 1 ? 2 : 1;
    if (::write(ask[1], "r", 1) != 1) state.SkipWithError("ask");
    const bool seen = kWatched ? waiter.WaitForStateChangeFor(
                                     State{value}, std::chrono::seconds(10))
                               : waiter.WaitForStateChange(State{value});
    const std::int64_t woke = NowNanoseconds();
    std::int64_t started = 0;
    if (!seen || ::read(stamp[0], &started, sizeof started) != sizeof started) {
      state.SkipWithError("wait failed");
      break;
    }
    const double latency_s = static_cast<double>(woke - started) / 1e9;
    state.SetIterationTime(latency_s);
    latencies_ms.push_back(latency_s * 1e3);
  }
  ::close(ask[1]);
  ::close(stamp[0]);
  waiter.ReleaseLock();
  ::waitpid(writer, nullptr, 0);
  if (latencies_ms.empty()) return;
  std::sort(latencies_ms.begin(), latencies_ms.end());
  const auto percentile = [&](double fraction) {
    const size_t index = static_cast<size_t>(
        fraction * static_cast<double>(latencies_ms.size() - 1) + 0.5);
    return latencies_ms[index];
  };
  state.counters["p50_ms"] = percentile(0.50);
  state.counters["p99_ms"] = percentile(0.99);
  state.counters["max_ms"] = latencies_ms.back();
}
BENCHMARK_TEMPLATE(BM_WakeLatency, true)
    ->Name("BM_WaitForStateChangeFor_WakeLatency")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200);
BENCHMARK_TEMPLATE(BM_WakeLatency, false)
    ->Name("BM_WaitForStateChange_WakeLatency")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(8);

}  // namespace

BENCHMARK_MAIN();
