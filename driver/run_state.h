#pragma once

#include <cstdint>

#include "driver/config_file.h"

namespace zuno {

// What one run carries from stage to stage.
struct RunState {
  ConfigEntries config;
  // 1 from the start; 0 once the download pass finds no server copy to fetch.
  int16_t download_ok = 1;
};

// Every engine call names channel 0: the driver attaches one channel only.
inline constexpr int32_t kChannel = 0;

}  // namespace zuno
