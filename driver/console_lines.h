#pragma once

#include <initializer_list>
#include <string_view>

#include "services/console.h"

namespace zuno {

// Prints a message line made of pieces, each written as it stands, then the line end.
void PrintLine(Console& console, std::initializer_list<std::string_view> pieces);

// Prints "Press any key to continue", waits for one key and discards it.
void PauseForKey(Console& console);

}  // namespace zuno
