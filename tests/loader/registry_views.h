// Views of the flow registry for the configuration tests, built only from the
// registry's public operations and the captured log, and the test data.

#ifndef KELPWOOD_TESTS_LOADER_REGISTRY_VIEWS_H_
#define KELPWOOD_TESTS_LOADER_REGISTRY_VIEWS_H_

#include <string>
#include <vector>

namespace kelpwood {
namespace testing {

// Absolute path of a file under tests/data.
std::string DataPath(const std::string& name);

// The lines that parsing the flow of tests/data/example.yaml logs.
std::vector<std::string> ExampleFlowLines();

// The configured chain that CheckFlow logs for `flow_id` ("<a> -> [b]"), or
// "NOT FOUND" when the registry has no such flow. Leaves no log lines behind.
std::string ConfiguredChain(const std::string& flow_id);

// Whether the flow has a queue, that is, accepts trace points. Leaves no log
// lines behind.
bool HasQueue(const std::string& flow_id);

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_LOADER_REGISTRY_VIEWS_H_
