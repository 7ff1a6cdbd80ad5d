// The terminal console as a user meets it: a small program drives it inside a real
// pseudo-terminal, keys are typed into that terminal and the screen is read back.

#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/pty_session.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 10s;

std::unique_ptr<PtySession> StartProbe(std::vector<std::string> steps,
                                       const PtyOptions& options = {}) {
  steps.insert(steps.begin(), ZUNO_CONSOLE_PROBE);
  return PtySession::Start(steps, options);
}

// The hex form the probe uses for bytes.
std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return hex;
}

bool IsRaw(const termios& modes) {
  return (modes.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
         (modes.c_iflag & (IXON | ICRNL | INLCR | IGNCR)) == 0;
}

bool IsCooked(const termios& modes) {
  return (modes.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG) &&
         (modes.c_iflag & ICRNL) != 0;
}

// The lines after the probe's "ready" line.
std::vector<std::string> LinesAfterReady(const PtySession& session) {
  std::vector<std::string> lines = session.Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "ready") return {lines.begin() + static_cast<long>(i) + 1, lines.end()};
  }
  return {};
}

TEST(ConsoleTerminalTest, ControlBytesShowAsGlyphsAndOnlyEndLineStartsALine) {
  auto session = StartProbe({"text:" + Hex("a\nb\rc\x07\x1b[31m\x7f"), "line", "say:next"});
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  EXPECT_EQ(session->Lines(), (std::vector<std::string>{"a◙b♪c•←[31m⌂", "next"}));
  // Colours are reset before the first line; no other escape reaches the screen.
  EXPECT_EQ(session->Output().rfind("\x1b[0m", 0), 0u);
  EXPECT_EQ(session->Output().find('\x1b', 1), std::string::npos);
}

TEST(ConsoleTerminalTest, RawWhileRunningAndRestoredAtTheEnd) {
  auto session = StartProbe({"say:ready", "wait"});
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->WaitFor("ready", kTimeout));
  const termios during = session->Modes();
  EXPECT_TRUE(IsRaw(during));
  EXPECT_NE(during.c_oflag & OPOST, 0u) << "output processing must stay as it was";
  session->Type("x");
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  EXPECT_EQ(LinesAfterReady(*session), (std::vector<std::string>{"key=78"}));
  EXPECT_TRUE(IsCooked(session->Modes()));
}

struct TypedKey {
  const char* name;
  std::string typed;
  std::string shown;
};

TEST(ConsoleTerminalTest, KeysArriveAsKeyValuesWithoutEcho) {
  const std::vector<TypedKey> keys = {
      {"Ctrl+C", "\x03", "key=03"},
      {"Enter", "\r", "key=0d"},
      {"F5", "\x1b[15~", "key=003f"},
      {"Up", "\x1b[A", "key=0048"},
      {"F1", "\x1bOP", "key=003b"},
      {"Alt+Q", "\x1bq", "key=0010"},
      {"lone Esc", "\x1b", "key=1b"},
      {"u umlaut", "\xc3\xbc", "key=81"},
      {"unknown sequence", "\x1b[99~", "key=0000"},
  };
  for (const TypedKey& key : keys) {
    SCOPED_TRACE(key.name);
    auto session = StartProbe({"say:ready", "wait", "poll"});
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->WaitFor("ready", kTimeout));
    session->Type(key.typed);
    // Ctrl+C is a key, not a signal: the program ends normally after it.
    ASSERT_EQ(session->WaitExit(kTimeout), 0);
    // One key, and nothing of its bytes is left over or shown.
    EXPECT_EQ(LinesAfterReady(*session), (std::vector<std::string>{key.shown, "poll="}));
    const std::string after_ready = session->Output().substr(session->Output().find("ready"));
    EXPECT_EQ(after_ready.find('\x1b'), std::string::npos);
    EXPECT_EQ(after_ready.find("^"), std::string::npos);
  }
}

TEST(ConsoleTerminalTest, KeysTypedBeforeAPollAreKept) {
  TempDir dir;
  const std::string go = dir.File("go");
  auto session =
      StartProbe({"say:ready", "waitfile:" + go, "sleep:100", "poll", "poll", "poll", "poll"});
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->WaitFor("ready", kTimeout));
  session->Type("a\x1b[15~Y");
  dir.Write("go", "");
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  EXPECT_EQ(LinesAfterReady(*session),
            (std::vector<std::string>{"poll=61", "poll=003f", "poll=59", "poll="}));
}

TEST(ConsoleTerminalTest, PollWithoutKeysFindsNone) {
  auto session = StartProbe({"poll", "poll"});
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  EXPECT_EQ(session->Lines(), (std::vector<std::string>{"poll=", "poll="}));
}

TEST(ConsoleTerminalTest, KeysComeFromTheTerminalWhenStandardInputIsRedirected) {
  PtyOptions options;
  options.stdin_path = "/dev/null";
  auto session = StartProbe({"say:ready", "wait"}, options);
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->WaitFor("ready", kTimeout));
  session->Type("k");
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  EXPECT_EQ(LinesAfterReady(*session), (std::vector<std::string>{"key=6b"}));
}

TEST(ConsoleTerminalTest, LinesGoToStandardErrorWhenStandardOutputIsAFile) {
  TempDir dir;
  PtyOptions options;
  options.stdout_path = dir.File("stdout");
  auto session = StartProbe({"say:hello", "say:world"}, options);
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  EXPECT_EQ(session->Lines(), (std::vector<std::string>{"hello", "world"}));
  EXPECT_EQ(ReadWholeFile(dir.File("stdout")), "");
}

TEST(ConsoleTerminalTest, PlainLinesIntoAFileWhileKeysStillComeFromTheTerminal) {
  TempDir dir;
  PtyOptions options;
  options.stdout_path = dir.File("stdout");
  // The shell sends standard error into a file as well, then becomes the probe.
  auto session =
      PtySession::Start({"/bin/sh", "-c", "exec \"$0\" say:ready text:01 line wait 2>\"$1\"",
                         ZUNO_CONSOLE_PROBE, dir.File("stderr")},
                        options);
  ASSERT_NE(session, nullptr);
  // Nothing is shown on the terminal, so wait for the file instead.
  for (int i = 0; i < 500 && ReadWholeFile(dir.File("stderr")).find("ready") == std::string::npos;
       ++i) {
    session->WaitFor("never shown", 20ms);
  }
  session->Type("z");
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("stderr")), "ready\n☺\nkey=7a\n");
  EXPECT_EQ(ReadWholeFile(dir.File("stdout")), "");
  EXPECT_TRUE(IsCooked(session->Modes()));
}

TEST(ConsoleTerminalTest, TerminalIsRestoredWhenASignalEndsTheProgram) {
  for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(signal_number);
    auto session = StartProbe({"pid", "say:ready", "wait"});
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->WaitFor("ready", kTimeout));
    ASSERT_TRUE(IsRaw(session->Modes()));
    const std::string& output = session->Output();
    const size_t at = output.find("pid=");
    ASSERT_NE(at, std::string::npos);
    const pid_t pid = static_cast<pid_t>(std::stol(output.substr(at + 4)));
    ASSERT_EQ(kill(pid, signal_number), 0);
    EXPECT_EQ(session->WaitExit(kTimeout), 128 + signal_number);
    EXPECT_TRUE(IsCooked(session->Modes()));
  }
}

// A crash, or a crash signal sent from outside: the terminal comes back before the
// signal takes its course, and the program still ends by that signal. (Under the
// sanitizers their own handler takes the signal on and ends the program instead.)
TEST(ConsoleTerminalTest, TerminalIsRestoredWhenTheProgramCrashes) {
  struct Case {
    std::string crash;  // the probe's crash step, or empty: the signal is sent
    int signal_number;
  };
  const std::vector<Case> cases = {
      {"segv", SIGSEGV}, {"overflow", SIGSEGV}, {"fpe", SIGFPE}, {"abort", SIGABRT}, {"", SIGSEGV},
      {"", SIGBUS},      {"", SIGFPE},          {"", SIGILL},    {"", SIGABRT},      {"", SIGQUIT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.crash.empty() ? "sent " : c.crash + " ") + std::to_string(c.signal_number));
    std::vector<std::string> steps = {"pid", "say:ready"};
    steps.push_back(c.crash.empty() ? "wait" : "crash:" + c.crash);
    TempDir dir;
    PtyOptions options;
    options.working_directory = dir.path().string();
    auto session = StartProbe(steps, options);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->WaitFor("ready", kTimeout));
    if (c.crash.empty()) {
      ASSERT_TRUE(IsRaw(session->Modes()));
      ASSERT_EQ(kill(session->pid(), c.signal_number), 0);
    }
    const int status = session->WaitExit(kTimeout);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_NE(status, 0) << session->Output();
    EXPECT_NE(status, -1);
    // The undefined-behaviour checks catch the null write and the division by
    // zero before they become signals, and end the program without one.
    if (c.crash == "segv" || c.crash == "fpe") continue;
#else
    EXPECT_EQ(status, 128 + c.signal_number) << session->Output();
#endif
    EXPECT_TRUE(IsCooked(session->Modes()));
    EXPECT_FALSE(session->dumped_core());
  }
}

TEST(ConsoleTerminalTest, ReleaseAndReclaimKeepTypedKeys) {
  TempDir dir;
  const std::string release = dir.File("release");
  const std::string reclaim = dir.File("reclaim");
  auto session =
      StartProbe({"say:ready", "waitfile:" + release, "release", "say:released",
                  "waitfile:" + reclaim, "reclaim", "say:reclaimed", "wait", "wait", "wait"});
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->WaitFor("ready", kTimeout));
  session->Type("a");  // typed before the terminal is handed over
  dir.Write("release", "");
  ASSERT_TRUE(session->WaitFor("released", kTimeout));
  EXPECT_TRUE(IsCooked(session->Modes()));
  session->Type("b");  // typed while the started program would own the terminal
  dir.Write("reclaim", "");
  ASSERT_TRUE(session->WaitFor("reclaimed", kTimeout));
  ASSERT_TRUE(session->WaitFor("key=62", kTimeout));
  EXPECT_TRUE(IsRaw(session->Modes()));
  session->Type("c");
  ASSERT_EQ(session->WaitExit(kTimeout), 0);
  const std::vector<std::string> lines = session->Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"key=61", "key=62", "key=63"}));
}

TEST(ConsoleTerminalTest, WithoutAnyTerminalLinesArePlainAndNothingWaitsForAKey) {
  const DetachedRun run =
      RunWithoutTerminal({ZUNO_CONSOLE_PROBE, "say:hello", "text:" + Hex("\x01\n"), "line", "wait",
                          "poll", "release", "reclaim", "say:after"},
                         kTimeout);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.standard_output, "");
  EXPECT_EQ(run.standard_error, "hello\n☺◙\nkey=0000\npoll=\nafter\n");
}

}  // namespace
}  // namespace zuno::testing
