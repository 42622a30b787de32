// A process that records flows as a test tells it, one command per argument:
//   init:PATH                  FlowTrace::Init(PATH)
//   scope:FLOW:device|process  SetFlowScope
//   trace:FLOW:POINT:1|0       Trace(FLOW, POINT, success)
//   point:FLOW:POINT:1|0:MS[:KEY=VALUE...]
//                              Trace of a TracePoint stamped MS, with metadata
//   reset:FLOW                 ResetFlow
//   resetall                   ResetAllFlows
//   check:FLOW                 CheckFlow
// The logger is left as the environment sets it.

#include <kelpwood/flow_trace.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& text, char separator,
                               std::size_t max_pieces) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (pieces.size() + 1 < max_pieces) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string::npos) break;
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

}  // namespace

int main(int argc, char** argv) {
  using kelpwood::trace::FlowScope;
  using kelpwood::trace::TracePoint;
  auto& registry = kelpwood::trace::FlowTrace::GetInstance();
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::string> words = Split(argv[i], ':', 5);
    const std::string& command = words[0];
    if (command == "init" && words.size() >= 2) {
      registry.Init(std::string(argv[i]).substr(5));
    } else if (command == "scope" && words.size() == 3) {
      registry.SetFlowScope(words[1], words[2] == "device"
                                          ? FlowScope::DEVICE
                                          : FlowScope::PROCESS);
    } else if (command == "trace" && words.size() == 4) {
      registry.Trace(words[1], words[2], words[3] == "1");
    } else if (command == "point" && words.size() >= 5) {
      const std::vector<std::string> rest = Split(words[4], ':', 64);
      auto point = std::make_shared<TracePoint>(words[2], words[3] == "1");
      point->timestamp = std::stoll(rest[0]);
      for (std::size_t m = 1; m < rest.size(); ++m) {
        const std::vector<std::string> pair = Split(rest[m], '=', 2);
        point->metadata.emplace_back(pair[0], pair.size() > 1 ? pair[1] : "");
      }
      registry.Trace(words[1], point);
    } else if (command == "reset" && words.size() == 2) {
      registry.ResetFlow(words[1]);
    } else if (command == "resetall" && words.size() == 1) {
      registry.ResetAllFlows();
    } else if (command == "check" && words.size() == 2) {
      registry.CheckFlow(words[1]);
    } else {
      std::fprintf(stderr, "journal_helper: bad command '%s'\n", argv[i]);
      return 2;
    }
  }
  return 0;
}
