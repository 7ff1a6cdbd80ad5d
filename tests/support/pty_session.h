#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zuno::testing {

struct PtyOptions {
  int rows = 40;
  int columns = 120;
  // When set, the program's standard input is this file instead of the terminal.
  std::string stdin_path;
  // When set, the program's standard output is this file instead of the terminal.
  std::string stdout_path;
  // Extra environment entries ("NAME=value") on top of the test's own environment.
  std::vector<std::string> environment;
  // Working directory of the program; empty: the test's own.
  std::string working_directory;
};

// A program running in a pseudo-terminal of its own, as a user would run it:
// the terminal is its controlling terminal, keys are typed into it and whatever
// the program shows is read back.
class PtySession {
 public:
  // Starts argv[0] (a path) with the arguments; null when it cannot be started.
  static std::unique_ptr<PtySession> Start(const std::vector<std::string>& argv,
                                           const PtyOptions& options = {});
  ~PtySession();  // kills the program if it still runs

  void Type(std::string_view bytes);
  // Reads output until it contains `text` or the time runs out; true when found.
  bool WaitFor(std::string_view text, std::chrono::milliseconds timeout);
  // Waits for the program to end, reading its output meanwhile: the exit status,
  // 128 + signal number when a signal ended it, or -1 when the time ran out.
  int WaitExit(std::chrono::milliseconds timeout);
  // Everything the program has written to the terminal so far.
  const std::string& Output() const { return output_; }
  // The output split at CR LF into lines, escape sequences (such as a colour reset)
  // removed; a last line without a line end is included when it is not empty.
  std::vector<std::string> Lines() const;
  // The terminal's settings as the program left them (also after it ended).
  termios Modes() const;
  // The program's process id.
  pid_t pid() const { return pid_; }
  // Whether the signal that ended the program left a core dump.
  bool dumped_core() const { return dumped_core_; }

 private:
  PtySession() = default;
  void ReadAvailable(std::chrono::milliseconds wait);

  int master_ = -1;
  pid_t pid_ = -1;
  int status_ = -1;
  bool ended_ = false;
  bool dumped_core_ = false;
  std::string output_;
};

// What a program run without any terminal left behind.
struct DetachedRun {
  int status = -1;  // as PtySession::WaitExit gives it; -1: killed when the time ran out
  std::string standard_output;
  std::string standard_error;
};

// Runs argv[0] (a path) as a cron job or a service would: in a session of its own with
// no controlling terminal, standard input from /dev/null, standard output and error
// into pipes. Waits at most `timeout`, then kills it.
DetachedRun RunWithoutTerminal(const std::vector<std::string>& argv,
                               std::chrono::milliseconds timeout);

}  // namespace zuno::testing
