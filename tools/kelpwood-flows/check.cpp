// kelpwood-flows check: loads a flow file exactly as a device does, replays
// a recorded trace into it and runs the flow check on every flow the trace
// names.

#include <getopt.h>
#include <kelpwood/flow_trace.h>

#include <algorithm>
#include <cstddef>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "library_log.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using trace::FlowCheckCode;
using trace::FlowCheckCodeName;
using trace::FlowTrace;
using trace::TracePoint;

struct TraceRecord {
  std::string flow_id;
  std::string point_id;
  bool success = true;
  int line = 0;
};

// Splits the trace into records; returns false after writing one message per
// malformed line to `err`.
bool ParseTrace(const std::string& path, const std::string& content,
                std::vector<TraceRecord>& records, std::ostream& err) {
  std::istringstream lines(content);
  std::string text;
  int line = 0;
  bool well_formed = true;
  while (std::getline(lines, text)) {
    ++line;
    std::istringstream words(text);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) {
      if (word[0] == '#') break;  // a comment runs to the end of the line
      fields.push_back(word);
    }
    if (fields.empty()) continue;
    TraceRecord record;
    record.line = line;
    bool valid = fields.size() == 2 || fields.size() == 3;
    if (valid) {
      record.flow_id = fields[0];
      record.point_id = fields[1];
      if (fields.size() == 3) {
        valid = fields[2] == "ok" || fields[2] == "fail";
        record.success = fields[2] == "ok";
      }
    }
    if (!valid) {
      err << "kelpwood-flows: " << path << ":" << line
          << ": expected 'FLOW_ID POINT_ID [ok|fail]'\n";
      well_formed = false;
      continue;
    }
    records.push_back(record);
  }
  return well_formed;
}

std::string ConfiguredPoint(const trace::TracePointCfg& point) {
  std::string text = point.is_critical ? "<" + point.point_id + ">"
                                       : "[" + point.point_id + "]";
  if (point.failure_id != 0) text += "#" + std::to_string(point.failure_id);
  return text;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows,
                std::ostream& out) {
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
    out << line << "\n";
  }
}

const char kCheckHelp[] =
    "Usage: kelpwood-flows check [OPTION]... CONFIG TRACE\n"
    "Load the flow configuration CONFIG with FlowTrace::Init, record every\n"
    "line of TRACE with FlowTrace::Trace, then run FlowTrace::CheckFlow on\n"
    "each flow that TRACE names, in order of first mention, and print one\n"
    "row per flow: the flow, the result code, the recorded point at fault\n"
    "(with its TRACE line) and the configured point at fault.\n"
    "\n"
    "TRACE holds one recorded point per line:\n"
    "  FLOW_ID POINT_ID [ok|fail]\n"
    "separated by blanks; the status defaults to ok. Blank lines are skipped\n"
    "and '#' starts a comment that runs to the end of the line.\n"
    "\n"
    "Options:\n"
    "  -v, --verbose   also show the library's own log lines\n"
    "  -h, --help      display this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  every flow passed\n"
    "  1  at least one flow did not pass\n"
    "  2  usage error, a malformed TRACE line, or a file that cannot be read\n";

int Check(const std::string& config_path, const std::string& trace_path,
          std::ostream& out, std::ostream& err) {
  std::string content;
  std::string error;
  if (!cli::ReadInput(config_path, content, error)) {
    err << "kelpwood-flows: " << config_path << ": " << error << "\n";
    return kExitTrouble;
  }
  if (!cli::ReadInput(trace_path, content, error)) {
    err << "kelpwood-flows: " << trace_path << ": " << error << "\n";
    return kExitTrouble;
  }
  std::vector<TraceRecord> records;
  if (!ParseTrace(trace_path, content, records, err)) return kExitTrouble;

  FlowTrace& registry = FlowTrace::GetInstance();
  TakeLibraryErrors();
  registry.Init(config_path);
  const std::size_t load_errors = TakeLibraryErrors().size();
  if (load_errors != 0) {
    err << "kelpwood-flows: " << config_path << ": the loader reported "
        << load_errors << (load_errors == 1 ? " error" : " errors")
        << "; run 'kelpwood-flows validate " << config_path
        << "' for details\n";
  }

  // Points are made here rather than by Trace(flow, id, ok), so that the
  // point at fault can be traced back to its line.
  std::vector<std::string> flow_order;
  std::map<const TracePoint*, int> point_lines;
  for (const TraceRecord& record : records) {
    if (std::find(flow_order.begin(), flow_order.end(), record.flow_id) ==
        flow_order.end()) {
      flow_order.push_back(record.flow_id);
    }
    auto point = std::make_shared<TracePoint>(record.point_id, record.success);
    point_lines[point.get()] = record.line;
    registry.Trace(record.flow_id, point);
  }

  std::vector<std::vector<std::string>> rows = {
      {"FLOW", "RESULT", "RECORDED AT FAULT", "CONFIGURED AT FAULT"}};
  std::size_t passed = 0;
  for (const std::string& flow_id : flow_order) {
    const std::shared_ptr<trace::FlowCheckResult> result =
        registry.CheckFlow(flow_id);
    if (result->result == FlowCheckCode::PASSED) ++passed;
    std::string recorded = "-";
    if (result->trace_point) {
      recorded = result->trace_point->point_id;
      const auto line = point_lines.find(result->trace_point.get());
      if (line != point_lines.end()) {
        recorded += " (line " + std::to_string(line->second) + ")";
      }
    }
    const std::string configured =
        result->point_cfg ? ConfiguredPoint(*result->point_cfg) : "-";
    rows.push_back(
        {flow_id, FlowCheckCodeName(result->result), recorded, configured});
  }
  PrintTable(rows, out);
  out << passed << " of " << flow_order.size()
      << (flow_order.size() == 1 ? " flow" : " flows") << " passed\n";
  return passed == flow_order.size() ? kExitClean : kExitFindings;
}

}  // namespace

int CheckCommand(int argc, char** argv) {
  static const option kOptions[] = {
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  bool verbose = Globals().verbose;
  opterr = 0;
  for (int option;
       (option = getopt_long(argc, argv, ":vh", kOptions, nullptr)) != -1;) {
    switch (option) {
      case 'v':
        verbose = true;
        break;
      case 'h':
        fmt::print("{}", kCheckHelp);
        return kExitClean;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
  }
  const int operands = argc - optind;
  if (operands != 2) {
    return cli::UsageError(operands < 2 ? "check: missing CONFIG or TRACE"
                                        : "check: too many operands");
  }
  SetUpLibraryLog(verbose);
  return Check(argv[optind], argv[optind + 1], std::cout, std::cerr);
}

}  // namespace flows_tool
}  // namespace kelpwood
