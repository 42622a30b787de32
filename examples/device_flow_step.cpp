// One process of a device taking its part in a device-wide flow: loads the
// flow file and traces the points given on its command line, each published
// to the journal because the flow says "scope: device".
//
//   device_flow_step flows.yaml storage_mount probe fsck:fail

#include <kelpwood/flow_trace.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s CONFIG FLOW POINT[:fail]...\n", argv[0]);
    return 2;
  }
  auto& registry = kelpwood::trace::FlowTrace::GetInstance();
  registry.Init(argv[1]);
  for (int i = 3; i < argc; ++i) {
    std::string point = argv[i];
    const bool failed =
        point.size() > 5 && point.compare(point.size() - 5, 5, ":fail") == 0;
    if (failed) point.resize(point.size() - 5);
    registry.Trace(argv[2], point, !failed);
  }
  return 0;
}
