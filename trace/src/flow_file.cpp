#include "trace/src/flow_file.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "base/posix_file.h"
#include "trace/src/flow_config_keys.h"
#include "trace/src/flow_steps.h"

namespace kelpwood {
namespace trace {
namespace {

using Kind = FlowFileNote::Kind;

void Note(std::vector<FlowFileNote>& notes, Kind kind, const YAML::Mark& at,
          std::string reason = {}) {
  FlowFileNote& note = notes.emplace_back();
  note.kind = kind;
  if (at.line >= 0) {
    note.line = at.line + 1;
    note.column = at.column + 1;
  }
  note.reason = std::move(reason);
}

// Where an exception arose, or else where the entry starts.
YAML::Mark PlaceOf(const YAML::Exception& error, const YAML::Node& node) {
  return error.mark.line >= 0 ? error.mark : node.Mark();
}

// Why a path that is not a regular file cannot be a configuration file.
std::string NotRegularFileReason(const std::string& path, mode_t mode) {
  const char* kind = "not a regular file";
  if (S_ISDIR(mode)) {
    kind = "a directory";
  } else if (S_ISFIFO(mode)) {
    kind = "a FIFO";
  } else if (S_ISCHR(mode)) {
    kind = "a character device";
  } else if (S_ISBLK(mode)) {
    kind = "a block device";
  } else if (S_ISSOCK(mode)) {
    kind = "a socket";
  }
  return fmt::format("{}: is {}, not a regular file", path, kind);
}

// Where each step was written, in the shape of the step tree.
struct StepMarks {
  YAML::Mark at;
  std::vector<StepMarks> children;
};

// Reads a flow's "steps" into FlowStep trees, noting each problem.
class StepsReader {
 public:
  StepsReader(const std::string& flow_id, std::vector<FlowFileNote>& notes)
      : flow_id_(flow_id), notes_(notes) {}

  // False when a problem was noted.
  bool ReadList(const YAML::Node& list, std::vector<FlowStep>& steps,
                std::vector<StepMarks>& marks, std::vector<std::size_t>& path) {
    if (!list.IsSequence()) {
      Problem(list.Mark(), path, "a list of steps is not a sequence");
      return false;
    }
    bool valid = true;
    for (const auto& entry : list) {
      path.push_back(steps.size());
      FlowStep& step = steps.emplace_back();
      StepMarks& mark = marks.emplace_back();
      mark.at = entry.Mark();
      valid = ReadStep(entry, step, mark, path) && valid;
      path.pop_back();
    }
    return valid;
  }

  void Problem(const YAML::Mark& at, const std::vector<std::size_t>& path,
               const std::string& text, std::string key = {}) {
    Note(notes_, Kind::kSettingRefused, at,
         fmt::format("flow '{}': {}: {}", flow_id_, StepPathText(path), text));
    notes_.back().key = std::move(key);
    ++problems_;
  }

  std::size_t problems() const { return problems_; }

 private:
  bool ReadStep(const YAML::Node& node, FlowStep& step, StepMarks& marks,
                std::vector<std::size_t>& path) {
    if (path.size() > kMaxStepNesting) {
      Problem(node.Mark(), path,
              fmt::format("nested deeper than {} levels", kMaxStepNesting));
      return false;
    }
    if (!node.IsMap()) {
      Problem(node.Mark(), path, "a step is not a map");
      return false;
    }
    bool valid = KnownKeys(node, config_keys::kStepKeys, path);
    const char* kinds[] = {config_keys::kPointId, config_keys::kOneOf,
                           config_keys::kAllOf, config_keys::kSequence};
    int given = 0;
    for (const char* kind : kinds) given += node[kind] ? 1 : 0;
    if (given != 1) {
      Problem(node.Mark(), path,
              "a step takes exactly one of point_id, one_of, all_of and "
              "sequence");
      return false;
    }
    const YAML::Node optional = node[config_keys::kOptional];
    const bool is_optional = optional && optional.as<bool>();
    if (node[config_keys::kPointId]) {
      step.point = ReadPointEntry(node, notes_);
      if (!step.point) {
        Problem(node.Mark(), path, "its point cannot be read");
        return false;
      }
    } else {
      step.kind = node[config_keys::kOneOf]   ? FlowStep::Kind::kOneOf
                  : node[config_keys::kAllOf] ? FlowStep::Kind::kAllOf
                                              : FlowStep::Kind::kSequence;
      if (const YAML::Node id = node[config_keys::kFailureId]) {
        step.failure_id = id.as<std::uint32_t>();
      }
      const YAML::Node members =
          node[step.kind == FlowStep::Kind::kOneOf   ? config_keys::kOneOf
               : step.kind == FlowStep::Kind::kAllOf ? config_keys::kAllOf
                                                     : config_keys::kSequence];
      valid = ReadList(members, step.children, marks.children, path) && valid;
    }
    step.min = is_optional ? 0 : 1;
    if (const YAML::Node within = node[config_keys::kWithinMs]) {
      step.within_ms = within.as<std::uint64_t>();
    }
    if (const YAML::Node repeat = node[config_keys::kRepeat]) {
      valid = ReadRepeat(repeat, step, path) && valid;
    }
    return valid;
  }

  bool ReadRepeat(const YAML::Node& repeat, FlowStep& step,
                  const std::vector<std::size_t>& path) {
    if (!repeat.IsMap()) {
      Problem(repeat.Mark(), path, "repeat is not a map of min and max");
      return false;
    }
    const bool valid = KnownKeys(repeat, config_keys::kRepeatKeys, path);
    if (const YAML::Node min = repeat[config_keys::kMin]) {
      step.min = min.as<std::uint32_t>();
    }
    step.max = FlowStep::kUnbounded;
    if (const YAML::Node max = repeat[config_keys::kMax]) {
      step.max = max.as<std::uint32_t>();
    }
    return valid;
  }

  template <std::size_t N>
  bool KnownKeys(const YAML::Node& map, const char* const (&known)[N],
                 const std::vector<std::size_t>& path) {
    bool valid = true;
    for (const auto& entry : map) {
      const std::string key =
          entry.first.IsScalar() ? entry.first.Scalar() : std::string();
      if (std::find_if(std::begin(known), std::end(known),
                       [&](const char* name) { return key == name; }) !=
          std::end(known)) {
        continue;
      }
      Problem(entry.first.Mark(), path, fmt::format("unknown key \"{}\"", key),
              key);
      valid = false;
    }
    return valid;
  }

  const std::string& flow_id_;
  std::vector<FlowFileNote>& notes_;
  std::size_t problems_ = 0;
};

const YAML::Mark& MarkAt(const std::vector<StepMarks>& marks,
                         const std::vector<std::size_t>& path,
                         const YAML::Mark& fallback) {
  const YAML::Mark* at = &fallback;
  const std::vector<StepMarks>* level = &marks;
  for (std::size_t index : path) {
    if (index >= level->size()) break;
    at = &(*level)[index].at;
    level = &(*level)[index].children;
  }
  return *at;
}

// Reads the entry's "steps" into `cfg` (its points) and `steps`; null
// `steps` after notes when they are not valid.
void ReadFlowSteps(const YAML::Node& node, TraceFlowCfg& cfg,
                   std::vector<FlowFileNote>& notes,
                   std::shared_ptr<const FlowSteps>* steps) {
  const YAML::Node list = node[config_keys::kSteps];
  StepsReader reader(cfg.flow_id, notes);
  std::vector<std::size_t> path;
  if (node[config_keys::kFlowPoints]) {
    reader.Problem(list.Mark(), path,
                   "a flow takes flow_points or steps, not both");
  }
  std::vector<FlowStep> tree;
  std::vector<StepMarks> marks;
  reader.ReadList(list, tree, marks, path);
  if (reader.problems() == 0) {
    for (const StepProblem& problem : FindStepProblems(tree)) {
      reader.Problem(MarkAt(marks, problem.path, list.Mark()), problem.path,
                     problem.text);
    }
  }
  if (reader.problems() != 0) return;
  std::shared_ptr<const FlowSteps> compiled = CompileSteps(tree);
  cfg.flow_points = compiled->points;
  if (steps != nullptr) *steps = std::move(compiled);
}

void ReadWorkflows(const YAML::Node& root, FlowFile& file) {
  // The non-const subscript: a plain scalar root raises yaml-cpp's error.
  YAML::Node document = root;
  YAML::Node workflows = document[config_keys::kWorkflows];
  if (!workflows || workflows.IsNull()) {
    Note(file.notes, Kind::kNoWorkflows, YAML::Mark::null_mark());
    return;
  }
  if (!workflows.IsSequence()) {
    Note(file.notes, Kind::kWorkflowsNotSequence, workflows.Mark());
    return;
  }
  for (const auto& entry : workflows) {
    ReadFlow flow;
    const std::size_t notes_before = file.notes.size();
    flow.cfg = ReadFlowEntry(entry, file.notes, &flow.steps);
    if (!flow.cfg) continue;
    if (std::any_of(file.notes.begin() + notes_before, file.notes.end(),
                    [](const FlowFileNote& note) {
                      return note.kind == Kind::kSettingRefused;
                    })) {
      continue;
    }
    if (!ReadFlowSettings(entry, flow.cfg->flow_id, flow, file.notes)) {
      continue;
    }
    const YAML::Mark at = entry.Mark();
    if (at.line >= 0) {
      flow.line = at.line + 1;
      flow.column = at.column + 1;
    }
    file.flows.push_back(std::move(flow));
  }
}

FlowFile ReadRoot(const YAML::Node& root) {
  FlowFile file;
  try {
    ReadWorkflows(root, file);
  } catch (const YAML::Exception& error) {
    Note(file.notes, Kind::kFileRefused, error.mark, error.what());
  }
  return file;
}

}  // namespace

std::size_t FlowFile::RefusalCount() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(notes.begin(), notes.end(),
                    [](const FlowFileNote& note) { return note.IsRefusal(); }));
}

FlowFile ReadFlowText(const std::string& text) {
  YAML::Node root;
  try {
    root = YAML::Load(text);
  } catch (const YAML::Exception& error) {
    FlowFile file;
    Note(file.notes, Kind::kFileRefused, error.mark, error.what());
    return file;
  }
  return ReadRoot(root);
}

FlowFile ReadFlowFile(const std::string& path) {
  // Only a regular file is read: a FIFO or a device would block or never
  // end, and a directory makes the stream library throw an exception that is
  // not yaml-cpp's. The file is opened without blocking and judged on its
  // descriptor, so a file swapped for a FIFO meanwhile is still refused. A
  // path that cannot be opened is named by its type when it is not a regular
  // file (a socket, a device without read access); any other is left to
  // yaml-cpp, whose message names the file.
  std::string content;
  base::FileReadFailure failure;
  if (base::ReadRegularFile(path, content, failure)) {
    return ReadFlowText(content);
  }
  FlowFile file;
  std::string reason;
  if (failure.step == base::FileReadFailure::Step::kOpen) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
      reason = NotRegularFileReason(path, status.st_mode);
    } else {
      try {
        return ReadRoot(YAML::LoadFile(path));
      } catch (const YAML::Exception& error) {
        reason = error.what();
      }
    }
  } else if (failure.step == base::FileReadFailure::Step::kNotRegular) {
    reason = NotRegularFileReason(path, failure.mode);
  } else {
    reason = fmt::format("{}: {}", path, failure.Reason());
  }
  Note(file.notes, Kind::kFileRefused, YAML::Mark::null_mark(),
       std::move(reason));
  return file;
}

std::shared_ptr<TraceFlowCfg> ReadFlowEntry(const YAML::Node& node,
                                            std::vector<FlowFileNote>& notes) {
  return ReadFlowEntry(node, notes, nullptr);
}

std::shared_ptr<TraceFlowCfg> ReadFlowEntry(
    const YAML::Node& node, std::vector<FlowFileNote>& notes,
    std::shared_ptr<const FlowSteps>* steps) {
  try {
    auto cfg = std::make_shared<TraceFlowCfg>();
    if (const YAML::Node value = node[config_keys::kFlowId]) {
      cfg->flow_id = value.as<std::string>();
    }
    if (const YAML::Node value = node[config_keys::kFlowName]) {
      cfg->flow_name = value.as<std::string>();
    }
    if (const YAML::Node value = node[config_keys::kFlowDescription]) {
      cfg->description = value.as<std::string>();
    }
    // The file's default is false, unlike the record's own default.
    const YAML::Node check_order = node[config_keys::kCheckOrder];
    cfg->check_order = check_order ? check_order.as<bool>() : false;
    const YAML::Node points = node[config_keys::kFlowPoints];
    if (points && points.IsSequence()) {
      for (const auto& entry : points) {
        std::shared_ptr<TracePointCfg> point_cfg = ReadPointEntry(entry, notes);
        if (point_cfg) cfg->flow_points.push_back(std::move(point_cfg));
      }
    }
    // The steps' notes follow the flow's own, as the settings' do.
    std::vector<FlowFileNote> step_notes;
    if (node[config_keys::kSteps]) {
      ReadFlowSteps(node, *cfg, step_notes, steps);
    }
    Note(notes, Kind::kFlowRead, node.Mark());
    notes.back().flow = cfg;
    notes.insert(notes.end(), std::make_move_iterator(step_notes.begin()),
                 std::make_move_iterator(step_notes.end()));
    return cfg;
  } catch (const YAML::Exception& error) {
    Note(notes, Kind::kFlowRefused, PlaceOf(error, node), error.what());
    return nullptr;
  }
}

std::shared_ptr<TracePointCfg> ReadPointEntry(
    const YAML::Node& node, std::vector<FlowFileNote>& notes) {
  try {
    auto cfg = std::make_shared<TracePointCfg>();
    if (const YAML::Node value = node[config_keys::kPointId]) {
      cfg->point_id = value.as<std::string>();
    }
    if (const YAML::Node value = node[config_keys::kFailureId]) {
      cfg->failure_id = value.as<unsigned int>();
    }
    if (const YAML::Node value = node[config_keys::kPointDesc]) {
      cfg->description = value.as<std::string>();
    } else if (const YAML::Node other = node[config_keys::kPointDescription]) {
      cfg->description = other.as<std::string>();
    }
    // A point is critical unless the file marks it optional.
    const YAML::Node optional = node[config_keys::kOptional];
    cfg->is_critical = optional ? !optional.as<bool>() : true;
    Note(notes, Kind::kPointRead, node.Mark());
    notes.back().point = cfg;
    return cfg;
  } catch (const YAML::Exception& error) {
    Note(notes, Kind::kPointRefused, PlaceOf(error, node), error.what());
    return nullptr;
  }
}

bool ReadFlowSettings(const YAML::Node& node, const std::string& flow_id,
                      ReadFlow& flow, std::vector<FlowFileNote>& notes) {
  try {
    if (const YAML::Node scope = node[config_keys::kScope]) {
      const std::string value = scope.as<std::string>();
      if (value != "device" && value != "process") {
        Note(notes, Kind::kSettingRefused, scope.Mark(),
             fmt::format("flow '{}': scope is '{}', not 'device' or 'process'",
                         flow_id, value));
        return false;
      }
      flow.scope = value == "device" ? FlowScope::DEVICE : FlowScope::PROCESS;
    }
    if (const YAML::Node deadline = node[config_keys::kDeadlineMs]) {
      flow.deadline_ms = deadline.as<std::uint64_t>();
    }
    return true;
  } catch (const YAML::Exception& error) {
    Note(notes, Kind::kSettingRefused, PlaceOf(error, node), error.what());
    return false;
  }
}

}  // namespace trace
}  // namespace kelpwood
