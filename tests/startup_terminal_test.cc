// The real program's start-up in a pseudo-terminal, as a user meets it: the banner,
// the command-line checks, and the pause for a key before an early end.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/pty_session.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 10s;
constexpr char kTitle[] = "ZUNO .045W (Win)-Velmora";
constexpr char kPrompt[] = "Press any key to continue";
constexpr char kMissingParameter[] =
    "Missing command line parm - drive, path, filename of config file!";
constexpr char kCannotOpen[] = "Cannot open config file!";

bool IsCooked(const termios& modes) {
  return (modes.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG) &&
         (modes.c_iflag & ICRNL) != 0;
}

struct EarlyEnd {
  const char* name;
  std::vector<std::string> arguments;
  std::string stdin_path;
  std::string key;
  std::string message;
};

TEST(StartupTerminalTest, EarlyEndsShowTheirLineAndWaitForOneKey) {
  TempDir dir;
  const std::vector<EarlyEnd> cases = {
      {"no argument", {}, "", "x", kMissingParameter},
      {"missing file", {dir.File("missing.cfg")}, "", "x", kCannotOpen},
      {"directory", {dir.path().string()}, "", " ", kCannotOpen},
      {"empty argument", {""}, "", "\r", kCannotOpen},
      {"standard input from /dev/null", {}, "/dev/null", "q", kMissingParameter},
      {"Ctrl+C", {}, "", "\x03", kMissingParameter},
      {"F5", {dir.File("missing.cfg")}, "", "\x1b[15~", kCannotOpen},
      {"Up", {}, "", "\x1b[A", kMissingParameter},
  };
  for (const EarlyEnd& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {ZUNO_BINARY};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    PtyOptions options;
    options.stdin_path = c.stdin_path;
    auto session = PtySession::Start(argv, options);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->WaitFor(kPrompt, kTimeout)) << session->Output();

    // The program waits for the key and ends only after it.
    EXPECT_EQ(session->WaitExit(300ms), -1);
    session->Type(c.key);
    ASSERT_EQ(session->WaitExit(kTimeout), 0);

    const std::vector<std::string> lines = session->Lines();
    ASSERT_EQ(lines.size(), 5u) << session->Output();
    EXPECT_EQ(lines[0], kTitle);
    EXPECT_FALSE(lines[1].empty());  // the attribution line
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], c.message);
    EXPECT_EQ(lines[4], kPrompt);
    // Nothing of the key reaches the screen: after the prompt only its line end.
    const std::string& output = session->Output();
    EXPECT_EQ(output.find_first_not_of("\r\n", output.find(kPrompt) + sizeof kPrompt - 1),
              std::string::npos)
        << output;
    EXPECT_TRUE(IsCooked(session->Modes()));
  }
}

TEST(StartupTerminalTest, WithoutAnyTerminalTheKeyWaitEndsAtOnce) {
  const DetachedRun run = RunWithoutTerminal({ZUNO_BINARY}, kTimeout);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.standard_output, "");
  const std::string& text = run.standard_error;
  EXPECT_EQ(text.rfind(std::string(kTitle) + "\n", 0), 0u) << text;
  const std::string tail = std::string("\n\n") + kMissingParameter + "\n" + kPrompt + "\n";
  ASSERT_GE(text.size(), tail.size()) << text;
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

// The program keeps the password out of core dumps from its start, and a crash
// still gives the user's terminal back before the program ends by its signal.
TEST(StartupTerminalTest, ACrashRestoresTheTerminalAndDumpsNoCore) {
  TempDir dir;
  PtyOptions options;
  options.working_directory = dir.path().string();  // where a core file would land
  // The program starts with core files allowed as far as the system allows.
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &previous), 0);
  rlimit allowed = previous;
  allowed.rlim_cur = allowed.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &allowed), 0);
  auto session = PtySession::Start({ZUNO_BINARY}, options);
  setrlimit(RLIMIT_CORE, &previous);
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->WaitFor(kPrompt, kTimeout)) << session->Output();
  const std::string limits = ReadWholeFile("/proc/" + std::to_string(session->pid()) + "/limits");
  EXPECT_NE(limits.find("Max core file size        0 "), std::string::npos) << limits;

  ASSERT_EQ(kill(session->pid(), SIGSEGV), 0);
  const int status = session->WaitExit(kTimeout);
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_NE(status, 0);  // the sanitizer's own handler ends the program
#else
  EXPECT_EQ(status, 128 + SIGSEGV);
#endif
  EXPECT_TRUE(IsCooked(session->Modes()));
  EXPECT_FALSE(session->dumped_core());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// --help, -h and --version answer on standard output and end at once; any other
// first argument, even one that looks like an option, names the configuration file.
TEST(StartupTerminalTest, HelpAndVersionPrintAndEndWithoutAKey) {
  for (const char* option : {"--help", "-h"}) {
    const DetachedRun run = RunWithoutTerminal({ZUNO_BINARY, option}, kTimeout);
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_TRUE(run.standard_output.starts_with("Usage: zuno CONFIG-FILE")) << run.standard_output;
    EXPECT_NE(run.standard_output.find("BrowserCommand"), std::string::npos);
    EXPECT_EQ(run.standard_error, "") << option;
  }
  const DetachedRun version = RunWithoutTerminal({ZUNO_BINARY, "--version"}, kTimeout);
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.standard_output.starts_with("zuno ")) << version.standard_output;

  const DetachedRun other = RunWithoutTerminal({ZUNO_BINARY, "--helpme"}, kTimeout);
  EXPECT_EQ(other.standard_output, "");
  EXPECT_NE(other.standard_error.find(kCannotOpen), std::string::npos) << other.standard_error;
}

}  // namespace
}  // namespace zuno::testing
