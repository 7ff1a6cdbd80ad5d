#include "driver/startup.h"

#include "driver/console_lines.h"

namespace zuno {

std::optional<std::string> StartUp(SyncServices& services, const CommandArgs& args) {
  Console& console = services.console;
  PrintLine(console, {kTitleLine});
  PrintLine(console, {kAttributionLine});
  PrintLine(console, {});

  if (args.count < 1) {
    PrintLine(console, {"Missing command line parm - drive, path, filename of config file!"});
    PauseForKey(console);
    return std::nullopt;
  }
  // The path is tested, shown and opened whole: a shortened path could name a
  // different file from the one the user gave.
  const std::string& config_path = args.slots[1];
  if (services.files.FindFile(config_path).empty()) {
    PrintLine(console, {"Cannot open config file!"});
    PauseForKey(console);
    return std::nullopt;
  }
  PrintLine(console, {"opening ", config_path});
  return config_path;
}

}  // namespace zuno
