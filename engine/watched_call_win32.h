#pragma once

// Include only from Windows sources.

#include <cstdint>
#include <functional>

namespace zuno {

// How a watched call came back.
enum class CallEnd {
  kFinished,  // the work ran to its end
  kTimedOut,  // the deadline passed first
  kStalled,   // its bytes stopped moving (see StallWatch)
};

// The limits a watched call is held to.
struct CallLimits {
  int64_t deadline_ms = 0;  // 0: none
  // The bytes the work has moved so far, read while it runs; with it the call is
  // held to the stall rule of stall_ms and stall_bytes_per_second.
  std::function<int64_t()> progress;
  int64_t stall_ms = 0;
  int64_t stall_bytes_per_second = 0;
};

// Runs blocking work on a thread of its own and waits until it ends or a limit is
// reached. Then `cancel` is called (it closes what the work is blocked on), the
// work gets a short while to come back, and is otherwise left to end by itself
// later. So the work must own everything it touches: copies and shared state,
// never references into the caller.
CallEnd RunWatched(std::function<void()> work, const CallLimits& limits,
                   const std::function<void()>& cancel);

}  // namespace zuno
