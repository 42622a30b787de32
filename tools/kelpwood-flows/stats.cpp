// kelpwood-flows stats: the time each step of a flow takes, over many runs,
// from a trace file or from journals, and within_ms budgets suggested from
// those times.

#include <fmt/format.h>
#include <getopt.h>
#include <systemd/sd-id128.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "journal/journal_reader.h"
#include "library_log.h"
#include "runs/flow_runs.h"
#include "trace/src/flow_run.h"
#include "trace/src/flow_steps.h"
#include "trace_file.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using trace::FlowRun;

const char kStatsHelp[] =
    "Usage: kelpwood-flows stats [OPTION]... CONFIG TRACE\n"
    "  or:  kelpwood-flows stats [OPTION]... --journal [--boot[=ID]]\n"
    "                            CONFIG...\n"
    "  or:  kelpwood-flows stats [OPTION]... --directory DIR [--machine ID]\n"
    "                            CONFIG...\n"
    "Show how long each step of each flow takes over its runs, and how long\n"
    "the runs take, as count, p50, p95, p99 and max in milliseconds.\n"
    "\n"
    "A step's time is the time from the previous recorded point that the\n"
    "flow names (its flow_points, or the points of its steps) to the step's\n"
    "point, in each run; a point recorded more than once gives one time per\n"
    "recording. The first named point of a run gives none. A run's duration\n"
    "runs from its first to its last recorded point. Every run counts,\n"
    "whatever its verdict.\n"
    "\n"
    "Percentiles are nearest-rank: the p-th percentile of N sorted times is\n"
    "the one at rank ceil(p / 100 * N), counting from 1.\n"
    "\n"
    "Runs are cut as 'watch' cuts them, from the journal (--journal, or\n"
    "--directory DIR of journal files collected from devices) or from TRACE:\n"
    "a run starts at a flow's first point and ends at its last configured\n"
    "point (ordered flows), once every configured point arrived (unordered\n"
    "flows), at its deadline_ms, or at the end of the input; a steps flow's\n"
    "run ends only at its deadline or the end of the input. TRACE holds one\n"
    "point per line, as for 'check': FLOW_ID POINT_ID [ok|fail] [TIME], TIME\n"
    "in milliseconds; '-' reads standard input.\n"
    "\n"
    "Options:\n"
    "      --json             print one JSON object, times in nanoseconds\n"
    "      --suggest-budgets  print a YAML fragment of within_ms per step:\n"
    "                         p99 x 1.5 rounded up to 10 ms, only for steps\n"
    "                         timed in at least 20 runs\n"
    "  -j, --journal          read the runs from the local journal\n"
    "  -b, --boot[=ID]        with --journal: only the current boot, or ID\n"
    "  -D, --directory DIR    read the runs from the journal files in DIR\n"
    "  -m, --machine ID       only the runs of machine ID (32 hex digits)\n"
    "  -v, --verbose          also show the library's own log lines\n"
    "  -h, --help             display this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  runs were found\n"
    "  1  no runs of the configured flows were found\n"
    "  2  usage error, a malformed TRACE line, or a file or journal that\n"
    "     cannot be read\n";

// Steps timed in fewer runs get no suggested budget.
constexpr std::uint64_t kMinRunsForBudget = 20;

struct StepStats {
  std::string point_id;
  std::vector<std::int64_t> times_ns;
  std::uint64_t runs = 0;  // runs that timed the step at least once
};

struct FlowStats {
  std::uint64_t runs = 0;
  std::vector<StepStats> steps;  // in writing order
  std::map<std::string, std::size_t> step_of;
  std::vector<std::int64_t> durations_ns;
};

using AllStats = std::map<std::string, FlowStats>;

// The ids a run's flow names, in writing order, each once.
std::vector<std::string> NamedPoints(const FlowRun& run) {
  std::vector<std::string> ids;
  if (run.steps) {
    for (const auto& point : run.steps->points) ids.push_back(point->point_id);
  } else if (run.cfg) {
    for (const auto& point : run.cfg->flow_points) {
      ids.push_back(point->point_id);
    }
  }
  return ids;
}

void AddRun(const FlowRun& run, AllStats& all) {
  if (run.points.empty()) return;
  FlowStats& flow = all[run.flow_id];
  if (flow.runs++ == 0) {
    for (const std::string& id : NamedPoints(run)) {
      if (flow.step_of.emplace(id, flow.steps.size()).second) {
        flow.steps.push_back(StepStats{id, {}, 0});
      }
    }
  }
  std::vector<bool> timed(flow.steps.size(), false);
  bool has_previous = false;
  std::int64_t previous_ns = 0;
  std::int64_t first_ns = run.points.front().time_ns;
  std::int64_t last_ns = first_ns;
  for (const trace::RunPoint& point : run.points) {
    first_ns = std::min(first_ns, point.time_ns);
    last_ns = std::max(last_ns, point.time_ns);
    const auto step = flow.step_of.find(point.point_id);
    if (step == flow.step_of.end()) continue;
    if (has_previous) {
      flow.steps[step->second].times_ns.push_back(point.time_ns - previous_ns);
      timed[step->second] = true;
    }
    has_previous = true;
    previous_ns = point.time_ns;
  }
  for (std::size_t i = 0; i < timed.size(); ++i) {
    if (timed[i]) ++flow.steps[i].runs;
  }
  flow.durations_ns.push_back(last_ns - first_ns);
}

// Nearest rank: the value at rank ceil(percent / 100 * N), from 1.
// REQUIRES: `sorted` is sorted and not empty.
std::int64_t Percentile(const std::vector<std::int64_t>& sorted,
                        unsigned percent) {
  const std::size_t rank = (percent * sorted.size() + 99) / 100;
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

struct Summary {
  std::size_t count = 0;
  std::int64_t p50 = 0, p95 = 0, p99 = 0, max = 0;
};

Summary Summarize(std::vector<std::int64_t>& times) {
  Summary summary;
  summary.count = times.size();
  if (times.empty()) return summary;
  std::sort(times.begin(), times.end());
  summary.p50 = Percentile(times, 50);
  summary.p95 = Percentile(times, 95);
  summary.p99 = Percentile(times, 99);
  summary.max = times.back();
  return summary;
}

std::string Milliseconds(std::int64_t ns) {
  return fmt::format("{:.3f}", static_cast<double>(ns) / 1e6);
}

std::vector<std::string> Row(const std::string& flow, const std::string& step,
                             std::uint64_t runs, const Summary& summary) {
  std::vector<std::string> row = {flow, step, std::to_string(runs),
                                  std::to_string(summary.count)};
  for (const std::int64_t value :
       {summary.p50, summary.p95, summary.p99, summary.max}) {
    row.push_back(summary.count == 0 ? "-" : Milliseconds(value));
  }
  return row;
}

std::uint64_t TotalRuns(const AllStats& all) {
  std::uint64_t runs = 0;
  for (const auto& entry : all) runs += entry.second.runs;
  return runs;
}

void PrintText(AllStats& all) {
  std::vector<std::vector<std::string>> rows = {{"FLOW", "STEP", "RUNS",
                                                 "COUNT", "P50_MS", "P95_MS",
                                                 "P99_MS", "MAX_MS"}};
  for (auto& [flow_id, flow] : all) {
    const std::string flow_text = cli::EscapeControls(flow_id);
    for (StepStats& step : flow.steps) {
      rows.push_back(Row(flow_text, cli::EscapeControls(step.point_id),
                         step.runs, Summarize(step.times_ns)));
    }
    rows.push_back(
        Row(flow_text, "(run)", flow.runs, Summarize(flow.durations_ns)));
  }
  cli::PrintTable(rows);
  const std::uint64_t runs = TotalRuns(all);
  fmt::print("{} {} of {} {}\n", runs, runs == 1 ? "run" : "runs", all.size(),
             all.size() == 1 ? "flow" : "flows");
}

std::string SummaryJson(const Summary& summary) {
  std::string out = "\"count\":" + std::to_string(summary.count);
  const std::pair<const char*, std::int64_t> fields[] = {
      {"p50_ns", summary.p50},
      {"p95_ns", summary.p95},
      {"p99_ns", summary.p99},
      {"max_ns", summary.max}};
  for (const auto& [name, value] : fields) {
    out += fmt::format(",\"{}\":{}", name,
                       summary.count == 0 ? "null" : std::to_string(value));
  }
  return out;
}

void PrintJson(AllStats& all) {
  std::string flows;
  for (auto& [flow_id, flow] : all) {
    std::string steps;
    for (StepStats& step : flow.steps) {
      if (!steps.empty()) steps += ",";
      steps += "{\"point_id\":" + cli::JsonString(step.point_id) +
               ",\"runs\":" + std::to_string(step.runs) + "," +
               SummaryJson(Summarize(step.times_ns)) + "}";
    }
    if (!flows.empty()) flows += ",";
    flows += "{\"flow_id\":" + cli::JsonString(flow_id) +
             ",\"runs\":" + std::to_string(flow.runs) + ",\"steps\":[" + steps +
             "],\"duration\":{" + SummaryJson(Summarize(flow.durations_ns)) +
             "}}";
  }
  fmt::print("{{\"flows\":[{}],\"runs\":{}}}\n", flows, TotalRuns(all));
}

// p99 x 1.5 in milliseconds, rounded up to 10 ms; at least 10.
std::int64_t SuggestedWithinMs(std::int64_t p99_ns) {
  const std::int64_t three_halves = std::max<std::int64_t>(p99_ns, 0) * 3;
  const std::int64_t tens = (three_halves + 20'000'000 - 1) / 20'000'000;
  return std::max<std::int64_t>(tens, 1) * 10;
}

void PrintBudgets(AllStats& all) {
  for (auto& [flow_id, flow] : all) {
    std::string steps;
    for (StepStats& step : flow.steps) {
      if (step.runs == 0) continue;  // never timed, as the first step
      const std::string id = cli::EscapeControls(step.point_id);
      if (step.runs < kMinRunsForBudget) {
        steps += fmt::format(
            "    # point_id: {}: timed in {} runs, fewer than {}: no budget\n",
            id, step.runs, kMinRunsForBudget);
        continue;
      }
      steps += fmt::format("    - point_id: {}\n      within_ms: {}\n", id,
                           SuggestedWithinMs(Summarize(step.times_ns).p99));
    }
    fmt::print(
        "# within_ms suggested from {} {} of flow '{}' (p99 x 1.5, rounded "
        "up to 10 ms)\n- flow_id: {}\n  steps:\n{}",
        flow.runs, flow.runs == 1 ? "run" : "runs",
        cli::EscapeControls(flow_id), cli::EscapeControls(flow_id), steps);
  }
}

struct StatsOptions {
  bool json = false;
  bool budgets = false;
  bool verbose = false;
  bool local = false;
  std::string directory;
  bool by_boot = false;
  std::string boot_id;
  std::string machine_id;
};

// Prints what `all` holds as the options ask; 0 with runs, 1 without.
int Report(const StatsOptions& options, AllStats& all) {
  if (options.json) {
    PrintJson(all);
  } else if (all.empty()) {
    fmt::print("No runs of the configured flows found.\n");
  } else if (options.budgets) {
    PrintBudgets(all);
  } else {
    PrintText(all);
  }
  return all.empty() ? kExitFindings : kExitClean;
}

bool LoadConfigs(const std::vector<std::string>& configs,
                 std::map<std::string, runs::WatchedFlow>& flows) {
  std::vector<std::string> dropped;
  std::string error;
  if (!runs::LoadWatchedFlows(configs, flows, error, &dropped)) {
    cli::Error("stats: {}", cli::EscapeControls(error));
    return false;
  }
  ReportDroppedFlowEntries(dropped);
  return true;
}

int TraceStats(const StatsOptions& options, const std::string& config_path,
               const std::string& trace_path) {
  std::string content;
  std::string error;
  if (!cli::ReadInput(trace_path, content, error)) {
    cli::Error("{}: {}", cli::EscapeControls(trace_path), error);
    return kExitTrouble;
  }
  std::vector<TraceRecord> records;
  if (!ParseTraceFile(trace_path, content, records)) return kExitTrouble;
  std::map<std::string, runs::WatchedFlow> flows;
  if (!LoadConfigs({config_path}, flows)) return kExitTrouble;
  AllStats all;
  runs::FlowRunEngine engine(flows, [&](FlowRun&& run) { AddRun(run, all); });
  const std::vector<std::int64_t> times = RecordTimes(records);
  journal::FlowEntry entry;
  for (std::size_t i = 0; i < records.size(); ++i) {
    entry.flow_id = records[i].flow_id;
    entry.point_id = records[i].point_id;
    entry.success = records[i].success;
    entry.time_ns = times[i];
    entry.realtime_us = static_cast<std::uint64_t>(times[i] / 1000);
    entry.monotonic_us = entry.realtime_us;
    engine.Add(entry);
  }
  engine.EndAllRuns();
  return Report(options, all);
}

int JournalStats(const StatsOptions& options,
                 const std::vector<std::string>& configs) {
  std::map<std::string, runs::WatchedFlow> flows;
  if (!LoadConfigs(configs, flows)) return kExitTrouble;
  std::unique_ptr<journal::JournalReader> reader = OpenJournalSource(
      "stats", options.local, options.directory, options.by_boot,
      options.boot_id, options.machine_id, 0);
  if (!reader) return kExitTrouble;
  AllStats all;
  runs::FlowRunEngine engine(flows, [&](FlowRun&& run) { AddRun(run, all); });
  journal::FlowEntry entry;
  int step = 0;
  while ((step = reader->Next(entry)) > 0) engine.Add(entry);
  if (step < 0) {
    cli::Error("stats: cannot read the journal: {}", std::strerror(-step));
    return kExitTrouble;
  }
  engine.EndAllRuns();
  return Report(options, all);
}

bool IsId128(const std::string& text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Parses argv into `options`, leaving optind at the first operand. Returns
// -1 to go on, or the exit status: help printed, or a usage error reported.
int ParseStatsOptions(int argc, char** argv, StatsOptions& options) {
  enum { kJson = 256, kBudgets };
  static const option kOptions[] = {
      {"json", no_argument, nullptr, kJson},
      {"suggest-budgets", no_argument, nullptr, kBudgets},
      {"journal", no_argument, nullptr, 'j'},
      {"boot", optional_argument, nullptr, 'b'},
      {"directory", required_argument, nullptr, 'D'},
      {"machine", required_argument, nullptr, 'm'},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  options.verbose = Globals().verbose;
  opterr = 0;
  for (int option; (option = cli::GetoptLong(argc, argv, ":jb::D:m:vh",
                                             kOptions, nullptr)) != -1;) {
    switch (option) {
      case kJson:
        options.json = true;
        break;
      case kBudgets:
        options.budgets = true;
        break;
      case 'j':
        options.local = true;
        break;
      case 'b':
        options.by_boot = true;
        options.boot_id = optarg != nullptr ? optarg : "";
        break;
      case 'D':
        options.directory = optarg;
        break;
      case 'm':
        options.machine_id = optarg;
        break;
      case 'v':
        options.verbose = true;
        break;
      case 'h':
        fmt::print("{}", kStatsHelp);
        return kExitClean;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
  }
  return -1;
}

// Refuses options that cannot be meant together and resolves the current
// boot. Returns -1 to go on, or the exit status.
int CheckStatsOptions(StatsOptions& options) {
  const bool journal = options.local || !options.directory.empty();
  if (options.local && !options.directory.empty()) {
    return cli::UsageError(
        "stats: give only one of --journal and --directory DIR");
  }
  if (options.json && options.budgets) {
    return cli::UsageError(
        "stats: --json and --suggest-budgets cannot be combined");
  }
  if (options.json && options.verbose) {
    return cli::UsageError("stats: --json and --verbose cannot be combined");
  }
  if (!journal && (options.by_boot || !options.machine_id.empty())) {
    return cli::UsageError(
        "stats: --boot and --machine need --journal or --directory DIR");
  }
  if (options.by_boot && !options.local) {
    return cli::UsageError("stats: --boot needs --journal");
  }
  if (options.by_boot && options.boot_id.empty()) {
    sd_id128_t current;
    char text[SD_ID128_STRING_MAX];
    const int result = sd_id128_get_boot(&current);
    if (result < 0) {
      cli::Error("stats: cannot read the current boot id: {}",
                 std::strerror(-result));
      return kExitTrouble;
    }
    options.boot_id = sd_id128_to_string(current, text);
  }
  for (const auto& [id, what] : {std::pair{options.boot_id, "boot"},
                                 std::pair{options.machine_id, "machine"}}) {
    if (!id.empty() && !IsId128(id)) {
      return cli::UsageError(
          fmt::format("stats: '{}' is not a {} id (32 hex digits)",
                      cli::EscapeControls(id), what));
    }
  }
  return -1;
}

}  // namespace

int StatsCommand(int argc, char** argv) {
  StatsOptions options;
  if (const int status = ParseStatsOptions(argc, argv, options); status >= 0) {
    return status;
  }
  if (const int status = CheckStatsOptions(options); status >= 0) {
    return status;
  }
  const int operands = argc - optind;
  if (options.local || !options.directory.empty()) {
    if (operands == 0) return cli::UsageError("stats: missing CONFIG");
    SetUpLibraryLog(options.verbose);
    return JournalStats(options,
                        std::vector<std::string>(argv + optind, argv + argc));
  }
  if (operands != 2) {
    return cli::UsageError(operands < 2 ? "stats: missing CONFIG or TRACE"
                                        : "stats: too many operands");
  }
  if (std::string(argv[optind]) == "-") {
    return cli::UsageError("stats: CONFIG cannot be '-'");
  }
  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(options.verbose);
  return TraceStats(options, argv[optind], argv[optind + 1]);
}

}  // namespace flows_tool
}  // namespace kelpwood
