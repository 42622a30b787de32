// A process of the device that records into device-wide flows. Each
// argument is one step, taken in order:
//   FLOW:POINT:ok | FLOW:POINT:fail   one point, published as a point entry
//   FLOW:reset                         a published ResetFlow
//   FLOW:dropped:N                     a drop count, as a publisher reports it
// Exits 0 once every entry was accepted by journald, 1 otherwise.

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "journal/message_ids.h"

namespace {

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

int Send(const std::vector<std::string>& fields) {
  std::vector<iovec> vector(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    vector[i].iov_base = const_cast<char*>(fields[i].data());
    vector[i].iov_len = fields[i].size();
  }
  return sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

}  // namespace

int main(int argc, char** argv) {
  using kelpwood::journal::kFlowReset;
  using kelpwood::journal::kPointPublished;
  using kelpwood::journal::kPointsDropped;
  int index = 0;
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::string> step = Split(argv[i]);
    const std::string identifier =
        std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name;
    int result = 0;
    if (step.size() == 3 && step[1] == "dropped") {
      result =
          Send({"MESSAGE=" + step[2] + " points of flow '" + step[0] +
                    "' could not be published",
                std::string("MESSAGE_ID=") + kPointsDropped, "PRIORITY=4",
                identifier, "FLOW_ID=" + step[0], "DROPPED_POINTS=" + step[2]});
    } else if (step.size() == 3) {
      const bool ok = step[2] == "ok";
      const long long now_ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::system_clock::now().time_since_epoch())
              .count();
      result = Send({"MESSAGE=Flow '" + step[0] + "' point '" + step[1] +
                         (ok ? "' ok" : "' failed"),
                     std::string("MESSAGE_ID=") + kPointPublished,
                     ok ? "PRIORITY=6" : "PRIORITY=4", identifier,
                     "FLOW_ID=" + step[0], "POINT_ID=" + step[1],
                     ok ? "POINT_SUCCESS=1" : "POINT_SUCCESS=0",
                     "POINT_TIMESTAMP_NS=" + std::to_string(now_ns),
                     "POINT_INDEX=" + std::to_string(index++)});
    } else if (step.size() == 2 && step[1] == "reset") {
      result = Send({"MESSAGE=Flow '" + step[0] + "' reset",
                     std::string("MESSAGE_ID=") + kFlowReset, "PRIORITY=6",
                     identifier, "FLOW_ID=" + step[0]});
      index = 0;
    } else {
      std::fprintf(stderr, "point_publisher: bad step '%s'\n", argv[i]);
      return 2;
    }
    if (result < 0) return 1;
  }
  return 0;
}
