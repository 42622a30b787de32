// kelpwood_demo: a small device traced with kelpwood's flow registry.
//
//   kelpwood_demo [FLOWS_YAML]
//
// Two simulated boards (two threads) run the device's workflows and record a
// trace point at every step. The flows are registered in code and, when a path
// is given, loaded from a YAML file (examples/flows.yaml). Each flow is then
// checked; its handler collects the result, and a summary table shows the
// outcome, the point at fault and the flow's duration. While the boards run,
// the main thread prints the boot flow's points as they are recorded, reading
// snapshots that are safe to take while other threads trace.
//
// Every flow is scripted to end in one known outcome: one passes cleanly, one
// passes with points that its configuration does not name, and each of the
// failure codes appears once. The program exits 0 when every flow produced the
// outcome it was scripted for and 1 otherwise, naming the flow.
//
// The library's own log lines go to standard output. Unless SPDLOG_LEVEL is
// already set, the demo sets it to "debug", so that the configuration loader's
// per-flow and per-point lines are shown as well.

#include <fmt/format.h>
#include <kelpwood/flow_timeline.h>
#include <kelpwood/flow_trace.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using kelpwood::trace::FlowCheckCode;
using kelpwood::trace::FlowCheckCodeName;
using kelpwood::trace::FlowCheckResult;
using kelpwood::trace::FlowTrace;
using kelpwood::trace::TraceFlowCfg;
using kelpwood::trace::TracePoint;
using kelpwood::trace::TracePointCfg;

using Metadata = std::vector<std::pair<std::string, std::string>>;

// Time that every simulated step takes, so that durations are visible.
constexpr std::chrono::milliseconds kStepTime{10};

enum class Board { kMain, kComms };

const char* BoardName(Board board) {
  return board == Board::kMain ? "main" : "comms";
}

// One step of a simulated workflow: the trace point it records.
struct Step {
  std::string point_id;
  bool success;
  // A point with metadata is built by the demo and recorded as an object.
  Metadata metadata;
};

// One flow of the device: who runs it, what it records, and the outcome that
// its recording is scripted to produce.
struct Scenario {
  std::string flow_id;
  bool from_file;  // declared in the YAML file rather than in code
  Board board;
  std::vector<Step> steps;
  FlowCheckCode expected_code;
  // Recorded point at fault and its position in the queue ("-" and -1 when
  // the result carries none), and the configured point at fault ("-": none).
  std::string expected_recorded;
  int expected_index;
  std::string expected_configured;
};

// Results gathered by the flow handlers. Handlers run inside CheckFlow with
// the registry locked, so they only store what they are given here and never
// call back into the registry.
class ResultTable {
 public:
  struct Entry {
    std::shared_ptr<FlowCheckResult> result;
    int calls = 0;
  };

  void Store(const std::string& flow_id,
             const std::shared_ptr<FlowCheckResult>& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = entries_[flow_id];
    entry.result = result;
    ++entry.calls;
  }

  Entry Find(const std::string& flow_id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(flow_id);
    return found == entries_.end() ? Entry{} : found->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

std::shared_ptr<TracePointCfg> MakePoint(const std::string& point_id,
                                         const std::string& description,
                                         bool is_critical,
                                         std::uint32_t failure_id) {
  auto point = std::make_shared<TracePointCfg>();
  point->point_id = point_id;
  point->description = description;
  point->is_critical = is_critical;
  point->failure_id = failure_id;
  return point;
}

std::shared_ptr<TracePointCfg> Critical(const std::string& point_id,
                                        const std::string& description,
                                        std::uint32_t failure_id) {
  return MakePoint(point_id, description, true, failure_id);
}

std::shared_ptr<TracePointCfg> Optional(const std::string& point_id,
                                        const std::string& description,
                                        std::uint32_t failure_id) {
  return MakePoint(point_id, description, false, failure_id);
}

// The flows that the device declares in code. Two are built as TraceFlowCfg
// objects, the others through the argument overload.
void RegisterFlowsInCode(FlowTrace& registry) {
  auto boot = std::make_shared<TraceFlowCfg>();
  boot->flow_id = "boot";
  boot->flow_name = "Boot sequence";
  boot->description = "From power-on to running services";
  boot->check_order = true;
  boot->flow_points = {
      Critical("power_on", "Supply rails up", 101),
      Critical("self_test", "Built-in self test", 102),
      Optional("load_calibration", "Factory calibration read", 103),
      Critical("network_up", "Network interface configured", 104),
      Critical("services_ready", "All services started", 105)};
  registry.RegisterTraceFlow(boot);

  registry.RegisterTraceFlow(
      "sensor_calibration",
      {Critical("sensor_probe", "Sensor answers on the bus", 201),
       Critical("calibrate", "Offsets measured", 202),
       Critical("store_offsets", "Offsets written to flash", 203)},
      "Sensor calibration", "Measure and store the sensor offsets", true);

  registry.RegisterTraceFlow(
      "storage_mount",
      {Critical("mount_data", "Data partition found", 301),
       Critical("fsck", "File system checked", 302),
       Critical("mount_ready", "Data partition mounted", 303)},
      "Storage mount", "Check and mount the data partition", true);

  auto app_start = std::make_shared<TraceFlowCfg>();
  app_start->flow_id = "app_start";
  app_start->flow_name = "Application start";
  app_start->check_order = true;
  app_start->flow_points = {Critical("load_config", "Configuration read", 401),
                            Critical("open_database", "Database opened", 402),
                            Critical("start_api", "API listening", 403)};
  registry.RegisterTraceFlow(app_start);

  // Order is not checked here: only presence and success matter.
  registry.RegisterTraceFlow(
      "telemetry",
      {Critical("collect_metrics", "Metrics sampled", 501),
       Critical("upload_metrics", "Metrics uploaded", 502)},
      "Telemetry", "Sample and upload the device metrics", false);

  // Registered, then withdrawn before the device runs: its handler stays, but
  // the flow itself is gone.
  registry.RegisterTraceFlow(
      "factory_reset", {Critical("wipe_userdata", "User data erased", 601)},
      "Factory reset", "Erase the user data", true);
  registry.RemoveTraceFlow("factory_reset");
}

std::vector<Scenario> DeviceScenarios() {
  const Metadata kSelfTest = {{"ram_test", "pass"}, {"cpu_temp_c", "41"}};
  const Metadata kImage = {{"image", "kelpwood-2.4.1.bin"}};
  return {
      // Every critical point in order; the optional calibration is skipped.
      {"boot",
       false,
       Board::kMain,
       {{"power_on", true, {}},
        {"self_test", true, kSelfTest},
        {"network_up", true, {}},
        {"services_ready", true, {}}},
       FlowCheckCode::PASSED,
       "-",
       -1,
       "-"},
      // The calibration step reports a failure.
      {"sensor_calibration",
       false,
       Board::kMain,
       {{"sensor_probe", true, {}}, {"calibrate", false, {}}},
       FlowCheckCode::POINT_FAILED,
       "calibrate",
       1,
       "calibrate"},
      // The file-system check never runs.
      {"storage_mount",
       false,
       Board::kMain,
       {{"mount_data", true, {}}, {"mount_ready", true, {}}},
       FlowCheckCode::POINT_MISSING,
       "-",
       -1,
       "fsck"},
      // Every step runs, but in reverse order.
      {"app_start",
       false,
       Board::kMain,
       {{"start_api", true, {}},
        {"open_database", true, {}},
        {"load_config", true, {}}},
       FlowCheckCode::ORDER_ERROR,
       "start_api",
       0,
       "load_config"},
      // The first download times out and is repeated; the retry succeeds.
      {"firmware_update",
       true,
       Board::kComms,
       {{"download", false, {}},
        {"download", true, {}},
        {"verify_signature", true, {}},
        {"flash_write", true, kImage}},
       FlowCheckCode::POINT_DUPLICATED,
       "download",
       1,
       "verify_signature"},
      // A DNS probe slips in before the association.
      {"network_join",
       true,
       Board::kComms,
       {{"wifi_scan", true, {}},
        {"dns_probe", true, {}},
        {"wifi_associate", true, {}},
        {"dhcp_lease", true, {}}},
       FlowCheckCode::POINT_INVALID,
       "dns_probe",
       1,
       "wifi_associate"},
      // Compression is not part of the flow: reported, but the flow passes.
      {"telemetry",
       false,
       Board::kComms,
       {{"collect_metrics", true, {}},
        {"compress_batch", true, {}},
        {"upload_metrics", true, {}}},
       FlowCheckCode::PASSED,
       "-",
       -1,
       "-"},
      // The flow was withdrawn: its point is refused and the check finds
      // nothing.
      {"factory_reset",
       false,
       Board::kComms,
       {{"wipe_userdata", true, {}}},
       FlowCheckCode::FLOW_NOT_FOUND,
       "-",
       -1,
       "-"},
  };
}

// One simulated board: runs its scenarios one after the other, one trace
// point per step.
void RunBoard(Board board, const std::vector<Scenario>& scenarios,
              bool file_loaded) {
  FlowTrace& registry = FlowTrace::GetInstance();
  for (const Scenario& scenario : scenarios) {
    if (scenario.board != board || (scenario.from_file && !file_loaded)) {
      continue;
    }
    for (const Step& step : scenario.steps) {
      std::this_thread::sleep_for(kStepTime);
      if (step.metadata.empty()) {
        registry.Trace(scenario.flow_id, step.point_id, step.success);
      } else {
        auto point = std::make_shared<TracePoint>(step.point_id, step.success);
        point->metadata = step.metadata;
        registry.Trace(scenario.flow_id, point);
      }
    }
  }
}

std::string OrDash(const std::string& text) {
  return text.empty() ? "-" : text;
}

std::string RecordedAtFault(const FlowCheckResult& result) {
  return result.trace_point ? OrDash(result.trace_point->point_id) : "-";
}

std::string ConfiguredAtFault(const FlowCheckResult& result) {
  return result.point_cfg ? OrDash(result.point_cfg->point_id) : "-";
}

// How a flow's check departs from what its scenario was scripted to produce:
// the code, the points at fault, the handler's one call with the very result
// that CheckFlow returned, and the duration. Empty when it behaved.
std::vector<std::string> Differences(
    const Scenario& scenario, const std::shared_ptr<FlowCheckResult>& result,
    const ResultTable::Entry& handled, std::uint64_t duration_ms) {
  std::vector<std::string> differences;
  if (result->result != scenario.expected_code) {
    differences.push_back(
        fmt::format("result {}, expected {}", FlowCheckCodeName(result->result),
                    FlowCheckCodeName(scenario.expected_code)));
  }
  const std::string recorded = RecordedAtFault(*result);
  const std::string configured = ConfiguredAtFault(*result);
  if (recorded != scenario.expected_recorded ||
      configured != scenario.expected_configured) {
    differences.push_back(fmt::format(
        "point at fault {} / {}, expected {} / {}", recorded, configured,
        scenario.expected_recorded, scenario.expected_configured));
  }
  if (result->trace_point &&
      result->trace_point->index != scenario.expected_index) {
    differences.push_back(
        fmt::format("recorded point at fault is #{} of the queue, expected #{}",
                    result->trace_point->index, scenario.expected_index));
  }
  if (handled.calls != 1 || handled.result != result) {
    differences.push_back(fmt::format(
        "handler called {} time(s){}", handled.calls,
        handled.result == result ? "" : " with another result object"));
  }
  // A flow that is found spans at least the steps between its first and last
  // points, less the millisecond that truncating both time stamps may lose.
  if (scenario.expected_code == FlowCheckCode::FLOW_NOT_FOUND) {
    if (duration_ms != 0) {
      differences.push_back(
          fmt::format("duration {} ms, expected 0 ms", duration_ms));
    }
  } else {
    const auto spans = static_cast<std::uint64_t>(scenario.steps.size() - 1) *
                       static_cast<std::uint64_t>(kStepTime.count());
    const std::uint64_t least = spans > 0 ? spans - 1 : 0;
    if (duration_ms < least) {
      differences.push_back(fmt::format(
          "duration {} ms, expected at least {} ms", duration_ms, least));
    }
  }
  return differences;
}

}  // namespace

int main(int argc, char** argv) {
  // Must happen before the first message: the logger reads its environment
  // once, when it is built.
  setenv("SPDLOG_LEVEL", "debug", /*overwrite=*/0);

  FlowTrace& registry = FlowTrace::GetInstance();
  auto results = std::make_shared<ResultTable>();
  const std::vector<Scenario> scenarios = DeviceScenarios();

  fmt::print("== Registering flows in code\n");
  RegisterFlowsInCode(registry);

  bool file_loaded = false;
  if (argc > 1) {
    fmt::print("== Loading {}\n", argv[1]);
    registry.Init(argv[1]);
    file_loaded = true;
  } else {
    fmt::print(
        "== No flow file given (usage: {} FLOWS_YAML): skipping the flows it "
        "declares\n",
        argv[0]);
  }

  fmt::print("== Registering one handler per flow\n");
  for (const Scenario& scenario : scenarios) {
    if (scenario.from_file && !file_loaded) continue;
    registry.RegisterFlowHandler(
        scenario.flow_id,
        [results](const std::string& flow_id,
                  const std::shared_ptr<FlowCheckResult>& result) {
          results->Store(flow_id, result);
        });
  }

  fmt::print("== Running the device on two boards (threads)\n");
  std::atomic<int> boards_running{2};
  auto run_board = [&](Board board) {
    RunBoard(board, scenarios, file_loaded);
    --boards_running;
  };
  std::thread main_board(run_board, Board::kMain);
  std::thread comms_board(run_board, Board::kComms);

  // Meanwhile the main thread follows the boot flow, printing each point once
  // it has been recorded. The main board appends to that queue at the same
  // time, so it is read through a snapshot (CopyTracePoints), never through
  // the live reference that GetTracePoints hands out.
  std::size_t boot_points_shown = 0;
  auto show_new_boot_points = [&] {
    const auto snapshot = registry.CopyTracePoints("boot");
    for (; boot_points_shown < snapshot.size(); ++boot_points_shown) {
      fmt::print("   boot: {}\n", snapshot[boot_points_shown]->point_id);
    }
  };
  while (boards_running.load() > 0) {
    show_new_boot_points();
    std::this_thread::sleep_for(kStepTime);
  }
  main_board.join();
  comms_board.join();
  show_new_boot_points();

  fmt::print("== Checking every flow\n");
  struct Row {
    const Scenario* scenario;
    std::shared_ptr<FlowCheckResult> result;
    std::uint64_t duration_ms;
  };
  std::vector<Row> rows;
  for (const Scenario& scenario : scenarios) {
    if (scenario.from_file && !file_loaded) continue;
    rows.push_back({&scenario, registry.CheckFlow(scenario.flow_id), 0});
  }

  fmt::print("== Measuring durations\n");
  for (Row& row : rows) {
    row.duration_ms = registry.GetFlowDuration(row.scenario->flow_id);
  }

  fmt::print("\n{:<19} {:<6} {:<17} {:<17} {:<17} {:>7} {:>8}\n", "flow",
             "board", "result", "recorded point", "configured point", "failure",
             "ms");
  for (const Row& row : rows) {
    const FlowCheckResult& result = *row.result;
    fmt::print(
        "{:<19} {:<6} {:<17} {:<17} {:<17} {:>7} {:>8}\n",
        row.scenario->flow_id, BoardName(row.scenario->board),
        FlowCheckCodeName(result.result), RecordedAtFault(result),
        ConfiguredAtFault(result),
        result.point_cfg ? std::to_string(result.point_cfg->failure_id) : "-",
        row.duration_ms);
  }

  // With KELPWOOD_DEMO_TIMELINE=PREFIX, the checked runs are also drawn as
  // PREFIX.html and PREFIX.json (Chrome trace-event JSON, for Perfetto).
  if (const char* prefix = std::getenv("KELPWOOD_DEMO_TIMELINE")) {
    kelpwood::trace::FlowTimeline timeline;
    for (const Row& row : rows) {
      timeline.AddRun(row.scenario->flow_id, *row.result);
    }
    for (const auto& [format, extension] :
         {std::pair{kelpwood::trace::TimelineFormat::kHtml, ".html"},
          std::pair{kelpwood::trace::TimelineFormat::kChrome, ".json"}}) {
      std::string error;
      const std::string path = prefix + std::string(extension);
      if (timeline.Write(path, format, &error)) {
        fmt::print("\ndemo: timeline written to {}", path);
      } else {
        fmt::print("\ndemo: {}", error);
      }
    }
    fmt::print("\n");
  }

  fmt::print("\n");
  int misbehaving = 0;
  for (const Row& row : rows) {
    const std::vector<std::string> differences =
        Differences(*row.scenario, row.result,
                    results->Find(row.scenario->flow_id), row.duration_ms);
    if (differences.empty()) continue;
    ++misbehaving;
    fmt::print("demo: flow '{}' misbehaved: {}\n", row.scenario->flow_id,
               fmt::join(differences, "; "));
  }
  if (misbehaving > 0) return EXIT_FAILURE;
  fmt::print("demo: all {} flows produced their intended result{}\n",
             rows.size(),
             file_loaded ? "" : " (flows of the YAML file skipped)");
  return EXIT_SUCCESS;
}
