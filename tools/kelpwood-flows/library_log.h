// The library's log as kelpwood-flows sees it: kept off the report unless the
// user asks for it, but always captured so that a finding can quote the
// loader's own reason.

#ifndef KELPWOOD_TOOLS_FLOWS_LIBRARY_LOG_H_
#define KELPWOOD_TOOLS_FLOWS_LIBRARY_LOG_H_

#include <cstddef>
#include <string>
#include <vector>

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

// Loads the configuration at `load_path` into the registry with Init and, if
// the loader reported errors, says how many on standard error, naming the
// file as the user gave it (`config_path`) and pointing to validate.
// Returns the number of errors the loader reported.
std::size_t LoadConfiguration(const std::string& config_path,
                              const std::string& load_path);

}  // namespace flows_tool
}  // namespace kelpwood

#endif  // KELPWOOD_TOOLS_FLOWS_LIBRARY_LOG_H_
