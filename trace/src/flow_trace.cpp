#include <fcntl.h>
#include <kelpwood/flow_trace.h>
#include <kelpwood/logger.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "flow_config_keys.h"
#include "internal/posix_file.h"
#include "journal/flow_publishing.h"
#include "journal/verdict_entry.h"
#include "timed_trace_point.h"

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

// The occurrence index of a check: for every recorded point id, the latest
// recording of it still present. Each recording also remembers the previous
// recording with the same id, so taking the latest one out moves the id back
// along that chain in constant time. The table is open-addressed (linear
// probing, at most half full) and holds positions, not pointers or strings:
// building it makes one allocation however many points were recorded.
class LatestRecordingIndex {
 public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  explicit LatestRecordingIndex(
      const std::vector<std::shared_ptr<TracePoint>>& recorded)
      : recorded_(recorded), previous_(recorded.size()) {
    std::size_t capacity = 16;
    while (capacity < recorded.size() * 2) capacity <<= 1;
    slots_.assign(capacity, Slot{0, kNone, kNone});
    mask_ = capacity - 1;
  }

  // Enters the recording at `position` as the latest one of its id.
  void Add(std::size_t position) {
    const std::string& id = recorded_[position]->point_id;
    const std::size_t hash = std::hash<std::string_view>()(id);
    Slot& slot = Probe(id, hash);
    if (slot.key == kNone) {
      slot = Slot{hash, position, position};
      previous_[position] = kNone;
    } else {
      previous_[position] = slot.latest;
      slot.latest = position;
    }
  }

  // The position of the latest recording of `id` still present, or null.
  // Take() removes it.
  std::size_t* Latest(std::string_view id) {
    Slot& slot = Probe(id, std::hash<std::string_view>()(id));
    if (slot.key == kNone || slot.latest == kNone) return nullptr;
    return &slot.latest;
  }
  void Take(std::size_t* latest) const { *latest = previous_[*latest]; }

 private:
  struct Slot {
    std::size_t hash;
    std::size_t key;     // a recording that carries the id; kNone when free
    std::size_t latest;  // latest recording still present; kNone when none
  };

  Slot& Probe(std::string_view id, std::size_t hash) {
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == kNone ||
          (slot.hash == hash && recorded_[slot.key]->point_id == id)) {
        return slot;
      }
    }
  }

  const std::vector<std::shared_ptr<TracePoint>>& recorded_;
  std::vector<std::size_t> previous_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

// Reads a flow's "scope" (device or process, default process) and
// "deadline_ms" (default 0) keys. False, after an ERROR message, when either
// is present but not valid: the flow is then not loaded, as for any other
// unreadable flow entry.
bool ReadFlowJournalKeys(const YAML::Node& node, const std::string& flow_id,
                         journal::FlowJournalSettings& settings) {
  try {
    if (const YAML::Node scope = node[config_keys::kScope]) {
      const std::string value = scope.as<std::string>();
      if (value != "device" && value != "process") {
        KELPWOOD_LOG_ERROR(
            "Failed to parse trace flow config: flow '{}': scope is '{}', "
            "not 'device' or 'process'",
            flow_id, value);
        return false;
      }
      settings.device_wide = value == "device";
    }
    if (const YAML::Node deadline = node[config_keys::kDeadlineMs]) {
      settings.deadline_ms = deadline.as<std::uint64_t>();
    }
    return true;
  } catch (const YAML::Exception& error) {
    KELPWOOD_LOG_ERROR("Failed to parse trace flow config: {}", error.what());
    return false;
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

const char* FlowCheckCodeName(FlowCheckCode code) noexcept {
  switch (code) {
    case FlowCheckCode::PASSED:
      return "PASSED";
    case FlowCheckCode::POINT_FAILED:
      return "POINT_FAILED";
    case FlowCheckCode::POINT_INVALID:
      return "POINT_INVALID";
    case FlowCheckCode::POINT_DUPLICATED:
      return "POINT_DUPLICATED";
    case FlowCheckCode::POINT_MISSING:
      return "POINT_MISSING";
    case FlowCheckCode::ORDER_ERROR:
      return "ORDER_ERROR";
    case FlowCheckCode::FLOW_NOT_FOUND:
      return "FLOW_NOT_FOUND";
  }
  return "UNKNOWN";
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
  if (journal::FlowJournalTable::Instance().IsDeviceWide(flow_id)) {
    // Published after the registry is unlocked: the send is a system call.
    const std::int32_t index = point->index;
    lock.unlock();
    journal::PublishPoint(flow_id, *point, index);
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
  if (journal::FlowJournalTable::Instance().IsDeviceWide(flow_id)) {
    // Held past the unlock: a concurrent ResetFlow may drop the queue's copy.
    const std::shared_ptr<TracePoint> published = queue.back();
    lock.unlock();
    journal::PublishPoint(flow_id, *published, published->index);
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
  if (journal::FlowJournalTable::Instance().IsDeviceWide(flow_id)) {
    lock.unlock();
    journal::PublishReset(flow_id);
  }
}

void FlowTrace::ResetAllFlows() {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  decltype(flow_queues) dropped_queues;
  std::lock_guard<std::mutex> lock(mutex);
  flow_queues.swap(dropped_queues);
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
  {
    auto queue_entry = flow_queues.find(flow_id);
    auto cfg_entry = flow_cfgs.find(flow_id);
    if (queue_entry == flow_queues.end() || cfg_entry == flow_cfgs.end()) {
      KELPWOOD_LOG_WARN("Flow with ID '{}' not found", flow_id);
      result->result = FlowCheckCode::FLOW_NOT_FOUND;
      goto call_handler;
    }
    // Every message below names CheckFlow as its function, so the whole check
    // stays in this body; each outcome jumps to the handler call.
    const std::vector<std::shared_ptr<TracePoint>>& recorded =
        queue_entry->second;
    const TraceFlowCfg& cfg = *cfg_entry->second;

    const bool chains_are_written = InfoMessagesAreWritten();
    const std::size_t recorded_count = recorded.size();

    LatestRecordingIndex index(recorded);
    std::string recorded_chain;
    for (std::size_t position = 0; position < recorded_count; ++position) {
      const TracePoint& point = *recorded[position];
      if (chains_are_written) AppendToChain(recorded_chain, point.point_id);
      for (const auto& [key, value] : point.metadata) {
        KELPWOOD_LOG_INFO("Flow '{}' has trace point '{}' metadata '{}' = '{}'",
                          flow_id, point.point_id, key, value);
      }
      index.Add(position);
    }
    KELPWOOD_LOG_INFO("Flow '{}' trace points: {}", flow_id, recorded_chain);

    // Registration refuses null configured points, but the caller keeps its
    // own pointer to the configuration and may add one later: such an element
    // is skipped everywhere rather than read through.
    const auto& configured = cfg.flow_points;
    std::string configured_chain;
    if (chains_are_written) {
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

    // Presence pass: the latest recording of each configured point decides.
    std::size_t consumed_count = 0;
    std::vector<bool> consumed(recorded_count, false);
    for (const auto& point_cfg : configured) {
      if (!point_cfg) continue;
      if (std::size_t* latest = index.Latest(point_cfg->point_id)) {
        const std::size_t position = *latest;
        if (!recorded[position]->success) {
          KELPWOOD_LOG_ERROR("Point '{}' failed in flow '{}'",
                             point_cfg->point_id, flow_id);
          result->result = FlowCheckCode::POINT_FAILED;
          result->trace_point = recorded[position];
          result->point_cfg = point_cfg;
          goto call_handler;
        }
        index.Take(latest);
        consumed[position] = true;
        ++consumed_count;
      } else if (point_cfg->is_critical) {
        KELPWOOD_LOG_ERROR("Critical point '{}' not executed in flow '{}'",
                           point_cfg->point_id, flow_id);
        result->result = FlowCheckCode::POINT_MISSING;
        result->point_cfg = point_cfg;
        goto call_handler;
      }
    }

    // Leftovers, reported in recording order.
    if (consumed_count < recorded_count) {
      // Contract text, trailing ": " included; leftovers follow one per line.
      KELPWOOD_LOG_ERROR("Some points not in flow '{}' executed: ", flow_id);
      for (std::size_t position = 0; position < recorded_count; ++position) {
        if (!consumed[position]) {
          KELPWOOD_LOG_ERROR("Point '{}' not in flow config",
                             recorded[position]->point_id);
        }
      }
    } else {
      KELPWOOD_LOG_INFO("All points executed in flow '{}'", flow_id);
    }

    // Order pass: walk both sequences forward; optional configured points may
    // be skipped, the first critical mismatch is classified and ends the check.
    if (cfg.check_order && recorded_count > 0) {
      const std::size_t configured_count = configured.size();
      auto next_configured = [&](std::size_t from) {
        while (from < configured_count && !configured[from]) ++from;
        return from;
      };
      std::size_t c = next_configured(0);
      std::size_t j = 0;
      while (c < configured_count) {
        const auto& expected = configured[c];
        const auto& actual = recorded[j];
        if (expected->point_id == actual->point_id) {
          ++j;
          if (j == recorded_count) break;
          c = next_configured(c + 1);
          continue;
        }
        if (!expected->is_critical) {
          c = next_configured(c + 1);
          continue;
        }
        const std::size_t after = next_configured(c + 1);
        if (after < configured_count &&
            configured[after]->point_id == actual->point_id) {
          KELPWOOD_LOG_ERROR("Flow '{}' trace point '{}' missing", flow_id,
                             expected->point_id);
          result->result = FlowCheckCode::POINT_MISSING;
        } else if (j > 0 && recorded[j - 1]->point_id == actual->point_id) {
          KELPWOOD_LOG_ERROR("Flow '{}' trace point '{}' duplicated", flow_id,
                             actual->point_id);
          result->result = FlowCheckCode::POINT_DUPLICATED;
          result->trace_point = actual;
        } else if (j + 1 < recorded_count &&
                   recorded[j + 1]->point_id == expected->point_id) {
          KELPWOOD_LOG_ERROR("Flow '{}' trace point '{}' invalid", flow_id,
                             actual->point_id);
          result->result = FlowCheckCode::POINT_INVALID;
          result->trace_point = actual;
        } else {
          KELPWOOD_LOG_ERROR("Flow '{}' trace point '{}' order error", flow_id,
                             actual->point_id);
          result->result = FlowCheckCode::ORDER_ERROR;
          result->trace_point = actual;
        }
        result->point_cfg = expected;
        // Contract text, wording included: log readers match it.
        KELPWOOD_LOG_ERROR("Flow '{}' trace point '{}' not match config '{}'",
                           flow_id, actual->point_id, expected->point_id);
        goto call_handler;
      }
    }
    KELPWOOD_LOG_INFO("Flow '{}' check passed", flow_id);
  }

call_handler:
  if (journal::VerdictsGoToJournal()) {
    auto queue_entry = flow_queues.find(flow_id);
    auto cfg_entry = flow_cfgs.find(flow_id);
    journal::SendVerdict(journal::MakeCheckedRun(
        flow_id,
        fmt::format(
            "{}-{}", ::getpid(),
            journal::FlowJournalTable::Instance().NextVerdictNumber(flow_id)),
        cfg_entry == flow_cfgs.end() ? nullptr : cfg_entry->second,
        queue_entry == flow_queues.end() ? empty_points : queue_entry->second,
        *result));
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
  try {
    YAML::Node root;
    // Only a regular file is read: a FIFO or a device would block or never
    // end, and a directory makes the stream library throw an exception that
    // is not yaml-cpp's. The file is opened without blocking and judged on
    // its descriptor, so a file swapped for a FIFO meanwhile is still
    // refused. A path that cannot be opened is named by its type when it is
    // not a regular file (a socket, a device without read access); any other
    // is left to yaml-cpp, whose message names the file.
    std::string content;
    internal::FileReadFailure failure;
    if (internal::ReadRegularFile(path, content, failure)) {
      root = YAML::Load(content);
    } else if (failure.step == internal::FileReadFailure::Step::kOpen) {
      struct stat status;
      if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        KELPWOOD_LOG_ERROR("Failed to parse flow configuration file: {}",
                           NotRegularFileReason(path, status.st_mode));
        return;
      }
      root = YAML::LoadFile(path);
    } else if (failure.step == internal::FileReadFailure::Step::kNotRegular) {
      KELPWOOD_LOG_ERROR("Failed to parse flow configuration file: {}",
                         NotRegularFileReason(path, failure.mode));
      return;
    } else {
      KELPWOOD_LOG_ERROR("Failed to parse flow configuration file: {}",
                         fmt::format("{}: {}", path, failure.Reason()));
      return;
    }

    YAML::Node workflows = root[config_keys::kWorkflows];
    if (!workflows || workflows.IsNull()) {
      KELPWOOD_LOG_ERROR("No workflows configuration found");
      return;
    }
    if (!workflows.IsSequence()) {
      // Contract text, lower-case first letter included.
      KELPWOOD_LOG_ERROR("workflows should be a sequence");
      return;
    }
    for (const auto& entry : workflows) {
      std::shared_ptr<TraceFlowCfg> cfg = parseTraceFlowCfg(entry);
      if (!cfg) continue;
      journal::FlowJournalSettings settings;
      if (!ReadFlowJournalKeys(entry, cfg->flow_id, settings)) continue;
      std::vector<std::shared_ptr<TracePoint>> dropped_points;
      std::shared_ptr<TraceFlowCfg> dropped_cfg;
      std::lock_guard<std::mutex> lock(mutex);
      dropped_cfg = std::exchange(flow_cfgs[cfg->flow_id], cfg);
      flow_queues[cfg->flow_id].swap(dropped_points);
      auto& journal_table = journal::FlowJournalTable::Instance();
      journal_table.SetDeviceWide(cfg->flow_id, settings.device_wide);
      journal_table.SetDeadline(cfg->flow_id, settings.deadline_ms);
    }
  } catch (const YAML::Exception& error) {
    KELPWOOD_LOG_ERROR("Failed to parse flow configuration file: {}",
                       error.what());
  }
}

void FlowTrace::SetFlowScope(const std::string& flow_id, FlowScope scope) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::lock_guard<std::mutex> lock(mutex);
  journal::FlowJournalTable::Instance().SetDeviceWide(
      flow_id, scope == FlowScope::DEVICE);
}

FlowScope FlowTrace::GetFlowScope(const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return FlowScope::PROCESS;
  std::lock_guard<std::mutex> lock(mutex);
  return journal::FlowJournalTable::Instance().Get(flow_id).device_wide
             ? FlowScope::DEVICE
             : FlowScope::PROCESS;
}

void FlowTrace::SetFlowDeadline(const std::string& flow_id,
                                std::uint64_t deadline_ms) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return;
  std::lock_guard<std::mutex> lock(mutex);
  journal::FlowJournalTable::Instance().SetDeadline(flow_id, deadline_ms);
}

std::uint64_t FlowTrace::GetFlowDeadline(const std::string& flow_id) {
  if (KELPWOOD_INSIDE_FLOW_HANDLER()) return 0;
  std::lock_guard<std::mutex> lock(mutex);
  return journal::FlowJournalTable::Instance().Get(flow_id).deadline_ms;
}

void FlowTrace::SetCheckVerdictsToJournal(bool enabled) {
  journal::SetVerdictsToJournal(enabled);
}

std::shared_ptr<TraceFlowCfg> FlowTrace::parseTraceFlowCfg(
    const YAML::Node& node) {
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
        std::shared_ptr<TracePointCfg> point_cfg = parseTracePointCfg(entry);
        if (point_cfg) cfg->flow_points.push_back(std::move(point_cfg));
      }
    }
    KELPWOOD_LOG_DEBUG(
        "Parsed trace flow config: flow_id={}, flow_name={}, check_order={}, "
        "points_count={}",
        cfg->flow_id, cfg->flow_name, cfg->check_order,
        cfg->flow_points.size());
    return cfg;
  } catch (const YAML::Exception& error) {
    KELPWOOD_LOG_ERROR("Failed to parse trace flow config: {}", error.what());
    return nullptr;
  }
}

std::shared_ptr<TracePointCfg> FlowTrace::parseTracePointCfg(
    const YAML::Node& node) {
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
    KELPWOOD_LOG_DEBUG(
        "Parsed trace point config: point_id={}, description={}, "
        "is_critical={}",
        cfg->point_id, cfg->description, cfg->is_critical);
    return cfg;
  } catch (const YAML::Exception& error) {
    KELPWOOD_LOG_ERROR("Failed to parse trace point config: {}", error.what());
    return nullptr;
  }
}

}  // namespace trace
}  // namespace kelpwood
