#include "services/text_forms.h"

#include <cstdlib>

namespace zuno {

std::string NumberText(int32_t number) {
  // Widen first: the digits of the most negative number do not fit its own type.
  const int64_t value = number;
  std::string text(1, value < 0 ? '-' : ' ');
  text += std::to_string(std::llabs(value));
  return text;
}

std::string PrintedNumber(int32_t number) { return NumberText(number) + ' '; }

std::string UpperText(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    const auto byte = static_cast<unsigned char>(c);
    unsigned char result = byte;
    if (byte >= 'a' && byte <= 'z') {
      result = static_cast<unsigned char>(byte - ('a' - 'A'));
    } else {
      // The accented letters of code page 437 whose capitals exist there.
      switch (byte) {
        case 0x84: result = 0x8E; break;  // a umlaut
        case 0x94: result = 0x99; break;  // o umlaut
        case 0x81: result = 0x9A; break;  // u umlaut
        case 0x82: result = 0x90; break;  // e acute
        case 0xA4: result = 0xA5; break;  // n tilde
        case 0x86: result = 0x8F; break;  // a ring
        case 0x87: result = 0x80; break;  // c cedilla
        default: break;
      }
    }
    c = static_cast<char>(result);
  }
  return upper;
}

}  // namespace zuno
