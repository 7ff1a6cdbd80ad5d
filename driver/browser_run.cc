#include "driver/console_lines.h"
#include "driver/passes.h"
#include "services/text_forms.h"

namespace zuno {

namespace {

constexpr int kNormalWindow = 1;
// Time for the browser's last write of the bookmark file to reach the disk.
constexpr uint32_t kFlushWaitMs = 30000;

}  // namespace

Flow BrowserRun(SyncServices& services, RunState& run) {
  Console& console = services.console;
  PrintLine(console, {"Running (synchronous) ", run.config.BrowserCommand()});
  services.programs.RunProgram(run.config.BrowserCommand(), kNormalWindow, /*wait=*/true);
  PrintLine(console, {"Awaiting the final buffer flush of bookmark file from browser..."});
  services.clock.Pause(kFlushWaitMs);
  if (run.download_ok != 0) return Flow::kGoOn;

  PrintLine(console, {"Previous download failed - do upload (Y/N)?"});
  if (UpperText(console.WaitKey()) == "Y") return Flow::kGoOn;

  // Declined: nothing is uploaded. The connection is already closed; closing again
  // and releasing the engine are all that is left, and their results change nothing.
  services.engine.fceClose(kChannel);
  services.engine.fceRelease();
  return Flow::kEndRun;
}

}  // namespace zuno
