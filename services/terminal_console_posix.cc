// The console on a POSIX terminal. The terminal's settings are shared with the
// shell that started the program, so raw mode is taken with care: typed-ahead keys
// are never flushed, output processing is left alone, and the previous settings
// come back however the program ends.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include "services/glyphs.h"
#include "services/key_decoder.h"
#include "services/terminal_console.h"

namespace zuno {

namespace {

// How long a key sequence that has begun (Esc, or the first byte of a UTF-8
// character) may take to arrive whole.
constexpr int kSequenceWaitMs = 30;

// The key that a key wait gives when no key can ever come: neither "y" nor "Y".
const KeyValue kNoKeyboardKey("\0\0", 2);

// The signals after which the terminal must not stay in raw mode: those that end
// the program from outside, and those of a crash (an out-of-memory end under
// -fno-exceptions is an abort).
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kEndingSignalCount = sizeof(kEndingSignals) / sizeof(kEndingSignals[0]);
constexpr int kCrashSignalCount = sizeof(kCrashSignals) / sizeof(kCrashSignals[0]);
constexpr int kRestoringSignalCount = kEndingSignalCount + kCrashSignalCount;

int RestoringSignal(int index) {
  return index < kEndingSignalCount ? kEndingSignals[index]
                                    : kCrashSignals[index - kEndingSignalCount];
}

// What a signal handler or the exit hook needs to put the terminal back. Set only
// while `g_restore_armed` is 0, so a handler never sees a half-written copy.
int g_restore_fd = -1;
termios g_restore_modes;
volatile sig_atomic_t g_restore_armed = 0;

// What a crash signal did before the console took it over (the default action,
// or a handler such as a sanitizer's), indexed as kCrashSignals.
struct sigaction g_crash_previous[kCrashSignalCount];

// The stack that crash handlers run on, so that even a stack overflow restores the
// terminal. Its size is fixed because SIGSTKSZ need not be a constant.
alignas(16) char g_crash_stack[64 * 1024];

void RestoreTerminalNow() {
  if (g_restore_armed) tcsetattr(g_restore_fd, TCSANOW, &g_restore_modes);
}

// Puts the terminal back, then lets the signal do what it would have done.
void RestoreAndRedeliver(int signal_number) {
  const int saved_errno = errno;
  RestoreTerminalNow();
  g_restore_armed = 0;
  signal(signal_number, SIG_DFL);
  raise(signal_number);  // blocked while this handler runs; delivered on return
  errno = saved_errno;
}

// Puts the terminal back after a crash, then hands the signal to its previous
// action. A fault the processor raised happens again when the handler returns, now
// with that action and its own details; a signal that was sent is sent again.
void RestoreAfterCrash(int signal_number, siginfo_t* info, void*) {
  RestoreTerminalNow();
  g_restore_armed = 0;
  int index = 0;
  while (index < kCrashSignalCount && kCrashSignals[index] != signal_number) ++index;
  if (index < kCrashSignalCount && g_crash_previous[index].sa_handler != SIG_IGN) {
    sigaction(signal_number, &g_crash_previous[index], nullptr);
  } else {
    signal(signal_number, SIG_DFL);  // a crash always ends the program
  }
  if (info == nullptr || info->si_code <= 0) raise(signal_number);
}

// A program that leaves through exit() without unwinding main still restores.
void RestoreAtExit() { RestoreTerminalNow(); }

// Writes all bytes, across short writes and interruptions. A broken pipe is not
// allowed to end the program: the signal is held back while writing and dropped.
bool WriteAll(int fd, std::string_view bytes) {
  sigset_t pipe_signal;
  sigset_t previous_mask;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool pipe_signal_was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous_mask);

  bool ok = true;
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && errno == EAGAIN) {
      pollfd writable{fd, POLLOUT, 0};
      if (poll(&writable, 1, 1000) <= 0 && errno != EINTR) {
        ok = false;
        break;
      }
    } else {
      ok = false;
      break;
    }
  }

  if (!ok && !pipe_signal_was_pending) {
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      const timespec no_wait{0, 0};
      sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  return ok;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class PosixTerminalConsole final : public TerminalConsole {
 public:
  PosixTerminalConsole() {
    keyboard_fd_ = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keyboard_fd_ >= 0 && tcgetattr(keyboard_fd_, &original_modes_) != 0) {
      close(keyboard_fd_);
      keyboard_fd_ = -1;
    }
    if (keyboard_fd_ < 0) {
      // No terminal at all: plain lines to standard error, and no keys.
      output_fd_ = STDERR_FILENO;
      output_is_terminal_ = false;
      return;
    }
    output_fd_ = isatty(STDOUT_FILENO) ? STDOUT_FILENO : STDERR_FILENO;
    output_is_terminal_ = isatty(output_fd_) == 1;

    raw_modes_ = original_modes_;
    raw_modes_.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw_modes_.c_iflag &=
        ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
    raw_modes_.c_cc[VMIN] = 0;
    raw_modes_.c_cc[VTIME] = 0;

    ArmRestore();
    TakeRawMode();
    if (output_is_terminal_) WriteAll(output_fd_, "\x1b[0m");
  }

  ~PosixTerminalConsole() override {
    if (keyboard_fd_ < 0) return;
    tcsetattr(keyboard_fd_, TCSANOW, &original_modes_);
    DisarmRestore();
    close(keyboard_fd_);
  }

  PosixTerminalConsole(const PosixTerminalConsole&) = delete;
  PosixTerminalConsole& operator=(const PosixTerminalConsole&) = delete;

  void PrintText(std::string_view text) override {
    if (text.empty()) return;
    Write(ScreenText(text));
  }

  void EndLine() override { Write(output_is_terminal_ ? "\r\n" : "\n"); }

  KeyValue PollKey() override {
    if (keyboard_fd_ < 0) return {};
    ReadAvailable();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSequenceWaitMs);
    for (;;) {
      DecodedKey decoded = DecodeKey(pending_, false);
      if (decoded.status == DecodedKey::Status::kEmpty) return {};
      if (decoded.status == DecodedKey::Status::kNeedMore) {
        // A sequence has begun: give its remaining bytes a moment to arrive.
        if (!keyboard_gone_ && WaitReadable(MillisecondsUntil(deadline))) {
          ReadAvailable();
          continue;
        }
        decoded = DecodeKey(pending_, true);
      }
      pending_.erase(0, decoded.consumed);
      return decoded.key;
    }
  }

  // Every byte from the terminal begins a key, so any byte read counts.
  bool KeyWaiting() override {
    if (keyboard_fd_ < 0) return false;
    ReadAvailable();
    return !pending_.empty();
  }

  KeyValue WaitKey() override {
    if (keyboard_fd_ < 0) return kNoKeyboardKey;
    for (;;) {
      KeyValue key = PollKey();
      if (!key.empty()) return key;
      if (keyboard_gone_) return kNoKeyboardKey;
      WaitReadable(-1);
    }
  }

  void ReleaseTerminal() override {
    if (keyboard_fd_ < 0) return;
    // Keys typed so far belong to this program, not to the one it starts.
    ReadAvailable();
    tcsetattr(keyboard_fd_, TCSANOW, &original_modes_);
  }

  void ReclaimTerminal() override {
    if (keyboard_fd_ < 0) return;
    TakeRawMode();
  }

 private:
  void TakeRawMode() { tcsetattr(keyboard_fd_, TCSANOW, &raw_modes_); }

  void Write(std::string_view bytes) {
    if (output_broken_) return;
    if (!WriteAll(output_fd_, bytes)) output_broken_ = true;
  }

  // Moves whatever the terminal has ready into `pending_`, without waiting. Each read
  // is preceded by a look, so that it cannot block even while the terminal is handed
  // over and back in line mode.
  void ReadAvailable() {
    char chunk[256];
    while (!keyboard_gone_) {
      pollfd keyboard{keyboard_fd_, POLLIN, 0};
      const int ready = poll(&keyboard, 1, 0);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return;
      if (ready < 0 || (keyboard.revents & POLLIN) == 0) {
        keyboard_gone_ = true;  // the terminal hung up; no key can come from it
        return;
      }
      const ssize_t got = read(keyboard_fd_, chunk, sizeof chunk);
      if (got > 0) {
        pending_.append(chunk, static_cast<size_t>(got));
        if (static_cast<size_t>(got) < sizeof chunk) return;
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else if (got < 0 && errno == EAGAIN) {
        return;
      } else {
        if (got < 0 || (keyboard.revents & POLLHUP) != 0) keyboard_gone_ = true;
        return;
      }
    }
  }

  // Waits until the terminal has bytes to read, at most `timeout_ms` (-1: no limit).
  bool WaitReadable(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      pollfd keyboard{keyboard_fd_, POLLIN, 0};
      const int ready = poll(&keyboard, 1, timeout_ms);
      if (ready > 0) {
        if ((keyboard.revents & POLLIN) != 0) return true;
        keyboard_gone_ = true;
        return false;
      }
      if (ready == 0) return false;
      if (errno != EINTR) {
        keyboard_gone_ = true;
        return false;
      }
      if (timeout_ms >= 0) timeout_ms = MillisecondsUntil(deadline);
    }
  }

  void ArmRestore() {
    g_restore_armed = 0;
    g_restore_fd = keyboard_fd_;
    g_restore_modes = original_modes_;
    g_restore_armed = 1;

    static bool exit_hook_installed = false;
    if (!exit_hook_installed) exit_hook_installed = atexit(RestoreAtExit) == 0;

    // An alternate stack that is already there (a sanitizer's) serves as well.
    stack_t current_stack{};
    if (sigaltstack(nullptr, &current_stack) == 0 && (current_stack.ss_flags & SS_DISABLE) != 0) {
      stack_t crash_stack{};
      crash_stack.ss_sp = g_crash_stack;
      crash_stack.ss_size = sizeof g_crash_stack;
      sigaltstack(&crash_stack, nullptr);
    }

    for (int i = 0; i < kRestoringSignalCount; ++i) {
      const int signal_number = RestoringSignal(i);
      const bool crash = i >= kEndingSignalCount;
      struct sigaction previous {};
      sigaction(signal_number, nullptr, &previous);
      previous_actions_[i] = previous;
      // A signal the user chose to ignore (nohup) stays ignored; a crash cannot be.
      if (!crash && previous.sa_handler == SIG_IGN) continue;
      struct sigaction restoring {};
      sigfillset(&restoring.sa_mask);
      if (crash) {
        g_crash_previous[i - kEndingSignalCount] = previous;
        restoring.sa_sigaction = RestoreAfterCrash;
        restoring.sa_flags = SA_SIGINFO | SA_ONSTACK;
      } else {
        restoring.sa_handler = RestoreAndRedeliver;
      }
      sigaction(signal_number, &restoring, nullptr);
      handlers_installed_[i] = true;
    }
  }

  void DisarmRestore() {
    g_restore_armed = 0;
    for (int i = 0; i < kRestoringSignalCount; ++i) {
      if (handlers_installed_[i]) sigaction(RestoringSignal(i), &previous_actions_[i], nullptr);
    }
  }

  int output_fd_ = STDERR_FILENO;
  bool output_is_terminal_ = false;
  bool output_broken_ = false;
  int keyboard_fd_ = -1;
  bool keyboard_gone_ = false;
  termios original_modes_{};
  termios raw_modes_{};
  std::string pending_;  // bytes read from the terminal and not yet taken as keys
  struct sigaction previous_actions_[kRestoringSignalCount] = {};
  bool handlers_installed_[kRestoringSignalCount] = {};
};

}  // namespace

std::unique_ptr<TerminalConsole> OpenTerminalConsole() {
  return std::make_unique<PosixTerminalConsole>();
}

}  // namespace zuno
