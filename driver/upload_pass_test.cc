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

const std::string kLocalFilePath = TestConfig().LocalPath("bookmarks.html");
const std::string kStagingFilePath = TestConfig().LocalPath("bookmarks-shared.html");
const std::string kCopy = "[copy " + kLocalFilePath + " -> " + kStagingFilePath + "]";
const std::string kConnecting = TestConfig().ConnectingLine();

class UploadPassTest : public ::testing::Test {
 protected:
  UploadPassTest() { world_.files.files[kLocalFilePath] = "<browser's bookmarks>"; }
  void Run() { UploadPass(world_.services, run_); }

  TestConfig config_;
  RunState run_ = config_.State();
  FakeWorld world_;
};

TEST_F(UploadPassTest, SuccessfulPassStagesTheFileReplacesTheServerCopyAndReleases) {
  Run();

  EXPECT_EQ(world_.transcript.events(),
            (Lines{"[fceSetLocalDir 0, /home/u/profile]", kCopy, kConnecting,
                   "[fceConnect 0, 192.0.2.10, sync, pa55 w0rd]", "[fceSetServerDir 0, /bookmarks]",
                   "[fceSetMode 0, 66]", "[fceCheckServerCopy 0, bookmarks-shared.html]",
                   "[fceDelFile 0, bookmarks-shared.html]", "Uploading bookmarks-shared.html",
                   "[fcePutFile 0, bookmarks-shared.html]", "[fceClose 0]", "[fceRelease]"}));
  EXPECT_EQ(world_.files.files[kStagingFilePath], "<browser's bookmarks>");
}

struct FailingStep {
  const char* operation;
  Lines lines;  // with the error code -5 and an empty engine text
};

class UploadStepFailsOnceTest : public ::testing::TestWithParam<FailingStep> {};

TEST_P(UploadStepFailsOnceTest, RetriesOnlyFromItsOwnRetryPoint) {
  FakeWorld world;
  world.files.files[kLocalFilePath] = "bookmarks";
  RunState run = TestConfig().State();
  world.engine.Script(GetParam().operation, {-5});

  UploadPass(world.services, run);

  EXPECT_EQ(world.transcript.Lines(), GetParam().lines);
  EXPECT_EQ(world.clock.pauses(), 1);
  // The staging copy and the delete are never redone by a later step's retry.
  EXPECT_EQ(world.transcript.Matching("[copy").size(), 1u);
  EXPECT_EQ(world.transcript.Matching("[fceDelFile").size(),
            std::string(GetParam().operation) == "fceDelFile" ? 2u : 1u);
  EXPECT_EQ(world.transcript.events().back(), "[fceRelease]");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UploadStepFailsOnceTest,
    ::testing::Values(
        FailingStep{"fceSetLocalDir",
                    {"ERROR -5 ", "Error setting local directory - Retrying...",
                     "Press any key to abort", kConnecting, "Uploading bookmarks-shared.html"}},
        FailingStep{"fceConnect",
                    {kConnecting, "ERROR -5 ", "Error connecting to server - Retrying...",
                     "Press any key to abort", kConnecting, "Uploading bookmarks-shared.html"}},
        FailingStep{"fceSetServerDir",
                    {kConnecting, "ERROR -5 ", "Error setting remote directory - Retrying...",
                     "Press any key to abort", "Uploading bookmarks-shared.html"}},
        FailingStep{"fceSetMode",
                    {kConnecting, "ERROR -5 ", "Error setting binary mode - Retrying...",
                     "Press any key to abort", "Uploading bookmarks-shared.html"}},
        FailingStep{
            "fceCheckServerCopy",
            {kConnecting, "ERROR -5 ", "Error checking for bookmarks-shared.html Retrying...",
             "Press any key to abort", "Uploading bookmarks-shared.html"}},
        FailingStep{"fceDelFile",
                    {kConnecting, "ERROR -5 ", "Error deleting server file - Retrying...",
                     "Press any key to abort", "Uploading bookmarks-shared.html"}},
        FailingStep{"fcePutFile",
                    {kConnecting, "Uploading bookmarks-shared.html", "ERROR -5 ",
                     "Error uploading to server - Retrying...", "Press any key to abort",
                     "Uploading bookmarks-shared.html"}},
        FailingStep{
            "fceClose",
            {kConnecting, "Uploading bookmarks-shared.html", "ERROR -5 ",
             "Error closing connection to server - Retrying...", "Press any key to abort"}}),
    [](const ::testing::TestParamInfo<FailingStep>& info) { return info.param.operation; });

TEST_F(UploadPassTest, LocalDirectoryRetriesDoNotRepeatTheSeparatorOrTheCopy) {
  world_.engine.Script("fceSetLocalDir", {-5, -5});
  Run();
  EXPECT_EQ(world_.transcript.Matching("[fceSetLocalDir"),
            Lines(3, "[fceSetLocalDir 0, /home/u/profile]"));
  EXPECT_EQ(world_.transcript.Matching("[copy"), Lines{kCopy});
}

TEST_F(UploadPassTest, LongPathsAreUsedWhole) {
  run_.config.LocalDir() = "/" + std::string(90, 'd');
  run_.config.LocalFile() = std::string(60, 'l');
  const std::string dir = "/" + std::string(90, 'd') + kPathSeparator;
  world_.files.files[dir + std::string(60, 'l')] = "bookmarks";
  Run();
  EXPECT_EQ(world_.transcript.Matching("[copy"),
            Lines{"[copy " + dir + std::string(60, 'l') + " -> " + dir + "bookmarks-shared.html]"});
}

// Uploading after a failed copy would send a stale file, or none, over the server's copy.
TEST_F(UploadPassTest, FailedStagingCopyIsReportedAndRetriedBeforeAnyConnect) {
  world_.files.copy_failures = {"Permission denied"};
  Run();
  const Lines& events = world_.transcript.events();
  const Lines head(events.begin(), events.begin() + 8);
  EXPECT_EQ(head, (Lines{"[fceSetLocalDir 0, /home/u/profile]", kCopy,
                         "Error copying " + kLocalFilePath + " (Permission denied) - Retrying...",
                         "Press any key to abort", "[pause 5000]", "[poll]", kCopy, kConnecting}));
  EXPECT_EQ(events.back(), "[fceRelease]");
}

TEST_F(UploadPassTest, KeyDuringAFailingCopyAbortsWithoutTouchingTheServer) {
  world_.files.files.clear();
  world_.console.QueueKey("x");
  Run();
  EXPECT_EQ(world_.transcript.Lines(),
            (Lines{"Error copying " + kLocalFilePath + " (No such file or directory) - Retrying...",
                   "Press any key to abort", "Aborting"}));
  EXPECT_TRUE(world_.transcript.Matching("[fceConnect").empty());
  EXPECT_TRUE(world_.transcript.Matching("[fcePutFile").empty());
}

TEST_F(UploadPassTest, KeyAfterTheDeleteAbortsWithoutCloseOrRelease) {
  world_.engine.Script("fcePutFile", {-5});
  world_.console.QueueKey("x");
  Run();
  const Lines& events = world_.transcript.events();
  EXPECT_EQ(events.back(), "Aborting");
  EXPECT_TRUE(world_.transcript.Matching("[fceClose").empty());
  EXPECT_TRUE(world_.transcript.Matching("[fceRelease").empty());
}

// The server copy changed since the download, or the browser left an empty file:
// only y or Y replaces the server copy; any other key, or none at all (no
// terminal), keeps it and sends this machine's copy beside it.
struct QuestionCase {
  const char* label;
  int32_t check;  // what fceCheckServerCopy found
  KeyValue key;   // the answer; empty: no terminal
  bool replaces;
};

class ServerCopyQuestionTest : public ::testing::TestWithParam<QuestionCase> {};

TEST_P(ServerCopyQuestionTest, OnlyYesReplacesAndNothingIsLostEitherWay) {
  FakeWorld world;
  world.files.files[kLocalFilePath] = "bookmarks";
  RunState run = TestConfig().State();
  world.engine.Script("fceCheckServerCopy", {GetParam().check});
  if (!GetParam().key.empty()) world.console.QueueKey(GetParam().key);

  UploadPass(world.services, run);

  const Lines question =
      GetParam().check == 1
          ? Lines{"Server copy of bookmarks-shared.html was uploaded by another machine since the "
                  "download",
                  "Server copy of bookmarks-shared.html changed since the download - replace it "
                  "(Y/N)?"}
          : Lines{"bookmarks.html is empty, the server copy of bookmarks-shared.html is not",
                  "Replace the server copy of bookmarks-shared.html with the empty file (Y/N)?"};
  Lines expected{kConnecting};
  expected.insert(expected.end(), question.begin(), question.end());
  if (GetParam().replaces) {
    expected.push_back("Uploading bookmarks-shared.html");
  } else {
    expected.push_back("Uploading bookmarks-shared.html as a conflict copy");
    expected.push_back("Server copy kept; this machine's copy is on the server as " +
                       world.engine.conflict_name + " - import it in the browser and sync again");
  }
  EXPECT_EQ(world.transcript.Lines(), expected);
  EXPECT_EQ(world.transcript.Matching("[fcePutFile").size(), GetParam().replaces ? 1u : 0u);
  EXPECT_EQ(world.transcript.Matching("[fceDelFile").size(), GetParam().replaces ? 1u : 0u);
  EXPECT_EQ(world.transcript.Matching("[fcePutConflictCopy").size(), GetParam().replaces ? 0u : 1u);
  EXPECT_EQ(world.transcript.events().back() == "[fceRelease]", GetParam().replaces);
}

INSTANTIATE_TEST_SUITE_P(Answers, ServerCopyQuestionTest,
                         ::testing::Values(QuestionCase{"ChangedYes", 1, "y", true},
                                           QuestionCase{"ChangedUpperYes", 1, "Y", true},
                                           QuestionCase{"ChangedNo", 1, "n", false},
                                           QuestionCase{"ChangedEnter", 1, "\r", false},
                                           QuestionCase{"ChangedNoTerminal", 1, "", false},
                                           QuestionCase{"EmptyYes", 2, "y", true},
                                           QuestionCase{"EmptyNoTerminal", 2, "", false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(UploadPassTest, FailedConflictCopyIsRetriedWithItsOwnLine) {
  world_.engine.Script("fceCheckServerCopy", {1});
  world_.engine.Script("fcePutConflictCopy", {-8});
  world_.console.QueueKey("n");
  Run();
  const Lines lines = world_.transcript.Lines();
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(Lines(lines.begin() + 3, lines.begin() + 7),
            (Lines{"Uploading bookmarks-shared.html as a conflict copy", "ERROR -8 ",
                   "Error uploading to server - Retrying...", "Press any key to abort"}));
  EXPECT_EQ(lines[7], "Uploading bookmarks-shared.html as a conflict copy");
  EXPECT_EQ(world_.transcript.Matching("[fcePutConflictCopy").size(), 2u);
}

TEST_F(UploadPassTest, ServerWithoutAHistoryIsToldOnce) {
  world_.engine.Script("fcePutFile", {1});
  Run();
  EXPECT_EQ(world_.transcript.Lines(),
            (Lines{kConnecting, "Uploading bookmarks-shared.html",
                   "The server keeps no zuno-history directory: the replaced copy of "
                   "bookmarks-shared.html was not kept"}));
  EXPECT_EQ(world_.transcript.events().back(), "[fceRelease]");
}

}  // namespace
}  // namespace zuno
