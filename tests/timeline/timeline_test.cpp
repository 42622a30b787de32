// The timeline writers: Chrome trace-event JSON checked against the rules the
// Perfetto UI reads it by, the HTML view opened in a real headless Chromium,
// and the public FlowTimeline of a host.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <kelpwood/flow_timeline.h>
#include <png.h>
#include <sys/stat.h>
#include <yaml-cpp/yaml.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "timeline/timeline_writers.h"
#include "trace/src/flow_check.h"
#include "trace/src/flow_run.h"
#include "trace/src/flow_steps.h"
#include "trace_event_checker.h"

namespace kelpwood {
namespace testing {
namespace {

using trace::FlowCheckCode;
using trace::FlowRun;
using trace::RunPoint;
using trace::TimelineFormat;

constexpr std::int64_t kT = 1'700'000'000'000'000'000;  // ns since the epoch

std::shared_ptr<trace::TraceFlowCfg> Config(
    const std::string& flow_id, std::vector<std::pair<std::string, int>> ids) {
  auto cfg = std::make_shared<trace::TraceFlowCfg>();
  cfg->flow_id = flow_id;
  for (const auto& [id, failure_id] : ids) {
    auto point = std::make_shared<trace::TracePointCfg>();
    point->point_id = id;
    point->is_critical = true;
    point->failure_id = static_cast<std::uint32_t>(failure_id);
    cfg->flow_points.push_back(point);
  }
  return cfg;
}

RunPoint Point(const std::string& id, std::int64_t at, pid_t pid,
               const std::string& comm, bool success = true) {
  RunPoint point;
  point.point_id = id;
  point.time_ns = kT + at;
  point.pid = pid;
  point.comm = comm;
  point.success = success;
  return point;
}

// Two overlapping runs of one flow recorded by two processes, the first
// failing at a recorded point, the second passing with a point outside the
// configuration; and a run that misses a configured point.
std::vector<FlowRun> SampleRuns() {
  const auto update =
      Config("update", {{"download", 0}, {"verify", 2002}, {"install", 0}});
  std::vector<FlowRun> runs(3);
  runs[0].flow_id = "update";
  runs[0].run_id = "1";
  runs[0].cfg = update;
  runs[0].points = {Point("download", 0, 100, "updater"),
                    Point("verify", 1'500'000, 200, "verifier", false),
                    Point("install", 4'000'250, 100, "updater")};
  runs[0].code = FlowCheckCode::POINT_FAILED;
  runs[0].fault_point_index = 1;
  runs[0].fault_configured_point_id = "verify";
  runs[0].failure_id = 2002;
  runs[0].start_ns = kT;
  runs[0].end_ns = kT + 4'000'250;

  runs[1].flow_id = "update";
  runs[1].run_id = "2";
  runs[1].cfg = update;
  runs[1].points = {Point("download", 2'000'000, 100, "updater"),
                    Point("verify", 3'000'000, 200, "verifier"),
                    Point("install", 5'000'000, 100, "updater"),
                    Point("<script>bad()</script>", 5'500'000, 100, "updater")};
  runs[1].unexpected_points = 1;
  runs[1].deadline_ms = 10;
  runs[1].start_ns = kT + 2'000'000;
  runs[1].end_ns = kT + 5'500'000;

  runs[2].flow_id = "boot";
  runs[2].run_id = "1";
  runs[2].cfg = Config("boot", {{"init", 0}, {"mount", 1201}, {"ready", 0}});
  runs[2].points = {Point("init", 100, 300, "init\x01\xff"),
                    Point("ready", 900, 300, "init\x01\xff")};
  runs[2].code = FlowCheckCode::POINT_MISSING;
  runs[2].fault_configured_point_id = "mount";
  runs[2].failure_id = 1201;
  runs[2].start_ns = kT + 100;
  runs[2].end_ns = kT + 900;
  return runs;
}

std::size_t Count(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos;
       at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

YAML::Node EventsOf(const std::string& json) {
  return YAML::Load(json)["traceEvents"];
}

// The events of phase `ph` named `name` on `pid`.
std::vector<YAML::Node> FindEvents(const YAML::Node& events,
                                   const std::string& ph,
                                   const std::string& name, std::int64_t pid) {
  std::vector<YAML::Node> found;
  for (const YAML::Node& event : events) {
    if (event["ph"].Scalar() == ph && event["name"].Scalar() == name &&
        event["pid"].as<std::int64_t>() == pid) {
      found.push_back(event);
    }
  }
  return found;
}

TEST(ChromeTraceTest, SampleRunsKeepEveryTraceEventRule) {
  EXPECT_EQ(TraceEventProblems(timeline::RenderTimeline(
                SampleRuns(), TimelineFormat::kChrome)),
            std::vector<std::string>{});
  EXPECT_EQ(
      TraceEventProblems(timeline::RenderTimeline({}, TimelineFormat::kChrome)),
      std::vector<std::string>{});
}

TEST(ChromeTraceTest, NamesOneProcessTrackPerRecordingProcess) {
  const YAML::Node events =
      EventsOf(timeline::RenderTimeline(SampleRuns(), TimelineFormat::kChrome));
  std::set<std::pair<std::int64_t, std::string>> names;
  for (const YAML::Node& event : events) {
    if (event["name"].Scalar() == "process_name") {
      names.emplace(event["pid"].as<std::int64_t>(),
                    event["args"]["name"].Scalar());
    }
  }
  const std::set<std::pair<std::int64_t, std::string>> expected = {
      {100, "updater"},
      {200, "verifier"},
      {300, "init\x01\xEF\xBF\xBD"},  // the invalid byte replaced
      {4'194'305, "flow runs"}};
  EXPECT_EQ(names, expected);
}

TEST(ChromeTraceTest, RunsAndPointsAreSlicesInMicroseconds) {
  const YAML::Node events =
      EventsOf(timeline::RenderTimeline(SampleRuns(), TimelineFormat::kChrome));
  // Runs on the flow-runs track: overlapping runs of one flow on two lanes.
  std::vector<std::string> runs;
  for (const YAML::Node& event : events) {
    if (event["cat"] && event["cat"].Scalar() == "run") {
      runs.push_back(
          fmt::format("{} {} tid={} ts={} dur={}", event["name"].Scalar(),
                      event["args"]["code"].Scalar(), event["tid"].Scalar(),
                      event["ts"].Scalar(), event["dur"].Scalar()));
    }
  }
  EXPECT_EQ(runs, (std::vector<std::string>{
                      "update POINT_FAILED tid=1 ts=0 dur=4000.25",
                      "update PASSED tid=4 ts=2000 dur=3500",
                      "boot POINT_MISSING tid=7 ts=0.1 dur=0.8"}));
  // A point lasts until the next point of its run on its process.
  const std::vector<YAML::Node> downloads =
      FindEvents(events, "X", "download", 100);
  ASSERT_EQ(downloads.size(), 2u);
  const YAML::Node& download = downloads[0];
  EXPECT_EQ(download["ts"].Scalar(), "0");
  EXPECT_EQ(download["dur"].Scalar(), "4000.25");
  EXPECT_EQ(download["args"]["time_unix_ns"].Scalar(), "1700000000000000000");
}

TEST(ChromeTraceTest, FlowArrowsLinkEachRunsPointsInTimeOrder) {
  const YAML::Node events =
      EventsOf(timeline::RenderTimeline(SampleRuns(), TimelineFormat::kChrome));
  std::vector<std::string> links;
  for (const YAML::Node& event : events) {
    if (!event["bind_id"]) continue;
    links.push_back(event["bind_id"].Scalar() + " " + event["name"].Scalar() +
                    (event["flow_in"] ? " in" : "") +
                    (event["flow_out"] ? " out" : ""));
  }
  EXPECT_EQ(
      links,
      (std::vector<std::string>{
          "0x1 download out", "0x1 verify in out", "0x1 install in",
          "0x2 download out", "0x2 verify in out", "0x2 install in out",
          "0x2 <script>bad()</script> in", "0x3 init out", "0x3 ready in"}));
}

TEST(ChromeTraceTest, VerdictsAndFaultsAreInstantsWithCodeAndFailureId) {
  const YAML::Node events =
      EventsOf(timeline::RenderTimeline(SampleRuns(), TimelineFormat::kChrome));
  const std::vector<YAML::Node> faults =
      FindEvents(events, "i", "fault: POINT_FAILED verify", 200);
  ASSERT_EQ(faults.size(), 1u);
  const YAML::Node& fault = faults[0];
  EXPECT_EQ(fault["ts"].Scalar(), "1500");
  EXPECT_EQ(fault["args"]["code"].Scalar(), "POINT_FAILED");
  EXPECT_EQ(fault["args"]["failure_id"].as<int>(), 2002);
  const std::vector<YAML::Node> missings =
      FindEvents(events, "i", "fault: POINT_MISSING mount", 4'194'305);
  ASSERT_EQ(missings.size(), 1u);
  const YAML::Node& missing = missings[0];
  EXPECT_EQ(missing["args"]["failure_id"].as<int>(), 1201);
  EXPECT_EQ(missing["ts"].Scalar(), "0.9");
  std::vector<std::string> verdicts;
  for (const YAML::Node& event : events) {
    if (event["cat"] && event["cat"].Scalar() == "verdict") {
      verdicts.push_back(event["name"].Scalar() + " @" + event["ts"].Scalar());
    }
  }
  EXPECT_EQ(verdicts,
            (std::vector<std::string>{"verdict: POINT_FAILED @4000.25",
                                      "verdict: PASSED @5500",
                                      "verdict: POINT_MISSING @0.9"}));
}

// Times further apart than int64 nanoseconds hold (about 292 years): the
// span saturates in both formats instead of wrapping to a negative dur or an
// axis without end.
struct FarApart {
  const char* name;
  std::int64_t first;
  std::int64_t last;
  const char* drawn;  // the run's dur in the trace; its HTML duration
};

class FarApartTimesTest : public ::testing::TestWithParam<FarApart> {};

TEST_P(FarApartTimesTest, BothFormatsFinishWithNonNegativeSpans) {
  const FarApart& times = GetParam();
  const kelpwood::testing::ChildResult child = kelpwood::testing::RunInChild(
      [&]() -> std::string {
        std::vector<FlowRun> runs(1);
        runs[0].flow_id = "far";
        runs[0].cfg = Config("far", {{"a", 0}, {"b", 0}, {"c", 0}});
        runs[0].points = {Point("a", 0, 1, "p"), Point("b", 0, 1, "p"),
                          Point("c", 0, 1, "p")};
        runs[0].points[0].time_ns = times.first;
        runs[0].points[1].time_ns = times.first / 2 + times.last / 2;
        runs[0].points[2].time_ns = times.last;
        runs[0].deadline_ms = UINT64_MAX;
        trace::SpanRunOverItsPoints(runs[0]);
        const std::string json =
            timeline::RenderTimeline(runs, TimelineFormat::kChrome);
        const std::vector<std::string> problems = TraceEventProblems(json);
        if (!problems.empty()) return problems[0];
        std::string drawn;
        for (const YAML::Node& event : EventsOf(json)) {
          if (event["cat"] && event["cat"].Scalar() == "run") {
            drawn = event["dur"].Scalar();
          }
        }
        const std::string html =
            timeline::RenderTimeline(runs, TimelineFormat::kHtml);
        const std::size_t at = html.find("duration ");
        drawn += "; " + html.substr(at, html.find(" &middot;", at) - at);
        if (Count(html, "nan") + Count(html, "inf") != 0) drawn += "; NaN";
        return drawn;
      },
      std::chrono::seconds(20));
  EXPECT_FALSE(child.timed_out);
  EXPECT_EQ(child.report, times.drawn);
}

INSTANTIATE_TEST_SUITE_P(
    Spans, FarApartTimesTest,
    ::testing::Values(
        FarApart{"Extremes", INT64_MIN, INT64_MAX,
                 "999999999999999.999; duration 9223372036854.775 ms"},
        FarApart{"MinimumToZero", INT64_MIN, 0,
                 "999999999999999.999; duration 9223372036854.775 ms"},
        FarApart{"JustFits", 0, INT64_MAX,
                 "999999999999999.999; duration 9223372036854.775 ms"},
        FarApart{"ThreeHundredYears", -4'800'000'000'000'000'000,
                 4'800'000'000'000'000'000,
                 "999999999999999.999; duration 9223372036854.775 ms"}),
    [](const ::testing::TestParamInfo<FarApart>& info) {
      return std::string(info.param.name);
    });

// The checker itself fails each broken document with the rule it breaks.
struct BrokenTrace {
  const char* name;
  const char* events;
  const char* problem;
};

class TraceEventCheckerTest : public ::testing::TestWithParam<BrokenTrace> {};

TEST_P(TraceEventCheckerTest, ReportsTheBrokenRule) {
  const std::string names =
      R"({"ph":"M","name":"process_name","pid":1,"tid":0,"args":{"name":"p"}},)"
      R"({"ph":"M","name":"thread_name","pid":1,"tid":1,"args":{"name":"t"}},)";
  EXPECT_EQ(TraceEventProblems(std::string("{\"traceEvents\":[") + names +
                               GetParam().events + "]}"),
            std::vector<std::string>{GetParam().problem});
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TraceEventCheckerTest,
    ::testing::Values(
        BrokenTrace{"NoDur", R"({"ph":"X","name":"a","pid":1,"tid":1,"ts":0})",
                    "X event 'a' has no dur"},
        BrokenTrace{"UnknownPhase",
                    R"({"ph":"Q","name":"a","pid":1,"tid":1,"ts":0})",
                    "unknown phase 'Q'"},
        BrokenTrace{"NotDecimal",
                    R"({"ph":"X","name":"a","pid":1,"tid":1,"ts":1e3,"dur":1})",
                    "event 'a' has ts '1e3', not decimal µs"},
        BrokenTrace{"InstantScope",
                    R"({"ph":"i","name":"a","pid":1,"tid":1,"ts":0,"s":"x"})",
                    "instant 'a' has scope 'x'"},
        BrokenTrace{"UnreadMetadata",
                    R"({"ph":"M","name":"sort","pid":1,"tid":0,"args":{}})",
                    "metadata 'sort' is not read"},
        BrokenTrace{"UnnamedProcess",
                    R"({"ph":"M","name":"thread_name","pid":2,"tid":1,)"
                    R"("args":{"name":"t"}},)"
                    R"({"ph":"i","name":"a","pid":2,"tid":1,"ts":0})",
                    "pid 2 has no process_name"},
        BrokenTrace{"LooseFlowIn",
                    R"({"ph":"X","name":"a","pid":1,"tid":1,"ts":5,"dur":1,)"
                    R"("bind_id":"0x9","flow_in":true})",
                    "flow_in of bind_id 0x9 has no earlier flow_out"},
        BrokenTrace{"Overlap",
                    R"({"ph":"X","name":"a","pid":1,"tid":1,"ts":0,"dur":10},)"
                    R"({"ph":"X","name":"b","pid":1,"tid":1,"ts":5,"dur":10})",
                    "slices 'a' and 'b' overlap on pid 1 tid 1"}),
    [](const ::testing::TestParamInfo<BrokenTrace>& info) {
      return std::string(info.param.name);
    });

// ---------------------------------------------------------------------------
// The HTML view in a real headless Chromium.

class HtmlTimelineTest : public ::testing::Test {
 protected:
  // Runs Chromium on the page with a fresh profile; returns its stdout.
  std::string Chromium(const std::string& page,
                       const std::vector<std::string>& arguments) {
    const std::string profile =
        directory_.File("profile-" + std::to_string(++runs_));
    std::vector<std::string> all = {"--headless",
                                    "--no-sandbox",
                                    "--disable-gpu",
                                    "--disable-quic",
                                    "--no-first-run",
                                    "--disable-background-networking",
                                    "--disable-component-update",
                                    "--disable-sync",
                                    "--user-data-dir=" + profile,
                                    "--window-size=1280,1000"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    all.push_back("file://" + page);
    const kelpwood::testing::ChildResult result = kelpwood::testing::RunChild(
        "/usr/bin/chromium", all,
        {"PATH=/usr/bin:/bin", "HOME=" + directory_.path()});
    EXPECT_TRUE(result.ExitedCleanly()) << result.standard_error;
    return result.standard_output;
  }

  std::string WritePage() {
    const std::string page = directory_.File("runs.html");
    std::string error;
    EXPECT_TRUE(timeline::WriteTimelineFile(
        page, timeline::RenderTimeline(SampleRuns(), TimelineFormat::kHtml),
        error))
        << error;
    return page;
  }

  kelpwood::testing::TempDir directory_;
  int runs_ = 0;
};

// The sections of a dumped DOM, one per run.
std::vector<std::string> RunSections(const std::string& dom) {
  std::vector<std::string> sections;
  for (std::size_t at = dom.find("<section"); at != std::string::npos;) {
    const std::size_t end = dom.find("</section>", at);
    sections.push_back(dom.substr(at, end - at));
    at = dom.find("<section", end);
  }
  return sections;
}

TEST_F(HtmlTimelineTest, ChromiumShowsEveryRunPointAndFault) {
  const std::string dom = Chromium(WritePage(), {"--dump-dom"});
  const std::vector<std::string> sections = RunSections(dom);
  ASSERT_EQ(sections.size(), 3u) << dom.substr(0, 2000);
  EXPECT_EQ(sections[0].substr(0, sections[0].find('>') + 1),
            "<section class=\"run failed\" id=\"run-1\" data-flow=\"update\" "
            "data-run=\"1\" data-code=\"POINT_FAILED\">");
  const std::vector<std::size_t> recorded = {3, 4, 2};
  for (std::size_t run = 0; run < 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run + 1));
    EXPECT_EQ(Count(sections[run], "class=\"point rec"), recorded[run]);
    for (std::size_t index = 0; index < recorded[run]; ++index) {
      EXPECT_EQ(
          Count(sections[run], "data-index=\"" + std::to_string(index) + "\""),
          1u);
    }
  }
  EXPECT_EQ(Count(sections[0],
                  "<g class=\"point rec failed fault\" "
                  "data-point=\"verify\" data-index=\"1\">"),
            1u);
  EXPECT_EQ(Count(sections[0], "POINT_FAILED · failure_id 2002</text>"), 1u);
  EXPECT_EQ(Count(sections[2],
                  "<g class=\"point cfg missing fault\" "
                  "data-point=\"mount\""),
            1u);
  EXPECT_EQ(Count(sections[2], "POINT_MISSING · failure_id 1201</text>"), 1u);
  EXPECT_EQ(Count(sections[1], "class=\"point rec unexpected\""), 1u);
  EXPECT_EQ(Count(sections[1], "deadline 10 ms</text>"), 1u);
  // The point id is text in the page, never markup.
  EXPECT_EQ(Count(sections[1],
                  "<title>&lt;script&gt;bad()&lt;/script&gt; — recorded #3"),
            1u);
  EXPECT_EQ(Count(dom, "<script"), 0u);
}

TEST_F(HtmlTimelineTest, ScreenshotAt1280PixelsShowsTheLanes) {
  const std::string shot = directory_.File("shot.png");
  Chromium(WritePage(), {"--screenshot=" + shot});
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, shot.c_str()))
      << image.message;
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(
      png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  EXPECT_EQ(image.width, 1280u);
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) {
    colours.insert(pixels[i] << 16 | pixels[i + 1] << 8 | pixels[i + 2]);
  }
  EXPECT_GT(colours.size(), 50u);
  EXPECT_EQ(colours.count(0xe53e3e), 1u);  // the marker of a point at fault
  EXPECT_EQ(colours.count(0x38a169), 1u);  // a point recorded ok
  EXPECT_EQ(colours.count(0x2b6cb0), 1u);  // an expected critical point
}

// ---------------------------------------------------------------------------
// Lanes as a person reads them: screenshots at 1280 px, and each label's box
// as Chromium lays it out.

// A crowded passing run: 40 points of one process in clusters 50 us apart,
// ids longer than a label, and a deadline far beyond the points.
std::vector<FlowRun> CrowdedRun() {
  std::vector<std::pair<std::string, int>> ids;
  std::vector<RunPoint> points;
  for (int i = 0; i < 40; ++i) {
    const std::string id = fmt::format(
        "{}_{:02}", i % 3 == 0 ? "calibrate_sensor_channel" : "step", i);
    ids.emplace_back(id, 0);
    points.push_back(
        Point(id, (i / 5) * 10'000'000 + (i % 5) * 50'000, 412, "bootd"));
  }
  std::vector<FlowRun> runs(1);
  runs[0].flow_id = "bring_up";
  runs[0].run_id = "7";
  runs[0].cfg = Config("bring_up", ids);
  runs[0].points = points;
  runs[0].deadline_ms = 5000;
  trace::SpanRunOverItsPoints(runs[0]);
  return runs;
}

// Network started before the root file system was mounted.
std::vector<FlowRun> OrderFaultRun() {
  std::vector<FlowRun> runs(1);
  runs[0].flow_id = "boot";
  runs[0].run_id = "3";
  runs[0].cfg = Config("boot", {{"power_on", 0},
                                {"mount_rootfs", 1302},
                                {"start_network", 0},
                                {"start_services", 0},
                                {"ready", 0}});
  runs[0].points = {Point("power_on", 0, 1, "systemd"),
                    Point("start_network", 120'000'000, 1, "systemd"),
                    Point("mount_rootfs", 180'000'000, 1, "systemd"),
                    Point("start_services", 400'000'000, 1, "systemd"),
                    Point("ready", 650'000'000, 1, "systemd")};
  runs[0].code = FlowCheckCode::ORDER_ERROR;
  runs[0].fault_point_index = 1;
  runs[0].fault_configured_point_id = "mount_rootfs";
  runs[0].failure_id = 1302;
  runs[0].deadline_ms = 900;
  trace::SpanRunOverItsPoints(runs[0]);
  return runs;
}

// An update recorded by three processes, failing in the third.
std::vector<FlowRun> ThreeProcessRun() {
  std::vector<FlowRun> runs(1);
  runs[0].flow_id = "update";
  runs[0].run_id = "12";
  runs[0].cfg = Config("update", {{"download", 0},
                                  {"verify_signature", 0},
                                  {"write_slot_b", 3003},
                                  {"mark_active", 0}});
  runs[0].points = {Point("download", 0, 100, "updater"),
                    Point("progress_50", 2'000'000, 100, "updater"),
                    Point("verify_signature", 3'000'000, 200, "verifier"),
                    Point("write_slot_b", 5'000'000, 300, "installer", false),
                    Point("mark_active", 9'000'000, 100, "updater")};
  runs[0].code = FlowCheckCode::POINT_FAILED;
  runs[0].fault_point_index = 3;
  runs[0].fault_configured_point_id = "write_slot_b";
  runs[0].failure_id = 3003;
  runs[0].unexpected_points = 1;
  trace::SpanRunOverItsPoints(runs[0]);
  return runs;
}

// A flow of steps: <power_on> -> (<eth_up> | <wifi_up>)#20 -> (<audio_ready>
// & <video_ready>){1,} -> (<connect>{1,3} -> <online>@5000ms)@3000ms.
std::shared_ptr<const trace::FlowSteps> LinkSteps() {
  auto point = [](const char* id) { return trace::Step(trace::Critical(id)); };
  return trace::CompileSteps(
      {point("power_on"), trace::OneOf({point("eth_up"), point("wifi_up")}, 20),
       trace::Repeat(trace::AllOf({point("audio_ready"), point("video_ready")}),
                     1, trace::FlowStep::kUnbounded),
       trace::Within(trace::Sequence({trace::Repeat(point("connect"), 1, 3),
                                      trace::Within(point("online"), 5000)}),
                     3000)});
}

// A run of LinkSteps recorded by one process at the given milliseconds, with
// the library check's verdict.
FlowRun LinkRun(std::int64_t online_ms) {
  FlowRun run;
  run.flow_id = "link";
  run.steps = LinkSteps();
  auto cfg = Config("link", {});
  cfg->flow_points = run.steps->points;
  run.cfg = cfg;
  const std::pair<const char*, std::int64_t> recorded[] = {
      {"power_on", 0},       {"eth_up", 400},   {"audio_ready", 900},
      {"video_ready", 1000}, {"connect", 1500}, {"connect", 2000},
      {"online", online_ms}};
  for (const auto& [id, ms] : recorded) {
    run.points.push_back(Point(id, ms * 1'000'000, 7, "linkd"));
  }
  const trace::CheckTrail trail =
      trace::CheckRecording(*cfg, run.steps.get(), run.points);
  run.code = trail.code;
  if (trail.code != FlowCheckCode::PASSED) {  // late online, by the times
    run.fault_point_index = static_cast<int>(trail.fault_recorded);
    run.fault_configured_point_id = "online";
  }
  trace::SpanRunOverItsPoints(run);
  return run;
}

// A run late at its last step, for a person to read.
std::vector<FlowRun> LateStepRun() { return {LinkRun(8000)}; }

// Test-only: appended to a copy of a page, it measures every text of each
// lane as laid out and writes the findings into the DOM. The product page
// itself has no script.
constexpr char kMeasureScript[] = R"(<script>
addEventListener('load', () => {
  const lines = [];
  for (const svg of document.querySelectorAll('svg.lane')) {
    const lane = svg.getBoundingClientRect();
    const texts = [...svg.querySelectorAll('text')].map(
        t => ({text: t.textContent, box: t.getBoundingClientRect()}));
    const overlaps = [], outside = [];
    texts.forEach((a, i) => {
      const b = a.box;
      if (b.left < lane.left - 0.5 || b.right > lane.right + 0.5 ||
          b.top < lane.top - 0.5 || b.bottom > lane.bottom + 0.5) {
        outside.push(a.text);
      }
      texts.slice(i + 1).forEach(c => {
        const d = c.box;
        if (b.left < d.right - 0.5 && d.left < b.right - 0.5 &&
            b.top < d.bottom - 0.5 && d.top < b.bottom - 0.5) {
          overlaps.push(a.text + ' / ' + c.text);
        }
      });
    });
    const rows = [...svg.querySelectorAll('.row-label')].map(t => t.textContent);
    const x = g => g.querySelector('circle').cx.baseVal.value;
    const expected = [...svg.querySelectorAll('g.cfg')].sort((a, b) => x(a) - x(b))
        .map(g => g.dataset.configIndex);
    const points = svg.querySelectorAll('g.point');
    const labelled = [...points].filter(
        g => (g.querySelector('text.label') || {}).textContent).length;
    lines.push('rows: ' + rows.join(', ') + '; expected by x: ' +
        expected.join(' ') + '; labelled ' + labelled + ' of ' +
        points.length + '; overlaps: ' + (overlaps.join(', ') || 'none') +
        '; outside: ' + (outside.join(', ') || 'none'));
  }
  const pre = document.createElement('pre');
  pre.id = 'measured';
  pre.textContent = lines.join('\n');
  document.body.append(pre);
});
</script>)";

struct Scene {
  const char* name;
  std::vector<FlowRun> (*runs)();
  const char* measured;
};

class ReadableLaneTest : public HtmlTimelineTest,
                         public ::testing::WithParamInterface<Scene> {};

// The text of the element with id `id` in a dumped DOM.
std::string ElementText(const std::string& dom, const std::string& id) {
  const std::size_t start = dom.find('>', dom.find("id=\"" + id + "\"")) + 1;
  return dom.substr(start, dom.find('<', start) - start);
}

TEST_P(ReadableLaneTest, LabelsNeitherOverlapNorVanish) {
  const std::string html =
      timeline::RenderTimeline(GetParam().runs(), TimelineFormat::kHtml);
  ASSERT_EQ(Count(html, "<script"), 0u);
  std::string measured_page = html;
  measured_page.insert(measured_page.rfind("</body>"), kMeasureScript);
  directory_.WriteFile("measured.html", measured_page);
  const std::string dom =
      Chromium(directory_.File("measured.html"),
               {"--run-all-compositor-stages-before-draw",
                "--virtual-time-budget=3000", "--dump-dom"});
  EXPECT_EQ(ElementText(dom, "measured"), GetParam().measured);

  // The screenshot a person would look at, kept in the test's output
  // directory.
  const std::string shots = KELPWOOD_TIMELINE_SHOTS;
  ::mkdir(shots.c_str(), 0755);
  const std::string page = shots + "/" + GetParam().name + ".html";
  const std::string shot = shots + "/" + GetParam().name + ".png";
  std::string error;
  ASSERT_TRUE(timeline::WriteTimelineFile(page, html, error)) << error;
  Chromium(page, {"--screenshot=" + shot});
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, shot.c_str()))
      << image.message;
  png_image_free(&image);
  EXPECT_EQ(image.width, 1280u);
  std::cout << "screenshot: " << shot << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, ReadableLaneTest,
    ::testing::Values(
        Scene{"crowded_passing_run", CrowdedRun,
              "rows: expected, bootd, recorded, pid 412; expected by x: 0 1 "
              "2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 "
              "25 26 27 28 29 30 31 32 33 34 35 36 37 38 39; labelled 80 of "
              "80; overlaps: none; outside: none"},
        // The expected row keeps the configured order.
        Scene{"order_fault", OrderFaultRun,
              "rows: expected, configured order, systemd, recorded, pid 1; "
              "expected by x: 0 1 2 3 4; labelled 10 of 10; overlaps: none; "
              "outside: none"},
        Scene{"three_processes", ThreeProcessRun,
              "rows: expected, updater, recorded, pid 100, verifier, "
              "recorded, pid 200, installer, recorded, pid 300; expected by "
              "x: 0 1 2 3; labelled 9 of 9; overlaps: none; outside: none"},
        // The steps' brackets and the missed budget have labels too.
        Scene{"late_step", LateStepRun,
              "rows: expected, linkd, recorded, pid 7; expected by x: 0 1 2 "
              "3 4 5 6; labelled 14 of 14; overlaps: none; outside: none"}),
    [](const ::testing::TestParamInfo<Scene>& info) {
      return std::string(info.param.name);
    });

// The card of a run: a wall-clock title with the run id in its hover title,
// and failure_id only where a configured point is at fault.
struct Card {
  const char* name;
  FlowRun (*run)();
  const char* heading;  // the h2's spans after the flow id
  const char* facts;
};

FlowRun FlowNotFound() {
  FlowRun run;
  run.flow_id = "ghost";
  run.run_id = "1";
  run.points = {Point("begin", 1'234'567'000, 5, "ghostd")};
  run.code = FlowCheckCode::FLOW_NOT_FOUND;
  trace::SpanRunOverItsPoints(run);
  return run;
}

FlowRun MissingPoint() { return SampleRuns()[2]; }

class RunCardTest : public ::testing::TestWithParam<Card> {};

TEST_P(RunCardTest, TitleAndFactsNameWhatIsAtFault) {
  const std::string html =
      timeline::RenderTimeline({GetParam().run()}, TimelineFormat::kHtml);
  auto between = [&](const std::string& from, const std::string& to) {
    const std::size_t start = html.find(from) + from.size();
    return html.substr(start, html.find(to, start) - start);
  };
  EXPECT_EQ(between("</span><span class=\"when\"", "</h2>"),
            GetParam().heading);
  EXPECT_EQ(between("<p class=\"facts\">", "</p>"), GetParam().facts);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RunCardTest,
    ::testing::Values(
        Card{"FlowNotFound", FlowNotFound,
             " title=\"ghost run 1\">2023-11-14 22:13:21.234 UTC</span>"
             "<span class=\"verdict\">FLOW_NOT_FOUND</span>",
             "duration 0 ms &middot; 1 point recorded, flow not configured "
             "&middot; <span class=\"fault\">FLOW_NOT_FOUND</span>"},
        Card{"MissingPoint", MissingPoint,
             " title=\"boot run 1\">2023-11-14 22:13:20.000 UTC</span>"
             "<span class=\"verdict\">POINT_MISSING</span>",
             "duration 0 ms &middot; 2 points recorded, 3 configured "
             "&middot; <span class=\"fault\">POINT_MISSING, configured "
             "'mount', failure_id 1201</span>"}),
    [](const ::testing::TestParamInfo<Card>& info) {
      return std::string(info.param.name);
    });

// ---------------------------------------------------------------------------
// A host's own runs.

TEST(FlowTimelineTest, PointsKeepNanosecondsBesideTheMilliseconds) {
  trace::FlowTrace& registry = trace::FlowTrace::GetInstance();
  registry.RegisterTraceFlow("timeline.ns", {}, "", "", true);
  registry.Trace("timeline.ns", "a", true);
  const auto made = registry.GetTracePoints("timeline.ns").at(0);
  const std::int64_t time_ns = trace::TracePointTimeNs(*made);
  EXPECT_EQ(time_ns / 1'000'000, made->timestamp);
  made->timestamp = 42;  // a caller's own time wins
  EXPECT_EQ(trace::TracePointTimeNs(*made), 42'000'000);
  trace::TracePoint own("b", true);
  own.timestamp = 1'700'000'000'123;
  EXPECT_EQ(trace::TracePointTimeNs(own), 1'700'000'000'123'000'000);
  own.timestamp = INT64_MAX / 1000;
  EXPECT_EQ(trace::TracePointTimeNs(own), INT64_MAX);
  registry.RemoveTraceFlow("timeline.ns");
}

TEST(FlowTimelineTest, AddRunSnapshotsPointsConfigurationAndVerdict) {
  trace::FlowTrace& registry = trace::FlowTrace::GetInstance();
  registry.RegisterTraceFlow(
      Config("timeline.host", {{"start", 0}, {"work", 77}, {"done", 0}}));
  registry.Trace("timeline.host", "start", true);
  registry.Trace("timeline.host", "work", false);
  registry.Trace("timeline.host", "done", true);
  registry.SetFlowDeadline("timeline.host", 50);
  trace::FlowTimeline timeline;
  timeline.AddRun("timeline.host", *registry.CheckFlow("timeline.host"));
  const std::int64_t work_ns =
      trace::TracePointTimeNs(*registry.GetTracePoints("timeline.host").at(1));
  registry.ResetFlow("timeline.host");  // the snapshot keeps the run
  registry.RemoveTraceFlow("timeline.host");
  EXPECT_EQ(timeline.run_count(), 1u);

  const std::string json = timeline.Render(TimelineFormat::kChrome);
  EXPECT_EQ(TraceEventProblems(json), std::vector<std::string>{});
  const YAML::Node events = EventsOf(json);
  const std::vector<YAML::Node> faults =
      FindEvents(events, "i", "fault: POINT_FAILED work", ::getpid());
  ASSERT_EQ(faults.size(), 1u) << json;
  EXPECT_EQ(faults[0]["args"]["failure_id"].as<int>(), 77);
  const std::vector<YAML::Node> works =
      FindEvents(events, "X", "work", ::getpid());
  ASSERT_EQ(works.size(), 1u) << json;
  EXPECT_EQ(works[0]["args"]["time_unix_ns"].as<std::int64_t>(), work_ns);
  EXPECT_EQ(works[0]["args"]["status"].Scalar(), "fail");

  const std::string html = timeline.Render(TimelineFormat::kHtml);
  EXPECT_EQ(Count(html, "<g class=\"point cfg"), 3u);
  EXPECT_EQ(Count(html, "<g class=\"point rec"), 3u);
  EXPECT_EQ(Count(html, "POINT_FAILED · failure_id 77"), 1u);
  EXPECT_EQ(Count(html, ">deadline 50 ms</text>"), 1u);
}

// A host's steps flow is drawn with its grammar, as the tools draw one.
TEST(FlowTimelineTest, AddRunDrawsTheRegisteredGrammar) {
  namespace kt = kelpwood::trace;
  trace::FlowTrace& registry = trace::FlowTrace::GetInstance();
  auto cfg = std::make_shared<kt::TraceFlowCfg>();
  cfg->flow_id = "timeline.steps";
  registry.RegisterStepsFlow(cfg,
                             {kt::OneOf({kt::Step(kt::Critical("eth")),
                                         kt::Step(kt::Critical("wifi"))})});
  registry.Trace("timeline.steps", "wifi", true);
  trace::FlowTimeline timeline;
  timeline.AddRun("timeline.steps", *registry.CheckFlow("timeline.steps"));
  registry.RemoveTraceFlow("timeline.steps");
  EXPECT_EQ(Count(timeline.Render(TimelineFormat::kHtml),
                  "text-anchor=\"middle\">one of</text>"),
            1u);
}

// A backslash and a double quote in a flow or point id: valid JSON that
// reads back as the id, and HTML attributes that hold no raw quote.
TEST(TimelineIdsTest, BackslashAndQuoteInIdsStayEscaped) {
  const std::string flow_id = "up\\da\"te";
  const std::string point_id = "p\\\"1";
  std::vector<FlowRun> runs(1);
  runs[0].flow_id = flow_id;
  runs[0].run_id = "r\\\"1";
  runs[0].cfg = Config(flow_id, {{point_id, 9}});
  runs[0].points = {Point(point_id, 0, 100, "c\\\"omm", false)};
  runs[0].code = FlowCheckCode::POINT_FAILED;
  runs[0].fault_point_index = 0;
  runs[0].fault_configured_point_id = point_id;
  runs[0].failure_id = 9;
  trace::SpanRunOverItsPoints(runs[0]);
  const std::string json =
      timeline::RenderTimeline(runs, TimelineFormat::kChrome);
  EXPECT_EQ(TraceEventProblems(json), std::vector<std::string>{});
  const YAML::Node events = EventsOf(json);
  EXPECT_EQ(FindEvents(events, "X", flow_id, 4'194'305).size(), 1u) << json;
  EXPECT_EQ(FindEvents(events, "X", point_id, 100).size(), 1u) << json;
  const std::string html =
      timeline::RenderTimeline(runs, TimelineFormat::kHtml);
  EXPECT_EQ(Count(html, "data-flow=\"up\\da&quot;te\""), 1u);
  EXPECT_EQ(Count(html, "data-point=\"p\\&quot;1\""), 2u);
  EXPECT_EQ(Count(html, "up\\da\"te"), 0u);
  EXPECT_EQ(Count(html, "p\\\"1"), 0u);
}

// Runs of one flow take the first lane free when they start: the third run
// overlaps the second, which reused the first's lane.
TEST(ChromeTraceTest, OverlappingRunsOfAFlowGetSeparateLanes) {
  const auto cfg = Config("f", {{"a", 0}, {"b", 0}});
  std::vector<FlowRun> runs(3);
  const std::int64_t starts[] = {0, 20'000, 25'000};
  for (std::size_t i = 0; i < runs.size(); ++i) {
    runs[i].flow_id = "f";
    runs[i].run_id = std::to_string(i + 1);
    runs[i].cfg = cfg;
    runs[i].points = {Point("a", starts[i], 100, "p"),
                      Point("b", starts[i] + 10'000, 100, "p")};
    trace::SpanRunOverItsPoints(runs[i]);
  }
  const std::string json =
      timeline::RenderTimeline(runs, TimelineFormat::kChrome);
  EXPECT_EQ(TraceEventProblems(json), std::vector<std::string>{});
  std::vector<std::string> lanes;
  for (const YAML::Node& event : EventsOf(json)) {
    if (event["cat"] && event["cat"].Scalar() == "run") {
      lanes.push_back(event["args"]["run_id"].Scalar() +
                      " tid=" + event["tid"].Scalar());
    }
  }
  EXPECT_EQ(lanes, (std::vector<std::string>{"1 tid=1", "2 tid=1", "3 tid=4"}));
}

// A duplicated or out-of-order point, as the library's check finds it, is
// marked at fault like a failed one in both formats.
struct FaultMark {
  const char* name;
  std::vector<const char*> recorded;
  const char* chrome_fault;  // the instant on the recording process
  const char* html_point;    // the recorded point's opening tag
};

void PrintTo(const FaultMark& mark, std::ostream* out) { *out << mark.name; }

class FaultMarkTest : public ::testing::TestWithParam<FaultMark> {};

TEST_P(FaultMarkTest, RecordedPointAtFaultIsMarked) {
  trace::FlowTrace& registry = trace::FlowTrace::GetInstance();
  auto cfg = Config("timeline.mark", {{"a", 0}, {"b", 0}, {"c", 0}});
  cfg->check_order = true;
  cfg->flow_points[1]->is_critical = false;  // <a> [b] <c>
  registry.RegisterTraceFlow(cfg);
  for (const char* id : GetParam().recorded) {
    registry.Trace("timeline.mark", id, true);
  }
  trace::FlowTimeline timeline;
  timeline.AddRun("timeline.mark", *registry.CheckFlow("timeline.mark"));
  registry.RemoveTraceFlow("timeline.mark");
  const std::string json = timeline.Render(TimelineFormat::kChrome);
  EXPECT_EQ(FindEvents(EventsOf(json), "i", GetParam().chrome_fault, ::getpid())
                .size(),
            1u)
      << json;
  EXPECT_EQ(
      Count(timeline.Render(TimelineFormat::kHtml), GetParam().html_point), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FaultMarkTest,
    ::testing::Values(FaultMark{"Duplicated",
                                {"a", "a", "b", "c"},
                                "fault: POINT_DUPLICATED a",
                                "<g class=\"point rec fault\" data-point=\"a\" "
                                "data-index=\"1\">"},
                      FaultMark{"OutOfOrder",
                                {"a", "x", "y", "b", "c"},
                                "fault: ORDER_ERROR x",
                                "<g class=\"point rec unexpected fault\" "
                                "data-point=\"x\" data-index=\"1\">"}),
    [](const ::testing::TestParamInfo<FaultMark>& info) {
      return std::string(info.param.name);
    });

// The grammar over the expected points (each group's kind, repeats bounded
// and not, budgets, a group a row above the steps inside it) and, for a late
// point, the budget it missed in both formats; none of it without steps.
struct StepsDrawing {
  const char* name;
  std::int64_t online_ms;
  bool with_steps;
  std::vector<std::string> present;  // once in the HTML or the JSON
  std::vector<std::string> absent;   // from both
};

void PrintTo(const StepsDrawing& row, std::ostream* out) { *out << row.name; }

class StepsDrawingTest : public ::testing::TestWithParam<StepsDrawing> {};

TEST_P(StepsDrawingTest, DrawsGroupsAndTheMissedBudget) {
  FlowRun run = LinkRun(GetParam().online_ms);
  if (!GetParam().with_steps) run.steps = nullptr;
  const std::string json =
      timeline::RenderTimeline({run}, TimelineFormat::kChrome);
  EXPECT_EQ(TraceEventProblems(json), std::vector<std::string>{});
  const std::string both =
      timeline::RenderTimeline({run}, TimelineFormat::kHtml) + json;
  for (const std::string& fragment : GetParam().present) {
    EXPECT_EQ(Count(both, fragment), 1u) << fragment << "\n" << both;
  }
  for (const std::string& fragment : GetParam().absent) {
    EXPECT_EQ(Count(both, fragment), 0u) << fragment;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, StepsDrawingTest,
    ::testing::Values(
        StepsDrawing{"Passing",
                     4000,
                     true,
                     {"<title>step 2: one of, failure_id 20</title>",
                      ">all of ×1+</text>",
                      "V54\"/><text class=\"step\" x=\"528.8\" y=\"47\" "
                      "text-anchor=\"middle\">×1–3</text>",
                      "<path d=\"M522.8 37 V33 H1166.0 V37\"/><text "
                      "class=\"step\" x=\"844.4\" y=\"30\" "
                      "text-anchor=\"middle\">sequence ≤ 3000 ms</text>"},
                     {"<g class=\"budget\"><title>", "\"cat\":\"budget\""}},
        // From the second connect, the previous step's last recording.
        StepsDrawing{"Late",
                     8000,
                     true,
                     {"from 'connect' (recorded #5); 'online' came 6000 ms "
                      "after it</title><rect x=\"402.5\" y=\"147\" "
                      "width=\"631.2\" height=\"12\"/>",
                      "text-anchor=\"end\">budget ≤ 5000 ms</text></g>",
                      "<g class=\"point rec fault\" data-point=\"online\"",
                      "\"ts\":2000000,\"dur\":5000000,\"name\":\"budget ≤ 5000 "
                      "ms for 'online'\"",
                      "\"name\":\"fault: POINT_LATE online\"",
                      // On this longer axis "one of" gives way to the label
                      // of "all of ×1+" beside it.
                      "y=\"30\" text-anchor=\"middle\">one of</text>"},
                     {}},
        StepsDrawing{"Flat",
                     8000,
                     false,
                     {},
                     {"group", "class=\"budget\"", "\"cat\":\"budget\""}}),
    [](const ::testing::TestParamInfo<StepsDrawing>& info) {
      return std::string(info.param.name);
    });

TEST(FlowTimelineTest, WriteReplacesTheFileOrNamesThePathAndReason) {
  kelpwood::testing::TempDir directory;
  trace::FlowTimeline timeline;
  std::string error;
  EXPECT_FALSE(timeline.Write(directory.File("none/t.json"),
                              TimelineFormat::kChrome, &error));
  EXPECT_EQ(error,
            directory.File("none/t.json") + ": No such file or directory");
  directory.WriteFile("t.json", std::string(9000, 'x'));
  ASSERT_TRUE(timeline.Write(directory.File("t.json"), TimelineFormat::kChrome,
                             &error));
  EXPECT_EQ(directory.ReadFile("t.json"),
            "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n]}\n");
}

}  // namespace
}  // namespace testing
}  // namespace kelpwood
