// A small program that drives the Windows console step by step, so that tests can
// watch it in a real console (Wine's, inside a terminal multiplexer) and use it as
// a started program. Each argument is one step:
//   say:TEXT       prints TEXT and ends the line
//   text:HEX       prints the bytes written as hex digits, without a line end
//   line           ends the line
//   wait           waits for a key and prints "key=" and its bytes in hex
//   poll           polls for a key and prints "poll=" and its bytes in hex (empty: none)
//   sleep:MS       sleeps MS milliseconds without reading the keyboard
//   touch:PATH     creates the file PATH (empty)
//   mark:PATH      adds the line "edited by the probe" to the file PATH, as a browser
//                  adds a bookmark
//   startup:PATH   writes "flags=F show=S" of its own start-up information into PATH
//   pad:ANY        does nothing (makes a command line long)
// The program ends with status 0 when the steps are done.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "driver/command_line.h"
#include "services/terminal_console.h"

namespace {

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(HexDigit(hex[i]) * 16 + HexDigit(hex[i + 1]));
  }
  return bytes;
}

void WriteTextFile(const std::string& path, const std::string& text, bool append = false) {
  const HANDLE file =
      CreateFileA(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                  append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

void SayLine(zuno::Console& console, std::string_view text) {
  console.PrintText(text);
  console.EndLine();
}

}  // namespace

int main() {
  // The steps as the program's own command-line rule splits them.
  const zuno::CommandArgs args = zuno::SplitCommandLine(zuno::SkipProgramName(GetCommandLineA()));
  std::unique_ptr<zuno::TerminalConsole> console = zuno::OpenTerminalConsole();
  const int last =
      args.count < zuno::CommandArgs::kSlots ? args.count : zuno::CommandArgs::kSlots - 1;
  for (int i = 1; i <= last; ++i) {
    const std::string_view step = args.slots[i];
    const size_t colon = step.find(':');
    const std::string_view name = step.substr(0, colon);
    const std::string value(colon == std::string_view::npos ? "" : step.substr(colon + 1));
    if (name == "say") {
      SayLine(*console, value);
    } else if (name == "text") {
      console->PrintText(FromHex(value));
    } else if (name == "line") {
      console->EndLine();
    } else if (name == "wait") {
      SayLine(*console, "key=" + Hex(console->WaitKey()));
    } else if (name == "poll") {
      SayLine(*console, "poll=" + Hex(console->PollKey()));
    } else if (name == "sleep") {
      Sleep(static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10)));
    } else if (name == "touch") {
      WriteTextFile(value, "");
    } else if (name == "mark") {
      WriteTextFile(value, "edited by the probe\r\n", true);
    } else if (name == "startup") {
      STARTUPINFOA startup = {};
      startup.cb = sizeof(startup);
      GetStartupInfoA(&startup);
      WriteTextFile(value, "flags=" + std::to_string(startup.dwFlags) +
                               " show=" + std::to_string(startup.wShowWindow));
    } else if (name == "pad") {
    } else {
      SayLine(*console, "unknown step " + std::string(step));
      return 2;
    }
  }
  return 0;
}
