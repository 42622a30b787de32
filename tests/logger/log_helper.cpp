// A child process for the logger tests. The logger record is built once per
// process from the environment, so every environment case runs in its own
// process. Each argument is one step, executed in order:
//
//   debug:TEXT | info:TEXT | warn:TEXT | error:TEXT
//                         log "message TEXT" at that level
//   infos:N               log N INFO messages "message 1" .. "message N"
//   threads:N:M           N threads, released together, each log M INFO
//                         messages "message T-I" (thread T, message I);
//                         the first message of the process may be among them
//   literal               log INFO "plain body" (a format without fields)
//   values                log INFO "flag {} {} text {}" with true, false and a
//                         text holding braces
//   located               log WARN from LogFromKnownPlace() (see below)
//   library               make the library log: record a point for a flow
//                         that is not registered (it warns "flow_id
//                         no-such-flow not found")
//   state                 write "counter=C level=L sinks=S spdlog_level=P" to
//                         standard error: the record's fields, the number of
//                         sinks and the spdlog logger's own threshold
//   setenv:NAME=VALUE     set an environment variable
//   add-stdout-sink       give the logger a standard-output sink ("%v")
//   capture               give the logger a sink that writes each record to
//                         standard error as LEVEL|FILE|LINE|FUNCTION|TEXT
//
// The process exits with 2 on an unknown step.

#include <kelpwood/flow_trace.h>
#include <kelpwood/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Writes each record's level, source location and text to standard error.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    std::fprintf(
        stderr, "%d|%s|%d|%s|%.*s\n", static_cast<int>(message.level),
        message.source.filename, message.source.line, message.source.funcname,
        static_cast<int>(message.payload.size()), message.payload.data());
  }
  void flush_() override {}
};

// The tests find the line of this statement by its text in this file.
void LogFromKnownPlace() {
  KELPWOOD_LOG_WARN("located at a known line {}", 42);
}

void LogFromThreads(long thread_count, long message_count) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (long thread = 0; thread < thread_count; ++thread) {
    threads.emplace_back([&go, thread, message_count] {
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (long i = 0; i < message_count; ++i) {
        KELPWOOD_LOG_INFO("message {}-{}", thread, i);
      }
    });
  }
  go.store(true, std::memory_order_release);
  for (std::thread& thread : threads) thread.join();
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool RunStep(const std::string& step) {
  const std::size_t colon = step.find(':');
  const std::string argument =
      colon == std::string::npos ? std::string() : step.substr(colon + 1);
  if (StartsWith(step, "debug:")) {
    KELPWOOD_LOG_DEBUG("message {}", argument);
  } else if (StartsWith(step, "info:")) {
    KELPWOOD_LOG_INFO("message {}", argument);
  } else if (StartsWith(step, "warn:")) {
    KELPWOOD_LOG_WARN("message {}", argument);
  } else if (StartsWith(step, "error:")) {
    KELPWOOD_LOG_ERROR("message {}", argument);
  } else if (StartsWith(step, "infos:")) {
    const long count = std::strtol(argument.c_str(), nullptr, 10);
    for (long i = 1; i <= count; ++i) KELPWOOD_LOG_INFO("message {}", i);
  } else if (StartsWith(step, "threads:")) {
    char* end = nullptr;
    const long thread_count = std::strtol(argument.c_str(), &end, 10);
    if (*end != ':') return false;
    LogFromThreads(thread_count, std::strtol(end + 1, nullptr, 10));
  } else if (step == "literal") {
    KELPWOOD_LOG_INFO("plain body");
  } else if (step == "values") {
    KELPWOOD_LOG_INFO("flag {} {} text {}", true, false, "{0} {}");
  } else if (step == "located") {
    LogFromKnownPlace();
  } else if (step == "library") {
    kelpwood::trace::FlowTrace::GetInstance().Trace("no-such-flow", "p", true);
  } else if (step == "state") {
    const kelpwood::Logger& record = kelpwood::Logger::Instance();
    std::fprintf(
        stderr, "counter=%u level=%d sinks=%zu spdlog_level=%d\n",
        static_cast<unsigned>(record.counter.load(std::memory_order_relaxed)),
        static_cast<int>(record.level), record.logger->sinks().size(),
        static_cast<int>(record.logger->level()));
  } else if (StartsWith(step, "setenv:")) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos) return false;
    setenv(argument.substr(0, equals).c_str(),
           argument.substr(equals + 1).c_str(), 1);
  } else if (step == "add-stdout-sink" || step == "capture") {
    spdlog::sink_ptr sink;
    if (step == "capture") {
      sink = std::make_shared<CaptureSink>();
    } else {
      sink = std::make_shared<spdlog::sinks::ansicolor_stdout_sink<
          spdlog::details::console_mutex>>();
    }
    sink->set_pattern("%v");
    // The facade offers no way to add sinks; the tests reach into spdlog's
    // sink list, which nothing else touches while this single thread runs.
    kelpwood::Logger::Instance().logger->sinks().push_back(std::move(sink));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!RunStep(argv[i])) {
      std::fprintf(stderr, "unknown step %s\n", argv[i]);
      return 2;
    }
  }
  return 0;
}
