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
using Events = std::vector<std::string>;

const Events kRunAndFlush = {
    "Running (synchronous) firefox --new-window",
    "[run firefox --new-window show=1 wait]",
    "Awaiting the final buffer flush of bookmark file from browser...",
    "[pause 30000]",
};

TEST(BrowserRunTest, RunsTheBrowserWaitsForTheFlushAndGoesOnToTheUpload) {
  FakeWorld world;
  RunState run = TestConfig().State();

  EXPECT_EQ(BrowserRun(world.services, run), Flow::kGoOn);
  EXPECT_EQ(world.transcript.events(), kRunAndFlush);
}

struct Answer {
  const char* name;
  KeyValue key;
  bool uploads;
};

class UploadQuestionTest : public ::testing::TestWithParam<Answer> {};

TEST_P(UploadQuestionTest, OnlyYesGoesOnAndAnyOtherKeyClosesAndReleases) {
  FakeWorld world;
  RunState run = TestConfig().State();
  run.download_ok = 0;
  world.console.QueueKey(GetParam().key);

  const Flow flow = BrowserRun(world.services, run);

  Events expected = kRunAndFlush;
  expected.push_back("Previous download failed - do upload (Y/N)?");
  expected.push_back("[wait key " + testing::KeyName(GetParam().key) + "]");
  if (GetParam().uploads) {
    EXPECT_EQ(flow, Flow::kGoOn);
  } else {
    EXPECT_EQ(flow, Flow::kEndRun);
    expected.push_back("[fceClose 0]");
    expected.push_back("[fceRelease]");
  }
  EXPECT_EQ(world.transcript.events(), expected);
}

INSTANTIATE_TEST_SUITE_P(Keys, UploadQuestionTest,
                         ::testing::Values(Answer{"y", "y", true}, Answer{"Y", "Y", true},
                                           Answer{"n", "n", false}, Answer{"N", "N", false},
                                           Answer{"Enter", "\r", false},
                                           Answer{"Esc", "\x1b", false},
                                           Answer{"F1", KeyValue("\0\x3b", 2), false},
                                           Answer{"Up", KeyValue("\0\x48", 2), false},
                                           Answer{"AltY", KeyValue("\0\x15", 2), false}),
                         [](const ::testing::TestParamInfo<Answer>& info) {
                           return info.param.name;
                         });

TEST(UploadQuestionTest, KeyTypedDuringTheBrowserRunAnswersIt) {
  FakeWorld world;
  RunState run = TestConfig().State();
  run.download_ok = 0;
  world.programs.program = [&](const std::string&) { world.console.QueueKey("y"); };

  EXPECT_EQ(BrowserRun(world.services, run), Flow::kGoOn);
  EXPECT_EQ(world.transcript.events().back(), "[wait key y]");
}

TEST(UploadQuestionTest, DeclineEndsEvenWhenCloseAndReleaseFail) {
  FakeWorld world;
  RunState run = TestConfig().State();
  run.download_ok = 0;
  world.engine.Script("fceClose", {-9});
  world.engine.Script("fceRelease", {-9});
  world.console.QueueKey("n");

  EXPECT_EQ(BrowserRun(world.services, run), Flow::kEndRun);
  EXPECT_EQ(world.transcript.Lines().back(), "Previous download failed - do upload (Y/N)?");
}

}  // namespace
}  // namespace zuno
