#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/passes.h"
#include "tests/support/fakes.h"
#include "tests/support/sync_fixture.h"

namespace zuno {
namespace {

using testing::FakeWorld;
using testing::TestConfig;
using Lines = std::vector<std::string>;

const std::vector<std::string> kAttachAndParameters = {
    "[fceAttach 1]",
    "[fceSetInteger 0, 10, 500]",
    "[fceSetInteger 0, 1, 80000]",
    "[fceSetInteger 0, 5, 80000]",
    "[fceSetInteger 0, 13, 80000]",
    "[fceSetInteger 0, 3, 80000]",
};

class DownloadPassTest : public ::testing::Test {
 protected:
  Flow Run() { return DownloadPass(world_.services, run_); }

  TestConfig config_;
  RunState run_ = config_.State();
  FakeWorld world_;
};

TEST_F(DownloadPassTest, SuccessfulPassMakesEveryCallInOrderAndPrintsTwoLines) {
  EXPECT_EQ(Run(), Flow::kGoOn);

  std::vector<std::string> expected = kAttachAndParameters;
  expected.insert(expected.end(),
                  {"[fceSetLocalDir 0, /home/u/profile]", config_.ConnectingLine(),
                   "[fceConnect 0, 192.0.2.10, sync, pa55 w0rd]", "[fceSetServerDir 0, /bookmarks]",
                   "[fceGetList 0, 3, bookmarks-shared.html, 2048]", "[fceSetMode 0, 66]",
                   "Downloading bookmarks-shared.html",
                   "[fceGetFile 0, bookmarks-shared.html:bookmarks.html]", "[fceClose 0]"});
  EXPECT_EQ(world_.transcript.events(), expected);
  EXPECT_EQ(run_.download_ok, 1);
}

TEST_F(DownloadPassTest, MissingServerFileClearsTheFlagWaitsForAKeyAndCloses) {
  world_.engine.Script("fceGetList", {0});
  world_.console.QueueKey("n");

  EXPECT_EQ(Run(), Flow::kGoOn);

  EXPECT_EQ(run_.download_ok, 0);
  const std::vector<std::string>& events = world_.transcript.events();
  const std::vector<std::string> tail(events.end() - 5, events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "[fceGetList 0, 3, bookmarks-shared.html, 2048]",
                      "Remote file bookmarks-shared.html not found, will use local copy (if any)",
                      "Press any key to continue", "[wait key n]", "[fceClose 0]"}));
  EXPECT_TRUE(world_.transcript.Matching("[fceSetMode").empty());
  EXPECT_TRUE(world_.transcript.Matching("[fceGetFile").empty());
}

TEST_F(DownloadPassTest, FailedAttachIsReportedOnceAndEndsTheRun) {
  world_.engine.Script("fceAttach", {-1});
  world_.console.QueueKey("x");

  EXPECT_EQ(Run(), Flow::kEndRun);

  EXPECT_EQ(world_.transcript.events(),
            (std::vector<std::string>{"[fceAttach 1]", "Cannot attach FCE-1",
                                      "Press any key to continue", "[wait key x]"}));
}

TEST_F(DownloadPassTest, ConnectFailingOnceSetsTheLocalDirectoryAgain) {
  world_.engine.Script("fceConnect", {-7});
  world_.engine.error_texts[-7] = "530 Login incorrect.";

  EXPECT_EQ(Run(), Flow::kGoOn);

  EXPECT_EQ(world_.transcript.Lines(),
            (Lines{config_.ConnectingLine(), "ERROR -7 530 Login incorrect.",
                   "Error connecting to 192.0.2.10 Retrying...", "Press any key to abort",
                   config_.ConnectingLine(), "Downloading bookmarks-shared.html"}));
  EXPECT_EQ(world_.transcript.Matching("[fceSetLocalDir").size(), 2u);
  EXPECT_EQ(world_.transcript.Matching("[pause").size(), 1u);
}

// A connect that fails while the local directory can no longer be set turns into the
// local-directory retry, without an engine error line.
TEST_F(DownloadPassTest, ConnectRetryRunsIntoTheLocalDirectoryRetry) {
  world_.engine.Script("fceConnect", {-7});
  world_.engine.Script("fceSetLocalDir", {0, -2});

  EXPECT_EQ(Run(), Flow::kGoOn);

  EXPECT_EQ(world_.transcript.Lines(),
            (Lines{config_.ConnectingLine(), "ERROR -7 ", "Error connecting to 192.0.2.10 Retrying...",
                   "Press any key to abort", "Error setting local Directory - retrying...",
                   "Press any key to abort", config_.ConnectingLine(),
                   "Downloading bookmarks-shared.html"}));
}

struct FailingStep {
  const char* operation;
  Lines lines;  // with the error code -5 and an empty engine text
  int pauses;
};

class DownloadStepFailsOnceTest : public ::testing::TestWithParam<FailingStep> {};

TEST_P(DownloadStepFailsOnceTest, ReportsRetriesFromItsRetryPointAndGoesOn) {
  const TestConfig config;
  RunState run = config.State();
  FakeWorld world;
  world.engine.Script(GetParam().operation, {-5});

  EXPECT_EQ(DownloadPass(world.services, run), Flow::kGoOn);

  EXPECT_EQ(world.transcript.Lines(), GetParam().lines);
  EXPECT_EQ(world.clock.pauses(), GetParam().pauses);
  EXPECT_EQ(run.download_ok, 1);
  EXPECT_EQ(world.transcript.Matching("[fceClose").size(),
            std::string(GetParam().operation) == "fceClose" ? 2u : 1u);
}

const std::string kConnecting = TestConfig().ConnectingLine();

INSTANTIATE_TEST_SUITE_P(
    Steps, DownloadStepFailsOnceTest,
    ::testing::Values(
        FailingStep{"fceSetLocalDir",
                    {"Error setting local Directory - retrying...", "Press any key to abort",
                     kConnecting, "Downloading bookmarks-shared.html"},
                    1},
        FailingStep{"fceConnect",
                    {kConnecting, "ERROR -5 ", "Error connecting to 192.0.2.10 Retrying...",
                     "Press any key to abort", kConnecting, "Downloading bookmarks-shared.html"},
                    1},
        FailingStep{"fceSetServerDir",
                    {kConnecting, "ERROR -5 ", "Error setting remote directory - Retrying...",
                     "Press any key to abort", "Downloading bookmarks-shared.html"},
                    1},
        FailingStep{"fceGetList",
                    {kConnecting, "ERROR -5 ", "Error checking for bookmarks-shared.html Retrying...",
                     "Press any key to abort", "Downloading bookmarks-shared.html"},
                    1},
        FailingStep{"fceSetMode",
                    {kConnecting, "ERROR -5 ", "Error setting binary mode - Retrying...",
                     "Press any key to abort", "Downloading bookmarks-shared.html"},
                    1},
        FailingStep{"fceGetFile",
                    {kConnecting, "Downloading bookmarks-shared.html", "ERROR -5 ",
                     "Error downloading - Retrying...", "Press any key to abort",
                     "Downloading bookmarks-shared.html"},
                    1},
        FailingStep{"fceClose",
                    {kConnecting, "Downloading bookmarks-shared.html", "ERROR -5 ",
                     "Error closing connection to server - Retrying...", "Press any key to abort"},
                    0}),
    [](const ::testing::TestParamInfo<FailingStep>& info) { return info.param.operation; });

TEST_F(DownloadPassTest, ExistenceCheckRefillsItsBufferForEveryTry) {
  world_.engine.Script("fceGetList", {-5, 1});
  EXPECT_EQ(Run(), Flow::kGoOn);
  EXPECT_EQ(world_.transcript.Matching("[fceGetList"),
            (Lines{"[fceGetList 0, 3, bookmarks-shared.html, 2048]",
                   "[fceGetList 0, 3, bookmarks-shared.html, 2048]"}));
}

TEST_F(DownloadPassTest, KeyTypedEarlierAbortsTheFirstFailingStep) {
  world_.console.QueueKey("q");
  world_.engine.Script("fceSetServerDir", {-5});

  EXPECT_EQ(Run(), Flow::kEndRun);

  const std::vector<std::string>& events = world_.transcript.events();
  EXPECT_EQ(events.back(), "Aborting");
  EXPECT_EQ(events[events.size() - 2], "[poll q]");
  EXPECT_EQ(events[events.size() - 3], "[pause 5000]");
  EXPECT_TRUE(world_.transcript.Matching("[fceClose").empty());
  EXPECT_TRUE(world_.transcript.Matching("[fceRelease").empty());
}

TEST_F(DownloadPassTest, LongNamesReachTheEngineWhole) {
  run_.config.ServerFile() = std::string(99, 's');
  run_.config.LocalFile() = std::string(99, 'l');
  EXPECT_EQ(Run(), Flow::kGoOn);
  EXPECT_EQ(world_.transcript.Matching("[fceGetFile"),
            Lines{"[fceGetFile 0, " + std::string(99, 's') + ":" + std::string(99, 'l') + "]"});
}

}  // namespace
}  // namespace zuno
