// The commands of kelpwood-flows, one per .cpp file. Each has the shape of
// cli::Command::run: argv[0] is the command's name, it parses its own
// options with cli::GetoptLong (getopt_long, whose table
// "kelpwood-flows --list-options COMMAND" prints) and returns the process exit
// status: 0 clean, 1 findings (or a failed flow), 2 a usage error or a file
// that cannot be read.

#ifndef KELPWOOD_TOOLS_FLOWS_COMMANDS_H_
#define KELPWOOD_TOOLS_FLOWS_COMMANDS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "journal/journal_reader.h"

namespace kelpwood {
namespace flows_tool {

inline constexpr int kExitClean = 0;
inline constexpr int kExitFindings = 1;
inline constexpr int kExitTrouble = 2;

// Options given before the command, which every command honours.
struct GlobalOptions {
  bool verbose = false;
};
GlobalOptions& Globals() noexcept;

// Parses the options that validate and check share (--json, --verbose,
// --help) from a command's argv, leaving optind at its first operand.
// `verbose` starts from the global option. Returns -1 to go on, or the exit
// status to return at once: help printed, or a usage error reported.
int ParseReportOptions(int argc, char** argv, const char* help, bool& verbose,
                       bool& json);

// validate [--json] FILE...: reports, for each file, what the loader drops,
// ignores or misreads, then the flows as the loader stores them.
int ValidateCommand(int argc, char** argv);

// check [--json] CONFIG TRACE: loads CONFIG with Init, replays the trace
// file and checks every flow that the trace names. With --journal or
// --directory DIR and CONFIG...: checks the runs of device-wide flows found
// in the local journal or a collected directory (JournalCheck). Both forms
// share one option table.
int CheckCommand(int argc, char** argv);

// watch [--state-dir DIR] CONFIG...: follows the journal and writes a
// verdict entry for every run of a device-wide flow.
int WatchCommand(int argc, char** argv);

// What check --journal / --directory DIR was asked for, as parsed by
// CheckCommand.
struct JournalCheckOptions {
  bool local = false;     // --journal
  std::string directory;  // --directory DIR
  bool by_boot = false;   // --boot[=ID]
  std::string boot_id;    // empty with by_boot: the current boot
  std::string since;      // --since TIME, as given
  std::string machine_id;
  std::string metrics;  // --metrics FILE: the runs' numbers, per machine
  bool json = false;
  bool verbose = false;             // starts from the global option
  bool list_runs = false;           // --runs
  journal::TrustedWriters trusted;  // --trust-uid, --trust-unit
  std::vector<std::string> configs;
};

// The reader of the local journal (`local`) or of `directory`, restricted to
// a boot and a machine where given, at its head or at `since_us` (0: the
// head); null after saying why not as "COMMAND: reason".
std::unique_ptr<journal::JournalReader> OpenJournalSource(
    const char* command, bool local, const std::string& directory, bool by_boot,
    const std::string& boot_id, const std::string& machine_id,
    std::uint64_t since_us);

// Adds a --trust-uid (`uid`) or --trust-unit value to `trusted`; false for
// one that is no user id or unit name.
bool AddTrustedWriter(bool uid, const char* text,
                      journal::TrustedWriters& trusted);

// The help of the journal form of check; its own options and examples,
// which the help of the trace form lists too.
void PrintJournalCheckHelp();
extern const char kJournalCheckOptions[];
extern const char kJournalCheckExamples[];

// The journal form of check: reports usage errors in `options` as check
// does, then reads, checks and reports the runs.
int JournalCheck(JournalCheckOptions options);

// timeline [--format chrome|html] [-o FILE] CONFIG TRACE, or with
// --journal [--boot[=ID]] | --directory DIR [--machine ID] and CONFIG...:
// checks as check does and draws each run as a timeline.
int TimelineCommand(int argc, char** argv);

// stats [--json | --suggest-budgets] CONFIG TRACE, or with --journal
// [--boot[=ID]] | --directory DIR [--machine ID] and CONFIG...: the times of
// each flow's steps and runs, and within_ms budgets suggested from them.
int StatsCommand(int argc, char** argv);

}  // namespace flows_tool
}  // namespace kelpwood

#endif  // KELPWOOD_TOOLS_FLOWS_COMMANDS_H_
