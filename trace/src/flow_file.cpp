#include "trace/src/flow_file.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <string>
#include <utility>

#include "base/posix_file.h"
#include "trace/src/flow_config_keys.h"

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
    flow.cfg = ReadFlowEntry(entry, file.notes);
    if (!flow.cfg) continue;
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
    Note(notes, Kind::kFlowRead, node.Mark());
    notes.back().flow = cfg;
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
