// The fleet check and the watch's run engine, against floors measured in the
// same run:
//   - check --directory over MACHINES x 10 runs x 10 points, built by a real
//     systemd-journal-remote, against `journalctl --directory DIR -o export`
//     (reading every entry once): wall time (median of interleaved
//     repetitions), ratio, peak RSS;
//   - stats --directory over the same fleet against the same floor;
//   - the watch's processing rate: entries read through the journal reader
//     and cut into checked runs, in points per second, without and with
//     --metrics (interleaved).
//
//   kelpwood_fleet_bench FLOWS_TOOL [MACHINES] [REPETITIONS]

#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "journal/journal_reader.h"
#include "journal/message_ids.h"
#include "runs/flow_runs.h"
#include "runs/watch_metrics.h"

namespace {

constexpr int kRunsPerMachine = 10;
constexpr int kPointsPerRun = 10;
constexpr std::uint64_t kBaseUs = 1700000000000000;

std::string Hex32(unsigned value, char fill) {
  char text[33];
  std::snprintf(text, sizeof text, "%024x%08x", 0, value);
  std::string id(text);
  std::replace(id.begin(), id.begin() + 24, '0', fill);
  return id;
}

// Every machine's export stream, one after the other: 10 runs of the
// 10-point flow, one in ten of them failing at point 7.
void WriteFleet(const std::string& dir, int machines) {
  const std::string command =
      "/lib/systemd/systemd-journal-remote --output=" + dir +
      "/fleet.journal - 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "w");
  if (pipe == nullptr) std::exit(2);
  std::string stream;
  for (int m = 0; m < machines; ++m) {
    const std::string machine = Hex32(static_cast<unsigned>(m), 'a');
    const std::string boot = Hex32(static_cast<unsigned>(m), 'b');
    std::uint64_t monotonic = 1000;
    stream.clear();
    for (int r = 0; r < kRunsPerMachine; ++r) {
      for (int p = 0; p < kPointsPerRun; ++p) {
        const bool ok = !(r == 3 && m % 10 == 0 && p == 7);
        const std::uint64_t at = kBaseUs +
                                 static_cast<std::uint64_t>(m) * 1000000 +
                                 static_cast<std::uint64_t>(r * 1000 + p);
        stream += "__REALTIME_TIMESTAMP=" + std::to_string(at) +
                  "\n__MONOTONIC_TIMESTAMP=" + std::to_string(monotonic++) +
                  "\n_BOOT_ID=" + boot + "\n_MACHINE_ID=" + machine +
                  "\n_PID=77\n_UID=" + (p == 5 ? "65534" : "0") +
                  "\n_COMM=publisher\nMESSAGE=point\nMESSAGE_ID=" +
                  kelpwood::journal::kPointPublished +
                  "\nFLOW_ID=fleet_flow\nPOINT_ID=p" + std::to_string(p) +
                  "\nPOINT_SUCCESS=" + (ok ? "1" : "0") + "\n\n";
      }
    }
    fwrite(stream.data(), 1, stream.size(), pipe);
  }
  if (pclose(pipe) != 0) std::exit(2);
}

struct Measure {
  double seconds = 0;
  long max_rss_kb = 0;
};

// Runs `argv` with standard output to /dev/null; its wall time and peak RSS.
Measure Time(const std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (const std::string& word : words) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) !=
      0) {
    std::exit(2);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measure measure;
  measure.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  measure.max_rss_kb = usage.ru_maxrss;
  return measure;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The watch's processing path in this process: read, cut, check, and with
// `metrics` enabled count and write as the watch does. Points per second.
bool WatchRate(const std::string& fleet,
               const std::map<std::string, kelpwood::runs::WatchedFlow>& flows,
               kelpwood::runs::WatchMetrics& metrics, long& runs, double& rate,
               std::size_t& state_bytes) {
  std::string error;
  runs = 0;
  auto reader = kelpwood::journal::JournalReader::OpenDirectory(fleet, error);
  if (!reader || !reader->SeekHead(error)) return false;
  kelpwood::runs::FlowRunEngine engine(flows,
                                       [&](kelpwood::trace::FlowRun&& run) {
                                         metrics.AddRun(run);
                                         ++runs;
                                       });
  kelpwood::journal::FlowEntry entry;
  const auto start = std::chrono::steady_clock::now();
  long taken = 0;
  while (reader->Next(entry) > 0) {
    engine.Add(entry);
    metrics.NoteEntry(entry);
    if (++taken % 1000 == 0) metrics.Update(engine.OpenRunCount(), NowNs());
    // The watch saves its state at most once a second; here once per
    // 10,000 entries, far more often, to bound the bytes per point.
    if (taken % 10000 == 0) {
      std::ostringstream state;
      engine.SaveState(state);
      state_bytes += state.str().size() + 100;  // + the cursor line
    }
  }
  engine.EndAllRuns();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  rate = static_cast<double>(taken) / seconds;
  // The stop path, which waits for the last write, as the watch does when
  // it saves its state on SIGTERM: not part of the rate.
  metrics.Update(engine.OpenRunCount(), NowNs(), true);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FLOWS_TOOL [MACHINES] [REPETITIONS]\n",
                 argv[0]);
    return 2;
  }
  // The checks' own log lines are not what is measured.
  setenv("SPDLOG_LEVEL", "critical", 1);
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  const std::string tool = argv[1];
  const int machines = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int repetitions = argc > 3 ? std::atoi(argv[3]) : 3;
  char pattern[] = "/tmp/kelpwood-fleet-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  const std::string dir = pattern;
  {
    std::ofstream config(dir + "/flows.yaml");
    config << "workflows:\n  - flow_id: fleet_flow\n    flow_name: Fleet\n"
              "    check_order: true\n    flow_points:\n";
    for (int p = 0; p < kPointsPerRun; ++p) {
      config << "      - point_id: p" << p << "\n";
    }
  }
  std::filesystem::create_directory(dir + "/fleet");
  WriteFleet(dir + "/fleet", machines);
  const long points =
      static_cast<long>(machines) * kRunsPerMachine * kPointsPerRun;

  std::vector<double> floor_times, check_times, stats_times;
  long floor_rss = 0, check_rss = 0, stats_rss = 0;
  for (int i = 0; i < repetitions; ++i) {
    const Measure floor = Time(
        {"/usr/bin/journalctl", "--directory", dir + "/fleet", "-o", "export"});
    const Measure check = Time(
        {tool, "check", "--directory", dir + "/fleet", dir + "/flows.yaml"});
    const Measure stats = Time(
        {tool, "stats", "--directory", dir + "/fleet", dir + "/flows.yaml"});
    floor_times.push_back(floor.seconds);
    check_times.push_back(check.seconds);
    stats_times.push_back(stats.seconds);
    floor_rss = std::max(floor_rss, floor.max_rss_kb);
    check_rss = std::max(check_rss, check.max_rss_kb);
    stats_rss = std::max(stats_rss, stats.max_rss_kb);
  }
  const double floor_s = Median(floor_times);
  const double check_s = Median(check_times);
  std::printf(
      "check --directory: %d machines x %d runs x %d points = %ld points\n"
      "  floor journalctl -o export: %.3f s (peak RSS %ld KiB)\n"
      "  kelpwood-flows check:       %.3f s (peak RSS %ld KiB)\n"
      "  ratio %.2f (target <= 2.00), %d repetitions, medians\n",
      machines, kRunsPerMachine, kPointsPerRun, points, floor_s, floor_rss,
      check_s, check_rss, check_s / floor_s, repetitions);
  const double stats_s = Median(stats_times);
  std::printf(
      "stats --directory, same fleet:\n"
      "  kelpwood-flows stats:       %.3f s (peak RSS %ld KiB)\n"
      "  ratio %.2f to the floor (target <= 2.00), %d repetitions, medians\n",
      stats_s, stats_rss, stats_s / floor_s, repetitions);

  // The watch's processing path in this process: read, cut, check.
  std::map<std::string, kelpwood::runs::WatchedFlow> flows;
  std::string error;
  if (!kelpwood::runs::LoadWatchedFlows({dir + "/flows.yaml"}, flows, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  // With --metrics as well: every run counted, the file and its state
  // written at most once a second, checked after every 1000 entries.
  std::vector<double> rates, metrics_rates;
  long runs = 0;
  std::size_t state_bytes = 0;
  for (int i = 0; i < repetitions; ++i) {
    // Alternating which goes first, so that neither always finds the
    // caches warm.
    for (const bool with_metrics : {i % 2 == 1, i % 2 == 0}) {
      kelpwood::runs::WatchMetrics metrics(
          with_metrics ? dir + "/kelpwood.prom" : "", dir);
      double rate = 0;
      if (!WatchRate(dir + "/fleet", flows, metrics, runs, rate, state_bytes)) {
        return 2;
      }
      (with_metrics ? metrics_rates : rates).push_back(rate);
    }
  }
  // The cost as the median over repetitions of each pair's ratio: pairs
  // run back to back, so the load of a shared machine cancels out.
  std::vector<double> costs;
  for (std::size_t i = 0; i < rates.size(); ++i) {
    costs.push_back((rates[i] - metrics_rates[i]) / rates[i] * 100);
  }
  std::printf(
      "watch processing (reader + runs + CheckFlow): %.0f points/s "
      "(target >= 20000), %ld runs checked; state written once per 10,000 "
      "points: %.3f bytes per point\n"
      "  with --metrics: %.0f points/s, %.1f%% slower (target <= 5%%; "
      "median of paired repetitions)\n",
      Median(rates), runs,
      static_cast<double>(state_bytes) /
          (static_cast<double>(points) * repetitions * 2),
      Median(metrics_rates), Median(costs));
  if (Median(rates) < 20000) {
    std::fprintf(stderr, "watch processing below its floor of 20000/s\n");
    return 1;
  }
  std::filesystem::remove_all(dir);
  return 0;
}
