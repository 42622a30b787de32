// A flow's grammar (FlowStep trees, <kelpwood/flow_trace.h>) as the check
// reads it: the steps judged for structural problems, then compiled into a
// flat table of nodes with their points, interned ids and the ids that can
// start each step. Pure; shared by the registry, the reader and the check.
//
//   std::vector<StepProblem> problems = FindStepProblems(steps);
//   if (problems.empty()) std::shared_ptr<const FlowSteps> s =
//       CompileSteps(steps);

#ifndef KELPWOOD_TRACE_SRC_FLOW_STEPS_H_
#define KELPWOOD_TRACE_SRC_FLOW_STEPS_H_

#include <kelpwood/flow_trace.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kelpwood {
namespace trace {

// Groups nest at most this deep: the flow's own steps are level 1.
inline constexpr std::size_t kMaxStepNesting = 16;

// One structural problem of a step tree. `path` leads from the flow's steps
// to the step at fault (indexes, 0-based; empty: the steps as a whole).
struct StepProblem {
  std::vector<std::size_t> path;
  std::string text;
};

// "step 3.2" for the path {2, 1}; "steps" for the empty path.
std::string StepPathText(const std::vector<std::size_t>& path);

// Null points, empty groups, min above max or max 0, within_ms on the
// flow's first step and groups nested deeper than kMaxStepNesting, in
// writing order.
std::vector<StepProblem> FindStepProblems(const std::vector<FlowStep>& steps);

struct FlowSteps {
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  static constexpr std::uint32_t kNoId = 0xFFFFFFFFu;

  struct Node {
    FlowStep::Kind kind = FlowStep::Kind::kSequence;
    std::uint32_t min = 1;
    std::uint32_t max = 1;
    std::uint32_t failure_id = 0;  // a group's own; 0: none
    std::int64_t within_ns = 0;    // 0: none
    std::size_t parent = kNone;
    std::vector<std::size_t> children;
    // A sequence's first child at or after each position that is not
    // nullable (children.size() when none); one entry more than children.
    std::vector<std::size_t> next_required;
    std::size_t point = kNone;   // a point step: its place in `points`
    std::uint32_t id = kNoId;    // a point step: its interned id
    std::size_t flat_begin = 0;  // the points of the step: [begin, end)
    std::size_t flat_end = 0;
    std::size_t first_point = 0;  // the point reported when it is missing
    bool body_nullable = false;   // one pass needs no recording
    bool nullable = false;        // body_nullable or min == 0
    // Nothing inside is required: satisfied whatever was recorded.
    bool always_satisfied = false;
    // The failure_id reported when this point step is missing: the
    // outermost group around it that sets one, else the point's own.
    std::uint32_t missing_failure_id = 0;
    // A one_of: per interned id, the first branch it can start (ordered,
    // then unordered), or kNoBranch.
    std::vector<std::uint32_t> branch_of;
    std::vector<std::uint32_t> branch_of_any;
  };
  static constexpr std::uint32_t kNoBranch = 0xFFFFFFFFu;

  FlowSteps() = default;
  FlowSteps(const FlowSteps&) = delete;
  FlowSteps& operator=(const FlowSteps&) = delete;

  // The interned id of `id`, or kNoId for an id no step names. Open
  // addressing over a power-of-two table: once per recording, where a
  // modulo and a chained bucket cost more than the whole step it feeds.
  std::uint32_t Find(std::string_view id) const {
    const std::size_t mask = id_slots.size() - 1;
    for (std::size_t slot = HashId(id) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t found = id_slots[slot];
      if (found == kNoId || SameBytes(ids[found], id)) return found;
    }
  }
  // FNV-1a, inline: ids are short and come from the configuration, and a
  // call to the library's hash cost a tenth of a whole check.
  static std::size_t HashId(std::string_view id) {
    std::uint64_t hash = 14695981039346656037u;
    for (const char byte : id) {
      hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211u;
    }
    return static_cast<std::size_t>(hash ^ (hash >> 32));
  }
  // Ids are short: a loop beats a call to memcmp.
  static bool SameBytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }
  // Whether `id` can start the step (ordered: as a sequence reads it;
  // unordered: any member may come first).
  bool CanStart(std::size_t node, std::uint32_t id, bool ordered) const {
    const std::vector<std::uint64_t>& bits = ordered ? first : first_any;
    return (bits[node * words + id / 64] >> (id % 64)) & 1u;
  }

  // nodes[0] is the flow's steps as one sequence taken once.
  std::vector<Node> nodes;
  // The points of the point steps in writing order (a flow's flow_points).
  std::vector<std::shared_ptr<TracePointCfg>> points;
  // Each point's node.
  std::vector<std::size_t> point_nodes;
  std::vector<std::string> ids;
  // Interned ids by hash, kNoId where free; at least half free.
  std::vector<std::uint32_t> id_slots;
  // Per interned id, its point steps in writing order.
  std::vector<std::vector<std::size_t>> occurrences;
  std::size_t words = 0;
  std::vector<std::uint64_t> first;
  std::vector<std::uint64_t> first_any;
};

// Compiles steps without problems (FindStepProblems).
std::shared_ptr<const FlowSteps> CompileSteps(
    const std::vector<FlowStep>& steps);

// The steps as CheckFlow's configuration chain shows them: "<a> -> (<b> |
// [c]) -> (<d> & <e>) -> <f>{1,3} -> <g>@5000ms".
std::string StepsChain(const FlowSteps& steps);

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_FLOW_STEPS_H_
