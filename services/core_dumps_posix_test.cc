#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "services/core_dumps.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

// In a child that would dump core (the limit raised as far as it goes), the call
// takes both ways to a dump away, and a crash afterwards leaves no core file.
TEST(DisableCoreDumpsTest, ACrashAfterwardsDumpsNoCore) {
  testing::TempDir dir;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A core file, should one come, lands in the test's directory.
    if (chdir(dir.path().c_str()) != 0) _exit(10);
    rlimit limit{};
    getrlimit(RLIMIT_CORE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_CORE, &limit);
    DisableCoreDumps();
    if (getrlimit(RLIMIT_CORE, &limit) != 0 || limit.rlim_cur != 0) _exit(11);
    if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) _exit(12);
    signal(SIGABRT, SIG_DFL);
    abort();
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child's checks failed: exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  EXPECT_FALSE(WCOREDUMP(status));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace zuno
