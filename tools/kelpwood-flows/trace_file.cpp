#include "trace_file.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "cli.h"
#include "runs/flow_runs.h"

namespace kelpwood {
namespace flows_tool {

std::optional<std::int64_t> ParseMilliseconds(const std::string& text) {
  constexpr std::int64_t kLimitMs = 9'000'000'000'000;  // inside int64 ns
  std::int64_t milliseconds = 0;
  std::size_t position = 0;
  for (; position < text.size() &&
         std::isdigit(static_cast<unsigned char>(text[position]));
       ++position) {
    milliseconds = milliseconds * 10 + (text[position] - '0');
    if (milliseconds > kLimitMs) return std::nullopt;
  }
  if (position == 0) return std::nullopt;
  std::int64_t nanoseconds = milliseconds * 1'000'000;
  if (position < text.size()) {
    if (text[position] != '.') return std::nullopt;
    const std::string fraction = text.substr(position + 1);
    if (fraction.empty() || fraction.size() > 6) return std::nullopt;
    std::int64_t scale = 100'000;
    for (char c : fraction) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
      nanoseconds += (c - '0') * scale;
      scale /= 10;
    }
  }
  return nanoseconds;
}

bool ParseTraceFile(const std::string& path, const std::string& content,
                    std::vector<TraceRecord>& records) {
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
    bool valid = fields.size() >= 2 && fields.size() <= 4;
    if (valid) {
      record.flow_id = fields[0];
      record.point_id = fields[1];
    }
    // The third field is the status or, without one, the time.
    std::size_t time_field = 0;
    if (valid && fields.size() >= 3) {
      if (fields[2] == "ok" || fields[2] == "fail") {
        record.success = fields[2] == "ok";
        time_field = fields.size() == 4 ? 3 : 0;
      } else if (fields.size() == 3 && ParseMilliseconds(fields[2])) {
        time_field = 2;
      } else {
        valid = false;
      }
    }
    if (!valid) {
      cli::Error("{}:{}: expected 'FLOW_ID POINT_ID [ok|fail]'",
                 cli::EscapeControls(path), line);
      well_formed = false;
      continue;
    }
    if (time_field != 0) {
      record.time_ns = ParseMilliseconds(fields[time_field]);
      if (!record.time_ns) {
        cli::Error(
            "{}:{}: TIME '{}' is not milliseconds (digits, up to six "
            "decimals)",
            cli::EscapeControls(path), line,
            cli::EscapeControls(fields[time_field]));
        well_formed = false;
        continue;
      }
    }
    records.push_back(record);
  }
  return well_formed;
}

std::vector<std::int64_t> RecordTimes(const std::vector<TraceRecord>& records) {
  const bool timed =
      std::any_of(records.begin(), records.end(),
                  [](const TraceRecord& record) { return record.time_ns; });
  std::vector<std::int64_t> times;
  times.reserve(records.size());
  std::int64_t previous = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!timed) {
      times.push_back(static_cast<std::int64_t>(i) * 1'000'000);
    } else {
      previous = records[i].time_ns.value_or(previous);
      times.push_back(previous);
    }
  }
  return times;
}

ReplayedRuns ReplayRecords(const std::vector<TraceRecord>& records,
                           const std::map<std::string, trace::ReadFlow>& flows,
                           const std::vector<std::int64_t>& times,
                           const std::string& comm) {
  ReplayedRuns replayed;
  std::map<std::string, std::size_t> run_of_flow;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const TraceRecord& record = records[i];
    const auto [entry, inserted] =
        run_of_flow.emplace(record.flow_id, replayed.runs.size());
    if (inserted) {
      trace::FlowRun& run = replayed.runs.emplace_back();
      run.flow_id = record.flow_id;
      run.run_id = "1";
      const auto flow = flows.find(record.flow_id);
      if (flow != flows.end()) {
        run.cfg = flow->second.cfg;
        run.steps = flow->second.steps;
        run.deadline_ms = flow->second.deadline_ms;
      }
      replayed.records.emplace_back();
    }
    trace::RunPoint& point = replayed.runs[entry->second].points.emplace_back();
    point.point_id = record.point_id;
    point.success = record.success;
    point.time_ns = times[i];
    point.comm = comm;
    replayed.records[entry->second].push_back(i);
  }
  for (trace::FlowRun& run : replayed.runs) {
    runs::CheckRun(run);
    trace::SpanRunOverItsPoints(run);
  }
  return replayed;
}

}  // namespace flows_tool
}  // namespace kelpwood
