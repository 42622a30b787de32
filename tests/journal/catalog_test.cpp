// The journal catalog as journalctl indexes it: one entry per MESSAGE_ID the
// library writes, each with its subject.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "journal/message_ids.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kelpwood {
namespace journal {
namespace {

TEST(JournalCatalogTest, ListsOneEntryPerMessageIdOfTheLibrary) {
  const char journalctl[] = "/usr/bin/journalctl";
  if (access(journalctl, X_OK) != 0) {
    GTEST_SKIP() << journalctl << " is missing (Debian package systemd)";
  }
  kelpwood::testing::TempDir root;
  const std::filesystem::path catalogs =
      std::filesystem::path(root.path()) / "usr/lib/systemd/catalog";
  std::filesystem::create_directories(catalogs);
  std::filesystem::copy_file(KELPWOOD_CATALOG, catalogs / "kelpwood.catalog");

  const auto update = kelpwood::testing::RunChild(
      journalctl, {"--root", root.path(), "--update-catalog"}, {});
  ASSERT_TRUE(update.ExitedCleanly()) << update.standard_error;
  EXPECT_EQ(update.standard_error, "");
  const auto list = kelpwood::testing::RunChild(
      journalctl, {"--root", root.path(), "--list-catalog"}, {});
  ASSERT_TRUE(list.ExitedCleanly()) << list.standard_error;

  std::vector<std::string> expected_ids = {kVerdictPassed,
                                           kVerdictPassedUnexpected,
                                           kVerdictPointFailed,
                                           kVerdictPointInvalid,
                                           kVerdictPointDuplicated,
                                           kVerdictPointMissing,
                                           kVerdictOrderError,
                                           kVerdictFlowNotFound,
                                           kVerdictPointLate,
                                           kPointPublished,
                                           kFlowReset,
                                           kPointsDropped};
  std::sort(expected_ids.begin(), expected_ids.end());
  std::vector<std::string> listed_ids;
  std::size_t start = 0;
  const std::string& text = list.standard_output;
  for (std::size_t end = text.find('\n'); end != std::string::npos;
       start = end + 1, end = text.find('\n', start)) {
    const std::string line = text.substr(start, end - start);
    SCOPED_TRACE(line);
    // "<id> kelpwood: Flow @FLOW_ID@ ...": every subject names the flow.
    EXPECT_EQ(line.substr(32, 11), " kelpwood: ");
    EXPECT_NE(line.find("@FLOW_ID@"), std::string::npos);
    listed_ids.push_back(line.substr(0, 32));
  }
  EXPECT_EQ(listed_ids, expected_ids);
}

}  // namespace
}  // namespace journal
}  // namespace kelpwood
