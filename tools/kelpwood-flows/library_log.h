// The library's log as kelpwood-flows sees it: kept off the report unless the
// user asks for it, but always captured so that a finding can quote the
// loader's own reason.

#ifndef KELPWOOD_TOOLS_FLOWS_LIBRARY_LOG_H_
#define KELPWOOD_TOOLS_FLOWS_LIBRARY_LOG_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "trace/src/flow_file.h"

namespace kelpwood {
namespace flows_tool {

// Sets the logger's environment and builds it. Without `verbose` the
// library writes nowhere but to the capture; with it, its lines go to the
// standard output as usual (debug level unless SPDLOG_LEVEL says otherwise).
// REQUIRES: called before any other library operation of the process.
void SetUpLibraryLog(bool verbose);

// Bodies of the ERROR messages logged since the previous call, oldest first,
// without the counter and level tag.
std::vector<std::string> TakeLibraryErrors();

// Reads the flow file `content`, named `config_path`, through the library's
// one reader, as Init would: the reader's notes go to the library log in the
// loader's words (seen with --verbose), and if it dropped anything, one line
// on standard error says how much and points to validate. Returns the flows
// as Init would store them, by id; `dropped` gets the number of drops.
std::map<std::string, trace::ReadFlow> LoadFlows(const std::string& config_path,
                                                 const std::string& content,
                                                 std::size_t& dropped);

// Says on standard error that the loader dropped `dropped` entries of
// `config_path`, pointing to validate; nothing when it dropped none.
void ReportDroppedEntries(const std::string& config_path, std::size_t dropped);

// Says on standard error, one line each, which entries of the flow files the
// loader dropped ("PATH:LINE:COLUMN: reason", from runs::LoadWatchedFlows).
void ReportDroppedFlowEntries(const std::vector<std::string>& dropped);

}  // namespace flows_tool
}  // namespace kelpwood

#endif  // KELPWOOD_TOOLS_FLOWS_LIBRARY_LOG_H_
