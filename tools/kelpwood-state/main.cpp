// kelpwood-state: reads, changes or waits for the device state from shell
// scripts and service units, following the same locking protocol as every
// other process of the device.
#include <fcntl.h>
#include <fmt/format.h>
#include <getopt.h>
#include <kelpwood/device_state.h>
#include <kelpwood/state_file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kExitDone = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStateFile = 3;

constexpr const char* kProgram = "kelpwood-state";

const char* const kCommands[] = {"get", "set", "wait"};

// The options that apply to one command only; the others apply to all.
struct CommandOption {
  const char* option;  // the long name
  const char* command;
};
const CommandOption kCommandOptions[] = {
    {"retry-for", "set"},
    {"timeout", "wait"},
    {"json", "get"},
};

// The longest single wait that the unbounded "wait" asks for; it repeats it.
constexpr milliseconds kUnboundedWaitSlice = std::chrono::hours(24);
// Longest accepted SECONDS, so that conversions never overflow.
constexpr double kMaxSeconds = 1e9;

void PrintHelp() {
  fmt::print(
      "Usage: {0} [--file PATH] get\n"
      "  or:  {0} [--file PATH] --json get\n"
      "  or:  {0} [--file PATH] set STATE [--retry-for SECONDS]\n"
      "  or:  {0} [--file PATH] wait STATE [--timeout SECONDS]\n"
      "Read, change or wait for the device state: one number from 0 to 255\n"
      "shared by every process of the device, kept in a state file and\n"
      "guarded by a lock, so that a script and a service never see half a\n"
      "change.\n"
      "\n"
      "Commands:\n"
      "  get                  print the state (0-255)\n"
      "  set STATE            change the state to STATE (0-255); fails at "
      "once\n"
      "                       while another process holds a lock on it\n"
      "  wait STATE           wait until the state is STATE (0-255)\n"
      "\n"
      "Options:\n"
      "  -f, --file PATH          use the state file PATH\n"
      "                             (default: {1})\n"
      "  -r, --retry-for SECONDS  set: while the state is locked, retry with\n"
      "                             backoff for up to SECONDS\n"
      "  -t, --timeout SECONDS    wait: give up after SECONDS (default: "
      "never)\n"
      "  -j, --json               get: print one JSON object instead of the\n"
      "                             bare number (see below)\n"
      "  -h, --help               display this help and exit\n"
      "  -V, --version            output version information and exit\n"
      "      --list-commands      list the commands, one per line (for\n"
      "                             completion)\n"
      "      --list-options [COMMAND]\n"
      "                           list the long options, or those that\n"
      "                             COMMAND takes, one per line (for\n"
      "                             completion)\n"
      "\n"
      "SECONDS may have a fractional part. A missing state file is created\n"
      "holding 0; its directory must exist. Options may come before or after\n"
      "the command.\n"
      "\n"
      "With --json, get prints one line: {{\"file\":PATH,\"state\":N}}, where\n"
      "PATH is a JSON string and N a number from 0 to 255. More members may\n"
      "be added later; existing ones keep their names and meaning.\n"
      "\n"
      "Examples:\n"
      "  {0} get\n"
      "      print the state\n"
      "  {0} set 3 --retry-for 2.5\n"
      "      change it to 3, retrying for up to 2.5 s while it is locked\n"
      "  {0} wait 5 --timeout 30 && echo ready\n"
      "      wait for state 5, for 30 seconds at most\n"
      "\n"
      "Exit status:\n"
      "  0  done\n"
      "  1  not done: the state stayed locked (set) or the timeout passed "
      "(wait)\n"
      "  2  usage error, or the output could not be written\n"
      "  3  the state file cannot be created, opened or read\n",
      kProgram, KELPWOOD_DEVICE_STATE_FILE);
}

// Thrown for a bad command line; main() turns it into exit status 2.
struct UsageError {
  std::string message;
};

// Thrown for --help and --version, which end the command line's reading.
struct EarlyExit {};

struct Arguments {
  std::string command;
  std::optional<int> state;
  std::string path = KELPWOOD_DEVICE_STATE_FILE;
  std::optional<milliseconds> retry_for;
  std::optional<milliseconds> timeout;
  bool json = false;
  std::vector<std::string> given;  // the long names of the options given
};

// Prints the long options that `command` takes ("" for all), as
// cli::PrintOptionList does.
void PrintOptions(const option* options, const std::string& command) {
  std::vector<option> taken;
  for (const option* row = options; row->name != nullptr; ++row) {
    const bool elsewhere = std::any_of(
        std::begin(kCommandOptions), std::end(kCommandOptions),
        [&](const CommandOption& only) {
          return !command.empty() && row->name == std::string(only.option) &&
                 command != only.command;
        });
    if (!elsewhere) taken.push_back(*row);
  }
  taken.push_back({nullptr, 0, nullptr, 0});
  kelpwood::cli::PrintOptionList(taken.data());
}

int ParseState(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > 255 ||
      !(text[0] >= '0' && text[0] <= '9')) {
    throw UsageError{"invalid state '" + text + "': expected 0 to 255"};
  }
  return static_cast<int>(value);
}

milliseconds ParseSeconds(const std::string& option, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
      seconds < 0 || seconds > kMaxSeconds ||
      !(text[0] == '.' || (text[0] >= '0' && text[0] <= '9'))) {
    throw UsageError{"invalid number of seconds for " + option + ": '" + text +
                     "'"};
  }
  return milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

Arguments ParseArguments(int argc, char** argv) {
  enum { kListCommands = 256, kListOptions };
  static const option kOptions[] = {
      {"file", required_argument, nullptr, 'f'},
      {"retry-for", required_argument, nullptr, 'r'},
      {"timeout", required_argument, nullptr, 't'},
      {"json", no_argument, nullptr, 'j'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {"list-commands", no_argument, nullptr, kListCommands},
      {"list-options", no_argument, nullptr, kListOptions},
      {nullptr, 0, nullptr, 0},
  };
  Arguments arguments;
  bool list_options = false;
  opterr = 0;
  for (int option, index = -1;
       (option = getopt_long(argc, argv, ":f:r:t:jhV", kOptions, &index)) != -1;
       index = -1) {
    if (option != '?' && option != ':') {
      // A short option leaves index alone: find its row by its value.
      if (index < 0) {
        for (index = 0; kOptions[index].val != option; ++index) {
        }
      }
      arguments.given.emplace_back(kOptions[index].name);
    }
    switch (option) {
      case kListCommands:
        for (const char* command : kCommands) fmt::print("{}\n", command);
        throw EarlyExit{};
      case kListOptions:
        list_options = true;
        break;
      case 'f':
        if (*optarg == '\0') throw UsageError{"empty path for --file"};
        arguments.path = optarg;
        break;
      case 'r':
        arguments.retry_for = ParseSeconds("--retry-for", optarg);
        break;
      case 't':
        arguments.timeout = ParseSeconds("--timeout", optarg);
        break;
      case 'j':
        arguments.json = true;
        break;
      case 'h':
        PrintHelp();
        throw EarlyExit{};
      case 'V':
        kelpwood::cli::PrintVersion();
        throw EarlyExit{};
      default:
        throw UsageError{kelpwood::cli::RefusedOption(option, argv)};
    }
  }
  const std::vector<std::string> operands(argv + optind, argv + argc);
  if (list_options && operands.empty()) {
    PrintOptions(kOptions, "");
    throw EarlyExit{};
  }
  if (operands.empty()) throw UsageError{"missing command"};
  arguments.command = operands[0];
  if (list_options && std::find(std::begin(kCommands), std::end(kCommands),
                                arguments.command) != std::end(kCommands)) {
    PrintOptions(kOptions, arguments.command);
    throw EarlyExit{};
  }
  if (arguments.command == "get") {
    if (operands.size() > 1) {
      throw UsageError{"extra operand '" + operands[1] + "'"};
    }
  } else if (arguments.command == "set" || arguments.command == "wait") {
    if (operands.size() < 2) {
      throw UsageError{"missing state after '" + arguments.command + "'"};
    }
    arguments.state = ParseState(operands[1]);
    if (operands.size() > 2) {
      throw UsageError{"extra operand '" + operands[2] + "'"};
    }
  } else {
    const std::string nearest = kelpwood::cli::Nearest(
        arguments.command, {std::begin(kCommands), std::end(kCommands)});
    throw UsageError{
        "unknown command '" + arguments.command + "'" +
        (nearest.empty() ? "" : "; did you mean '" + nearest + "'?")};
  }
  for (const CommandOption& only : kCommandOptions) {
    if (arguments.command != only.command &&
        std::find(arguments.given.begin(), arguments.given.end(),
                  only.option) != arguments.given.end()) {
      throw UsageError{
          fmt::format("--{} applies to '{}' only", only.option, only.command)};
    }
  }
  return arguments;
}

// What the system says about the state file, for a message that otherwise
// only names the library's operation: why it cannot be opened, or that it
// is empty. "" when nothing looks wrong.
std::string StateFileReason(const std::string& path) {
  const kelpwood::cli::UniqueFd fd(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    const int open_errno = errno;
    if (open_errno != ENOENT) return std::strerror(open_errno);
    // Missing: the reason it could not be created lies with its directory.
    const std::string::size_type slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : path.substr(0, slash + 1);
    if (::access(directory.c_str(), W_OK | X_OK) != 0) {
      return std::strerror(errno);
    }
    return std::strerror(open_errno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return std::strerror(errno);
  if (S_ISDIR(status.st_mode)) return std::strerror(EISDIR);
  if (S_ISREG(status.st_mode) && status.st_size == 0) {
    return "the file is empty";
  }
  return "";
}

device_state::State ToState(int byte) {
  return static_cast<device_state::State>(
      static_cast<std::int8_t>(static_cast<std::uint8_t>(byte)));
}

int Get(device_state::DeviceState& device, const Arguments& arguments) {
  const device_state::State state = device.LockAndReadState();
  device.ReleaseLock();
  const unsigned byte = static_cast<std::uint8_t>(state);
  if (arguments.json) {
    fmt::print("{{\"file\":{},\"state\":{}}}\n",
               kelpwood::cli::JsonString(arguments.path), byte);
  } else {
    fmt::print("{}\n", byte);
  }
  return kExitDone;
}

// True when a process other than this one holds any lock on the state byte.
// probe_fd must stay open until the process ends: closing it would drop the
// locks that this process holds on the file.
bool LockedByAnotherProcess(int probe_fd) {
  if (probe_fd == -1) return false;
  struct flock request = kelpwood::base::RecordLockRequest(F_WRLCK);
  if (::fcntl(probe_fd, F_GETLK, &request) == -1) return false;
  return request.l_type != F_UNLCK;
}

int Set(device_state::DeviceState& device, const Arguments& arguments) {
  // The probe lets retries wait quietly: the transition is tried only when no
  // other process seems to hold a lock, so a busy file does not cost one
  // stderr line from the file lock per attempt.
  const int probe_fd = ::open(arguments.path.c_str(), O_RDONLY | O_CLOEXEC);
  const steady_clock::time_point deadline =
      steady_clock::now() + arguments.retry_for.value_or(milliseconds::zero());
  std::minstd_rand random(static_cast<unsigned>(::getpid()));
  milliseconds backoff(1);
  for (;;) {
    device.LockAndReadState();
    const bool changed = !LockedByAnotherProcess(probe_fd) &&
                         device.TransitState(ToState(*arguments.state));
    // Released in every case: after a failed write the object may hold the
    // write lock, which only a release ends.
    device.ReleaseLock();
    if (changed) return kExitDone;
    const steady_clock::time_point now = steady_clock::now();
    if (now >= deadline) break;
    // Random backoff between half and all of the current step, so that
    // several retrying writers do not keep colliding.
    std::uniform_int_distribution<std::int64_t> pick(
        std::max<std::int64_t>(backoff.count() / 2, 1), backoff.count());
    const milliseconds pause =
        std::min<milliseconds>(milliseconds(pick(random)),
                               std::chrono::ceil<milliseconds>(deadline - now));
    std::this_thread::sleep_for(pause);
    backoff = std::min(backoff * 2, milliseconds(100));
  }
  kelpwood::cli::Error("{}: busy: another process holds a lock on the state",
                       arguments.path);
  return kExitNotDone;
}

int Wait(device_state::DeviceState& device, const Arguments& arguments) {
  const device_state::State wanted = ToState(*arguments.state);
  device.LockAndReadState();
  for (;;) {
    const milliseconds slice = arguments.timeout.value_or(kUnboundedWaitSlice);
    const steady_clock::time_point deadline = steady_clock::now() + slice;
    if (device.WaitForStateChangeFor(wanted, slice)) {
      device.ReleaseLock();
      return kExitDone;
    }
    // A false result before the deadline means the read lock could not be
    // taken again.
    if (steady_clock::now() < deadline) {
      kelpwood::cli::Error("{}: Unable to lock.", arguments.path);
      return kExitStateFile;
    }
    if (arguments.timeout) break;
  }
  device.ReleaseLock();
  kelpwood::cli::Error("timed out waiting for state {}", *arguments.state);
  return kExitNotDone;
}

int Run(int argc, char** argv) {
  Arguments arguments;
  try {
    arguments = ParseArguments(argc, argv);
  } catch (const UsageError& error) {
    return kelpwood::cli::UsageError(error.message);
  } catch (const EarlyExit&) {
    return kExitDone;
  }
  try {
    device_state::DeviceState device(arguments.path);
    if (arguments.command == "get") return Get(device, arguments);
    if (arguments.command == "set") return Set(device, arguments);
    return Wait(device, arguments);
  } catch (const std::exception& error) {
    // The library's message names the operation; the system's reason is
    // found afterwards, once the library has let go of the file.
    const std::string reason = StateFileReason(arguments.path);
    if (reason.empty()) {
      kelpwood::cli::Error("{}: {}", arguments.path, error.what());
    } else {
      kelpwood::cli::Error("{}: {} ({})", arguments.path, error.what(), reason);
    }
    return kExitStateFile;
  }
}

}  // namespace

int main(int argc, char** argv) {
  kelpwood::cli::SetProgramName(kProgram);
  return kelpwood::cli::FinishStdout(Run(argc, argv));
}
