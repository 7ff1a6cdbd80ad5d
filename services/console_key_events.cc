#include "services/console_key_events.h"

namespace zuno {
namespace {

// Ctrl, left Shift, right Shift, Alt, Caps Lock, Num Lock, Scroll Lock.
bool IsModifierOrLock(uint16_t scan_code) {
  switch (scan_code) {
    case 0x1D:
    case 0x2A:
    case 0x36:
    case 0x38:
    case 0x3A:
    case 0x45:
    case 0x46:
      return true;
    default:
      return false;
  }
}

// The letter keys of the PC keyboard: q-p, a-l, z-m.
bool IsLetterKey(uint16_t scan_code) {
  return (scan_code >= 0x10 && scan_code <= 0x19) || (scan_code >= 0x1E && scan_code <= 0x26) ||
         (scan_code >= 0x2C && scan_code <= 0x32);
}

KeyValue ScanCodeKey(uint16_t scan_code) {
  return KeyValue{'\0', static_cast<char>(scan_code & 0xFF)};
}

}  // namespace

std::optional<KeyValue> KeyFromConsoleEvent(const ConsoleInputEvent& event) {
  if (!event.is_key || !event.key_down) return std::nullopt;
  if (event.character != 0) {
    if (event.alt_held && IsLetterKey(event.scan_code)) return ScanCodeKey(event.scan_code);
    return KeyValue(1, event.character);
  }
  if (IsModifierOrLock(event.scan_code)) return std::nullopt;
  return ScanCodeKey(event.scan_code);
}

}  // namespace zuno
