// kelpwood-flows validate: judges each flow file through the library's own
// parse operations, and explains with file:line:column what the loader
// drops, ignores or reads otherwise than its author probably meant.

#include <getopt.h>
#include <kelpwood/flow_trace.h>
#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstddef>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "library_log.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using trace::FlowTrace;
using trace::TraceFlowCfg;

const std::vector<std::string> kRootKeys = {"workflows"};
const std::vector<std::string> kFlowKeys = {
    "flow_id", "flow_name", "description", "check_order", "flow_points"};
const std::vector<std::string> kPointKeys = {
    "point_id", "failure_id", "point_desc", "description", "optional"};

struct Position {
  int line = 1;
  int column = 1;
};

struct Finding {
  Position at;
  std::string text;
};

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

std::size_t EditDistance(const std::string& from, const std::string& to) {
  std::vector<std::size_t> row(to.size() + 1);
  for (std::size_t j = 0; j <= to.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= from.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= to.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t cost = from[i - 1] == to[j - 1] ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
      diagonal = above;
    }
  }
  return row[to.size()];
}

// The known key closest to `key`, if it is close enough to be a typo: at
// most a third of the key's letters wrong, and never more than three.
std::string NearestKey(const std::string& key,
                       const std::vector<std::string>& known) {
  std::string best;
  std::size_t best_distance = 0;
  for (const std::string& candidate : known) {
    const std::size_t distance = EditDistance(key, candidate);
    if (best.empty() || distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  const std::size_t limit = std::min<std::size_t>(3, (key.size() + 2) / 3);
  return best_distance <= limit ? best : std::string();
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
  explicit FileValidator(FlowTrace& registry) : registry_(registry) {}

  void Run(const YAML::Node& root) {
    const Position start;
    if (root.IsScalar()) {
      Add(PositionOf(root, start), "the document is " + KindOf(root) +
                                       ", not a map: the loader loads nothing");
      return;
    }
    if (root.IsSequence()) {
      Add(PositionOf(root, start),
          "the document is a sequence, not a map with \"workflows\": the "
          "loader loads nothing");
      return;
    }
    if (!root.IsMap()) {
      Add(start, "the document is empty: the loader loads nothing");
      return;
    }
    CheckKeys(root, kRootKeys, "");
    const KeyEntry workflows = FindKey(root, "workflows");
    if (!workflows) {
      Add(PositionOf(root, start),
          "no \"workflows\" key: the loader loads nothing");
      return;
    }
    const Position key_at = PositionOf(workflows.key, start);
    if (workflows.value.IsNull()) {
      Add(key_at, "\"workflows\" has no value: the loader loads nothing");
      return;
    }
    if (!workflows.value.IsSequence()) {
      Add(PositionOf(workflows.value, key_at),
          "\"workflows\" is " + KindOf(workflows.value) +
              ", not a sequence: the loader loads nothing");
      return;
    }
    std::size_t number = 0;
    for (const YAML::Node& flow : workflows.value) {
      ++number;
      ValidateFlow(flow, number, key_at);
    }
  }

  std::vector<Finding>& findings() { return findings_; }

  // The flows as the loader leaves them, in document order of the entries
  // that were stored last under each id.
  std::vector<std::shared_ptr<TraceFlowCfg>> LoadedFlows() const {
    std::vector<std::shared_ptr<TraceFlowCfg>> flows;
    for (const auto& stored : stored_) {
      if (!stored.replaced) flows.push_back(stored.cfg);
    }
    return flows;
  }

 private:
  struct StoredFlow {
    std::shared_ptr<TraceFlowCfg> cfg;
    int line;
    bool replaced;
  };

  void Add(Position at, std::string text) {
    findings_.push_back({at, std::move(text)});
  }

  // Unknown and repeated keys of one map.
  void CheckKeys(const YAML::Node& map, const std::vector<std::string>& known,
                 const std::string& where) {
    std::map<std::string, int> seen;
    for (const auto& entry : map) {
      const Position at = PositionOf(entry.first, PositionOf(map, {}));
      if (!entry.first.IsScalar()) {
        Add(at, "a key that is " + KindOf(entry.first) + where +
                    " is ignored by the loader");
        continue;
      }
      const std::string& key = entry.first.Scalar();
      const auto [first, inserted] = seen.emplace(key, at.line);
      if (!inserted) {
        Add(at, "repeated key " + Quoted(key) + where + " (first at line " +
                    std::to_string(first->second) +
                    "): the loader reads only the first");
        continue;
      }
      if (std::find(known.begin(), known.end(), key) != known.end()) continue;
      std::string text =
          "unknown key " + Quoted(key) + where + " is ignored by the loader";
      const std::string nearest = NearestKey(key, known);
      if (!nearest.empty()) text += ": did you mean " + Quoted(nearest) + "?";
      Add(at, std::move(text));
    }
  }

  // A text key with an empty value: yaml-cpp reads it as "null".
  void CheckNullText(const YAML::Node& map, const std::string& name,
                     const std::string& where, Position fallback) {
    const KeyEntry entry = FindKey(map, name);
    if (entry && entry.value.IsNull()) {
      Add(PositionOf(entry.key, fallback),
          Quoted(name) + where +
              " has no value: the loader reads it as the text \"null\"");
    }
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

  void ValidateFlow(const YAML::Node& flow, std::size_t number,
                    Position fallback) {
    const Position entry_at = PositionOf(flow, fallback);
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
      Add(FlowDropPosition(flow, entry_at),
          entry_name + " is dropped by the loader: " +
              Reason(FlowDropReason(flow), library_errors));
    }
    if (flow.IsMap()) {
      CheckKeys(flow, kFlowKeys, where);
      for (const char* name : {"flow_id", "flow_name", "description"}) {
        CheckNullText(flow, name, where, entry_at);
      }
    }
    if (!cfg) {
      ValidatePoints(flow, where, entry_at);
      return;
    }

    if (!flow.IsMap()) {
      Add(entry_at, entry_name + " is " + KindOf(flow) +
                        ", not a map: the loader stores a flow without points "
                        "under the empty id");
    } else if (!FindKey(flow, "flow_id")) {
      Add(entry_at, entry_name +
                        " has no \"flow_id\": the loader stores it under the "
                        "empty id");
    } else if (cfg->flow_id.empty()) {
      Add(PositionOf(FindKey(flow, "flow_id").key, entry_at),
          "\"flow_id\" is empty: the loader stores the flow under the empty "
          "id");
    }

    const auto [earlier, inserted] =
        stored_index_.emplace(cfg->flow_id, stored_.size());
    if (!inserted) {
      StoredFlow& replaced = stored_[earlier->second];
      replaced.replaced = true;
      const KeyEntry id_entry = FindKey(flow, "flow_id");
      Add(id_entry ? PositionOf(id_entry.key, entry_at) : entry_at,
          "flow id " + Quoted(cfg->flow_id) + " repeats the one at line " +
              std::to_string(replaced.line) + ": this later entry replaces it");
      earlier->second = stored_.size();
    }
    stored_.push_back({cfg, entry_at.line, false});
    ValidatePoints(flow, where, entry_at);
  }

  void ValidatePoints(const YAML::Node& flow, const std::string& where,
                      Position entry_at) {
    if (!flow.IsMap()) return;
    const KeyEntry points = FindKey(flow, "flow_points");
    if (!points) return;
    if (!points.value.IsSequence()) {
      Add(ValuePosition(points, entry_at),
          "\"flow_points\"" + where + " is " + KindOf(points.value) +
              ", not a sequence: the loader gives the flow no points");
      return;
    }
    std::map<std::string, int> kept_ids;
    std::size_t number = 0;
    for (const YAML::Node& point : points.value) {
      ++number;
      const Position point_at = PositionOf(point, entry_at);
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
        Add(PointDropPosition(point, point_at),
            entry_name + where + " is dropped by the loader: " +
                Reason(PointDropReason(point), library_errors));
        continue;
      }
      if (!point.IsMap()) {
        Add(point_at, entry_name + where + " is " + KindOf(point) +
                          ", not a map: the loader keeps a critical point "
                          "with an empty id");
      } else if (!FindKey(point, "point_id")) {
        Add(point_at, entry_name + where +
                          " has no \"point_id\": the loader keeps it with an "
                          "empty id");
      } else if (cfg->point_id.empty()) {
        Add(PositionOf(FindKey(point, "point_id").key, point_at),
            "\"point_id\"" + where + " is empty");
      }
      if (cfg->point_id.empty()) continue;
      const auto [first, inserted] =
          kept_ids.emplace(cfg->point_id, point_at.line);
      if (!inserted) {
        Add(PositionOf(FindKey(point, "point_id").key, point_at),
            "point id " + Quoted(cfg->point_id) + where +
                " repeats the one at line " + std::to_string(first->second));
      }
    }
  }

  FlowTrace& registry_;
  std::vector<Finding> findings_;
  std::vector<StoredFlow> stored_;
  std::map<std::string, std::size_t> stored_index_;
};

std::string Chain(const TraceFlowCfg& cfg) {
  if (cfg.flow_points.empty()) return "(no points)";
  std::string chain;
  for (const auto& point : cfg.flow_points) {
    if (!chain.empty()) chain += " -> ";
    chain += point->is_critical ? "<" + point->point_id + ">"
                                : "[" + point->point_id + "]";
    if (point->failure_id != 0) {
      chain += "#" + std::to_string(point->failure_id);
    }
  }
  return chain;
}

void PrintFlows(const std::string& path,
                const std::vector<std::shared_ptr<TraceFlowCfg>>& flows,
                std::ostream& out) {
  out << path << ": " << flows.size()
      << (flows.size() == 1 ? " flow" : " flows") << " as loaded\n";
  for (const auto& flow : flows) {
    out << "  flow " << (flow->flow_id.empty() ? "\"\"" : flow->flow_id);
    if (!flow->flow_name.empty()) out << " (" << flow->flow_name << ")";
    out << ", check_order " << (flow->check_order ? "true" : "false") << "\n"
        << "    " << Chain(*flow) << "\n";
  }
}

const char kValidateHelp[] =
    "Usage: kelpwood-flows validate [OPTION]... FILE...\n"
    "Judge each flow configuration FILE as FlowTrace::Init does, through the\n"
    "library's own parse operations, and report as FILE:LINE:COLUMN:\n"
    "  - flow and point entries that the loader drops, and why;\n"
    "  - unknown keys at any level, with the nearest known key;\n"
    "  - repeated keys, of which the loader reads only the first;\n"
    "  - repeated flow ids (the later entry wins) and repeated point ids;\n"
    "  - flows stored under the empty id, points without an id;\n"
    "  - text values left empty, which the loader reads as \"null\";\n"
    "  - flow_points that is not a sequence.\n"
    "Then list each file's flows as loaded: id, name, check_order and the\n"
    "chain of points, <critical> or [optional], with #failure_id when set.\n"
    "\n"
    "Options:\n"
    "  -v, --verbose   also show the library's own log lines\n"
    "  -h, --help      display this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  no findings\n"
    "  1  findings in at least one FILE\n"
    "  2  usage error, or a FILE that cannot be read (not a regular file)\n";

int Validate(const std::vector<std::string>& paths, std::ostream& out,
             std::ostream& err) {
  FlowTrace& registry = FlowTrace::GetInstance();
  bool unreadable = false;
  std::size_t total_findings = 0;
  std::size_t files_with_findings = 0;
  for (const std::string& path : paths) {
    std::string content;
    std::string error;
    if (!cli::ReadInput(path, content, error)) {
      err << "kelpwood-flows: " << path << ": " << error << "\n";
      unreadable = true;
      continue;
    }
    FileValidator validator(registry);
    try {
      validator.Run(YAML::Load(content));
    } catch (const YAML::DeepRecursion& exception) {
      // yaml-cpp words this one "bad file"; say what it means.
      validator.findings().push_back(
          {Position{exception.mark.line + 1, exception.mark.column + 1},
           "nested deeper than yaml-cpp allows: the loader loads nothing"});
    } catch (const YAML::Exception& exception) {
      // Syntax errors, and yaml-cpp's nesting limit: the loader stops at the
      // same place and stores nothing of the file.
      validator.findings().push_back(
          {exception.mark.line >= 0
               ? Position{exception.mark.line + 1, exception.mark.column + 1}
               : Position{},
           exception.msg + ": the loader loads nothing"});
    }
    std::vector<Finding>& findings = validator.findings();
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& left, const Finding& right) {
                       return left.at.line != right.at.line
                                  ? left.at.line < right.at.line
                                  : left.at.column < right.at.column;
                     });
    for (const Finding& finding : findings) {
      out << path << ":" << finding.at.line << ":" << finding.at.column << ": "
          << finding.text << "\n";
    }
    if (!findings.empty()) ++files_with_findings;
    total_findings += findings.size();
    PrintFlows(path, validator.LoadedFlows(), out);
  }
  if (total_findings == 0) {
    out << "no findings\n";
  } else {
    out << total_findings << (total_findings == 1 ? " finding" : " findings")
        << " in " << files_with_findings
        << (files_with_findings == 1 ? " file" : " files") << "\n";
  }
  if (unreadable) return kExitTrouble;
  return total_findings == 0 ? kExitClean : kExitFindings;
}

}  // namespace

int ValidateCommand(int argc, char** argv) {
  static const option kOptions[] = {
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  bool verbose = Globals().verbose;
  opterr = 0;
  for (int option;
       (option = getopt_long(argc, argv, ":vh", kOptions, nullptr)) != -1;) {
    switch (option) {
      case 'v':
        verbose = true;
        break;
      case 'h':
        fmt::print("{}", kValidateHelp);
        return kExitClean;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
  }
  if (optind >= argc) return cli::UsageError("validate: missing FILE");
  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(verbose);
  return Validate(std::vector<std::string>(argv + optind, argv + argc),
                  std::cout, std::cerr);
}

}  // namespace flows_tool
}  // namespace kelpwood
