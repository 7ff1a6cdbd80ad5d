#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/forked_test_child.h"
#include "services/programs.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

namespace fs = std::filesystem;
using ::zuno::testing::ChildOutcome;
using ::zuno::testing::ReadWholeFile;
using ::zuno::testing::RunInChild;
using ::zuno::testing::TempDir;

// Records the hand-over of the terminal; the probe notes what the world looked
// like at each moment.
class RecordingTerminal final : public TerminalHandoff {
 public:
  explicit RecordingTerminal(std::function<std::string()> probe = nullptr)
      : probe_(std::move(probe)) {}
  void ReleaseTerminal() override { Record("release"); }
  void ReclaimTerminal() override { Record("reclaim"); }
  const std::vector<std::string>& events() const { return events_; }

 private:
  void Record(const std::string& event) { events_.push_back(probe_ ? event + probe_() : event); }
  std::function<std::string()> probe_;
  std::vector<std::string> events_;
};

const std::vector<std::string> kReleasedAndReclaimed = {"release", "reclaim"};

std::string WriteScript(const TempDir& tmp, const std::string& name, const std::string& body) {
  const std::string path = tmp.Write(name, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms(0755));
  return path;
}

// Sends this process's standard output and error into a file while it exists.
class CapturedOutput {
 public:
  explicit CapturedOutput(std::string path) : path_(std::move(path)) {
    fflush(stdout);
    fflush(stderr);
    saved_out_ = dup(STDOUT_FILENO);
    saved_err_ = dup(STDERR_FILENO);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~CapturedOutput() { Restore(); }
  // Ends the capture and gives what was written.
  std::string Text() {
    Restore();
    return ReadWholeFile(path_);
  }

 private:
  void Restore() {
    if (saved_out_ < 0) return;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_err_, STDERR_FILENO);
    close(saved_out_);
    close(saved_err_);
    saved_out_ = saved_err_ = -1;
  }
  std::string path_;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

// Puts a directory in front of PATH while it exists.
class PathPrepended {
 public:
  explicit PathPrepended(const std::string& dir) {
    const char* old = getenv("PATH");
    if (old != nullptr) saved_ = old;
    setenv("PATH", (dir + ":" + saved_.value_or("/usr/bin:/bin")).c_str(), 1);
  }
  ~PathPrepended() {
    if (saved_) {
      setenv("PATH", saved_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

 private:
  std::optional<std::string> saved_;
};

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 1000 && !fs::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return fs::exists(path);
}

// Reads the process id a started program left in a file, once it is complete.
pid_t ReadPid(const std::string& path) {
  if (!WaitForFile(path)) return -1;
  for (int i = 0; i < 100; ++i) {
    const std::string text = ReadWholeFile(path);
    if (!text.empty() && text.back() == '\n') return static_cast<pid_t>(std::stol(text));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(RunProgramTest, AQuotedPathWithBlanksGetsTheRestAsItsArguments) {
  TempDir tmp;
  const std::string browser = WriteScript(tmp, "my browser",
                                          "dir=$(dirname \"$0\")\n"
                                          "{ printf '%s\\n' \"$0\"; for a in \"$@\"; do "
                                          "printf '[%s]\\n' \"$a\"; done; } > \"$dir/argv.txt\"\n"
                                          "if [ -e /proc/$$/fd/57 ]; then echo leaked; fi "
                                          "> \"$dir/fds.txt\"\n");
  // A descriptor of ours that the program must not inherit.
  const int ours = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(ours, 57), 57);
  close(ours);

  RecordingTerminal terminal;
  MakeProgramRunner(terminal)->RunProgram("\"" + browser + "\" --profile \"a b\" $HOME >out * \"\"",
                                          1, true);
  close(57);

  // Taken literally, as no shell is involved: no variables, redirection or globbing.
  EXPECT_EQ(ReadWholeFile(tmp.File("argv.txt")),
            browser + "\n[--profile]\n[a b]\n[$HOME]\n[>out]\n[*]\n[]\n");
  EXPECT_FALSE(fs::exists(tmp.File("out")));
#ifdef __linux__
  EXPECT_EQ(ReadWholeFile(tmp.File("fds.txt")), "");
#endif
  EXPECT_EQ(terminal.events(), kReleasedAndReclaimed);
}

TEST(RunProgramTest, ABareNameIsFoundThroughPath) {
  TempDir tmp;
  fs::create_directory(tmp.File("bin"));
  WriteScript(tmp, "bin/zuno-probe-browser", "echo \"ran $1\" > \"$2\"\n");
  PathPrepended path(tmp.File("bin"));

  RecordingTerminal terminal;
  MakeProgramRunner(terminal)->RunProgram("zuno-probe-browser one " + tmp.File("ran.txt"), 1, true);

  EXPECT_EQ(ReadWholeFile(tmp.File("ran.txt")), "ran one\n");
  EXPECT_EQ(terminal.events(), kReleasedAndReclaimed);
}

TEST(RunProgramTest, AProgramThatCannotStartReturnsSilently) {
  TempDir tmp;
  tmp.Write("not-executable", "#!/bin/sh\necho ran > \"$0.ran\"\n");
  fs::permissions(tmp.File("not-executable"), fs::perms(0644));
  fs::create_directory(tmp.File("a-dir"));
  PathPrepended path(tmp.path().string());

  for (const std::string& command :
       {std::string("/no/such/dir/browser --new-window"), std::string("zuno-no-such-browser"),
        tmp.File("not-executable"), std::string("not-executable"), tmp.File("a-dir"),
        std::string("\"\" argument")}) {
    SCOPED_TRACE(command);
    RecordingTerminal terminal;
    std::unique_ptr<ProgramRunner> runner = MakeProgramRunner(terminal);
    CapturedOutput output(tmp.File("output.txt"));
    runner->RunProgram(command, 1, true);
    EXPECT_EQ(output.Text(), "");
    EXPECT_EQ(terminal.events(), kReleasedAndReclaimed);
  }
  EXPECT_FALSE(fs::exists(tmp.File("not-executable.ran")));
}

TEST(RunProgramTest, AnEmptyCommandDoesNothing) {
  for (const char* command : {"", "    "}) {
    RecordingTerminal terminal;
    MakeProgramRunner(terminal)->RunProgram(command, 1, true);
    EXPECT_TRUE(terminal.events().empty()) << '"' << command << '"';
  }
}

TEST(RunProgramTest, WaitsUntilTheProgramHasEndedWithTheTerminalReleased) {
  TempDir tmp;
  const std::string done = tmp.File("done.txt");
  RecordingTerminal terminal([&] { return fs::exists(done) ? " after" : " before"; });

  MakeProgramRunner(terminal)->RunProgram("/bin/sh -c \"sleep 0.5; echo done > " + done + "\"", 1,
                                          true);

  EXPECT_EQ(ReadWholeFile(done), "done\n");
  EXPECT_EQ(terminal.events(), (std::vector<std::string>{"release before", "reclaim after"}));
}

TEST(RunProgramTest, ProgramsStartedByTheProgramAreNotWaitedFor) {
  TempDir tmp;
  const std::string pid_file = tmp.File("pid.txt");
  RecordingTerminal terminal;

  MakeProgramRunner(terminal)->RunProgram(
      "/bin/sh -c \"sleep 30 </dev/null >/dev/null 2>&1 & echo $! > " + pid_file + "\"", 1, true);

  const pid_t grandchild = ReadPid(pid_file);
  ASSERT_GT(grandchild, 0);
  EXPECT_EQ(kill(grandchild, 0), 0) << "the background program should still run";
  kill(grandchild, SIGKILL);
  EXPECT_EQ(terminal.events(), kReleasedAndReclaimed);
}

TEST(RunProgramTest, WithoutWaitReturnsWhileTheProgramRuns) {
  TempDir tmp;
  const std::string pid_file = tmp.File("pid.txt");
  RecordingTerminal terminal;
  std::unique_ptr<ProgramRunner> runner = MakeProgramRunner(terminal);

  runner->RunProgram("/bin/sh -c \"echo $$ > " + pid_file + "; exec sleep 30\"", 1, false);

  const pid_t pid = ReadPid(pid_file);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(kill(pid, 0), 0);
  kill(pid, SIGKILL);
  EXPECT_TRUE(terminal.events().empty());
}

void NoteInterrupt(int) {}

TEST(RunProgramTest, CtrlCDuringTheWaitDoesNotEndTheDriver) {
  TempDir tmp;
  const std::string done = tmp.File("done.txt");
  const std::string signals = tmp.File("signals.txt");
  // The program signals the process that waits for it, as the terminal would.
  const std::string command = "/bin/sh -c \"grep -E '^Sig(Blk|Ign)' /proc/self/status > " +
                              signals + "; kill -INT $PPID; kill -QUIT $PPID; sleep 0.3; " +
                              "echo done > " + done + "\"";

  const ChildOutcome outcome = RunInChild([&] {
    struct sigaction handler = {};
    handler.sa_handler = NoteInterrupt;
    sigemptyset(&handler.sa_mask);
    sigaction(SIGINT, &handler, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);

    RecordingTerminal terminal;
    MakeProgramRunner(terminal)->RunProgram(command, 1, true);

    std::string result = fs::exists(done) ? "waited" : "did not wait";
    struct sigaction now = {};
    sigaction(SIGINT, nullptr, &now);
    result += now.sa_handler == NoteInterrupt ? ", interrupt restored" : ", interrupt lost";
    sigaction(SIGQUIT, nullptr, &now);
    result += now.sa_handler == SIG_DFL ? ", quit restored" : ", quit lost";
    return result;
  });

  EXPECT_TRUE(outcome.exited) << "ended by signal " << outcome.signal;
  EXPECT_EQ(outcome.output, "waited, interrupt restored, quit restored");
#ifdef __linux__
  // The program itself starts with the default actions and nothing blocked.
  const std::string status = ReadWholeFile(signals);
  const size_t blk = status.find("SigBlk:");
  const size_t ign = status.find("SigIgn:");
  ASSERT_NE(blk, std::string::npos) << status;
  ASSERT_NE(ign, std::string::npos) << status;
  EXPECT_EQ(std::stoull(status.substr(blk + 7), nullptr, 16), 0u);
  const unsigned long long ignored = std::stoull(status.substr(ign + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGINT - 1)), 0u);
  EXPECT_EQ(ignored & (1ull << (SIGQUIT - 1)), 0u);
#endif
}

}  // namespace
}  // namespace zuno
