#include "trace/src/flow_steps.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace kelpwood {
namespace trace {
namespace {

using Kind = FlowStep::Kind;

const char* GroupName(Kind kind) {
  switch (kind) {
    case Kind::kOneOf:
      return "one_of";
    case Kind::kAllOf:
      return "all_of";
    default:
      return "sequence";
  }
}

void FindIn(const std::vector<FlowStep>& steps, std::vector<std::size_t>& path,
            std::vector<StepProblem>& problems) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const FlowStep& step = steps[i];
    path.push_back(i);
    auto add = [&](std::string text) {
      problems.push_back({path, std::move(text)});
    };
    if (path.size() > kMaxStepNesting) {
      add(fmt::format("nested deeper than {} levels", kMaxStepNesting));
      path.pop_back();
      continue;
    }
    if (step.kind == Kind::kPoint && !step.point)
      add("a point step without a point");
    if (step.kind != Kind::kPoint && step.children.empty()) {
      add(fmt::format("{} has no members", GroupName(step.kind)));
    }
    if (step.max == 0) {
      add("repeat max is 0");
    } else if (step.min > step.max) {
      add(fmt::format("repeat min {} is above max {}", step.min, step.max));
    }
    if (step.within_ms != 0 && path.size() == 1 && i == 0) {
      add("within_ms on the flow's first step, which has no step before it");
    }
    if (step.kind != Kind::kPoint) FindIn(step.children, path, problems);
    path.pop_back();
  }
}

// Builds the nodes of `steps` below `parent`, in writing order.
class Compiler {
 public:
  explicit Compiler(FlowSteps& out) : out_(out) {}

  std::size_t Add(const FlowStep& step, std::size_t parent) {
    const std::size_t index = out_.nodes.size();
    out_.nodes.emplace_back();
    {
      FlowSteps::Node& node = out_.nodes[index];
      node.kind = step.kind;
      node.min = step.min;
      node.max = step.max;
      node.failure_id = step.failure_id;
      node.within_ns = static_cast<std::int64_t>(
          std::min<std::uint64_t>(step.within_ms, 9'000'000'000'000) *
          1'000'000);
      node.parent = parent;
      node.flat_begin = out_.points.size();
    }
    if (step.kind == Kind::kPoint) {
      out_.nodes[index].point = out_.points.size();
      out_.points.push_back(step.point);
      out_.point_nodes.push_back(index);
    } else {
      for (const FlowStep& child : step.children) {
        const std::size_t made = Add(child, index);
        out_.nodes[index].children.push_back(made);
      }
    }
    out_.nodes[index].flat_end = out_.points.size();
    return index;
  }

  FlowSteps& out_;
};

// Nullability, the reported first point and the next required children,
// children before parents (they were made after them).
void Summarise(FlowSteps& steps) {
  for (std::size_t n = steps.nodes.size(); n-- > 0;) {
    FlowSteps::Node& node = steps.nodes[n];
    const auto& nodes = steps.nodes;
    if (node.kind == Kind::kPoint) {
      node.body_nullable = false;
      node.first_point = node.point;
      node.always_satisfied = node.min == 0;
    } else if (node.children.empty()) {
      node.body_nullable = true;  // only the root of no steps
      node.next_required.assign(1, 0);
    } else {
      bool any = false;
      bool all = true;
      node.always_satisfied = true;
      for (std::size_t child : node.children) {
        any = any || nodes[child].nullable;
        all = all && nodes[child].nullable;
        node.always_satisfied =
            node.always_satisfied && nodes[child].always_satisfied;
      }
      node.body_nullable = node.kind == Kind::kOneOf ? any : all;
      std::size_t reported = node.children.front();
      if (node.kind != Kind::kOneOf) {
        for (std::size_t child : node.children) {
          if (!nodes[child].nullable) {
            reported = child;
            break;
          }
        }
      }
      node.first_point = nodes[reported].first_point;
      node.next_required.assign(node.children.size() + 1, node.children.size());
      for (std::size_t i = node.children.size(); i-- > 0;) {
        node.next_required[i] =
            nodes[node.children[i]].nullable ? node.next_required[i + 1] : i;
      }
    }
    node.nullable = node.body_nullable || node.min == 0;
  }
}

void SetBit(std::vector<std::uint64_t>& bits, std::size_t word,
            std::uint32_t id) {
  bits[word + id / 64] |= std::uint64_t{1} << (id % 64);
}

// The ids that can start each step, children before parents.
void FindFirstIds(FlowSteps& steps) {
  const std::size_t words = steps.words;
  steps.first.assign(steps.nodes.size() * words, 0);
  steps.first_any.assign(steps.nodes.size() * words, 0);
  for (std::size_t n = steps.nodes.size(); n-- > 0;) {
    const FlowSteps::Node& node = steps.nodes[n];
    if (node.kind == Kind::kPoint) {
      SetBit(steps.first, n * words, node.id);
      SetBit(steps.first_any, n * words, node.id);
      continue;
    }
    bool reachable = true;
    for (std::size_t child : node.children) {
      for (std::size_t w = 0; w < words; ++w) {
        steps.first_any[n * words + w] |= steps.first_any[child * words + w];
        if (reachable)
          steps.first[n * words + w] |= steps.first[child * words + w];
      }
      if (node.kind == Kind::kSequence && !steps.nodes[child].nullable) {
        reachable = false;
      }
    }
  }
}

void AppendChain(const FlowSteps& steps, std::size_t n, std::string& chain) {
  const FlowSteps::Node& node = steps.nodes[n];
  if (node.kind == Kind::kPoint) {
    const bool required = node.min > 0;
    chain += required ? '<' : '[';
    chain += steps.ids[node.id];
    chain += required ? '>' : ']';
  } else {
    const char* between = node.kind == Kind::kOneOf   ? " | "
                          : node.kind == Kind::kAllOf ? " & "
                                                      : " -> ";
    chain += '(';
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      if (i != 0) chain += between;
      AppendChain(steps, node.children[i], chain);
    }
    chain += ')';
    if (node.min == 0 && node.max == 1) chain += '?';
  }
  const bool plain = node.max == 1 && (node.min == 1 || node.min == 0);
  if (!plain) {
    chain += node.max == FlowStep::kUnbounded
                 ? fmt::format("{{{},}}", node.min)
                 : fmt::format("{{{},{}}}", node.min, node.max);
  }
  if (node.within_ns != 0) {
    chain += fmt::format("@{}ms", node.within_ns / 1'000'000);
  }
  if (node.failure_id != 0) chain += fmt::format("#{}", node.failure_id);
}

}  // namespace

std::string StepPathText(const std::vector<std::size_t>& path) {
  if (path.empty()) return "steps";
  std::string text = "step ";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i != 0) text += '.';
    text += std::to_string(path[i] + 1);
  }
  return text;
}

std::vector<StepProblem> FindStepProblems(const std::vector<FlowStep>& steps) {
  std::vector<StepProblem> problems;
  if (steps.empty()) problems.push_back({{}, "steps has no members"});
  std::vector<std::size_t> path;
  FindIn(steps, path, problems);
  return problems;
}

std::shared_ptr<const FlowSteps> CompileSteps(
    const std::vector<FlowStep>& steps) {
  auto compiled = std::make_shared<FlowSteps>();
  FlowSteps& out = *compiled;
  out.nodes.emplace_back();  // the root: the steps in order, once
  Compiler compiler(out);
  for (const FlowStep& step : steps) {
    const std::size_t made = compiler.Add(step, 0);
    out.nodes[0].children.push_back(made);
  }
  out.nodes[0].flat_end = out.points.size();
  // Ids are interned once every point is known.
  std::unordered_map<std::string, std::uint32_t> interned;
  for (std::size_t p = 0; p < out.points.size(); ++p) {
    const std::string& id = out.points[p]->point_id;
    const auto [entry, inserted] =
        interned.emplace(id, static_cast<std::uint32_t>(interned.size()));
    if (inserted) out.ids.push_back(id);
    out.nodes[out.point_nodes[p]].id = entry->second;
  }
  std::size_t slots = 2;
  while (slots < 2 * out.ids.size()) slots *= 2;
  out.id_slots.assign(slots, FlowSteps::kNoId);
  for (std::uint32_t i = 0; i < out.ids.size(); ++i) {
    std::size_t slot = FlowSteps::HashId(out.ids[i]) & (slots - 1);
    while (out.id_slots[slot] != FlowSteps::kNoId)
      slot = (slot + 1) & (slots - 1);
    out.id_slots[slot] = i;
  }
  out.occurrences.resize(out.ids.size());
  for (std::size_t node : out.point_nodes) {
    out.occurrences[out.nodes[node].id].push_back(node);
  }
  out.words = std::max<std::size_t>(1, (out.ids.size() + 63) / 64);
  Summarise(out);
  FindFirstIds(out);
  for (FlowSteps::Node& node : out.nodes) {
    if (node.kind != Kind::kOneOf) continue;
    node.branch_of.assign(out.ids.size(), FlowSteps::kNoBranch);
    node.branch_of_any.assign(out.ids.size(), FlowSteps::kNoBranch);
    for (std::uint32_t id = 0; id < out.ids.size(); ++id) {
      for (std::uint32_t i = node.children.size(); i-- > 0;) {
        if (out.CanStart(node.children[i], id, true)) node.branch_of[id] = i;
        if (out.CanStart(node.children[i], id, false)) {
          node.branch_of_any[id] = i;
        }
      }
    }
  }
  for (std::size_t node : out.point_nodes) {
    std::uint32_t reported = out.points[out.nodes[node].point]->failure_id;
    for (std::size_t up = out.nodes[node].parent; up != FlowSteps::kNone;
         up = out.nodes[up].parent) {
      if (out.nodes[up].failure_id != 0) reported = out.nodes[up].failure_id;
    }
    out.nodes[node].missing_failure_id = reported;
  }
  return compiled;
}

std::string StepsChain(const FlowSteps& steps) {
  std::string chain;
  for (std::size_t child : steps.nodes[0].children) {
    if (!chain.empty()) chain += " -> ";
    AppendChain(steps, child, chain);
  }
  return chain;
}

}  // namespace trace
}  // namespace kelpwood
