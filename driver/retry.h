#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "driver/sync_services.h"

namespace zuno {

// How a failed step is reported and tried again.
enum class RetryShape {
  // Engine error line, failure line, "Press any key to abort", a 5000 ms pause,
  // then one key poll.
  kStandard,
  // One key poll at once, before anything is printed; then the failure line,
  // "Press any key to abort" and the pause. No engine error line.
  kPollFirst,
  // Engine error line, failure line, "Press any key to abort", then one key poll
  // at once, without a pause.
  kNoPause,
};

inline constexpr uint32_t kRetryPauseMs = 5000;

// One step that is tried until it succeeds or the user presses a key.
struct RetriedStep {
  RetryShape shape = RetryShape::kStandard;
  // Where each new try begins, before the attempt (a progress line printed again,
  // an earlier step made again). May end the run. Empty: the attempt itself.
  std::function<Flow()> retry_point;
  // The attempt; negative is failure.
  std::function<int32_t()> attempt;
  // The step's own failure line, asked for after each failed attempt.
  std::function<std::string()> failure_line;
  // Whether a failure prints the engine's error line first (kPollFirst never does).
  bool engine_error_line = true;
};

// The engine result as the driver keeps it: the low 16 bits, signed.
int16_t EngineResult(int32_t raw);

// Prints "ERROR ", the code in its printed form and the engine's text for it.
void ShowEngineError(SyncServices& services, int32_t code);

// Prints "Aborting"; the run then ends at once, with no further engine call.
Flow AbortRun(SyncServices& services);

// Runs the step to success: its result (zero or positive), or nothing when a key
// ended the run (after AbortRun) or its retry point ended it.
std::optional<int16_t> RunRetriedStep(SyncServices& services, const RetriedStep& step);

}  // namespace zuno
