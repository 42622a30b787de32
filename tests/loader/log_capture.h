// Test support for the flow configuration tests: captures every message of
// the library's logger and offers small views of the registry that are built
// only from its public operations.

#ifndef KELPWOOD_TESTS_LOADER_LOG_CAPTURE_H_
#define KELPWOOD_TESTS_LOADER_LOG_CAPTURE_H_

#include <string>
#include <vector>

namespace kelpwood {
namespace testing {

// Messages logged since the previous call, oldest first, each from its level
// tag on ("[ERROR] No workflows configuration found"): the counter in front of
// the tag depends on everything logged before and is cut off.
std::vector<std::string> TakeLogLines();

// Absolute path of a file under tests/data.
std::string DataPath(const std::string& name);

// The configured chain that CheckFlow logs for `flow_id` ("<a> -> [b]"), or
// "NOT FOUND" when the registry has no such flow. Leaves no log lines behind.
std::string ConfiguredChain(const std::string& flow_id);

// Whether the flow has a queue, that is, accepts trace points. Leaves no log
// lines behind.
bool HasQueue(const std::string& flow_id);

// A directory made with mkdtemp and removed, with its content, on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes `content` to a new file in the directory; returns its path.
  std::string WriteFile(const std::string& name,
                        const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_LOADER_LOG_CAPTURE_H_
