// kelpwood-flows: checks flow configuration files of kelpwood_common_libs
// before they reach a device, and replays recorded traces against them.
//
// The commands live in a table: each is `int NAME(int argc, char** argv)`
// in its own .cpp file (see tools/common/cli.h). A new command is one new
// file and one row of kCommands.

#include <fmt/format.h>
#include <getopt.h>

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace kelpwood {
namespace flows_tool {
namespace {

struct CommandRow {
  cli::Command command;
  const char* synopsis;  // as shown in the help, after the program's name
  const char* summary;   // lines separated by '\n'
};

const CommandRow kCommands[] = {
    {{"validate", ValidateCommand},
     "validate FILE...",
     "report what a device would drop, ignore or misread in\n"
     "each flow configuration FILE, then list its flows as loaded"},
    {{"check", CheckCommand},
     "check CONFIG TRACE",
     "load CONFIG, replay the points recorded in TRACE and\n"
     "check every flow that TRACE names;\n"
     "with --journal or --directory DIR: check the runs of\n"
     "device-wide flows in the local journal or in journals\n"
     "collected from devices"},
    {{"watch", WatchCommand},
     "watch CONFIG...",
     "follow the journal and write a verdict entry for every\n"
     "run of a device-wide flow"},
    {{"timeline", TimelineCommand},
     "timeline CONFIG TRACE",
     "check as 'check' does and draw the runs as Chrome\n"
     "trace-event JSON (Perfetto) or an HTML page; with\n"
     "--journal or --directory DIR: the runs in journals"},
    {{"stats", StatsCommand},
     "stats CONFIG TRACE",
     "count and p50/p95/p99/max of each step's time and of the\n"
     "runs' durations; --suggest-budgets: within_ms per step"},
};

void PrintHelp() {
  std::string commands;
  for (const CommandRow& row : kCommands) {
    std::string summary = row.summary;
    std::string indented;
    for (std::size_t start = 0; start <= summary.size();) {
      std::size_t end = summary.find('\n', start);
      if (end == std::string::npos) end = summary.size();
      if (!indented.empty()) indented += fmt::format("\n{:23}", "");
      indented += summary.substr(start, end - start);
      start = end + 1;
    }
    // A synopsis too long for its column gets a line of its own, so that it
    // never runs into its description.
    const std::string_view synopsis = row.synopsis;
    if (synopsis.size() < 20) {
      commands += fmt::format("  {:<20} {}\n", synopsis, indented);
    } else {
      commands += fmt::format("  {}\n{:23}{}\n", synopsis, "", indented);
    }
  }
  fmt::print(
      "Usage: kelpwood-flows [OPTION]... COMMAND [ARG]...\n"
      "Check flow configuration files before they go to a device, and\n"
      "replay recorded traces against them.\n"
      "\n"
      "Commands:\n"
      "{}"
      "\n"
      "Options:\n"
      "  -v, --verbose        also show the library's own log lines\n"
      "  -h, --help           display this help and exit\n"
      "  -V, --version        output version information and exit\n"
      "      --list-commands  list the commands, one per line, with their\n"
      "                       summary after a tab (for completion)\n"
      "      --list-options [COMMAND]\n"
      "                       list the long options of the tool or of\n"
      "                       COMMAND, one per line (for completion)\n"
      "\n"
      "Run 'kelpwood-flows COMMAND --help' for more about a command, its\n"
      "options (such as --json) and its output.\n"
      "\n"
      "Exit status:\n"
      "  0  no findings, or every checked flow passed\n"
      "  1  findings, or a checked flow failed\n"
      "  2  usage error, a file that cannot be read, or a failed write\n",
      commands);
}

// One command per line: its name, a tab and its summary on one line; the
// build names each command's manual page with it.
void PrintCommandList() {
  for (const CommandRow& row : kCommands) {
    std::string summary = row.summary;
    std::replace(summary.begin(), summary.end(), '\n', ' ');
    fmt::print("{}\t{}\n", row.command.name, summary);
  }
}

int Main(int argc, char** argv) {
  cli::SetProgramName("kelpwood-flows");
  enum { kListCommands = 256, kListOptions };
  static const option kOptions[] = {
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {"list-commands", no_argument, nullptr, kListCommands},
      {"list-options", no_argument, nullptr, kListOptions},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<cli::Command> commands;
  for (const CommandRow& row : kCommands) commands.push_back(row.command);
  opterr = 0;
  // "+": stop at the command, whose own options are its business.
  for (int option;
       (option = getopt_long(argc, argv, "+:vhV", kOptions, nullptr)) != -1;) {
    switch (option) {
      case kListCommands:
        PrintCommandList();
        return kExitClean;
      case kListOptions:
        if (optind >= argc) {
          cli::PrintOptionList(kOptions);
          return kExitClean;
        }
        return cli::ListCommandOptions(commands, argv[optind]);
      case 'v':
        Globals().verbose = true;
        break;
      case 'h':
        PrintHelp();
        return kExitClean;
      case 'V':
        cli::PrintVersion();
        return kExitClean;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
  }
  if (optind >= argc) return cli::UsageError("missing command");
  return cli::RunCommand(commands, argc - optind, argv + optind);
}

}  // namespace

GlobalOptions& Globals() noexcept {
  static GlobalOptions options;
  return options;
}

int ParseReportOptions(int argc, char** argv, const char* help, bool& verbose,
                       bool& json) {
  static const option kOptions[] = {
      {"json", no_argument, nullptr, 'j'},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  verbose = Globals().verbose;
  json = false;
  opterr = 0;
  for (int option;
       (option = cli::GetoptLong(argc, argv, ":jvh", kOptions)) != -1;) {
    switch (option) {
      case 'j':
        json = true;
        break;
      case 'v':
        verbose = true;
        break;
      case 'h':
        fmt::print("{}", help);
        return kExitClean;
      default:
        return cli::UsageError(cli::RefusedOption(option, argv));
    }
  }
  return -1;
}

}  // namespace flows_tool
}  // namespace kelpwood

int main(int argc, char** argv) {
  // An input too big for memory ends with a message and status 2, not abort.
  try {
    return kelpwood::cli::FinishStdout(kelpwood::flows_tool::Main(argc, argv));
  } catch (const std::bad_alloc&) {
    kelpwood::cli::PrintError("out of memory");
    return kelpwood::cli::kExitUsage;
  }
}
