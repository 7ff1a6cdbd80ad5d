#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "services/command_words.h"
#include "services/programs.h"

extern char** environ;

namespace zuno {
namespace {

// While a started program runs, the terminal is in its normal mode, and Ctrl+C or
// Ctrl+\ there signals the whole foreground group: the program may end on it, the
// driver must not. The previous dispositions come back when this goes away.
class TerminalSignalsIgnored {
 public:
  TerminalSignalsIgnored() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    interrupt_saved_ = sigaction(SIGINT, &ignore, &interrupt_) == 0;
    quit_saved_ = sigaction(SIGQUIT, &ignore, &quit_) == 0;
  }
  ~TerminalSignalsIgnored() {
    if (interrupt_saved_) sigaction(SIGINT, &interrupt_, nullptr);
    if (quit_saved_) sigaction(SIGQUIT, &quit_, nullptr);
  }
  TerminalSignalsIgnored(const TerminalSignalsIgnored&) = delete;
  TerminalSignalsIgnored& operator=(const TerminalSignalsIgnored&) = delete;

 private:
  struct sigaction interrupt_ = {};
  struct sigaction quit_ = {};
  bool interrupt_saved_ = false;
  bool quit_saved_ = false;
};

// The start-up settings of a program: it begins with the signals that we may be
// ignoring at their default actions and with nothing blocked, as if the user had
// started it from the shell.
class SpawnSettings {
 public:
  SpawnSettings() {
    ok_ = posix_spawnattr_init(&attr_) == 0;
    if (!ok_) return;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    sigaddset(&defaults, SIGPIPE);
    sigset_t empty;
    sigemptyset(&empty);
    ok_ = posix_spawnattr_setsigdefault(&attr_, &defaults) == 0 &&
          posix_spawnattr_setsigmask(&attr_, &empty) == 0 &&
          posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // The program gets the standard handles and nothing else of ours.
    actions_ok_ = posix_spawn_file_actions_init(&actions_) == 0;
    if (actions_ok_) ok_ = ok_ && posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
#endif
  }
  ~SpawnSettings() {
    posix_spawnattr_destroy(&attr_);
    if (actions_ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  bool ok() const { return ok_; }
  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return actions_ok_ ? &actions_ : nullptr; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
  bool actions_ok_ = false;
};

// Starts the words as a program: a first word with a "/" is a path, any other is
// looked up in PATH. No shell. The process id, or -1 when nothing could be started.
pid_t Start(const std::vector<std::string>& words) {
  SpawnSettings settings;
  if (!settings.ok()) return -1;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  // glibc reports a failed exec (missing or not executable) here as an error.
  if (posix_spawnp(&pid, argv[0], settings.actions(), settings.attr(), argv.data(), environ) != 0) {
    return -1;
  }
  return pid;
}

void WaitForEnd(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

class PosixProgramRunner final : public ProgramRunner {
 public:
  explicit PosixProgramRunner(TerminalHandoff& terminal) : terminal_(terminal) {}
  ~PosixProgramRunner() override { ReapEnded(); }

  void RunProgram(const std::string& command_line, int /*show_window*/, bool wait) override {
    // The whole command line is used: a shortened one could name another program
    // or cut an argument in two.
    const std::vector<std::string> words = SplitCommandWords(command_line);
    if (words.empty()) return;
    ReapEnded();
    if (!wait) {
      // It runs alongside the driver, which keeps the terminal; it is reaped later.
      const pid_t pid = Start(words);
      if (pid > 0) unwaited_.push_back(pid);
      return;
    }
    TerminalSignalsIgnored signals_ignored;
    terminal_.ReleaseTerminal();
    const pid_t pid = Start(words);
    if (pid > 0) WaitForEnd(pid);
    terminal_.ReclaimTerminal();
  }

 private:
  // Collects programs started without waiting that have ended meanwhile, so none
  // stays behind as a zombie.
  void ReapEnded() {
    std::vector<pid_t> running;
    for (const pid_t pid : unwaited_) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == 0) running.push_back(pid);
    }
    unwaited_ = std::move(running);
  }

  TerminalHandoff& terminal_;
  std::vector<pid_t> unwaited_;
};

}  // namespace

std::unique_ptr<ProgramRunner> MakeProgramRunner(TerminalHandoff& terminal) {
  return std::make_unique<PosixProgramRunner>(terminal);
}

}  // namespace zuno
