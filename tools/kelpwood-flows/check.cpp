// kelpwood-flows check: loads a flow file exactly as a device does, replays
// a recorded trace into it and runs the flow check on every flow the trace
// names.

#include <fmt/format.h>
#include <getopt.h>
#include <kelpwood/flow_trace.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// `failure_id` is the run's: a steps flow may give the group's.
std::string ConfiguredPoint(const trace::TracePointCfg& point,
                            std::uint32_t failure_id) {
  std::string text = point.is_critical ? "<" + point.point_id + ">"
                                       : "[" + point.point_id + "]";
  if (failure_id != 0) text += "#" + std::to_string(failure_id);
  return text;
}

// The JSON object of one checked flow.
std::string FlowJson(const trace::FlowRun& run, int fault_line) {
  std::string points;
  for (const trace::RunPoint& point : run.points) {
    if (!points.empty()) points += ",";
    points += cli::JsonString(point.point_id);
  }
  std::string recorded = "null";
  if (run.fault_point_index >= 0) {
    recorded = fmt::format(
        "{{\"point_id\":{},\"line\":{}}}",
        cli::JsonString(
            run.points[static_cast<std::size_t>(run.fault_point_index)]
                .point_id),
        fault_line);
  }
  std::string configured = "null";
  std::string failure_id = "null";
  if (run.fault_configured_index >= 0) {
    const trace::TracePointCfg& point_cfg =
        *run.cfg->flow_points[static_cast<std::size_t>(
            run.fault_configured_index)];
    failure_id = std::to_string(run.failure_id);
    configured =
        fmt::format("{{\"point_id\":{},\"critical\":{},\"failure_id\":{}}}",
                    cli::JsonString(point_cfg.point_id),
                    point_cfg.is_critical ? "true" : "false", failure_id);
  }
  return fmt::format(
      "{{\"flow\":{},\"code\":\"{}\",\"points\":[{}],\"failure_id\":{},"
      "\"recorded_at_fault\":{},\"configured_at_fault\":{}}}",
      cli::JsonString(run.flow_id), FlowCheckCodeName(run.code), points,
      failure_id, recorded, configured);
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

  std::size_t load_errors = 0;
  const auto flows = LoadFlows(config_path, config, load_errors);
  const ReplayedRuns replayed =
      ReplayRecords(records, flows, RecordTimes(records), "");

  std::vector<std::vector<std::string>> rows = {
      {"FLOW", "RESULT", "RECORDED AT FAULT", "CONFIGURED AT FAULT"}};
  std::string results;
  std::size_t passed = 0;
  for (std::size_t r = 0; r < replayed.runs.size(); ++r) {
    const trace::FlowRun& run = replayed.runs[r];
    if (run.code == FlowCheckCode::PASSED) ++passed;
    std::string recorded = "-";
    int fault_line = 0;
    if (run.fault_point_index >= 0) {
      const std::size_t k = static_cast<std::size_t>(run.fault_point_index);
      fault_line = records[replayed.records[r][k]].line;
      recorded =
          fmt::format("{} (line {})", run.points[k].point_id, fault_line);
    }
    const std::string configured =
        run.fault_configured_index >= 0
            ? ConfiguredPoint(*run.cfg->flow_points[static_cast<std::size_t>(
                                  run.fault_configured_index)],
                              run.failure_id)
            : "-";
    rows.push_back({cli::EscapeControls(run.flow_id),
                    FlowCheckCodeName(run.code), cli::EscapeControls(recorded),
                    cli::EscapeControls(configured)});
    if (!results.empty()) results += ",";
    results += FlowJson(run, fault_line);
  }
  if (json) {
    fmt::print(
        "{{\"config\":{},\"trace\":{},\"loader_errors\":{},\"results\":[{}],"
        "\"passed\":{},\"total\":{}}}\n",
        cli::JsonString(config_path), cli::JsonString(trace_path), load_errors,
        results, passed, replayed.runs.size());
  } else {
    cli::PrintTable(rows);
    fmt::print("{} of {} {} passed\n", passed, replayed.runs.size(),
               replayed.runs.size() == 1 ? "flow" : "flows");
  }
  return passed == replayed.runs.size() ? kExitClean : kExitFindings;
}

const char kCheckHelp[] =
    "Usage: kelpwood-flows check [OPTION]... CONFIG TRACE\n"
    "  or:  kelpwood-flows check --journal|--directory DIR [OPTION]... "
    "CONFIG...\n"
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
    "The second form reads journals instead of TRACE, with the options above\n"
    "and these (more in 'kelpwood-flows check --journal --help'):\n";

// After the options of the second form.
const char kCheckHelpEnd[] =
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
    "Examples:\n"
    "  kelpwood-flows check examples/flows.yaml trace.txt\n"
    "      replay a recorded trace against the example configuration\n"
    "  printf 'network_join wifi_scan\\n' | kelpwood-flows check flows.yaml -\n"
    "      a trace from standard input\n";

// After the examples of the second form.
const char kCheckHelpExitStatus[] =
    "\n"
    "Exit status:\n"
    "  0  every flow passed\n"
    "  1  at least one flow did not pass\n"
    "  2  usage error, a malformed TRACE line, or a file that cannot be read\n";

// The options of both forms of check, parsed once: the trace form takes
// the report options, the journal form those and its source.
struct CheckOptions {
  bool help = false;
  bool directory_given = false;  // even as an empty DIR
  JournalCheckOptions journal;   // json and verbose serve both forms
  // The first option given that only the journal form takes, as spelt in
  // its help ("--boot"), or empty.
  std::string journal_only;
};

// Parses argv into `options`, leaving optind at the first operand. Returns
// -1 to go on, or the exit status of a refused option.
int ParseCheckOptions(int argc, char** argv, CheckOptions& options) {
  enum {
    kJournalOption = 256,
    kRunsOption,
    kTrustUidOption,
    kTrustUnitOption,
    kMetricsOption
  };
  static const option kOptions[] = {
      {"json", no_argument, nullptr, 'j'},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {"journal", no_argument, nullptr, kJournalOption},
      {"directory", required_argument, nullptr, 'D'},
      {"boot", optional_argument, nullptr, 'b'},
      {"since", required_argument, nullptr, 'S'},
      {"machine", required_argument, nullptr, 'm'},
      {"runs", no_argument, nullptr, kRunsOption},
      {"trust-uid", required_argument, nullptr, kTrustUidOption},
      {"trust-unit", required_argument, nullptr, kTrustUnitOption},
      {"metrics", required_argument, nullptr, kMetricsOption},
      {nullptr, 0, nullptr, 0},
  };
  JournalCheckOptions& journal = options.journal;
  journal.verbose = Globals().verbose;
  opterr = 0;
  for (int option; (option = cli::GetoptLong(argc, argv, ":jvhD:b::S:m:",
                                             kOptions, nullptr)) != -1;) {
    const char* journal_only = nullptr;
    switch (option) {
      case 'j':
        journal.json = true;
        break;
      case 'v':
        journal.verbose = true;
        break;
      case 'h':
        options.help = true;
        break;
      case kJournalOption:
        journal.local = true;
        break;
      case 'D':
        journal.directory = optarg;
        options.directory_given = true;
        break;
      case 'b':
        journal.by_boot = true;
        journal.boot_id = optarg != nullptr ? optarg : "";
        journal_only = "--boot";
        break;
      case 'S':
        journal.since = optarg;
        journal_only = "--since";
        break;
      case 'm':
        journal.machine_id = optarg;
        journal_only = "--machine";
        break;
      case kRunsOption:
        journal.list_runs = true;
        journal_only = "--runs";
        break;
      case kTrustUidOption:
      case kTrustUnitOption:
        if (!AddTrustedWriter(option == kTrustUidOption, optarg,
                              journal.trusted)) {
          return cli::UsageError(std::string("check: '") + optarg +
                                 (option == kTrustUidOption
                                      ? "' is not a user id"
                                      : "' is not a unit name"));
        }
        journal_only =
            option == kTrustUidOption ? "--trust-uid" : "--trust-unit";
        break;
      case kMetricsOption:
        journal.metrics = optarg;
        journal_only = "--metrics";
        break;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
    if (journal_only != nullptr && options.journal_only.empty()) {
      options.journal_only = journal_only;
    }
  }
  return -1;
}

}  // namespace

int CheckCommand(int argc, char** argv) {
  CheckOptions options;
  if (const int status = ParseCheckOptions(argc, argv, options); status >= 0) {
    return status;
  }
  JournalCheckOptions& journal = options.journal;
  // --journal or --directory DIR choose the journal form.
  if (journal.local || options.directory_given) {
    if (options.help) {
      PrintJournalCheckHelp();
      return kExitClean;
    }
    journal.configs.assign(argv + optind, argv + argc);
    return JournalCheck(std::move(journal));
  }
  if (options.help) {
    fmt::print("{}{}{}{}{}", kCheckHelp, kJournalCheckOptions, kCheckHelpEnd,
               kJournalCheckExamples, kCheckHelpExitStatus);
    return kExitClean;
  }
  if (!options.journal_only.empty()) {
    return cli::UsageError("check: " + options.journal_only +
                           " needs --journal or --directory DIR");
  }
  const int operands = argc - optind;
  if (operands != 2) {
    return cli::UsageError(operands < 2 ? "check: missing CONFIG or TRACE"
                                        : "check: too many operands");
  }
  if (journal.json && journal.verbose) {
    // The library's log goes to standard output and would break the object.
    return cli::UsageError("check: --json and --verbose cannot be combined");
  }
  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(journal.verbose);
  return Check(argv[optind], argv[optind + 1], journal.json);
}

}  // namespace flows_tool
}  // namespace kelpwood
