#pragma once

#include <memory>

#include "services/console.h"
#include "services/programs.h"

namespace zuno {

// The console of the terminal the program was started from: lines to standard output
// when it is a terminal, else to standard error; keys from the controlling terminal
// in raw mode, even when standard input is redirected. The terminal's previous
// settings come back when this object is destroyed, on SIGTERM, SIGHUP, SIGINT and
// SIGQUIT, on a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) before the signal
// takes its course, and while a started program runs (TerminalHandoff). With no terminal at all,
// lines go plainly to standard error, PollKey never finds a key and WaitKey returns at once.
class TerminalConsole : public Console, public TerminalHandoff {};

// Starts the console services: takes the keyboard's raw mode and resets the colours.
std::unique_ptr<TerminalConsole> OpenTerminalConsole();

}  // namespace zuno
