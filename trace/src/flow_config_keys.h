// The keys of a flow configuration file, in one place: the loader reads
// them through these names, and kelpwood-flows validate judges a file's keys
// against the same lists. A key added here and read by the loader is known
// to the validator without a second edit.

#ifndef KELPWOOD_TRACE_SRC_FLOW_CONFIG_KEYS_H_
#define KELPWOOD_TRACE_SRC_FLOW_CONFIG_KEYS_H_

namespace kelpwood {
namespace trace {
namespace config_keys {

// The document's root map.
inline constexpr char kWorkflows[] = "workflows";

// One entry of "workflows".
inline constexpr char kFlowId[] = "flow_id";
inline constexpr char kFlowName[] = "flow_name";
inline constexpr char kFlowDescription[] = "description";
inline constexpr char kCheckOrder[] = "check_order";
inline constexpr char kFlowPoints[] = "flow_points";
inline constexpr char kScope[] = "scope";
inline constexpr char kDeadlineMs[] = "deadline_ms";
// The flow's grammar, instead of flow_points.
inline constexpr char kSteps[] = "steps";

// One entry of "flow_points". "point_desc" wins over "description".
inline constexpr char kPointId[] = "point_id";
inline constexpr char kFailureId[] = "failure_id";
inline constexpr char kPointDesc[] = "point_desc";
inline constexpr char kPointDescription[] = "description";
inline constexpr char kOptional[] = "optional";

// One step: a point's keys, or one of the groups, and how often and when.
inline constexpr char kOneOf[] = "one_of";
inline constexpr char kAllOf[] = "all_of";
inline constexpr char kSequence[] = "sequence";
inline constexpr char kRepeat[] = "repeat";
inline constexpr char kWithinMs[] = "within_ms";
// The map of "repeat".
inline constexpr char kMin[] = "min";
inline constexpr char kMax[] = "max";

// Every key the loader reads, per level.
inline constexpr const char* kRootKeys[] = {kWorkflows};
inline constexpr const char* kFlowKeys[] = {
    kFlowId,     kFlowName, kFlowDescription, kCheckOrder,
    kFlowPoints, kScope,    kDeadlineMs,      kSteps};
inline constexpr const char* kPointKeys[] = {kPointId, kFailureId, kPointDesc,
                                             kPointDescription, kOptional};
inline constexpr const char* kStepKeys[] = {
    kPointId, kFailureId, kPointDesc, kPointDescription, kOptional,
    kOneOf,   kAllOf,     kSequence,  kRepeat,           kWithinMs};
inline constexpr const char* kRepeatKeys[] = {kMin, kMax};

}  // namespace config_keys
}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_TRACE_SRC_FLOW_CONFIG_KEYS_H_
