#include <cerrno>
#include <ctime>

#include "services/clock.h"

namespace zuno {

void SystemClock::Pause(uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal that interrupts the sleep does not cut the pause short.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace zuno
