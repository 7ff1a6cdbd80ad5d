// The real program reading its configuration file in a pseudo-terminal: refused
// files end after their message and a key; the example file is read in full.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ftp_servers.h"
#include "tests/support/pty_session.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr auto kTimeout = 10s;
constexpr char kPrompt[] = "Press any key to continue";

Lines Banner() {
  return {"ZUNO .045W (Win)-Velmora",
          "Keeps one bookmark file the same on every machine, by way of an FTP server", ""};
}

// Runs zuno on the argument up to its key wait, types a key, and gives its lines.
Lines RunToTheKey(const std::vector<std::string>& argv) {
  auto zuno = PtySession::Start(argv);
  EXPECT_NE(zuno, nullptr);
  if (!zuno) return {};
  EXPECT_TRUE(zuno->WaitFor(kPrompt, kTimeout)) << zuno->Output();
  EXPECT_EQ(zuno->WaitExit(200ms), -1) << "ended before the key";
  zuno->Type("k");
  EXPECT_EQ(zuno->WaitExit(kTimeout), 0);
  return zuno->Lines();
}

TEST(ConfigTerminalTest, FileWithoutEightValueLinesIsRefused) {
  TempDir dir;
  // Eight values and an empty last line: nine value lines.
  const std::string config =
      dir.Write("zuno.cfg", "#c\r\na\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\n\r\n");
  Lines expected = Banner();
  expected.insert(expected.end(),
                  {"opening " + config, "Invalid config file - please read the docs!", kPrompt});
  EXPECT_EQ(RunToTheKey({ZUNO_BINARY, config}), expected);
}

// The existence test matches a pattern, but a pattern is no file to open.
TEST(ConfigTerminalTest, PatternThatMatchesAFileCannotBeOpened) {
  TempDir dir;
  dir.Write("zuno.cfg", "whatever\r\n");
  const std::string pattern = dir.File("zuno.c?g");
  Lines expected = Banner();
  expected.insert(expected.end(), {"opening " + pattern, "Cannot open config file!", kPrompt});
  EXPECT_EQ(RunToTheKey({ZUNO_BINARY, pattern}), expected);
}

TEST(ConfigTerminalTest, UnreadableFileCannotBeOpened) {
  TempDir dir;
  const std::string config = dir.Write("zuno.cfg", "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\n");
  chmod(config.c_str(), 0);
  std::vector<std::string> argv = {ZUNO_BINARY, config};
  if (geteuid() == 0) {
    // Root reads every file: run the program as an ordinary user instead.
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv to drop root";
    chmod(dir.path().c_str(), 0755);
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
  }
  Lines expected = Banner();
  expected.insert(expected.end(), {"opening " + config, "Cannot open config file!", kPrompt});
  EXPECT_EQ(RunToTheKey(argv), expected);
}

// The example file is a valid configuration: the run goes on to the server. Its host
// is replaced by a local port where nothing listens, so no traffic leaves the machine,
// and its local directory by one that exists.
TEST(ConfigTerminalTest, ExampleConfigurationGoesOnToTheDownload) {
  TempDir dir;
  std::string example = ReadWholeFile(fs::path(ZUNO_SOURCE_DIR) / "examples/zuno.cfg");
  const std::string host = "127.0.0.1:" + std::to_string(FindFreeLoopbackPort());
  const size_t at = example.find("\r\nftp.example.org\r\n");
  ASSERT_NE(at, std::string::npos);
  example.replace(at + 2, std::string("ftp.example.org").size(), host);
  const std::string profile = "/home/me/.config/browser/profile";
  const size_t profile_at = example.find(profile);
  ASSERT_NE(profile_at, std::string::npos);
  example.replace(profile_at, profile.size(), dir.path().string());
  const std::string config = dir.Write("zuno.cfg", example);

  auto zuno = PtySession::Start({ZUNO_BINARY, config});
  ASSERT_NE(zuno, nullptr);
  ASSERT_TRUE(zuno->WaitFor("Press any key to abort", 30s)) << zuno->Output();
  zuno->Type("q");
  EXPECT_EQ(zuno->WaitExit(30s), 0);

  const Lines lines = zuno->Lines();
  ASSERT_GE(lines.size(), 8u) << zuno->Output();
  EXPECT_EQ(lines[3], "opening " + config);
  EXPECT_EQ(lines[4], "Connecting to " + host + " as user 'sync' ...");
  EXPECT_TRUE(lines[5].starts_with("ERROR -")) << lines[5];
  EXPECT_EQ(lines[6], "Error connecting to " + host + " Retrying...");
  EXPECT_EQ(lines.back(), "Aborting");
  EXPECT_EQ(zuno->Output().find("change-me"), std::string::npos);
}

}  // namespace
}  // namespace zuno::testing
