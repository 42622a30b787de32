// Runs a program in a child process with an exact environment and collects
// what it writes to standard output and standard error.

#ifndef KELPWOOD_TESTS_LOGGER_CHILD_PROCESS_H_
#define KELPWOOD_TESTS_LOGGER_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelpwood_test {

struct ChildResult {
  pid_t pid = -1;
  // The wait status as waitpid() reports it, or -1 if the child never ran.
  int status = -1;
  std::string standard_output;
  std::string standard_error;

  // True when the child exited by itself with status 0.
  bool ExitedCleanly() const;
};

// Starts `program` with `arguments` (argv[1]...) and exactly `environment`
// ("NAME=VALUE" entries, nothing inherited), reads both output streams to
// their end and waits for the child. Blocks until the child has exited.
ChildResult RunChild(const std::string& program,
                     const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment);

// `environment` plus the sanitizer option variables of this process
// (ASAN_OPTIONS and its kind), so a sanitized child reports as its parent does.
std::vector<std::string> WithSanitizerOptions(
    std::vector<std::string> environment);

}  // namespace kelpwood_test

#endif  // KELPWOOD_TESTS_LOGGER_CHILD_PROCESS_H_
