#pragma once

#include <cstdint>

namespace zuno {

// The driver's only notion of time: plain pauses during which nothing else happens
// (the keyboard is not read; keys typed meanwhile stay queued).
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Pause(uint32_t milliseconds) = 0;
};

// The real clock: sleeps the calling thread for the whole time.
class SystemClock final : public Clock {
 public:
  void Pause(uint32_t milliseconds) override;
};

}  // namespace zuno
