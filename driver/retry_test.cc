#include "driver/retry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fakes.h"

namespace zuno {
namespace {

using testing::FakeWorld;

struct RetryCase {
  const char* name;
  RetryShape shape;
  std::vector<int32_t> results;  // of the attempt, one per try
  const char* key_before = nullptr;  // queued before the step starts
  int key_in_pause = -1;             // queue "k" during this pause (by number)
  bool succeeds = true;
  std::vector<std::string> events;
};

class RetryShapeTest : public ::testing::TestWithParam<RetryCase> {};

TEST_P(RetryShapeTest, ReportsPausesAndPollsInOrder) {
  const RetryCase& c = GetParam();
  FakeWorld world;
  world.engine.Script("fceSetServerDir", c.results);
  world.engine.error_texts[-3] = "550 No such directory.";
  if (c.key_before) world.console.QueueKey(c.key_before);
  world.clock.during_pause = [&](int pause, uint32_t) {
    if (pause == c.key_in_pause) world.console.QueueKey("k");
  };

  const RetriedStep step{
      .shape = c.shape,
      .attempt = [&] { return world.engine.fceSetServerDir(0, "/d"); },
      .failure_line = [] { return std::string("Step failed - Retrying..."); },
      .engine_error_line = c.shape != RetryShape::kPollFirst,
  };
  const std::optional<int16_t> result = RunRetriedStep(world.services, step);

  EXPECT_EQ(result.has_value(), c.succeeds);
  EXPECT_EQ(world.transcript.events(), c.events);
}

const std::vector<std::string> kStandardFailure = {
    "[fceSetServerDir 0, /d]", "[fceErrorText 0, -3, 150]", "ERROR -3 550 No such directory.",
    "Step failed - Retrying...", "Press any key to abort", "[pause 5000]"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RetryShapeTest,
    ::testing::Values(
        RetryCase{"StandardSucceedsAtOnce", RetryShape::kStandard, {0}, nullptr, -1, true,
                  {"[fceSetServerDir 0, /d]"}},
        RetryCase{"StandardFailsTwiceThenSucceeds", RetryShape::kStandard, {-3, -3, 0}, nullptr,
                  -1, true,
                  Concat({kStandardFailure, {"[poll]"}, kStandardFailure, {"[poll]"},
                          {"[fceSetServerDir 0, /d]"}})},
        // A key typed long before is still found, but only after the whole pause.
        RetryCase{"StandardKeyQueuedEarlier", RetryShape::kStandard, {-3}, "x", -1, false,
                  Concat({kStandardFailure, {"[poll x]", "Aborting"}})},
        RetryCase{"StandardKeyDuringPause", RetryShape::kStandard, {-3}, nullptr, 0, false,
                  Concat({kStandardFailure, {"[poll k]", "Aborting"}})},
        // A waiting key ends the run before anything of the failure is shown.
        RetryCase{"PollFirstKeyWaiting", RetryShape::kPollFirst, {-3}, "x", -1, false,
                  {"[fceSetServerDir 0, /d]", "[poll x]", "Aborting"}},
        // A key in the pause is seen only after the next failure; a success leaves it queued.
        RetryCase{"PollFirstKeyDuringPauseThenSuccess", RetryShape::kPollFirst, {-3, 0}, nullptr,
                  0, true,
                  {"[fceSetServerDir 0, /d]", "[poll]", "Step failed - Retrying...",
                   "Press any key to abort", "[pause 5000]", "[fceSetServerDir 0, /d]"}},
        RetryCase{"PollFirstKeyDuringPauseThenFailure", RetryShape::kPollFirst, {-3, -3}, nullptr,
                  0, false,
                  {"[fceSetServerDir 0, /d]", "[poll]", "Step failed - Retrying...",
                   "Press any key to abort", "[pause 5000]", "[fceSetServerDir 0, /d]", "[poll k]",
                   "Aborting"}},
        RetryCase{"NoPauseRepeatsWithoutPausing", RetryShape::kNoPause, {-3, -3, 0}, nullptr, -1,
                  true,
                  {"[fceSetServerDir 0, /d]", "[fceErrorText 0, -3, 150]",
                   "ERROR -3 550 No such directory.", "Step failed - Retrying...",
                   "Press any key to abort", "[poll]", "[fceSetServerDir 0, /d]",
                   "[fceErrorText 0, -3, 150]", "ERROR -3 550 No such directory.",
                   "Step failed - Retrying...", "Press any key to abort", "[poll]",
                   "[fceSetServerDir 0, /d]"}},
        RetryCase{"NoPauseKeyWaiting", RetryShape::kNoPause, {-3}, "x", -1, false,
                  {"[fceSetServerDir 0, /d]", "[fceErrorText 0, -3, 150]",
                   "ERROR -3 550 No such directory.", "Step failed - Retrying...",
                   "Press any key to abort", "[poll x]", "Aborting"}}),
    [](const ::testing::TestParamInfo<RetryCase>& info) { return info.param.name; });

TEST(ShowEngineErrorTest, EmptyEngineTextLeavesCodeAndBlank) {
  FakeWorld world;
  ShowEngineError(world.services, -12);
  EXPECT_EQ(world.transcript.Lines(), std::vector<std::string>{"ERROR -12 "});
}

TEST(ShowEngineErrorTest, LongEngineTextIsCutToTheBuffer) {
  FakeWorld world;
  world.engine.error_texts[-1] = std::string(400, 'e');
  ShowEngineError(world.services, -1);
  EXPECT_EQ(world.transcript.Lines(), std::vector<std::string>{"ERROR -1 " + std::string(149, 'e')});
}

TEST(EngineResultTest, KeepsTheLowSixteenBitsSigned) {
  EXPECT_EQ(EngineResult(-7), -7);
  EXPECT_EQ(EngineResult(5), 5);
  EXPECT_EQ(EngineResult(0x00010005), 5);
  EXPECT_EQ(EngineResult(0x0000FFFF), -1);
  EXPECT_EQ(EngineResult(0x00008000), -32768);
}

TEST(RetryPointTest, RunsBeforeEveryAttemptAndCanEndTheRun) {
  FakeWorld world;
  world.engine.Script("fceSetServerDir", {-3, 0});
  int visits = 0;
  const RetriedStep step{
      .retry_point =
          [&] {
            world.console.PrintText("again");
            world.console.EndLine();
            return ++visits < 3 ? Flow::kGoOn : Flow::kEndRun;
          },
      .attempt = [&] { return world.engine.fceSetServerDir(0, "/d"); },
      .failure_line = [] { return std::string("failed"); },
  };
  EXPECT_TRUE(RunRetriedStep(world.services, step).has_value());
  EXPECT_EQ(visits, 2);
  EXPECT_EQ(world.transcript.Lines(),
            (std::vector<std::string>{"again", "ERROR -3 ", "failed", "Press any key to abort",
                                      "again"}));
}

}  // namespace
}  // namespace zuno
