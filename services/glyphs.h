#pragma once

#include <string>
#include <string_view>

namespace zuno {

// The text as the terminal should show it: control bytes (0x00-0x1F, 0x7F) become
// the IBM PC glyphs of those codes in UTF-8, so that no printed byte ever moves the
// cursor; all other bytes pass unchanged.
std::string ScreenText(std::string_view bytes);

// The byte (0x80-0xFF) of the IBM PC character set (code page 437) that shows the
// Unicode character `code_point`, or 0 when that set has no such character above
// ASCII. Lets a key typed as UTF-8 (an umlaut, say) reach the driver as the byte its
// texts and UpperText work with.
unsigned char CodePage437Byte(char32_t code_point);

}  // namespace zuno
