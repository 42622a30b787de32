// A private temporary directory for tests that need real files.

#ifndef KELPWOOD_TESTS_SUPPORT_TEMP_DIR_H_
#define KELPWOOD_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>
#include <vector>

namespace kelpwood {
namespace testing {

// A directory made with mkdtemp under `base` (the system's temporary
// directory when empty) and removed, with its content, on destruction.
// Throws std::runtime_error when it cannot be made.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the directory; creates nothing.
  std::string File(const std::string& name) const;
  // Writes `content` to the file `name` in the directory; returns its path.
  std::string WriteFile(const std::string& name,
                        const std::string& content) const;
  // The whole content of the file `name` in the directory, or "<missing>"
  // when it cannot be read.
  std::string ReadFile(const std::string& name) const;
  // Names of the entries, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_SUPPORT_TEMP_DIR_H_
