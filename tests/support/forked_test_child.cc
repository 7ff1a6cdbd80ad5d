#include "tests/support/forked_test_child.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zuno::testing {
namespace {

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

}  // namespace

ChildOutcome RunInChild(const std::function<std::string()>& action,
                        std::chrono::milliseconds timeout) {
  ChildOutcome outcome;
  int pipe_fds[2];
  // Close-on-exec, so programs the child starts do not hold the pipe open.
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return outcome;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return outcome;
  }
  if (pid == 0) {
    close(pipe_fds[0]);
    WriteAll(pipe_fds[1], action());
    _exit(0);
  }
  close(pipe_fds[1]);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto remaining_ms = [&] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  };
  for (;;) {
    pollfd p{.fd = pipe_fds[0], .events = POLLIN, .revents = 0};
    const int ready = poll(&p, 1, remaining_ms());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    outcome.output.append(buffer, static_cast<size_t>(got));
  }
  close(pipe_fds[0]);

  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return outcome;
    if (remaining_ms() == 0) {
      outcome.timed_out = true;
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    usleep(10 * 1000);
  }
  if (WIFEXITED(status)) {
    outcome.exited = true;
    outcome.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

bool DropRootPrivileges() {
  if (geteuid() != 0) return true;
  return BecomeUser(kNobodyUser);
}

bool BecomeUser(unsigned uid) {
  if (setgroups(0, nullptr) != 0 && errno != EPERM) return false;
  if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) return false;
  return geteuid() == uid && getegid() == uid;
}

bool MakeLinkAs(unsigned uid, const std::string& text, const std::string& path,
                std::string* error) {
  const ChildOutcome outcome = RunInChild([&]() -> std::string {
    if (!BecomeUser(uid)) return std::string("cannot become user ") + std::to_string(uid);
    if (symlink(text.c_str(), path.c_str()) != 0) return std::string("symlink: ") + strerror(errno);
    return "made";
  });
  if (outcome.output == "made") return true;
  *error = outcome.output.empty() ? "the child ended without an answer" : outcome.output;
  return false;
}

}  // namespace zuno::testing
