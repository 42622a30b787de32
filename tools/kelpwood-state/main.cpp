// kelpwood-state: reads, changes or waits for the device state from shell
// scripts and service units, following the same locking protocol as every
// other process of the device.
#include <fcntl.h>
#include <kelpwood/device_state.h>
#include <kelpwood/state_file.h>
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

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kExitDone = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStateFile = 3;

constexpr const char* kProgram = "kelpwood-state";

// The longest single wait that the unbounded "wait" asks for; it repeats it.
constexpr milliseconds kUnboundedWaitSlice = std::chrono::hours(24);
// Longest accepted SECONDS, so that conversions never overflow.
constexpr double kMaxSeconds = 1e9;

void PrintHelp() {
  std::printf(
      "Usage: %s [--file PATH] get\n"
      "  or:  %s [--file PATH] set STATE [--retry-for SECONDS]\n"
      "  or:  %s [--file PATH] wait STATE [--timeout SECONDS]\n"
      "Read, change or wait for the device state: one byte shared by every\n"
      "process of the device, kept in a state file under a record lock.\n"
      "\n"
      "Commands:\n"
      "  get                  print the state (0-255)\n"
      "  set STATE            change the state to STATE (0-255); fails at "
      "once\n"
      "                         while another process holds a lock on it\n"
      "  wait STATE           wait until the state is STATE (0-255)\n"
      "\n"
      "Options:\n"
      "  -f, --file PATH          use the state file PATH\n"
      "                             (default: %s)\n"
      "  -r, --retry-for SECONDS  set: while the state is locked, retry with\n"
      "                             backoff for up to SECONDS\n"
      "  -t, --timeout SECONDS    wait: give up after SECONDS (default: "
      "never)\n"
      "  -h, --help               display this help and exit\n"
      "\n"
      "SECONDS may have a fractional part. A missing state file is created\n"
      "holding 0; its directory must exist. Options may come before or after\n"
      "the command.\n"
      "\n"
      "Exit status:\n"
      "  0  done\n"
      "  1  not done: the state stayed locked (set) or the timeout passed "
      "(wait)\n"
      "  2  usage error\n"
      "  3  the state file cannot be created, opened or read\n",
      kProgram, kProgram, kProgram, KELPWOOD_DEVICE_STATE_FILE);
}

// Thrown for a bad command line; main() turns it into exit status 2.
struct UsageError {
  std::string message;
};

struct Arguments {
  std::string command;
  std::optional<int> state;
  std::string path = KELPWOOD_DEVICE_STATE_FILE;
  std::optional<milliseconds> retry_for;
  std::optional<milliseconds> timeout;
  bool help = false;
};

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
  Arguments arguments;
  std::string positional[2];
  int positional_count = 0;
  bool options_ended = false;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    if (!options_ended && argument.size() > 1 && argument[0] == '-') {
      if (argument == "--") {
        options_ended = true;
        continue;
      }
      if (argument == "-h" || argument == "--help") {
        arguments.help = true;
        continue;
      }
      // Options with a value: "--name VALUE", "--name=VALUE" or "-n VALUE".
      std::string name = argument;
      std::optional<std::string> value;
      const size_t equals = argument.find('=');
      if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
        name = argument.substr(0, equals);
        value = argument.substr(equals + 1);
      }
      if (name == "-f") name = "--file";
      if (name == "-r") name = "--retry-for";
      if (name == "-t") name = "--timeout";
      if (name != "--file" && name != "--retry-for" && name != "--timeout") {
        throw UsageError{"unrecognized option '" + argument + "'"};
      }
      if (!value) {
        if (index + 1 >= argc) {
          throw UsageError{"option '" + name + "' requires an argument"};
        }
        value = argv[++index];
      }
      if (name == "--file") {
        if (value->empty()) throw UsageError{"empty path for --file"};
        arguments.path = *value;
      } else if (name == "--retry-for") {
        arguments.retry_for = ParseSeconds(name, *value);
      } else {
        arguments.timeout = ParseSeconds(name, *value);
      }
      continue;
    }
    if (positional_count == 2) {
      throw UsageError{"extra operand '" + argument + "'"};
    }
    positional[positional_count++] = argument;
  }
  if (arguments.help) return arguments;

  if (positional_count == 0) throw UsageError{"missing command"};
  arguments.command = positional[0];
  if (arguments.command == "get") {
    if (positional_count > 1) {
      throw UsageError{"extra operand '" + positional[1] + "'"};
    }
  } else if (arguments.command == "set" || arguments.command == "wait") {
    if (positional_count < 2) {
      throw UsageError{"missing state after '" + arguments.command + "'"};
    }
    arguments.state = ParseState(positional[1]);
  } else {
    throw UsageError{"unknown command '" + arguments.command + "'"};
  }
  if (arguments.retry_for && arguments.command != "set") {
    throw UsageError{"--retry-for applies to 'set' only"};
  }
  if (arguments.timeout && arguments.command != "wait") {
    throw UsageError{"--timeout applies to 'wait' only"};
  }
  return arguments;
}

device_state::State ToState(int byte) {
  return static_cast<device_state::State>(
      static_cast<std::int8_t>(static_cast<std::uint8_t>(byte)));
}

int Get(device_state::DeviceState& device) {
  const device_state::State state = device.LockAndReadState();
  device.ReleaseLock();
  std::printf("%u\n", static_cast<unsigned>(static_cast<std::uint8_t>(state)));
  return kExitDone;
}

// True when a process other than this one holds any lock on the state byte.
// probe_fd must stay open until the process ends: closing it would drop the
// locks that this process holds on the file.
bool LockedByAnotherProcess(int probe_fd) {
  if (probe_fd == -1) return false;
  struct flock request;
  std::memset(&request, 0, sizeof request);
  request.l_type = F_WRLCK;
  request.l_whence = SEEK_SET;
  request.l_start = 0;
  request.l_len = 1;
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
  std::fprintf(stderr,
               "%s: %s: busy: another process holds a lock on the state\n",
               kProgram, arguments.path.c_str());
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
      std::fprintf(stderr, "%s: %s: Unable to lock.\n", kProgram,
                   arguments.path.c_str());
      return kExitStateFile;
    }
    if (arguments.timeout) break;
  }
  device.ReleaseLock();
  std::fprintf(stderr, "%s: timed out waiting for state %d\n", kProgram,
               *arguments.state);
  return kExitNotDone;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  try {
    arguments = ParseArguments(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n",
                 kProgram, error.message.c_str(), kProgram);
    return kExitUsage;
  }
  if (arguments.help) {
    PrintHelp();
    return kExitDone;
  }
  try {
    device_state::DeviceState device(arguments.path);
    if (arguments.command == "get") return Get(device);
    if (arguments.command == "set") return Set(device, arguments);
    return Wait(device, arguments);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, arguments.path.c_str(),
                 error.what());
    return kExitStateFile;
  }
}
