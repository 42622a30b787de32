// The flow check's matching code, shared by the two files that instantiate
// it: flow_check.cpp for the tools' runs and flow_check_points.cpp for the
// registry's points. Kept apart so that a tool never links the registry's
// instantiation, which reads TracePointTimeNs from the shared object.
// Internal to trace/src.

#ifndef KELPWOOD_TRACE_SRC_FLOW_CHECK_IMPL_H_
#define KELPWOOD_TRACE_SRC_FLOW_CHECK_IMPL_H_

#include <kelpwood/flow_timeline.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/src/flow_check.h"

namespace kelpwood {
namespace trace {
namespace check_impl {

// The two kinds of recording the check reads: the registry's points and the
// runs that the tools assemble from the journal or a trace file.
inline const std::string& IdOf(const std::shared_ptr<TracePoint>& point) {
  return point->point_id;
}
inline bool SucceededOf(const std::shared_ptr<TracePoint>& point) {
  return point->success;
}
inline const std::string& IdOf(const RunPoint& point) { return point.point_id; }
inline bool SucceededOf(const RunPoint& point) { return point.success; }

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

inline std::int64_t TimeNsOf(const std::shared_ptr<TracePoint>& point) {
  return TracePointTimeNs(*point);
}
inline std::int64_t TimeNsOf(const RunPoint& point) { return point.time_ns; }

// The grammar's check: one greedy pass in recording order. A one_of commits
// to the branch of its first recording, an all_of keeps each member's own
// state, a repeated step takes recordings while it is below its max, and a
// sequence moves forward only. Node states are reset lazily: a group that
// starts a new pass takes a new generation, and a child whose parent's
// generation is not the one it was made under starts afresh when it is next
// reached. A recording reaches at most each step once, so the check is
// linear in the recording (times the size of the steps, at worst).
template <class Point>
class StepMatcher {
 public:
  using Node = FlowSteps::Node;
  static constexpr std::size_t kNone = CheckTrail::kNone;

  StepMatcher(const FlowSteps& steps, bool ordered,
              const std::vector<Point>& recorded, CheckTrail& trail)
      : steps_(steps),
        ordered_(ordered),
        recorded_(recorded),
        trail_(trail),
        states_(steps.nodes.size()) {
    // The flow's steps are one pass of the root sequence, under way from
    // the start, so that a first recording that skips a required step
    // finds the sequence waiting for it.
    states_[0].count = 1;
    states_[0].open = true;
  }

  void Run() {
    for (std::size_t position = 0; position < recorded_.size(); ++position) {
      if (!Offer(position)) {
        trail_.settled = true;
        return;
      }
    }
    if (!Satisfied(0)) {
      const std::size_t point = MissingPoint(0);
      Fault(FlowCheckCode::POINT_MISSING, kNone, point,
            steps_.nodes[point].missing_failure_id);
      return;
    }
    trail_.settled = Exhausted(0);
  }

 private:
  struct State {
    std::uint64_t gen = 0;         // this state's own generation
    std::uint64_t parent_gen = 0;  // its parent's when it was made
    std::uint32_t count = 0;       // passes started (recordings of a point)
    bool open = false;             // a group's pass is under way
    std::size_t cursor = 0;        // sequence: current child; one_of: branch
    std::size_t ref = kNone;       // recording before the current pass
    std::size_t last = kNone;      // last recording taken (or `ref`)
  };
  // What one recording met on its way through the steps.
  struct Visit {
    std::uint32_t id = FlowSteps::kNoId;
    std::size_t position = 0;
    std::size_t taken_by = kNone;  // the point step that took it
    std::size_t full = kNone;      // a step that took its max already
    std::size_t blocking = kNone;  // a required step a sequence waits for
    std::size_t late = kNone;      // a step that started too late
    std::size_t late_ref = kNone;
  };

  // Judges one recording; false once a fault decided the check.
  bool Offer(std::size_t position) {
    Visit visit;
    visit.id = steps_.Find(IdOf(recorded_[position]));
    visit.position = position;
    if (visit.id == FlowSteps::kNoId) {
      trail_.leftovers.push_back(position);
      return true;
    }
    // The root's one pass is always under way: straight into it.
    if (TakeInPass(0, visit)) {
      states_[0].last = position;
      const Node& point = steps_.nodes[visit.taken_by];
      if (!SucceededOf(recorded_[position])) {
        Fault(FlowCheckCode::POINT_FAILED, position, visit.taken_by,
              steps_.points[point.point]->failure_id);
        return false;
      }
      if (visit.late != kNone) {
        const Node& late = steps_.nodes[visit.late];
        Fault(FlowCheckCode::POINT_LATE, position, visit.taken_by,
              late.failure_id != 0 ? late.failure_id
                                   : steps_.points[point.point]->failure_id);
        trail_.late_after_recorded = visit.late_ref;
        trail_.late_budget_ms =
            static_cast<std::uint64_t>(late.within_ns / 1'000'000);
        return false;
      }
      return true;
    }
    if (AllOccurrencesDead(visit.id)) {
      trail_.leftovers.push_back(position);
      return true;
    }
    Refused(visit);
    return false;
  }

  // A recording of the flow that no step may take.
  void Refused(const Visit& visit) {
    trail_.order_mismatch_recorded = visit.position;
    if (visit.blocking != kNone &&
        steps_.nodes[steps_.occurrences[visit.id].back()].point >=
            steps_.nodes[visit.blocking].flat_end) {
      const std::size_t point = MissingPoint(visit.blocking);
      Fault(FlowCheckCode::POINT_MISSING, kNone, point,
            steps_.nodes[point].missing_failure_id);
    } else if (visit.full != kNone) {
      const std::size_t point = OccurrenceIn(visit.id, visit.full);
      Fault(FlowCheckCode::POINT_DUPLICATED, visit.position, point,
            OwnFailureId(point));
    } else {
      const std::size_t point = visit.blocking != kNone
                                    ? MissingPoint(visit.blocking)
                                    : steps_.occurrences[visit.id].front();
      Fault(FlowCheckCode::ORDER_ERROR, visit.position, point,
            OwnFailureId(point));
    }
  }

  void Fault(FlowCheckCode code, std::size_t recorded, std::size_t point_node,
             std::uint32_t failure_id) {
    trail_.code = code;
    trail_.fault_recorded = recorded;
    trail_.fault_configured = steps_.nodes[point_node].point;
    trail_.failure_id = failure_id;
  }

  std::uint32_t OwnFailureId(std::size_t point_node) const {
    return steps_.points[steps_.nodes[point_node].point]->failure_id;
  }
  // The last node made for the step `n` (its subtree ends there).
  std::size_t LastNode(std::size_t n) const {
    while (!steps_.nodes[n].children.empty()) {
      n = steps_.nodes[n].children.back();
    }
    return n;
  }
  // The first point step of `id` inside the step `n`.
  std::size_t OccurrenceIn(std::uint32_t id, std::size_t n) const {
    for (std::size_t point : steps_.occurrences[id]) {
      if (point >= n && point <= LastNode(n)) return point;
    }
    return steps_.occurrences[id].front();
  }

  bool IsSequence(const Node& node) const {
    return ordered_ && node.kind == FlowStep::Kind::kSequence;
  }

  // The state of `child`, made afresh when its parent moved on since.
  State& Fresh(std::size_t child) {
    State& state = states_[child];
    const State& parent = states_[steps_.nodes[child].parent];
    if (state.parent_gen != parent.gen) {
      state = State();
      state.parent_gen = parent.gen;
      state.gen = ++generations_;
    }
    return state;
  }
  // Whether the state of `n` belongs to its parents' current passes.
  bool Current(std::size_t n) const {
    for (; n != 0; n = steps_.nodes[n].parent) {
      if (states_[n].parent_gen != states_[steps_.nodes[n].parent].gen) {
        return false;
      }
    }
    return true;
  }

  void NoteStart(std::size_t n, Visit& visit, std::size_t ref) {
    const Node& node = steps_.nodes[n];
    if (!ordered_ || node.within_ns == 0 || ref == kNone ||
        visit.late != kNone) {
      return;
    }
    const std::int64_t elapsed =
        TimeNsOf(recorded_[visit.position]) - TimeNsOf(recorded_[ref]);
    if (elapsed > node.within_ns) {
      visit.late = n;
      visit.late_ref = ref;
    }
  }

  // Offers the recording to step `n` (its state current); `ref` is the
  // recording before it, should it start now.
  // Point steps are the commonest and cheapest: kept inline, so that only a
  // group costs a call.
  bool Take(std::size_t n, Visit& visit, std::size_t ref) {
    const Node& node = steps_.nodes[n];
    if (node.kind != FlowStep::Kind::kPoint) return TakeInGroup(n, visit, ref);
    if (visit.id != node.id) return false;
    State& state = states_[n];
    if (state.count >= node.max) {
      if (visit.full == kNone) visit.full = n;
      return false;
    }
    if (state.count == 0) NoteStart(n, visit, ref);
    ++state.count;
    state.last = visit.position;
    visit.taken_by = n;
    return true;
  }

  bool TakeInGroup(std::size_t n, Visit& visit, std::size_t ref) {
    const Node& node = steps_.nodes[n];
    State& state = states_[n];
    if (state.open && TakeInPass(n, visit)) {
      state.last = visit.position;
      return true;
    }
    if (!steps_.CanStart(n, visit.id, ordered_)) return false;
    if (state.open && !PassSatisfied(n)) return false;
    if (state.count >= node.max) {
      // Only a repeated group: a second pass of a plain one is out of order.
      if (visit.full == kNone && node.max > 1) visit.full = n;
      return false;
    }
    if (state.count == 0) {
      NoteStart(n, visit, ref);
      state.ref = ref;
    } else {
      state.ref = state.last;
    }
    ++state.count;
    state.open = true;
    state.gen = ++generations_;
    state.cursor = node.kind == FlowStep::Kind::kOneOf ? kNone : 0;
    state.last = state.ref;
    if (!TakeInPass(n, visit)) return false;
    state.last = visit.position;
    return true;
  }

  // Offers the recording to the pass of group `n` under way.
  bool TakeInPass(std::size_t n, Visit& visit) {
    const Node& node = steps_.nodes[n];
    State& state = states_[n];
    if (node.kind == FlowStep::Kind::kOneOf) {
      if (state.cursor != kNone) {
        const std::size_t branch = node.children[state.cursor];
        // An id the branch never names cannot be taken there, and nothing
        // inside it waits for one (the commonest case when branches switch).
        if (!steps_.CanStart(branch, visit.id, false)) return false;
        Fresh(branch);
        return Take(branch, visit, state.ref);
      }
      // The first branch that the id can start takes it: a fresh step
      // always takes an id that can start it.
      const std::uint32_t i =
          (ordered_ ? node.branch_of : node.branch_of_any)[visit.id];
      if (i == FlowSteps::kNoBranch) return false;
      const std::size_t branch = node.children[i];
      Fresh(branch);
      if (!Take(branch, visit, state.ref)) return false;
      state.cursor = i;
      return true;
    }
    if (IsSequence(node)) return TakeInSequence(n, visit);
    // all_of (and every group without order): members under way first.
    for (std::size_t member : node.children) {
      if (Fresh(member).count != 0 && Take(member, visit, state.ref)) {
        return true;
      }
    }
    for (std::size_t member : node.children) {
      if (states_[member].count == 0 &&
          steps_.CanStart(member, visit.id, ordered_) &&
          Take(member, visit, state.ref)) {
        return true;
      }
    }
    return false;
  }

  bool TakeInSequence(std::size_t n, Visit& visit) {
    const Node& node = steps_.nodes[n];
    State& state = states_[n];
    std::size_t i = state.cursor;
    if (i < node.children.size() && Fresh(node.children[i]).count != 0) {
      const std::size_t current = node.children[i];
      if (Take(current, visit, state.last)) return true;
      if (!Satisfied(current)) {
        if (visit.blocking == kNone) visit.blocking = current;
        return false;
      }
      ++i;
    }
    for (; i < node.children.size(); ++i) {
      const std::size_t child = node.children[i];
      Fresh(child);
      if (steps_.CanStart(child, visit.id, ordered_) &&
          Take(child, visit, state.last)) {
        state.cursor = i;
        return true;
      }
      if (!steps_.nodes[child].nullable) {
        if (visit.blocking == kNone) visit.blocking = child;
        return false;
      }
    }
    return false;
  }

  // Whether step `n` (its state current) may end here.
  bool Satisfied(std::size_t n) {
    const Node& node = steps_.nodes[n];
    if (node.always_satisfied) return true;
    const State& state = states_[n];
    if (node.kind == FlowStep::Kind::kPoint) return state.count >= node.min;
    if (!state.open) return node.nullable;
    return (state.count >= node.min || node.body_nullable) && PassSatisfied(n);
  }

  bool PassSatisfied(std::size_t n) {
    const Node& node = steps_.nodes[n];
    const State& state = states_[n];
    if (node.kind == FlowStep::Kind::kOneOf) {
      if (state.cursor == kNone) return node.body_nullable;
      const std::size_t branch = node.children[state.cursor];
      Fresh(branch);
      return Satisfied(branch);
    }
    if (IsSequence(node)) {
      std::size_t i = state.cursor;
      if (i < node.children.size() && Fresh(node.children[i]).count != 0) {
        if (!Satisfied(node.children[i])) return false;
        ++i;
      }
      return node.next_required[i] == node.children.size();
    }
    for (std::size_t member : node.children) {
      Fresh(member);
      if (!Satisfied(member)) return false;
    }
    return true;
  }

  // Whether step `n` (its state current, satisfied) can take no further
  // recording: taken as often as it may be, its last pass as well.
  bool Exhausted(std::size_t n) {
    const Node& node = steps_.nodes[n];
    const State& state = states_[n];
    if (state.count < node.max) return false;
    if (node.kind == FlowStep::Kind::kPoint) return true;
    if (node.kind == FlowStep::Kind::kOneOf) {
      if (state.cursor == kNone) return false;
      const std::size_t branch = node.children[state.cursor];
      Fresh(branch);
      return Exhausted(branch);
    }
    if (IsSequence(node)) {
      // Ordered: only the last child can still take, once it is reached.
      const std::size_t last = node.children.size() - 1;
      if (state.cursor != last) return false;
      Fresh(node.children[last]);
      return Exhausted(node.children[last]);
    }
    for (std::size_t member : node.children) {
      Fresh(member);
      if (!Exhausted(member)) return false;
    }
    return true;
  }

  // The point step reported when step `n` (its state current, not
  // satisfied) is missing.
  std::size_t MissingPoint(std::size_t n) {
    const Node& node = steps_.nodes[n];
    const State& state = states_[n];
    const std::size_t first = steps_.point_nodes[node.first_point];
    if (node.kind == FlowStep::Kind::kPoint || !state.open ||
        PassSatisfied(n)) {
      return first;
    }
    if (node.kind == FlowStep::Kind::kOneOf) {
      if (state.cursor == kNone) return first;
      return MissingPoint(node.children[state.cursor]);
    }
    std::size_t i = IsSequence(node) ? state.cursor : 0;
    for (; i < node.children.size(); ++i) {
      Fresh(node.children[i]);
      if (!Satisfied(node.children[i])) return MissingPoint(node.children[i]);
    }
    return first;
  }

  // Whether every step of `id` lies in a branch that its one_of passed by.
  bool AllOccurrencesDead(std::uint32_t id) const {
    for (std::size_t point : steps_.occurrences[id]) {
      if (!PassedBy(point)) return false;
    }
    return true;
  }
  bool PassedBy(std::size_t n) const {
    for (std::size_t child = n; child != 0;) {
      const std::size_t parent = steps_.nodes[child].parent;
      const Node& group = steps_.nodes[parent];
      const State& state = states_[parent];
      if (group.kind == FlowStep::Kind::kOneOf && state.open &&
          state.cursor != kNone && group.children[state.cursor] != child &&
          Current(parent)) {
        return true;
      }
      child = parent;
    }
    return false;
  }

  const FlowSteps& steps_;
  const bool ordered_;
  const std::vector<Point>& recorded_;
  CheckTrail& trail_;
  std::vector<State> states_;
  std::uint64_t generations_ = 0;
};

template <class Point>
CheckTrail Check(const TraceFlowCfg& cfg, const FlowSteps* steps,
                 const std::vector<Point>& recorded) {
  CheckTrail trail;
  if (steps != nullptr) {
    StepMatcher<Point>(*steps, cfg.check_order, recorded, trail).Run();
    return trail;
  }
  trail.decided_by_presence = CheckPresence(cfg, recorded, trail);
  if (!trail.decided_by_presence && cfg.check_order && !recorded.empty()) {
    CheckOrder(cfg, recorded, trail);
  }
  if (trail.fault_configured != CheckTrail::kNone) {
    trail.failure_id = cfg.flow_points[trail.fault_configured]->failure_id;
  }
  return trail;
}

}  // namespace check_impl
}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_FLOW_CHECK_IMPL_H_
