// kelpwood-flows stats on trace files: the exact table and JSON of a small
// trace, and the within_ms budgets suggested from 25 generated runs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kelpwood::testing::ChildResult;
using kelpwood::testing::RunChild;
using kelpwood::testing::TempDir;

ChildResult RunTool(const std::vector<std::string>& arguments) {
  return RunChild(KELPWOOD_FLOWS_TOOL, arguments,
                  kelpwood::testing::WithSanitizerOptions({}));
}

const char kPointsConfig[] =
    "workflows:\n"
    "  - flow_id: boot\n"
    "    flow_name: Boot\n"
    "    check_order: true\n"
    "    flow_points:\n"
    "      - point_id: power_on\n"
    "      - point_id: net\n"
    "      - point_id: online\n";

// Two runs, cut at their last point; 'noise' is no point of the flow.
const char kTwoRuns[] =
    "boot power_on 0\n"
    "boot net 100\n"
    "boot noise 150\n"
    "boot online 300\n"
    "boot power_on 1000\n"
    "boot net 1250\n"
    "boot online 1400.5\n";

// Faults: a time taken from an unnamed point (online from 'noise': 150,
// 150.5), runs not cut (one run of 6 points), a percentile rank rounded
// down (p95 of net 100 instead of 250).
TEST(StatsTest, TraceTableAndJson) {
  TempDir dir;
  const std::string config = dir.WriteFile("flows.yaml", kPointsConfig);
  const std::string trace = dir.WriteFile("t.trace", kTwoRuns);
  const ChildResult text = RunTool({"stats", config, trace});
  EXPECT_EQ(text.standard_output,
            "FLOW  STEP      RUNS  COUNT  P50_MS   P95_MS   P99_MS   MAX_MS\n"
            "boot  power_on  0     0      -        -        -        -\n"
            "boot  net       2     2      100.000  250.000  250.000  250.000\n"
            "boot  online    2     2      150.500  200.000  200.000  200.000\n"
            "boot  (run)     2     2      300.000  400.500  400.500  400.500\n"
            "2 runs of 1 flow\n");
  EXPECT_EQ(text.standard_error, "");
  EXPECT_EQ(text.ExitCode(), 0);

  const ChildResult json = RunTool({"stats", "--json", config, trace});
  EXPECT_EQ(json.standard_output,
            "{\"flows\":[{\"flow_id\":\"boot\",\"runs\":2,\"steps\":["
            "{\"point_id\":\"power_on\",\"runs\":0,\"count\":0,\"p50_ns\":null,"
            "\"p95_ns\":null,\"p99_ns\":null,\"max_ns\":null},"
            "{\"point_id\":\"net\",\"runs\":2,\"count\":2,\"p50_ns\":100000000,"
            "\"p95_ns\":250000000,\"p99_ns\":250000000,\"max_ns\":250000000},"
            "{\"point_id\":\"online\",\"runs\":2,\"count\":2,"
            "\"p50_ns\":150500000,\"p95_ns\":200000000,\"p99_ns\":200000000,"
            "\"max_ns\":200000000}],"
            "\"duration\":{\"count\":2,\"p50_ns\":300000000,"
            "\"p95_ns\":400500000,\"p99_ns\":400500000,\"max_ns\":400500000}}],"
            "\"runs\":2}\n");
  EXPECT_EQ(json.ExitCode(), 0);

  // Fault: no runs still exits 0.
  const std::string other = dir.WriteFile("o.trace", "elsewhere a 1\n");
  const ChildResult none = RunTool({"stats", config, other});
  EXPECT_EQ(none.standard_output, "No runs of the configured flows found.\n");
  EXPECT_EQ(none.ExitCode(), 1);
}

// A steps flow cut by its deadline: 25 runs 100 s apart; net 100 + 7r ms
// after power_on, online 1003 + 10r ms after net, the optional 'extra' in
// runs 0 to 4 only.
TEST(StatsTest, SuggestBudgetsFromTwentyFiveRuns) {
  TempDir dir;
  const std::string config = dir.WriteFile("flows.yaml",
                                           "workflows:\n"
                                           "  - flow_id: boot\n"
                                           "    flow_name: Boot\n"
                                           "    check_order: true\n"
                                           "    deadline_ms: 60000\n"
                                           "    steps:\n"
                                           "      - point_id: power_on\n"
                                           "      - point_id: net\n"
                                           "      - point_id: online\n"
                                           "      - point_id: extra\n"
                                           "        optional: true\n");
  std::string lines;
  for (int r = 0; r < 25; ++r) {
    const int start = r * 100000;
    const int net = start + 100 + 7 * r;
    const int online = net + 1003 + 10 * r;
    lines += "boot power_on " + std::to_string(start) + "\nboot net " +
             std::to_string(net) + "\nboot online " + std::to_string(online) +
             "\n";
    if (r < 5) lines += "boot extra " + std::to_string(online + 5) + "\n";
  }
  const std::string trace = dir.WriteFile("t.trace", lines);
  const ChildResult result =
      RunTool({"stats", "--suggest-budgets", config, trace});
  // Faults: p99 one rank low (net 400, online 1850), no rounding up (402,
  // 1864), a budget from 5 runs, or none for steps of 25.
  EXPECT_EQ(result.standard_output,
            "# within_ms suggested from 25 runs of flow 'boot' (p99 x 1.5, "
            "rounded up to 10 ms)\n"
            "- flow_id: boot\n"
            "  steps:\n"
            "    - point_id: net\n"
            "      within_ms: 410\n"
            "    - point_id: online\n"
            "      within_ms: 1870\n"
            "    # point_id: extra: timed in 5 runs, fewer than 20: no "
            "budget\n");
  EXPECT_EQ(result.standard_error, "");
  EXPECT_EQ(result.ExitCode(), 0);
}

}  // namespace
