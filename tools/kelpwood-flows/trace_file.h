// The trace file that `check` and `timeline` replay: one recorded point per
// line,
//   FLOW_ID POINT_ID [ok|fail] [TIME]
// separated by blanks; the status defaults to ok. TIME is the point's time in
// milliseconds, with up to six decimals (nanoseconds): since the Unix epoch
// or any origin the file keeps to. Blank lines are skipped and '#' starts a
// comment that runs to the end of the line.

#ifndef KELPWOOD_TOOLS_FLOWS_TRACE_FILE_H_
#define KELPWOOD_TOOLS_FLOWS_TRACE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "trace/src/flow_file.h"
#include "trace/src/flow_run.h"

namespace kelpwood {
namespace flows_tool {

struct TraceRecord {
  std::string flow_id;
  std::string point_id;
  bool success = true;
  // Nanoseconds, where the line gives a TIME.
  std::optional<std::int64_t> time_ns;
  int line = 0;
};

// Splits `content`, read from `path`, into records. Returns false after
// reporting each malformed line as "PROG: PATH:LINE: ..." on standard error.
bool ParseTraceFile(const std::string& path, const std::string& content,
                    std::vector<TraceRecord>& records);

// TIME in nanoseconds: digits, optionally '.' and one to six more; at most
// 9e12 ms. Empty when `text` is no such time.
std::optional<std::int64_t> ParseMilliseconds(const std::string& text);

// Times for the records' points: their TIME where the file gives any (a
// line without one takes the previous line's), else one millisecond apart.
std::vector<std::int64_t> RecordTimes(const std::vector<TraceRecord>& records);

// The runs a trace file records: one per flow, in order of first mention,
// each checked with the library's pure check against `flows`
// (FLOW_NOT_FOUND for a flow they lack). Point k of run r comes from record
// `records[r][k]` and has time `times[that record]` and process `comm`.
struct ReplayedRuns {
  std::vector<trace::FlowRun> runs;
  std::vector<std::vector<std::size_t>> records;
};
ReplayedRuns ReplayRecords(const std::vector<TraceRecord>& records,
                           const std::map<std::string, trace::ReadFlow>& flows,
                           const std::vector<std::int64_t>& times,
                           const std::string& comm);

}  // namespace flows_tool
}  // namespace kelpwood

#endif  // KELPWOOD_TOOLS_FLOWS_TRACE_FILE_H_
