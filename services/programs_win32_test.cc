// Starting programs on Windows, with the console probe as the started program.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "services/programs.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine_paths.h"

namespace zuno {
namespace {

using testing::HostPath;
using testing::ReadWholeFile;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

class NoHandoff final : public TerminalHandoff {
 public:
  void ReleaseTerminal() override {}
  void ReclaimTerminal() override {}
};

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class ProgramsWin32Test : public ::testing::Test {
 protected:
  std::string Probe() const { return HostPath(ZUNO_CONSOLE_PROBE); }

  NoHandoff handoff_;
  std::unique_ptr<ProgramRunner> runner_ = MakeProgramRunner(handoff_);
  TempDir dir_;
};

TEST_F(ProgramsWin32Test, WaitsUntilTheProgramHasEnded) {
  const std::string done = dir_.File("done");
  const auto start = Clock::now();
  runner_->RunProgram("\"" + Probe() + "\" sleep:700 touch:" + done, 1, true);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600));
  EXPECT_TRUE(Exists(done));
}

TEST_F(ProgramsWin32Test, WithoutWaitReturnsWhileTheProgramRuns) {
  const std::string done = dir_.File("done");
  runner_->RunProgram("\"" + Probe() + "\" sleep:1500 touch:" + done, 1, false);
  EXPECT_FALSE(Exists(done));
  for (int i = 0; i < 100 && !Exists(done); ++i) Sleep(100);
  EXPECT_TRUE(Exists(done));
}

TEST_F(ProgramsWin32Test, QuotedProgramPathWithBlanksGetsTheRestAsItsArguments) {
  const std::filesystem::path folder = dir_.path() / "Program Files" / "Web Browser";
  std::filesystem::create_directories(folder);
  const std::filesystem::path copy = folder / "browser.exe";
  ASSERT_TRUE(CopyFileA(Probe().c_str(), copy.string().c_str(), FALSE));
  const std::string report = dir_.File("startup.txt");
  runner_->RunProgram("\"" + copy.string() + "\" startup:" + report, 1, true);
  // Started with the show-window value, and only that start-up flag.
  EXPECT_EQ(ReadWholeFile(report), "flags=1 show=1");
}

TEST_F(ProgramsWin32Test, LongCommandLineIsHandedOverWhole) {
  const std::string done = dir_.File("done");
  const std::string command = "\"" + Probe() + "\" pad:" + std::string(300, 'p') + " touch:" + done;
  ASSERT_GT(command.size(), 256u);
  runner_->RunProgram(command, 1, true);
  EXPECT_TRUE(Exists(done));
}

TEST_F(ProgramsWin32Test, ProgramThatCannotStartReturnsAtOnce) {
  const auto start = Clock::now();
  runner_->RunProgram(dir_.File("no-such-browser.exe") + " --new-window", 1, true);
  runner_->RunProgram("", 1, true);
  runner_->RunProgram(dir_.Write("notes.txt", "not a program at all"), 1, true);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace zuno
