// zuno: keeps one browser bookmark file the same on several machines through an
// FTP server. Downloads the shared copy, runs the browser, waits for it to end and
// for the file to settle, and uploads the file back.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "driver/command_line.h"
#include "driver/sync_run.h"
#include "driver/sync_services.h"
#include "driver/usage.h"
#include "engine/ftp_engine.h"
#ifdef _WIN32
#include <windows.h>
#endif
#include "services/clock.h"
#include "services/core_dumps.h"
#include "services/files.h"
#include "services/programs.h"
#include "services/terminal_console.h"

int main(int argc, char** argv) {
  // First of all: the password read later must never land in a crash dump.
  zuno::DisableCoreDumps();
#ifdef _WIN32
  // Windows hands over one command-line text, which the program splits by its own rule.
  (void)argc;
  (void)argv;
  const zuno::CommandArgs args = zuno::SplitCommandLine(zuno::SkipProgramName(GetCommandLineA()));
#else
  const zuno::CommandArgs args = zuno::CommandArgsFromArgv(argc, argv);
#endif
  if (const std::optional<std::string> text = zuno::InformationRequested(args)) {
    // Plain standard output, before the console takes the terminal: no key is awaited.
    std::fputs(text->c_str(), stdout);
    return 0;
  }

  std::unique_ptr<zuno::TerminalConsole> console = zuno::OpenTerminalConsole();
  zuno::SystemClock clock;
  std::unique_ptr<zuno::FileService> files = zuno::MakeLocalFileService();
  std::unique_ptr<zuno::ProgramRunner> programs = zuno::MakeProgramRunner(*console);
  // A key that will end the run also cuts short the network step it arrives in.
  zuno::TerminalConsole& keys = *console;
  std::unique_ptr<zuno::FtpEngine> engine =
      zuno::MakeFtpEngine([&keys] { return keys.KeyWaiting(); });

  zuno::SyncServices services{*console, clock, *files, *programs, *engine};
  return zuno::RunZuno(services, args);
}
