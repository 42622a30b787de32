#include "trace/src/flow_check.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelpwood {
namespace trace {
namespace {

// The two kinds of recording the check reads: the registry's points and the
// runs that the tools assemble from the journal or a trace file.
const std::string& IdOf(const std::shared_ptr<TracePoint>& point) {
  return point->point_id;
}
bool SucceededOf(const std::shared_ptr<TracePoint>& point) {
  return point->success;
}
const std::string& IdOf(const RunPoint& point) { return point.point_id; }
bool SucceededOf(const RunPoint& point) { return point.success; }

// The occurrence index of a check: for every recorded point id, the latest
// recording of it still present. Each recording also remembers the previous
// recording with the same id, so taking the latest one out moves the id back
// along that chain in constant time. The table is open-addressed (linear
// probing, at most half full) and holds positions, not pointers or strings:
// building it makes one allocation however many points were recorded.
template <class Point>
class LatestRecordingIndex {
 public:
  static constexpr std::size_t kNone = CheckTrail::kNone;

  explicit LatestRecordingIndex(const std::vector<Point>& recorded)
      : recorded_(recorded), previous_(recorded.size()) {
    std::size_t capacity = 16;
    while (capacity < recorded.size() * 2) capacity <<= 1;
    slots_.assign(capacity, Slot{0, kNone, kNone});
    mask_ = capacity - 1;
    for (std::size_t position = 0; position < recorded.size(); ++position) {
      Add(position);
    }
  }

  // The position of the latest recording of `id` still present, or null.
  // Take() removes it.
  std::size_t* Latest(std::string_view id) {
    Slot& slot = Probe(id, std::hash<std::string_view>()(id));
    if (slot.key == kNone || slot.latest == kNone) return nullptr;
    return &slot.latest;
  }
  void Take(std::size_t* latest) const { *latest = previous_[*latest]; }

 private:
  struct Slot {
    std::size_t hash;
    std::size_t key;     // a recording that carries the id; kNone when free
    std::size_t latest;  // latest recording still present; kNone when none
  };

  // Enters the recording at `position` as the latest one of its id.
  void Add(std::size_t position) {
    const std::string& id = IdOf(recorded_[position]);
    const std::size_t hash = std::hash<std::string_view>()(id);
    Slot& slot = Probe(id, hash);
    if (slot.key == kNone) {
      slot = Slot{hash, position, position};
      previous_[position] = kNone;
    } else {
      previous_[position] = slot.latest;
      slot.latest = position;
    }
  }

  Slot& Probe(std::string_view id, std::size_t hash) {
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == kNone ||
          (slot.hash == hash && IdOf(recorded_[slot.key]) == id)) {
        return slot;
      }
    }
  }

  const std::vector<Point>& recorded_;
  std::vector<std::size_t> previous_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

// Presence pass: the latest recording of each configured point decides.
// Returns true when it decided the outcome; otherwise fills the leftovers.
template <class Point>
bool CheckPresence(const TraceFlowCfg& cfg, const std::vector<Point>& recorded,
                   CheckTrail& trail) {
  LatestRecordingIndex<Point> index(recorded);
  const auto& configured = cfg.flow_points;
  std::vector<bool> taken(recorded.size(), false);
  std::size_t taken_count = 0;
  for (std::size_t c = 0; c < configured.size(); ++c) {
    const auto& point_cfg = configured[c];
    if (!point_cfg) continue;
    if (std::size_t* latest = index.Latest(point_cfg->point_id)) {
      const std::size_t position = *latest;
      if (!SucceededOf(recorded[position])) {
        trail.code = FlowCheckCode::POINT_FAILED;
        trail.fault_recorded = position;
        trail.fault_configured = c;
        return true;
      }
      index.Take(latest);
      taken[position] = true;
      ++taken_count;
    } else if (point_cfg->is_critical) {
      trail.code = FlowCheckCode::POINT_MISSING;
      trail.fault_configured = c;
      return true;
    }
  }
  trail.leftovers.reserve(recorded.size() - taken_count);
  for (std::size_t position = 0; position < recorded.size(); ++position) {
    if (!taken[position]) trail.leftovers.push_back(position);
  }
  return false;
}

// Order pass: walk both sequences forward; optional configured points may be
// skipped, the first critical mismatch is classified and ends the check.
template <class Point>
void CheckOrder(const TraceFlowCfg& cfg, const std::vector<Point>& recorded,
                CheckTrail& trail) {
  const auto& configured = cfg.flow_points;
  const std::size_t configured_count = configured.size();
  const std::size_t recorded_count = recorded.size();
  auto next_configured = [&](std::size_t from) {
    while (from < configured_count && !configured[from]) ++from;
    return from;
  };
  std::size_t c = next_configured(0);
  std::size_t j = 0;
  while (c < configured_count) {
    const TracePointCfg& expected = *configured[c];
    const std::string& actual = IdOf(recorded[j]);
    if (expected.point_id == actual) {
      if (++j == recorded_count) return;
      c = next_configured(c + 1);
      continue;
    }
    if (!expected.is_critical) {
      c = next_configured(c + 1);
      continue;
    }
    trail.fault_configured = c;
    trail.fault_recorded = j;
    trail.order_mismatch_recorded = j;
    const std::size_t after = next_configured(c + 1);
    if (after < configured_count && configured[after]->point_id == actual) {
      trail.code = FlowCheckCode::POINT_MISSING;
      trail.fault_recorded = CheckTrail::kNone;
    } else if (j > 0 && IdOf(recorded[j - 1]) == actual) {
      trail.code = FlowCheckCode::POINT_DUPLICATED;
    } else if (j + 1 < recorded_count &&
               IdOf(recorded[j + 1]) == expected.point_id) {
      trail.code = FlowCheckCode::POINT_INVALID;
    } else {
      trail.code = FlowCheckCode::ORDER_ERROR;
    }
    return;
  }
}

template <class Point>
CheckTrail Check(const TraceFlowCfg& cfg, const std::vector<Point>& recorded) {
  CheckTrail trail;
  trail.decided_by_presence = CheckPresence(cfg, recorded, trail);
  if (!trail.decided_by_presence && cfg.check_order && !recorded.empty()) {
    CheckOrder(cfg, recorded, trail);
  }
  return trail;
}

}  // namespace

// Exported from the shared object (the declaration says so), and linked from
// this module into the tools, which name codes without the registry.
const char* FlowCheckCodeName(FlowCheckCode code) noexcept {
  switch (code) {
    case FlowCheckCode::PASSED:
      return "PASSED";
    case FlowCheckCode::POINT_FAILED:
      return "POINT_FAILED";
    case FlowCheckCode::POINT_INVALID:
      return "POINT_INVALID";
    case FlowCheckCode::POINT_DUPLICATED:
      return "POINT_DUPLICATED";
    case FlowCheckCode::POINT_MISSING:
      return "POINT_MISSING";
    case FlowCheckCode::ORDER_ERROR:
      return "ORDER_ERROR";
    case FlowCheckCode::FLOW_NOT_FOUND:
      return "FLOW_NOT_FOUND";
  }
  return "UNKNOWN";
}

CheckTrail CheckRecording(
    const TraceFlowCfg& cfg,
    const std::vector<std::shared_ptr<TracePoint>>& recorded) {
  return Check(cfg, recorded);
}

CheckTrail CheckRecording(const TraceFlowCfg& cfg,
                          const std::vector<RunPoint>& recorded) {
  return Check(cfg, recorded);
}

}  // namespace trace
}  // namespace kelpwood
