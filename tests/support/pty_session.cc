#include "tests/support/pty_session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

extern char** environ;

namespace zuno::testing {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? left : std::chrono::milliseconds(0);
}

// The status as the tests see it: the exit code, or 128 + the signal's number.
int StatusOf(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// The environment for the child: the test's own, the additions, and TERM when
// neither names one.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& additions) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
  for (const std::string& addition : additions) {
    const std::string name = addition.substr(0, addition.find('=') + 1);
    std::erase_if(entries, [&](const std::string& e) { return e.starts_with(name); });
    entries.push_back(addition);
  }
  const bool has_term = std::any_of(entries.begin(), entries.end(),
                                    [](const std::string& e) { return e.starts_with("TERM="); });
  if (!has_term) entries.emplace_back("TERM=xterm");
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const PtyOptions& options, char* const* argv, char* const* envp,
                            int error_pipe) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) {
    signal(signal_number, SIG_DFL);
  }
  if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) {
    const int error = errno;
    (void)!write(error_pipe, &error, sizeof error);
    _exit(127);
  }
  if (!options.stdin_path.empty()) {
    const int fd = open(options.stdin_path.c_str(), O_RDONLY);
    if (fd >= 0) dup2(fd, STDIN_FILENO);
    if (fd > STDERR_FILENO) close(fd);
  }
  if (!options.stdout_path.empty()) {
    const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, STDOUT_FILENO);
    if (fd > STDERR_FILENO) close(fd);
  }
  execve(argv[0], argv, envp);
  const int error = errno;
  (void)!write(error_pipe, &error, sizeof error);
  _exit(127);
}

// The program has closed its side of the terminal, which then reports itself ready
// at once for ever: sleep instead of spinning on it.
void SleepBriefly(std::chrono::milliseconds wait) {
  if (wait.count() <= 0) return;
  const timespec pause{0, static_cast<long>(std::min<int64_t>(wait.count(), 10)) * 1000000};
  nanosleep(&pause, nullptr);
}

// Removes the terminal control sequences: CSI (ESC [ ... final), OSC (ESC ] ... BEL
// or ESC \) and two-byte escapes.
std::string WithoutEscapes(const std::string& text) {
  std::string plain;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '\x1b') {
      plain += text[i++];
      continue;
    }
    ++i;
    if (i >= text.size()) break;
    const char kind = text[i++];
    if (kind == '[') {
      while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7E)) ++i;
      ++i;
    } else if (kind == ']') {
      while (i < text.size() && text[i] != '\a' && !(text[i] == '\x1b')) ++i;
      i += (i < text.size() && text[i] == '\x1b') ? 2 : 1;
    }
  }
  return plain;
}

}  // namespace

std::unique_ptr<PtySession> PtySession::Start(const std::vector<std::string>& argv,
                                              const PtyOptions& options) {
  if (argv.empty()) return nullptr;
  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = ChildEnvironment(options.environment);
  std::vector<char*> argument_pointers = Pointers(arguments);
  std::vector<char*> environment_pointers = Pointers(environment);

  // Tells the parent whether exec worked: the pipe closes on exec, or carries errno.
  int error_pipe[2];
  if (pipe2(error_pipe, O_CLOEXEC) != 0) return nullptr;

  winsize size{};
  size.ws_row = static_cast<unsigned short>(options.rows);
  size.ws_col = static_cast<unsigned short>(options.columns);
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) {
    close(error_pipe[0]);
    close(error_pipe[1]);
    return nullptr;
  }
  if (pid == 0) {
    close(error_pipe[0]);
    ExecChild(options, argument_pointers.data(), environment_pointers.data(), error_pipe[1]);
  }
  close(error_pipe[1]);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  std::unique_ptr<PtySession> session(new PtySession());
  session->master_ = master;
  session->pid_ = pid;

  int exec_error = 0;
  ssize_t got;
  do {
    got = read(error_pipe[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  close(error_pipe[0]);
  if (got > 0) return nullptr;  // the destructor reaps the child
  return session;
}

PtySession::~PtySession() {
  if (pid_ > 0 && !ended_) {
    // The program leads its own session and process group: end all of it.
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int wait_status;
    while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
    }
  }
  if (master_ >= 0) close(master_);
}

void PtySession::Type(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!bytes.empty() && Clock::now() < deadline) {
    const ssize_t written = write(master_, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
      continue;
    }
    if (written < 0 && errno != EINTR && errno != EAGAIN) return;
    // The terminal's input queue is full: let the program read, and keep reading
    // its output so that it never blocks on a full screen.
    ReadAvailable(std::chrono::milliseconds(10));
  }
}

void PtySession::ReadAvailable(std::chrono::milliseconds wait) {
  pollfd master{master_, POLLIN, 0};
  const int ready = poll(&master, 1, static_cast<int>(wait.count()));
  if (ready <= 0) return;
  if ((master.revents & POLLIN) == 0) {
    SleepBriefly(wait);
    return;
  }
  char chunk[4096];
  bool got_any = false;
  for (;;) {
    const ssize_t got = read(master_, chunk, sizeof chunk);
    if (got > 0) {
      output_.append(chunk, static_cast<size_t>(got));
      got_any = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (!got_any && got < 0 && errno != EAGAIN) SleepBriefly(wait);
    return;  // EAGAIN: all read; EIO: the program's side is closed
  }
}

bool PtySession::WaitFor(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (output_.find(text) != std::string::npos) return true;
    if (ended_) {
      ReadAvailable(std::chrono::milliseconds(0));
      return output_.find(text) != std::string::npos;
    }
    const auto left = Remaining(deadline);
    if (left.count() == 0) return false;
    ReadAvailable(std::min(left, std::chrono::milliseconds(20)));
    int wait_status;
    if (waitpid(pid_, &wait_status, WNOHANG) == pid_) {
      ended_ = true;
      status_ = StatusOf(wait_status);
      dumped_core_ = WIFSIGNALED(wait_status) && WCOREDUMP(wait_status);
    }
  }
}

int PtySession::WaitExit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!ended_) {
    int wait_status;
    if (waitpid(pid_, &wait_status, WNOHANG) == pid_) {
      ended_ = true;
      status_ = StatusOf(wait_status);
      dumped_core_ = WIFSIGNALED(wait_status) && WCOREDUMP(wait_status);
      break;
    }
    const auto left = Remaining(deadline);
    if (left.count() == 0) return -1;
    ReadAvailable(std::min(left, std::chrono::milliseconds(20)));
  }
  ReadAvailable(std::chrono::milliseconds(0));
  return status_;
}

std::vector<std::string> PtySession::Lines() const {
  const std::string plain = WithoutEscapes(output_);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= plain.size()) {
    const size_t end = plain.find('\n', start);
    std::string line = plain.substr(start, end == std::string::npos ? end : end - start);
    // A terminal that adds CR to each LF turns the program's CR LF into CR CR LF.
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (end == std::string::npos) {
      if (!line.empty()) lines.push_back(line);
      break;
    }
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

termios PtySession::Modes() const {
  termios modes{};
  tcgetattr(master_, &modes);
  return modes;
}

DetachedRun RunWithoutTerminal(const std::vector<std::string>& argv,
                               std::chrono::milliseconds timeout) {
  DetachedRun run;
  if (argv.empty()) return run;
  std::vector<std::string> arguments = argv;
  std::vector<char*> argument_pointers = Pointers(arguments);
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return run;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return run;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();  // a new session has no controlling terminal
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null_fd = open("/dev/null", O_RDONLY | O_NOCTTY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    execv(argument_pointers[0], argument_pointers.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return run;
  }

  const auto deadline = Clock::now() + timeout;
  pollfd pipes[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* texts[2] = {&run.standard_output, &run.standard_error};
  int open_pipes = 2;
  while (open_pipes > 0 && Remaining(deadline).count() > 0) {
    if (poll(pipes, 2, static_cast<int>(Remaining(deadline).count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (pipes[i].fd < 0 || pipes[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t got = read(pipes[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        texts[i]->append(chunk, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(pipes[i].fd);
        pipes[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (pollfd& pipe_end : pipes) {
    if (pipe_end.fd >= 0) close(pipe_end.fd);
  }

  int wait_status = 0;
  pid_t reaped = 0;
  while ((reaped = waitpid(pid, &wait_status, WNOHANG)) == 0 && Remaining(deadline).count() > 0) {
    SleepBriefly(std::chrono::milliseconds(10));
  }
  if (reaped == pid) {
    run.status = StatusOf(wait_status);
  } else {
    kill(pid, SIGKILL);
    while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
    }
  }
  return run;
}

}  // namespace zuno::testing
