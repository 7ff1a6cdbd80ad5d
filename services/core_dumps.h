#pragma once

namespace zuno {

// Keeps the process's memory, and with it the password, out of any crash dump:
// called once at start, before the configuration is read. Where the system
// refuses, the program runs on as before.
void DisableCoreDumps();

}  // namespace zuno
