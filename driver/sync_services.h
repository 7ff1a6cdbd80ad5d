#pragma once

#include "engine/ftp_engine.h"
#include "services/clock.h"
#include "services/console.h"
#include "services/files.h"
#include "services/programs.h"

namespace zuno {

// Everything the sync driver reaches outside itself. The real program hands in the
// terminal, the system clock, the local files, the program launcher and the FTP
// engine; tests hand in recording fakes.
struct SyncServices {
  Console& console;
  Clock& clock;
  FileService& files;
  ProgramRunner& programs;
  FtpEngine& engine;
};

// Where the driver goes after a stage: on with the run, or to the end of the program.
enum class Flow { kGoOn, kEndRun };

}  // namespace zuno
