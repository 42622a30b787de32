// Cost of a message through kelpwood::Logger, each beside its floor: the same
// text formatted by spdlog itself into the same kind of sink.
//
//   Suppressed/*        a DEBUG message below the info threshold
//   PassingNoSinks/*    an INFO message to a logger without sinks
//   PassingStdout/*     an INFO message to the colour stdout sink, with the
//                       process's standard output sent to /dev/null
//
// main() fixes the environment before the first message, so the facade's
// record is always built with the stdout sink at threshold info.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <kelpwood/logger.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using StdoutSink =
    spdlog::sinks::ansicolor_stdout_sink<spdlog::details::console_mutex>;

const std::string kFlowId = "boot_sequence";
const std::string kPointId = "mount_data_partition";

// A logger configured as the facade's own: pattern "%v", threshold info, not
// registered with spdlog.
std::shared_ptr<spdlog::logger> MakeFloorLogger(
    std::vector<spdlog::sink_ptr> sinks) {
  auto logger =
      std::make_shared<spdlog::logger>("floor", sinks.begin(), sinks.end());
  logger->set_level(spdlog::level::info);
  logger->set_pattern("%v");
  return logger;
}

spdlog::source_loc HereLocation() {
  return spdlog::source_loc{__FILE__, __LINE__, "HereLocation"};
}

// Sends the process's standard output to /dev/null for its lifetime, so the
// sinks really write but the benchmark's own report stays readable.
class StdoutToDevNull {
 public:
  StdoutToDevNull() : saved_fd_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      close(null_fd);
    }
  }
  StdoutToDevNull(const StdoutToDevNull&) = delete;
  StdoutToDevNull& operator=(const StdoutToDevNull&) = delete;
  ~StdoutToDevNull() {
    std::fflush(stdout);
    if (saved_fd_ >= 0) {
      dup2(saved_fd_, STDOUT_FILENO);
      close(saved_fd_);
    }
  }

 private:
  int saved_fd_;
};

// The facade has no way to change its sinks, and one process builds one
// record. To measure the sink-less case in the same binary, the record's
// spdlog logger has its sink list (a plain vector that spdlog exposes) moved
// out for the duration and put back afterwards. Benchmarks run one at a time
// on one thread, so nothing logs while the list changes.
class FacadeWithoutSinks {
 public:
  FacadeWithoutSinks()
      : saved_(std::move(kelpwood::Logger::Instance().logger->sinks())) {
    kelpwood::Logger::Instance().logger->sinks().clear();
  }
  FacadeWithoutSinks(const FacadeWithoutSinks&) = delete;
  FacadeWithoutSinks& operator=(const FacadeWithoutSinks&) = delete;
  ~FacadeWithoutSinks() {
    kelpwood::Logger::Instance().logger->sinks() = std::move(saved_);
  }

 private:
  std::vector<spdlog::sink_ptr> saved_;
};

void Suppressed_Facade(benchmark::State& state) {
  for (auto _ : state) {
    KELPWOOD_LOG_DEBUG("flow_id {} point {} not found", kFlowId, kPointId);
  }
}

void Suppressed_SpdlogFloor(benchmark::State& state) {
  const auto floor = MakeFloorLogger({std::make_shared<StdoutSink>()});
  const spdlog::source_loc location = HereLocation();
  for (auto _ : state) {
    floor->log(location, spdlog::level::debug, "flow_id {} point {} not found",
               kFlowId, kPointId);
  }
}

void PassingNoSinks_Facade(benchmark::State& state) {
  FacadeWithoutSinks without_sinks;
  for (auto _ : state) {
    KELPWOOD_LOG_INFO("flow_id {} point {} not found", kFlowId, kPointId);
  }
}

void PassingNoSinks_SpdlogFloor(benchmark::State& state) {
  const auto floor = MakeFloorLogger({});
  const spdlog::source_loc location = HereLocation();
  unsigned number = 0;
  for (auto _ : state) {
    number = (number + 1) & 0x7Fu;
    floor->log(location, spdlog::level::info,
               "{:3d} [INFO] flow_id {} point {} not found", number, kFlowId,
               kPointId);
  }
}

void PassingStdout_Facade(benchmark::State& state) {
  StdoutToDevNull redirect;
  for (auto _ : state) {
    KELPWOOD_LOG_INFO("flow_id {} point {} not found", kFlowId, kPointId);
  }
}

void PassingStdout_SpdlogFloor(benchmark::State& state) {
  const auto floor = MakeFloorLogger({std::make_shared<StdoutSink>()});
  const spdlog::source_loc location = HereLocation();
  StdoutToDevNull redirect;
  unsigned number = 0;
  for (auto _ : state) {
    number = (number + 1) & 0x7Fu;
    floor->log(location, spdlog::level::info,
               "{:3d} [INFO] flow_id {} point {} not found", number, kFlowId,
               kPointId);
  }
}

BENCHMARK(Suppressed_Facade);
BENCHMARK(Suppressed_SpdlogFloor);
BENCHMARK(PassingNoSinks_Facade);
BENCHMARK(PassingNoSinks_SpdlogFloor);
BENCHMARK(PassingStdout_Facade);
BENCHMARK(PassingStdout_SpdlogFloor);

}  // namespace

int main(int argc, char** argv) {
  // The record reads these when it is built, on the first message below.
  setenv("SPDLOG_STDOUT", "true", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "info", 1);
  kelpwood::Logger::Instance();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
