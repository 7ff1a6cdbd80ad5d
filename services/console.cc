#include "services/console.h"

#include "services/text_forms.h"

namespace zuno {

void PrintNumber(Console& console, int32_t number) { console.PrintText(PrintedNumber(number)); }

}  // namespace zuno
