#include <kelpwood/flow_timeline.h>
#include <kelpwood/flow_trace.h>
#include <kelpwood/logger.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "trace/src/flow_check.h"
#include "trace/src/flow_file.h"
#include "trace/src/flow_journal.h"
#include "trace/src/flow_steps.h"
#include "trace/src/timed_trace_point.h"

namespace kelpwood {
namespace trace {

namespace {

// True while this thread runs a flow handler. CheckFlow calls handlers with
// the registry mutex held, and std::mutex is not recursive: a registry call
// from the handler would lock it again and hang for ever, so such a call is
// refused instead. Other threads never see the flag and wait for the lock.
thread_local bool running_flow_handler = false;

class FlowHandlerScope {
 public:
  FlowHandlerScope() noexcept { running_flow_handler = true; }
  ~FlowHandlerScope() { running_flow_handler = false; }
  FlowHandlerScope(const FlowHandlerScope&) = delete;
  FlowHandlerScope& operator=(const FlowHandlerScope&) = delete;
};

// Logs the refusal of a registry call made from a flow handler, naming the
// operation (the caller's function) and its own source location.
[[gnu::noinline, gnu::cold]] bool RefuseInsideFlowHandler(
    const spdlog::source_loc& location) {
  Logger::Log(LogLevel::kError, location,
              FMT_STRING("{} called from a flow handler is refused: call it "
                         "after CheckFlow returns"),
              location.funcname);
  return true;
}

// True, after an ERROR, when the calling thread is running a flow handler.
#define KELPWOOD_INSIDE_FLOW_HANDLER()           \
  (running_flow_handler &&                       \
   RefuseInsideFlowHandler(::spdlog::source_loc{ \
       __FILE__, __LINE__, static_cast<const char*>(__func__)}))

// The registry mutex is held across fork(), as glibc's malloc holds its own
// locks: a child forked while another thread is inside the registry would
// otherwise inherit a mutex that nobody in it will ever release.
std::atomic<std::mutex*> fork_guarded_mutex{nullptr};
// Whether this thread's prepare handler took the mutex. A flow handler that
// forks already holds it (CheckFlow took it), so it is neither taken again
// nor released after the fork; CheckFlow releases it as usual.
thread_local bool fork_took_registry_mutex = false;

void LockRegistryBeforeFork() noexcept {
  std::mutex* registry_mutex = fork_guarded_mutex.load();
  fork_took_registry_mutex = registry_mutex != nullptr && !running_flow_handler;
  if (fork_took_registry_mutex) registry_mutex->lock();
}

void UnlockRegistryAfterFork() noexcept {
  if (!fork_took_registry_mutex) return;
  fork_took_registry_mutex = false;
  fork_guarded_mutex.load()->unlock();
}

// Milliseconds since the Unix epoch, in integer arithmetic: a double would
// round at today's magnitudes. Division truncates toward zero.
std::int64_t NowMilliseconds() noexcept { return NowNanoseconds() / 1'000'000; }

// Whether an INFO message would reach a sink. The flow check builds its two
// chain texts only when somebody can read them; the message itself is still
// logged (with an empty chain) so that the message counter advances exactly
// as it would otherwise.
bool InfoMessagesAreWritten() {
  const Logger& record = Logger::Instance();
  return record.level <= static_cast<std::int32_t>(LogLevel::kInfo) &&
         record.logger != nullptr && !record.logger->sinks().empty();
}

void AppendToChain(std::string& chain, std::string_view piece) {
  if (!chain.empty()) chain += " -> ";
  chain += piece;
}

// The journal the registry writes to, installed by the journal module when
// the shared object is loaded; null: nothing is written.
std::atomic<FlowJournal*> installed_journal{nullptr};

const std::string empty_id;

// -1: not decided yet (read the environment); 0 or 1: decided.
std::atomic<int> verdicts_to_journal{-1};

// Whether CheckFlow writes its verdict: KELPWOOD_FLOW_JOURNAL=true in the
// environment at first use, unless SetCheckVerdictsToJournal() decided.
bool VerdictsGoToJournal() noexcept {
  int state = verdicts_to_journal.load(std::memory_order_relaxed);
  if (state < 0) {
    const char* value = std::getenv("KELPWOOD_FLOW_JOURNAL");
    const int from_environment =
        value != nullptr && std::strcmp(value, "true") == 0 ? 1 : 0;
    // A concurrent SetCheckVerdictsToJournal() wins over the environment.
    verdicts_to_journal.compare_exchange_strong(state, from_environment);
    state = verdicts_to_journal.load(std::memory_order_relaxed);
  }
  return state == 1;
}

// The run that CheckFlow just checked, in the shape the verdict entry takes.
FlowRun MakeCheckedRun(const std::string& flow_id, std::string run_id,
                       const std::shared_ptr<TraceFlowCfg>& cfg,
                       const std::vector<std::shared_ptr<TracePoint>>& recorded,
                       const FlowCheckResult& result) {
  FlowRun run;
  run.flow_id = flow_id;
  run.run_id = std::move(run_id);
  run.cfg = cfg;
  run.points.reserve(recorded.size());
  std::unordered_set<std::string_view> configured;
  if (cfg) {
    for (const auto& point_cfg : cfg->flow_points) {
      if (point_cfg) configured.insert(point_cfg->point_id);
    }
  }
  for (const auto& point : recorded) {
    if (point == result.trace_point) {
      run.fault_point_index = static_cast<int>(run.points.size());
    }
    RunPoint& copy = run.points.emplace_back();
    copy.point_id = point->point_id;
    copy.success = point->success;
    copy.time_ns = TracePointTimeNs(*point);
    if (configured.count(copy.point_id) == 0) ++run.unexpected_points;
  }
  if (!recorded.empty()) {
    // As GetFlowDuration: first and last by queue position.
    run.start_ns = run.points.front().time_ns;
    run.end_ns = run.points.back().time_ns;
  }
  run.code = result.result;
  if (result.point_cfg) {
    run.fault_configured_point_id = result.point_cfg->point_id;
    run.failure_id = result.point_cfg->failure_id;
  }
  return run;
}

// Logs as `function` would: the reader's notes belong to Init and the two
// parse operations, whose names their messages carry.
#define KELPWOOD_LOG_AS(function, level, ...)                                 \
  ::kelpwood::Logger::Log(level,                                              \
                          ::spdlog::source_loc{__FILE__, __LINE__, function}, \
                          FMT_STRING(KELPWOOD_LOG_FIRST_(__VA_ARGS__))        \
                              KELPWOOD_LOG_REST_(__VA_ARGS__))

// Logs one note of the flow file reader in the loader's words.
void LogFlowFileNote(const FlowFileNote& note) {
  using Kind = FlowFileNote::Kind;
  constexpr auto kDebug = LogLevel::kDebug;
  constexpr auto kError = LogLevel::kError;
  switch (note.kind) {
    case Kind::kPointRead:
      KELPWOOD_LOG_AS("parseTracePointCfg", kDebug,
                      "Parsed trace point config: point_id={}, "
                      "description={}, is_critical={}",
                      note.point->point_id, note.point->description,
                      note.point->is_critical);
      return;
    case Kind::kPointRefused:
      KELPWOOD_LOG_AS("parseTracePointCfg", kError,
                      "Failed to parse trace point config: {}", note.reason);
      return;
    case Kind::kFlowRead:
      KELPWOOD_LOG_AS("parseTraceFlowCfg", kDebug,
                      "Parsed trace flow config: flow_id={}, flow_name={}, "
                      "check_order={}, points_count={}",
                      note.flow->flow_id, note.flow->flow_name,
                      note.flow->check_order, note.flow->flow_points.size());
      return;
    case Kind::kFlowRefused:
      KELPWOOD_LOG_AS("parseTraceFlowCfg", kError,
                      "Failed to parse trace flow config: {}", note.reason);
      return;
    case Kind::kSettingRefused:
      KELPWOOD_LOG_AS("Init", kError, "Failed to parse trace flow config: {}",
                      note.reason);
      return;
    case Kind::kNoWorkflows:
      KELPWOOD_LOG_AS("Init", kError, "No workflows configuration found");
      return;
    case Kind::kWorkflowsNotSequence:
      // Contract text, lower-case first letter included.
      KELPWOOD_LOG_AS("Init", kError, "workflows should be a sequence");
      return;
    case Kind::kFileRefused:
      KELPWOOD_LOG_AS("Init", kError,
                      "Failed to parse flow configuration file: {}",
                      note.reason);
      return;
  }
}

// The outcome lines of a check, after the chains, in CheckFlow's name.
void LogCheckOutcome(const std::string& flow_id,
                     const std::vector<std::shared_ptr<TracePoint>>& recorded,
                     const CheckTrail& trail, const std::string& expected_id,
                     const std::string& actual_id) {
  constexpr const char* kCheckFlow = "CheckFlow";
  constexpr auto kInfo = LogLevel::kInfo;
  constexpr auto kError = LogLevel::kError;
  if (trail.decided_by_presence) {
    if (trail.code == FlowCheckCode::POINT_FAILED) {
      KELPWOOD_LOG_AS(kCheckFlow, kError, "Point '{}' failed in flow '{}'",
                      expected_id, flow_id);
    } else {
      KELPWOOD_LOG_AS(kCheckFlow, kError,
                      "Critical point '{}' not executed in flow '{}'",
                      expected_id, flow_id);
    }
    return;
  }
  if (!trail.leftovers.empty()) {
    // Contract text, trailing ": " included; leftovers follow one per line,
    // in recording order.
    KELPWOOD_LOG_AS(kCheckFlow, kError,
                    "Some points not in flow '{}' executed: ", flow_id);
    for (const std::size_t position : trail.leftovers) {
      KELPWOOD_LOG_AS(kCheckFlow, kError, "Point '{}' not in flow config",
                      recorded[position]->point_id);
    }
  } else {
    KELPWOOD_LOG_AS(kCheckFlow, kInfo, "All points executed in flow '{}'",
                    flow_id);
  }
  switch (trail.code) {
    case FlowCheckCode::PASSED:
      KELPWOOD_LOG_AS(kCheckFlow, kInfo, "Flow '{}' check passed", flow_id);
      return;
    case FlowCheckCode::POINT_MISSING:
      KELPWOOD_LOG_AS(kCheckFlow, kError, "Flow '{}' trace point '{}' missing",
                      flow_id, expected_id);
      break;
    case FlowCheckCode::POINT_DUPLICATED:
      KELPWOOD_LOG_AS(kCheckFlow, kError,
                      "Flow '{}' trace point '{}' duplicated", flow_id,
                      actual_id);
      break;
    case FlowCheckCode::POINT_INVALID:
      KELPWOOD_LOG_AS(kCheckFlow, kError, "Flow '{}' trace point '{}' invalid",
                      flow_id, actual_id);
      break;
    default:
      KELPWOOD_LOG_AS(kCheckFlow, kError,
                      "Flow '{}' trace point '{}' order error", flow_id,
                      actual_id);
      break;
  }
  // The recorded point at the mismatch, also where the outcome names none (a
  // missing point); contract text, wording included.
  KELPWOOD_LOG_AS(
      kCheckFlow, kError, "Flow '{}' trace point '{}' not match config '{}'",
      flow_id, recorded[trail.order_mismatch_recorded]->point_id, expected_id);
}

// The outcome lines of a check against a flow's steps, in CheckFlow's name:
// the leftovers, then the fault in the texts of a flat flow's check where
// they fit.
void LogStepsOutcome(const std::string& flow_id,
                     const std::vector<std::shared_ptr<TracePoint>>& recorded,
                     const CheckTrail& trail, const std::string& expected_id) {
  constexpr const char* kCheckFlow = "CheckFlow";
  constexpr auto kInfo = LogLevel::kInfo;
  constexpr auto kError = LogLevel::kError;
  if (!trail.leftovers.empty()) {
    KELPWOOD_LOG_AS(kCheckFlow, kError,
                    "Some points not in flow '{}' executed: ", flow_id);
    for (const std::size_t position : trail.leftovers) {
      KELPWOOD_LOG_AS(kCheckFlow, kError, "Point '{}' not in flow config",
                      recorded[position]->point_id);
    }
  } else if (trail.code == FlowCheckCode::PASSED) {
    KELPWOOD_LOG_AS(kCheckFlow, kInfo, "All points executed in flow '{}'",
                    flow_id);
  }
  const std::string& actual_id = trail.fault_recorded != CheckTrail::kNone
                                     ? recorded[trail.fault_recorded]->point_id
                                     : empty_id;
  switch (trail.code) {
    case FlowCheckCode::PASSED:
      KELPWOOD_LOG_AS(kCheckFlow, kInfo, "Flow '{}' check passed", flow_id);
      return;
    case FlowCheckCode::POINT_FAILED:
      KELPWOOD_LOG_AS(kCheckFlow, kError, "Point '{}' failed in flow '{}'",
                      expected_id, flow_id);
      return;
    case FlowCheckCode::POINT_MISSING:
      KELPWOOD_LOG_AS(kCheckFlow, kError,
                      "Critical point '{}' not executed in flow '{}'",
                      expected_id, flow_id);
      break;
    case FlowCheckCode::POINT_DUPLICATED:
      KELPWOOD_LOG_AS(kCheckFlow, kError,
                      "Flow '{}' trace point '{}' duplicated", flow_id,
                      actual_id);
      return;
    case FlowCheckCode::POINT_LATE: {
      const std::int64_t elapsed_ns =
          TracePointTimeNs(*recorded[trail.fault_recorded]) -
          TracePointTimeNs(*recorded[trail.late_after_recorded]);
      KELPWOOD_LOG_AS(kCheckFlow, kError,
                      "Flow '{}' trace point '{}' late: {} ms after '{}', "
                      "budget {} ms",
                      flow_id, actual_id, elapsed_ns / 1'000'000,
                      recorded[trail.late_after_recorded]->point_id,
                      trail.late_budget_ms);
      return;
    }
    default:
      KELPWOOD_LOG_AS(kCheckFlow, kError,
                      "Flow '{}' trace point '{}' order error", flow_id,
                      actual_id);
      break;
  }
  if (trail.order_mismatch_recorded != CheckTrail::kNone) {
    KELPWOOD_LOG_AS(kCheckFlow, kError,
                    "Flow '{}' trace point '{}' not match config '{}'", flow_id,
                    recorded[trail.order_mismatch_recorded]->point_id,
                    expected_id);
  }
}

}  // namespace

TracePoint::TracePoint(const std::string& point_id, bool success)
    : point_id(point_id), timestamp(NowMilliseconds()), success(success) {}

TracePoint::TracePoint(const std::string& point_id, bool success,
                       std::int64_t time_ns)
    : point_id(point_id), timestamp(time_ns / 1'000'000), success(success) {}

TracePoint::~TracePoint() = default;

std::int64_t NowNanoseconds() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t TracePointTimeNs(const TracePoint& point) noexcept {
  // A caller may set `timestamp` on any point; the finer time is used only
  // while it still agrees with the milliseconds.
  if (const auto* timed = dynamic_cast<const TimedTracePoint*>(&point)) {
    if (timed->time_ns / 1'000'000 == point.timestamp) return timed->time_ns;
  }
  std::int64_t time_ns = 0;
  if (__builtin_mul_overflow(point.timestamp, std::int64_t{1'000'000},
                             &time_ns)) {
    return point.timestamp < 0 ? std::numeric_limits<std::int64_t>::min()
                               : std::numeric_limits<std::int64_t>::max();
  }
  return time_ns;
}

// The logger record is built before the registry so that it is destroyed
// after it: a host static or an atexit hook that checks a flow at exit then
// still logs through a live logger, whatever the order of first use was.
FlowTrace::FlowTrace() {
  Logger::Instance();
  // Registered once: GetInstance constructs one registry per process.
  if (::pthread_atfork(LockRegistryBeforeFork, UnlockRegistryAfterFork,
                       UnlockRegistryAfterFork) != 0) {
    throw std::bad_alloc();  // its only failure is ENOMEM
  }
  fork_guarded_mutex.store(&mutex);
}

FlowTrace::~FlowTrace() { fork_guarded_mutex.store(nullptr); }

FlowTrace& FlowTrace::GetInstance() {
  static FlowTrace instance;
  return instance;
}

void FlowTrace::RegisterTraceFlow(std::shared_ptr<TraceFlowCfg> cfg) {
  if (!cfg || cfg->flow_id.empty()) {
    KELPWOOD_LOG_ERROR("Invalid flow configuration: flow_id is empty");
    return;
  }
  // A null configured point would be dereferenced by every later check, so
  // such a configuration is refused whole, before anything is replaced.
  for (std::size_t position = 0; position < cfg->flow_points.size();
       ++position) {
    if (!cfg->flow_points[position]) {
      KELPWOOD_LOG_ERROR(
          "Invalid flow configuration: flow '{}' has an empty point at "
          "position {}",
          cfg->flow_id, position);
      return;
    }
  }

  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;

  // Released after the mutex, so that dropping many points does not hold
  // up recording into other flows.
  std::vector<std::shared_ptr<TracePoint>> dropped_points;
  std::shared_ptr<TraceFlowCfg> dropped_cfg;
  {
    // flow_cfgs is guarded by the mutex as well, so that registration may
    // overlap a check of another thread without a data race.
    std::lock_guard<std::mutex> lock(mutex);
    auto cfg_entry = flow_cfgs.find(cfg->flow_id);
    if (cfg_entry != flow_cfgs.end()) {
      KELPWOOD_LOG_WARN("Flow with ID '{}' already registered, overwriting",
                        cfg->flow_id);
      dropped_cfg = std::exchange(cfg_entry->second, cfg);
    } else {
      flow_cfgs.emplace(cfg->flow_id, cfg);
    }
    flow_steps.erase(cfg->flow_id);
    // The queue object itself stays in place (references handed out by
    // GetTracePoints remain valid); only its points are taken out.
    flow_queues[cfg->flow_id].swap(dropped_points);
    KELPWOOD_LOG_INFO(
        "Registered trace flow: flow_id={}, flow_name={}, points_count={}",
        cfg->flow_id, cfg->flow_name, cfg->flow_points.size());
  }
}

void FlowTrace::RegisterTraceFlow(
    const std::string& flow_id,
    std::vector<std::shared_ptr<TracePointCfg>> flow_points,
    const std::string& flow_name, const std::string& description,
    bool check_order) {
  if (flow_id.empty()) {
    KELPWOOD_LOG_ERROR("Invalid flow_id: cannot be empty");
    return;
  }
  auto cfg = std::make_shared<TraceFlowCfg>();
  cfg->flow_id = flow_id;
  cfg->flow_name = flow_name;
  cfg->description = description;
  cfg->check_order = check_order;
  cfg->flow_points = std::move(flow_points);
  RegisterTraceFlow(std::move(cfg));
}

void FlowTrace::RegisterStepsFlow(std::shared_ptr<TraceFlowCfg> cfg,
                                  std::vector<FlowStep> steps) {
  if (!cfg || cfg->flow_id.empty()) {
    KELPWOOD_LOG_ERROR("Invalid flow configuration: flow_id is empty");
    return;
  }
  if (!cfg->flow_points.empty()) {
    KELPWOOD_LOG_ERROR(
        "Invalid flow configuration: flow '{}' takes flow_points or steps, "
        "not both",
        cfg->flow_id);
    return;
  }
  const std::vector<StepProblem> problems = FindStepProblems(steps);
  for (const StepProblem& problem : problems) {
    KELPWOOD_LOG_ERROR("Invalid flow configuration: flow '{}': {}: {}",
                       cfg->flow_id, StepPathText(problem.path), problem.text);
  }
  if (!problems.empty()) return;
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::shared_ptr<const FlowSteps> compiled = CompileSteps(steps);
  cfg->flow_points = compiled->points;
  const std::string flow_id = cfg->flow_id;
  RegisterTraceFlow(std::move(cfg));
  std::lock_guard<std::mutex> lock(mutex);
  // Registered just now (RegisterTraceFlow refuses nothing here): the steps
  // join the configuration that it stored.
  if (flow_cfgs.count(flow_id) != 0) flow_steps[flow_id] = std::move(compiled);
}

void FlowTrace::RemoveTraceFlow(const std::string& flow_id) {
  if (flow_id.empty()) {
    KELPWOOD_LOG_ERROR("Invalid flow_id: cannot be empty");
    return;
  }
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::vector<std::shared_ptr<TracePoint>> dropped_points;
  std::shared_ptr<TraceFlowCfg> dropped_cfg;
  std::lock_guard<std::mutex> lock(mutex);
  auto queue_entry = flow_queues.find(flow_id);
  if (queue_entry != flow_queues.end()) {
    dropped_points.swap(queue_entry->second);
    flow_queues.erase(queue_entry);
    KELPWOOD_LOG_INFO("Removed flow queue for flow_id: {}", flow_id);
  } else {
    KELPWOOD_LOG_WARN("Flow queue not found for flow_id: {}", flow_id);
  }
  // The configuration step comes after the queue step, as always, but under
  // the same lock so that it cannot race with a check.
  auto cfg_entry = flow_cfgs.find(flow_id);
  if (cfg_entry != flow_cfgs.end()) {
    dropped_cfg = std::move(cfg_entry->second);
    flow_cfgs.erase(cfg_entry);
    flow_steps.erase(flow_id);
    KELPWOOD_LOG_INFO("Removed flow configuration for flow_id: {}", flow_id);
  } else {
    KELPWOOD_LOG_WARN("Flow configuration not found for flow_id: {}", flow_id);
  }
}

void FlowTrace::RegisterFlowHandler(const std::string& flow_id,
                                    FlowHandler handler) {
  if (flow_id.empty()) {
    KELPWOOD_LOG_ERROR("Invalid flow_id: cannot be empty");
    return;
  }
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = flow_handlers.find(flow_id);
  if (entry != flow_handlers.end()) {
    KELPWOOD_LOG_WARN("Handler for flow_id '{}' already exists, overwriting",
                      flow_id);
    entry->second = std::move(handler);
  } else {
    flow_handlers.emplace(flow_id, std::move(handler));
  }
  KELPWOOD_LOG_INFO("Successfully registered handler for flow_id: {}", flow_id);
}

void FlowTrace::Trace(const std::string& flow_id,
                      const std::shared_ptr<TracePoint>& point) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::unique_lock<std::mutex> lock(mutex);
  auto entry = flow_queues.find(flow_id);
  if (!point || entry == flow_queues.end()) {
    // Contract text; CheckFlow and GetFlowDuration say "Flow with ID" instead.
    KELPWOOD_LOG_WARN("flow_id {} not found", flow_id);
    return;
  }
  auto& queue = entry->second;
  point->index = static_cast<std::int32_t>(queue.size());
  queue.push_back(point);
  if (IsDeviceWide(flow_id)) {
    // Published after the registry is unlocked: the send is a system call.
    const std::int32_t index = point->index;
    lock.unlock();
    if (FlowJournal* journal = installed_journal.load()) {
      journal->PublishPoint(flow_id, *point, index);
    }
  }
}

void FlowTrace::Trace(const std::string& flow_id, const std::string& point_id,
                      bool success) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::unique_lock<std::mutex> lock(mutex);
  auto entry = flow_queues.find(flow_id);
  if (entry == flow_queues.end()) {
    KELPWOOD_LOG_WARN("flow_id {} not found", flow_id);
    return;
  }
  auto& queue = entry->second;
  // The point keeps the clock's nanoseconds beside `timestamp`, in the same
  // single allocation.
  auto point =
      std::make_shared<TimedTracePoint>(point_id, success, NowNanoseconds());
  point->index = static_cast<std::int32_t>(queue.size());
  queue.push_back(std::move(point));
  if (IsDeviceWide(flow_id)) {
    // Held past the unlock: a concurrent ResetFlow may drop the queue's copy.
    const std::shared_ptr<TracePoint> published = queue.back();
    lock.unlock();
    if (FlowJournal* journal = installed_journal.load()) {
      journal->PublishPoint(flow_id, *published, published->index);
    }
  }
}

const std::vector<std::shared_ptr<TracePoint>>& FlowTrace::GetTracePoints(
    const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return empty_points;
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = flow_queues.find(flow_id);
  if (entry == flow_queues.end()) {
    KELPWOOD_LOG_WARN("flow_id {} not found", flow_id);
    return empty_points;
  }
  return entry->second;
}

std::vector<std::shared_ptr<TracePoint>> FlowTrace::CopyTracePoints(
    const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return {};
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = flow_queues.find(flow_id);
  if (entry == flow_queues.end()) {
    KELPWOOD_LOG_WARN("flow_id {} not found", flow_id);
    return {};
  }
  return entry->second;
}

void FlowTrace::SnapshotFlow(const std::string& flow_id,
                             std::vector<std::shared_ptr<TracePoint>>& points,
                             std::shared_ptr<const TraceFlowCfg>& cfg) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) {
    points.clear();
    cfg = nullptr;
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  auto queue_entry = flow_queues.find(flow_id);
  if (queue_entry != flow_queues.end()) {
    points = queue_entry->second;
  } else {
    points.clear();
  }
  auto cfg_entry = flow_cfgs.find(flow_id);
  cfg = cfg_entry != flow_cfgs.end() ? cfg_entry->second : nullptr;
}

std::shared_ptr<const FlowSteps> FlowTrace::StepsOf(
    const std::string& flow_id) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto entry = flow_steps.find(flow_id);
  return entry != flow_steps.end() ? entry->second : nullptr;
}

void FlowTrace::ResetFlow(const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::unique_lock<std::mutex> lock(mutex);
  auto entry = flow_queues.find(flow_id);
  if (entry == flow_queues.end()) {
    KELPWOOD_LOG_WARN("flow_id {} not found", flow_id);
    return;
  }
  // clear() keeps the queue's storage: a flow is reset to be run again, and
  // its next run records about as many points without growing the queue.
  entry->second.clear();
  if (IsDeviceWide(flow_id)) {
    lock.unlock();
    if (FlowJournal* journal = installed_journal.load()) {
      journal->PublishReset(flow_id);
    }
  }
}

void FlowTrace::ResetAllFlows() {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  decltype(flow_queues) dropped_queues;
  // A device-wide flow's open run ends here too: its watchers are told, as
  // for ResetFlow, so that the next run does not merge with this one.
  std::vector<std::string> device_wide_dropped;
  {
    std::lock_guard<std::mutex> lock(mutex);
    flow_queues.swap(dropped_queues);
    if (device_wide_flows != 0) {
      for (const auto& [flow_id, queue] : dropped_queues) {
        if (IsDeviceWide(flow_id)) device_wide_dropped.push_back(flow_id);
      }
    }
  }
  FlowJournal* journal = installed_journal.load();
  if (journal == nullptr) return;
  for (const std::string& flow_id : device_wide_dropped) {
    journal->PublishReset(flow_id);
  }
}

std::shared_ptr<FlowCheckResult> FlowTrace::CheckFlow(
    const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) {
    // Nothing was checked, so the result must not read as a pass.
    auto refused = std::make_shared<FlowCheckResult>();
    refused->result = FlowCheckCode::FLOW_NOT_FOUND;
    return refused;
  }
  KELPWOOD_LOG_INFO("Check flow: {}", flow_id);
  auto result = std::make_shared<FlowCheckResult>();

  std::lock_guard<std::mutex> lock(mutex);
  auto queue_entry = flow_queues.find(flow_id);
  auto cfg_entry = flow_cfgs.find(flow_id);
  if (queue_entry == flow_queues.end() || cfg_entry == flow_cfgs.end()) {
    KELPWOOD_LOG_WARN("Flow with ID '{}' not found", flow_id);
    result->result = FlowCheckCode::FLOW_NOT_FOUND;
  } else {
    // Every message below names CheckFlow as its function, so the narration
    // of the check stays in this body.
    const std::vector<std::shared_ptr<TracePoint>>& recorded =
        queue_entry->second;
    const TraceFlowCfg& cfg = *cfg_entry->second;
    const bool chains_are_written = InfoMessagesAreWritten();

    std::string recorded_chain;
    for (const auto& point : recorded) {
      if (chains_are_written) AppendToChain(recorded_chain, point->point_id);
      for (const auto& [key, value] : point->metadata) {
        KELPWOOD_LOG_INFO("Flow '{}' has trace point '{}' metadata '{}' = '{}'",
                          flow_id, point->point_id, key, value);
      }
    }
    KELPWOOD_LOG_INFO("Flow '{}' trace points: {}", flow_id, recorded_chain);

    // Registration refuses null configured points, but the caller keeps its
    // own pointer to the configuration and may add one later: such an element
    // is skipped everywhere rather than read through.
    const auto steps_entry = flow_steps.find(flow_id);
    const FlowSteps* steps =
        steps_entry != flow_steps.end() ? steps_entry->second.get() : nullptr;
    // A steps flow's points are read from its steps, whatever the caller did
    // to flow_points since.
    const auto& configured = steps != nullptr ? steps->points : cfg.flow_points;
    std::string configured_chain;
    if (chains_are_written && steps != nullptr) {
      configured_chain = StepsChain(*steps);
    } else if (chains_are_written) {
      for (const auto& point_cfg : configured) {
        if (!point_cfg) continue;
        if (!configured_chain.empty()) configured_chain += " -> ";
        configured_chain += point_cfg->is_critical ? '<' : '[';
        configured_chain += point_cfg->point_id;
        configured_chain += point_cfg->is_critical ? '>' : ']';
      }
    }
    KELPWOOD_LOG_INFO("Flow '{}' trace point configs: {}", flow_id,
                      configured_chain);

    const CheckTrail trail = CheckRecording(cfg, steps, recorded);
    result->result = trail.code;
    if (trail.fault_recorded != CheckTrail::kNone) {
      result->trace_point = recorded[trail.fault_recorded];
    }
    if (trail.fault_configured != CheckTrail::kNone) {
      result->point_cfg = configured[trail.fault_configured];
      if (result->point_cfg->failure_id != trail.failure_id) {
        // A group's failure_id: the point as the group reports it.
        auto reported = std::make_shared<TracePointCfg>(*result->point_cfg);
        reported->failure_id = trail.failure_id;
        result->point_cfg = std::move(reported);
      }
    }
    const std::string& expected_id =
        result->point_cfg ? result->point_cfg->point_id : empty_id;
    const std::string& actual_id =
        result->trace_point ? result->trace_point->point_id : empty_id;

    if (steps != nullptr) {
      LogStepsOutcome(flow_id, recorded, trail, expected_id);
    } else {
      LogCheckOutcome(flow_id, recorded, trail, expected_id, actual_id);
    }
  }

  if (VerdictsGoToJournal()) {
    if (FlowJournal* journal = installed_journal.load()) {
      const std::string run_id = fmt::format(
          "{}-{}", ::getpid(), ++flow_settings[flow_id].verdicts_written);
      FlowRun run = MakeCheckedRun(
          flow_id, run_id,
          cfg_entry == flow_cfgs.end() ? nullptr : cfg_entry->second,
          queue_entry == flow_queues.end() ? empty_points : queue_entry->second,
          *result);
      const auto steps_entry = flow_steps.find(flow_id);
      if (steps_entry != flow_steps.end()) run.steps = steps_entry->second;
      journal->SendVerdict(run);
    }
  }
  auto handler_entry = flow_handlers.find(flow_id);
  if (handler_entry != flow_handlers.end() && handler_entry->second) {
    FlowHandlerScope handler_scope;
    handler_entry->second(flow_id, result);
  }
  return result;
}

std::uint64_t FlowTrace::GetFlowDuration(const std::string& flow_id) {
  if (flow_id.empty()) {
    KELPWOOD_LOG_ERROR("Invalid flow_id: cannot be empty");
    return 0;
  }
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return 0;
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = flow_queues.find(flow_id);
  if (entry == flow_queues.end()) {
    KELPWOOD_LOG_WARN("Flow with ID '{}' not found", flow_id);
    return 0;
  }
  const auto& queue = entry->second;
  if (queue.empty()) {
    KELPWOOD_LOG_DEBUG("Flow '{}' has no trace points", flow_id);
    return 0;
  }
  const std::int64_t start = queue.front()->timestamp;
  const std::int64_t end = queue.back()->timestamp;
  // Unsigned subtraction: exact for any pair with end > start, even where
  // the signed difference would overflow.
  const std::uint64_t duration =
      end > start
          ? static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start)
          : 0;
  KELPWOOD_LOG_INFO("Flow '{}' duration: {} ms (start: {}, end: {})", flow_id,
                    duration, start, end);
  return duration;
}

void FlowTrace::Init(const std::string& path) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  const FlowFile file = ReadFlowFile(path);
  for (const FlowFileNote& note : file.notes) LogFlowFileNote(note);
  for (const ReadFlow& flow : file.flows) {
    const std::string& flow_id = flow.cfg->flow_id;
    std::vector<std::shared_ptr<TracePoint>> dropped_points;
    std::shared_ptr<TraceFlowCfg> dropped_cfg;
    std::lock_guard<std::mutex> lock(mutex);
    dropped_cfg = std::exchange(flow_cfgs[flow_id], flow.cfg);
    if (flow.steps) {
      flow_steps[flow_id] = flow.steps;
    } else {
      flow_steps.erase(flow_id);
    }
    flow_queues[flow_id].swap(dropped_points);
    SetScopeLocked(flow_id, flow.scope);
    flow_settings[flow_id].deadline_ms = flow.deadline_ms;
  }
}

bool FlowTrace::IsDeviceWide(const std::string& flow_id) const {
  if (device_wide_flows == 0) return false;
  auto entry = flow_settings.find(flow_id);
  return entry != flow_settings.end() &&
         entry->second.scope == FlowScope::DEVICE;
}

void FlowTrace::SetScopeLocked(const std::string& flow_id, FlowScope scope) {
  FlowScope& stored = flow_settings[flow_id].scope;
  if (stored == scope) return;
  stored = scope;
  if (scope == FlowScope::DEVICE) {
    ++device_wide_flows;
  } else {
    --device_wide_flows;
  }
}

void FlowTrace::SetFlowScope(const std::string& flow_id, FlowScope scope) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::lock_guard<std::mutex> lock(mutex);
  // Only the two named scopes: another value read as DEVICE would publish.
  SetScopeLocked(flow_id,
                 scope == FlowScope::DEVICE ? scope : FlowScope::PROCESS);
}

FlowScope FlowTrace::GetFlowScope(const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return FlowScope::PROCESS;
  std::lock_guard<std::mutex> lock(mutex);
  return IsDeviceWide(flow_id) ? FlowScope::DEVICE : FlowScope::PROCESS;
}

void FlowTrace::SetFlowDeadline(const std::string& flow_id,
                                std::uint64_t deadline_ms) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::lock_guard<std::mutex> lock(mutex);
  flow_settings[flow_id].deadline_ms = deadline_ms;
}

std::uint64_t FlowTrace::GetFlowDeadline(const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return 0;
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = flow_settings.find(flow_id);
  return entry == flow_settings.end() ? 0 : entry->second.deadline_ms;
}

void FlowTrace::SetCheckVerdictsToJournal(bool enabled) {
  verdicts_to_journal.store(enabled ? 1 : 0, std::memory_order_relaxed);
}

std::shared_ptr<TraceFlowCfg> FlowTrace::parseTraceFlowCfg(
    const YAML::Node& node) {
  std::vector<FlowFileNote> notes;
  std::shared_ptr<TraceFlowCfg> cfg = ReadFlowEntry(node, notes);
  for (const FlowFileNote& note : notes) LogFlowFileNote(note);
  return cfg;
}

std::shared_ptr<TracePointCfg> FlowTrace::parseTracePointCfg(
    const YAML::Node& node) {
  std::vector<FlowFileNote> notes;
  std::shared_ptr<TracePointCfg> cfg = ReadPointEntry(node, notes);
  for (const FlowFileNote& note : notes) LogFlowFileNote(note);
  return cfg;
}

void InstallFlowJournal(FlowJournal* journal) noexcept {
  installed_journal.store(journal);
}

}  // namespace trace
}  // namespace kelpwood
