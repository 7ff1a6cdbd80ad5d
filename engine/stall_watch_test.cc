#include "engine/stall_watch.h"

#include <gtest/gtest.h>

namespace zuno {
namespace {

TEST(StallWatchTest, SteadyTransferNeverStalls) {
  StallWatch watch(2000, 500);  // at least 1000 bytes in every 2 s
  for (int64_t ms = 0; ms <= 20000; ms += 100) {
    ASSERT_FALSE(watch.Stalled(ms, ms)) << ms;  // 1000 bytes per second
  }
}

TEST(StallWatchTest, TransferThatStopsStallsOneWindowLater) {
  StallWatch watch(2000, 500);
  for (int64_t ms = 0; ms <= 5000; ms += 100) ASSERT_FALSE(watch.Stalled(ms, ms * 10));
  // No byte after 5 s: still in time until the window holds nothing else.
  EXPECT_FALSE(watch.Stalled(6000, 50000));
  EXPECT_FALSE(watch.Stalled(6900, 50000));
  EXPECT_TRUE(watch.Stalled(7100, 50000));
}

TEST(StallWatchTest, TransferThatNeverStartsStallsAfterOneWindow) {
  StallWatch watch(2000, 500);
  EXPECT_FALSE(watch.Stalled(1000, 0));
  EXPECT_FALSE(watch.Stalled(1999, 0));
  EXPECT_TRUE(watch.Stalled(2000, 0));
}

TEST(StallWatchTest, TooSlowIsAStallEvenWhileBytesMove) {
  StallWatch watch(2000, 500);
  bool stalled = false;
  for (int64_t ms = 0; ms <= 10000 && !stalled; ms += 100) stalled = watch.Stalled(ms, ms / 4);
  EXPECT_TRUE(stalled);  // 250 bytes per second
}

TEST(StallWatchTest, UploadLimitCoversTheWholeFileAtTheThresholdRate) {
  EXPECT_EQ(UploadTimeLimitMs(100000, 80000, 500, 80000), 200000 + 80000 + 80000);
  EXPECT_EQ(UploadTimeLimitMs(0, 2000, 500, 2000), 4000);
  EXPECT_EQ(UploadTimeLimitMs(1000, 2000, 0, 2000), 1000000 + 4000);
}

}  // namespace
}  // namespace zuno
