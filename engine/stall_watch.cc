#include "engine/stall_watch.h"

namespace zuno {

StallWatch::StallWatch(int64_t stall_ms, int64_t bytes_per_second)
    : stall_ms_(stall_ms > 0 ? stall_ms : 1),
      bytes_per_window_((bytes_per_second > 0 ? bytes_per_second : 0) * stall_ms_ / 1000) {
  samples_.emplace_back(0, 0);
}

bool StallWatch::Stalled(int64_t elapsed_ms, int64_t bytes_so_far) {
  samples_.emplace_back(elapsed_ms, bytes_so_far);
  const int64_t window_start = elapsed_ms - stall_ms_;
  if (window_start < 0) return false;
  // Keep the newest sample at or before the window's start: the bytes moved since
  // then are the bytes of the window.
  while (samples_.size() > 1 && samples_[1].first <= window_start) samples_.pop_front();
  const int64_t moved = bytes_so_far - samples_.front().second;
  return moved < bytes_per_window_ || (bytes_per_window_ == 0 && moved == 0);
}

int64_t UploadTimeLimitMs(int64_t size, int64_t stall_ms, int64_t bytes_per_second,
                          int64_t reply_ms) {
  const int64_t rate = bytes_per_second > 0 ? bytes_per_second : 1;
  return size * 1000 / rate + stall_ms + reply_ms;
}

}  // namespace zuno
