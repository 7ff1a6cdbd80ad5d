#pragma once

#include <array>
#include <string>

#include "driver/sync_services.h"

namespace zuno {

// The eight values of a configuration file, in the order of their lines. A ninth
// value line lands in the last slot, and such a file is refused.
struct ConfigEntries {
  static constexpr int kValues = 8;
  static constexpr int kSlots = 9;
  // The longest value: a longer line keeps its first 99 characters.
  static constexpr size_t kMaxValueLength = 99;

  std::array<std::string, kSlots> slots;

  std::string& ServerHost() { return slots[0]; }
  std::string& UserName() { return slots[1]; }
  std::string& Password() { return slots[2]; }
  std::string& LocalDir() { return slots[3]; }
  std::string& ServerDir() { return slots[4]; }
  std::string& LocalFile() { return slots[5]; }
  std::string& ServerFile() { return slots[6]; }
  std::string& BrowserCommand() { return slots[7]; }
};

// Reads the configuration file into `entries`. Lines whose first character is "#"
// are comments; every other line, an empty one too, is a value line. Prints nothing
// on success; a file that cannot be read, or that does not hold exactly eight value
// lines, is reported and ends the run after a key.
Flow ReadConfigFile(SyncServices& services, const std::string& path, ConfigEntries& entries);

}  // namespace zuno
