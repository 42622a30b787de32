// A program outside the library's build that logs through the installed
// facade and makes the library log. One logger record serves both, so the
// message numbers run on across them and the construction lines, when due,
// appear once.

#include <kelpwood/flow_trace.h>
#include <kelpwood/logger.h>

int main() {
  KELPWOOD_LOG_INFO("consumer {} before the library", "logs");
  // No flow is registered: the library warns from its own code.
  kelpwood::trace::FlowTrace::GetInstance().Trace("no-such-flow", "p", true);
  KELPWOOD_LOG_INFO("consumer {} after the library", "logs");
  return 0;
}
