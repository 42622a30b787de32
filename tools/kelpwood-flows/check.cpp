// kelpwood-flows check: loads a flow file exactly as a device does, replays
// a recorded trace into it and runs the flow check on every flow the trace
// names.

#include <fmt/format.h>
#include <getopt.h>
#include <kelpwood/flow_trace.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "library_log.h"
#include "trace_file.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using trace::FlowCheckCode;
using trace::FlowCheckCodeName;
using trace::FlowTrace;
using trace::TracePoint;

std::string ConfiguredPoint(const trace::TracePointCfg& point) {
  std::string text = point.is_critical ? "<" + point.point_id + ">"
                                       : "[" + point.point_id + "]";
  if (point.failure_id != 0) text += "#" + std::to_string(point.failure_id);
  return text;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size()) {
        line.append(widths[column] - row[column].size() + 2, ' ');
      }
    }
    fmt::print("{}\n", line);
  }
}

// One checked flow, with what the table and the JSON object show of it.
struct FlowOutcome {
  std::string flow_id;
  std::shared_ptr<trace::FlowCheckResult> result;
  std::vector<std::string> points;  // recorded, in order
  int fault_line = 0;               // TRACE line of the recorded point at fault
};

void PrintJson(const std::string& config_path, const std::string& trace_path,
               std::size_t load_errors, const std::vector<FlowOutcome>& flows,
               std::size_t passed) {
  std::string results;
  for (const FlowOutcome& flow : flows) {
    std::string points;
    for (const std::string& point : flow.points) {
      if (!points.empty()) points += ",";
      points += cli::JsonString(point);
    }
    const trace::FlowCheckResult& result = *flow.result;
    std::string recorded = "null";
    if (result.trace_point) {
      recorded = fmt::format(
          "{{\"point_id\":{},\"line\":{}}}",
          cli::JsonString(result.trace_point->point_id),
          flow.fault_line == 0 ? "null" : std::to_string(flow.fault_line));
    }
    std::string configured = "null";
    std::string failure_id = "null";
    if (result.point_cfg) {
      failure_id = std::to_string(result.point_cfg->failure_id);
      configured = fmt::format(
          "{{\"point_id\":{},\"critical\":{},\"failure_id\":{}}}",
          cli::JsonString(result.point_cfg->point_id),
          result.point_cfg->is_critical ? "true" : "false", failure_id);
    }
    if (!results.empty()) results += ",";
    results += fmt::format(
        "{{\"flow\":{},\"code\":\"{}\",\"points\":[{}],\"failure_id\":{},"
        "\"recorded_at_fault\":{},\"configured_at_fault\":{}}}",
        cli::JsonString(flow.flow_id), FlowCheckCodeName(result.result), points,
        failure_id, recorded, configured);
  }
  fmt::print(
      "{{\"config\":{},\"trace\":{},\"loader_errors\":{},\"results\":[{}],"
      "\"passed\":{},\"total\":{}}}\n",
      cli::JsonString(config_path), cli::JsonString(trace_path), load_errors,
      results, passed, flows.size());
}

int Check(const std::string& config_path, const std::string& trace_path,
          bool json) {
  if (config_path == "-" && trace_path == "-") {
    return cli::UsageError("check: CONFIG and TRACE cannot both be '-'");
  }
  std::string config;
  std::string content;
  std::string error;
  if (!cli::ReadInput(config_path, config, error)) {
    cli::Error("{}: {}", cli::EscapeControls(config_path), error);
    return kExitTrouble;
  }
  if (!cli::ReadInput(trace_path, content, error)) {
    cli::Error("{}: {}", cli::EscapeControls(trace_path), error);
    return kExitTrouble;
  }
  std::vector<TraceRecord> records;
  if (!ParseTraceFile(trace_path, content, records)) return kExitTrouble;

  // The loader takes a path: a configuration read from standard input is
  // handed over as an anonymous in-memory file, which it reads like any
  // regular file.
  std::string load_path = config_path;
  std::optional<cli::UniqueFd> memory;
  if (config_path == "-") {
    memory.emplace(::memfd_create("kelpwood-flows-config", MFD_CLOEXEC));
    if (memory->get() < 0 ||
        ::write(memory->get(), config.data(), config.size()) !=
            static_cast<ssize_t>(config.size())) {
      cli::Error("-: cannot keep standard input: {}", std::strerror(errno));
      return kExitTrouble;
    }
    load_path = fmt::format("/proc/self/fd/{}", memory->get());
  }

  FlowTrace& registry = FlowTrace::GetInstance();
  const std::size_t load_errors = LoadConfiguration(config_path, load_path);

  // Points are made here rather than by Trace(flow, id, ok), so that the
  // point at fault can be traced back to its line.
  std::vector<FlowOutcome> flows;
  std::map<std::string, std::size_t> flow_index;
  std::map<const TracePoint*, int> point_lines;
  for (const TraceRecord& record : records) {
    const auto [known, inserted] =
        flow_index.emplace(record.flow_id, flows.size());
    if (inserted) flows.push_back({record.flow_id, nullptr, {}, 0});
    flows[known->second].points.push_back(record.point_id);
    auto point = std::make_shared<TracePoint>(record.point_id, record.success);
    if (record.time_ns) point->timestamp = *record.time_ns / 1'000'000;
    point_lines[point.get()] = record.line;
    registry.Trace(record.flow_id, point);
  }

  std::vector<std::vector<std::string>> rows = {
      {"FLOW", "RESULT", "RECORDED AT FAULT", "CONFIGURED AT FAULT"}};
  std::size_t passed = 0;
  for (FlowOutcome& flow : flows) {
    flow.result = registry.CheckFlow(flow.flow_id);
    const trace::FlowCheckResult& result = *flow.result;
    if (result.result == FlowCheckCode::PASSED) ++passed;
    std::string recorded = "-";
    if (result.trace_point) {
      recorded = result.trace_point->point_id;
      const auto line = point_lines.find(result.trace_point.get());
      if (line != point_lines.end()) {
        flow.fault_line = line->second;
        recorded += " (line " + std::to_string(line->second) + ")";
      }
    }
    const std::string configured =
        result.point_cfg ? ConfiguredPoint(*result.point_cfg) : "-";
    rows.push_back(
        {cli::EscapeControls(flow.flow_id), FlowCheckCodeName(result.result),
         cli::EscapeControls(recorded), cli::EscapeControls(configured)});
  }
  if (json) {
    PrintJson(config_path, trace_path, load_errors, flows, passed);
  } else {
    PrintTable(rows);
    fmt::print("{} of {} {} passed\n", passed, flows.size(),
               flows.size() == 1 ? "flow" : "flows");
  }
  return passed == flows.size() ? kExitClean : kExitFindings;
}

const char kCheckHelp[] =
    "Usage: kelpwood-flows check [OPTION]... CONFIG TRACE\n"
    "Load the flow configuration CONFIG as a device does, replay the points\n"
    "recorded in TRACE, then check each flow that TRACE names, in order of\n"
    "first mention. Print one row per flow: the flow, its result, the\n"
    "recorded point at fault (with its TRACE line) and the configured point\n"
    "at fault, <critical> or [optional], with #failure_id when set.\n"
    "\n"
    "TRACE holds one recorded point per line:\n"
    "  FLOW_ID POINT_ID [ok|fail] [TIME]\n"
    "separated by blanks; the status defaults to ok. TIME, the point's time\n"
    "in milliseconds with up to six decimals, becomes its timestamp (the\n"
    "time of the replay otherwise). Blank lines are skipped\n"
    "and '#' starts a comment that runs to the end of the line. Either CONFIG\n"
    "or TRACE (not both) may be '-' for standard input.\n"
    "\n"
    "Results:\n"
    "  PASSED            the flow went as configured\n"
    "  POINT_FAILED      a configured point's latest recording is 'fail'\n"
    "  POINT_MISSING     a critical point was never recorded, or skipped\n"
    "  POINT_DUPLICATED  a point repeats the recorded point before it\n"
    "  POINT_INVALID     a point stands where it does not belong\n"
    "  ORDER_ERROR       any other order mismatch at a critical point\n"
    "  FLOW_NOT_FOUND    CONFIG has no such flow\n"
    "The order is checked only for flows whose check_order is true.\n"
    "\n"
    "Options:\n"
    "  -j, --json      print one JSON object instead of the table (below)\n"
    "  -v, --verbose   also show the library's own log lines (not with\n"
    "                  --json, whose output they would break)\n"
    "  -h, --help      display this help and exit\n"
    "\n"
    "With --json, standard output is one line holding one object:\n"
    "  {\"config\":S,\"trace\":S,\"loader_errors\":N,\"results\":[RESULT...],\n"
    "   \"passed\":N,\"total\":N}\n"
    "RESULT: {\"flow\":S,\"code\":S,\"points\":[S...],\"failure_id\":N|null,\n"
    "         \"recorded_at_fault\":{\"point_id\":S,\"line\":N}|null,\n"
    "         \"configured_at_fault\":{\"point_id\":S,\"critical\":B,\n"
    "                                \"failure_id\":N}|null}\n"
    "where points lists the recorded point ids of the flow in order and\n"
    "failure_id is that of the configured point at fault. Members may be\n"
    "added later; existing ones keep their names and meaning.\n"
    "\n"
    "Exit status:\n"
    "  0  every flow passed\n"
    "  1  at least one flow did not pass\n"
    "  2  usage error, a malformed TRACE line, or a file that cannot be read\n";

}  // namespace

int CheckCommand(int argc, char** argv) {
  bool verbose = false;
  bool json = false;
  if (const int status =
          ParseReportOptions(argc, argv, kCheckHelp, verbose, json);
      status >= 0) {
    return status;
  }
  const int operands = argc - optind;
  if (operands != 2) {
    return cli::UsageError(operands < 2 ? "check: missing CONFIG or TRACE"
                                        : "check: too many operands");
  }
  if (json && verbose) {
    // The library's log goes to standard output and would break the object.
    return cli::UsageError("check: --json and --verbose cannot be combined");
  }
  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(verbose);
  return Check(argv[optind], argv[optind + 1], json);
}

}  // namespace flows_tool
}  // namespace kelpwood
