#include "runs/flow_runs.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>
#include <utility>

#include "journal/verdict_entry.h"
#include "runs/state_fields.h"
#include "trace/src/flow_check.h"
#include "trace/src/flow_file.h"

namespace kelpwood {
namespace runs {
namespace {

using journal::CountUnexpectedPoints;

using trace::TraceFlowCfg;
using trace::TracePointCfg;

const char kStateHeader[] = "kelpwood-flows-watch-state 1";

std::string RunKey(const std::string& machine_id, const std::string& boot_id,
                   const std::string& name) {
  std::string key;
  key.reserve(machine_id.size() + boot_id.size() + name.size() + 2);
  key += machine_id;
  key += '\x1f';
  key += boot_id;
  key += '\x1f';
  key += name;
  return key;
}

// The state file's records: runs/state_fields.h.
std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

bool ToInt64(const std::string& text, std::int64_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

}  // namespace

bool LoadWatchedFlows(const std::vector<std::string>& paths,
                      std::map<std::string, WatchedFlow>& flows,
                      std::string& error, std::vector<std::string>* dropped) {
  using Kind = trace::FlowFileNote::Kind;
  for (const std::string& path : paths) {
    // The system's own reason where the file cannot be had at all.
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISREG(status.st_mode)) {
      error = path + ": not a regular file";
      return false;
    }
    const trace::FlowFile file = trace::ReadFlowFile(path);
    for (const trace::FlowFileNote& note : file.notes) {
      switch (note.kind) {
        case Kind::kFileRefused:
          // The reader's reason names the file already, except for a read
          // error, which it names too.
          error = note.reason;
          return false;
        case Kind::kNoWorkflows:
        case Kind::kWorkflowsNotSequence:
          error = path + ": no workflows sequence";
          return false;
        case Kind::kPointRefused:
        case Kind::kFlowRefused:
        case Kind::kSettingRefused:
          if (dropped != nullptr) {
            dropped->push_back(fmt::format("{}:{}:{}: {}", path, note.line,
                                           note.column, note.reason));
          }
          break;
        case Kind::kPointRead:
        case Kind::kFlowRead:
          break;
      }
    }
    for (const trace::ReadFlow& read : file.flows) {
      if (read.cfg->flow_id.empty()) continue;
      WatchedFlow flow;
      flow.cfg = read.cfg;
      flow.deadline_ms = read.deadline_ms;
      flow.steps = read.steps;
      flows[read.cfg->flow_id] = std::move(flow);
    }
  }
  return true;
}

void CheckRun(FlowRun& run) {
  run.fault_point_index = -1;
  run.fault_configured_index = -1;
  run.fault_configured_point_id.clear();
  run.failure_id = 0;
  if (!run.cfg) {
    run.code = trace::FlowCheckCode::FLOW_NOT_FOUND;
    run.unexpected_points = static_cast<std::uint32_t>(run.points.size());
    return;
  }
  const trace::CheckTrail trail =
      trace::CheckRecording(*run.cfg, run.steps.get(), run.points);
  run.code = trail.code;
  if (trail.fault_recorded != trace::CheckTrail::kNone) {
    run.fault_point_index = static_cast<int>(trail.fault_recorded);
  }
  if (trail.fault_configured != trace::CheckTrail::kNone) {
    run.fault_configured_index = static_cast<int>(trail.fault_configured);
    const TracePointCfg& point_cfg =
        *run.cfg->flow_points[trail.fault_configured];
    run.fault_configured_point_id = point_cfg.point_id;
    run.failure_id = trail.failure_id;
  }
  run.unexpected_points = CountUnexpectedPoints(run.cfg.get(), run.points);
}

std::string FaultPointId(const FlowRun& run) {
  if (run.fault_point_index >= 0 &&
      static_cast<std::size_t>(run.fault_point_index) < run.points.size()) {
    return run.points[static_cast<std::size_t>(run.fault_point_index)].point_id;
  }
  return run.fault_configured_point_id;
}

FlowRunEngine::FlowRunEngine(std::map<std::string, WatchedFlow> flows,
                             RunSink sink)
    : flows_(std::move(flows)), sink_(std::move(sink)) {}

void FlowRunEngine::Add(const FlowEntry& entry) {
  if (entry.kind == FlowEntryKind::kIgnored) return;
  if (entry.kind == FlowEntryKind::kJournalSuppressed) {
    // journald does not say which entries it dropped: every open run that a
    // process of the unit contributes to may have lost that many points.
    const std::string machine_boot =
        RunKey(entry.machine_id, entry.boot_id, "");
    bool given = false;
    for (auto& [key, open] : open_) {
      if (key.compare(0, machine_boot.size(), machine_boot) != 0) continue;
      if (std::find(open.units.begin(), open.units.end(), entry.unit) ==
          open.units.end()) {
        continue;
      }
      open.run.possibly_lost_points += entry.count;
      given = true;
    }
    if (!given) {
      AddPendingLoss(pending_unit_losses_,
                     RunKey(entry.machine_id, entry.boot_id, entry.unit),
                     entry.count, entry.realtime_us);
    }
    return;
  }

  const auto flow = flows_.find(entry.flow_id);
  if (flow == flows_.end()) return;
  const std::string key =
      RunKey(entry.machine_id, entry.boot_id, entry.flow_id);
  auto open = open_.find(key);

  switch (entry.kind) {
    case FlowEntryKind::kReset:
      if (open != open_.end()) End(open, entry.time_ns);
      return;
    case FlowEntryKind::kPointsDropped:
      if (open != open_.end()) {
        open->second.run.possibly_lost_points += entry.count;
      } else {
        AddPendingLoss(pending_flow_losses_, key, entry.count,
                       entry.realtime_us);
      }
      return;
    case FlowEntryKind::kPoint:
      break;
    case FlowEntryKind::kJournalSuppressed:
    case FlowEntryKind::kIgnored:
      return;
  }

  const std::uint64_t deadline_ms = flow->second.deadline_ms;
  if (open != open_.end() && deadline_ms > 0) {
    // Within one boot, on the monotonic clock: a stepped wall clock neither
    // ends a run early nor keeps it open.
    const std::int64_t deadline_ns =
        static_cast<std::int64_t>(deadline_ms) * 1000000;
    const std::int64_t arrived_ns =
        static_cast<std::int64_t>(entry.monotonic_us) * 1000;
    if (arrived_ns > open->second.start_monotonic_ns + deadline_ns) {
      End(open, open->second.run.start_ns + deadline_ns);
      open = open_.end();
    }
  }
  if (open == open_.end()) {
    Start(key, entry, flow->second);
    open = open_.find(key);
  }
  AddPoint(open, entry, flow->second);
}

void FlowRunEngine::AddPoint(std::map<std::string, OpenRun>::iterator at,
                             const FlowEntry& entry, const WatchedFlow& flow) {
  OpenRun& run = at->second;
  if (run.run.points.size() >= kMaxPointsPerRun) {
    // Left out and counted; it still ends the run where it would have (a
    // grammar's check, which cannot see it, stays where it was).
    ++run.run.points_dropped_by_watch;
    if (!run.run.steps &&
        PointEndsRun(run, *flow.cfg, entry.point_id, entry.success)) {
      End(at, std::max(run.run.end_ns, entry.time_ns));
    }
    return;
  }
  run.run.metadata_dropped_by_watch += entry.metadata_dropped;
  RunPoint point;
  point.point_id = entry.point_id;
  point.success = entry.success;
  point.time_ns = entry.time_ns;
  point.pid = entry.pid;
  point.comm = entry.comm;
  point.metadata = entry.metadata;
  run.run.points.push_back(std::move(point));
  run.run.end_ns = std::max(run.run.end_ns, entry.time_ns);
  if (!entry.unit.empty() && std::find(run.units.begin(), run.units.end(),
                                       entry.unit) == run.units.end()) {
    run.units.push_back(entry.unit);
    TakePendingLosses(run, entry.unit);
  }
  if (PointEndsRun(run, *flow.cfg, entry.point_id, entry.success)) {
    End(at, run.run.end_ns);
  }
}

void FlowRunEngine::Start(const std::string& key, const FlowEntry& entry,
                          const WatchedFlow& flow) {
  OpenRun open;
  open.run.machine_id = entry.machine_id;
  open.run.boot_id = entry.boot_id;
  open.run.flow_id = entry.flow_id;
  // The journal's receive time of the first point: the same for watch and
  // for a later offline check, and unique among the flow's runs unless two
  // of its first points arrive within one microsecond.
  open.run.run_id = std::to_string(entry.realtime_us);
  open.run.cfg = flow.cfg;
  open.run.deadline_ms = flow.deadline_ms;
  open.run.steps = flow.steps;
  open.run.start_ns = entry.time_ns;
  open.run.end_ns = entry.time_ns;
  open.start_monotonic_ns =
      static_cast<std::int64_t>(entry.monotonic_us) * 1000;
  open.seen.assign(flow.cfg->flow_points.size(), false);
  const auto pending = pending_flow_losses_.find(key);
  if (pending != pending_flow_losses_.end()) {
    open.run.possibly_lost_points += pending->second.count;
    pending_flow_losses_.erase(pending);
  }
  open_.emplace(key, std::move(open));
}

void FlowRunEngine::TakePendingLosses(OpenRun& open, const std::string& unit) {
  const auto pending = pending_unit_losses_.find(
      RunKey(open.run.machine_id, open.run.boot_id, unit));
  if (pending == pending_unit_losses_.end()) return;
  open.run.possibly_lost_points += pending->second.count;
  pending_unit_losses_.erase(pending);
}

void FlowRunEngine::AddPendingLoss(PendingLosses& table, const std::string& key,
                                   std::uint64_t count,
                                   std::uint64_t realtime_us) {
  for (auto it = table.begin(); it != table.end();) {
    const bool expired =
        it->second.realtime_us + kPendingLossLifetimeUs < realtime_us;
    it = expired ? table.erase(it) : std::next(it);
  }
  if (table.size() >= kMaxPendingLosses && table.count(key) == 0) {
    table.erase(std::min_element(
        table.begin(), table.end(), [](const auto& a, const auto& b) {
          return a.second.realtime_us < b.second.realtime_us;
        }));
  }
  PendingLoss& loss = table[key];
  loss.count += count;
  loss.realtime_us = std::max(loss.realtime_us, realtime_us);
}

namespace {

// Marks the configured point that `point_id` stands for as seen: in an
// ordered flow the first one of that id not yet seen (ids may repeat, as in
// <a><b><a>), in an unordered flow every one of that id. Its position, or
// the number of configured points for none.
std::size_t MarkSeen(std::vector<bool>& seen, const TraceFlowCfg& cfg,
                     const std::string& point_id) {
  const auto& configured = cfg.flow_points;
  std::size_t position = configured.size();
  for (std::size_t i = 0; i < configured.size(); ++i) {
    if (configured[i]->point_id != point_id) continue;
    if (cfg.check_order && seen[i]) continue;
    if (position == configured.size()) position = i;
    seen[i] = true;
    if (cfg.check_order) break;
  }
  return position;
}

}  // namespace

bool FlowRunEngine::PointEndsRun(OpenRun& open, const TraceFlowCfg& cfg,
                                 const std::string& point_id, bool success) {
  // A grammar's runs may branch and repeat: a run ends once its check is
  // settled, at a fault or with every step used up. Each point checks the
  // run so far again, within kMaxPointsPerRun.
  if (open.run.steps) {
    return trace::CheckRecording(cfg, open.run.steps.get(), open.run.points)
        .settled;
  }
  const auto& configured = cfg.flow_points;
  const std::size_t position = MarkSeen(open.seen, cfg, point_id);
  // Not configured, or a repeat the check will name.
  if (position == configured.size()) return false;
  if (!success && configured[position]->is_critical) return true;
  if (!cfg.check_order) {
    // An unordered flow ends once every configured id has arrived.
    return std::all_of(open.seen.begin(), open.seen.end(),
                       [](bool seen) { return seen; });
  }
  // An ordered flow ends at a skipped critical point, or at its last point.
  for (std::size_t i = 0; i < position; ++i) {
    if (configured[i]->is_critical && !open.seen[i]) return true;
  }
  return position == configured.size() - 1;
}

void FlowRunEngine::End(std::map<std::string, OpenRun>::iterator at,
                        std::int64_t end_ns) {
  FlowRun run = std::move(at->second.run);
  open_.erase(at);
  run.end_ns = std::max(run.end_ns, end_ns);
  CheckRun(run);
  sink_(std::move(run));
}

void FlowRunEngine::EndRunsDueBy(const std::string& boot_id,
                                 std::int64_t now_monotonic_ns) {
  for (auto it = open_.begin(); it != open_.end();) {
    const OpenRun& open = it->second;
    const std::int64_t deadline_ns =
        static_cast<std::int64_t>(open.run.deadline_ms) * 1000000;
    auto next = std::next(it);
    if (open.run.deadline_ms > 0 && open.run.boot_id == boot_id &&
        open.start_monotonic_ns + deadline_ns <= now_monotonic_ns) {
      End(it, open.run.start_ns + deadline_ns);
    }
    it = next;
  }
}

void FlowRunEngine::EndRunsOfOtherBoots(const std::string& boot_id) {
  for (auto it = open_.begin(); it != open_.end();) {
    const FlowRun& run = it->second.run;
    auto next = std::next(it);
    if (run.boot_id != boot_id) {
      End(it, run.deadline_ms > 0
                  ? run.start_ns +
                        static_cast<std::int64_t>(run.deadline_ms) * 1000000
                  : run.end_ns);
    }
    it = next;
  }
}

void FlowRunEngine::EndAllRuns() {
  while (!open_.empty()) {
    // Earliest start first, so that runs end in the order they began.
    auto first = std::min_element(
        open_.begin(), open_.end(), [](const auto& a, const auto& b) {
          return a.second.run.start_ns < b.second.run.start_ns;
        });
    End(first, first->second.run.end_ns);
  }
}

std::int64_t FlowRunEngine::NextDeadlineNs() const {
  std::int64_t earliest = INT64_MAX;
  for (const auto& [key, open] : open_) {
    if (open.run.deadline_ms == 0) continue;
    earliest =
        std::min(earliest,
                 open.start_monotonic_ns +
                     static_cast<std::int64_t>(open.run.deadline_ms) * 1000000);
  }
  return earliest;
}

void FlowRunEngine::SaveState(std::ostream& out) const {
  out << kStateHeader << '\n';
  for (const auto& [key, open] : open_) {
    const FlowRun& run = open.run;
    out << "run\t" << EscapeStateField(run.machine_id) << '\t'
        << EscapeStateField(run.boot_id) << '\t'
        << EscapeStateField(run.flow_id) << '\t' << EscapeStateField(run.run_id)
        << '\t' << run.start_ns << '\t' << run.end_ns << '\t'
        << run.possibly_lost_points << '\t' << open.start_monotonic_ns << '\t'
        << run.points_dropped_by_watch << '\t' << run.metadata_dropped_by_watch
        << '\n';
    for (const RunPoint& point : run.points) {
      out << "point\t" << EscapeStateField(point.point_id) << '\t'
          << (point.success ? 1 : 0) << '\t' << point.time_ns << '\t'
          << point.pid << '\t' << EscapeStateField(point.comm);
      for (const auto& [name, value] : point.metadata) {
        out << '\t' << EscapeStateField(name) << '\t'
            << EscapeStateField(value);
      }
      out << '\n';
    }
    for (const std::string& unit : open.units) {
      out << "unit\t" << EscapeStateField(unit) << '\n';
    }
  }
  for (const auto& [key, loss] : pending_flow_losses_) {
    out << "flow-loss\t" << EscapeStateField(key) << '\t' << loss.count << '\t'
        << loss.realtime_us << '\n';
  }
  for (const auto& [key, loss] : pending_unit_losses_) {
    out << "unit-loss\t" << EscapeStateField(key) << '\t' << loss.count << '\t'
        << loss.realtime_us << '\n';
  }
}

bool FlowRunEngine::LoadState(std::istream& in) {
  std::string line;
  if (!std::getline(in, line) || line != kStateHeader) return false;
  std::map<std::string, OpenRun> open_runs;
  PendingLosses flow_losses;
  PendingLosses unit_losses;
  OpenRun* current = nullptr;
  while (std::getline(in, line)) {
    std::vector<std::string> fields = SplitFields(line);
    for (std::size_t i = 1; i < fields.size(); ++i) {
      std::string plain;
      if (!UnescapeStateField(fields[i], plain)) return false;
      fields[i] = std::move(plain);
    }
    const std::string& tag = fields[0];
    if (tag == "run") {
      if (!LoadRun(fields, open_runs, current)) return false;
    } else if (tag == "point" && fields.size() >= 6 && fields.size() % 2 == 0) {
      RunPoint point;
      point.point_id = fields[1];
      point.success = fields[2] == "1";
      std::int64_t pid = 0;
      if (!ToInt64(fields[3], point.time_ns) || !ToInt64(fields[4], pid)) {
        return false;
      }
      point.pid = static_cast<pid_t>(pid);
      point.comm = fields[5];
      for (std::size_t i = 6; i + 1 < fields.size(); i += 2) {
        point.metadata.emplace_back(fields[i], fields[i + 1]);
      }
      if (current == nullptr) continue;
      // Replaying the point marks the configured points it has seen.
      MarkSeen(current->seen, *current->run.cfg, point.point_id);
      current->run.points.push_back(std::move(point));
    } else if (tag == "unit" && fields.size() == 2) {
      if (current != nullptr) current->units.push_back(fields[1]);
    } else if ((tag == "flow-loss" || tag == "unit-loss") &&
               (fields.size() == 3 || fields.size() == 4)) {
      // A state written before losses carried their time has three fields.
      PendingLoss loss;
      if (!ParseStateUint64(fields[2], loss.count) ||
          (fields.size() == 4 &&
           !ParseStateUint64(fields[3], loss.realtime_us))) {
        return false;
      }
      (tag == "flow-loss" ? flow_losses : unit_losses)[fields[1]] = loss;
    } else {
      return false;
    }
  }
  open_ = std::move(open_runs);
  pending_flow_losses_ = std::move(flow_losses);
  pending_unit_losses_ = std::move(unit_losses);
  return true;
}

bool FlowRunEngine::LoadRun(const std::vector<std::string>& fields,
                            std::map<std::string, OpenRun>& open_runs,
                            OpenRun*& current) const {
  // A state written before runs carried their monotonic start and drop
  // counts has eight fields; such a run's deadline counts from boot.
  if (fields.size() != 8 && fields.size() != 11) return false;
  OpenRun open;
  FlowRun& run = open.run;
  run.machine_id = fields[1];
  run.boot_id = fields[2];
  run.flow_id = fields[3];
  run.run_id = fields[4];
  if (!ToInt64(fields[5], run.start_ns) || !ToInt64(fields[6], run.end_ns) ||
      !ParseStateUint64(fields[7], run.possibly_lost_points)) {
    return false;
  }
  if (fields.size() == 11 &&
      (!ToInt64(fields[8], open.start_monotonic_ns) ||
       !ParseStateUint64(fields[9], run.points_dropped_by_watch) ||
       !ParseStateUint64(fields[10], run.metadata_dropped_by_watch))) {
    return false;
  }
  // A flow no longer configured: its run is dropped with it.
  const auto flow = flows_.find(run.flow_id);
  if (flow == flows_.end()) {
    current = nullptr;
    return true;
  }
  run.cfg = flow->second.cfg;
  run.deadline_ms = flow->second.deadline_ms;
  run.steps = flow->second.steps;
  open.seen.assign(run.cfg->flow_points.size(), false);
  const std::string key = RunKey(run.machine_id, run.boot_id, run.flow_id);
  current = &(open_runs[key] = std::move(open));
  return true;
}

}  // namespace runs
}  // namespace kelpwood
