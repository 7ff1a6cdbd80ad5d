#pragma once

#include <optional>
#include <string>

#include "driver/command_line.h"
#include "driver/sync_services.h"

namespace zuno {

inline constexpr const char* kTitleLine = "ZUNO .045W (Win)-Velmora";
inline constexpr const char* kAttributionLine =
    "Keeps one bookmark file the same on every machine, by way of an FTP server";

// The beginning of every run: the banner, the check that argument 1 names an existing
// file, and the "opening " line. Gives the configuration file's path, or nothing when
// the run has ended (after a message and a key).
std::optional<std::string> StartUp(SyncServices& services, const CommandArgs& args);

}  // namespace zuno
