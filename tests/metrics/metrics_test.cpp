// The metrics of watch --metrics and check --metrics: one small file exactly,
// label escaping, the limit of label sets, counters kept across a restart,
// the write interval, and the files as the real promtool and
// prometheus-node-exporter read them.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/posix_file.h"
#include "journal/message_ids.h"
#include "runs/flow_metrics.h"
#include "runs/flow_runs.h"
#include "runs/watch_metrics.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kelpwood::journal::FlowEntry;
using kelpwood::journal::FlowEntryKind;
using kelpwood::runs::FlowMetrics;
using kelpwood::runs::WatchMetrics;
using kelpwood::testing::ChildOptions;
using kelpwood::testing::ChildProcess;
using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood::testing::TempDir;
using kelpwood::trace::FlowCheckCode;
using kelpwood::trace::FlowRun;

const char kPromtool[] = "/usr/bin/promtool";
const char kNodeExporter[] = "/usr/bin/prometheus-node-exporter";
const char kJournalRemote[] = "/lib/systemd/systemd-journal-remote";
const std::int64_t kBaseNs = 1700000000000000000;
const std::int64_t kSecond = 1000000000;

const char kConfig[] =
    "workflows:\n"
    "  - flow_id: boot\n"
    "    flow_name: Boot\n"
    "    scope: device\n"
    "    check_order: true\n"
    "    deadline_ms: 1000\n"
    "    flow_points:\n"
    "      - point_id: init\n"
    "      - point_id: mount\n"
    "        failure_id: 302\n"
    "      - point_id: ready\n";

// Through the real run engine: a run that passes (steps of 1/256 s and
// exactly 0.5 s), one that fails at mount after 1/32 s, and one ended by its
// deadline after its first point, with 2 points reported lost before it.
std::vector<FlowRun> ThreeRuns(const TempDir& dir) {
  std::map<std::string, kelpwood::runs::WatchedFlow> flows;
  std::string error;
  EXPECT_TRUE(kelpwood::runs::LoadWatchedFlows(
      {dir.WriteFile("flows.yaml", kConfig)}, flows, error))
      << error;
  std::vector<FlowRun> ended;
  kelpwood::runs::FlowRunEngine engine(
      flows, [&](FlowRun&& run) { ended.push_back(std::move(run)); });
  auto add = [&](FlowEntryKind kind, const char* point, bool ok,
                 std::int64_t at_ns) {
    FlowEntry entry;
    entry.kind = kind;
    entry.machine_id = std::string(32, 'a');
    entry.boot_id = std::string(32, '1');
    entry.flow_id = "boot";
    entry.point_id = point;
    entry.success = ok;
    entry.count = 2;
    entry.time_ns = kBaseNs + at_ns;
    entry.realtime_us = static_cast<std::uint64_t>(entry.time_ns / 1000);
    // Deadlines run on the boot's monotonic clock, here 1000 s after boot.
    entry.monotonic_us =
        static_cast<std::uint64_t>((1000 * kSecond + at_ns) / 1000);
    engine.Add(entry);
  };
  add(FlowEntryKind::kPoint, "init", true, 0);
  add(FlowEntryKind::kPoint, "mount", true, 3906250);
  add(FlowEntryKind::kPoint, "ready", true, 503906250);
  add(FlowEntryKind::kPoint, "init", true, 10 * kSecond);
  add(FlowEntryKind::kPoint, "mount", false, 10 * kSecond + 31250000);
  add(FlowEntryKind::kPointsDropped, "", true, 15 * kSecond);
  add(FlowEntryKind::kPoint, "init", true, 20 * kSecond);
  engine.EndRunsDueBy(std::string(32, '1'), 1000 * kSecond + 21 * kSecond);
  EXPECT_EQ(ended.size(), 3u);
  return ended;
}

// The bucket lines of a histogram: `counts` for le="0.001" to le="+Inf".
std::string Buckets(const std::string& series, const std::vector<int>& counts) {
  static const char* const kLe[] = {"0.001", "0.005", "0.01", "0.05", "0.1",
                                    "0.5",   "1",     "5",    "10",   "30",
                                    "60",    "120",   "300",  "600",  "+Inf"};
  std::string lines;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    lines +=
        series + "le=\"" + kLe[i] + "\"} " + std::to_string(counts[i]) + "\n";
  }
  return lines;
}

const std::string kThreeRunsFile =
    R"(# HELP kelpwood_flow_runs_total Checked runs of each device-wide flow, by result.
# TYPE kelpwood_flow_runs_total counter
kelpwood_flow_runs_total{flow="boot",result="PASSED"} 1
kelpwood_flow_runs_total{flow="boot",result="POINT_FAILED"} 1
kelpwood_flow_runs_total{flow="boot",result="POINT_MISSING"} 1
# HELP kelpwood_flow_failures_total Runs that did not pass, by the configured point at fault and its failure_id.
# TYPE kelpwood_flow_failures_total counter
kelpwood_flow_failures_total{flow="boot",point="mount",failure_id="302"} 2
# HELP kelpwood_flow_points_dropped_total Points that may belong to a checked run but were lost before the journal.
# TYPE kelpwood_flow_points_dropped_total counter
kelpwood_flow_points_dropped_total{flow="boot"} 2
# HELP kelpwood_flow_duration_seconds Time from the first to the last point of each checked run.
# TYPE kelpwood_flow_duration_seconds histogram
)" +
    Buckets("kelpwood_flow_duration_seconds_bucket{flow=\"boot\",",
            {1, 1, 1, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3}) +
    R"(kelpwood_flow_duration_seconds_sum{flow="boot"} 0.53515625
kelpwood_flow_duration_seconds_count{flow="boot"} 3
# HELP kelpwood_flow_step_seconds Time from the previous configured point of a run to each configured point recorded, by the point reached.
# TYPE kelpwood_flow_step_seconds histogram
)" +
    Buckets("kelpwood_flow_step_seconds_bucket{flow=\"boot\",step=\"mount\",",
            {0, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}) +
    R"(kelpwood_flow_step_seconds_sum{flow="boot",step="mount"} 0.03515625
kelpwood_flow_step_seconds_count{flow="boot",step="mount"} 2
)" +
    Buckets("kelpwood_flow_step_seconds_bucket{flow=\"boot\",step=\"ready\",",
            {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}) +
    R"(kelpwood_flow_step_seconds_sum{flow="boot",step="ready"} 0.5
kelpwood_flow_step_seconds_count{flow="boot",step="ready"} 1
# HELP kelpwood_watch_open_runs Runs begun and not yet ended.
# TYPE kelpwood_watch_open_runs gauge
kelpwood_watch_open_runs 1
# HELP kelpwood_watch_lag_seconds From the journal's receive time of the last entry taken to the moment the watch took it.
# TYPE kelpwood_watch_lag_seconds gauge
kelpwood_watch_lag_seconds 0.25
# HELP kelpwood_watch_verdicts_unwritten_total Verdict entries that could not be written to the journal.
# TYPE kelpwood_watch_verdicts_unwritten_total counter
kelpwood_watch_verdicts_unwritten_total 0
# HELP kelpwood_metrics_series_dropped_total Observations left out because their label set would pass the limit of label sets per machine.
# TYPE kelpwood_metrics_series_dropped_total counter
kelpwood_metrics_series_dropped_total 0
)";

// Fault caught: a bucket that is not cumulative, a value on the wrong side
// of `le` (0.5 belongs to le="0.5"), a step timed from the run's start, a
// failure counted by the recorded rather than the configured point.
TEST(FlowMetricsTest, WritesThreeRunsExactly) {
  TempDir dir;
  FlowMetrics metrics(FlowMetrics::Scope::kWatch);
  for (const FlowRun& run : ThreeRuns(dir)) metrics.AddRun(run);
  metrics.SetOpenRuns(1);
  metrics.SetLagSeconds(0.25);
  EXPECT_EQ(metrics.Render(), kThreeRunsFile);
}

struct EscapeCase {
  const char* name;
  std::string value;
  std::string escaped;
};

class LabelEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

// Fault caught: a journal value that ends the label value early, splits the
// sample over two lines or is not UTF-8 makes the whole file unreadable.
TEST_P(LabelEscapeTest, EscapesAsTheTextFormatRequires) {
  EXPECT_EQ(kelpwood::runs::EscapeLabelValue(GetParam().value),
            GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Values, LabelEscapeTest,
    ::testing::Values(EscapeCase{"plain", "boot", "boot"},
                      EscapeCase{"backslash", "a\\b", "a\\\\b"},
                      EscapeCase{"quote", "say \"hi\"", "say \\\"hi\\\""},
                      EscapeCase{"newline", "two\nlines", "two\\nlines"},
                      EscapeCase{"not_utf8",
                                 "x\xff"
                                 "y",
                                 "x\xEF\xBF\xBDy"},
                      EscapeCase{"cut_sequence", "caf\xC3", "caf\xEF\xBF\xBD"},
                      EscapeCase{"utf8_kept", "caf\xC3\xA9", "caf\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.name); });

// A run without configuration: only the runs and failure families.
FlowRun BareRun(const std::string& machine, const std::string& flow,
                FlowCheckCode code) {
  FlowRun run;
  run.machine_id = machine;
  run.flow_id = flow;
  run.code = code;
  if (code != FlowCheckCode::PASSED) {
    run.fault_configured_point_id = "mount";
    run.failure_id = 302;
  }
  return run;
}

struct LimitCase {
  std::size_t limit;
  std::uint64_t dropped;
  std::size_t runs_lines;
};

class SeriesLimitTest : public ::testing::TestWithParam<LimitCase> {};

// Fault caught: label sets past the limit kept (unbounded memory and file
// on hostile journal content) or dropped without being counted.
TEST_P(SeriesLimitTest, CountsWhatThePastLimitLeavesOut) {
  FlowMetrics metrics(FlowMetrics::Scope::kWatch, GetParam().limit);
  metrics.AddRun(BareRun("", "a", FlowCheckCode::PASSED));
  metrics.AddRun(BareRun("", "b", FlowCheckCode::PASSED));
  metrics.AddRun(BareRun("", "a", FlowCheckCode::POINT_MISSING));
  const std::string text = metrics.Render();
  EXPECT_NE(text.find("\nkelpwood_metrics_series_dropped_total " +
                      std::to_string(GetParam().dropped) + "\n"),
            std::string::npos)
      << text;
  std::size_t runs_lines = 0;
  for (std::size_t at = 0;
       (at = text.find("\nkelpwood_flow_runs_total{", at)) != std::string::npos;
       ++at) {
    ++runs_lines;
  }
  EXPECT_EQ(runs_lines, GetParam().runs_lines);
}

INSTANTIATE_TEST_SUITE_P(Limits, SeriesLimitTest,
                         ::testing::Values(LimitCase{0, 3, 0},
                                           LimitCase{2, 4, 0},
                                           LimitCase{4, 2, 2},
                                           LimitCase{7, 1, 3},
                                           LimitCase{8, 0, 3}));

// Fault caught: counters that restart at 0 with the watch, which rate()
// reads as a reset, and the unwritten-verdict count lost on the way.
TEST(WatchMetricsTest, KeepsCountersAcrossARestart) {
  TempDir dir;
  const std::vector<FlowRun> runs = ThreeRuns(dir);
  const std::string file = dir.File("kelpwood.prom");
  {
    WatchMetrics before(file, dir.path());
    EXPECT_EQ(before.Load(), "");
    before.AddRun(runs[0]);
    before.AddRun(runs[1]);
    before.SetUnwrittenVerdicts(1);
    EXPECT_EQ(before.Update(0, kBaseNs, true), "");
  }
  WatchMetrics after(file, dir.path());
  EXPECT_EQ(after.Load(), "");
  after.AddRun(runs[2]);
  EXPECT_EQ(after.Update(0, kBaseNs, true), "");

  FlowMetrics uninterrupted(FlowMetrics::Scope::kWatch);
  for (const FlowRun& run : runs) uninterrupted.AddRun(run);
  uninterrupted.AddUnwrittenVerdicts(1);
  EXPECT_EQ(dir.ReadFile("kelpwood.prom"), uninterrupted.Render());
}

// Fault caught: a damaged state that stops the watch, or that is
// overwritten before anyone could look at it.
TEST(WatchMetricsTest, KeepsADamagedStateAside) {
  TempDir dir;
  dir.WriteFile("metrics.state", "kelpwood-flows-metrics-state 1\nruns\tx\n");
  WatchMetrics metrics(dir.File("kelpwood.prom"), dir.path());
  EXPECT_EQ(metrics.Load(), dir.File("metrics.state") + ": damaged, kept as " +
                                dir.File("metrics.state.damaged") +
                                "; counters start at 0");
  EXPECT_EQ(dir.ReadFile("metrics.state.damaged"),
            "kelpwood-flows-metrics-state 1\nruns\tx\n");
}

// Fault caught: a file rewritten on every verdict (a storm of fsyncs on a
// busy device) or a change that is never written.
TEST(WatchMetricsTest, WritesAtMostOnceASecond) {
  TempDir dir;
  const std::vector<FlowRun> runs = ThreeRuns(dir);
  WatchMetrics metrics(dir.File("kelpwood.prom"), dir.path());
  const auto passed_line = [&] {
    metrics.WaitForWrites();
    const std::string text = dir.ReadFile("kelpwood.prom");
    const std::size_t at = text.find("result=\"PASSED\"} ");
    return at == std::string::npos ? std::string("none")
                                   : text.substr(at + 17, 1);
  };
  metrics.AddRun(runs[0]);
  EXPECT_EQ(metrics.Update(0, kBaseNs), "");
  EXPECT_EQ(passed_line(), "1");
  metrics.AddRun(runs[0]);
  EXPECT_EQ(metrics.Update(0, kBaseNs + kSecond / 2), "");
  EXPECT_EQ(passed_line(), "1");
  EXPECT_EQ(metrics.Update(0, kBaseNs + kSecond), "");
  EXPECT_EQ(passed_line(), "2");
}

// True when `program` is missing, and the test is to be skipped; a failure
// as well under CI, whose .ci/run installs it (scripts/install-deps.sh).
bool Missing(const char* program) {
  if (access(program, X_OK) == 0) return false;
  const char* ci = getenv("CI");
  if (ci != nullptr && std::string(ci) == "true") {
    ADD_FAILURE() << program << " missing: scripts/install-deps.sh installs it";
  }
  return true;
}

ChildResult Promtool(const std::string& path) {
  ChildOptions options;
  options.standard_input = path;
  return RunChild(kPromtool, {"check", "metrics"}, {"PATH=/usr/bin:/bin"},
                  options);
}

// Every kind of file the tools write.
std::string FileOfKind(const std::string& kind, const TempDir& dir) {
  if (kind == "three_runs") {
    FlowMetrics metrics(FlowMetrics::Scope::kWatch);
    for (const FlowRun& run : ThreeRuns(dir)) metrics.AddRun(run);
    return metrics.Render();
  }
  if (kind == "empty_watch") {
    return FlowMetrics(FlowMetrics::Scope::kWatch).Render();
  }
  if (kind == "fleet_hostile_labels") {
    FlowMetrics metrics(FlowMetrics::Scope::kFleet);
    metrics.AddRun(BareRun("m\"1\\\n", "f\xff\n", FlowCheckCode::PASSED));
    metrics.AddRun(BareRun("m2", "boot", FlowCheckCode::ORDER_ERROR));
    for (const FlowRun& run : ThreeRuns(dir)) metrics.AddRun(run);
    return metrics.Render();
  }
  // Past the limit.
  FlowMetrics metrics(FlowMetrics::Scope::kFleet, 2);
  for (const FlowRun& run : ThreeRuns(dir)) metrics.AddRun(run);
  return metrics.Render();
}

class PromtoolTest : public ::testing::TestWithParam<const char*> {};

// Fault caught: a file node_exporter refuses whole (a family split or
// repeated, a counter without _total, a bad escape, buckets out of order).
TEST_P(PromtoolTest, AcceptsTheFile) {
  if (Missing(kPromtool)) GTEST_SKIP() << kPromtool << " missing";
  TempDir dir;
  const std::string path =
      dir.WriteFile("out.prom", FileOfKind(GetParam(), dir));
  const ChildResult result = Promtool(path);
  EXPECT_EQ(result.ExitCode(), 0) << result.standard_error;
  EXPECT_EQ(result.standard_output + result.standard_error, "");
}

INSTANTIATE_TEST_SUITE_P(Files, PromtoolTest,
                         ::testing::Values("three_runs", "empty_watch",
                                           "fleet_hostile_labels",
                                           "past_the_limit"));

int FreeLoopbackPort() {
  const kelpwood::base::UniqueFd fd(
      socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) !=
          0) {
    return -1;
  }
  return ntohs(address.sin_port);
}

// GET http://127.0.0.1:PORT/metrics: the body, or "" when nothing answers.
std::string FetchMetrics(int port) {
  const kelpwood::base::UniqueFd fd(
      socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address),
              sizeof address) != 0) {
    return "";
  }
  const std::string request =
      "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (write(fd.get(), request.data(), request.size()) !=
      static_cast<ssize_t>(request.size())) {
    return "";
  }
  std::string response;
  if (!kelpwood::base::ReadToEnd(fd.get(), response)) return "";
  const std::size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? "" : response.substr(body + 4);
}

// Fault caught: a file that node_exporter's textfile collector cannot read
// (scrape error), that its user cannot read (mode from the watch's umask
// 0077), or a temporary file it would read half-written.
TEST(NodeExporterTest, ServesTheFamiliesAfterPassedFailedAndDeadlineRuns) {
  if (Missing(kNodeExporter)) {
    GTEST_SKIP() << kNodeExporter << " missing";
  }
  TempDir dir;
  const TempDir textfile;
  WatchMetrics metrics(textfile.File("kelpwood.prom"), dir.path());
  for (const FlowRun& run : ThreeRuns(dir)) metrics.AddRun(run);
  const mode_t umask_before = umask(077);
  const std::string problem = metrics.Update(1, kBaseNs, true);
  umask(umask_before);
  ASSERT_EQ(problem, "");
  struct stat status {};
  ASSERT_EQ(stat(textfile.File("kelpwood.prom").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
  EXPECT_EQ(textfile.Entries(), std::vector<std::string>{"kelpwood.prom"});

  const int port = FreeLoopbackPort();
  ASSERT_GT(port, 0);
  ChildOptions options;
  options.deadline = std::chrono::seconds(40);
  ChildProcess exporter(
      kNodeExporter,
      {"--collector.disable-defaults", "--collector.textfile",
       "--collector.textfile.directory=" + textfile.path(),
       "--web.listen-address=127.0.0.1:" + std::to_string(port)},
      {}, options);
  std::string body;
  for (int attempt = 0; attempt < 100 && body.empty(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    body = FetchMetrics(port);
  }
  ASSERT_NE(body, "") << "node_exporter did not answer on port " << port;
  for (const char* line : {
           "node_textfile_scrape_error 0",
           "kelpwood_flow_runs_total{flow=\"boot\",result=\"PASSED\"} 1",
           "kelpwood_flow_runs_total{flow=\"boot\",result=\"POINT_FAILED\"} 1",
           "kelpwood_flow_runs_total{flow=\"boot\",result=\"POINT_MISSING\"} 1",
           "kelpwood_flow_failures_total{failure_id=\"302\",flow=\"boot\","
           "point=\"mount\"} 2",
           "kelpwood_flow_duration_seconds_count{flow=\"boot\"} 3",
           "kelpwood_flow_step_seconds_bucket{flow=\"boot\",step=\"ready\","
           "le=\"0.5\"} 1",
           "kelpwood_flow_points_dropped_total{flow=\"boot\"} 2",
           "kelpwood_watch_open_runs 1",
           "kelpwood_watch_verdicts_unwritten_total 0",
           "kelpwood_metrics_series_dropped_total 0",
       }) {
    EXPECT_NE(body.find(std::string("\n") + line + "\n"), std::string::npos)
        << line << "\nin:\n"
        << body;
  }
}

#ifdef KELPWOOD_FLOWS_TOOL

// One machine's export stream (journalctl -o export) of boot-flow points.
std::string ExportStream(
    const std::string& machine_id,
    const std::vector<std::pair<const char*, bool>>& points) {
  std::string stream;
  std::uint64_t at_us = kBaseNs / 1000;
  std::uint64_t monotonic = 1000;
  for (const auto& [point, ok] : points) {
    at_us += 2000;
    stream +=
        "__REALTIME_TIMESTAMP=" + std::to_string(at_us) +
        "\n__MONOTONIC_TIMESTAMP=" + std::to_string(monotonic++) +
        "\n_BOOT_ID=" + std::string(32, '1') + "\n_MACHINE_ID=" + machine_id +
        "\n_PID=42\n_UID=0\n_TRANSPORT=journal\n_COMM=publisher\n" +
        "MESSAGE=point\n" + "MESSAGE_ID=" + kelpwood::journal::kPointPublished +
        "\nFLOW_ID=boot\nPOINT_ID=" + point +
        "\nPOINT_SUCCESS=" + (ok ? "1" : "0") + "\n\n";
  }
  return stream;
}

// Fault caught: check --directory --metrics that mixes the machines of a
// fleet into one label set, or writes a file promtool refuses.
TEST(CheckMetricsTest, WritesTheFamiliesPerMachineOfAFleet) {
  if (Missing(kJournalRemote) || Missing(kPromtool)) {
    GTEST_SKIP() << kJournalRemote << " or " << kPromtool << " missing";
  }
  TempDir dir;
  const std::string config = dir.WriteFile("flows.yaml", kConfig);
  std::filesystem::create_directory(dir.File("fleet"));
  const std::string passing(32, 'a');
  const std::string failing(32, 'b');
  for (const auto& [machine, stream] :
       {std::make_pair(passing, ExportStream(passing, {{"init", true},
                                                       {"mount", true},
                                                       {"ready", true}})),
        std::make_pair(failing, ExportStream(failing, {{"init", true},
                                                       {"mount", false}}))}) {
    FILE* pipe = popen(
        (std::string(kJournalRemote) + " --output=" +
         dir.File("fleet/remote-" + machine + ".journal") + " - 2>/dev/null")
            .c_str(),
        "w");
    ASSERT_NE(pipe, nullptr);
    fwrite(stream.data(), 1, stream.size(), pipe);
    ASSERT_EQ(pclose(pipe), 0);
  }
  const ChildResult result =
      RunChild(KELPWOOD_FLOWS_TOOL,
               {"check", "--directory", dir.File("fleet"), "--metrics",
                dir.File("fleet.prom"), config},
               {"SPDLOG_STDOUT=false"});
  EXPECT_EQ(result.ExitCode(), 1) << result.standard_error;
  const std::string text = dir.ReadFile("fleet.prom");
  for (const std::string& line : {
           "kelpwood_flow_runs_total{machine=\"" + passing +
               "\",flow=\"boot\",result=\"PASSED\"} 1",
           "kelpwood_flow_runs_total{machine=\"" + failing +
               "\",flow=\"boot\",result=\"POINT_FAILED\"} 1",
           "kelpwood_flow_failures_total{machine=\"" + failing +
               "\",flow=\"boot\",point=\"mount\",failure_id=\"302\"} 1",
           "kelpwood_flow_step_seconds_bucket{machine=\"" + passing +
               "\",flow=\"boot\",step=\"ready\",le=\"0.005\"} 1",
       }) {
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos)
        << line << "\nin:\n"
        << text;
  }
  EXPECT_EQ(text.find("kelpwood_watch_"), std::string::npos);
  const ChildResult promtool = Promtool(dir.File("fleet.prom"));
  EXPECT_EQ(promtool.ExitCode(), 0) << promtool.standard_error;
}

#endif  // KELPWOOD_FLOWS_TOOL

}  // namespace
