// Shared command-line helpers for the tools of kelpwood_common_libs, so that
// every tool speaks in one style (the style of util-linux's flock(1)):
//
//   - options are parsed with getopt_long; errors read "PROG: message" on
//     standard error, and usage errors add
//     "Try 'PROG --help' for more information." and exit with kExitUsage;
//   - file errors name the system's reason (strerror);
//   - standard output is checked when the tool ends: a failed write (a full
//     disk, /dev/full, a closed pipe) is an error with exit status 2;
//   - "-" where a file is expected means standard input;
//   - --json output is built with JsonString() so that every text is escaped
//     the same way.
//
// A tool with several commands keeps them in a table of Command rows. Each
// command is a function `int NAME(int argc, char** argv)` in its own .cpp
// file: argv[0] is the command's name, the function parses its own options
// with getopt_long (RunCommand resets optind before the call) and returns
// the process exit status. Adding a command means adding one .cpp file and
// one row to the table; RunCommand takes care of unknown commands and
// suggests the nearest known one.

#ifndef KELPWOOD_TOOLS_COMMON_CLI_H_
#define KELPWOOD_TOOLS_COMMON_CLI_H_

#include <fmt/format.h>
#include <getopt.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/posix_file.h"

namespace kelpwood {
namespace cli {

// Exit statuses shared by the tools. A tool may give 1 and 3 a more precise
// meaning in its help text; 2 is always a usage error or a file trouble.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Sets the program name used by every message below. Call first in main().
void SetProgramName(const char* name) noexcept;
// The name set by SetProgramName, or "kelpwood" before it.
const char* ProgramName() noexcept;

// Writes "PROG: message\n" to standard error.
void PrintError(std::string_view message);

template <typename... Args>
void Error(fmt::format_string<Args...> format, Args&&... args) {
  PrintError(fmt::format(format, std::forward<Args>(args)...));
}

// Writes "PROG: message" and the "Try 'PROG --help'..." line to standard
// error; returns kExitUsage so that a caller can `return UsageError(...)`.
int UsageError(std::string_view message);

// The message for the option that getopt_long just refused by returning
// `code` ('?' unknown, ':' missing argument): "unrecognized option '--x'",
// "option '--file' requires an argument"... Reads optind and optopt.
// REQUIRES: opterr was 0 and the option string started with ":" (after an
// optional "+").
std::string RefusedOption(int code, char** argv);

// Prints "PROG VERSION" (the library's version) to standard output.
void PrintVersion();

// Flushes standard output and closes its descriptor. Returns `status` when
// everything written reached its destination; otherwise reports
// "PROG: write error: REASON" and returns kExitUsage.
int FinishStdout(int status);

// Levenshtein distance between two texts, in bytes.
std::size_t EditDistance(std::string_view from, std::string_view to);

// The candidate closest to `word` if it is close enough to be a typo (at
// most a third of the word's letters wrong, never more than three), else "".
std::string Nearest(std::string_view word,
                    const std::vector<std::string>& candidates);

// `text` as a JSON string literal, quotes included: ", \ and control
// characters are escaped; bytes that are not valid UTF-8 become U+FFFD so
// that the output always parses.
std::string JsonString(std::string_view text);

// `text` safe for a one-line terminal report: control characters (newline,
// ESC, NUL...) and DEL are shown as \n, \t, \r or \xHH and a backslash as
// \\, so that a file cannot move the cursor or break the FILE:LINE:COL form.
std::string EscapeControls(std::string_view text);

// The most that ReadInput reads, and its reason for a longer input.
inline constexpr std::size_t kInputLimit = std::size_t{64} << 20;
inline constexpr char kInputTooLarge[] = "too large (more than 64 MiB)";

// Reads the whole of `path`, or standard input when `path` is "-", up to
// kInputLimit bytes. A path must name a regular file: a FIFO or a device is
// refused without blocking. On failure returns false with the reason in
// `error` (strerror's text, "is a directory", "not a regular file",
// kInputTooLarge) and `content` empty.
bool ReadInput(const std::string& path, std::string& content,
               std::string& error);

// The library's descriptor owner, for the descriptors the tools open.
using UniqueFd = base::UniqueFd;

// One row of a command table.
struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

// Finds argv[0] in `commands` and runs it with optind reset. An unknown
// name is a usage error, with "did you mean 'NAME'?" when one is close.
int RunCommand(const std::vector<Command>& commands, int argc, char** argv);

// Prints the long options of `longopts` (ended by a zero row) to standard
// output, one per line, for completion scripts and tests: "--name", or
// "--name=" when it takes an argument, "--name[=]" when one is optional.
void PrintOptionList(const option* longopts);

// getopt_long, for commands: the same arguments and results, except inside
// ListCommandOptions, where the first call prints the command's option table
// with PrintOptionList and ends the command. Commands read their options
// with it so that their completion and tests come from their own table.
int GetoptLong(int argc, char* const* argv, const char* shortopts,
               const option* longopts, int* longindex = nullptr);

// Prints the long options of the command `name` of `commands`, as its own
// GetoptLong call sees them, without running it. Returns the exit status:
// 2 for an unknown command or one that does not read its options through
// GetoptLong.
int ListCommandOptions(const std::vector<Command>& commands, const char* name);

// Prints `rows` as a table on standard output: each column as wide as its
// widest cell, two blanks between columns, the last column unpadded.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

}  // namespace cli
}  // namespace kelpwood

#endif  // KELPWOOD_TOOLS_COMMON_CLI_H_
