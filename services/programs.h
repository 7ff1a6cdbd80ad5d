#pragma once

#include <memory>
#include <string>

namespace zuno {

// Starts the user's programs.
class ProgramRunner {
 public:
  virtual ~ProgramRunner() = default;
  // Starts the command line (program and arguments, split by the command-line rule;
  // no shell) and, with wait set, returns only after that process has ended.
  // A program that cannot be started returns at once, silently, as if it had run.
  // The show-window value only has a meaning where programs open windows.
  virtual void RunProgram(const std::string& command_line, int show_window, bool wait) = 0;
};

// Hands the terminal to a started program and takes it back afterwards.
class TerminalHandoff {
 public:
  virtual ~TerminalHandoff() = default;
  // Puts the terminal back into the mode it had before the program started.
  virtual void ReleaseTerminal() = 0;
  // Takes the terminal's raw mode again. Keys typed meanwhile stay queued.
  virtual void ReclaimTerminal() = 0;
};

// The real program runner; the terminal is released while a program runs.
std::unique_ptr<ProgramRunner> MakeProgramRunner(TerminalHandoff& terminal);

}  // namespace zuno
