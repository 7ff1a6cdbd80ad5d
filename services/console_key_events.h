#pragma once

#include <cstdint>
#include <optional>

#include "services/console.h"

namespace zuno {

// One event from a console's input queue, as a key poll sees it: whether it is a
// keyboard event at all, whether the key went down, the key's scan code, the
// character byte it produces (0 for none), the console's repeat count and whether
// left or right Alt was held.
struct ConsoleInputEvent {
  bool is_key = false;
  bool key_down = false;
  uint16_t scan_code = 0;
  char character = 0;
  uint16_t repeat_count = 1;
  bool alt_held = false;
};

// What one input event gives a key poll: the key value of a key press, or nothing
// when the event is no key and is only taken out of the queue (a release, a focus,
// menu, buffer-size or mouse event, a modifier or lock key pressed alone). A key
// with a character gives that byte, except a letter key with Alt held, which gives
// 0 and its scan code like a key without a character. One press is one key,
// whatever repeat count the console reports for it.
std::optional<KeyValue> KeyFromConsoleEvent(const ConsoleInputEvent& event);

}  // namespace zuno
