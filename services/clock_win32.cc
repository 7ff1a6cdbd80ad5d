#include <windows.h>

#include "services/clock.h"

namespace zuno {

void SystemClock::Pause(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace zuno
