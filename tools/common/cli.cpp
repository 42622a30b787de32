#include "cli.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <getopt.h>
#include <kelpwood/version.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/utf8.h"

namespace kelpwood {
namespace cli {
namespace {

const char* program_name = "kelpwood";

using base::Utf8SequenceLength;

}  // namespace

void SetProgramName(const char* name) noexcept { program_name = name; }

const char* ProgramName() noexcept { return program_name; }

void PrintError(std::string_view message) {
  // One write per message, so that messages of concurrent tools do not mix.
  std::string line = fmt::format("{}: {}\n", program_name, message);
  std::fwrite(line.data(), 1, line.size(), stderr);
}

int UsageError(std::string_view message) {
  PrintError(fmt::format("{}\nTry '{} --help' for more information.", message,
                         program_name));
  return kExitUsage;
}

std::string RefusedOption(int code, char** argv) {
  const char* argument = optind > 0 ? argv[optind - 1] : "";
  const bool long_option = std::strncmp(argument, "--", 2) == 0;
  std::string name = argument;
  if (long_option) name = name.substr(0, name.find('='));
  if (code == ':') {
    return long_option ? fmt::format("option '{}' requires an argument", name)
                       : fmt::format("option requires an argument -- '{}'",
                                     static_cast<char>(optopt));
  }
  if (long_option && optopt != 0) {
    return fmt::format("option '{}' doesn't allow an argument", name);
  }
  if (long_option) return fmt::format("unrecognized option '{}'", name);
  return fmt::format("unrecognized option '-{}'", static_cast<char>(optopt));
}

void PrintVersion() { fmt::print("{} {}\n", program_name, Version()); }

int FinishStdout(int status) {
  // As coreutils' close_stdout: a write that failed while buffered shows up
  // as the stream's error flag or as the final flush's failure, and some
  // file systems report it only when the descriptor is closed. The FILE
  // itself stays open, so that a library flushing it at exit finds a valid
  // (empty) stream rather than a closed one.
  errno = 0;
  const bool flush_failed = std::fflush(stdout) != 0;
  int reason = flush_failed ? errno : 0;
  const bool had_error = std::ferror(stdout) != 0;
  bool close_failed = false;
  if (!flush_failed && !had_error && ::close(STDOUT_FILENO) != 0 &&
      errno != EBADF) {
    close_failed = true;
    reason = errno;
  }
  if (!flush_failed && !had_error && !close_failed) return status;
  if (reason != 0) {
    Error("write error: {}", std::strerror(reason));
  } else {
    PrintError("write error");
  }
  return kExitUsage;
}

std::size_t EditDistance(std::string_view from, std::string_view to) {
  std::vector<std::size_t> row(to.size() + 1);
  for (std::size_t j = 0; j <= to.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= from.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= to.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t cost = from[i - 1] == to[j - 1] ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
      diagonal = above;
    }
  }
  return row[to.size()];
}

std::string Nearest(std::string_view word,
                    const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t best_distance = 0;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = EditDistance(word, candidate);
    if (best.empty() || distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  const std::size_t limit = std::min<std::size_t>(3, (word.size() + 2) / 3);
  return best_distance <= limit ? best : std::string();
}

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  json.reserve(text.size() + 2);
  for (std::size_t index = 0; index < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[index]);
    switch (byte) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      case '\b':
        json += "\\b";
        break;
      case '\f':
        json += "\\f";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          json += fmt::format("\\u{:04x}", byte);
        } else if (byte < 0x80) {
          json += static_cast<char>(byte);
        } else if (const std::size_t length =
                       Utf8SequenceLength(text.substr(index))) {
          json.append(text.substr(index, length));
          index += length;
          continue;
        } else {
          json += "\\ufffd";
        }
    }
    ++index;
  }
  json += '"';
  return json;
}

std::string EscapeControls(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char character : text) {
    const unsigned char byte = static_cast<unsigned char>(character);
    if (character == '\\') {
      escaped += "\\\\";
    } else if (character == '\n') {
      escaped += "\\n";
    } else if (character == '\t') {
      escaped += "\\t";
    } else if (character == '\r') {
      escaped += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      escaped += fmt::format("\\x{:02x}", byte);
    } else {
      escaped += character;
    }
  }
  return escaped;
}

namespace {

// Appends what is left on `fd` to `content`, at most kInputLimit bytes in
// all. Returns false with `error` set on a failed read or a longer input.
bool ReadBounded(int fd, std::string& content, std::string& error) {
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = base::RetryOnInterrupt(
        [&] { return ::read(fd, buffer, sizeof buffer); });
    if (count == 0) return true;
    if (count < 0) {
      error = std::strerror(errno);
      return false;
    }
    if (content.size() + static_cast<std::size_t>(count) > kInputLimit) {
      error = kInputTooLarge;
      content.clear();
      return false;
    }
    content.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace

bool ReadInput(const std::string& path, std::string& content,
               std::string& error) {
  content.clear();
  if (path == "-") return ReadBounded(STDIN_FILENO, content, error);
  // As base::ReadRegularFile: opened without blocking, judged on the open
  // descriptor; and refused before reading when already too large.
  UniqueFd fd(base::RetryOnInterrupt([&] {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  }));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    base::FileReadFailure failure;
    failure.step = base::FileReadFailure::Step::kNotRegular;
    failure.mode = static_cast<mode_t>(status.st_mode & S_IFMT);
    error = failure.Reason();
    return false;
  }
  if (static_cast<std::uint64_t>(status.st_size) > kInputLimit) {
    error = kInputTooLarge;
    return false;
  }
  return ReadBounded(fd.get(), content, error);
}

int RunCommand(const std::vector<Command>& commands, int argc, char** argv) {
  const std::string name = argv[0];
  std::vector<std::string> names;
  for (const Command& command : commands) {
    if (name == command.name) {
      optind = 0;  // 0, not 1: glibc then also forgets a half-read "-xyz"
      return command.run(argc, argv);
    }
    names.emplace_back(command.name);
  }
  const std::string nearest = Nearest(name, names);
  if (nearest.empty()) {
    return UsageError(fmt::format("unknown command '{}'", name));
  }
  return UsageError(
      fmt::format("unknown command '{}'; did you mean '{}'?", name, nearest));
}

void PrintOptionList(const option* longopts) {
  for (const option* row = longopts; row->name != nullptr; ++row) {
    const char* suffix = row->has_arg == required_argument   ? "="
                         : row->has_arg == optional_argument ? "[=]"
                                                             : "";
    fmt::print("--{}{}\n", row->name, suffix);
  }
}

namespace {

// Set while ListCommandOptions runs a command.
bool listing_options = false;

// Thrown by GetoptLong once it has listed a command's options.
struct OptionsListed {};

}  // namespace

int GetoptLong(int argc, char* const* argv, const char* shortopts,
               const option* longopts, int* longindex) {
  if (listing_options) {
    listing_options = false;
    PrintOptionList(longopts);
    throw OptionsListed{};
  }
  return getopt_long(argc, argv, shortopts, longopts, longindex);
}

int ListCommandOptions(const std::vector<Command>& commands, const char* name) {
  std::string command = name;
  // A command that reads its options otherwise refuses this one (on
  // standard error) instead of running on no operands.
  std::string refused = "--list-options";
  char* argv[] = {command.data(), refused.data(), nullptr};
  const bool known =
      std::any_of(commands.begin(), commands.end(),
                  [&](const Command& row) { return command == row.name; });
  if (!known) return RunCommand(commands, 1, argv);  // the usual refusal
  listing_options = true;
  try {
    RunCommand(commands, 2, argv);
  } catch (const OptionsListed&) {
    return kExitSuccess;
  }
  listing_options = false;
  Error(
      "{}: its options are not read with cli::GetoptLong, so they cannot "
      "be listed",
      command);
  return kExitUsage;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size()) {
        line.append(widths[column] - row[column].size() + 2, ' ');
      }
    }
    fmt::print("{}\n", line);
  }
}

}  // namespace cli
}  // namespace kelpwood
