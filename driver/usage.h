#pragma once

#include <optional>
#include <string>

#include "driver/command_line.h"

namespace zuno {

// The text for `zuno --help` / `zuno -h` and `zuno --version` when argument 1 is exactly
// one of them; nothing for any other first argument, which names the configuration file.
std::optional<std::string> InformationRequested(const CommandArgs& args);

}  // namespace zuno
