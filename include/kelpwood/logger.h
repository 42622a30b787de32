// kelpwood::Logger: the one process-wide logger of kelpwood_common_libs.
//
// Every message is numbered and tagged with its level ("  5 [WARN] body") and
// handed to one spdlog logger together with the source location of the
// logging statement. The logger is built on first use from the environment:
//
//   SPDLOG_STDOUT   "true" (default) or "false": colour standard-output sink
//   SPDLOG_SYSTEMD  "true" or "false" (default): systemd journal sink
//   SPDLOG_LEVEL    "trace", "debug", "info" (default), "warning", "error",
//                   "critical"
//
// Log through the macros, which capture the file, line and bare function
// name and check the format string at compile time:
//
//   KELPWOOD_LOG_WARN("flow_id {} not found", flow_id);
//
// The whole facade lives in this header. Logger::Instance()'s static record is
// exported by the shared library, so the library and every module that
// includes this header share one record, one counter and one spdlog logger.

#ifndef KELPWOOD_LOGGER_H_
#define KELPWOOD_LOGGER_H_

#include <fmt/format.h>
#include <kelpwood/export.h>
#include <spdlog/common.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kelpwood {

// The four levels of this library's messages, in spdlog's numbering.
enum class LogLevel : int { kDebug = 1, kInfo = 2, kWarn = 3, kError = 4 };

// Default visibility is explicit so that a module built with
// -fvisibility-inlines-hidden still binds to the library's one record.
class KELPWOOD_API Logger {
 public:
  // The logger that receives every message; empty if spdlog failed while the
  // record was being built (messages are then dropped).
  std::shared_ptr<spdlog::logger> logger;
  // Number of messages that passed the threshold, modulo 256. Read and written
  // with relaxed ordering: concurrent messages may share a number, but the
  // counter is never a data race.
  std::atomic<std::uint8_t> counter{0};
  // Threshold in spdlog's numbering; equal to the spdlog logger's level.
  std::int32_t level = 2;

  // Builds the record from SPDLOG_STDOUT, SPDLOG_SYSTEMD and SPDLOG_LEVEL,
  // writing one line to standard output for each variable that is unset or
  // invalid. An spdlog error ends construction quietly where it occurred; any
  // other exception propagates (Instance() then retries on its next call).
  KELPWOOD_LOCAL explicit Logger(const std::string& name);

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // The one record of the process, built on the first call (thread-safe).
  static Logger& Instance() {
    // Contract: "spdlog" is the journal's SYSLOG_IDENTIFIER for every message.
    static Logger instance("spdlog");
    return instance;
  }

  // Logs one message: advances the counter if `message_level` passes the
  // threshold, then writes "NNN [TAG] body" to every sink. A message below
  // the threshold, or one that no sink would receive, is never formatted.
  // Never throws for a logger left empty by a failed construction.
  template <typename... Args>
  KELPWOOD_LOCAL static void Log(LogLevel message_level,
                                 const spdlog::source_loc& location,
                                 fmt::format_string<Args...> format,
                                 Args&&... args);

 private:
  static void WriteEnvironmentLine(const char* line) noexcept {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }

  // Appends the right-aligned three-character number and the level tag,
  // exactly as fmt's "{0:3d} [INFO] " would.
  static void AppendPrefix(fmt::memory_buffer& text, unsigned number,
                           LogLevel message_level) {
    char digits[3] = {' ', ' ', static_cast<char>('0' + number % 10)};
    if (number >= 10) digits[1] = static_cast<char>('0' + number / 10 % 10);
    if (number >= 100) digits[0] = static_cast<char>('0' + number / 100);
    text.append(digits, digits + 3);
    const char* tag = " [ERROR] ";
    switch (message_level) {
      case LogLevel::kDebug:
        tag = " [DEBUG] ";
        break;
      case LogLevel::kInfo:
        tag = " [INFO] ";
        break;
      case LogLevel::kWarn:
        tag = " [WARN] ";
        break;
      case LogLevel::kError:
        break;
    }
    text.append(tag, tag + std::strlen(tag));
  }
};

inline Logger::Logger(const std::string& name) {
  try {
    std::vector<spdlog::sink_ptr> sinks;

    const char* stdout_value = std::getenv("SPDLOG_STDOUT");
    if (stdout_value == nullptr || std::strcmp(stdout_value, "false") != 0) {
      if (stdout_value == nullptr) {
        WriteEnvironmentLine(
            "environment variable SPDLOG_STDOUT is not set, and set true");
      } else if (std::strcmp(stdout_value, "true") != 0) {
        WriteEnvironmentLine(
            "environment variable SPDLOG_STDOUT is invalid, and set true");
      }
      sinks.push_back(std::make_shared<spdlog::sinks::ansicolor_stdout_sink<
                          spdlog::details::console_mutex>>());
    }

    const char* systemd_value = std::getenv("SPDLOG_SYSTEMD");
    if (systemd_value == nullptr) {
      WriteEnvironmentLine(
          "environment variable SPDLOG_SYSTEMD is not set, and set false");
    } else if (std::strcmp(systemd_value, "true") == 0) {
      sinks.push_back(
          std::make_shared<spdlog::sinks::systemd_sink<std::mutex>>());
    } else if (std::strcmp(systemd_value, "false") != 0) {
      WriteEnvironmentLine(
          "environment variable SPDLOG_SYSTEMD is invalid, and set false");
    }

    // Not registered in spdlog's registry, and not its default logger.
    logger = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());

    static constexpr struct {
      const char* name;
      std::int32_t number;
    } kLevelNames[] = {{"trace", 0},   {"debug", 1}, {"info", 2},
                       {"warning", 3}, {"error", 4}, {"critical", 5}};
    std::int32_t threshold = 2;
    const char* level_value = std::getenv("SPDLOG_LEVEL");
    if (level_value == nullptr) {
      WriteEnvironmentLine(
          "environment variable SPDLOG_LEVEL is not set, and set default "
          "level");
    } else {
      bool known = false;
      for (const auto& entry : kLevelNames) {
        if (std::strcmp(level_value, entry.name) == 0) {
          threshold = entry.number;
          known = true;
          break;
        }
      }
      if (!known) {
        WriteEnvironmentLine(
            "environment variable SPDLOG_LEVEL is invalid, and set default "
            "level");
      }
    }
    level = threshold;
    logger->set_level(static_cast<spdlog::level::level_enum>(threshold));
    logger->set_pattern("%v");
  } catch (const spdlog::spdlog_ex&) {
    // The record keeps what was set so far; messages without a logger are
    // dropped by Log().
  } catch (...) {
    logger.reset();
    throw;
  }
}

template <typename... Args>
void Logger::Log(LogLevel message_level, const spdlog::source_loc& location,
                 fmt::format_string<Args...> format, Args&&... args) {
  Logger& record = Instance();
  const std::int32_t number = static_cast<std::int32_t>(message_level);
  // Below the threshold nothing is counted and spdlog would drop the message:
  // nobody can see its text, so it is not formatted at all.
  if (record.level > number) return;

  // A read followed by a store, not one read-modify-write: two threads may
  // show the same number, but each thread's numbering runs without gaps.
  const std::uint8_t count = static_cast<std::uint8_t>(
      record.counter.load(std::memory_order_relaxed) + 1);
  record.counter.store(count, std::memory_order_relaxed);

  // The record's logger never changes after construction, so it may be
  // inspected before the copy that keeps it alive for the call.
  if (!record.logger || record.logger->sinks().empty()) return;
  const std::shared_ptr<spdlog::logger> logger = record.logger;

  fmt::memory_buffer text;
  AppendPrefix(text, count & 0x7Fu, message_level);
  fmt::format_to(std::back_inserter(text), format, std::forward<Args>(args)...);
  logger->log(location, static_cast<spdlog::level::level_enum>(number),
              spdlog::string_view_t(text.data(), text.size()));
}

}  // namespace kelpwood

// KELPWOOD_LOG(level, format, args...): logs through kelpwood::Logger with the
// caller's file, line and bare function name. The format must be a string
// literal; it is checked against the arguments at compile time.
#define KELPWOOD_LOG(level, ...)                                \
  ::kelpwood::Logger::Log(                                      \
      level,                                                    \
      ::spdlog::source_loc{__FILE__, __LINE__,                  \
                           static_cast<const char*>(__func__)}, \
      FMT_STRING(KELPWOOD_LOG_FIRST_(__VA_ARGS__))              \
          KELPWOOD_LOG_REST_(__VA_ARGS__))
#define KELPWOOD_LOG_DEBUG(...) \
  KELPWOOD_LOG(::kelpwood::LogLevel::kDebug, __VA_ARGS__)
#define KELPWOOD_LOG_INFO(...) \
  KELPWOOD_LOG(::kelpwood::LogLevel::kInfo, __VA_ARGS__)
#define KELPWOOD_LOG_WARN(...) \
  KELPWOOD_LOG(::kelpwood::LogLevel::kWarn, __VA_ARGS__)
#define KELPWOOD_LOG_ERROR(...) \
  KELPWOOD_LOG(::kelpwood::LogLevel::kError, __VA_ARGS__)

// Splitting the format from its arguments without GNU's ", ##__VA_ARGS__"
// (which -Wpedantic rejects in C++17): up to eight arguments after the format.
#define KELPWOOD_LOG_FIRST_(...) KELPWOOD_LOG_FIRST_HELPER_(__VA_ARGS__, unused)
#define KELPWOOD_LOG_FIRST_HELPER_(first, ...) first
#define KELPWOOD_LOG_REST_(...) \
  KELPWOOD_LOG_REST_SELECT_(KELPWOOD_LOG_ARITY_(__VA_ARGS__), __VA_ARGS__)
#define KELPWOOD_LOG_REST_SELECT_(arity, ...) \
  KELPWOOD_LOG_REST_SELECT_HELPER_(arity, __VA_ARGS__)
#define KELPWOOD_LOG_REST_SELECT_HELPER_(arity, ...) \
  KELPWOOD_LOG_REST_##arity(__VA_ARGS__)
#define KELPWOOD_LOG_REST_ONE(first)
#define KELPWOOD_LOG_REST_MANY(first, ...) , __VA_ARGS__
#define KELPWOOD_LOG_ARITY_(...)                                             \
  KELPWOOD_LOG_TENTH_(__VA_ARGS__, MANY, MANY, MANY, MANY, MANY, MANY, MANY, \
                      MANY, ONE, unused)
#define KELPWOOD_LOG_TENTH_(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, ...) a10

#endif  // KELPWOOD_LOGGER_H_
