// Time from the deciding point of a run to its verdict entry, beside a floor
// measured in the same run: a bare sd_journal_wait reader's delay in seeing
// the same point (journald batches its change notices). Needs root and a
// journald (started here when none runs, stopped again by its pid, under the
// journal tests' lock).
//
//   kelpwood_latency_bench FLOWS_TOOL [RUNS]
//
// Each run is two points of one flow; the second decides it. The verdict's
// delay is its journal receive time minus the deciding point's; the floor's
// is the moment the bare reader saw the point minus the same receive time.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "journal/message_ids.h"

namespace {

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

pid_t Spawn(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) !=
      0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

std::string Field(sd_journal* journal, const char* name) {
  const void* data = nullptr;
  std::size_t length = 0;
  if (sd_journal_get_data(journal, name, &data, &length) < 0) return "";
  const std::string field(static_cast<const char*>(data), length);
  return field.substr(field.find('=') + 1);
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(
      values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FLOWS_TOOL [RUNS]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 40;
  const int lock = open("/run/kelpwood-journal-test.lock",
                        O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return 2;
  pid_t journald = -1;
  if (std::system("pidof systemd-journald >/dev/null") != 0) {
    std::filesystem::create_directories("/run/systemd/journal");
    journald = Spawn({"/lib/systemd/systemd-journald"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  char pattern[] = "/tmp/kelpwood-latency-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  const std::string dir = pattern;
  const std::string flow = "latency_" + std::to_string(getpid());
  std::ofstream(dir + "/flows.yaml")
      << "workflows:\n  - flow_id: " << flow
      << "\n    check_order: true\n    flow_points:\n"
         "      - point_id: first\n      - point_id: last\n";
  setenv("SPDLOG_LEVEL", "critical", 1);
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  const pid_t watch = Spawn(
      {argv[1], "watch", "--state-dir", dir + "/state", dir + "/flows.yaml"});
  std::this_thread::sleep_for(std::chrono::seconds(1));

  // The floor: a bare reader of the deciding points.
  std::atomic<bool> ready{false};
  std::map<std::string, double> floor_ms;  // by the point's receive time
  std::thread floor([&] {
    sd_journal* journal = nullptr;
    sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY);
    const std::string match = "FLOW_ID=" + flow;
    sd_journal_add_match(journal, match.c_str(), 0);
    sd_journal_add_match(journal, "POINT_ID=last", 0);
    sd_journal_seek_tail(journal);
    sd_journal_previous(journal);
    ready = true;
    int seen = 0;
    const std::int64_t give_up = NowUs() + 30000000;
    while (seen < runs && NowUs() < give_up) {
      while (sd_journal_next(journal) > 0) {
        const std::int64_t now = NowUs();
        std::uint64_t received = 0;
        sd_journal_get_realtime_usec(journal, &received);
        floor_ms[std::to_string(received)] =
            static_cast<double>(now - static_cast<std::int64_t>(received)) /
            1000.0;
        ++seen;
      }
      // As watch waits: until journald says the journal changed.
      sd_journal_wait(journal, 1000000);
    }
    sd_journal_close(journal);
  });
  while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const std::string id =
      std::string("MESSAGE_ID=") + kelpwood::journal::kPointPublished;
  for (int i = 0; i < runs; ++i) {
    for (const char* point : {"first", "last"}) {
      sd_journal_send("MESSAGE=latency point", id.c_str(), "FLOW_ID=%s",
                      flow.c_str(), "POINT_ID=%s", point, "POINT_SUCCESS=1",
                      nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  floor.join();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Stop(watch);

  // The verdicts, paired with their deciding points in order.
  std::vector<std::uint64_t> deciding;
  std::vector<double> verdict_ms;
  sd_journal* journal = nullptr;
  sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY);
  const std::string match = "FLOW_ID=" + flow;
  sd_journal_add_match(journal, match.c_str(), 0);
  SD_JOURNAL_FOREACH(journal) {
    std::uint64_t received = 0;
    sd_journal_get_realtime_usec(journal, &received);
    if (Field(journal, "POINT_ID") == "last" &&
        Field(journal, "CHECK_CODE").empty()) {
      deciding.push_back(received);
    } else if (!Field(journal, "CHECK_CODE").empty() && !deciding.empty()) {
      verdict_ms.push_back(static_cast<double>(received - deciding.front()) /
                           1000.0);
      deciding.erase(deciding.begin());
    }
  }
  sd_journal_close(journal);
  Stop(journald);
  std::filesystem::remove_all(dir);
  std::vector<double> floors;
  for (const auto& [key, ms] : floor_ms) floors.push_back(ms);
  if (floors.empty() || verdict_ms.empty()) {
    std::fprintf(stderr, "no measurements (%zu floor, %zu verdicts)\n",
                 floors.size(), verdict_ms.size());
    return 1;
  }
  std::printf(
      "deciding point -> verdict entry, %zu runs: p50 %.1f ms, p99 %.1f ms\n"
      "floor (bare sd_journal_wait reader), %zu points: p50 %.1f ms, p99 "
      "%.1f ms\n"
      "p99 difference %.1f ms (target <= 20 ms)\n",
      verdict_ms.size(), Percentile(verdict_ms, 0.5),
      Percentile(verdict_ms, 0.99), floors.size(), Percentile(floors, 0.5),
      Percentile(floors, 0.99),
      Percentile(verdict_ms, 0.99) - Percentile(floors, 0.99));
  return 0;
}
