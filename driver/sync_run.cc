#include "driver/sync_run.h"

#include "driver/config_file.h"
#include "driver/passes.h"
#include "driver/run_state.h"
#include "driver/startup.h"

namespace zuno {

int RunZuno(SyncServices& services, const CommandArgs& args) {
  RunState run;
  const std::optional<std::string> config_path = StartUp(services, args);
  if (config_path && ReadConfigFile(services, *config_path, run.config) == Flow::kGoOn &&
      DownloadPass(services, run) == Flow::kGoOn && BrowserRun(services, run) == Flow::kGoOn) {
    UploadPass(services, run);
  }
  return 0;
}

}  // namespace zuno
