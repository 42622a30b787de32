#include "trace_file.h"

#include <cctype>
#include <sstream>

#include "cli.h"

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

}  // namespace flows_tool
}  // namespace kelpwood
