#include "timeline/timeline_writers.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/posix_file.h"
#include "base/utf8.h"
#include "trace/src/flow_check.h"
#include "trace/src/flow_steps.h"

namespace kelpwood {
namespace timeline {
namespace {

using trace::FlowCheckCode;
using trace::FlowCheckCodeName;

// ---------------------------------------------------------------------------
// Text from the data: point ids, metadata and process names come from callers
// and from other processes' journal entries, so they may hold any bytes. Both
// formats need valid UTF-8; a byte that does not start a valid sequence is
// replaced by U+FFFD.

using base::Utf8SequenceLength;

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Appends `text` as the body of a JSON string.
void AppendJsonEscaped(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    const std::size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      out += kReplacementCharacter;
      text.remove_prefix(1);
      continue;
    }
    if (length > 1) {
      out.append(text.data(), length);
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20) {
      fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
    } else {
      out += static_cast<char>(c);
    }
    text.remove_prefix(length);
  }
}

// Appends `text` for HTML text or a quoted attribute value. Control
// characters other than tab and newline are not allowed in HTML either.
void AppendHtmlEscaped(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    const std::size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      out += kReplacementCharacter;
      text.remove_prefix(1);
      continue;
    }
    if (length > 1) {
      out.append(text.data(), length);
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (c == '\'') {
      out += "&#39;";
    } else if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
      out += kReplacementCharacter;
    } else {
      out += static_cast<char>(c);
    }
    text.remove_prefix(length);
  }
}

// At most `limit` characters of `text` (whole UTF-8 sequences), with an
// ellipsis when cut: labels stay short, the hover title keeps the whole id.
std::string Shortened(const std::string& text, std::size_t limit) {
  std::size_t characters = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    if (characters == limit) {
      return text.substr(0, position) + "\xE2\x80\xA6";
    }
    const std::size_t length = std::max<std::size_t>(
        1, Utf8SequenceLength(std::string_view(text).substr(position)));
    position += length;
    ++characters;
  }
  return text;
}

// ---------------------------------------------------------------------------
// Times.

// `nanoseconds` as decimal microseconds, exact: "1234", "1234.5", "0.001".
void AppendMicroseconds(std::string& out, std::int64_t nanoseconds) {
  const char* sign = nanoseconds < 0 ? "-" : "";
  const std::uint64_t magnitude =
      nanoseconds < 0 ? 0 - static_cast<std::uint64_t>(nanoseconds)
                      : static_cast<std::uint64_t>(nanoseconds);
  std::uint64_t fraction = magnitude % 1000;
  if (fraction == 0) {
    fmt::format_to(std::back_inserter(out), "{}{}", sign, magnitude / 1000);
    return;
  }
  int digits = 3;
  while (fraction % 10 == 0) {
    fraction /= 10;
    --digits;
  }
  fmt::format_to(std::back_inserter(out), "{}{}.{:0{}}", sign, magnitude / 1000,
                 fraction, digits);
}

// `nanoseconds` as milliseconds for people: "12.345 ms", "3 ms".
std::string Milliseconds(std::int64_t nanoseconds) {
  std::string text;
  AppendMicroseconds(text, nanoseconds / 1000);
  // AppendMicroseconds printed thousandths of the value given: microseconds
  // as milliseconds.
  return text + " ms";
}

// `to - from` in nanoseconds: 0 when `to` is not after `from`, INT64_MAX when
// the difference does not fit, so that a span between any two times (the
// extremes of int64 included) stays non-negative.
std::int64_t Elapsed(std::int64_t from, std::int64_t to) {
  if (to <= from) return 0;
  const std::uint64_t difference =
      static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(std::min(difference, kMax));
}

// `time` plus `nanoseconds` (not negative), at most INT64_MAX. Only a time
// at or after the epoch can overflow, and only there is INT64_MAX - time
// itself representable.
std::int64_t Later(std::int64_t time, std::int64_t nanoseconds) {
  if (time >= 0 &&
      nanoseconds > std::numeric_limits<std::int64_t>::max() - time) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return time + nanoseconds;
}

// A deadline in nanoseconds, at most INT64_MAX.
std::int64_t DeadlineNs(std::uint64_t milliseconds) {
  constexpr std::uint64_t kMaxMs =
      std::numeric_limits<std::int64_t>::max() / 1'000'000;
  return milliseconds > kMaxMs
             ? std::numeric_limits<std::int64_t>::max()
             : static_cast<std::int64_t>(milliseconds) * 1'000'000;
}

// The span of a run: its first and last moments on the time axis.
struct RunSpan {
  std::int64_t start = 0;
  std::int64_t end = 0;
};

RunSpan SpanOf(const FlowRun& run) {
  RunSpan span{run.start_ns, run.end_ns};
  bool known = run.start_ns != 0 || run.end_ns != 0;
  for (const RunPoint& point : run.points) {
    if (!known) {
      span = RunSpan{point.time_ns, point.time_ns};
      known = true;
    }
    span.start = std::min(span.start, point.time_ns);
    span.end = std::max(span.end, point.time_ns);
  }
  if (span.end < span.start) span.end = span.start;
  return span;
}

// Recorded positions in time order; equal times keep the recording order.
std::vector<std::size_t> PointsInTimeOrder(const FlowRun& run) {
  std::vector<std::size_t> order(run.points.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) {
                     return run.points[a].time_ns < run.points[b].time_ns;
                   });
  return order;
}

// The configured point ids of a run; empty without a configuration.
std::unordered_set<std::string> ConfiguredIds(const FlowRun& run) {
  std::unordered_set<std::string> ids;
  if (!run.cfg) return ids;
  for (const auto& point : run.cfg->flow_points) {
    if (point) ids.insert(point->point_id);
  }
  return ids;
}

bool HasFault(const FlowRun& run) { return run.code != FlowCheckCode::PASSED; }

bool IsFaultPoint(const FlowRun& run, std::size_t position) {
  return run.fault_point_index >= 0 &&
         static_cast<std::size_t>(run.fault_point_index) == position;
}

// The point at fault is one of the recorded points.
bool FaultIsRecorded(const FlowRun& run) {
  return run.fault_point_index >= 0 &&
         static_cast<std::size_t>(run.fault_point_index) < run.points.size();
}

// ---------------------------------------------------------------------------
// Flows of steps (a grammar rather than a list of points).

using trace::FlowStep;
using trace::FlowSteps;

constexpr char kAtMost[] = "\xE2\x89\xA4";  // "≤"

// The time budget that a POINT_LATE run's late step missed: `within_ms`
// from the recording at `from`, the previous step's last one.
struct LateBudget {
  std::size_t from = 0;
  std::uint64_t within_ms = 0;
};

// The budget behind a POINT_LATE verdict. The check that gave the verdict
// knows it; it is asked again on the run's own points, so that runs from
// every source (a trace file, the journal, a watch) get it without carrying
// it. None when the run is not late, has no steps, or no longer reads as the
// same fault (points lost since its check): better no budget than a wrong
// one.
std::optional<LateBudget> LateBudgetOf(const FlowRun& run) {
  if (run.code != FlowCheckCode::POINT_LATE || !run.steps || !run.cfg ||
      !FaultIsRecorded(run)) {
    return std::nullopt;
  }
  const trace::CheckTrail trail =
      trace::CheckRecording(*run.cfg, run.steps.get(), run.points);
  if (trail.code != FlowCheckCode::POINT_LATE ||
      trail.fault_recorded != static_cast<std::size_t>(run.fault_point_index) ||
      trail.late_after_recorded >= run.points.size()) {
    return std::nullopt;
  }
  return LateBudget{trail.late_after_recorded, trail.late_budget_ms};
}

// What a step says about itself where it is drawn: a group's kind, a repeat
// other than once, an optional group, a time budget ("all of ×1+",
// "×1–3", "≤ 5000 ms"). Empty for a plain point step, whose circle
// already says it all.
std::string StepLabel(const FlowSteps::Node& node) {
  std::string text;
  auto add = [&text](const std::string& piece) {
    if (!text.empty()) text += ' ';
    text += piece;
  };
  if (node.kind == FlowStep::Kind::kOneOf) add("one of");
  if (node.kind == FlowStep::Kind::kAllOf) add("all of");
  if (node.kind == FlowStep::Kind::kSequence) add("sequence");
  constexpr char kTimes[] = "\xC3\x97";  // "×"
  if (node.max == FlowStep::kUnbounded) {
    add(fmt::format("{}{}+", kTimes, node.min));
  } else if (node.max > 1 || node.min > 1) {
    add(node.min == node.max
            ? fmt::format("{}{}", kTimes, node.min)
            : fmt::format("{}{}\xE2\x80\x93{}", kTimes, node.min, node.max));
  } else if (node.min == 0 && node.kind != FlowStep::Kind::kPoint) {
    add("(optional)");
  }
  if (node.within_ns != 0) {
    add(fmt::format("{} {} ms", kAtMost, node.within_ns / 1'000'000));
  }
  return text;
}

// The step's place as `kelpwood-flows validate` names it: "step 3.1".
std::string StepName(const FlowSteps& steps, std::size_t node) {
  std::vector<std::size_t> path;
  for (; node != 0; node = steps.nodes[node].parent) {
    const std::vector<std::size_t>& siblings =
        steps.nodes[steps.nodes[node].parent].children;
    path.push_back(static_cast<std::size_t>(
        std::find(siblings.begin(), siblings.end(), node) - siblings.begin()));
  }
  std::reverse(path.begin(), path.end());
  return trace::StepPathText(path);
}

bool AnyRunHasSteps(const std::vector<FlowRun>& runs) {
  return std::any_of(runs.begin(), runs.end(),
                     [](const FlowRun& run) { return run.steps != nullptr; });
}

// ---------------------------------------------------------------------------
// Chrome trace-event JSON.

// Process ids above Linux's largest pid_max, for tracks that are no process
// of the device: the flow runs, and processes whose pid is unknown or taken
// by a process of another machine or boot.
constexpr std::int64_t kFirstSyntheticPid = 4'194'305;

class ChromeTraceWriter {
 public:
  ChromeTraceWriter(const std::vector<FlowRun>& runs, std::string& out)
      : runs_(runs), out_(out) {}

  void Write() {
    origin_ = Origin();
    out_ += "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[";
    for (std::size_t i = 0; i < runs_.size(); ++i) WriteRun(runs_[i], i);
    out_ += "\n]}\n";
  }

 private:
  using ProcessKey = std::tuple<std::string, std::string, pid_t, std::string>;
  static constexpr std::int64_t kRunsPid = kFirstSyntheticPid;
  // The latest time drawn, about 31 years after the origin: trace viewers
  // read at most 15 integer digits of microseconds. Later times are drawn
  // there; their args keep the exact time.
  static constexpr std::int64_t kLatestTime = 999'999'999'999'999'999;

  std::int64_t Origin() const {
    bool known = false;
    std::int64_t origin = 0;
    for (const FlowRun& run : runs_) {
      if (run.points.empty() && run.start_ns == 0 && run.end_ns == 0) continue;
      const std::int64_t start = SpanOf(run).start;
      origin = known ? std::min(origin, start) : start;
      known = true;
    }
    return origin;
  }

  // Nanoseconds after the origin, never before it and at most
  // kLatestTime, so that every ts and ts + dur is a valid trace time.
  std::int64_t Relative(std::int64_t nanoseconds) const {
    return std::min(Elapsed(origin_, nanoseconds), kLatestTime);
  }

  // Microseconds after the origin.
  void Time(std::int64_t nanoseconds) {
    AppendMicroseconds(out_, Relative(nanoseconds));
  }

  // The duration from `start` to `end` on the clipped time axis.
  void Duration(std::int64_t start, std::int64_t end) {
    AppendMicroseconds(out_, Relative(end) - Relative(start));
  }

  void BeginEvent() {
    out_ += first_event_ ? "\n" : ",\n";
    first_event_ = false;
  }

  void String(std::string_view text) {
    out_ += '"';
    AppendJsonEscaped(out_, text);
    out_ += '"';
  }

  void Metadata(const char* kind, std::int64_t pid, std::int64_t tid,
                std::string_view name) {
    BeginEvent();
    fmt::format_to(std::back_inserter(out_),
                   "{{\"ph\":\"M\",\"name\":\"{}\",\"pid\":{},\"tid\":{},"
                   "\"args\":{{\"name\":",
                   kind, pid, tid);
    String(name);
    out_ += "}}";
  }

  // The track of a recording process, named on first use.
  std::int64_t ProcessTrack(const FlowRun& run, const RunPoint& point) {
    const ProcessKey key{run.machine_id, run.boot_id, point.pid, point.comm};
    auto found = processes_.find(key);
    if (found != processes_.end()) return found->second;
    std::int64_t pid = point.pid;
    if (pid <= 0 || !used_pids_.insert(pid).second) pid = next_synthetic_pid_++;
    processes_.emplace(key, pid);
    std::string name = point.comm.empty()
                           ? (point.pid > 0 ? "pid " + std::to_string(point.pid)
                                            : "unknown process")
                           : point.comm;
    if (!run.machine_id.empty()) {
      name += " on " + run.machine_id.substr(0, 12);
    }
    Metadata("process_name", pid, 0, name);
    return pid;
  }

  // A lane of the flow-runs track where `span` overlaps no earlier run of the
  // same flow, so that slices on one lane nest.
  std::int64_t RunLane(const FlowRun& run, RunSpan span) {
    std::vector<std::pair<std::int64_t, std::int64_t>>& lanes =
        lanes_[run.flow_id];
    for (auto& [tid, end] : lanes) {
      if (end <= span.start) {
        end = span.end;
        return tid;
      }
    }
    const std::int64_t tid = next_tid_++;
    lanes.emplace_back(tid, span.end);
    std::string name = run.flow_id;
    if (lanes.size() > 1) name += fmt::format(" (lane {})", lanes.size());
    Metadata("thread_name", kRunsPid, tid, name);
    return tid;
  }

  void WriteRun(const FlowRun& run, std::size_t run_number) {
    const RunSpan span = SpanOf(run);
    if (run_number == 0) Metadata("process_name", kRunsPid, 0, "flow runs");
    const std::int64_t lane = RunLane(run, span);
    const char* code = FlowCheckCodeName(run.code);

    BeginEvent();
    fmt::format_to(std::back_inserter(out_),
                   "{{\"ph\":\"X\",\"cat\":\"run\",\"pid\":{},\"tid\":{},"
                   "\"ts\":",
                   kRunsPid, lane);
    Time(span.start);
    out_ += ",\"dur\":";
    Duration(span.start, span.end);
    out_ += ",\"name\":";
    String(run.flow_id);
    out_ += ",\"args\":{\"run_id\":";
    String(run.run_id);
    if (run.cfg) {
      out_ += ",\"flow_name\":";
      String(run.cfg->flow_name);
    }
    fmt::format_to(std::back_inserter(out_),
                   ",\"code\":\"{}\",\"points\":{},\"unexpected_points\":{},"
                   "\"failure_id\":{},\"deadline_ms\":{},"
                   "\"possibly_lost_points\":{},\"start_unix_ns\":\"{}\"",
                   code, run.points.size(), run.unexpected_points,
                   run.failure_id, run.deadline_ms, run.possibly_lost_points,
                   span.start);
    if (!run.machine_id.empty()) {
      out_ += ",\"machine_id\":";
      String(run.machine_id);
      out_ += ",\"boot_id\":";
      String(run.boot_id);
    }
    out_ += "}}";

    WritePoints(run, run_number);
    WriteBudget(run, lane);

    // The verdict closes the run on its lane.
    Instant("verdict", std::string("verdict: ") + code, kRunsPid, lane,
            span.end, run, nullptr);
    // A fault without a recorded point (a missing critical point) is shown
    // on the run's lane as well.
    if (HasFault(run) && !FaultIsRecorded(run)) {
      std::string name = std::string("fault: ") + code;
      if (!run.fault_configured_point_id.empty()) {
        name += " " + run.fault_configured_point_id;
      }
      Instant("fault", name, kRunsPid, lane, span.end, run, nullptr);
    }
  }

  // Each process's points of the run on a thread track of their own, as
  // slices from one point to the next, linked in time order by one flow.
  void WritePoints(const FlowRun& run, std::size_t run_number) {
    if (run.points.empty()) return;
    const std::unordered_set<std::string> configured = ConfiguredIds(run);
    const std::vector<std::size_t> order = PointsInTimeOrder(run);

    struct Track {
      std::int64_t pid;
      std::int64_t tid;
    };
    std::vector<Track> track_of(run.points.size());
    // Next point on the same track, in time order, for each point's dur.
    std::vector<std::size_t> next_on_track(run.points.size(),
                                           run.points.size());
    std::map<std::int64_t, std::pair<std::int64_t, std::size_t>> tracks;
    for (std::size_t position : order) {
      const std::int64_t pid = ProcessTrack(run, run.points[position]);
      auto found = tracks.find(pid);
      if (found == tracks.end()) {
        const std::int64_t tid = next_tid_++;
        Metadata("thread_name", pid, tid,
                 run.run_id.empty() ? run.flow_id
                                    : run.flow_id + " run " + run.run_id);
        found =
            tracks.emplace(pid, std::make_pair(tid, run.points.size())).first;
      } else {
        next_on_track[found->second.second] = position;
      }
      found->second.second = position;
      track_of[position] = Track{pid, found->second.first};
    }

    const std::string bind_id = fmt::format("0x{:x}", run_number + 1);
    for (std::size_t k = 0; k < order.size(); ++k) {
      const std::size_t position = order[k];
      const RunPoint& point = run.points[position];
      const std::size_t next = next_on_track[position];
      const std::int64_t end =
          next < run.points.size() ? run.points[next].time_ns : point.time_ns;
      BeginEvent();
      fmt::format_to(std::back_inserter(out_),
                     "{{\"ph\":\"X\",\"cat\":\"point\",\"pid\":{},\"tid\":{},"
                     "\"ts\":",
                     track_of[position].pid, track_of[position].tid);
      Time(point.time_ns);
      out_ += ",\"dur\":";
      Duration(point.time_ns, end);
      out_ += ",\"name\":";
      String(point.point_id);
      if (order.size() > 1) {
        fmt::format_to(std::back_inserter(out_), ",\"bind_id\":\"{}\"",
                       bind_id);
        if (k > 0) out_ += ",\"flow_in\":true";
        if (k + 1 < order.size()) out_ += ",\"flow_out\":true";
      }
      fmt::format_to(std::back_inserter(out_),
                     ",\"args\":{{\"index\":{},\"status\":\"{}\","
                     "\"configured\":{},\"time_unix_ns\":\"{}\"",
                     position, point.success ? "ok" : "fail",
                     configured.count(point.point_id) != 0 ? "true" : "false",
                     point.time_ns);
      if (!point.metadata.empty()) {
        std::string text;
        for (const auto& [key, value] : point.metadata) {
          if (!text.empty()) text += ", ";
          text += key + "=" + value;
        }
        out_ += ",\"metadata\":";
        String(text);
      }
      out_ += "}}";
      if (IsFaultPoint(run, position)) {
        Instant("fault",
                fmt::format("fault: {} {}", FlowCheckCodeName(run.code),
                            point.point_id),
                track_of[position].pid, track_of[position].tid, point.time_ns,
                run, &point);
      }
    }
  }

  // The time budget that a late step missed, as a slice on the run's lane
  // from the recording it runs from; the late point's fault instant comes
  // after its end. It nests in the run's slice: it starts at a point of the
  // run and ends before the late one.
  void WriteBudget(const FlowRun& run, std::int64_t lane) {
    const std::optional<LateBudget> budget = LateBudgetOf(run);
    if (!budget) return;
    const RunPoint& from = run.points[budget->from];
    const RunPoint& late =
        run.points[static_cast<std::size_t>(run.fault_point_index)];
    const std::int64_t end = Later(from.time_ns, DeadlineNs(budget->within_ms));
    BeginEvent();
    fmt::format_to(std::back_inserter(out_),
                   "{{\"ph\":\"X\",\"cat\":\"budget\",\"pid\":{},\"tid\":{},"
                   "\"ts\":",
                   kRunsPid, lane);
    Time(from.time_ns);
    out_ += ",\"dur\":";
    Duration(from.time_ns, end);
    out_ += ",\"name\":";
    String(fmt::format("budget {} {} ms for '{}'", kAtMost, budget->within_ms,
                       late.point_id));
    fmt::format_to(std::back_inserter(out_), ",\"args\":{{\"within_ms\":{},",
                   budget->within_ms);
    out_ += "\"from_point\":";
    String(from.point_id);
    fmt::format_to(std::back_inserter(out_),
                   ",\"from_index\":{},\"start_unix_ns\":\"{}\"}}}}",
                   budget->from, from.time_ns);
  }

  void Instant(const char* category, const std::string& name, std::int64_t pid,
               std::int64_t tid, std::int64_t time, const FlowRun& run,
               const RunPoint* point) {
    BeginEvent();
    fmt::format_to(std::back_inserter(out_),
                   "{{\"ph\":\"i\",\"s\":\"t\",\"cat\":\"{}\",\"pid\":{},"
                   "\"tid\":{},\"ts\":",
                   category, pid, tid);
    Time(time);
    out_ += ",\"name\":";
    String(name);
    fmt::format_to(std::back_inserter(out_),
                   ",\"args\":{{\"code\":\"{}\",\"failure_id\":{},\"flow_id\":",
                   FlowCheckCodeName(run.code), run.failure_id);
    String(run.flow_id);
    out_ += ",\"run_id\":";
    String(run.run_id);
    out_ += ",\"configured_point\":";
    String(run.fault_configured_point_id);
    if (point != nullptr) {
      out_ += ",\"point\":";
      String(point->point_id);
    } else if (FaultIsRecorded(run)) {
      out_ += ",\"point\":";
      String(
          run.points[static_cast<std::size_t>(run.fault_point_index)].point_id);
    }
    out_ += "}}";
  }

  const std::vector<FlowRun>& runs_;
  std::string& out_;
  std::int64_t origin_ = 0;
  bool first_event_ = true;
  std::map<ProcessKey, std::int64_t> processes_;
  std::unordered_set<std::int64_t> used_pids_;
  std::int64_t next_synthetic_pid_ = kFirstSyntheticPid + 1;
  std::int64_t next_tid_ = 1;
  std::unordered_map<std::string,
                     std::vector<std::pair<std::int64_t, std::int64_t>>>
      lanes_;
};

// ---------------------------------------------------------------------------
// HTML.

constexpr char kHtmlHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)";

constexpr char kHtmlStyle[] = R"(</title>
<style>
body{font:14px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:#1d2430;background:#f6f7f9;margin:0;padding:16px}
main{max-width:1240px;margin:0 auto}
h1{font-size:20px;margin:0 0 4px}
.summary{margin:0 0 8px;color:#4a5568}
.legend{display:flex;flex-wrap:wrap;gap:14px;margin:0 0 12px;font-size:12px;color:#4a5568}
.legend span{display:inline-flex;align-items:center;gap:4px}
.run{background:#fff;border:1px solid #d8dde6;border-left:5px solid #2f855a;border-radius:6px;margin:0 0 12px;padding:8px 12px}
.run.failed{border-left-color:#c53030}
.run h2{font-size:15px;margin:0;display:flex;gap:10px;align-items:baseline;flex-wrap:wrap}
.run h2 .verdict{font-size:12px;font-weight:600;padding:1px 6px;border-radius:3px;background:#c6f6d5;color:#22543d}
.run.failed h2 .verdict{background:#fed7d7;color:#822727}
.run h2 .name{font-weight:400;color:#4a5568}
.facts{margin:2px 0 0;font-size:12px;color:#4a5568}
.facts .fault{color:#c53030;font-weight:600}
svg.lane{display:block;width:100%;height:auto}
svg text{font-size:11px;fill:#2d3748}
.run h2 .when{font-weight:400;color:#4a5568;font-variant-numeric:tabular-nums}
.row-label{font-weight:600;fill:#718096}
.row-label.sub{font-weight:400;font-size:10px}
svg text.label{font-family:"DejaVu Sans Mono",ui-monospace,Menlo,Consolas,monospace;paint-order:stroke;stroke:#fff;stroke-width:3px;stroke-linejoin:round}
.leader{stroke:#cbd5e0;stroke-width:1}
.axis line,.axis path{stroke:#a0aec0}
.axis text{fill:#718096}
.track{stroke:#e2e8f0;stroke-width:2}
.link{stroke:#a0aec0;stroke-dasharray:2 3}
.cfg circle{fill:#2b6cb0;stroke:#2b6cb0;stroke-width:2}
.cfg.optional circle{fill:#fff}
.cfg.missing circle{fill:#fff;stroke-dasharray:3 2}
.rec circle{fill:#38a169;stroke:#fff;stroke-width:1}
.rec.failed circle{fill:#dd6b20}
.rec.unexpected circle{fill:#a0aec0}
.rec.unexpected text,.cfg.missing text{fill:#718096}
.point.fault circle{fill:#e53e3e;stroke:#9b2c2c;stroke-width:2}
.cfg.fault circle{fill:#fff;stroke:#e53e3e}
.point.fault text,text.fault-label{fill:#c53030;font-weight:600}
.deadline line{stroke:#d69e2e;stroke-width:1.5;stroke-dasharray:6 4}
.deadline text{fill:#b7791f}
.point:hover circle{stroke:#1a202c;stroke-width:2}
)";

// Only pages with a flow of steps have them, so that the pages of flows of
// points stay as they were.
constexpr char kStepsStyle[] =
    R"(.group path{fill:none;stroke:#805ad5;stroke-width:1.5}
.group text{font-size:10px;fill:#553c9a;paint-order:stroke;stroke:#fff;stroke-width:3px;stroke-linejoin:round}
.budget rect{fill:#faf089;fill-opacity:.5;stroke:#d69e2e;stroke-width:1}
.budget line{stroke:#b7791f;stroke-width:2}
.budget text{fill:#b7791f;paint-order:stroke;stroke:#fff;stroke-width:3px;stroke-linejoin:round}
)";

constexpr char kHtmlBodyStart[] = R"(</style>
</head>
<body>
<main>
)";

constexpr char kLegend[] =
    R"(<p class="legend">)"
    R"(<span><svg width="14" height="14"><g class="cfg"><circle cx="7" cy="7" r="5"/></g></svg>expected, critical</span>)"
    R"(<span><svg width="14" height="14"><g class="cfg optional"><circle cx="7" cy="7" r="5"/></g></svg>expected, optional</span>)"
    R"(<span><svg width="14" height="14"><g class="cfg missing"><circle cx="7" cy="7" r="5"/></g></svg>expected, not recorded</span>)"
    R"(<span><svg width="14" height="14"><g class="rec"><circle cx="7" cy="7" r="5"/></g></svg>recorded ok</span>)"
    R"(<span><svg width="14" height="14"><g class="rec failed"><circle cx="7" cy="7" r="5"/></g></svg>recorded failed</span>)"
    R"(<span><svg width="14" height="14"><g class="rec unexpected"><circle cx="7" cy="7" r="5"/></g></svg>not in the configuration</span>)"
    R"(<span><svg width="14" height="14"><g class="point fault"><circle cx="7" cy="7" r="5"/></g></svg>at fault</span>)";

constexpr char kStepsLegend[] =
    R"(<span><svg width="22" height="14"><g class="group"><path d="M2 13 V6 H20 V13"/></g></svg>group of steps, repeat, time budget</span>)"
    R"(<span><svg width="22" height="14"><g class="budget"><rect x="1" y="3" width="16" height="8"/><line x1="17" x2="17" y1="1" y2="13"/></g></svg>budget a late step missed</span>)";

// The lane's drawing, in SVG user units; the SVG scales to the page width.
constexpr double kWidth = 1200;
constexpr double kPlotLeft = 150;  // the row names are to its left
constexpr double kPlotRight = 1160;
constexpr double kTopBand = 20;  // the deadline's label
constexpr double kRowStep = 13;  // from one row of labels to the next
// From one row of step brackets to the next, above the expected points'
// labels; and how far a bracket reaches past its outermost points.
constexpr double kBracketStep = 17;
constexpr double kBracketReach = 6;
constexpr double kExpectedToRecorded = 52;
constexpr double kProcessGap = 24;  // below a process's last row of labels
// An 11 px character of the labels' monospace font, with a margin; and of
// the sans-serif texts (axis, deadline).
constexpr double kCharWidth = 6.9;
constexpr double kSansCharWidth = 7.0;
constexpr double kLabelGap = 8;            // between labels on one row
constexpr std::size_t kLabelChars = 22;    // longer ids are cut in labels
constexpr std::size_t kRowNameChars = 16;  // longer process names are cut
// Room beside the time axis for each expected point without a recording
// before the first or after the last recorded one, up to a count.
constexpr double kMissingRoom = 44;
constexpr std::size_t kMissingRoomCount = 5;
// A deadline later than this many times the points' span is not on the
// scale, which keeps fitting the points: a marker at its end names it.
constexpr double kDeadlineOnScale = 1.5;
constexpr std::size_t kUnmatched = std::numeric_limits<std::size_t>::max();
constexpr char kDot[] = " \xC2\xB7 ";  // " · "

// The drawn width of a label: wide (East Asian) characters take two cells.
double LabelWidth(std::string_view text) {
  double cells = 0;
  while (!text.empty()) {
    const std::size_t length = std::min(
        text.size(), std::max<std::size_t>(1, Utf8SequenceLength(text)));
    cells += length >= 3 ? 2 : 1;
    text.remove_prefix(length);
  }
  return cells * kCharWidth;
}

// `nanoseconds` since the epoch as "2023-11-14 22:13:20.000 UTC"; a time
// before 2000 (a trace without times) as "at 3 ms".
std::string WallClock(std::int64_t nanoseconds) {
  constexpr std::int64_t kYear2000 = 946'684'800'000'000'000;
  if (nanoseconds < kYear2000) return "at " + Milliseconds(nanoseconds);
  const std::time_t seconds = nanoseconds / 1'000'000'000;
  std::tm parts{};
  if (::gmtime_r(&seconds, &parts) == nullptr) {
    return "at " + Milliseconds(nanoseconds);
  }
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} UTC",
                     parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour, parts.tm_min, parts.tm_sec,
                     nanoseconds % 1'000'000'000 / 1'000'000);
}

// A label beside its point, and where it was put: its row (0 nearest the
// point) and its centre, moved inward where the lane ends.
struct Label {
  double x = 0;
  double width = 0;
  int row = 0;
  double centre = 0;
};

// Puts each label on the first row where it starts right of the last label
// there, so that no two overlap and none is left out (a crowded lane grows
// rows). Returns the rows used, at least 1.
int PlaceLabels(std::vector<Label*>& labels, double left, double right) {
  for (Label* label : labels) {
    const double half = label->width / 2;
    label->centre = std::max(left + half, std::min(label->x, right - half));
  }
  std::stable_sort(
      labels.begin(), labels.end(),
      [](const Label* a, const Label* b) { return a->centre < b->centre; });
  std::vector<double> row_ends;
  for (Label* label : labels) {
    const double start = label->centre - label->width / 2;
    std::size_t row = 0;
    while (row < row_ends.size() && start < row_ends[row] + kLabelGap) ++row;
    if (row == row_ends.size()) row_ends.push_back(0);
    row_ends[row] = label->centre + label->width / 2;
    label->row = static_cast<int>(row);
  }
  return std::max<int>(1, static_cast<int>(row_ends.size()));
}

// One recording process of a run: a row of the lane.
struct ProcessRow {
  pid_t pid = 0;
  std::string comm;
  double y = 0;
};

// A step drawn over its points in the expected row, spanning `left` to
// `right`, its label above the bracket.
struct StepBracket {
  double left = 0;
  double right = 0;
  std::string text;
  std::string title;
  Label label;
};

// Where everything of one run's lane goes.
struct LaneLayout {
  // The time axis: `axis_ns` after `start`, drawn from `left` to `right`.
  std::int64_t start = 0;
  std::int64_t axis_ns = 1'000'000;
  double left = kPlotLeft;
  double right = kPlotRight;
  // After `start`; 0 without a deadline.
  std::int64_t deadline_ns = 0;
  bool deadline_off_scale = false;

  std::vector<const trace::TracePointCfg*> configured;
  // The recorded position that each configured point matched, or kUnmatched.
  std::vector<std::size_t> matched;
  std::vector<double> expected_x;
  // The configured point at fault; configured.size() for none.
  std::size_t fault_configured = 0;
  // The recordings are out of the configured order: the expected points are
  // spaced in configured order instead of above their recordings.
  bool configured_order = false;

  // A flow of steps: its groups, and its point steps with a repeat or a
  // budget, as brackets over their expected points (row 0 lowest, a group
  // above every bracket inside it); the budget a late step missed.
  std::vector<StepBracket> brackets;
  int bracket_rows = 0;
  std::optional<LateBudget> budget;

  std::vector<ProcessRow> processes;
  std::vector<std::size_t> process_of;  // per recorded position
  std::vector<Label> expected_labels;   // per configured point
  std::vector<Label> recorded_labels;   // per recorded position
  Label fault_label;  // beside the point at fault, when there is one
  double expected_y = 0;
  double axis_y = 0;
  double height = 0;

  double X(std::int64_t time) const {
    const std::int64_t after = std::min(Elapsed(start, time), axis_ns);
    return left + static_cast<double>(after) * (right - left) /
                      static_cast<double>(axis_ns);
  }
  // The brackets' band lies between the deadline's label and the expected
  // points' labels.
  double BracketBaseline(int row) const {
    return kTopBand + kBracketStep * (bracket_rows - row) - 7;
  }
  double ExpectedBaseline(int row) const {
    return expected_y - 12 - kRowStep * row;
  }
  static double RecordedBaseline(const ProcessRow& process, int row) {
    return process.y + 20 + kRowStep * row;
  }
};

// failure_id belongs to a configured point at fault, and only then is shown.
bool ConfiguredPointAtFault(const FlowRun& run) {
  return HasFault(run) && !run.fault_configured_point_id.empty();
}

// The check code, and the failure_id of a configured point at fault.
std::string FaultText(const FlowRun& run, const char* separator) {
  std::string text = FlowCheckCodeName(run.code);
  if (ConfiguredPointAtFault(run)) {
    text += fmt::format("{}failure_id {}", separator, run.failure_id);
  }
  return text;
}

// Each configured point's recording: the first recording of its id that an
// earlier configured point did not take.
void MatchConfigured(const FlowRun& run, LaneLayout& lane) {
  if (run.cfg) {
    for (const auto& point : run.cfg->flow_points) {
      if (point) lane.configured.push_back(point.get());
    }
  }
  std::unordered_map<std::string, std::vector<std::size_t>> recordings;
  for (std::size_t position = run.points.size(); position-- > 0;) {
    recordings[run.points[position].point_id].push_back(position);
  }
  lane.matched.assign(lane.configured.size(), kUnmatched);
  lane.fault_configured = lane.configured.size();
  for (std::size_t c = 0; c < lane.configured.size(); ++c) {
    const std::string& id = lane.configured[c]->point_id;
    if (ConfiguredPointAtFault(run) && id == run.fault_configured_point_id &&
        lane.fault_configured == lane.configured.size()) {
      lane.fault_configured = c;
    }
    auto found = recordings.find(id);
    if (found == recordings.end() || found->second.empty()) continue;
    lane.matched[c] = found->second.back();
    found->second.pop_back();
  }
}

// The time axis fits the points; room is made beside it for expected points
// without a recording before the first or after the last matched one, and
// the deadline is on it only when it is not far beyond the points.
void PlanTimeScale(const FlowRun& run, RunSpan span, LaneLayout& lane) {
  std::size_t leading = 0;
  while (leading < lane.matched.size() && lane.matched[leading] == kUnmatched) {
    ++leading;
  }
  std::size_t trailing = 0;
  while (trailing < lane.matched.size() &&
         lane.matched[lane.matched.size() - 1 - trailing] == kUnmatched) {
    ++trailing;
  }
  if (leading == lane.matched.size()) leading = trailing = 0;
  lane.left = kPlotLeft + kMissingRoom * static_cast<double>(std::min(
                                             leading, kMissingRoomCount));
  lane.right = kPlotRight - kMissingRoom * static_cast<double>(std::min(
                                               trailing, kMissingRoomCount));
  lane.start = span.start;
  // A run at one moment gets 1 ms.
  const std::int64_t points_ns =
      std::max<std::int64_t>(Elapsed(span.start, span.end), 1'000'000);
  lane.axis_ns = points_ns;
  if (run.deadline_ms == 0) return;
  lane.deadline_ns = DeadlineNs(run.deadline_ms);
  if (static_cast<double>(lane.deadline_ns) >
      kDeadlineOnScale * static_cast<double>(points_ns)) {
    lane.deadline_off_scale = true;
  } else {
    lane.axis_ns = std::max(points_ns, lane.deadline_ns);
  }
}

// Expected points sit above the recording they matched; those without one
// are spread over the gap between their matched neighbours. When the
// recordings are out of the configured order, all are spaced evenly in
// configured order, so that the order a flow asks for stays readable.
void PlaceExpected(const FlowRun& run, LaneLayout& lane) {
  const std::size_t count = lane.configured.size();
  lane.expected_x.assign(count, 0);
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  for (std::size_t c = 0; c < count; ++c) {
    if (lane.matched[c] == kUnmatched) continue;
    const std::int64_t time = run.points[lane.matched[c]].time_ns;
    if (time < previous) lane.configured_order = true;
    previous = time;
    lane.expected_x[c] = lane.X(time);
  }
  if (lane.configured_order) {
    const double step = (kPlotRight - kPlotLeft) / static_cast<double>(count);
    for (std::size_t c = 0; c < count; ++c) {
      lane.expected_x[c] = kPlotLeft + step * (static_cast<double>(c) + 0.5);
    }
    return;
  }
  for (std::size_t c = 0; c < count;) {
    if (lane.matched[c] != kUnmatched) {
      ++c;
      continue;
    }
    std::size_t gap_end = c;
    while (gap_end < count && lane.matched[gap_end] == kUnmatched) ++gap_end;
    const double left = c > 0 ? lane.expected_x[c - 1] : kPlotLeft;
    const double right =
        gap_end < count ? lane.expected_x[gap_end] : kPlotRight;
    // Without matched neighbours the ends are used; with one, the gap's
    // points keep clear of it.
    const double slots = static_cast<double>(gap_end - c) +
                         (c > 0 ? 1.0 : 0.0) + (gap_end < count ? 1.0 : 0.0) -
                         1.0;
    const double step = slots > 0 ? (right - left) / slots : 0;
    for (std::size_t k = c; k < gap_end; ++k) {
      lane.expected_x[k] =
          left + step * (static_cast<double>(k - c) + (c > 0 ? 1.0 : 0.0));
    }
    c = gap_end;
  }
}

// A row per recording process, in the order of their first points.
void AssignProcesses(const FlowRun& run, LaneLayout& lane) {
  std::map<std::pair<pid_t, std::string>, std::size_t> rows;
  lane.process_of.assign(run.points.size(), 0);
  for (std::size_t position : PointsInTimeOrder(run)) {
    const RunPoint& point = run.points[position];
    const auto [found, added] =
        rows.emplace(std::make_pair(point.pid, point.comm), rows.size());
    if (added) lane.processes.push_back(ProcessRow{point.pid, point.comm, 0});
    lane.process_of[position] = found->second;
  }
  if (lane.processes.empty()) lane.processes.emplace_back();
}

// Rows of labels above the expected points and below each process's, and
// the heights that follow from them.
void PlaceAllLabels(const FlowRun& run, LaneLayout& lane) {
  const double left = kPlotLeft - 4;
  const double right = kWidth - 4;
  std::vector<Label*> expected;
  lane.expected_labels.resize(lane.configured.size());
  for (std::size_t c = 0; c < lane.configured.size(); ++c) {
    Label& label = lane.expected_labels[c];
    label.x = lane.expected_x[c];
    label.width =
        LabelWidth(Shortened(lane.configured[c]->point_id, kLabelChars));
    expected.push_back(&label);
  }
  const bool fault_expected =
      !FaultIsRecorded(run) && lane.fault_configured < lane.configured.size();
  if (fault_expected) {
    lane.fault_label.x = lane.expected_x[lane.fault_configured];
    lane.fault_label.width = LabelWidth(FaultText(run, kDot));
    expected.push_back(&lane.fault_label);
  }
  const int expected_rows = PlaceLabels(expected, left, right);
  lane.expected_y = kTopBand + kBracketStep * lane.bracket_rows + 21 +
                    kRowStep * (expected_rows - 1);

  std::vector<std::vector<Label*>> recorded(lane.processes.size());
  lane.recorded_labels.resize(run.points.size());
  for (std::size_t position = 0; position < run.points.size(); ++position) {
    Label& label = lane.recorded_labels[position];
    label.x = lane.X(run.points[position].time_ns);
    label.width =
        LabelWidth(Shortened(run.points[position].point_id, kLabelChars));
    recorded[lane.process_of[position]].push_back(&label);
  }
  if (FaultIsRecorded(run)) {
    const auto fault = static_cast<std::size_t>(run.fault_point_index);
    lane.fault_label.x = lane.X(run.points[fault].time_ns);
    lane.fault_label.width = LabelWidth(FaultText(run, kDot));
    recorded[lane.process_of[fault]].push_back(&lane.fault_label);
  }
  double y = lane.expected_y + kExpectedToRecorded;
  for (std::size_t p = 0; p < lane.processes.size(); ++p) {
    lane.processes[p].y = y;
    const int rows = PlaceLabels(recorded[p], left, right);
    y += 23 + kRowStep * (rows - 1) + kProcessGap;
  }
  lane.axis_y = y - kProcessGap + 14;
  lane.height = lane.axis_y + 28;
}

// Whether `extent` keeps clear of every extent already on a row.
bool RowHasRoom(const std::vector<std::pair<double, double>>& row,
                std::pair<double, double> extent) {
  for (const auto& [start, end] : row) {
    if (extent.first < end + kLabelGap && start < extent.second + kLabelGap) {
      return false;
    }
  }
  return true;
}

// A bracket for every step that says something (StepLabel), over the
// expected points of its members, on the lowest row above the brackets
// inside it where neither it nor its label runs into another.
void PlanBrackets(const FlowRun& run, LaneLayout& lane) {
  if (!run.steps || run.steps->points.size() != lane.configured.size()) return;
  const FlowSteps& steps = *run.steps;
  // Per step, the lowest row free of the brackets inside it.
  std::vector<int> lowest(steps.nodes.size(), 0);
  std::vector<std::vector<std::pair<double, double>>> rows;
  // A step's members follow it in the table: going backwards, the brackets
  // inside a step are placed before its own.
  for (std::size_t n = steps.nodes.size(); n-- > 1;) {
    const FlowSteps::Node& node = steps.nodes[n];
    std::string text = StepLabel(node);
    int above = lowest[n];
    if (!text.empty() && node.flat_begin < node.flat_end) {
      StepBracket& bracket = lane.brackets.emplace_back();
      const auto [first, last] =
          std::minmax_element(lane.expected_x.begin() + node.flat_begin,
                              lane.expected_x.begin() + node.flat_end);
      bracket.left = *first - kBracketReach;
      bracket.right = *last + kBracketReach;
      bracket.title = StepName(steps, n);
      if (node.kind == FlowStep::Kind::kPoint) {
        bracket.title += " '" + steps.points[node.point]->point_id + "'";
      }
      bracket.title += ": " + text;
      if (node.failure_id != 0) {
        bracket.title += fmt::format(", failure_id {}", node.failure_id);
      }
      bracket.label.x = (bracket.left + bracket.right) / 2;
      bracket.label.width = LabelWidth(text);
      const double half = bracket.label.width / 2;
      bracket.label.centre =
          std::clamp(bracket.label.x, kPlotLeft - 4 + half, kWidth - 4 - half);
      const std::pair<double, double> extent{
          std::min(bracket.left, bracket.label.centre - half),
          std::max(bracket.right, bracket.label.centre + half)};
      std::size_t row = static_cast<std::size_t>(lowest[n]);
      while (row < rows.size() && !RowHasRoom(rows[row], extent)) ++row;
      if (row == rows.size()) rows.emplace_back();
      rows[row].push_back(extent);
      bracket.label.row = static_cast<int>(row);
      bracket.text = std::move(text);
      above = bracket.label.row + 1;
    }
    lowest[node.parent] = std::max(lowest[node.parent], above);
  }
  // Outer steps first in the page, as they are written.
  std::reverse(lane.brackets.begin(), lane.brackets.end());
  lane.bracket_rows = static_cast<int>(rows.size());
}

LaneLayout PlanLane(const FlowRun& run, RunSpan span) {
  LaneLayout lane;
  MatchConfigured(run, lane);
  PlanTimeScale(run, span, lane);
  PlaceExpected(run, lane);
  PlanBrackets(run, lane);
  lane.budget = LateBudgetOf(run);
  AssignProcesses(run, lane);
  PlaceAllLabels(run, lane);
  return lane;
}

// Tick spacing of 1, 2 or 5 times a power of ten, about `count` ticks.
double TickStep(double span, int count) {
  const double raw = span / count;
  if (!(raw > 0) || !std::isfinite(raw)) return 1;
  double magnitude = 1;
  while (magnitude * 10 <= raw) magnitude *= 10;
  while (magnitude > raw) magnitude /= 10;
  for (double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (magnitude * factor >= raw) return magnitude * factor;
  }
  return magnitude * 10;
}

class HtmlWriter {
 public:
  HtmlWriter(const std::vector<FlowRun>& runs, std::string& out)
      : runs_(runs), out_(out) {}

  void Write() {
    std::size_t passed = 0;
    for (const FlowRun& run : runs_) passed += HasFault(run) ? 0 : 1;
    const std::string summary = fmt::format(
        "{} {}: {} passed, {} failed", runs_.size(),
        runs_.size() == 1 ? "run" : "runs", passed, runs_.size() - passed);
    out_ += kHtmlHead;
    out_ += "Flow timeline: " + summary;
    const bool steps = AnyRunHasSteps(runs_);
    out_ += kHtmlStyle;
    if (steps) out_ += kStepsStyle;
    out_ += kHtmlBodyStart;
    out_ +=
        "<h1>Flow timeline</h1>\n<p class=\"summary\">" + summary + "</p>\n";
    out_ += kLegend;
    if (steps) out_ += kStepsLegend;
    out_ += "</p>\n";
    for (std::size_t i = 0; i < runs_.size(); ++i) WriteRun(runs_[i], i);
    out_ += "</main>\n</body>\n</html>\n";
  }

 private:
  void Put(std::string_view text) { out_ += text; }
  void Escaped(std::string_view text) { AppendHtmlEscaped(out_, text); }

  template <typename... Args>
  void Format(fmt::format_string<Args...> format, Args&&... args) {
    fmt::format_to(std::back_inserter(out_), format,
                   std::forward<Args>(args)...);
  }

  // "update run 2" or "update", for hover titles.
  static std::string RunName(const FlowRun& run) {
    return run.run_id.empty() ? run.flow_id
                              : run.flow_id + " run " + run.run_id;
  }

  void WriteRun(const FlowRun& run, std::size_t run_number) {
    const RunSpan span = SpanOf(run);
    const bool failed = HasFault(run);
    const char* code = FlowCheckCodeName(run.code);

    Format("<section class=\"run{}\" id=\"run-{}\" data-flow=\"",
           failed ? " failed" : "", run_number + 1);
    Escaped(run.flow_id);
    Put("\" data-run=\"");
    Escaped(run.run_id);
    Format("\" data-code=\"{}\">\n<h2><span class=\"flow\">", code);
    Escaped(run.flow_id);
    Put("</span>");
    if (run.cfg && !run.cfg->flow_name.empty()) {
      Put("<span class=\"name\">");
      Escaped(run.cfg->flow_name);
      Put("</span>");
    }
    // The wall clock names the run; its id is in the hover title.
    Put("<span class=\"when\" title=\"");
    Escaped(RunName(run));
    Put("\">");
    Escaped(WallClock(span.start));
    Format("</span><span class=\"verdict\">{}</span></h2>\n<p class=\"facts\">",
           code);
    WriteFacts(run, span);
    Put("</p>\n");
    WriteLane(run, span);
    Put("</section>\n");
  }

  void WriteFacts(const FlowRun& run, RunSpan span) {
    Put("duration ");
    Put(Milliseconds(Elapsed(span.start, span.end)));
    if (run.deadline_ms != 0) {
      Format(" &middot; deadline {} ms", run.deadline_ms);
      if (Elapsed(span.start, span.end) > DeadlineNs(run.deadline_ms)) {
        Put(" (exceeded)");
      }
    }
    Format(" &middot; {} {} recorded", run.points.size(),
           run.points.size() == 1 ? "point" : "points");
    if (run.cfg) {
      Format(", {} configured", run.cfg->flow_points.size());
    } else {
      Put(", flow not configured");
    }
    if (run.unexpected_points != 0) {
      Format(", {} not in the configuration", run.unexpected_points);
    }
    if (run.possibly_lost_points != 0) {
      Format(" &middot; {} possibly lost", run.possibly_lost_points);
    }
    if (!run.machine_id.empty()) {
      Put(" &middot; machine ");
      Escaped(run.machine_id.substr(0, 12));
    }
    if (HasFault(run)) {
      Format(" &middot; <span class=\"fault\">{}", FlowCheckCodeName(run.code));
      if (FaultIsRecorded(run)) {
        Put(" at recorded '");
        Escaped(run.points[static_cast<std::size_t>(run.fault_point_index)]
                    .point_id);
        Put("'");
      }
      if (ConfiguredPointAtFault(run)) {
        Put(", configured '");
        Escaped(run.fault_configured_point_id);
        Format("', failure_id {}", run.failure_id);
      }
      Put("</span>");
    }
  }

  void WriteLane(const FlowRun& run, RunSpan span) {
    const LaneLayout lane = PlanLane(run, span);
    Format("<svg class=\"lane\" viewBox=\"0 0 {} {}\" role=\"img\"><title>",
           kWidth, lane.height);
    Escaped(RunName(run));
    Put(", ");
    Escaped(WallClock(span.start));
    Put("</title>\n");
    WriteRowNames(lane);
    WriteAxis(lane);
    WriteDeadline(run, lane);
    WriteBrackets(lane);
    // Links and leader lines first, so that points and labels cover them.
    for (std::size_t c = 0; c < lane.configured.size(); ++c) {
      if (lane.matched[c] == kUnmatched) continue;
      const std::size_t position = lane.matched[c];
      Format(
          "<line class=\"link\" x1=\"{:.1f}\" y1=\"{}\" x2=\"{:.1f}\" "
          "y2=\"{}\"/>\n",
          lane.expected_x[c], lane.expected_y + 6,
          lane.recorded_labels[position].x,
          lane.processes[lane.process_of[position]].y - 6);
    }
    WriteBudget(run, lane);
    WriteLeaders(run, lane);
    WriteExpected(run, lane);
    WriteRecorded(run, span, lane);
    Put("</svg>\n");
  }

  // The row names at the left: "expected", then each recording process.
  void WriteRowNames(const LaneLayout& lane) {
    Format(
        "<text class=\"row-label\" x=\"8\" y=\"{0}\">expected</text>"
        "<line class=\"track\" x1=\"{1}\" x2=\"{2}\" y1=\"{3}\" y2=\"{3}\"/>\n",
        lane.expected_y + 4, kPlotLeft, kPlotRight, lane.expected_y);
    if (lane.configured_order) {
      Format(
          "<text class=\"row-label sub\" x=\"8\" y=\"{}\">configured "
          "order</text>\n",
          lane.expected_y + 17);
    }
    for (const ProcessRow& process : lane.processes) {
      Format("<text class=\"row-label\" x=\"8\" y=\"{}\">", process.y + 4);
      if (!process.comm.empty()) {
        Escaped(Shortened(process.comm, kRowNameChars));
      } else if (process.pid > 0) {
        Format("pid {}", process.pid);
      } else {
        Put("recorded");
      }
      Put("</text>");
      if (!process.comm.empty() || process.pid > 0) {
        Format("<text class=\"row-label sub\" x=\"8\" y=\"{}\">recorded",
               process.y + 17);
        if (!process.comm.empty() && process.pid > 0) {
          Format(", pid {}", process.pid);
        }
        Put("</text>");
      }
      Format(
          "<line class=\"track\" x1=\"{0}\" x2=\"{1}\" y1=\"{2}\" "
          "y2=\"{2}\"/>\n",
          kPlotLeft, kPlotRight, process.y);
    }
  }

  void WriteAxis(const LaneLayout& lane) {
    const double span_ms = static_cast<double>(lane.axis_ns) / 1e6;
    // Ticks far enough apart for labels of up to 16 characters.
    const int count =
        std::clamp(static_cast<int>((lane.right - lane.left) / 125), 2, 10);
    const double step_ms = TickStep(span_ms, count);
    const int decimals =
        step_ms >= 1 ? 0 : (step_ms >= 0.1 ? 1 : (step_ms >= 0.01 ? 2 : 3));
    Format(
        "<g class=\"axis\"><line x1=\"{0:.1f}\" x2=\"{1:.1f}\" y1=\"{2}\" "
        "y2=\"{2}\"/>",
        lane.left, lane.right, lane.axis_y);
    for (int tick = 0; tick <= 4 * count; ++tick) {
      const double at_ms = step_ms * tick;
      if (at_ms > span_ms * (1 + 1e-9)) break;
      const double x = lane.left + at_ms / span_ms * (lane.right - lane.left);
      const std::string label = fmt::format("{:.{}f} ms", at_ms, decimals);
      const bool at_end =
          x + static_cast<double>(label.size()) * kSansCharWidth / 2 >
          kWidth - 2;
      Format(
          "<line x1=\"{0:.1f}\" x2=\"{0:.1f}\" y1=\"{1}\" y2=\"{2}\"/>"
          "<text x=\"{0:.1f}\" y=\"{3}\" text-anchor=\"{4}\">{5}</text>",
          x, lane.axis_y, lane.axis_y + 5, lane.axis_y + 18,
          at_end ? "end" : "middle", label);
    }
    Put("</g>\n");
  }

  // The deadline as a line on the scale, or, far beyond the points, as a
  // marker at the scale's end.
  void WriteDeadline(const FlowRun& run, const LaneLayout& lane) {
    if (lane.deadline_ns == 0) return;
    const double width = static_cast<double>(fmt::formatted_size(
                             "deadline {} ms", run.deadline_ms)) *
                         kSansCharWidth;
    if (lane.deadline_off_scale) {
      Format(
          "<g class=\"deadline off-scale\"><title>deadline {0} ms after the "
          "first point, beyond this scale of {1}</title>"
          "<text x=\"{2}\" y=\"14\" text-anchor=\"end\">deadline {0} "
          "ms</text><text x=\"{3}\" y=\"14\" text-anchor=\"end\">off scale "
          "\xE2\x86\x92</text></g>\n",
          run.deadline_ms, Milliseconds(lane.axis_ns), kPlotRight - 84,
          kPlotRight);
      return;
    }
    const double x = lane.X(Later(lane.start, lane.deadline_ns));
    const bool left_of_line = x - 3 - width >= 4;
    Format(
        "<g class=\"deadline\"><line x1=\"{0:.1f}\" x2=\"{0:.1f}\" "
        "y1=\"18\" y2=\"{1}\"/><text x=\"{2:.1f}\" y=\"14\" "
        "text-anchor=\"{3}\">deadline {4} ms</text></g>\n",
        x, lane.axis_y, left_of_line ? x - 3 : x + 3,
        left_of_line ? "end" : "start", run.deadline_ms);
  }

  // Each bracket: its label over a line that spans its points, the line's
  // ends reaching down to them.
  void WriteBrackets(const LaneLayout& lane) {
    for (const StepBracket& bracket : lane.brackets) {
      const double baseline = lane.BracketBaseline(bracket.label.row);
      Put("<g class=\"group\"><title>");
      Escaped(bracket.title);
      Format("</title><path d=\"M{0:.1f} {2} V{3} H{1:.1f} V{2}\"/>",
             bracket.left, bracket.right, baseline + 7, baseline + 3);
      WriteLabel(bracket.label, baseline, bracket.text, "step");
      Put("</g>\n");
    }
  }

  // The budget a late step missed, on the late point's row: from the
  // recording it runs from to its end, so that the late point shows how far
  // past the end it came.
  void WriteBudget(const FlowRun& run, const LaneLayout& lane) {
    if (!lane.budget) return;
    const auto late_index = static_cast<std::size_t>(run.fault_point_index);
    const RunPoint& from = run.points[lane.budget->from];
    const RunPoint& late = run.points[late_index];
    const double y = lane.processes[lane.process_of[late_index]].y;
    const double start = lane.X(from.time_ns);
    const double end =
        lane.X(Later(from.time_ns, DeadlineNs(lane.budget->within_ms)));
    const std::string text =
        fmt::format("budget {} {} ms", kAtMost, lane.budget->within_ms);
    const bool left_of_end = end - 3 - LabelWidth(text) >= kPlotLeft - 4;
    Put("<g class=\"budget\"><title>");
    Escaped(text);
    Put(" from '");
    Escaped(from.point_id);
    Format("' (recorded #{}); '", lane.budget->from);
    Escaped(late.point_id);
    Format("' came {} after it</title>",
           Milliseconds(Elapsed(from.time_ns, late.time_ns)));
    Format(
        "<rect x=\"{0:.1f}\" y=\"{2}\" width=\"{1:.1f}\" height=\"12\"/>"
        "<line x1=\"{3:.1f}\" x2=\"{3:.1f}\" y1=\"{4}\" y2=\"{5}\"/>"
        "<text x=\"{6:.1f}\" y=\"{7}\" text-anchor=\"{8}\">",
        start, end - start, y - 6, end, y - 9, y + 9,
        left_of_end ? end - 3 : end + 3, y - 11, left_of_end ? "end" : "start");
    Escaped(text);
    Put("</text></g>\n");
  }

  // A thin line from a point to its label where the label moved off it.
  void Leader(const Label& label, double y1, double y2) {
    if (label.row == 0 && std::abs(label.centre - label.x) < 0.5) return;
    Format(
        "<line class=\"leader\" x1=\"{:.1f}\" y1=\"{}\" x2=\"{:.1f}\" "
        "y2=\"{}\"/>\n",
        label.x, y1, label.centre, y2);
  }

  void WriteLeaders(const FlowRun& run, const LaneLayout& lane) {
    for (const Label& label : lane.expected_labels) {
      Leader(label, lane.expected_y - 6, lane.ExpectedBaseline(label.row) + 2);
    }
    for (std::size_t position = 0; position < run.points.size(); ++position) {
      const ProcessRow& process = lane.processes[lane.process_of[position]];
      const Label& label = lane.recorded_labels[position];
      Leader(label, process.y + 7,
             LaneLayout::RecordedBaseline(process, label.row) - 10);
    }
    if (FaultIsRecorded(run)) {
      const ProcessRow& process =
          lane.processes[lane.process_of[static_cast<std::size_t>(
              run.fault_point_index)]];
      Leader(lane.fault_label, process.y + 7,
             LaneLayout::RecordedBaseline(process, lane.fault_label.row) - 10);
    } else if (lane.fault_configured < lane.configured.size()) {
      Leader(lane.fault_label, lane.expected_y - 6,
             lane.ExpectedBaseline(lane.fault_label.row) + 2);
    }
  }

  void WriteLabel(const Label& label, double baseline, std::string_view text,
                  const char* css_class) {
    Format("<text class=\"{}\" x=\"{:.1f}\" y=\"{}\" text-anchor=\"middle\">",
           css_class, label.centre, baseline);
    Escaped(text);
    Put("</text>");
  }

  void WriteExpected(const FlowRun& run, const LaneLayout& lane) {
    for (std::size_t c = 0; c < lane.configured.size(); ++c) {
      const trace::TracePointCfg& point = *lane.configured[c];
      const bool missing = lane.matched[c] == kUnmatched;
      const bool fault = c == lane.fault_configured;
      Format("<g class=\"point cfg{}{}{}\" data-point=\"",
             point.is_critical ? "" : " optional", missing ? " missing" : "",
             fault ? " fault" : "");
      Escaped(point.point_id);
      Format("\" data-config-index=\"{}\"><title>", c);
      Escaped(point.point_id);
      Format(" \xE2\x80\x94 expected #{}, {}", c + 1,
             point.is_critical ? "critical" : "optional");
      if (point.failure_id != 0) Format(", failure_id {}", point.failure_id);
      if (missing) Put(", not recorded");
      if (!point.description.empty()) {
        Put("\n");
        Escaped(point.description);
      }
      if (fault) Format("\nat fault: {}", FaultText(run, ", "));
      Format("</title><circle cx=\"{:.1f}\" cy=\"{}\" r=\"{}\"/>",
             lane.expected_x[c], lane.expected_y, fault ? 7 : 5);
      const Label& label = lane.expected_labels[c];
      WriteLabel(label, lane.ExpectedBaseline(label.row),
                 Shortened(point.point_id, kLabelChars), "label");
      Put("</g>\n");
    }
    if (!FaultIsRecorded(run) &&
        lane.fault_configured < lane.configured.size()) {
      WriteLabel(lane.fault_label, lane.ExpectedBaseline(lane.fault_label.row),
                 FaultText(run, kDot), "label fault-label");
      Put("\n");
    }
  }

  void WriteRecorded(const FlowRun& run, RunSpan span, const LaneLayout& lane) {
    const std::unordered_set<std::string> configured = ConfiguredIds(run);
    for (std::size_t position : PointsInTimeOrder(run)) {
      const RunPoint& point = run.points[position];
      const ProcessRow& process = lane.processes[lane.process_of[position]];
      const bool fault = IsFaultPoint(run, position);
      const bool expected = configured.count(point.point_id) != 0;
      const Label& label = lane.recorded_labels[position];
      Format("<g class=\"point rec{}{}{}\" data-point=\"",
             point.success ? "" : " failed", expected ? "" : " unexpected",
             fault ? " fault" : "");
      Escaped(point.point_id);
      Format("\" data-index=\"{}\"><title>", position);
      Escaped(point.point_id);
      Format(" \xE2\x80\x94 recorded #{} at +{}, {}", position,
             Milliseconds(Elapsed(span.start, point.time_ns)),
             point.success ? "ok" : "failed");
      if (!expected) Put(", not in the configuration");
      if (point.pid > 0 || !point.comm.empty()) {
        Put("\nby ");
        Escaped(point.comm.empty() ? "pid" : point.comm);
        if (point.pid > 0) Format(" [{}]", point.pid);
      }
      for (const auto& [key, value] : point.metadata) {
        Put("\n");
        Escaped(key);
        Put(" = ");
        Escaped(value);
      }
      if (fault) Format("\nat fault: {}", FaultText(run, ", "));
      Format("</title><circle cx=\"{:.1f}\" cy=\"{}\" r=\"{}\"/>", label.x,
             process.y, fault ? 8 : 6);
      WriteLabel(label, LaneLayout::RecordedBaseline(process, label.row),
                 Shortened(point.point_id, kLabelChars), "label");
      Put("</g>\n");
      if (fault) {
        WriteLabel(lane.fault_label,
                   LaneLayout::RecordedBaseline(process, lane.fault_label.row),
                   FaultText(run, kDot), "label fault-label");
        Put("\n");
      }
    }
  }

  const std::vector<FlowRun>& runs_;
  std::string& out_;
};

}  // namespace

void AppendChromeTrace(const std::vector<FlowRun>& runs, std::string& out) {
  ChromeTraceWriter(runs, out).Write();
}

void AppendHtmlTimeline(const std::vector<FlowRun>& runs, std::string& out) {
  HtmlWriter(runs, out).Write();
}

std::string RenderTimeline(const std::vector<FlowRun>& runs,
                           trace::TimelineFormat format) {
  std::string out;
  // About what each point and run costs in either format, so that the text
  // grows without many reallocations.
  std::size_t points = 0;
  for (const FlowRun& run : runs) {
    points += run.points.size() + (run.cfg ? run.cfg->flow_points.size() : 0);
  }
  out.reserve(4096 + runs.size() * 1024 + points * 320);
  if (format == trace::TimelineFormat::kHtml) {
    AppendHtmlTimeline(runs, out);
  } else {
    AppendChromeTrace(runs, out);
  }
  return out;
}

bool WriteTimelineFile(const std::string& path, const std::string& content,
                       std::string& error) {
  base::UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t count =
        ::write(fd.get(), content.data() + written, content.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      error = path + ": " + std::strerror(errno);
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  if (fd.Close() != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace timeline
}  // namespace kelpwood
