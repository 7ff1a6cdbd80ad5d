#pragma once

#include "driver/command_line.h"
#include "driver/sync_services.h"

namespace zuno {

// One whole run of the program: start-up, configuration, download pass, browser
// run, upload pass. Gives the exit status, 0 on every path.
int RunZuno(SyncServices& services, const CommandArgs& args);

}  // namespace zuno
