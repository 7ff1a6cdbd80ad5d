// Starting the user's programs on Windows: the command line goes whole to the
// system, which finds the program by its first token; the program shares our
// console and opens its windows as the show-window value asks.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "services/programs.h"
#include "services/win32_util.h"

namespace zuno {
namespace {

class Win32ProgramRunner final : public ProgramRunner {
 public:
  void RunProgram(const std::string& command_line, int show_window, bool wait) override {
    // The whole command line is used: a shortened one could name another program
    // or cut an argument in two. The system may write into the text it is given.
    std::vector<char> text(command_line.begin(), command_line.end());
    text.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show_window);
    PROCESS_INFORMATION started = {};
    {
      QuietErrorMode quiet;
      if (!CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &started)) {
        return;
      }
    }
    OwnedHandle process(started.hProcess);
    OwnedHandle thread(started.hThread);
    if (wait) {
      QuietErrorMode quiet;
      WaitForSingleObject(process.get(), INFINITE);
    }
  }
};

}  // namespace

std::unique_ptr<ProgramRunner> MakeProgramRunner(TerminalHandoff& /*terminal*/) {
  return std::make_unique<Win32ProgramRunner>();
}

}  // namespace zuno
