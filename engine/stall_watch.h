#pragma once

#include <cstdint>
#include <deque>
#include <utility>

namespace zuno {

// Watches a transfer whose bytes can be counted while it runs: it has stalled when,
// over the last `stall_ms`, fewer bytes moved than `bytes_per_second` for that
// long. The first window starts with the transfer, so a transfer that never gets
// going stalls too.
class StallWatch {
 public:
  StallWatch(int64_t stall_ms, int64_t bytes_per_second);

  // Records how many bytes had moved at `elapsed_ms` since the start (both never
  // go down) and tells whether the transfer has stalled by then.
  bool Stalled(int64_t elapsed_ms, int64_t bytes_so_far);

 private:
  int64_t stall_ms_;
  int64_t bytes_per_window_;
  std::deque<std::pair<int64_t, int64_t>> samples_;  // (elapsed ms, bytes)
};

// The longest an upload of `size` bytes may take when its bytes cannot be counted
// on the way: long enough to move them all at the stall threshold's rate, plus one
// stall time and one reply limit.
int64_t UploadTimeLimitMs(int64_t size, int64_t stall_ms, int64_t bytes_per_second,
                          int64_t reply_ms);

}  // namespace zuno
