// A process of the device that records into device-wide flows through the
// library. The first argument is the flow file it loads with Init; each
// further argument is one step, taken in order:
//   FLOW:POINT:ok | FLOW:POINT:fail   FlowTrace::Trace of one point
//   FLOW:reset                         FlowTrace::ResetFlow
//   FLOW:dropped:N                     the entry a publisher writes for N
//                                      points journald did not take
//   FLOW:POINT:raw:NS:BYTES:COUNT      COUNT point entries written by hand,
//                                      with POINT_TIMESTAMP_NS=NS (0: none)
//                                      and BYTES of metadata each
// Exits 0 once every step was taken, 1 if the drop entry was refused.

#include <kelpwood/flow_trace.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

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

// Writes the drop entry as a publisher does once journald takes entries
// again; a real drop needs a journald that stays stopped for a while.
int SendDropped(const std::string& flow_id, const std::string& count) {
  std::vector<std::string> fields = {
      "MESSAGE=" + count + " points of flow '" + flow_id +
          "' could not be published",
      std::string("MESSAGE_ID=") + kelpwood::journal::kPointsDropped,
      "PRIORITY=4",
      std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name,
      "FLOW_ID=" + flow_id,
      "DROPPED_POINTS=" + count};
  std::vector<iovec> vector(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    vector[i].iov_base = fields[i].data();
    vector[i].iov_len = fields[i].size();
  }
  return sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

// Point entries as any process could write them, with a stamp of its choice.
int SendRaw(const std::vector<std::string>& step) {
  std::vector<std::string> fields = {
      "MESSAGE=raw point",
      std::string("MESSAGE_ID=") + kelpwood::journal::kPointPublished,
      "FLOW_ID=" + step[0],
      "POINT_ID=" + step[1],
      "POINT_SUCCESS=1",
      "POINT_META_BLOB=" + std::string(std::stoul(step[4]), 'm')};
  if (step[3] != "0") fields.push_back("POINT_TIMESTAMP_NS=" + step[3]);
  std::vector<iovec> vector(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    vector[i].iov_base = fields[i].data();
    vector[i].iov_len = fields[i].size();
  }
  for (unsigned long i = std::stoul(step[5]); i > 0; --i) {
    if (sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) < 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: point_publisher CONFIG STEP...\n");
    return 2;
  }
  auto& registry = kelpwood::trace::FlowTrace::GetInstance();
  registry.Init(argv[1]);
  for (int i = 2; i < argc; ++i) {
    const std::vector<std::string> step = Split(argv[i]);
    if (step.size() == 6 && step[2] == "raw") {
      if (SendRaw(step) < 0) return 1;
    } else if (step.size() == 3 && step[1] == "dropped") {
      if (SendDropped(step[0], step[2]) < 0) return 1;
    } else if (step.size() == 3) {
      registry.Trace(step[0], step[1], step[2] == "ok");
    } else if (step.size() == 2 && step[1] == "reset") {
      registry.ResetFlow(step[0]);
    } else {
      std::fprintf(stderr, "point_publisher: bad step '%s'\n", argv[i]);
      return 2;
    }
  }
  // journald reads _COMM and the like from /proc when the datagram comes
  // in; a process that is already gone would leave them out.
  usleep(300000);
  return 0;
}
