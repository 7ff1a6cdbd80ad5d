#include "services/console_key_events.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zuno {
namespace {

ConsoleInputEvent Press(uint16_t scan_code, char character, bool alt = false) {
  return {.is_key = true,
          .key_down = true,
          .scan_code = scan_code,
          .character = character,
          .alt_held = alt};
}

struct EventCase {
  const char* label;
  ConsoleInputEvent event;
  std::optional<KeyValue> key;
};

class ConsoleKeyEventTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(ConsoleKeyEventTest, GivesTheKeyValueOrNothing) {
  EXPECT_EQ(KeyFromConsoleEvent(GetParam().event), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Events, ConsoleKeyEventTest,
    ::testing::Values(
        EventCase{"Letter", Press(0x15, 'y'), "y"},
        EventCase{"ShiftedLetter", Press(0x15, 'Y'), "Y"},
        EventCase{"Enter", Press(0x1C, '\r'), "\r"}, EventCase{"Esc", Press(0x01, '\x1B'), "\x1B"},
        EventCase{"CtrlC", Press(0x2E, '\x03'), "\x03"},
        EventCase{"AccentedByte", Press(0x28, '\x84'), "\x84"},
        EventCase{"F1", Press(0x3B, 0), KeyValue{'\0', '\x3B'}},
        EventCase{"Up", Press(0x48, 0), KeyValue{'\0', '\x48'}},
        EventCase{"F12", Press(0x58, 0), KeyValue{'\0', '\x58'}},
        // A key the console reports without any scan code is still a key.
        EventCase{"NoScanCode", Press(0, 0), KeyValue{'\0', '\0'}},
        EventCase{"AltLetterFirstRow", Press(0x10, 'q', true), KeyValue{'\0', '\x10'}},
        EventCase{"AltLetterSecondRow", Press(0x26, 'l', true), KeyValue{'\0', '\x26'}},
        EventCase{"AltLetterThirdRow", Press(0x32, 'm', true), KeyValue{'\0', '\x32'}},
        EventCase{"AltDigitKeepsItsCharacter", Press(0x02, '1', true), "1"},
        EventCase{"AltPunctuationKeepsItsCharacter", Press(0x33, ',', true), ","},
        EventCase{"AltFunctionKey", Press(0x3C, 0, true), KeyValue{'\0', '\x3C'}},
        EventCase{"Ctrl", Press(0x1D, 0), std::nullopt},
        EventCase{"LeftShift", Press(0x2A, 0), std::nullopt},
        EventCase{"RightShift", Press(0x36, 0), std::nullopt},
        EventCase{"Alt", Press(0x38, 0, true), std::nullopt},
        EventCase{"CapsLock", Press(0x3A, 0), std::nullopt},
        EventCase{"NumLock", Press(0x45, 0), std::nullopt},
        EventCase{"ScrollLock", Press(0x46, 0), std::nullopt},
        EventCase{"Release",
                  {.is_key = true, .key_down = false, .scan_code = 0x15, .character = 'y'},
                  std::nullopt},
        EventCase{
            "MouseOrFocus", {.is_key = false, .key_down = true, .scan_code = 0x15}, std::nullopt},
        EventCase{"RepeatedPressIsOneKey",
                  {.is_key = true,
                   .key_down = true,
                   .scan_code = 0x1E,
                   .character = 'a',
                   .repeat_count = 5},
                  "a"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zuno
