#include "driver/config_file.h"

#include <cstring>
#include <memory>

#include "driver/console_lines.h"

namespace zuno {

namespace {

// A line as the configuration keeps it: its first 99 characters, ending at a NUL
// byte. Only those are read into memory; the rest of a longer line is passed over.
std::string ReadValue(TextReader& reader) {
  std::string value = reader.ReadLine(ConfigEntries::kMaxValueLength);
  value.resize(std::strlen(value.c_str()));
  return value;
}

}  // namespace

Flow ReadConfigFile(SyncServices& services, const std::string& path, ConfigEntries& entries) {
  std::unique_ptr<TextReader> reader = services.files.OpenTextFile(path);
  if (!reader) {
    PrintLine(services.console, {"Cannot open config file!"});
    PauseForKey(services.console);
    return Flow::kEndRun;
  }

  int value_lines = 0;
  while (!reader->AtEnd()) {
    const std::string value = ReadValue(*reader);
    if (!value.empty() && value.front() == '#') continue;
    if (value_lines < ConfigEntries::kSlots) entries.slots[value_lines] = value;
    ++value_lines;
  }
  reader.reset();

  if (value_lines != ConfigEntries::kValues) {
    PrintLine(services.console, {"Invalid config file - please read the docs!"});
    PauseForKey(services.console);
    return Flow::kEndRun;
  }
  return Flow::kGoOn;
}

}  // namespace zuno
