// Every system call of the device-state operations fails in turn, at every
// call site, with each of several errors. After each fault the operation
// reports its documented error, no descriptor and no temporary file is left,
// and the state byte is the old or the new value: exactly the one expected.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kelpwood/device_state.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/posix_file.h"
#include "fault_shim.h"
#include "test_support.h"

namespace {

using device_state::DeviceState;
using device_state::State;
using device_state_test::ReadBytes;
using device_state_test::StderrCapture;
using device_state_test::TempDir;
using device_state_test::WriteBytes;

// Open descriptors of this process.
int OpenDescriptorCount() {
  int count = 0;
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(directory);
  return count - 1;  // the directory stream's own
}

std::string ReplaceAll(std::string text, const std::string& from,
                       const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct Fixture {
  std::string path;
  std::unique_ptr<DeviceState> device;
};

// One call site of an operation: the call as recorded, what the operation
// reports when that call fails, and the file's content afterwards.
struct Site {
  const char* call;
  const char* outcome;
  const char* content;
};

struct Operation {
  const char* name;
  // The file's content before, "<missing>" for none.
  const char* initial;
  // Runs before arming: makes and locks the object the operation needs.
  void (*prepare)(Fixture&);
  // The operation itself; returns its result as text.
  std::string (*act)(Fixture&);
  // Result and content when nothing fails, then every call site in order.
  const char* clean_outcome;
  const char* clean_content;
  std::vector<Site> sites;
};

void PrintTo(const Operation& operation, std::ostream* stream) {
  *stream << operation.name;
}

template <typename Action>
std::string Reported(Action action) {
  try {
    return action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
}

void Nothing(Fixture&) {}
void Open(Fixture& fixture) {
  fixture.device = std::make_unique<DeviceState>(fixture.path);
}
void OpenAndLock(Fixture& fixture) {
  Open(fixture);
  fixture.device->LockAndReadState();
}

std::string Construct(Fixture& fixture) {
  return Reported([&] {
    Open(fixture);
    return std::string("opened");
  });
}
std::string LockAndRead(Fixture& fixture) {
  return Reported([&] {
    return "state " +
           std::to_string(static_cast<int>(fixture.device->LockAndReadState()));
  });
}
std::string Transit(Fixture& fixture) {
  return fixture.device->TransitState(State{10}) ? "true" : "false";
}
std::string WaitForCurrent(Fixture& fixture) {
  return Reported([&] {
    return std::string(fixture.device->WaitForStateChange(State{9}) ? "true"
                                                                    : "false");
  });
}
std::string WaitBriefly(Fixture& fixture) {
  return Reported([&] {
    return std::string(fixture.device->WaitForStateChangeFor(
                           State{10}, std::chrono::milliseconds(30))
                           ? "true"
                           : "false");
  });
}
std::string Release(Fixture& fixture) {
  fixture.device->ReleaseLock();
  return "released";
}
std::string Destroy(Fixture& fixture) {
  fixture.device.reset();
  return "destroyed";
}

const char kNine[] = "\x09";
const char kTen[] = "\x0a";
const char kZero[] = "";  // one NUL byte: see Content()

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"CreateMissingFile",
       "<missing>",
       Nothing,
       Construct,
       "opened",
       kZero,
       {{"mkostemp", "Unable to create the lock file.", "<missing>"},
        {"write", "Unable to init state.", "<missing>"},
        {"fsync", "Unable to init state.", "<missing>"},
        {"link", "Unable to create the lock file.", "<missing>"},
        {"open directory", "Unable to create the lock file.", kZero},
        {"fsync", "Unable to create the lock file.", kZero},
        {"open", "Unable to open the lock file.", kZero},
        {"fcntl F_SETFL", "Unable to open the lock file.", kZero}}},
      {"OpenExistingFile",
       kNine,
       Nothing,
       Construct,
       "opened",
       kNine,
       {{"open", "Unable to open the lock file.", kNine},
        {"fcntl F_SETFL", "Unable to open the lock file.", kNine}}},
      {"LockAndReadState",
       kNine,
       Open,
       LockAndRead,
       "state 9",
       kNine,
       {{"fcntl F_SETLKW",
         "Unable to lock. | Failed to acquire read lock: <path>\n", kNine},
        {"lseek", "Unable to get state from lock file.", kNine},
        {"read", "Unable to get state from lock file.", kNine}}},
      {"TransitState",
       kNine,
       OpenAndLock,
       Transit,
       "true",
       kTen,
       {{"fcntl F_SETLK", "false | Failed to upgrade to write lock: <path>\n",
         kNine},
        {"lseek", "false", kNine},
        {"write", "false", kNine},
        {"fcntl F_SETLKW",
         "false | Failed to downupgrade to read lock: <path>\n", kTen}}},
      {"WaitForStateChange",
       kNine,
       OpenAndLock,
       WaitForCurrent,
       "true",
       kNine,
       {{"lseek", "Unable to get state from lock file.", kNine},
        {"read", "Unable to get state from lock file.", kNine}}},
      // Inotify and the unlock are best effort: their failures change how the
      // wait watches, not what it returns.
      {"WaitForStateChangeFor",
       kNine,
       OpenAndLock,
       WaitBriefly,
       "false",
       kNine,
       {{"inotify_init1", "false", kNine},
        {"inotify_add_watch", "false", kNine},
        {"read", "false", kNine},
        {"lseek", "Unable to get state from lock file.", kNine},
        {"read", "Unable to get state from lock file.", kNine},
        {"fcntl F_SETLK", "false", kNine},
        {"fcntl F_SETLKW", "false | Failed to acquire read lock: <path>\n",
         kNine},
        {"lseek", "Unable to get state from lock file.", kNine},
        {"read", "Unable to get state from lock file.", kNine}}},
      {"ReleaseLock",
       kNine,
       OpenAndLock,
       Release,
       "released",
       kNine,
       {{"fcntl F_SETLK", "released", kNine}}},
      {"Destroy",
       kNine,
       OpenAndLock,
       Destroy,
       "destroyed",
       kNine,
       {{"fcntl F_SETLK", "destroyed", kNine}}},
  };
  return operations;
}

// kZero stands for the single byte 0, which a C string cannot hold.
std::string Content(const char* content) {
  return content == kZero ? std::string(1, '\0') : std::string(content);
}

struct Trial {
  std::string outcome;  // result, then " | " and standard error if any
  std::string content;
  std::vector<std::string> calls;
  std::vector<std::string> entries;
  int leaked_descriptors = 0;
};

Trial RunWithFault(const Operation& operation, int fail_at, int error) {
  Trial trial;
  const int descriptors_before = OpenDescriptorCount();
  {
    TempDir dir;
    Fixture fixture{dir.File("device_state"), nullptr};
    if (std::string(operation.initial) != "<missing>") {
      WriteBytes(fixture.path, operation.initial);
    }
    operation.prepare(fixture);
    StderrCapture capture;
    kelpwood_fault_arm(fail_at, error);
    trial.outcome = operation.act(fixture);
    const int calls = kelpwood_fault_disarm();
    const std::string lines = capture.Finish();
    if (!lines.empty()) {
      trial.outcome += " | " + ReplaceAll(lines, fixture.path, "<path>");
    }
    for (int index = 0; index < calls; ++index) {
      trial.calls.push_back(kelpwood_fault_call(index));
    }
    fixture.device.reset();
    trial.content = ReadBytes(fixture.path);
    trial.entries = dir.Entries();
  }
  trial.leaked_descriptors = OpenDescriptorCount() - descriptors_before;
  return trial;
}

std::string ContentName(const std::string& content) {
  if (content == "<missing>") return content;
  std::string name;
  for (const char byte : content) {
    name += (name.empty() ? "" : " ") +
            std::to_string(static_cast<unsigned char>(byte));
  }
  return "bytes [" + name + "]";
}

class FaultInjectionTest : public ::testing::TestWithParam<Operation> {};

TEST_P(FaultInjectionTest, CleanRunMakesExactlyTheListedCalls) {
  const Operation& operation = GetParam();
  const Trial trial = RunWithFault(operation, -1, 0);
  std::vector<std::string> listed;
  for (const Site& site : operation.sites) listed.push_back(site.call);
  EXPECT_EQ(trial.calls, listed);
  EXPECT_EQ(trial.outcome, operation.clean_outcome);
  EXPECT_EQ(ContentName(trial.content),
            ContentName(Content(operation.clean_content)));
  EXPECT_EQ(trial.leaked_descriptors, 0);
}

TEST_P(FaultInjectionTest, EveryFailingCallIsReportedAndLeavesNothing) {
  const Operation& operation = GetParam();
  const struct {
    int error;
    const char* name;
  } errors[] = {{EIO, "EIO"},
                {ENOSPC, "ENOSPC"},
                {EMFILE, "EMFILE"},
                {EINTR, "EINTR"},
                {EACCES, "EACCES"}};
  int trials = 0;
  int index = 0;
  for (const Site& site : operation.sites) {
    for (const auto& error : errors) {
      SCOPED_TRACE(std::string(site.call) + " #" + std::to_string(index) +
                   " fails with " + error.name);
      const Trial trial = RunWithFault(operation, index, error.error);
      ASSERT_FALSE(trial.calls.empty());
      EXPECT_EQ(trial.calls[static_cast<size_t>(index)], site.call);
      // An interrupted call is repeated, so the operation succeeds.
      const bool interrupted = error.error == EINTR;
      EXPECT_EQ(trial.outcome,
                interrupted ? operation.clean_outcome : site.outcome);
      EXPECT_EQ(ContentName(trial.content),
                ContentName(Content(interrupted ? operation.clean_content
                                                : site.content)));
      EXPECT_EQ(trial.leaked_descriptors, 0);
      const std::vector<std::string> only_state =
          trial.content == "<missing>"
              ? std::vector<std::string>{}
              : std::vector<std::string>{"device_state"};
      EXPECT_EQ(trial.entries, only_state);
      ++trials;
    }
    ++index;
  }
  RecordProperty("trials", trials);
}

INSTANTIATE_TEST_SUITE_P(DeviceState, FaultInjectionTest,
                         ::testing::ValuesIn(Operations()),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                           return std::string(info.param.name);
                         });

// A file replaced whole (the watch's state, metrics): its data is synced
// before the rename, the directory after it, and a failure anywhere leaves
// the old content and no temporary file.
std::string ReplaceWithTen(Fixture& fixture) {
  std::string error;
  return kelpwood::base::WriteFileAtomically(fixture.path, kTen, 0600, error)
             ? "true"
             : "false";
}

INSTANTIATE_TEST_SUITE_P(ReplacedFile, FaultInjectionTest,
                         ::testing::Values(Operation{
                             "WriteFileAtomically",
                             kNine,
                             Nothing,
                             ReplaceWithTen,
                             "true",
                             kTen,
                             {{"mkostemp", "false", kNine},
                              {"write", "false", kNine},
                              {"fsync", "false", kNine},
                              {"rename", "false", kNine},
                              {"open directory", "false", kTen},
                              {"fsync", "false", kTen}}}),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                           return std::string(info.param.name);
                         });

// Another process creating the file between this one's check and its link()
// is a race this one loses: it must take the winner's file as it is.
TEST(DeviceStateCreationRaceTest, LosingTheLinkRaceKeepsTheWinnersState) {
  TempDir dir;
  const std::string path = dir.File("device_state");
  const auto winner = [](void* argument) {
    WriteBytes(*static_cast<const std::string*>(argument), "\x07");
  };
  std::string outcome;
  std::unique_ptr<DeviceState> device;
  kelpwood_fault_before("link", winner, const_cast<std::string*>(&path));
  kelpwood_fault_arm(-1, 0);
  outcome = Reported([&] {
    device = std::make_unique<DeviceState>(path);
    return std::string("opened");
  });
  kelpwood_fault_disarm();
  EXPECT_EQ(outcome, "opened");
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->LockAndReadState(), State{7});
  EXPECT_EQ(ReadBytes(path), "\x07");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"device_state"});
}

}  // namespace
