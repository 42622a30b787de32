// kelpwood-flows: checks flow configuration files of kelpwood_common_libs
// before they reach a device.
//
//   kelpwood-flows validate FILE...       what the loader drops or misreads
//   kelpwood-flows check CONFIG TRACE     replay a recorded trace and check it

#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "library_log.h"

namespace kelpwood {
namespace flows_tool {
namespace {

const char kProgram[] = "kelpwood-flows";

const char kMainHelp[] =
    "Usage: kelpwood-flows [OPTION]... COMMAND [ARG]...\n"
    "Check the flow configuration files of kelpwood_common_libs.\n"
    "\n"
    "Commands:\n"
    "  validate FILE...     report what the loader drops, ignores or misreads\n"
    "                       in each FILE, then list its flows as loaded\n"
    "  check CONFIG TRACE   load CONFIG, replay the trace points of TRACE and\n"
    "                       check every flow that TRACE names\n"
    "  check --journal CONFIG...  or  check --directory DIR CONFIG...\n"
    "                       check the runs of device-wide flows found in the\n"
    "                       local journal, or in journals collected from "
    "devices\n"
    "  watch CONFIG...      follow the journal and write a verdict entry for\n"
    "                       every run of a device-wide flow\n"
    "\n"
    "Options:\n"
    "  -v, --verbose        also show the library's own log lines\n"
    "  -h, --help           display this help and exit\n"
    "      --version        output version information and exit\n"
    "\n"
    "Run 'kelpwood-flows COMMAND --help' for more about a command.\n"
    "\n"
    "Exit status:\n"
    "  0  no findings, or every checked flow passed\n"
    "  1  findings, or a checked flow failed\n"
    "  2  usage error, or a file that cannot be read\n";

const char kValidateHelp[] =
    "Usage: kelpwood-flows validate [OPTION]... FILE...\n"
    "Judge each flow configuration FILE as FlowTrace::Init does, through the\n"
    "library's own parse operations, and report as FILE:LINE:COLUMN:\n"
    "  - flow and point entries that the loader drops, and why;\n"
    "  - unknown keys at any level, with the nearest known key;\n"
    "  - repeated keys, of which the loader reads only the first;\n"
    "  - repeated flow ids (the later entry wins) and repeated point ids;\n"
    "  - flows stored under the empty id, points without an id;\n"
    "  - text values left empty, which the loader reads as \"null\";\n"
    "  - flow_points that is not a sequence.\n"
    "Then list each file's flows as loaded: id, name, check_order and the\n"
    "chain of points, <critical> or [optional], with #failure_id when set.\n"
    "\n"
    "Options:\n"
    "  -v, --verbose   also show the library's own log lines\n"
    "  -h, --help      display this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  no findings\n"
    "  1  findings in at least one FILE\n"
    "  2  usage error, or a FILE that cannot be read (not a regular file)\n";

const char kCheckHelp[] =
    "Usage: kelpwood-flows check [OPTION]... CONFIG TRACE\n"
    "Load the flow configuration CONFIG with FlowTrace::Init, record every\n"
    "line of TRACE with FlowTrace::Trace, then run FlowTrace::CheckFlow on\n"
    "each flow that TRACE names, in order of first mention, and print one\n"
    "row per flow: the flow, the result code, the recorded point at fault\n"
    "(with its TRACE line) and the configured point at fault.\n"
    "\n"
    "TRACE holds one recorded point per line:\n"
    "  FLOW_ID POINT_ID [ok|fail]\n"
    "separated by blanks; the status defaults to ok. Blank lines are skipped\n"
    "and '#' starts a comment that runs to the end of the line.\n"
    "\n"
    "Options:\n"
    "  -v, --verbose   also show the library's own log lines\n"
    "  -h, --help      display this help and exit\n"
    "\n"
    "Exit status:\n"
    "  0  every flow passed\n"
    "  1  at least one flow did not pass\n"
    "  2  usage error, a malformed TRACE line, or a file that cannot be read\n";

int UsageError(const std::string& message) {
  std::cerr << kProgram << ": " << message << "\n"
            << "Try '" << kProgram << " --help' for more information.\n";
  return kExitTrouble;
}

// True when the check command reads a journal rather than a trace file.
bool ChecksJournal(int argc, char** argv) {
  for (int index = 2; index < argc; ++index) {
    const std::string argument = argv[index];
    if (argument == "--") break;
    if (argument == "--journal" || argument == "-j" ||
        argument.rfind("--directory", 0) == 0 || argument.rfind("-D", 0) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

int Main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "watch") {
    SetUpLibraryLog(false);
    return Watch(argc - 1, argv + 1);
  }
  if (argc >= 2 && std::string(argv[1]) == "check" &&
      ChecksJournal(argc, argv)) {
    SetUpLibraryLog(false);
    return JournalCheck(argc - 1, argv + 1);
  }
  bool verbose = false;
  bool help = false;
  bool options_done = false;
  std::string command;
  std::vector<std::string> operands;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    if (!options_done && argument.size() > 1 && argument[0] == '-') {
      if (argument == "--") {
        options_done = true;
      } else if (argument == "-v" || argument == "--verbose") {
        verbose = true;
      } else if (argument == "-h" || argument == "--help") {
        help = true;
      } else if (argument == "--version" && command.empty()) {
        std::cout << kProgram << " " << KELPWOOD_FLOWS_VERSION << "\n";
        return kExitClean;
      } else {
        return UsageError("unrecognized option '" + argument + "'");
      }
    } else if (command.empty()) {
      command = argument;
    } else {
      operands.push_back(argument);
    }
  }

  if (command.empty()) {
    if (help) {
      std::cout << kMainHelp;
      return kExitClean;
    }
    return UsageError("missing command");
  }
  if (command != "validate" && command != "check") {
    return UsageError("unknown command '" + command + "'");
  }
  if (help) {
    std::cout << (command == "validate" ? kValidateHelp : kCheckHelp);
    return kExitClean;
  }
  if (command == "validate" && operands.empty()) {
    return UsageError("validate: missing FILE");
  }
  if (command == "check" && operands.size() != 2) {
    return UsageError(operands.size() < 2 ? "check: missing CONFIG or TRACE"
                                          : "check: too many operands");
  }

  // Before any other library call: the logger reads its environment once.
  SetUpLibraryLog(verbose);
  if (command == "validate") return Validate(operands, std::cout, std::cerr);
  return Check(operands[0], operands[1], std::cout, std::cerr);
}

}  // namespace flows_tool
}  // namespace kelpwood

int main(int argc, char** argv) {
  return kelpwood::flows_tool::Main(argc, argv);
}
