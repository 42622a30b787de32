// The verdict entry's fields and the native serialization of entries, built
// without a journald.

#include "journal/verdict_entry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "journal/journal_writer.h"
#include "journal/message_ids.h"

namespace kelpwood {
namespace journal {
namespace {

using trace::FlowCheckCode;
using trace::TraceFlowCfg;
using trace::TracePointCfg;

std::shared_ptr<const TraceFlowCfg> StorageMountCfg() {
  auto cfg = std::make_shared<TraceFlowCfg>();
  cfg->flow_id = "storage_mount";
  cfg->flow_name = "Storage mount";
  for (const char* id : {"probe", "fsck", "mount"}) {
    auto point = std::make_shared<TracePointCfg>();
    point->point_id = id;
    point->is_critical = true;
    point->failure_id = std::string(id) == "fsck" ? 302 : 0;
    cfg->flow_points.push_back(point);
  }
  return cfg;
}

FlowRun StorageMountRun(std::vector<const char*> ids) {
  FlowRun run;
  run.flow_id = "storage_mount";
  run.run_id = "4242-1";
  run.cfg = StorageMountCfg();
  std::int64_t time_ns = 1'700'000'000'000'000'000;
  run.start_ns = time_ns;
  for (const char* id : ids) {
    run.points.push_back(RunPoint{id, true, time_ns, 0, "", {}});
    run.end_ns = time_ns;
    time_ns += 5'000'000;
  }
  return run;
}

TEST(VerdictEntryTest, WatchedRunNamesEachProcessOnceAndLostPoints) {
  FlowRun run = StorageMountRun({"probe", "fsck", "mount"});
  run.run_id = "m1-b1-7";
  run.points[0].pid = 100;
  run.points[0].comm = "mounter";
  run.points[1].pid = 200;
  run.points[1].comm = "fsck helper";
  run.points[2].pid = 100;
  run.points[2].comm = "mounter";
  run.possibly_lost_points = 4;
  const std::vector<std::string> expected = {
      "MESSAGE=Flow 'storage_mount' (Storage mount): PASSED; 3 points "
      "recorded in 10 ms",
      std::string("MESSAGE_ID=") + kVerdictPassed,
      "PRIORITY=6",
      std::string("SYSLOG_IDENTIFIER=") + ProgramIdentifier(),
      "FLOW_ID=storage_mount",
      "FLOW_NAME=Storage mount",
      "CHECK_CODE=PASSED",
      "RECORDED_POINTS=3",
      "UNEXPECTED_POINTS=0",
      "DURATION_MS=10",
      "FLOW_RUN=m1-b1-7",
      "RUN_PID=100",
      "RUN_COMM=mounter",
      "RUN_PID=200",
      "RUN_COMM=fsck helper",
      "POSSIBLY_LOST_POINTS=4",
  };
  EXPECT_EQ(BuildVerdictFields(run), expected);
}

// Fields of a verdict whose run was recorded by `processes` processes, each
// recording two points.
std::vector<std::string> ProcessFields(int processes) {
  FlowRun run = StorageMountRun({});
  for (int i = 0; i < processes; ++i) {
    for (int twice = 0; twice < 2; ++twice) {
      run.points.push_back(RunPoint{"probe",
                                    true,
                                    run.start_ns,
                                    static_cast<pid_t>(1000 + i),
                                    "p" + std::to_string(i),
                                    {}});
    }
  }
  std::vector<std::string> fields;
  for (const std::string& field : BuildVerdictFields(run)) {
    if (field.rfind("RUN_", 0) == 0) fields.push_back(field);
  }
  return fields;
}

TEST(VerdictEntryTest, NamesTheFirstThirtyTwoProcessesAndCountsTheRest) {
  const struct {
    int processes;
    int named;
    const char* more;  // RUN_PROCESSES_MORE, or nullptr
  } cases[] = {
      {1, 1, nullptr}, {32, 32, nullptr}, {33, 32, "1"}, {250, 32, "218"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.processes);
    std::vector<std::string> expected;
    for (int i = 0; i < c.named; ++i) {
      expected.push_back("RUN_PID=" + std::to_string(1000 + i));
      expected.push_back("RUN_COMM=p" + std::to_string(i));
    }
    if (c.more != nullptr) {
      expected.push_back(std::string("RUN_PROCESSES_MORE=") + c.more);
    }
    EXPECT_EQ(ProcessFields(c.processes), expected);
  }
}

struct MessageCase {
  FlowCheckCode code;
  int fault_point_index;
  const char* configured_point;
  std::uint32_t failure_id;
  std::uint32_t unexpected;
  const char* message_id;
  const char* message;
};

class VerdictMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(VerdictMessageTest, SaysCodePointAndLength) {
  const MessageCase& c = GetParam();
  FlowRun run = StorageMountRun({"probe", "probe"});
  run.code = c.code;
  run.fault_point_index = c.fault_point_index;
  run.fault_configured_point_id = c.configured_point;
  run.failure_id = c.failure_id;
  run.unexpected_points = c.unexpected;
  EXPECT_EQ(VerdictMessage(run), c.message);
  EXPECT_STREQ(VerdictMessageId(c.code, c.unexpected), c.message_id);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, VerdictMessageTest,
    ::testing::Values(
        MessageCase{FlowCheckCode::PASSED, -1, "", 0, 0, kVerdictPassed,
                    "Flow 'storage_mount' (Storage mount): PASSED; 2 points "
                    "recorded in 5 ms"},
        MessageCase{FlowCheckCode::PASSED, -1, "", 0, 1,
                    kVerdictPassedUnexpected,
                    "Flow 'storage_mount' (Storage mount): PASSED with 1 point "
                    "outside the configuration; 2 points recorded in 5 ms"},
        MessageCase{FlowCheckCode::POINT_FAILED, 1, "probe", 0, 0,
                    kVerdictPointFailed,
                    "Flow 'storage_mount' (Storage mount): POINT_FAILED at "
                    "'probe'; 2 points recorded in 5 ms"},
        MessageCase{FlowCheckCode::POINT_INVALID, 0, "fsck", 302, 0,
                    kVerdictPointInvalid,
                    "Flow 'storage_mount' (Storage mount): POINT_INVALID at "
                    "'probe', failure_id 302; 2 points recorded in 5 ms"},
        MessageCase{FlowCheckCode::POINT_DUPLICATED, 1, "fsck", 0, 0,
                    kVerdictPointDuplicated,
                    "Flow 'storage_mount' (Storage mount): POINT_DUPLICATED "
                    "at 'probe'; 2 points recorded in 5 ms"},
        MessageCase{FlowCheckCode::ORDER_ERROR, 1, "mount", 0, 0,
                    kVerdictOrderError,
                    "Flow 'storage_mount' (Storage mount): ORDER_ERROR at "
                    "'probe'; 2 points recorded in 5 ms"},
        MessageCase{FlowCheckCode::FLOW_NOT_FOUND, -1, "", 0, 0,
                    kVerdictFlowNotFound,
                    "Flow 'storage_mount' (Storage mount): FLOW_NOT_FOUND; 2 "
                    "points recorded in 5 ms"}),
    [](const auto& info) {
      return std::string(trace::FlowCheckCodeName(info.param.code)) + "_" +
             std::to_string(info.index);
    });

TEST(VerdictEntryTest, UnconfiguredFlowHasNoNameAndCountsEveryPoint) {
  FlowRun run = StorageMountRun({"probe"});
  run.cfg = nullptr;
  run.code = FlowCheckCode::FLOW_NOT_FOUND;
  run.unexpected_points = CountUnexpectedPoints(run.cfg.get(), run.points);
  EXPECT_EQ(run.unexpected_points, 1u);
  EXPECT_EQ(VerdictMessage(run),
            "Flow 'storage_mount': FLOW_NOT_FOUND; 1 point recorded in 0 ms");
  for (const std::string& field : BuildVerdictFields(run)) {
    EXPECT_NE(field.rfind("FLOW_NAME=", 0), 0u) << field;
  }
}

TEST(JournalFieldNameTest, MakesKeysValidAndCutsAtSixtyFour) {
  const struct {
    const char* key;
    std::string name;
  } cases[] = {
      {"device", "POINT_META_DEVICE"},
      {"mount.point-2", "POINT_META_MOUNT_POINT_2"},
      {"Ünï", "POINT_META___N__"},
      {"", "POINT_META_"},
      {"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz0123456789",
       "POINT_META_ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZ0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    const std::string name = JournalFieldName("POINT_META_", c.key);
    EXPECT_EQ(name, c.name);
    EXPECT_TRUE(IsValidFieldName(name));
  }
  EXPECT_FALSE(IsValidFieldName("_PID"));
  EXPECT_FALSE(IsValidFieldName("1ST"));
  EXPECT_FALSE(IsValidFieldName("lower"));
  EXPECT_FALSE(IsValidFieldName(""));
  EXPECT_FALSE(IsValidFieldName(std::string(65, 'A')));
}

TEST(MetadataPairsTest, DecodesWholePairsAndRefusesAnythingElse) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  std::string encoded;
  AppendMetadataPair(encoded, "a.b", "two\nlines");
  AppendMetadataPair(encoded, "", "");
  EXPECT_EQ(encoded, "3:a.b9:two\nlines0:0:");
  const struct {
    std::string encoded;
    bool valid;
    Pairs pairs;
  } cases[] = {
      {encoded, true, {{"a.b", "two\nlines"}, {"", ""}}},
      {"", true, {}},
      {"1:k1:v", true, {{"k", "v"}}},
      {"1:k", false, {}},                       // a key without its value
      {"1:k2:v", false, {}},                    // longer than what is left
      {":k1:v", false, {}},                     // no size
      {"+1:k1:v", false, {}},                   // not only digits
      {"1k1:v", false, {}},                     // no colon after the size
      {"18446744073709551616:k1:v", false, {}}  // beyond 64 bits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoded);
    Pairs pairs = {{"stale", "pair"}};
    EXPECT_EQ(DecodeMetadataPairs(c.encoded, pairs), c.valid);
    EXPECT_EQ(pairs, c.pairs);
  }
}

TEST(JournalEntryTest, SerializesPlainAndMultiLineValues) {
  JournalEntry entry;
  entry.Add("MESSAGE", "one line");
  entry.Add("POINT_META_NOTE", std::string_view("two\nlines"));
  entry.Add("POINT_INDEX", std::int64_t{-3});
  entry.Add("DROPPED_POINTS", std::uint64_t{18446744073709551615u});
  entry.AddAssignment("FLOW_ID=a=b");
  entry.AddAssignment("NO_EQUALS_SIGN");
  const std::string expected =
      std::string("MESSAGE=one line\n") + "POINT_META_NOTE\n" +
      std::string("\x09\0\0\0\0\0\0\0", 8) + "two\nlines\n" +
      "POINT_INDEX=-3\n" + "DROPPED_POINTS=18446744073709551615\n" +
      "FLOW_ID=a=b\n";
  EXPECT_EQ(entry.Serialized(), expected);
}

// A run its deadline ended must not read as if its points took the whole
// deadline, and a process without a name gives no empty RUN_COMM field.
TEST(VerdictEntryTest, DeadlineEndedRunSaysWhenItsLastPointCame) {
  FlowRun run = StorageMountRun({"probe", "fsck"});
  run.deadline_ms = 3000;
  run.end_ns = run.start_ns + 3'000'000'000;
  run.code = FlowCheckCode::POINT_MISSING;
  run.fault_configured_point_id = "mount";
  run.points[0].pid = 100;
  EXPECT_EQ(VerdictMessage(run),
            "Flow 'storage_mount' (Storage mount): POINT_MISSING at 'mount'; "
            "2 points recorded, the last 5 ms after the first; the 3000 ms "
            "deadline ended the run");
  const std::vector<std::string> fields = BuildVerdictFields(run);
  EXPECT_THAT(fields, ::testing::Contains("DURATION_MS=3000"));
  EXPECT_THAT(fields, ::testing::Contains("RUN_PID=100"));
  EXPECT_THAT(fields, ::testing::Not(::testing::Contains("RUN_COMM=")));
}

}  // namespace
}  // namespace journal
}  // namespace kelpwood
