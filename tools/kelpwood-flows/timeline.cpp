// kelpwood-flows timeline: checks the flows of a trace file as `check` does
// and draws the runs as Chrome trace-event JSON (for the Perfetto UI) or as
// one self-contained HTML page.

#include <fmt/format.h>
#include <getopt.h>
#include <kelpwood/flow_timeline.h>
#include <kelpwood/flow_trace.h>
#include <kelpwood/logger.h>
#include <systemd/sd-id128.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "journal/journal_reader.h"
#include "library_log.h"
#include "runs/flow_runs.h"
#include "timeline/timeline_writers.h"
#include "trace/src/flow_run.h"
#include "trace_file.h"

namespace kelpwood {
namespace flows_tool {
namespace {

using trace::FlowCheckCode;
using trace::TimelineFormat;

const char kTimelineHelp[] =
    "Usage: kelpwood-flows timeline [OPTION]... CONFIG TRACE\n"
    "  or:  kelpwood-flows timeline [OPTION]... --journal|--directory DIR "
    "CONFIG...\n"
    "Check flow runs exactly as 'check' does and draw each run as a\n"
    "timeline: the configured points above the recorded ones, the verdict,\n"
    "and the point at fault with its result and failure_id.\n"
    "\n"
    "With CONFIG and TRACE, each flow that TRACE names is one run. With\n"
    "--journal (the local journal) or --directory DIR (journal files\n"
    "collected from devices), the runs are those of the device-wide flows\n"
    "of the CONFIG files, cut from the published points as 'watch' does.\n"
    "\n"
    "TRACE holds one recorded point per line, as for 'check':\n"
    "  FLOW_ID POINT_ID [ok|fail] [TIME]\n"
    "TIME is the point's time in milliseconds with up to six decimals. A\n"
    "line without TIME takes the time of the line before it (0 for the\n"
    "first); in a file without any TIME, points are 1 ms apart in file\n"
    "order. TRACE may be '-' for standard input.\n"
    "\n"
    "Options:\n"
    "  -f, --format FORMAT  chrome (the default): Chrome trace-event JSON,\n"
    "                       which ui.perfetto.dev (\"Open trace file\") and\n"
    "                       chrome://tracing open;\n"
    "                       html: one page with inline SVG, no script and\n"
    "                       nothing fetched, for any browser\n"
    "  -o, --output FILE    write to FILE (replaced) instead of standard\n"
    "                       output\n"
    "  -j, --journal        read the runs from the local journal\n"
    "  -b, --boot[=ID]      with --journal: only the current boot, or boot ID\n"
    "  -D, --directory DIR  read the runs from the journal files in DIR\n"
    "  -m, --machine ID     only the runs of machine ID (32 hex digits)\n"
    "  -v, --verbose        also show the library's own log lines\n"
    "  -h, --help           display this help and exit\n"
    "\n"
    "Examples:\n"
    "  kelpwood-flows timeline -o runs.json examples/flows.yaml trace.txt\n"
    "      the runs of a trace file, for ui.perfetto.dev\n"
    "  kelpwood-flows timeline --format html --journal flows.yaml >runs.html\n"
    "      this boot's runs from the local journal as one HTML page\n"
    "\n"
    "Exit status:\n"
    "  0  every run passed\n"
    "  1  at least one run did not pass (the timeline is written)\n"
    "  2  usage error, a malformed TRACE line, or a file that cannot be read\n"
    "     or written\n";

// The times of the records, in nanoseconds, by the rule of the help text.
std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes the runs to `output_path`, or to standard output when it is empty.
bool WriteDocument(const std::vector<trace::FlowRun>& runs,
                   TimelineFormat format, const std::string& output_path) {
  const std::string document = timeline::RenderTimeline(runs, format);
  std::string error;
  if (output_path.empty()) {
    std::fwrite(document.data(), 1, document.size(), stdout);
  } else if (!timeline::WriteTimelineFile(output_path, document, error)) {
    cli::Error("{}", cli::EscapeControls(error));
    return false;
  }
  return true;
}

// The exit status for the runs drawn; when some failed, says how many.
int RunsStatus(std::size_t passed, std::size_t total) {
  if (passed == total) return kExitClean;
  cli::Error("timeline: {} of {} {} failed", total - passed, total,
             total == 1 ? "run" : "runs");
  return kExitFindings;
}

int Timeline(const std::string& config_path, const std::string& trace_path,
             TimelineFormat format, const std::string& output_path) {
  std::string content;
  std::string error;
  if (!cli::ReadInput(trace_path, content, error)) {
    cli::Error("{}: {}", cli::EscapeControls(trace_path), error);
    return kExitTrouble;
  }
  std::vector<TraceRecord> records;
  if (!ParseTraceFile(trace_path, content, records)) return kExitTrouble;
  std::string config;
  if (!cli::ReadInput(config_path, config, error)) {
    cli::Error("{}: {}", cli::EscapeControls(config_path), error);
    return kExitTrouble;
  }
  std::size_t dropped = 0;
  const auto flows = LoadFlows(config_path, config, dropped);

  // Each flow of the trace becomes one run; its points keep their records'
  // times.
  const std::string process =
      trace_path == "-" ? "stdin" : BaseName(trace_path);
  const std::vector<trace::FlowRun> runs =
      ReplayRecords(records, flows, RecordTimes(records), process).runs;
  const std::size_t passed = static_cast<std::size_t>(
      std::count_if(runs.begin(), runs.end(), [](const trace::FlowRun& run) {
        return run.code == FlowCheckCode::PASSED;
      }));

  if (!WriteDocument(runs, format, output_path)) return kExitTrouble;
  return RunsStatus(passed, runs.size());
}

bool IsId128(const std::string& text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Where the runs come from when they are read from journals.
struct JournalSource {
  bool local = false;
  std::string directory;
  bool by_boot = false;
  std::string boot_id;  // empty with by_boot: the current boot
  std::string machine_id;
};

int JournalTimeline(JournalSource source,
                    const std::vector<std::string>& configs,
                    TimelineFormat format, const std::string& output_path) {
  if (source.by_boot && source.boot_id.empty()) {
    sd_id128_t current;
    char text[SD_ID128_STRING_MAX];
    const int result = sd_id128_get_boot(&current);
    if (result < 0) {
      cli::Error("timeline: cannot read the current boot id: {}",
                 std::strerror(-result));
      return kExitTrouble;
    }
    source.boot_id = sd_id128_to_string(current, text);
  }
  std::map<std::string, runs::WatchedFlow> flows;
  std::vector<std::string> dropped;
  std::string error;
  if (!runs::LoadWatchedFlows(configs, flows, error, &dropped)) {
    cli::Error("timeline: {}", cli::EscapeControls(error));
    return kExitTrouble;
  }
  ReportDroppedFlowEntries(dropped);
  std::unique_ptr<journal::JournalReader> reader =
      OpenJournalSource("timeline", source.local, source.directory,
                        source.by_boot, source.boot_id, source.machine_id, 0);
  if (!reader) return kExitTrouble;
  std::vector<trace::FlowRun> runs;
  std::size_t passed = 0;
  runs::FlowRunEngine engine(flows, [&](trace::FlowRun&& run) {
    if (run.code == FlowCheckCode::PASSED) ++passed;
    runs.push_back(std::move(run));
  });
  journal::FlowEntry entry;
  int step = 0;
  while ((step = reader->Next(entry)) > 0) engine.Add(entry);
  if (step < 0) {
    cli::Error("timeline: cannot read the journal: {}", std::strerror(-step));
    return kExitTrouble;
  }
  engine.EndAllRuns();
  if (!WriteDocument(runs, format, output_path)) return kExitTrouble;
  return RunsStatus(passed, runs.size());
}

// What timeline was asked for.
struct TimelineOptions {
  bool verbose = false;
  TimelineFormat format = TimelineFormat::kChrome;
  std::string output_path;
  JournalSource source;
};

// Sets the format from --format's argument; false when it names none.
bool ParseFormat(const std::string& name, TimelineFormat& format) {
  if (name == "chrome") {
    format = TimelineFormat::kChrome;
  } else if (name == "html") {
    format = TimelineFormat::kHtml;
  } else {
    return false;
  }
  return true;
}

// Parses argv into `options`, leaving optind at the first operand. Returns
// -1 to go on, or the exit status: help printed, or a usage error reported.
int ParseTimelineOptions(int argc, char** argv, TimelineOptions& options) {
  static const option kOptions[] = {
      {"format", required_argument, nullptr, 'f'},
      {"output", required_argument, nullptr, 'o'},
      {"journal", no_argument, nullptr, 'j'},
      {"boot", optional_argument, nullptr, 'b'},
      {"directory", required_argument, nullptr, 'D'},
      {"machine", required_argument, nullptr, 'm'},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  options.verbose = Globals().verbose;
  JournalSource& source = options.source;
  opterr = 0;
  for (int option; (option = cli::GetoptLong(argc, argv, ":f:o:jb::D:m:vh",
                                             kOptions, nullptr)) != -1;) {
    switch (option) {
      case 'j':
        source.local = true;
        break;
      case 'b':
        source.by_boot = true;
        source.boot_id = optarg != nullptr ? optarg : "";
        break;
      case 'D':
        source.directory = optarg;
        break;
      case 'm':
        source.machine_id = optarg;
        break;
      case 'f':
        if (!ParseFormat(optarg, options.format)) {
          return cli::UsageError(
              fmt::format("timeline: unknown format '{}' (chrome or html)",
                          cli::EscapeControls(optarg)));
        }
        break;
      case 'o':
        options.output_path = optarg;
        if (options.output_path.empty()) {
          return cli::UsageError("timeline: empty --output FILE");
        }
        break;
      case 'v':
        options.verbose = true;
        break;
      case 'h':
        fmt::print("{}", kTimelineHelp);
        return kExitClean;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
  }
  return -1;
}

// Refuses a journal source that cannot be meant. Returns -1 to go on, or
// the exit status of the usage error reported.
int CheckJournalSource(const JournalSource& source) {
  if (source.local && !source.directory.empty()) {
    return cli::UsageError(
        "timeline: give only one of --journal and --directory DIR");
  }
  if (source.by_boot && !source.local) {
    return cli::UsageError("timeline: --boot needs --journal");
  }
  if (source.by_boot && !source.boot_id.empty() && !IsId128(source.boot_id)) {
    return cli::UsageError(
        fmt::format("timeline: '{}' is not a boot id (32 hex digits)",
                    cli::EscapeControls(source.boot_id)));
  }
  if (!source.machine_id.empty() && !IsId128(source.machine_id)) {
    return cli::UsageError(
        fmt::format("timeline: '{}' is not a machine id (32 hex digits)",
                    cli::EscapeControls(source.machine_id)));
  }
  return -1;
}

}  // namespace

int TimelineCommand(int argc, char** argv) {
  TimelineOptions options;
  if (const int status = ParseTimelineOptions(argc, argv, options);
      status >= 0) {
    return status;
  }
  const JournalSource& source = options.source;
  const int operands = argc - optind;
  if (source.local || !source.directory.empty()) {
    if (const int status = CheckJournalSource(source); status >= 0) {
      return status;
    }
    if (operands == 0) return cli::UsageError("timeline: missing CONFIG");
    SetUpLibraryLog(options.verbose);
    return JournalTimeline(source,
                           std::vector<std::string>(argv + optind, argv + argc),
                           options.format, options.output_path);
  }
  if (source.by_boot || !source.machine_id.empty()) {
    return cli::UsageError(
        "timeline: --boot and --machine need --journal or --directory DIR");
  }
  if (operands != 2) {
    return cli::UsageError(operands < 2 ? "timeline: missing CONFIG or TRACE"
                                        : "timeline: too many operands");
  }
  if (std::string(argv[optind]) == "-") {
    return cli::UsageError("timeline: CONFIG cannot be '-'");
  }
  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(options.verbose);
  return Timeline(argv[optind], argv[optind + 1], options.format,
                  options.output_path);
}

}  // namespace flows_tool
}  // namespace kelpwood
