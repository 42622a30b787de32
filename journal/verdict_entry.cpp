#include "journal/verdict_entry.h"

#include <fmt/format.h>

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "journal/message_ids.h"

namespace kelpwood {
namespace journal {

namespace {

using trace::FlowCheckCode;

// A verdict names at most this many recording processes (RUN_PID and
// RUN_COMM each), and counts the rest in RUN_PROCESSES_MORE.
constexpr std::size_t kMaxNamedProcesses = 32;

const char* PointsWord(std::size_t count) noexcept {
  return count == 1 ? "point" : "points";
}

}  // namespace

const char* VerdictMessageId(FlowCheckCode code,
                             std::uint32_t unexpected_points) noexcept {
  switch (code) {
    case FlowCheckCode::PASSED:
      return unexpected_points > 0 ? kVerdictPassedUnexpected : kVerdictPassed;
    case FlowCheckCode::POINT_FAILED:
      return kVerdictPointFailed;
    case FlowCheckCode::POINT_INVALID:
      return kVerdictPointInvalid;
    case FlowCheckCode::POINT_DUPLICATED:
      return kVerdictPointDuplicated;
    case FlowCheckCode::POINT_MISSING:
      return kVerdictPointMissing;
    case FlowCheckCode::ORDER_ERROR:
      return kVerdictOrderError;
    case FlowCheckCode::FLOW_NOT_FOUND:
      return kVerdictFlowNotFound;
    case FlowCheckCode::POINT_LATE:
      return kVerdictPointLate;
  }
  // A value outside the enumeration is no pass: file it with the plain
  // failures rather than invent an id.
  return kVerdictPointFailed;
}

namespace {

// Whole milliseconds from `start_ns` to `end_ns`; 0 when it has no length.
// Unsigned: exact even where the signed difference would overflow.
std::uint64_t SpanMs(std::int64_t start_ns, std::int64_t end_ns) noexcept {
  if (end_ns <= start_ns) return 0;
  return (static_cast<std::uint64_t>(end_ns) -
          static_cast<std::uint64_t>(start_ns)) /
         1'000'000;
}

}  // namespace

std::uint64_t RunDurationMs(const FlowRun& run) noexcept {
  return SpanMs(run.start_ns, run.end_ns);
}

std::uint32_t CountUnexpectedPoints(const trace::TraceFlowCfg* cfg,
                                    const std::vector<RunPoint>& points) {
  std::unordered_set<std::string_view> configured;
  if (cfg != nullptr) {
    for (const auto& point_cfg : cfg->flow_points) {
      if (point_cfg) configured.insert(point_cfg->point_id);
    }
  }
  return static_cast<std::uint32_t>(
      std::count_if(points.begin(), points.end(), [&](const RunPoint& point) {
        return configured.count(point.point_id) == 0;
      }));
}

std::string VerdictMessage(const FlowRun& run) {
  std::string message = fmt::format("Flow '{}'", run.flow_id);
  if (run.cfg && !run.cfg->flow_name.empty()) {
    message += fmt::format(" ({})", run.cfg->flow_name);
  }
  message += ": ";
  message += trace::FlowCheckCodeName(run.code);
  if (run.code == FlowCheckCode::PASSED) {
    if (run.unexpected_points > 0) {
      message +=
          fmt::format(" with {} {} outside the configuration",
                      run.unexpected_points, PointsWord(run.unexpected_points));
    }
  } else {
    const bool has_fault_point =
        run.fault_point_index >= 0 &&
        static_cast<std::size_t>(run.fault_point_index) < run.points.size();
    if (has_fault_point) {
      message +=
          fmt::format(" at '{}'", run.points[run.fault_point_index].point_id);
    } else if (!run.fault_configured_point_id.empty()) {
      message += fmt::format(" at '{}'", run.fault_configured_point_id);
    }
    if (run.failure_id != 0) {
      message += fmt::format(", failure_id {}", run.failure_id);
    }
  }
  // A run that its deadline ended lasted the deadline, not as long as its
  // points: say both, so that "2 points in 3000 ms" does not mislead.
  std::int64_t last_point_ns = run.start_ns;
  for (const RunPoint& point : run.points) {
    last_point_ns = std::max(last_point_ns, point.time_ns);
  }
  if (run.deadline_ms > 0 && !run.points.empty() &&
      run.end_ns > last_point_ns) {
    message += fmt::format(
        "; {} {} recorded, the last {} ms after the first; the {} ms "
        "deadline ended the run",
        run.points.size(), PointsWord(run.points.size()),
        SpanMs(run.start_ns, last_point_ns), run.deadline_ms);
    return message;
  }
  message += fmt::format("; {} {} recorded in {} ms", run.points.size(),
                         PointsWord(run.points.size()), RunDurationMs(run));
  return message;
}

std::vector<std::string> BuildVerdictFields(const FlowRun& run) {
  const bool passed = run.code == FlowCheckCode::PASSED;
  std::vector<std::string> fields;
  fields.reserve(16);
  fields.push_back("MESSAGE=" + VerdictMessage(run));
  fields.push_back(std::string("MESSAGE_ID=") +
                   VerdictMessageId(run.code, run.unexpected_points));
  fields.push_back(passed ? "PRIORITY=6" : "PRIORITY=3");
  fields.push_back(std::string("SYSLOG_IDENTIFIER=") + ProgramIdentifier());
  fields.push_back("FLOW_ID=" + run.flow_id);
  if (run.cfg) fields.push_back("FLOW_NAME=" + run.cfg->flow_name);
  fields.push_back(std::string("CHECK_CODE=") +
                   trace::FlowCheckCodeName(run.code));
  if (run.fault_point_index >= 0 &&
      static_cast<std::size_t>(run.fault_point_index) < run.points.size()) {
    fields.push_back("POINT_ID=" + run.points[run.fault_point_index].point_id);
  }
  if (!run.fault_configured_point_id.empty()) {
    fields.push_back("CONFIGURED_POINT_ID=" + run.fault_configured_point_id);
  }
  if (run.failure_id != 0) {
    fields.push_back(fmt::format("FAILURE_ID={}", run.failure_id));
  }
  fields.push_back(fmt::format("RECORDED_POINTS={}", run.points.size()));
  fields.push_back(fmt::format("UNEXPECTED_POINTS={}", run.unexpected_points));
  fields.push_back(fmt::format("DURATION_MS={}", RunDurationMs(run)));
  fields.push_back("FLOW_RUN=" + run.run_id);
  std::unordered_set<pid_t> seen;
  for (const RunPoint& point : run.points) {
    if (point.pid == 0 || !seen.insert(point.pid).second) continue;
    if (seen.size() > kMaxNamedProcesses) continue;
    fields.push_back(fmt::format("RUN_PID={}", point.pid));
    // A field without a value is left out, as journald's own are.
    if (!point.comm.empty()) fields.push_back("RUN_COMM=" + point.comm);
  }
  if (seen.size() > kMaxNamedProcesses) {
    fields.push_back(
        fmt::format("RUN_PROCESSES_MORE={}", seen.size() - kMaxNamedProcesses));
  }
  if (run.possibly_lost_points > 0) {
    fields.push_back(
        fmt::format("POSSIBLY_LOST_POINTS={}", run.possibly_lost_points));
  }
  if (run.points_dropped_by_watch > 0) {
    fields.push_back(
        fmt::format("POINTS_DROPPED_BY_WATCH={}", run.points_dropped_by_watch));
  }
  if (run.metadata_dropped_by_watch > 0) {
    fields.push_back(fmt::format("METADATA_DROPPED_BY_WATCH={}",
                                 run.metadata_dropped_by_watch));
  }
  return fields;
}

SendStatus SendVerdict(JournalWriter& writer, const FlowRun& run) {
  return writer.Send(BuildVerdictFields(run));
}

}  // namespace journal
}  // namespace kelpwood
