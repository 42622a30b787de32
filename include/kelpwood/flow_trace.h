// Flow tracing: a process-wide registry of workflows ("flows"), each configured
// as an ordered list of expected trace points, recorded at run time and
// checked for failed, missing, extra and out-of-order points.
//
//   namespace kt = kelpwood::trace;
//   auto& registry = kt::FlowTrace::GetInstance();
//   registry.RegisterTraceFlow("boot", {kt::Critical("init"),
//                                       kt::Optional("splash"),
//                                       kt::Critical("ready", 42)},
//                              "Boot", "", /*check_order=*/true);
//   registry.Trace("boot", "init", true);
//   registry.Trace("boot", "ready", true);
//   auto result = registry.CheckFlow("boot");   // result->result == PASSED
//
// Failures are reported through the kelpwood::Logger log, never by exceptions;
// the only exceptions that leave this API are std::system_error from the
// registry mutex, std::bad_alloc, and whatever a flow handler throws.
//
// Thread safety: every operation may be called from any thread. A flow
// handler runs inside CheckFlow with the registry mutex held; a registry call
// that it makes on its own thread (other than the parse functions, which take
// no lock) is refused with an ERROR and returns at once, doing nothing: make
// such calls after CheckFlow returns. Other threads wait for the mutex.
//
// fork(): the registry mutex is held across fork(), so a child can record and
// check at once. A fork() therefore waits for a CheckFlow running on another
// thread to return, handler included.

#ifndef KELPWOOD_FLOW_TRACE_H_
#define KELPWOOD_FLOW_TRACE_H_

#include <kelpwood/export.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace YAML {
class Node;
}  // namespace YAML

namespace kelpwood {
namespace trace {

// One recorded trace point. Callers and the library read and write its fields
// directly.
class KELPWOOD_API TracePoint {
 public:
  // Copies `point_id`, stores `success` and stamps `timestamp` with the
  // current system-clock time in milliseconds (truncated).
  TracePoint(const std::string& point_id, bool success);
  virtual ~TracePoint();

  std::string point_id;
  // Milliseconds since the Unix epoch at construction.
  std::int64_t timestamp;
  bool success;
  // Position in the flow queue, set when the point is recorded.
  std::int32_t index = 0;
  // Free annotations, logged by CheckFlow in insertion order.
  std::vector<std::pair<std::string, std::string>> metadata;

 protected:
  // Stamps `timestamp` from `time_ns`, a system-clock reading in nanoseconds
  // since the Unix epoch that the derived class keeps as well.
  TracePoint(const std::string& point_id, bool success, std::int64_t time_ns);
};

// One expected point of a flow's configuration.
struct KELPWOOD_API TracePointCfg {
  std::string point_id;
  std::string description;
  bool is_critical = false;
  std::uint32_t failure_id = 0;
};

// A configured point that the flow requires, as the configuration file
// builds one without "optional": critical, with `failure_id` and
// `description`. A new object on every call.
inline std::shared_ptr<TracePointCfg> Critical(
    const std::string& point_id, std::uint32_t failure_id = 0,
    const std::string& description = "") {
  auto point = std::make_shared<TracePointCfg>();
  point->point_id = point_id;
  point->description = description;
  point->is_critical = true;
  point->failure_id = failure_id;
  return point;
}

// As Critical(), for a point the flow may skip ("optional: true").
inline std::shared_ptr<TracePointCfg> Optional(
    const std::string& point_id, std::uint32_t failure_id = 0,
    const std::string& description = "") {
  auto point = Critical(point_id, failure_id, description);
  point->is_critical = false;
  return point;
}

// The configuration of one flow.
struct KELPWOOD_API TraceFlowCfg {
  bool check_order = true;
  std::string flow_id;
  std::string flow_name;
  std::string description;
  std::vector<std::shared_ptr<TracePointCfg>> flow_points;
};

enum class FlowCheckCode : std::int32_t {
  PASSED = 0,
  POINT_FAILED = 1,
  POINT_INVALID = 2,
  POINT_DUPLICATED = 3,
  POINT_MISSING = 4,
  ORDER_ERROR = 5,
  FLOW_NOT_FOUND = 6,
  // A step with a time budget (FlowStep::within_ms) came too late.
  POINT_LATE = 7,
};

// The code's enumerator name ("POINT_MISSING"), or "UNKNOWN" for a value
// outside the enumeration.
KELPWOOD_API const char* FlowCheckCodeName(FlowCheckCode code) noexcept;

// The outcome of one CheckFlow call. `trace_point` and `point_cfg` are the
// registry's own objects at fault, where there are any.
struct KELPWOOD_API FlowCheckResult {
  FlowCheckCode result = FlowCheckCode::PASSED;
  std::shared_ptr<TracePoint> trace_point;
  std::shared_ptr<TracePointCfg> point_cfg;
};

// One step of a flow's grammar, the alternative to a plain list of points
// (see FlowTrace::RegisterStepsFlow and the "steps" key of a flow file):
//   kPoint     the configured point `point`;
//   kOneOf     exactly one of `children` (the branches) is taken;
//   kAllOf     every one of `children` once, in any order, interleaved;
//   kSequence  `children` in order.
// Every step is taken `min` to `max` times in a row (a point step defaults to
// 1..1 when critical and 0..1 when optional; kUnbounded: no upper limit).
// `within_ms` (0: none) bounds the time from the previous step's last
// recording to this step's first one. `failure_id` (0: none) is a group's
// own, reported when the group is missing. Build steps with the functions
// below.
struct KELPWOOD_API FlowStep {
  enum class Kind : std::int32_t { kPoint, kOneOf, kAllOf, kSequence };
  static constexpr std::uint32_t kUnbounded = 0xFFFFFFFFu;

  Kind kind = Kind::kPoint;
  std::shared_ptr<TracePointCfg> point;
  std::vector<FlowStep> children;
  std::uint32_t min = 1;
  std::uint32_t max = 1;
  std::uint64_t within_ms = 0;
  std::uint32_t failure_id = 0;
};

// A step for `point`: required when the point is critical, else optional.
inline FlowStep Step(std::shared_ptr<TracePointCfg> point) {
  FlowStep step;
  step.min = point && !point->is_critical ? 0 : 1;
  step.point = std::move(point);
  return step;
}

// A group of `kind`, as OneOf, AllOf and Sequence build it.
inline FlowStep GroupStep(FlowStep::Kind kind, std::vector<FlowStep> children,
                          std::uint32_t failure_id) {
  FlowStep step;
  step.kind = kind;
  step.children = std::move(children);
  step.failure_id = failure_id;
  return step;
}

// Exactly one branch is taken.
inline FlowStep OneOf(std::vector<FlowStep> branches,
                      std::uint32_t failure_id = 0) {
  return GroupStep(FlowStep::Kind::kOneOf, std::move(branches), failure_id);
}

// Every member once, in any order.
inline FlowStep AllOf(std::vector<FlowStep> members,
                      std::uint32_t failure_id = 0) {
  return GroupStep(FlowStep::Kind::kAllOf, std::move(members), failure_id);
}

// The members in order.
inline FlowStep Sequence(std::vector<FlowStep> members,
                         std::uint32_t failure_id = 0) {
  return GroupStep(FlowStep::Kind::kSequence, std::move(members), failure_id);
}

// `step` taken `min` to `max` times in a row.
inline FlowStep Repeat(FlowStep step, std::uint32_t min, std::uint32_t max) {
  step.min = min;
  step.max = max;
  return step;
}

// `step` whose first recording comes at most `ms` after the previous step's
// last one.
inline FlowStep Within(FlowStep step, std::uint64_t ms) {
  step.within_ms = ms;
  return step;
}

// The compiled grammar of a flow; library-internal.
struct FlowSteps;

// Where a flow's points are checked. A device-wide flow's points (and its
// resets) are also published to the journal, so that a watcher can check a
// flow recorded by several processes.
enum class FlowScope : std::int32_t {
  PROCESS = 0,
  DEVICE = 1,
};

using FlowHandler = std::function<void(
    const std::string&, const std::shared_ptr<FlowCheckResult>&)>;

// The registry of flows. One per process; reach it with GetInstance().
class KELPWOOD_API FlowTrace {
 public:
  // The one registry, built on first use (thread-safe) and destroyed at exit.
  static FlowTrace& GetInstance();

  FlowTrace(const FlowTrace&) = delete;
  FlowTrace& operator=(const FlowTrace&) = delete;

  // Loads every flow of the YAML file at `path`, replacing flows with the same
  // id and giving each an empty queue. Flows the file does not name are kept.
  // Never throws for a bad, missing or unreadable file: it logs and returns.
  // Only a regular file is read; a directory, FIFO or device is refused with
  // an ERROR before any read. A file entry that cannot be parsed is skipped.
  void Init(const std::string& path);

  // Stores `cfg` (the pointer itself, not a copy) under cfg->flow_id and gives
  // the flow an empty queue, dropping points recorded so far. A null `cfg`, an
  // empty flow_id or a null element of flow_points is refused with an ERROR.
  void RegisterTraceFlow(std::shared_ptr<TraceFlowCfg> cfg);
  // Builds a TraceFlowCfg from the arguments and registers it as above.
  void RegisterTraceFlow(
      const std::string& flow_id,
      std::vector<std::shared_ptr<TracePointCfg>> flow_points,
      const std::string& flow_name, const std::string& description,
      bool check_order);
  // Registers `cfg` as above with the grammar `steps` instead of a list of
  // points: cfg->flow_points must be empty and is filled with the steps'
  // points in the order they are written, so that code reading flow_points
  // sees every point. A flow whose steps are not valid (a null point, an
  // empty group, min above max or max 0, within_ms on the first step, groups
  // nested deeper than 16) is refused with an ERROR. CheckFlow then checks
  // the recording against the steps (README, "A flow grammar").
  void RegisterStepsFlow(std::shared_ptr<TraceFlowCfg> cfg,
                         std::vector<FlowStep> steps);
  // Erases the flow's queue and configuration; its handler stays.
  void RemoveTraceFlow(const std::string& flow_id);
  // Stores `handler` for `flow_id`, replacing any earlier one. The flow need
  // not be registered. An empty handler is stored but never called.
  void RegisterFlowHandler(const std::string& flow_id, FlowHandler handler);

  // Appends `point` (shared, not copied) to the flow's queue and sets its
  // index. A null point or a flow without a queue is refused with a WARN.
  void Trace(const std::string& flow_id,
             const std::shared_ptr<TracePoint>& point);
  // Makes a new time-stamped point and appends it as above. For a flow without
  // a queue nothing is allocated.
  void Trace(const std::string& flow_id, const std::string& point_id,
             bool success);
  // The flow's queue, or an empty sequence for a flow without one. The caller
  // reads it without the registry lock: it REQUIRES that no other thread
  // records into, resets, removes or re-registers that flow meanwhile.
  // When other threads may trace, use CopyTracePoints instead.
  const std::vector<std::shared_ptr<TracePoint>>& GetTracePoints(
      const std::string& flow_id);
  // A snapshot of the flow's queue taken under the registry lock (the points
  // themselves are shared, not copied), or an empty sequence after a WARN for
  // a flow without one. Safe to read while other threads trace.
  std::vector<std::shared_ptr<TracePoint>> CopyTracePoints(
      const std::string& flow_id);
  // Copies, under the registry lock, the flow's queue (the shared points) to
  // `points` and its configuration to `cfg` (null when it has none). From a
  // flow handler it is refused with an ERROR and leaves both empty.
  void SnapshotFlow(const std::string& flow_id,
                    std::vector<std::shared_ptr<TracePoint>>& points,
                    std::shared_ptr<const TraceFlowCfg>& cfg);
  // Empties the flow's queue; the flow keeps accepting points.
  void ResetFlow(const std::string& flow_id);
  // Erases every flow's queue; configurations and handlers stay, but no flow
  // accepts points until it is registered or loaded again.
  void ResetAllFlows();

  // Checks the flow's recorded points against its configuration, logs the
  // findings, calls the flow's handler (under the registry lock) and returns
  // the result. Never returns null; changes nothing in the registry. Called
  // from a flow handler it checks nothing and returns FLOW_NOT_FOUND.
  std::shared_ptr<FlowCheckResult> CheckFlow(const std::string& flow_id);

  // Milliseconds between the flow's first and last recorded points (by queue
  // position), or 0 when there is no such duration.
  std::uint64_t GetFlowDuration(const std::string& flow_id);

  // Journal settings, kept by flow id (the flow need not be registered yet)
  // and set by Init from a flow's "scope" and "deadline_ms" keys. Trace and
  // ResetFlow of a DEVICE flow also write a journal entry, never blocking:
  // points journald does not take are counted and reported later.
  // SetFlowScope(id, PROCESS) stops publishing, e.g. in a process that only
  // checks what others publish.
  void SetFlowScope(const std::string& flow_id, FlowScope scope);
  FlowScope GetFlowScope(const std::string& flow_id);
  // A run of the flow ends `deadline_ms` after its first point; 0: never.
  // Stored for watchers of device-wide flows; CheckFlow does not use it.
  void SetFlowDeadline(const std::string& flow_id, std::uint64_t deadline_ms);
  std::uint64_t GetFlowDeadline(const std::string& flow_id);
  // Whether every CheckFlow also writes its verdict as one journal entry.
  // Until this is called, KELPWOOD_FLOW_JOURNAL=true in the environment
  // switches it on.
  void SetCheckVerdictsToJournal(bool enabled);

  // Builds one flow (or one point) from a YAML map. Returns null, after an
  // ERROR message, when yaml-cpp raises an error while reading the node.
  // Touches no table and takes no lock.
  std::shared_ptr<TraceFlowCfg> parseTraceFlowCfg(const YAML::Node& node);
  std::shared_ptr<TracePointCfg> parseTracePointCfg(const YAML::Node& node);

 private:
  FlowTrace();
  ~FlowTrace();

  std::unordered_map<std::string, std::vector<std::shared_ptr<TracePoint>>>
      flow_queues;
  std::unordered_map<std::string, std::shared_ptr<TraceFlowCfg>> flow_cfgs;
  std::unordered_map<std::string, FlowHandler> flow_handlers;
  // The grammar of each flow registered or loaded with steps.
  std::unordered_map<std::string, std::shared_ptr<const FlowSteps>> flow_steps;
  std::vector<std::shared_ptr<TracePoint>> empty_points;
  std::mutex mutex;

  // The journal settings of each flow id that has any, under `mutex`.
  struct FlowSettings {
    FlowScope scope = FlowScope::PROCESS;
    std::uint64_t deadline_ms = 0;
    // In-process verdicts written so far (FLOW_RUN "<pid>-<n>").
    std::uint64_t verdicts_written = 0;
  };
  std::unordered_map<std::string, FlowSettings> flow_settings;
  // Device-wide flows among them: while none is, Trace looks nothing up.
  std::size_t device_wide_flows = 0;

  KELPWOOD_LOCAL bool IsDeviceWide(const std::string& flow_id) const;
  KELPWOOD_LOCAL void SetScopeLocked(const std::string& flow_id,
                                     FlowScope scope);
  // The flow's grammar, or null, under the lock: FlowTimeline draws it.
  KELPWOOD_LOCAL std::shared_ptr<const FlowSteps> StepsOf(
      const std::string& flow_id);
  friend class FlowTimeline;
};

}  // namespace trace
}  // namespace kelpwood

#endif  // KELPWOOD_FLOW_TRACE_H_
