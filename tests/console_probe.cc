// A small program that drives the terminal console step by step, so that tests can
// watch it in a real pseudo-terminal. Each argument is one step:
//   say:TEXT     prints TEXT and ends the line
//   text:HEX     prints the bytes written as hex digits, without a line end
//   line         ends the line
//   wait         waits for a key and prints "key=" and its bytes in hex
//   poll         polls for a key and prints "poll=" and its bytes in hex (empty: none)
//   sleep:MS     sleeps MS milliseconds without reading the keyboard
//   release      hands the terminal back as a started program would get it
//   reclaim      takes the terminal's raw mode again
//   pid          prints "pid=" and the process id
//   waitfile:P   waits (at most 20 s) until the file P exists, without reading the
//                keyboard; lets a test decide when the next step comes
//   crash:KIND   crashes the way KIND names: segv (a write through a null pointer),
//                overflow (a stack overflow), fpe (an integer division by zero),
//                abort (as an out-of-memory end does)
// Core dumps are off, as in the program, so a crash leaves no core file behind.
// The console is closed when the steps are done and the program ends with status 0.

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "services/core_dumps.h"
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

void SleepMilliseconds(long milliseconds) {
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

void WaitForFile(const std::string& path) {
  struct stat info;
  for (int i = 0; i < 4000 && stat(path.c_str(), &info) != 0; ++i) SleepMilliseconds(5);
}

// Deep enough to overflow any stack; the volatile buffer keeps every frame.
volatile bool g_stop_recursing = false;
int Recurse(int depth) {
  if (g_stop_recursing) return depth;
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return Recurse(depth + 1) + frame[0];
}

void Crash(std::string_view kind) {
  if (kind == "segv") {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  } else if (kind == "overflow") {
    std::printf("%d", Recurse(0));
  } else if (kind == "fpe") {
    volatile int dividend = 7;  // neither it nor the divisor known to the compiler
    volatile int zero = 0;
    std::printf("%d", dividend / zero);
  } else if (kind == "abort") {
    std::abort();
  }
}

void SayLine(zuno::Console& console, std::string_view text) {
  console.PrintText(text);
  console.EndLine();
}

}  // namespace

int main(int argc, char** argv) {
  zuno::DisableCoreDumps();
  std::unique_ptr<zuno::TerminalConsole> console = zuno::OpenTerminalConsole();
  for (int i = 1; i < argc; ++i) {
    const std::string_view step = argv[i];
    const size_t colon = step.find(':');
    const std::string_view name = step.substr(0, colon);
    const std::string_view value = colon == std::string_view::npos ? "" : step.substr(colon + 1);
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
      SleepMilliseconds(std::strtol(std::string(value).c_str(), nullptr, 10));
    } else if (name == "release") {
      console->ReleaseTerminal();
    } else if (name == "reclaim") {
      console->ReclaimTerminal();
    } else if (name == "waitfile") {
      WaitForFile(std::string(value));
    } else if (name == "crash") {
      Crash(value);
      SayLine(*console, "no crash: " + std::string(value));
      return 2;
    } else if (name == "pid") {
      SayLine(*console, "pid=" + std::to_string(getpid()));
    } else {
      SayLine(*console, "unknown step " + std::string(step));
      return 2;
    }
  }
  return 0;
}
