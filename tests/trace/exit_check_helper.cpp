// A host program that checks a flow while it exits: from an atexit hook and
// from the destructor of a static. It reaches the registry before its first
// message, the usual order in hosts, and prints each check's outcome.

#include <kelpwood/flow_trace.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

using kelpwood::trace::FlowCheckCodeName;
using kelpwood::trace::FlowTrace;
using kelpwood::trace::TracePointCfg;

constexpr char kFlow[] = "exit.flow";

void PrintCheck(const char* where) {
  auto result = FlowTrace::GetInstance().CheckFlow(kFlow);
  std::printf("exit check in %s: %s\n", where,
              FlowCheckCodeName(result->result));
}

void CheckInAtexitHook() { PrintCheck("atexit hook"); }

struct CheckInDestructor {
  ~CheckInDestructor() { PrintCheck("static destructor"); }
};

}  // namespace

int main() {
  FlowTrace& registry = FlowTrace::GetInstance();
  // Built after the registry, so destroyed before it; the hook, registered
  // later still, runs first.
  static CheckInDestructor checker;
  if (std::atexit(CheckInAtexitHook) != 0) return 2;

  auto done = std::make_shared<TracePointCfg>();
  done->point_id = "done";
  done->is_critical = true;
  registry.RegisterTraceFlow(kFlow, {done}, "Exit", "", true);
  registry.Trace(kFlow, "done", true);
  return 0;
}
