// The Windows program as a whole, started the way Windows starts it: one
// command-line text. Without a console it writes its lines plainly to standard
// error and finds no keyboard, so a key wait returns at once and it ends.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wine_paths.h"

namespace zuno {
namespace {

using testing::HostPath;
using testing::TempDir;

struct Ended {
  DWORD status = 1;
  std::vector<std::string> lines;
};

// Runs the program with the text after its name, without a console, and collects
// what it writes.
Ended RunZuno(const std::string& arguments) {
  Ended ended;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return ended;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  std::string command = "\"" + HostPath(ZUNO_BINARY) + "\"" + arguments;
  PROCESS_INFORMATION started = {};
  const BOOL ok = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                 nullptr, nullptr, &startup, &started);
  CloseHandle(write_end);
  if (!ok) {
    CloseHandle(read_end);
    return ended;
  }
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof(buffer), &got, nullptr) && got > 0)
    output.append(buffer, got);
  CloseHandle(read_end);
  WaitForSingleObject(started.hProcess, 30000);
  GetExitCodeProcess(started.hProcess, &ended.status);
  CloseHandle(started.hProcess);
  CloseHandle(started.hThread);
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find("\r\n", start);
    if (end == std::string::npos) end = output.size();
    ended.lines.push_back(output.substr(start, end - start));
    start = end + 2;
  }
  return ended;
}

const char kTitle[] = "ZUNO .045W (Win)-Velmora";

TEST(ProgramWin32Test, MissingArgumentEndsAfterThePause) {
  for (const char* arguments : {"", "   "}) {
    const Ended ended = RunZuno(arguments);
    EXPECT_EQ(ended.status, 0u);
    ASSERT_EQ(ended.lines.size(), 5u) << arguments;
    EXPECT_EQ(ended.lines[0], kTitle);
    EXPECT_EQ(ended.lines[2], "");
    EXPECT_EQ(ended.lines[3], "Missing command line parm - drive, path, filename of config file!");
    EXPECT_EQ(ended.lines[4], "Press any key to continue");
  }
}

TEST(ProgramWin32Test, CommandLineIsSplitByTheProgramsOwnRule) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "My Files");
  // Not a configuration file: it is opened, read and refused.
  const std::string config = dir.Write("My Files\\zuno.cfg", "one line only\r\n");

  // Quoted, the path keeps its blanks; further arguments are ignored.
  Ended ended = RunZuno(" \"" + config + "\" extra");
  ASSERT_EQ(ended.lines.size(), 6u);
  EXPECT_EQ(ended.lines[3], "opening " + config);
  EXPECT_EQ(ended.lines[4], "Invalid config file - please read the docs!");
  EXPECT_EQ(ended.lines[5], "Press any key to continue");

  // Unquoted, it is cut at its first blank, and that piece names no file.
  ended = RunZuno(" " + config);
  ASSERT_EQ(ended.lines.size(), 5u);
  EXPECT_EQ(ended.lines[3], "Cannot open config file!");

  // A pair of quotes is one empty argument.
  ended = RunZuno(" \"\"");
  ASSERT_EQ(ended.lines.size(), 5u);
  EXPECT_EQ(ended.lines[3], "Cannot open config file!");
}

}  // namespace
}  // namespace zuno
