// kelpwood-flows validate: judges each flow file through the library's own
// parse operations, and explains with file:line:column what the loader
// drops, ignores or reads otherwise than its author probably meant.

#include <fmt/format.h>
#include <getopt.h>
#include <kelpwood/flow_trace.h>
#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "library_log.h"
#include "trace/src/flow_config_keys.h"
#include "trace/src/flow_file.h"
#include "trace/src/flow_steps.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using trace::FlowTrace;
using trace::TraceFlowCfg;

// The loader's own key lists, so that a key it learns is known here too.
const std::vector<std::string> kRootKeys(
    std::begin(trace::config_keys::kRootKeys),
    std::end(trace::config_keys::kRootKeys));
const std::vector<std::string> kFlowKeys(
    std::begin(trace::config_keys::kFlowKeys),
    std::end(trace::config_keys::kFlowKeys));
const std::vector<std::string> kPointKeys(
    std::begin(trace::config_keys::kPointKeys),
    std::end(trace::config_keys::kPointKeys));
std::vector<std::string> StepKeysAndRepeatKeys() {
  std::vector<std::string> keys(std::begin(trace::config_keys::kStepKeys),
                                std::end(trace::config_keys::kStepKeys));
  keys.insert(keys.end(), std::begin(trace::config_keys::kRepeatKeys),
              std::end(trace::config_keys::kRepeatKeys));
  return keys;
}
const std::vector<std::string> kStepKeys = StepKeysAndRepeatKeys();

// yaml-cpp refuses collections nested deeper than this below the root.
constexpr int kYamlNestingLimit = 498;

struct Position {
  int line = 1;
  int column = 1;
};

// What a finding is about, named for --json and its readers.
enum class Kind {
  kSyntax,          // yaml-cpp cannot read the file
  kNesting,         // collections nested deeper than yaml-cpp reads
  kDocument,        // the document's shape makes the loader load nothing
  kSecondDocument,  // a further YAML document, which the loader ignores
  kDroppedFlow,     // a flow entry the loader drops
  kDroppedPoint,    // a point entry the loader drops
  kUnknownKey,      // a key the loader does not read
  kMergeKey,        // "<<", which the loader does not merge
  kKeyNotText,      // a key that is a collection
  kRepeatedKey,     // a key given twice in one map
  kNullText,        // a text key left empty, read as "null"
  kEmptyId,         // a flow or point stored under the empty id
  kRepeatedFlow,    // a flow id given twice: the later entry wins
  kRepeatedPoint,   // a point id given twice in one flow
  kNotSequence,     // flow_points that is not a sequence
  kOctalNumber,     // a number with a leading 0, read as octal
  kSteps,           // steps that are not valid: the loader drops the flow
};

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kSyntax:
      return "syntax";
    case Kind::kNesting:
      return "nesting";
    case Kind::kDocument:
      return "document";
    case Kind::kSecondDocument:
      return "second_document";
    case Kind::kDroppedFlow:
      return "dropped_flow";
    case Kind::kDroppedPoint:
      return "dropped_point";
    case Kind::kUnknownKey:
      return "unknown_key";
    case Kind::kMergeKey:
      return "merge_key";
    case Kind::kKeyNotText:
      return "key_not_text";
    case Kind::kRepeatedKey:
      return "repeated_key";
    case Kind::kNullText:
      return "null_text";
    case Kind::kEmptyId:
      return "empty_id";
    case Kind::kRepeatedFlow:
      return "repeated_flow";
    case Kind::kRepeatedPoint:
      return "repeated_point";
    case Kind::kNotSequence:
      return "not_sequence";
    case Kind::kOctalNumber:
      return "octal_number";
    case Kind::kSteps:
      return "steps";
  }
  return "unknown";
}

struct Finding {
  Position at;
  Kind kind = Kind::kSyntax;
  std::string text;
  // Findings with the same key are one fault met again (through an alias,
  // say); only the first is shown, with the count of the others.
  std::string repeat_key;
  std::size_t repeats = 0;
  Position last_repeat;
};

// Where each node of the first document starts, as the parser met it. A
// node reached through an alias has the alias's position here, where
// yaml-cpp's own node marks give the anchor's. Children of a map alternate
// key, value.
struct PositionNode {
  Position at;
  bool alias = false;
  bool is_map = false;
  std::vector<PositionNode> children;
};

// Records PositionNodes for one document; counts the documents started.
class PositionRecorder : public YAML::EventHandler {
 public:
  PositionNode& root() { return root_; }

  void OnDocumentStart(const YAML::Mark&) override {}
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark& mark, YAML::anchor_t) override { Leaf(mark); }
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override {
    Leaf(mark).alias = true;
  }
  void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t,
                const std::string&) override {
    Leaf(mark);
  }
  void OnSequenceStart(const YAML::Mark& mark, const std::string&,
                       YAML::anchor_t, YAML::EmitterStyle::value) override {
    open_.push_back(&Leaf(mark));
  }
  void OnSequenceEnd() override { open_.pop_back(); }
  void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t,
                  YAML::EmitterStyle::value) override {
    PositionNode& node = Leaf(mark);
    node.is_map = true;
    open_.push_back(&node);
  }
  void OnMapEnd() override { open_.pop_back(); }

 private:
  PositionNode& Leaf(const YAML::Mark& mark) {
    PositionNode node;
    node.at = {mark.line + 1, mark.column + 1};
    if (open_.empty()) {
      root_ = node;
      return root_;
    }
    open_.back()->children.push_back(node);
    return open_.back()->children.back();
  }

  PositionNode root_;
  // Innermost last. Children are only appended to the innermost open
  // collection, so these pointers stay valid while it is open.
  std::vector<PositionNode*> open_;
};

// The value of a map's index-th entry, or null when the shapes disagree.
const PositionNode* MapValueAt(const PositionNode* map, std::size_t index) {
  if (map == nullptr || !map->is_map || map->children.size() <= 2 * index + 1) {
    return nullptr;
  }
  return &map->children[2 * index + 1];
}

const PositionNode* ItemAt(const PositionNode* sequence, std::size_t index) {
  if (sequence == nullptr || sequence->is_map ||
      sequence->children.size() <= index) {
    return nullptr;
  }
  return &sequence->children[index];
}

Position PositionOf(const YAML::Node& node, Position fallback) {
  const YAML::Mark mark = node.Mark();
  if (mark.line < 0 || mark.column < 0) return fallback;
  return {mark.line + 1, mark.column + 1};
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string KindOf(const YAML::Node& node) {
  switch (node.Type()) {
    case YAML::NodeType::Sequence:
      return "a sequence";
    case YAML::NodeType::Map:
      return "a map";
    case YAML::NodeType::Scalar:
      return "the scalar " + Quoted(node.Scalar());
    default:
      return "empty";
  }
}

// A key of a map as the loader's lookup sees it: the first entry whose key
// is a scalar with this text.
struct KeyEntry {
  YAML::Node key;
  YAML::Node value;
  bool found = false;
  explicit operator bool() const { return found; }
};

KeyEntry FindKey(const YAML::Node& map, const std::string& name) {
  if (!map.IsMap()) return {};
  for (const auto& entry : map) {
    if (entry.first.IsScalar() && entry.first.Scalar() == name) {
      return {entry.first, entry.second, true};
    }
  }
  return {};
}

// The reason that reading `entry` as the loader does would fail, or "".
std::string TextProblem(const std::string& name, const KeyEntry& entry) {
  if (!entry) return "";
  if (entry.value.IsSequence() || entry.value.IsMap()) {
    return Quoted(name) + " is " + KindOf(entry.value) + ", not text";
  }
  return "";
}

template <typename T>
std::string ConversionProblem(const std::string& name, const KeyEntry& entry,
                              const char* wanted) {
  if (!entry) return "";
  try {
    entry.value.as<T>();
    return "";
  } catch (const YAML::Exception&) {
  }
  if (entry.value.IsNull()) {
    return Quoted(name) + " has no value; " + wanted + " is required";
  }
  return Quoted(name) + " is " + KindOf(entry.value) + ", not " + wanted;
}

// Where a finding about a key's value is shown: at the value, unless it is
// empty (yaml-cpp marks an empty value where the next token starts).
Position ValuePosition(const KeyEntry& entry, Position fallback) {
  if (entry.value.IsNull()) return PositionOf(entry.key, fallback);
  return PositionOf(entry.value, fallback);
}

class FileValidator {
 public:
  FileValidator(FlowTrace& registry, const std::string& content)
      : registry_(registry), content_(content) {}

  void Run(const YAML::Node& root, const PositionNode* positions) {
    const Position start;
    if (root.IsScalar()) {
      Add(PositionOf(root, start), Kind::kDocument,
          "the document is " + KindOf(root) +
              ", not a map: the loader loads nothing");
      return;
    }
    if (root.IsSequence()) {
      Add(PositionOf(root, start), Kind::kDocument,
          "the document is a sequence, not a map with \"workflows\": the "
          "loader loads nothing");
      return;
    }
    if (!root.IsMap()) {
      Add(start, Kind::kDocument,
          "the document is empty: the loader loads nothing");
      return;
    }
    CheckKeys(root, kRootKeys, "");
    const KeyEntry workflows = FindKey(root, trace::config_keys::kWorkflows);
    if (!workflows) {
      Add(PositionOf(root, start), Kind::kDocument,
          "no \"workflows\" key: the loader loads nothing");
      return;
    }
    const Position key_at = PositionOf(workflows.key, start);
    if (workflows.value.IsNull()) {
      Add(key_at, Kind::kDocument,
          "\"workflows\" has no value: the loader loads nothing");
      return;
    }
    if (!workflows.value.IsSequence()) {
      Add(PositionOf(workflows.value, key_at), Kind::kDocument,
          "\"workflows\" is " + KindOf(workflows.value) +
              ", not a sequence: the loader loads nothing");
      return;
    }
    const PositionNode* flow_positions =
        MapValueAt(positions, EntryIndex(root, workflows.key));
    std::size_t number = 0;
    for (const YAML::Node& flow : workflows.value) {
      ValidateFlow(flow, ItemAt(flow_positions, number), number + 1, key_at);
      ++number;
    }
  }

  void Add(Position at, Kind kind, std::string text,
           std::string repeat_key = "") {
    if (repeat_key.empty()) repeat_key = text;
    Finding finding;
    finding.at = at_override_ ? *at_override_ : at;
    finding.kind = kind;
    finding.text = std::move(text);
    finding.repeat_key = std::move(repeat_key);
    findings_.push_back(std::move(finding));
  }

  std::vector<Finding>& findings() { return findings_; }

  // The flows as the loader leaves them, in document order of the entries
  // that were stored last under each id.
  std::vector<trace::ReadFlow> LoadedFlows() const {
    std::vector<trace::ReadFlow> flows;
    for (const auto& stored : stored_) {
      if (!stored.replaced) flows.push_back(stored.flow);
    }
    return flows;
  }

 private:
  struct StoredFlow {
    trace::ReadFlow flow;
    int line;
    bool replaced;
  };

  // Position of the entry whose key is `key` among the map's entries.
  static std::size_t EntryIndex(const YAML::Node& map, const YAML::Node& key) {
    std::size_t index = 0;
    for (const auto& entry : map) {
      if (entry.first.is(key)) return index;
      ++index;
    }
    return index;
  }

  // Where an entry starts. yaml-cpp marks an empty entry ("-" and nothing
  // else) where the next token starts, often a line later; the "-" that
  // opened it is found by walking back over blanks and comments.
  Position EntryPosition(const YAML::Node& node, const PositionNode* recorded,
                         Position fallback) const {
    const Position at =
        recorded != nullptr ? recorded->at : PositionOf(node, fallback);
    if (!node.IsNull() || recorded == nullptr) return at;
    const YAML::Mark mark = node.Mark();
    if (mark.pos < 0 || static_cast<std::size_t>(mark.pos) > content_.size()) {
      return at;
    }
    const std::string_view before(content_.data(),
                                  static_cast<std::size_t>(mark.pos));
    const std::string_view here =
        std::string_view(content_).substr(static_cast<std::size_t>(mark.pos));
    for (const char* spelled : {"~", "null", "Null", "NULL"}) {
      if (here.substr(0, std::strlen(spelled)) == spelled) return at;
    }
    // Walk back line by line: skip blank and comment-only text; the first
    // thing found must be the "-" of this entry.
    std::size_t end = before.size();
    int line = at.line;
    while (true) {
      const std::size_t line_start =
          end == 0 ? 0 : before.rfind('\n', end - 1) + 1;
      std::string_view text = before.substr(line_start, end - line_start);
      const std::size_t hash = text.find(" #");
      if (!text.empty() && text[0] == '#') text = text.substr(0, 0);
      if (hash != std::string_view::npos) text = text.substr(0, hash);
      const std::size_t last = text.find_last_not_of(" \t\r");
      if (last != std::string_view::npos) {
        if (text[last] != '-') return at;
        return {line, static_cast<int>(last) + 1};
      }
      if (line_start == 0) return at;
      end = line_start - 1;
      --line;
    }
  }

  // Unknown and repeated keys of one map.
  void CheckKeys(const YAML::Node& map, const std::vector<std::string>& known,
                 const std::string& where) {
    std::map<std::string, int> seen;
    for (const auto& entry : map) {
      const Position at = PositionOf(entry.first, PositionOf(map, {}));
      if (!entry.first.IsScalar()) {
        Add(at, Kind::kKeyNotText,
            "a key that is " + KindOf(entry.first) + where +
                " is ignored by the loader");
        continue;
      }
      const std::string& key = entry.first.Scalar();
      const auto [first, inserted] = seen.emplace(key, at.line);
      if (!inserted) {
        Add(at, Kind::kRepeatedKey,
            "repeated key " + Quoted(key) + where + " (first at line " +
                std::to_string(first->second) +
                "): the loader reads only the first");
        continue;
      }
      if (std::find(known.begin(), known.end(), key) != known.end()) continue;
      if (key == "<<" && entry.first.Tag() != "!") {
        Add(at, Kind::kMergeKey,
            "merge key \"<<\"" + where +
                " is ignored: the loader does not merge, so the keys it "
                "names are not read");
        continue;
      }
      std::string text =
          "unknown key " + Quoted(key) + where + " is ignored by the loader";
      const std::string nearest = cli::Nearest(key, known);
      if (!nearest.empty()) text += ": did you mean " + Quoted(nearest) + "?";
      Add(at, Kind::kUnknownKey, std::move(text));
    }
  }

  // A text key with an empty value: yaml-cpp reads it as "null".
  void CheckNullText(const YAML::Node& map, const std::string& name,
                     const std::string& where, Position fallback) {
    const KeyEntry entry = FindKey(map, name);
    if (entry && entry.value.IsNull()) {
      Add(PositionOf(entry.key, fallback), Kind::kNullText,
          Quoted(name) + where +
              " has no value: the loader reads it as the text \"null\"");
    }
  }

  // A failure_id written with a leading 0 is read as an octal number.
  void CheckOctal(const YAML::Node& point, const trace::TracePointCfg& cfg,
                  const std::string& where, Position fallback) {
    const KeyEntry entry = FindKey(point, trace::config_keys::kFailureId);
    if (!entry || !entry.value.IsScalar()) return;
    const std::string& text = entry.value.Scalar();
    if (text.size() < 2 || text[0] != '0' ||
        text.find_first_not_of("0123456789") != std::string::npos) {
      return;
    }
    Add(PositionOf(entry.value, fallback), Kind::kOctalNumber,
        "\"failure_id\"" + where + " is " + Quoted(text) +
            ", which the loader reads as an octal number: " +
            std::to_string(cfg.failure_id) + ", not " +
            text.substr(text.find_first_not_of('0') == std::string::npos
                            ? text.size() - 1
                            : text.find_first_not_of('0')));
  }

  std::string FlowDropReason(const YAML::Node& flow) const {
    if (flow.IsScalar()) return "the entry is " + KindOf(flow) + ", not a map";
    for (const char* name : {"flow_id", "flow_name", "description"}) {
      std::string problem = TextProblem(name, FindKey(flow, name));
      if (!problem.empty()) return problem;
    }
    return ConversionProblem<bool>("check_order", FindKey(flow, "check_order"),
                                   "true or false");
  }

  Position FlowDropPosition(const YAML::Node& flow, Position entry_at) const {
    if (!flow.IsMap()) return entry_at;
    for (const char* name :
         {"flow_id", "flow_name", "description", "check_order"}) {
      const KeyEntry entry = FindKey(flow, name);
      if (!entry) continue;
      const bool fails = name == std::string("check_order")
                             ? !ConversionProblem<bool>(name, entry, "").empty()
                             : !TextProblem(name, entry).empty();
      if (fails) return ValuePosition(entry, entry_at);
    }
    return entry_at;
  }

  std::string PointDropReason(const YAML::Node& point) const {
    if (point.IsScalar()) {
      return "the entry is " + KindOf(point) + ", not a map";
    }
    std::string problem = TextProblem("point_id", FindKey(point, "point_id"));
    if (!problem.empty()) return problem;
    problem = ConversionProblem<unsigned int>("failure_id",
                                              FindKey(point, "failure_id"),
                                              "an unsigned 32-bit number");
    if (!problem.empty()) return problem;
    const KeyEntry point_desc = FindKey(point, "point_desc");
    problem = point_desc
                  ? TextProblem("point_desc", point_desc)
                  : TextProblem("description", FindKey(point, "description"));
    if (!problem.empty()) return problem;
    return ConversionProblem<bool>("optional", FindKey(point, "optional"),
                                   "true or false");
  }

  Position PointDropPosition(const YAML::Node& point, Position entry_at) const {
    if (!point.IsMap()) return entry_at;
    const KeyEntry point_id = FindKey(point, "point_id");
    if (!TextProblem("point_id", point_id).empty()) {
      return ValuePosition(point_id, entry_at);
    }
    const KeyEntry failure_id = FindKey(point, "failure_id");
    if (!ConversionProblem<unsigned int>("failure_id", failure_id, "")
             .empty()) {
      return ValuePosition(failure_id, entry_at);
    }
    KeyEntry description = FindKey(point, "point_desc");
    if (!description) description = FindKey(point, "description");
    if (!TextProblem("description", description).empty()) {
      return ValuePosition(description, entry_at);
    }
    const KeyEntry optional = FindKey(point, "optional");
    if (!ConversionProblem<bool>("optional", optional, "").empty()) {
      return ValuePosition(optional, entry_at);
    }
    return entry_at;
  }

  static std::string Reason(std::string analysed,
                            const std::vector<std::string>& library) {
    if (!analysed.empty()) return analysed;
    if (!library.empty()) return "the loader says: " + library.back();
    return "the loader rejects it";
  }

  // While set, every finding is shown here: the findings of an entry that
  // repeats another through an alias belong to the alias's line.
  class OverridePosition {
   public:
    OverridePosition(FileValidator& validator, const PositionNode* recorded)
        : validator_(validator), saved_(validator.at_override_) {
      if (recorded != nullptr && recorded->alias) {
        validator.at_override_ = recorded->at;
      }
    }
    ~OverridePosition() { validator_.at_override_ = saved_; }
    OverridePosition(const OverridePosition&) = delete;
    OverridePosition& operator=(const OverridePosition&) = delete;

   private:
    FileValidator& validator_;
    std::optional<Position> saved_;
  };

  void ValidateFlow(const YAML::Node& flow, const PositionNode* recorded,
                    std::size_t number, Position fallback) {
    const OverridePosition alias_position(*this, recorded);
    const Position entry_at = EntryPosition(flow, recorded, fallback);
    const std::string entry_name = "flow entry " + std::to_string(number);
    TakeLibraryErrors();
    std::shared_ptr<TraceFlowCfg> cfg = registry_.parseTraceFlowCfg(flow);
    const std::vector<std::string> library_errors = TakeLibraryErrors();

    std::string where;
    if (cfg) {
      where = " in flow " + Quoted(cfg->flow_id);
    } else if (flow.IsMap() && FindKey(flow, "flow_id") &&
               FindKey(flow, "flow_id").value.IsScalar()) {
      where = " in flow " + Quoted(FindKey(flow, "flow_id").value.Scalar());
    } else {
      where = " in " + entry_name;
    }

    if (!cfg) {
      // The flow's own error comes last: the point errors before it were
      // logged while its points were read.
      Add(FlowDropPosition(flow, entry_at), Kind::kDroppedFlow,
          entry_name + " is dropped by the loader: " +
              Reason(FlowDropReason(flow), library_errors));
    }
    if (flow.IsMap()) {
      CheckKeys(flow, kFlowKeys, where);
      for (const char* name : {"flow_id", "flow_name", "description"}) {
        CheckNullText(flow, name, where, entry_at);
      }
    }
    const PositionNode* points_recorded = nullptr;
    if (flow.IsMap() && recorded != nullptr && !recorded->alias) {
      const KeyEntry points = FindKey(flow, trace::config_keys::kFlowPoints);
      if (points) {
        points_recorded = MapValueAt(recorded, EntryIndex(flow, points.key));
      }
    }
    if (!cfg) {
      ValidatePoints(flow, points_recorded, where, entry_at);
      return;
    }
    // The loader's own judgement of the device-wide settings: a flow it
    // refuses here is dropped on the device as well.
    trace::ReadFlow read;
    read.cfg = cfg;
    std::vector<trace::FlowFileNote> notes;
    if (!trace::ReadFlowSettings(flow, cfg->flow_id, read, notes)) {
      const trace::FlowFileNote& note = notes.back();
      Add(note.line > 0 ? Position{note.line, note.column} : entry_at,
          Kind::kDroppedFlow,
          entry_name + " is dropped by the loader: " + note.reason);
      ValidatePoints(flow, points_recorded, where, entry_at);
      return;
    }

    if (!flow.IsMap()) {
      Add(entry_at, Kind::kEmptyId,
          entry_name + " is " + KindOf(flow) +
              ", not a map: the loader stores a flow without points "
              "under the empty id");
    } else if (!FindKey(flow, "flow_id")) {
      Add(entry_at, Kind::kEmptyId,
          entry_name +
              " has no \"flow_id\": the loader stores it under the "
              "empty id");
    } else if (cfg->flow_id.empty()) {
      Add(PositionOf(FindKey(flow, "flow_id").key, entry_at), Kind::kEmptyId,
          "\"flow_id\" is empty: the loader stores the flow under the empty "
          "id");
    }

    if (!ValidateSteps(flow, read)) return;
    const auto [earlier, inserted] =
        stored_index_.emplace(cfg->flow_id, stored_.size());
    if (!inserted) {
      StoredFlow& replaced = stored_[earlier->second];
      replaced.replaced = true;
      const KeyEntry id_entry = FindKey(flow, "flow_id");
      Add(id_entry ? PositionOf(id_entry.key, entry_at) : entry_at,
          Kind::kRepeatedFlow,
          "flow id " + Quoted(cfg->flow_id) + " repeats the one at line " +
              std::to_string(replaced.line) + ": this later entry replaces it",
          "repeated flow " + cfg->flow_id);
      earlier->second = stored_.size();
    }
    stored_.push_back(
        {read, at_override_ ? at_override_->line : entry_at.line, false});
    ValidatePoints(flow, points_recorded, where, entry_at);
  }

  // The loader's judgement of a flow's steps: each problem is a finding and
  // the flow is not loaded. False when it is dropped.
  bool ValidateSteps(const YAML::Node& flow, trace::ReadFlow& read) {
    if (!flow.IsMap() || !FindKey(flow, trace::config_keys::kSteps)) {
      return true;
    }
    std::vector<trace::FlowFileNote> notes;
    trace::ReadFlowEntry(flow, notes, &read.steps);
    bool dropped = false;
    for (const trace::FlowFileNote& note : notes) {
      if (note.kind != trace::FlowFileNote::Kind::kSettingRefused) continue;
      dropped = true;
      std::string text = note.reason + ": the loader drops the flow";
      const std::string nearest =
          note.key.empty() ? "" : cli::Nearest(note.key, kStepKeys);
      if (!nearest.empty()) text += ": did you mean " + Quoted(nearest) + "?";
      Add(note.line > 0 ? Position{note.line, note.column} : Position{},
          Kind::kSteps, std::move(text));
    }
    return !dropped;
  }

  void ValidatePoints(const YAML::Node& flow, const PositionNode* recorded,
                      const std::string& where, Position entry_at) {
    if (!flow.IsMap()) return;
    const KeyEntry points = FindKey(flow, "flow_points");
    if (!points) return;
    if (!points.value.IsSequence()) {
      Add(ValuePosition(points, entry_at), Kind::kNotSequence,
          "\"flow_points\"" + where + " is " + KindOf(points.value) +
              ", not a sequence: the loader gives the flow no points");
      return;
    }
    std::map<std::string, int> kept_ids;
    std::size_t number = 0;
    for (const YAML::Node& point : points.value) {
      const PositionNode* point_recorded = ItemAt(recorded, number);
      ++number;
      const OverridePosition alias_position(*this, point_recorded);
      const Position point_at = EntryPosition(point, point_recorded, entry_at);
      const std::string entry_name = "point entry " + std::to_string(number);
      TakeLibraryErrors();
      const std::shared_ptr<trace::TracePointCfg> cfg =
          registry_.parseTracePointCfg(point);
      const std::vector<std::string> library_errors = TakeLibraryErrors();
      if (point.IsMap()) {
        CheckKeys(point, kPointKeys, where);
        for (const char* name : {"point_id", "point_desc"}) {
          CheckNullText(point, name, where, point_at);
        }
        if (!FindKey(point, "point_desc")) {
          CheckNullText(point, "description", where, point_at);
        }
      }
      if (!cfg) {
        Add(PointDropPosition(point, point_at), Kind::kDroppedPoint,
            entry_name + where + " is dropped by the loader: " +
                Reason(PointDropReason(point), library_errors));
        continue;
      }
      if (point.IsMap()) CheckOctal(point, *cfg, where, point_at);
      if (!point.IsMap()) {
        Add(point_at, Kind::kEmptyId,
            entry_name + where + " is " + KindOf(point) +
                ", not a map: the loader keeps a critical point "
                "with an empty id");
      } else if (!FindKey(point, "point_id")) {
        Add(point_at, Kind::kEmptyId,
            entry_name + where +
                " has no \"point_id\": the loader keeps it with an "
                "empty id");
      } else if (cfg->point_id.empty()) {
        Add(PositionOf(FindKey(point, "point_id").key, point_at),
            Kind::kEmptyId, "\"point_id\"" + where + " is empty");
      }
      if (cfg->point_id.empty()) continue;
      const int line = at_override_ ? at_override_->line : point_at.line;
      const auto [first, inserted] = kept_ids.emplace(cfg->point_id, line);
      if (!inserted) {
        Add(PositionOf(FindKey(point, "point_id").key, point_at),
            Kind::kRepeatedPoint,
            "point id " + Quoted(cfg->point_id) + where +
                " repeats the one at line " + std::to_string(first->second),
            "repeated point " + cfg->point_id + where);
      }
    }
  }

  FlowTrace& registry_;
  const std::string& content_;
  std::vector<Finding> findings_;
  std::vector<StoredFlow> stored_;
  std::map<std::string, std::size_t> stored_index_;
  std::optional<Position> at_override_;
};

// Reads the first document's positions and reports the start of a second
// one, which the loader ignores. Returns false when yaml-cpp stops inside
// the first document: the caller's Load reports that.
bool ScanDocuments(const std::string& content, PositionRecorder& recorder,
                   FileValidator& validator) {
  std::istringstream stream(content);
  YAML::Parser parser(stream);
  try {
    if (!parser.HandleNextDocument(recorder)) return true;
  } catch (const YAML::Exception&) {
    return false;
  }
  // A further document, even one that yaml-cpp cannot read, is ignored.
  struct Ignore : YAML::EventHandler {
    Position start;
    bool started = false;
    void OnDocumentStart(const YAML::Mark& mark) override {
      if (!started) start = {mark.line + 1, mark.column + 1};
      started = true;
    }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark&, YAML::anchor_t) override {}
    void OnAlias(const YAML::Mark&, YAML::anchor_t) override {}
    void OnScalar(const YAML::Mark&, const std::string&, YAML::anchor_t,
                  const std::string&) override {}
    void OnSequenceStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                         YAML::EmitterStyle::value) override {}
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark&, const std::string&, YAML::anchor_t,
                    YAML::EmitterStyle::value) override {}
    void OnMapEnd() override {}
  } ignore;
  bool more = false;
  Position at;
  try {
    more = parser.HandleNextDocument(ignore);
    at = ignore.start;
  } catch (const YAML::Exception& exception) {
    more = true;
    at = ignore.started
             ? ignore.start
             : Position{exception.mark.line + 1, exception.mark.column + 1};
  }
  if (more) {
    validator.Add(at, Kind::kSecondDocument,
                  "a second YAML document starts here: the loader reads only "
                  "the first and ignores the rest of the file");
  }
  return true;
}

// Sorts the findings by position and folds repeats of one fault into the
// first of them.
std::vector<Finding> Arrange(std::vector<Finding> findings) {
  std::stable_sort(findings.begin(), findings.end(),
                   [](const Finding& left, const Finding& right) {
                     return left.at.line != right.at.line
                                ? left.at.line < right.at.line
                                : left.at.column < right.at.column;
                   });
  std::vector<Finding> arranged;
  std::map<std::string, std::size_t> first_of;
  for (Finding& finding : findings) {
    const auto [first, inserted] =
        first_of.emplace(finding.repeat_key, arranged.size());
    if (inserted) {
      arranged.push_back(std::move(finding));
    } else {
      ++arranged[first->second].repeats;
      arranged[first->second].last_repeat = finding.at;
    }
  }
  return arranged;
}

struct FileReport {
  std::string path;
  std::string error;  // why the file could not be read, or ""
  std::vector<Finding> findings;
  std::size_t finding_count = 0;  // repeats included
  std::vector<trace::ReadFlow> flows;
};

FileReport ValidateFile(FlowTrace& registry, const std::string& path) {
  FileReport report;
  report.path = path;
  std::string content;
  if (!cli::ReadInput(path, content, report.error)) return report;
  FileValidator validator(registry, content);
  try {
    const YAML::Node root = YAML::Load(content);
    PositionRecorder recorder;
    const bool scanned = ScanDocuments(content, recorder, validator);
    validator.Run(root, scanned ? &recorder.root() : nullptr);
  } catch (const YAML::DeepRecursion& exception) {
    // yaml-cpp words this one "bad file"; say what it means.
    validator.Add(
        {exception.mark.line + 1, exception.mark.column + 1}, Kind::kNesting,
        fmt::format("nested deeper than yaml-cpp allows ({} levels below "
                    "the root): the loader loads nothing",
                    kYamlNestingLimit));
  } catch (const YAML::Exception& exception) {
    // Syntax errors: the loader stops at the same place and stores nothing
    // of the file.
    validator.Add(exception.mark.line >= 0 ? Position{exception.mark.line + 1,
                                                      exception.mark.column + 1}
                                           : Position{},
                  Kind::kSyntax, exception.msg + ": the loader loads nothing");
  }
  report.finding_count = validator.findings().size();
  report.findings = Arrange(std::move(validator.findings()));
  report.flows = validator.LoadedFlows();
  return report;
}

std::string PointText(const trace::TracePointCfg& point) {
  std::string text = point.is_critical ? "<" + point.point_id + ">"
                                       : "[" + point.point_id + "]";
  if (point.failure_id != 0) text += "#" + std::to_string(point.failure_id);
  return text;
}

std::string Chain(const TraceFlowCfg& cfg) {
  if (cfg.flow_points.empty()) return "(no points)";
  std::string chain;
  for (const auto& point : cfg.flow_points) {
    if (!chain.empty()) chain += " -> ";
    chain += PointText(*point);
  }
  return chain;
}

// A device-wide flow's scope and deadline, as listed after check_order;
// nothing for a process-wide flow without a deadline, as before.
std::string SettingsText(const trace::ReadFlow& read) {
  std::string text;
  if (read.scope == trace::FlowScope::DEVICE) text += ", scope device";
  if (read.deadline_ms != 0) {
    text += fmt::format(", deadline_ms {}", read.deadline_ms);
  }
  return text;
}

void PrintText(const FileReport& report) {
  const std::string path = cli::EscapeControls(report.path);
  for (const Finding& finding : report.findings) {
    std::string text = cli::EscapeControls(finding.text);
    if (finding.repeats != 0) {
      text += fmt::format(" (and {} more like it, the last at {}:{})",
                          finding.repeats, finding.last_repeat.line,
                          finding.last_repeat.column);
    }
    fmt::print("{}:{}:{}: {}\n", path, finding.at.line, finding.at.column,
               text);
  }
  fmt::print("{}: {} as loaded\n", path,
             report.flows.size() == 1
                 ? std::string("1 flow")
                 : fmt::format("{} flows", report.flows.size()));
  for (const trace::ReadFlow& read : report.flows) {
    const TraceFlowCfg* flow = read.cfg.get();
    std::string line = "  flow " + (flow->flow_id.empty()
                                        ? std::string("\"\"")
                                        : cli::EscapeControls(flow->flow_id));
    if (!flow->flow_name.empty()) {
      line += " (" + cli::EscapeControls(flow->flow_name) + ")";
    }
    fmt::print("{}, check_order {}{}\n    {}\n", line,
               flow->check_order ? "true" : "false", SettingsText(read),
               cli::EscapeControls(read.steps ? trace::StepsChain(*read.steps)
                                              : Chain(*flow)));
  }
}

std::string FlowJson(const trace::ReadFlow& read) {
  const TraceFlowCfg& flow = *read.cfg;
  std::string points;
  for (const auto& point : flow.flow_points) {
    if (!points.empty()) points += ",";
    points +=
        fmt::format("{{\"point_id\":{},\"critical\":{},\"failure_id\":{}}}",
                    cli::JsonString(point->point_id),
                    point->is_critical ? "true" : "false", point->failure_id);
  }
  return fmt::format(
      "{{\"flow_id\":{},\"flow_name\":{},\"check_order\":{},\"points\":[{}],"
      "\"scope\":\"{}\",\"deadline_ms\":{}}}",
      cli::JsonString(flow.flow_id), cli::JsonString(flow.flow_name),
      flow.check_order ? "true" : "false", points,
      read.scope == trace::FlowScope::DEVICE ? "device" : "process",
      read.deadline_ms);
}

void PrintJson(const std::vector<FileReport>& reports,
               std::size_t total_findings) {
  std::string files;
  std::string findings;
  for (const FileReport& report : reports) {
    const std::string path = cli::JsonString(report.path);
    std::string flows;
    for (const auto& flow : report.flows) {
      if (!flows.empty()) flows += ",";
      flows += FlowJson(flow);
    }
    if (!files.empty()) files += ",";
    files += fmt::format(
        "{{\"file\":{},\"error\":{},\"findings\":{},\"flows\":[{}]}}", path,
        report.error.empty() ? "null" : cli::JsonString(report.error),
        report.finding_count, flows);
    for (const Finding& finding : report.findings) {
      if (!findings.empty()) findings += ",";
      findings += fmt::format(
          "{{\"file\":{},\"line\":{},\"column\":{},\"kind\":\"{}\","
          "\"message\":{},\"repeats\":{}}}",
          path, finding.at.line, finding.at.column, KindName(finding.kind),
          cli::JsonString(finding.text), finding.repeats);
    }
  }
  fmt::print("{{\"files\":[{}],\"findings\":[{}],\"finding_count\":{}}}\n",
             files, findings, total_findings);
}

int Validate(const std::vector<std::string>& paths, bool json) {
  FlowTrace& registry = FlowTrace::GetInstance();
  bool unreadable = false;
  std::size_t total_findings = 0;
  std::size_t files_with_findings = 0;
  std::vector<FileReport> reports;
  for (const std::string& path : paths) {
    FileReport report = ValidateFile(registry, path);
    if (!report.error.empty()) {
      cli::Error("{}: {}", cli::EscapeControls(path), report.error);
      unreadable = true;
    } else {
      if (report.finding_count != 0) ++files_with_findings;
      total_findings += report.finding_count;
      if (!json) PrintText(report);
    }
    if (json) reports.push_back(std::move(report));
  }
  if (json) {
    PrintJson(reports, total_findings);
  } else if (total_findings != 0) {
    fmt::print("{} in {}\n",
               total_findings == 1 ? std::string("1 finding")
                                   : fmt::format("{} findings", total_findings),
               files_with_findings == 1
                   ? std::string("1 file")
                   : fmt::format("{} files", files_with_findings));
  } else if (!unreadable) {
    // Said only when every file was read: a file that could not be read
    // has not been found clean.
    fmt::print("no findings\n");
  }
  if (unreadable) return kExitTrouble;
  return total_findings == 0 ? kExitClean : kExitFindings;
}

const char kValidateHelp[] =
    "Usage: kelpwood-flows validate [OPTION]... FILE...\n"
    "Read each flow configuration FILE the way a device reads it at start-up\n"
    "and report, as FILE:LINE:COLUMN: MESSAGE, everything the device would\n"
    "drop, ignore or read otherwise than the author probably meant:\n"
    "  - flow and point entries that are dropped, and why;\n"
    "  - unknown keys at any level, with the nearest known key, and merge\n"
    "    keys (<<), which are not merged;\n"
    "  - repeated keys, of which only the first is read;\n"
    "  - repeated flow ids (the later entry wins) and repeated point ids;\n"
    "  - flows stored under the empty id, points without an id;\n"
    "  - text values left empty, which are read as the text \"null\";\n"
    "  - failure ids with a leading 0, which are read as octal numbers;\n"
    "  - flow_points that is not a sequence;\n"
    "  - a scope other than device or process, or a deadline_ms that is not\n"
    "    a number of milliseconds: the flow is dropped;\n"
    "  - steps that the loader refuses, dropping the flow: unknown keys (with\n"
    "    the nearest known key), empty groups, repeat min above max, "
    "within_ms\n"
    "    on the first step, groups nested deeper than 16, and steps beside\n"
    "    flow_points;\n"
    "  - a second YAML document in the file, which is ignored;\n"
    "  - syntax errors and nesting deeper than 498 levels, after which\n"
    "    nothing of the file is loaded.\n"
    "Then list each file's flows as loaded: id, name, check_order, scope\n"
    "device and deadline_ms where set, and the chain of points, <critical>\n"
    "or [optional], with #failure_id when set.\n"
    "Control characters in the file are shown escaped (\\n, \\x1b); one\n"
    "fault met again and again (through an alias) is shown once, with the\n"
    "number of further times. FILE '-' means standard input.\n"
    "\n"
    "Options:\n"
    "  -j, --json      print one JSON object instead of the report (below)\n"
    "  -v, --verbose   also show the library's own log lines (not with\n"
    "                  --json, whose output they would break)\n"
    "  -h, --help      display this help and exit\n"
    "\n"
    "With --json, standard output is one line holding one object:\n"
    "  {\"files\":[FILE...],\"findings\":[FINDING...],\"finding_count\":N}\n"
    "FILE:    "
    "{\"file\":S,\"error\":S|null,\"findings\":N,\"flows\":[FLOW...]}\n"
    "FLOW:    {\"flow_id\":S,\"flow_name\":S,\"check_order\":B,\n"
    "          "
    "\"points\":[{\"point_id\":S,\"critical\":B,\"failure_id\":N}...],\n"
    "          \"scope\":\"process\"|\"device\",\"deadline_ms\":N}\n"
    "FINDING: {\"file\":S,\"line\":N,\"column\":N,\"kind\":S,\"message\":S,\n"
    "          \"repeats\":N}\n"
    "where kind is one of syntax, nesting, document, second_document,\n"
    "dropped_flow, dropped_point, unknown_key, merge_key, key_not_text,\n"
    "repeated_key, null_text, empty_id, repeated_flow, repeated_point,\n"
    "not_sequence, octal_number, steps. Members may be added later; existing\n"
    "ones keep their names and meaning.\n"
    "\n"
    "Examples:\n"
    "  kelpwood-flows validate examples/flows.yaml\n"
    "      report what a device would make of the example configuration\n"
    "  kelpwood-flows validate --json /etc/kelpwood/*.yaml\n"
    "      the findings of every installed configuration, for a CI job\n"
    "  ssh DEVICE cat /etc/kelpwood/flows.yaml | kelpwood-flows validate -\n"
    "      judge the configuration that a device holds\n"
    "\n"
    "Exit status:\n"
    "  0  no findings\n"
    "  1  findings in at least one FILE\n"
    "  2  usage error, or a FILE that cannot be read (not a regular file)\n";

}  // namespace

int ValidateCommand(int argc, char** argv) {
  bool verbose = false;
  bool json = false;
  if (const int status =
          ParseReportOptions(argc, argv, kValidateHelp, verbose, json);
      status >= 0) {
    return status;
  }
  if (optind >= argc) return cli::UsageError("validate: missing FILE");
  if (json && verbose) {
    // The library's log goes to standard output and would break the object.
    return cli::UsageError("validate: --json and --verbose cannot be combined");
  }
  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(verbose);
  return Validate(std::vector<std::string>(argv + optind, argv + argc), json);
}

}  // namespace flows_tool
}  // namespace kelpwood
