#include <windows.h>

#include "services/core_dumps.h"

namespace zuno {

void DisableCoreDumps() {
  // A crash ends the program without the Windows Error Reporting dialog, through
  // which a dump of its memory would otherwise be collected and sent.
  SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
}

}  // namespace zuno
