// The one reader of flow files. FlowTrace::Init, kelpwood-flows validate, the
// watch and the offline commands all read flows through it, so that a flow
// one of them drops is dropped, and reported, by every other.
//
//   FlowFile file = ReadFlowFile(path);      // or ReadFlowText(text)
//   for (const ReadFlow& flow : file.flows) ...
//   for (const FlowFileNote& note : file.notes) ...   // in reading order
//
// Pure: no log, no lock, no registry. Init logs the notes in the library's
// own words; the tools print them.

#ifndef KELPWOOD_TRACE_SRC_FLOW_FILE_H_
#define KELPWOOD_TRACE_SRC_FLOW_FILE_H_

#include <kelpwood/flow_trace.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace YAML {
class Node;
}  // namespace YAML

namespace kelpwood {
namespace trace {

// One thing the reader met, with its place in the text (1-based; 0 where
// unknown).
struct FlowFileNote {
  enum class Kind {
    kPointRead,       // a point entry was read: `point`
    kPointRefused,    // a point entry was dropped: `reason` (yaml-cpp's words)
    kFlowRead,        // a flow entry was read: `flow`
    kFlowRefused,     // a flow entry was dropped: `reason` (yaml-cpp's words)
    kSettingRefused,  // a flow's scope, deadline_ms or steps are not valid:
                      // `reason` (and `key`, for an unknown key of a step);
                      // the flow is dropped
    kNoWorkflows,     // no "workflows" (or a null one): nothing is read
    kWorkflowsNotSequence,  // "workflows" is a scalar or a map
    kFileRefused,           // the file cannot be read or parsed: `reason`
  };

  Kind kind = Kind::kFileRefused;
  int line = 0;
  int column = 0;
  std::string reason;
  std::string key;
  std::shared_ptr<const TracePointCfg> point;
  std::shared_ptr<const TraceFlowCfg> flow;

  // Whether the note stands for something the reader dropped.
  bool IsRefusal() const noexcept {
    return kind != Kind::kPointRead && kind != Kind::kFlowRead;
  }
};

// One flow as read, with the settings that only device-wide watching uses.
struct ReadFlow {
  std::shared_ptr<TraceFlowCfg> cfg;
  FlowScope scope = FlowScope::PROCESS;
  std::uint64_t deadline_ms = 0;
  // The flow's grammar when it has "steps" (its points are also its
  // flow_points); null for a flow of flow_points.
  std::shared_ptr<const FlowSteps> steps;
  int line = 0;  // where its entry starts
  int column = 0;
};

struct FlowFile {
  // In document order; a later flow with the same id replaces an earlier one
  // when they are stored.
  std::vector<ReadFlow> flows;
  std::vector<FlowFileNote> notes;

  std::size_t RefusalCount() const noexcept;
};

// Reads the flow file at `path`; only a regular file is read.
FlowFile ReadFlowFile(const std::string& path);
// Reads flow file content already in memory.
FlowFile ReadFlowText(const std::string& text);

// One flow map (or one point map) as the reader reads it: null, after a
// refusal note, when yaml-cpp raises an error while reading it. The point
// and flow notes are appended to `notes` in reading order.
std::shared_ptr<TraceFlowCfg> ReadFlowEntry(const YAML::Node& node,
                                            std::vector<FlowFileNote>& notes);
// As above; an entry with "steps" also gets its compiled steps in `steps`
// (and their points in flow_points). Steps that are not valid (see
// FindStepProblems; also unknown keys in a step, a step that is not exactly
// one of point_id, one_of, all_of and sequence, nesting deeper than
// kMaxStepNesting, and "steps" beside "flow_points") leave `steps` null
// after one kSettingRefused note each: such a flow is not loaded.
std::shared_ptr<TraceFlowCfg> ReadFlowEntry(
    const YAML::Node& node, std::vector<FlowFileNote>& notes,
    std::shared_ptr<const FlowSteps>* steps);
std::shared_ptr<TracePointCfg> ReadPointEntry(const YAML::Node& node,
                                              std::vector<FlowFileNote>& notes);
// A flow entry's "scope" (device or process, default process) and
// "deadline_ms" (default 0). False, after a kSettingRefused note, when either
// is present but not valid.
bool ReadFlowSettings(const YAML::Node& node, const std::string& flow_id,
                      ReadFlow& flow, std::vector<FlowFileNote>& notes);

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_FLOW_FILE_H_
