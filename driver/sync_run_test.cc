#include "driver/sync_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/startup.h"
#include "tests/support/fakes.h"
#include "tests/support/sync_fixture.h"

namespace zuno {
namespace {

using testing::FakeWorld;
using testing::kConfigPath;
using testing::TestConfig;
using Lines = std::vector<std::string>;

class SyncRunTest : public ::testing::Test {
 protected:
  SyncRunTest() {
    world_.files.files[kConfigPath] = config_.FileText();
    world_.files.files[config_.LocalPath("bookmarks.html")] = "<local bookmarks>";
  }
  int Run() { return RunZuno(world_.services, SplitCommandLine(kConfigPath)); }

  TestConfig config_;
  FakeWorld world_;
};

TEST_F(SyncRunTest, WholeCyclePrintsExactlyItsLinesAndEndsWithoutAKey) {
  world_.programs.program = [&](const std::string&) {
    world_.files.files[config_.LocalPath("bookmarks.html")] = "<edited bookmarks>";
  };

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(world_.transcript.Lines(),
            (Lines{kTitleLine, kAttributionLine, "", std::string("opening ") + kConfigPath,
                   config_.ConnectingLine(), "Downloading bookmarks-shared.html",
                   "Running (synchronous) firefox --new-window",
                   "Awaiting the final buffer flush of bookmark file from browser...",
                   config_.ConnectingLine(), "Uploading bookmarks-shared.html"}));
  EXPECT_EQ(world_.files.files[config_.LocalPath("bookmarks-shared.html")], "<edited bookmarks>");
  EXPECT_EQ(world_.transcript.Matching("[fceAttach").size(), 1u);
  EXPECT_EQ(world_.transcript.events().back(), "[fceRelease]");
  EXPECT_TRUE(world_.transcript.Matching("[wait key").empty());
}

TEST_F(SyncRunTest, MissingServerFileDeclinedUploadsNothing) {
  world_.engine.Script("fceGetList", {0});
  world_.console.QueueKey(" ");  // for "Press any key to continue"
  world_.console.QueueKey("n");  // the upload question

  EXPECT_EQ(Run(), 0);

  EXPECT_EQ(world_.transcript.Lines().back(), "Previous download failed - do upload (Y/N)?");
  EXPECT_TRUE(world_.transcript.Matching("[fcePutFile").empty());
  EXPECT_TRUE(world_.transcript.Matching("[copy").empty());
  const Lines& events = world_.transcript.events();
  EXPECT_EQ(Lines(events.end() - 2, events.end()), (Lines{"[fceClose 0]", "[fceRelease]"}));
}

TEST_F(SyncRunTest, MissingServerFileAnsweredYesDeletesThenUploads) {
  world_.engine.Script("fceGetList", {0});
  world_.console.QueueKey(" ");
  world_.console.QueueKey("Y");

  EXPECT_EQ(Run(), 0);

  const Lines upload_calls = world_.transcript.Matching("[fceDelFile");
  EXPECT_EQ(upload_calls, Lines{"[fceDelFile 0, bookmarks-shared.html]"});
  EXPECT_EQ(world_.transcript.Matching("[fcePutFile"),
            Lines{"[fcePutFile 0, bookmarks-shared.html]"});
  EXPECT_EQ(world_.transcript.events().back(), "[fceRelease]");
}

TEST_F(SyncRunTest, KeyTypedDuringTheFlushWaitAbortsTheFirstFailingUploadStep) {
  world_.clock.during_pause = [&](int, uint32_t milliseconds) {
    if (milliseconds == 30000) world_.console.QueueKey("k");
  };
  world_.engine.Script("fceConnect", {0, -4});  // the upload pass's connect fails

  EXPECT_EQ(Run(), 0);

  const Lines& events = world_.transcript.events();
  EXPECT_EQ(Lines(events.end() - 3, events.end()), (Lines{"[pause 5000]", "[poll k]", "Aborting"}));
  EXPECT_TRUE(world_.transcript.Matching("[fceRelease").empty());
}

// Every engine step fails once with a login-style error: no line ever shows the password.
TEST_F(SyncRunTest, PasswordIsInNoLineEvenWhenEveryStepFails) {
  for (const char* operation : {"fceSetLocalDir", "fceConnect", "fceSetServerDir", "fceGetList",
                                "fceSetMode", "fceGetFile", "fceDelFile", "fcePutFile", "fceClose"}) {
    world_.engine.Script(operation, {-3});
  }
  world_.engine.error_texts[-3] = "530 Login incorrect.";

  EXPECT_EQ(Run(), 0);

  for (const std::string& line : world_.transcript.Lines()) {
    EXPECT_EQ(line.find(config_.password), std::string::npos) << line;
  }
  EXPECT_EQ(world_.transcript.events().back(), "[fceRelease]");
}

TEST_F(SyncRunTest, InvalidConfigurationTouchesNoEngine) {
  world_.files.files[kConfigPath] = "too short\r\n";
  world_.console.QueueKey("x");
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(world_.transcript.Matching("[fce").empty());
  EXPECT_EQ(world_.transcript.Lines().back(), "Press any key to continue");
}

}  // namespace
}  // namespace zuno
