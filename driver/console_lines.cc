#include "driver/console_lines.h"

namespace zuno {

void PrintLine(Console& console, std::initializer_list<std::string_view> pieces) {
  for (const std::string_view piece : pieces) console.PrintText(piece);
  console.EndLine();
}

void PauseForKey(Console& console) {
  PrintLine(console, {"Press any key to continue"});
  console.WaitKey();
}

}  // namespace zuno
