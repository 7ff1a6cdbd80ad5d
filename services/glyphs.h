#pragma once

#include <string>
#include <string_view>

namespace zuno {

// The text as the terminal should show it: control bytes (0x00-0x1F, 0x7F) become
// the IBM PC glyphs of those codes in UTF-8, so that no printed byte ever moves the
// cursor; all other bytes pass unchanged.
std::string ScreenText(std::string_view bytes);

}  // namespace zuno
