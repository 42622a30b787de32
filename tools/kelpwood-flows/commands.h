// The two commands of kelpwood-flows. Each returns the process exit status:
// 0 clean, 1 findings (or a failed flow), 2 a file that cannot be read.

#ifndef KELPWOOD_TOOLS_FLOWS_COMMANDS_H_
#define KELPWOOD_TOOLS_FLOWS_COMMANDS_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace kelpwood {
namespace flows_tool {

inline constexpr int kExitClean = 0;
inline constexpr int kExitFindings = 1;
inline constexpr int kExitTrouble = 2;

// Reads a whole regular file. Anything else (missing, a directory, a FIFO, a
// device) fails with a reason in `error`, without blocking.
bool ReadRegularFile(const std::string& path, std::string& content,
                     std::string& error);

// Reports, for each file, what the loader drops, ignores or misreads, then
// the flows as the loader stores them.
int Validate(const std::vector<std::string>& paths, std::ostream& out,
             std::ostream& err);

// Loads `config_path` with Init, replays the trace file and checks every
// flow that the trace names.
int Check(const std::string& config_path, const std::string& trace_path,
          std::ostream& out, std::ostream& err);

// kelpwood-flows watch ARG...: follows the journal and writes a verdict
// entry for every run of a device-wide flow. argv[0] is "watch".
int Watch(int argc, char** argv);

// kelpwood-flows check --journal|--directory DIR ARG...: checks the runs of
// device-wide flows found in a journal. argv[0] is "check".
int JournalCheck(int argc, char** argv);

}  // namespace flows_tool
}  // namespace kelpwood

#endif  // KELPWOOD_TOOLS_FLOWS_COMMANDS_H_
