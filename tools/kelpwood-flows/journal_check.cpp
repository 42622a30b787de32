// kelpwood-flows check --journal / --directory: reads the published points
// of device-wide flows from the local journal or from a directory collected
// from many devices, cuts them into runs as watch does, checks every run and
// reports per device (machine) and flow, then per flow across devices.

#include <fmt/format.h>
#include <kelpwood/logger.h>
#include <systemd/sd-id128.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/posix_file.h"
#include "cli.h"
#include "commands.h"
#include "journal/journal_reader.h"
#include "library_log.h"
#include "runs/flow_metrics.h"
#include "runs/flow_runs.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using journal::FlowEntry;
using journal::JournalReader;
using trace::FlowCheckCode;
using trace::FlowRun;

int UsageTrouble(const std::string& message) {
  return cli::UsageError("check: " + message);
}

bool IsId128(const std::string& text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

bool ParseSince(const std::string& text, std::uint64_t& realtime_us) {
  if (!text.empty() && text[0] == '@') {
    char* end = nullptr;
    errno = 0;
    const unsigned long long seconds =
        std::strtoull(text.c_str() + 1, &end, 10);
    if (errno != 0 || end == text.c_str() + 1 || *end != '\0') return false;
    realtime_us = static_cast<std::uint64_t>(seconds) * 1000000;
    return true;
  }
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d"}) {
    struct tm parts {};
    const char* end = strptime(text.c_str(), format, &parts);
    if (end == nullptr || *end != '\0') continue;
    parts.tm_isdst = -1;
    const time_t seconds = mktime(&parts);
    if (seconds < 0) return false;
    realtime_us = static_cast<std::uint64_t>(seconds) * 1000000;
    return true;
  }
  return false;
}

// "POINT_MISSING at 'fsck', failure_id 302", or "PASSED".
std::string Finding(const FlowRun& run) {
  std::string text = trace::FlowCheckCodeName(run.code);
  const std::string at = runs::FaultPointId(run);
  if (!at.empty()) text += " at '" + at + "'";
  if (run.failure_id != 0) {
    text += ", failure_id " + std::to_string(run.failure_id);
  }
  return text;
}

// The runs of one flow on one machine, reduced to what the report shows.
struct DeviceFlow {
  std::uint64_t runs = 0;
  std::uint64_t failed_runs = 0;
  // The first run that did not pass, in the order runs ended.
  bool has_failure = false;
  FlowCheckCode code = FlowCheckCode::PASSED;
  std::string point;
  std::uint32_t failure_id = 0;
  std::string finding;
  std::string boot_id;
  std::string run_id;
};

// Keyed by machine, then flow: the report's order.
using DeviceFlows = std::map<std::pair<std::string, std::string>, DeviceFlow>;

// Per flow: devices passed, and devices failed by their first finding;
// runs passed, and every failed run by its finding.
struct FlowSummary {
  std::uint64_t passed = 0;
  std::uint64_t failed = 0;
  std::map<std::string, std::uint64_t> by_finding;
  std::map<std::string, std::pair<std::string, std::string>> finding_parts;
  std::uint64_t runs_passed = 0;
  std::uint64_t runs_failed = 0;
  std::map<std::string, std::uint64_t> runs_by_finding;
};

// One checked run, as --runs lists it.
struct RunRow {
  std::string machine_id;
  std::string boot_id;
  std::string flow_id;
  std::string run_id;
  std::int64_t start_ns = 0;
  FlowCheckCode code = FlowCheckCode::PASSED;
  std::string point;
  std::uint32_t failure_id = 0;
};

using FlowSummaries = std::map<std::string, FlowSummary>;
using WatchedFlows = std::map<std::string, runs::WatchedFlow>;

// Refuses what the options cannot mean, resolves the current boot and reads
// --since into `since_us`. Returns -1 to go on, or the exit status.
int CheckJournalOptions(JournalCheckOptions& options, std::uint64_t& since_us) {
  if (options.local == !options.directory.empty()) {
    return UsageTrouble("give exactly one of --journal and --directory DIR");
  }
  if (options.configs.empty()) return UsageTrouble("missing CONFIG");
  if (options.json && options.verbose) {
    // The library's log goes to standard output and would break the object.
    return UsageTrouble("--json and --verbose cannot be combined");
  }
  if (options.by_boot && options.boot_id.empty()) {
    sd_id128_t current;
    char text[SD_ID128_STRING_MAX];
    const int result = sd_id128_get_boot(&current);
    if (result < 0) {
      cli::Error("check: cannot read the current boot id: {}",
                 std::strerror(-result));
      return kExitTrouble;
    }
    options.boot_id = sd_id128_to_string(current, text);
  }
  if (options.by_boot && !IsId128(options.boot_id)) {
    return UsageTrouble("'" + options.boot_id +
                        "' is not a boot id (32 hex digits)");
  }
  if (!options.machine_id.empty() && !IsId128(options.machine_id)) {
    return UsageTrouble("'" + options.machine_id +
                        "' is not a machine id (32 hex digits)");
  }
  if (!options.since.empty() && !ParseSince(options.since, since_us)) {
    // Name the forms that work, and the help that says more.
    cli::Error(
        "check: '{}' is not a time: give YYYY-MM-DD, \"YYYY-MM-DD HH:MM:SS\" "
        "(local time) or @SECONDS (since the epoch)\nTry '{} check --help' "
        "for more information.",
        cli::EscapeControls(options.since), cli::ProgramName());
    return kExitTrouble;
  }
  return -1;
}

// The reader of the journal the options name, restricted and positioned.
std::unique_ptr<JournalReader> OpenJournal(const JournalCheckOptions& options,
                                           std::uint64_t since_us) {
  return OpenJournalSource("check", options.local, options.directory,
                           options.by_boot, options.boot_id, options.machine_id,
                           options.since.empty() ? 0 : since_us);
}

// "CODE at 'POINT'", or "CODE" without a point.
std::string CodeAt(FlowCheckCode code, const std::string& point) {
  std::string text = trace::FlowCheckCodeName(code);
  if (!point.empty()) text += " at '" + point + "'";
  return text;
}

// Counts `run` into its device's line and its flow's run counts; keeps the
// first run that failed, and every run in `rows` when it is given.
void CountRun(FlowRun&& run, DeviceFlows& devices, FlowSummaries& summaries,
              std::vector<RunRow>* rows) {
  DeviceFlow& device = devices[{run.machine_id, run.flow_id}];
  ++device.runs;
  FlowSummary& summary = summaries[run.flow_id];
  const std::string point = runs::FaultPointId(run);
  if (run.code == FlowCheckCode::PASSED) {
    ++summary.runs_passed;
  } else {
    ++summary.runs_failed;
    const std::string finding = CodeAt(run.code, point);
    ++summary.runs_by_finding[finding];
    summary.finding_parts[finding] = {trace::FlowCheckCodeName(run.code),
                                      point};
  }
  if (rows != nullptr) {
    rows->push_back(RunRow{run.machine_id, run.boot_id, run.flow_id, run.run_id,
                           run.start_ns, run.code, point, run.failure_id});
  }
  if (run.code == FlowCheckCode::PASSED) return;
  ++device.failed_runs;
  if (device.has_failure) return;
  device.has_failure = true;
  device.code = run.code;
  device.point = runs::FaultPointId(run);
  device.failure_id = run.failure_id;
  device.finding = Finding(run);
  device.boot_id = run.boot_id;
  device.run_id = run.run_id;
}

// Cuts the reader's entries into runs, checks them and counts them into
// `devices` and `summaries`. False after reporting a journal that cannot be
// read.
bool ReadRuns(JournalReader& reader, const WatchedFlows& flows,
              DeviceFlows& devices, FlowSummaries& summaries,
              std::vector<RunRow>* rows, runs::FlowMetrics* metrics) {
  runs::FlowRunEngine engine(flows, [&](FlowRun&& run) {
    if (metrics != nullptr) metrics->AddRun(run);
    CountRun(std::move(run), devices, summaries, rows);
  });
  FlowEntry entry;
  int step = 0;
  while ((step = reader.Next(entry)) > 0) engine.Add(entry);
  if (step < 0) {
    cli::Error("check: cannot read the journal: {}", std::strerror(-step));
    return false;
  }
  engine.EndAllRuns();
  return true;
}

// Adds the devices' counts to the runs' counts in `summaries`.
void Summarize(const DeviceFlows& devices, FlowSummaries& summaries) {
  for (const auto& [key, device] : devices) {
    FlowSummary& summary = summaries[key.second];
    if (!device.has_failure) {
      ++summary.passed;
      continue;
    }
    ++summary.failed;
    ++summary.by_finding[CodeAt(device.code, device.point)];
  }
}

// Findings by how many devices (or runs) show them, most first.
std::vector<std::pair<std::string, std::uint64_t>> Ranked(
    const std::map<std::string, std::uint64_t>& by_finding) {
  std::vector<std::pair<std::string, std::uint64_t>> findings(
      by_finding.begin(), by_finding.end());
  std::stable_sort(
      findings.begin(), findings.end(),
      [](const auto& a, const auto& b) { return a.second > b.second; });
  return findings;
}

std::string DevicesJson(const DeviceFlows& devices) {
  std::string out;
  for (const auto& [key, device] : devices) {
    if (!out.empty()) out += ",";
    out +=
        "{\"machine_id\":" + cli::JsonString(key.first) +
        ",\"flow_id\":" + cli::JsonString(key.second) +
        ",\"runs\":" + std::to_string(device.runs) +
        ",\"failed_runs\":" + std::to_string(device.failed_runs) +
        ",\"result\":" + cli::JsonString(trace::FlowCheckCodeName(device.code));
    if (device.has_failure) {
      out += ",\"point_id\":" + cli::JsonString(device.point) +
             ",\"failure_id\":" + std::to_string(device.failure_id) +
             ",\"boot_id\":" + cli::JsonString(device.boot_id) +
             ",\"flow_run\":" + cli::JsonString(device.run_id);
    }
    out += "}";
  }
  return out;
}

// [{"code":S,"point_id":S,KEY:N}...] for `by_finding`, most first.
std::string FailuresJson(const FlowSummary& summary,
                         const std::map<std::string, std::uint64_t>& by_finding,
                         const char* key) {
  std::string out;
  for (const auto& [finding, count] : Ranked(by_finding)) {
    if (!out.empty()) out += ",";
    const auto& parts = summary.finding_parts.at(finding);
    out += "{\"code\":" + cli::JsonString(parts.first) +
           ",\"point_id\":" + cli::JsonString(parts.second) + ",\"" + key +
           "\":" + std::to_string(count) + "}";
  }
  return "[" + out + "]";
}

std::string FlowsJson(const FlowSummaries& summaries,
                      const WatchedFlows& flows) {
  std::string out;
  for (const auto& [flow_id, summary] : summaries) {
    if (!out.empty()) out += ",";
    const auto flow = flows.find(flow_id);
    out += "{\"flow_id\":" + cli::JsonString(flow_id) +
           ",\"flow_name\":" + cli::JsonString(flow->second.cfg->flow_name) +
           ",\"devices_passed\":" + std::to_string(summary.passed) +
           ",\"devices_failed\":" + std::to_string(summary.failed) +
           ",\"failures\":" +
           FailuresJson(summary, summary.by_finding, "devices") +
           ",\"runs_passed\":" + std::to_string(summary.runs_passed) +
           ",\"runs_failed\":" + std::to_string(summary.runs_failed) +
           ",\"run_failures\":" +
           FailuresJson(summary, summary.runs_by_finding, "runs") + "}";
  }
  return out;
}

// The run's start as UTC, "2023-11-14T22:13:20.000010Z".
std::string WallClock(std::int64_t time_ns) {
  const time_t seconds = static_cast<time_t>(time_ns / 1000000000);
  struct tm parts {};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return fmt::format("{}.{:06}Z", text, (time_ns % 1000000000) / 1000);
}

std::string RunsJson(const std::vector<RunRow>& rows) {
  std::string out;
  for (const RunRow& row : rows) {
    if (!out.empty()) out += ",";
    out += "{\"machine_id\":" + cli::JsonString(row.machine_id) +
           ",\"boot_id\":" + cli::JsonString(row.boot_id) +
           ",\"flow_id\":" + cli::JsonString(row.flow_id) +
           ",\"flow_run\":" + cli::JsonString(row.run_id) +
           ",\"start\":" + cli::JsonString(WallClock(row.start_ns)) +
           ",\"code\":" + cli::JsonString(trace::FlowCheckCodeName(row.code)) +
           ",\"point_id\":" + cli::JsonString(row.point) +
           ",\"failure_id\":" + std::to_string(row.failure_id) + "}";
  }
  return out;
}

std::string RunsText(const std::vector<RunRow>& rows) {
  std::string out;
  for (const RunRow& row : rows) {
    out += row.machine_id + "  " + row.boot_id + "  " + row.flow_id + "  " +
           WallClock(row.start_ns) + "  " + CodeAt(row.code, row.point);
    if (row.failure_id != 0) {
      out += ", failure_id " + std::to_string(row.failure_id);
    }
    out += "\n";
  }
  return out;
}

std::string ReportJson(const DeviceFlows& devices,
                       const FlowSummaries& summaries,
                       const WatchedFlows& flows,
                       const std::vector<RunRow>* rows) {
  std::string out = "{\"devices\":[" + DevicesJson(devices) + "],\"flows\":[" +
                    FlowsJson(summaries, flows) + "]";
  if (rows != nullptr) out += ",\"runs\":[" + RunsJson(*rows) + "]";
  return out + "}\n";
}

// "; runs: 3 passed, 2 failed (POINT_FAILED at 'mount': 1, ...)", so that
// every failed run shows, not only each device's first.
std::string RunCounts(const FlowSummary& summary) {
  std::string out = "; runs: " + std::to_string(summary.runs_passed) +
                    " passed, " + std::to_string(summary.runs_failed) +
                    " failed";
  bool first = true;
  for (const auto& [finding, count] : Ranked(summary.runs_by_finding)) {
    out += first ? " (" : ", ";
    first = false;
    out += finding + ": " + std::to_string(count);
  }
  return first ? out : out + ")";
}

std::string ReportText(const DeviceFlows& devices,
                       const FlowSummaries& summaries,
                       const WatchedFlows& flows,
                       const std::vector<RunRow>* rows) {
  std::string out = rows != nullptr ? RunsText(*rows) : "";
  for (const auto& [key, device] : devices) {
    out += key.first + "  " + key.second + "  " + std::to_string(device.runs) +
           (device.runs == 1 ? " run  " : " runs  ");
    if (!device.has_failure) {
      out += "PASSED\n";
      continue;
    }
    out += device.finding + " (" + std::to_string(device.failed_runs) +
           " failed; first in boot " + device.boot_id + ", run " +
           device.run_id + ")\n";
  }
  for (const auto& [flow_id, summary] : summaries) {
    const auto flow = flows.find(flow_id);
    const std::uint64_t total = summary.passed + summary.failed;
    out += "Flow '" + flow_id + "' (" + flow->second.cfg->flow_name +
           "): " + std::to_string(total) +
           (total == 1 ? " device, " : " devices, ") +
           std::to_string(summary.passed) + " passed, " +
           std::to_string(summary.failed) + " failed";
    bool first = true;
    for (const auto& [finding, count] : Ranked(summary.by_finding)) {
      out += first ? " (" : ", ";
      first = false;
      out += finding + ": " + std::to_string(count);
    }
    out += (first ? "" : ")") + RunCounts(summary) + "\n";
  }
  if (devices.empty()) out += "No runs of the configured flows found.\n";
  return out;
}

}  // namespace

bool AddTrustedWriter(bool uid, const char* text,
                      journal::TrustedWriters& trusted) {
  const std::string value = text;
  if (!uid) {
    if (value.empty() || value.size() > 256 ||
        value.find_first_of(" \t\n/") != std::string::npos) {
      return false;
    }
    trusted.units.push_back(value);
    return true;
  }
  if (value.empty() || value.size() > 10 ||
      !std::all_of(value.begin(), value.end(),
                   [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const unsigned long long parsed = std::stoull(value);
  if (parsed >= 0xffffffffULL) return false;  // (uid_t)-1 is no user
  trusted.uids.push_back(static_cast<uid_t>(parsed));
  return true;
}

// The options that choose and filter the journal entries and what is done
// with the runs; the help of the trace form lists them too.
const char kJournalCheckOptions[] =
    "      --journal          read the local journal\n"
    "  -D, --directory DIR    read the journal files in DIR\n"
    "  -b, --boot[=ID]        only this boot (default: the current one)\n"
    "  -S, --since TIME       only entries from TIME on: 'YYYY-MM-DD',\n"
    "                         'YYYY-MM-DD HH:MM:SS' (local time) or "
    "'@SECONDS'\n"
    "  -m, --machine ID       only this machine\n"
    "      --runs             also list every run: machine, boot, flow, its\n"
    "                         start (UTC), code, point and failure_id\n"
    "      --trust-uid UID    also count points, resets and drop notices of\n"
    "                         user UID (repeatable; by default only root's)\n"
    "      --trust-unit UNIT  also count those of systemd unit UNIT\n"
    "      --metrics FILE     also write the runs' counts and times per\n"
    "                         machine to FILE (Prometheus text format)\n";

const char kJournalCheckExamples[] =
    "  kelpwood-flows check --journal --boot --runs /etc/kelpwood/flows.yaml\n"
    "      every run of this boot, one line each, then the summary\n"
    "  kelpwood-flows check --directory /var/log/journal/remote --json f.yaml\n"
    "      the runs of the devices whose journals were collected, as JSON\n";

void PrintJournalCheckHelp() {
  fmt::print(
      "Usage: kelpwood-flows check --journal [OPTION]... CONFIG...\n"
      "  or:  kelpwood-flows check --directory DIR [OPTION]... CONFIG...\n"
      "Read the published points of the flows of CONFIG from the local "
      "journal\n"
      "or from the journal files in DIR (as systemd-journal-remote writes\n"
      "them), cut them into runs by machine, boot and flow as "
      "'kelpwood-flows\n"
      "watch' does (runs still open at the end are checked as they stand),\n"
      "check each run with FlowTrace::CheckFlow, and print one line per "
      "device\n"
      "and flow, then one summary line per flow.\n"
      "\n"
      "Options:\n"
      "{}"
      "  -j, --json             print one JSON document instead\n"
      "  -v, --verbose          also show the library's own log lines (not "
      "with\n"
      "                         --json, whose output they would break)\n"
      "  -h, --help             display this help and exit\n"
      "\n"
      "Examples:\n"
      "{}"
      "\n"
      "Exit status:\n"
      "  0  every run passed (or none was found)\n"
      "  1  at least one run did not pass\n"
      "  2  usage error, or a CONFIG or journal that cannot be read\n",
      kJournalCheckOptions, kJournalCheckExamples);
}

int JournalCheck(JournalCheckOptions options) {
  std::uint64_t since_us = 0;
  if (const int status = CheckJournalOptions(options, since_us); status >= 0) {
    return status;
  }
  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(options.verbose);
  WatchedFlows flows;
  std::vector<std::string> dropped;
  std::string error;
  if (!runs::LoadWatchedFlows(options.configs, flows, error, &dropped)) {
    cli::Error("check: {}", error);
    return kExitTrouble;
  }
  ReportDroppedFlowEntries(dropped);
  const std::unique_ptr<JournalReader> reader = OpenJournal(options, since_us);
  if (!reader) return kExitTrouble;
  reader->SetTrustedWriters(options.trusted);
  DeviceFlows devices;
  FlowSummaries summaries;
  std::vector<RunRow> rows;
  std::vector<RunRow>* listed = options.list_runs ? &rows : nullptr;
  runs::FlowMetrics metrics(runs::FlowMetrics::Scope::kFleet);
  if (!ReadRuns(*reader, flows, devices, summaries, listed,
                options.metrics.empty() ? nullptr : &metrics)) {
    return kExitTrouble;
  }
  if (!options.metrics.empty() &&
      !base::WriteFileAtomically(options.metrics, metrics.Render(), 0644,
                                 error)) {
    cli::Error("check: {}", error);
    return kExitTrouble;
  }
  Summarize(devices, summaries);
  // main() checks that standard output took it all.
  fmt::print("{}", options.json
                       ? ReportJson(devices, summaries, flows, listed)
                       : ReportText(devices, summaries, flows, listed));
  const bool any_failed =
      std::any_of(devices.begin(), devices.end(),
                  [](const auto& entry) { return entry.second.has_failure; });
  return any_failed ? kExitFindings : kExitClean;
}

std::unique_ptr<JournalReader> OpenJournalSource(
    const char* command, bool local, const std::string& directory, bool by_boot,
    const std::string& boot_id, const std::string& machine_id,
    std::uint64_t since_us) {
  std::string error;
  std::unique_ptr<JournalReader> reader =
      local ? JournalReader::OpenLocal(error)
            : JournalReader::OpenDirectory(directory, error);
  if (!reader) {
    cli::Error("{}: {}", command, cli::EscapeControls(error));
    return nullptr;
  }
  if ((by_boot && !reader->RestrictToBoot(boot_id)) ||
      (!machine_id.empty() && !reader->RestrictToMachine(machine_id))) {
    cli::Error("{}: cannot select entries by id", command);
    return nullptr;
  }
  const bool positioned = since_us == 0 ? reader->SeekHead(error)
                                        : reader->SeekRealtime(since_us, error);
  if (!positioned) {
    cli::Error("{}: {}", command, cli::EscapeControls(error));
    return nullptr;
  }
  return reader;
}

}  // namespace flows_tool
}  // namespace kelpwood
