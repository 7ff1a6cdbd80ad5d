#include "driver/retry.h"

#include <array>
#include <cstring>

#include "driver/console_lines.h"

namespace zuno {

namespace {

constexpr int32_t kErrorTextSize = 150;

// Prints the lines of a failed attempt; the engine error line only where the shape has it.
void ReportFailure(SyncServices& services, const RetriedStep& step, int16_t result) {
  if (step.engine_error_line && step.shape != RetryShape::kPollFirst) {
    ShowEngineError(services, result);
  }
  PrintLine(services.console, {step.failure_line()});
  PrintLine(services.console, {"Press any key to abort"});
}

bool KeyWaiting(SyncServices& services) { return !services.console.PollKey().empty(); }

}  // namespace

int16_t EngineResult(int32_t raw) { return static_cast<int16_t>(static_cast<uint16_t>(raw)); }

void ShowEngineError(SyncServices& services, int32_t code) {
  std::array<char, kErrorTextSize> text{};
  services.engine.fceErrorText(0, code, text.data(), kErrorTextSize);
  text.back() = '\0';
  services.console.PrintText("ERROR ");
  PrintNumber(services.console, code);
  services.console.PrintText(std::string_view(text.data(), std::strlen(text.data())));
  services.console.EndLine();
}

Flow AbortRun(SyncServices& services) {
  PrintLine(services.console, {"Aborting"});
  return Flow::kEndRun;
}

std::optional<int16_t> RunRetriedStep(SyncServices& services, const RetriedStep& step) {
  while (true) {
    if (step.retry_point && step.retry_point() == Flow::kEndRun) return std::nullopt;
    const int16_t result = EngineResult(step.attempt());
    if (result >= 0) return result;

    switch (step.shape) {
      case RetryShape::kStandard:
        ReportFailure(services, step, result);
        services.clock.Pause(kRetryPauseMs);
        if (KeyWaiting(services)) {
          AbortRun(services);
          return std::nullopt;
        }
        break;
      case RetryShape::kPollFirst:
        if (KeyWaiting(services)) {
          AbortRun(services);
          return std::nullopt;
        }
        ReportFailure(services, step, result);
        services.clock.Pause(kRetryPauseMs);
        break;
      case RetryShape::kNoPause:
        ReportFailure(services, step, result);
        if (KeyWaiting(services)) {
          AbortRun(services);
          return std::nullopt;
        }
        break;
    }
  }
}

}  // namespace zuno
