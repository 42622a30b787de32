// Device-wide flows and verdicts against a real systemd-journald, started
// here when none listens (this needs root) and stopped by its pid.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <kelpwood/flow_trace.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "journal/flow_publishing.h"
#include "journal/journal_reader.h"
#include "journal/message_ids.h"
#include "journal/verdict_entry.h"
#include "journald.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelpwood {
namespace journal {
namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood_test::JournalFields;
using kelpwood_test::ReadJournal;
using kelpwood_test::SentFields;
using trace::FlowScope;
using trace::FlowTrace;

constexpr char kHelperName[] = "kelpwood_journal_helper";
constexpr std::chrono::seconds kReadLimit(5);

std::int64_t NowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A flow id of this run alone: the journal keeps earlier runs' entries.
std::string UniqueFlowId(const std::string& stem) {
  return stem + "_" + std::to_string(getpid()) + "_" +
         std::to_string(
             std::chrono::steady_clock::now().time_since_epoch().count());
}

ChildResult RunHelper(const std::vector<std::string>& commands,
                      std::vector<std::string> environment = {}) {
  environment.push_back("SPDLOG_STDOUT=false");
  return RunChild(KELPWOOD_JOURNAL_HELPER, commands,
                  kelpwood::testing::WithSanitizerOptions(environment));
}

std::string Field(const JournalFields& entry, const std::string& name) {
  auto found = entry.find(name);
  return found == entry.end() ? "<missing>" : found->second;
}

class JournalPublishingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unavailable = kelpwood_test::JournaldUnavailableReason();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    ASSERT_TRUE(journald_.WaitUntilListening(std::chrono::seconds(5)))
        << journald_.Error();
  }

  kelpwood_test::JournalTestLock lock_;
  kelpwood_test::Journald journald_;
  kelpwood::testing::TempDir directory_;
};

TEST_F(JournalPublishingTest, TwoProcessesPublishOneDeviceWideFlow) {
  const std::string flow = UniqueFlowId("mount");
  const std::string config =
      directory_.WriteFile("flows.yaml",
                           "workflows:\n"
                           "  - flow_id: " +
                               flow +
                               "\n"
                               "    scope: device\n"
                               "    deadline_ms: 500\n"
                               "    flow_points:\n"
                               "      - point_id: mount\n"
                               "      - point_id: ready\n");
  const std::string init = "init:" + config;
  // A process that sets the flow back to process scope publishes nothing;
  // it runs first, so that anything it sent would come before the others.
  const ChildResult quiet =
      RunHelper({init, "scope:" + flow + ":process", "trace:" + flow + ":x:1"});
  ASSERT_TRUE(quiet.ExitedCleanly()) << quiet.standard_error;
  const ChildResult first = RunHelper(
      {init,
       "point:" + flow +
           ":mount:1:1700000000123:mount.point=/data:note=" + "two\nlines",
       "point:" + flow + ":fsck:0:1700000000150"});
  ASSERT_TRUE(first.ExitedCleanly()) << first.standard_error;
  const std::int64_t before_ms = NowMilliseconds();
  const ChildResult second =
      RunHelper({init, "trace:" + flow + ":ready:1", "reset:" + flow});
  const std::int64_t after_ms = NowMilliseconds();
  ASSERT_TRUE(second.ExitedCleanly()) << second.standard_error;

  std::vector<JournalFields> entries =
      ReadJournal({"FLOW_ID=" + flow}, 4, kReadLimit);
  ASSERT_EQ(entries.size(), 4u);
  const std::string identifier =
      std::string("SYSLOG_IDENTIFIER=") + kHelperName;
  const std::string published = std::string("MESSAGE_ID=") + kPointPublished;
  EXPECT_EQ(
      SentFields(entries[0]),
      (std::vector<std::string>{
          "FLOW_ID=" + flow, "MESSAGE=Flow '" + flow + "' point 'mount' ok",
          published, "POINT_ID=mount", "POINT_INDEX=0",
          "POINT_METADATA=11:mount.point5:/data4:note9:two\nlines",
          "POINT_META_MOUNT_POINT=/data", "POINT_META_NOTE=two\nlines",
          "POINT_SUCCESS=1", "POINT_TIMESTAMP_NS=1700000000123000000",
          "PRIORITY=6", identifier}));
  EXPECT_EQ(
      SentFields(entries[1]),
      (std::vector<std::string>{
          "FLOW_ID=" + flow, "MESSAGE=Flow '" + flow + "' point 'fsck' failed",
          published, "POINT_ID=fsck", "POINT_INDEX=1", "POINT_SUCCESS=0",
          "POINT_TIMESTAMP_NS=1700000000150000000", "PRIORITY=4", identifier}));
  // The point stamped by Trace itself: its time, to the nanosecond, lies
  // within the child's run.
  const std::int64_t stamped_ns =
      std::stoll(Field(entries[2], "POINT_TIMESTAMP_NS"));
  EXPECT_GE(stamped_ns, before_ms * 1'000'000);
  EXPECT_LT(stamped_ns, (after_ms + 1) * 1'000'000);
  entries[2].erase("POINT_TIMESTAMP_NS");
  EXPECT_EQ(
      SentFields(entries[2]),
      (std::vector<std::string>{"FLOW_ID=" + flow,
                                "MESSAGE=Flow '" + flow + "' point 'ready' ok",
                                published, "POINT_ID=ready", "POINT_INDEX=0",
                                "POINT_SUCCESS=1", "PRIORITY=6", identifier}));
  EXPECT_EQ(
      SentFields(entries[3]),
      (std::vector<std::string>{
          "FLOW_ID=" + flow, "MESSAGE=Flow '" + flow + "' reset",
          std::string("MESSAGE_ID=") + kFlowReset, "PRIORITY=6", identifier}));
  const std::string first_pid = std::to_string(first.pid);
  const std::string second_pid = std::to_string(second.pid);
  EXPECT_EQ(Field(entries[0], "_PID"), first_pid);
  EXPECT_EQ(Field(entries[1], "_PID"), first_pid);
  EXPECT_EQ(Field(entries[2], "_PID"), second_pid);
  EXPECT_EQ(Field(entries[3], "_PID"), second_pid);
}

// ResetAllFlows ends the open run of a device-wide flow as ResetFlow does:
// without its reset entry the watch would merge the next run into it.
TEST_F(JournalPublishingTest, ResetAllFlowsPublishesAResetPerDeviceWideFlow) {
  const std::string flow = UniqueFlowId("all");
  const std::string quiet = UniqueFlowId("quiet");
  const std::string config = directory_.WriteFile(
      "flows.yaml", "workflows:\n  - flow_id: " + flow +
                        "\n    scope: device\n    flow_points:\n"
                        "      - point_id: a\n  - flow_id: " +
                        quiet + "\n    flow_points:\n      - point_id: a\n");
  const ChildResult run = RunHelper({"init:" + config, "trace:" + flow + ":a:1",
                                     "trace:" + quiet + ":a:1", "resetall"});
  ASSERT_TRUE(run.ExitedCleanly()) << run.standard_error;
  const std::vector<JournalFields> entries =
      ReadJournal({"FLOW_ID=" + flow}, 2, kReadLimit);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Field(entries[1], "MESSAGE_ID"), kFlowReset);
  EXPECT_EQ(Field(entries[1], "_PID"), std::to_string(run.pid));
  EXPECT_TRUE(
      ReadJournal({"FLOW_ID=" + quiet}, 1, std::chrono::milliseconds(500))
          .empty());
}

TEST_F(JournalPublishingTest, CheckFlowWritesOneVerdictPerCheckWhenSwitchedOn) {
  const std::string flow = UniqueFlowId("verdict");
  const std::string config =
      directory_.WriteFile("flows.yaml",
                           "workflows:\n"
                           "  - flow_id: " +
                               flow +
                               "\n"
                               "    flow_name: Verdict flow\n"
                               "    check_order: true\n"
                               "    flow_points:\n"
                               "      - point_id: a\n"
                               "      - point_id: b\n"
                               "        failure_id: 302\n"
                               "      - point_id: c\n");
  const std::string p = "point:" + flow + ":";
  const std::vector<std::string> commands = {
      "init:" + config, p + "a:1:1000",  p + "c:1:1010", p + "x:1:1012",
      "check:" + flow,  "reset:" + flow, p + "a:1:2000", p + "b:1:2005",
      p + "c:1:2030",   "check:" + flow};
  // Switched off (the default), checks write nothing.
  const ChildResult off = RunHelper(commands);
  ASSERT_TRUE(off.ExitedCleanly()) << off.standard_error;
  const ChildResult on = RunHelper(commands, {"KELPWOOD_FLOW_JOURNAL=true"});
  ASSERT_TRUE(on.ExitedCleanly()) << on.standard_error;

  const std::vector<JournalFields> entries =
      ReadJournal({"FLOW_ID=" + flow}, 2, kReadLimit);
  ASSERT_EQ(entries.size(), 2u);
  const std::string pid = std::to_string(on.pid);
  const std::string identifier =
      std::string("SYSLOG_IDENTIFIER=") + kHelperName;
  EXPECT_EQ(SentFields(entries[0]),
            (std::vector<std::string>{
                "CHECK_CODE=POINT_MISSING", "CONFIGURED_POINT_ID=b",
                "DURATION_MS=12", "FAILURE_ID=302", "FLOW_ID=" + flow,
                "FLOW_NAME=Verdict flow", "FLOW_RUN=" + pid + "-1",
                "MESSAGE=Flow '" + flow +
                    "' (Verdict flow): POINT_MISSING at 'b', failure_id 302; "
                    "3 points recorded in 12 ms",
                std::string("MESSAGE_ID=") + kVerdictPointMissing, "PRIORITY=3",
                "RECORDED_POINTS=3", identifier, "UNEXPECTED_POINTS=1"}));
  EXPECT_EQ(SentFields(entries[1]),
            (std::vector<std::string>{
                "CHECK_CODE=PASSED", "DURATION_MS=30", "FLOW_ID=" + flow,
                "FLOW_NAME=Verdict flow", "FLOW_RUN=" + pid + "-2",
                "MESSAGE=Flow '" + flow +
                    "' (Verdict flow): PASSED; 3 points recorded in 30 ms",
                std::string("MESSAGE_ID=") + kVerdictPassed, "PRIORITY=6",
                "RECORDED_POINTS=3", identifier, "UNEXPECTED_POINTS=0"}));
  EXPECT_EQ(Field(entries[0], "_PID"), pid);
  EXPECT_EQ(Field(entries[1], "_PID"), pid);
}

// Waits until journald has stored everything sent before: a blocking send
// of a marker, which journald stores after what is queued ahead of it.
void AwaitJournaldDrained(const std::string& flow) {
  const std::string marker = "MESSAGE=drained " + flow;
  ASSERT_EQ(
      sd_journal_send(marker.c_str(), "MARKER_FLOW=%s", flow.c_str(), nullptr),
      0);
  ASSERT_EQ(ReadJournal({"MARKER_FLOW=" + flow}, 1, kReadLimit).size(), 1u);
}

TEST_F(JournalPublishingTest,
       StoppedJournaldNeverBlocksTraceAndDropsAreReportedAfterThePoints) {
  if (journald_.started_pid() <= 0) {
    GTEST_SKIP() << "stops only a journald that this test started";
  }
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = UniqueFlowId("stopped");
  registry.RegisterTraceFlow(flow, {}, "Stopped", "", false);
  registry.SetFlowScope(flow, FlowScope::DEVICE);
  EXPECT_EQ(registry.GetFlowScope(flow), FlowScope::DEVICE);

  // journald's socket queue holds only a few datagrams: while journald is
  // stopped, Trace goes on and counts what it could not send. A Trace that
  // waited for journald would never finish this loop.
  int traced = 0;
  std::uint64_t dropped = 0;
  {
    kelpwood_test::StoppedProcess stopped(journald_.started_pid());
    while (traced < 5000 && (dropped = UnreportedDroppedPoints(flow)) < 50) {
      registry.Trace(flow, "p" + std::to_string(traced), true);
      ++traced;
    }
  }
  ASSERT_EQ(dropped, 50u);
  ASSERT_LT(static_cast<std::uint64_t>(traced), 5000u);
  const std::size_t sent = static_cast<std::size_t>(traced) - dropped;
  ASSERT_EQ(ReadJournal({"FLOW_ID=" + flow}, sent, kReadLimit).size(), sent);
  // Once journald takes points again, the first one brings the report after
  // itself. Then a flood fills journald's queue again and again: reports are
  // tried at most once per 100 ms, however many points are dropped.
  const auto flood_start = std::chrono::steady_clock::now();
  registry.Trace(flow, "after", true);
  EXPECT_EQ(UnreportedDroppedPoints(flow), 0u);
  constexpr int kFlood = 20000;
  for (int i = 0; i < kFlood; ++i) registry.Trace(flow, "flood", true);
  const auto flood_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - flood_start)
                            .count();
  // What is still unreported goes in one more report, sent on request.
  const auto give_up = std::chrono::steady_clock::now() + kReadLimit;
  while (!ReportDroppedPoints() && std::chrono::steady_clock::now() < give_up) {
  }
  ASSERT_EQ(UnreportedDroppedPoints(flow), 0u);
  AwaitJournaldDrained(flow);

  const std::vector<JournalFields> entries =
      ReadJournal({"FLOW_ID=" + flow}, sent + 2, kReadLimit);
  ASSERT_GE(entries.size(), sent + 2);
  for (std::size_t i = 0; i < sent; ++i) {
    EXPECT_EQ(Field(entries[i], "POINT_ID"), "p" + std::to_string(i));
  }
  EXPECT_EQ(Field(entries[sent], "POINT_ID"), "after");
  EXPECT_EQ(Field(entries[sent], "POINT_INDEX"), std::to_string(traced));
  EXPECT_EQ(
      SentFields(entries[sent + 1]),
      (std::vector<std::string>{
          "DROPPED_POINTS=50", "FLOW_ID=" + flow,
          "MESSAGE=50 points of flow '" + flow + "' could not be published",
          std::string("MESSAGE_ID=") + kPointsDropped, "PRIORITY=4",
          std::string("SYSLOG_IDENTIFIER=") + program_invocation_short_name}));
  // Every point is stored or counted in a report, none both or twice.
  std::uint64_t stored = 0;
  std::uint64_t reported = 0;
  std::int64_t reports = 0;
  for (const JournalFields& entry : entries) {
    if (Field(entry, "MESSAGE_ID") == kPointsDropped) {
      reported += std::stoull(Field(entry, "DROPPED_POINTS"));
      ++reports;
    } else {
      ++stored;
    }
  }
  EXPECT_EQ(stored + reported, static_cast<std::uint64_t>(traced + 1 + kFlood));
  // One report per started 100 ms of the flood, and the one on request.
  EXPECT_LE(reports, flood_ms / 100 + 2) << "flood of " << flood_ms << " ms";
  registry.RemoveTraceFlow(flow);
}

TEST_F(JournalPublishingTest, OversizedPointAndVerdictAreCutToJournaldsLimits) {
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow = UniqueFlowId("oversized");
  registry.RegisterTraceFlow(flow, {}, "Oversized", "", false);
  registry.SetFlowScope(flow, FlowScope::DEVICE);
  // More pairs than journald takes fields, the first with a value beyond
  // the cap: 949 pairs are kept, the first of them cut.
  auto point = std::make_shared<trace::TracePoint>("big", true);
  for (int i = 0; i < 1020; ++i) {
    const std::string number = fmt::format("{:04}", i);
    point->metadata.emplace_back("k" + number,
                                 i == 0 ? std::string(5000, 'v') : number);
  }
  registry.Trace(flow, point);
  registry.SetFlowScope(flow, FlowScope::PROCESS);
  registry.RemoveTraceFlow(flow);
  FlowRun run;
  run.flow_id = flow;
  run.run_id = "1-1";
  for (int i = 0; i < 250; ++i) {
    run.points.push_back(RunPoint{"p",
                                  true,
                                  0,
                                  static_cast<pid_t>(1000 + i),
                                  "c" + std::to_string(i),
                                  {}});
  }
  JournalWriter writer(JournalWriter::kDefaultSocketPath);
  EXPECT_EQ(SendVerdict(writer, run), SendStatus::kSent);

  const std::vector<JournalFields> entries =
      ReadJournal({"FLOW_ID=" + flow}, 2, kReadLimit);
  ASSERT_EQ(entries.size(), 2u);
  const JournalFields& published = entries[0];
  EXPECT_EQ(Field(published, "POINT_TRUNCATED"), "72");
  std::size_t meta_fields = 0;
  for (const auto& [name, value] : published) {
    meta_fields += name.rfind("POINT_META_", 0) == 0;
  }
  EXPECT_EQ(meta_fields, 949u);
  EXPECT_EQ(Field(published, "POINT_META_K0000"), std::string(4096, 'v'));
  EXPECT_EQ(Field(published, "POINT_META_K0948"), "0948");
  EXPECT_EQ(Field(published, "POINT_META_K0949"), "<missing>");
  const JournalFields& verdict = entries[1];
  EXPECT_EQ(verdict.count("RUN_PID"), 32u);
  EXPECT_EQ(verdict.count("RUN_COMM"), 32u);
  EXPECT_EQ(Field(verdict, "RUN_PROCESSES_MORE"), "218");
}

TEST_F(JournalPublishingTest, ReaderGivesMetadataKeysAsSpeltAndDistinct) {
  const std::string flow = UniqueFlowId("keys");
  const std::string config = directory_.WriteFile(
      "flows.yaml", "workflows:\n  - flow_id: " + flow +
                        "\n    scope: device\n    flow_points:\n"
                        "      - point_id: p\n");
  // Keys that POINT_META_* names join or change, with equal values that
  // journald would merge.
  const std::vector<std::pair<std::string, std::string>> metadata = {
      {"a.b", "same"}, {"a-b", "same"}, {"A_B", "two\nlines"}, {"ünï", "4"}};
  std::string command = "point:" + flow + ":p:1:1700000000000";
  for (const auto& [key, value] : metadata) command += ":" + key + "=" + value;
  const std::uint64_t before_us =
      static_cast<std::uint64_t>(NowMilliseconds() - 1000) * 1000;
  const ChildResult child = RunHelper({"init:" + config, command});
  ASSERT_TRUE(child.ExitedCleanly()) << child.standard_error;
  ASSERT_EQ(ReadJournal({"FLOW_ID=" + flow}, 1, kReadLimit).size(), 1u);

  std::string error;
  std::unique_ptr<JournalReader> reader = JournalReader::OpenLocal(error);
  ASSERT_NE(reader, nullptr) << error;
  ASSERT_TRUE(reader->SeekRealtime(before_us, error)) << error;
  FlowEntry entry;
  int read = 0;
  while ((read = reader->Next(entry)) > 0 && entry.flow_id != flow) {
  }
  ASSERT_EQ(read, 1);
  EXPECT_EQ(entry.point_id, "p");
  EXPECT_EQ(entry.metadata, metadata);
}

}  // namespace
}  // namespace journal
}  // namespace kelpwood
