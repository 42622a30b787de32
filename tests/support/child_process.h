// Child processes for tests: a program started with posix_spawn and an exact
// environment, or a function run in a forked copy of the test. Both outputs
// are captured in memory files, so a child never stalls on a full pipe, and
// every wait has a deadline after which the child is killed.

#ifndef KELPWOOD_TESTS_SUPPORT_CHILD_PROCESS_H_
#define KELPWOOD_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kelpwood {
namespace testing {

// How a child ended and what it wrote.
struct ChildResult {
  pid_t pid = -1;
  // The wait status as waitpid() reports it, or -1 if the child never ran.
  int status = -1;
  // True when the child was killed at its deadline.
  bool timed_out = false;
  std::string standard_output;
  std::string standard_error;
  // RunInChild only: the body's result, or what it threw.
  std::string report;

  // True when the child exited by itself with status 0.
  bool ExitedCleanly() const;
  // Its exit status, 128 + the signal when a signal ended it, -1 otherwise.
  int ExitCode() const;
  // RunInChild: the body returned an empty report and the child exited 0.
  bool Succeeded() const;
};

struct ChildOptions {
  // Where the child starts; empty: this process's working directory.
  std::string working_directory;
  // Opened as the child's standard input.
  std::string standard_input = "/dev/null";
  // Opened (write-only, created, truncated) as the child's standard output;
  // empty: captured into ChildResult::standard_output.
  std::string standard_output_path;
  // The child is killed with SIGKILL when it runs longer.
  std::chrono::milliseconds deadline{std::chrono::seconds(30)};
};

// A program running as a child of this process. The destructor kills and
// reaps a child that Wait() has not collected.
class ChildProcess {
 public:
  // Starts `program` with `arguments` (argv[1]...) and exactly `environment`
  // ("NAME=VALUE" entries, nothing inherited). A failed start shows as a
  // result with status -1 and the reason in standard_error.
  ChildProcess(const std::string& program,
               const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment,
               const ChildOptions& options = ChildOptions());
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child until the deadline (counted from the start), kills
  // it then, and returns how it ended. Later calls return the same result.
  const ChildResult& Wait();

 private:
  pid_t pid_ = -1;
  int output_fd_ = -1;
  int error_fd_ = -1;
  std::chrono::steady_clock::time_point deadline_;
  bool collected_ = false;
  ChildResult result_;
};

// Starts a ChildProcess and waits for it.
ChildResult RunChild(const std::string& program,
                     const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment,
                     const ChildOptions& options = ChildOptions());

// `environment` plus the sanitizer option variables of this process
// (ASAN_OPTIONS and its kind), so a sanitized child reports as its parent does.
std::vector<std::string> WithSanitizerOptions(
    std::vector<std::string> environment);

// Runs `body` in a forked child. The report is body's result, or
// "exception: <what>" when it throws; the child exits 0 with an empty report,
// 1 otherwise. Killed at `deadline`.
ChildResult RunInChild(
    const std::function<std::string()>& body,
    std::chrono::milliseconds deadline = std::chrono::seconds(30));

// Waits for the already forked child `pid` for at most `limit`, then kills
// it. Returns its wait status, or -1 when it had to be killed or was lost.
int WaitOrKill(pid_t pid, std::chrono::milliseconds limit);

}  // namespace testing
}  // namespace kelpwood

#endif  // KELPWOOD_TESTS_SUPPORT_CHILD_PROCESS_H_
