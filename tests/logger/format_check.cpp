// Compiled, never run: the logging macros check the format string against its
// arguments at compile time. The tests build this file once as written and
// once with each mismatch below, which must be rejected by the compiler.

#include <kelpwood/logger.h>

#include <string>

void LogWithCheckedFormat(const std::string& flow_id) {
#if defined(KELPWOOD_FORMAT_CHECK_MISSING_ARGUMENT)
  KELPWOOD_LOG_WARN("flow_id {} point {} not found", flow_id);
#elif defined(KELPWOOD_FORMAT_CHECK_WRONG_TYPE)
  KELPWOOD_LOG_WARN("flow_id {:d} not found", flow_id);
#else
  KELPWOOD_LOG_WARN("flow_id {} point {} not found", flow_id, 7);
#endif
}
