// The WinINet engine's contract against real servers on loopback: the calls and
// results that the driver relies on, the same as for the libcurl engine.

#include "engine/wininet_engine.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "engine/engine_errors.h"
#include "engine/wininet_test_session.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

using testing::BinaryContent;
using testing::EngineSession;
using testing::FileHolds;
using testing::kCallCeiling;
using testing::NamesIn;
using testing::TempDir;
using testing::WriteFile;
using Clock = std::chrono::steady_clock;

// --- The calls themselves, without a server -------------------------------------

TEST(WinInetEngineCallsTest, RefusesCallsBeforeAttachAndOnOtherChannels) {
  std::unique_ptr<FtpEngine> engine = MakeWinInetEngine();
  TempDir local;
  EXPECT_EQ(engine->fceSetLocalDir(0, local.path().string()), kEngineNotAttached);
  EXPECT_EQ(engine->fceConnect(0, "127.0.0.1", "u", "p"), kEngineNotAttached);
  EXPECT_EQ(engine->fceClose(0), kEngineNotAttached);
  ASSERT_GE(engine->fceAttach(1), 0);
  EXPECT_EQ(engine->fceSetLocalDir(1, local.path().string()), kEngineBadChannel);
  EXPECT_EQ(engine->fceSetInteger(-1, 1, 1000), kEngineBadChannel);
  EXPECT_EQ(engine->fceConnect(2, "127.0.0.1", "u", "p"), kEngineBadChannel);
  EXPECT_EQ(engine->fceRelease(), 0);
  EXPECT_EQ(engine->fceSetLocalDir(0, local.path().string()), kEngineNotAttached);
}

TEST(WinInetEngineCallsTest, RefusesBadArgumentsWithTheirOwnCodes) {
  EngineSession engine;
  TempDir local;
  const std::string file = local.Write("plain", "x");
  EXPECT_EQ(engine->fceSetInteger(0, 2, 1000), kEngineUnknownParameter);
  EXPECT_EQ(engine->fceSetInteger(0, 1, 0), kEngineBadArgument);
  EXPECT_EQ(engine->fceSetLocalDir(0, local.File("missing")), kEngineLocalDirectoryMissing);
  EXPECT_EQ(engine->fceSetLocalDir(0, file), kEngineLocalDirectoryMissing);
  EXPECT_EQ(engine->fceSetLocalDir(0, ""), kEngineLocalDirectoryMissing);
  EXPECT_EQ(engine->fceSetLocalDir(0, local.path().string()), 0);
  for (const char* host :
       {"", "host name", "host/x", "user@host", "gopher://host", "host:99999", "::1", "[::1"}) {
    EXPECT_EQ(engine->fceConnect(0, host, "u", "p"), kEngineBadHostText) << host;
  }
  EXPECT_EQ(engine->fceConnect(0, "127.0.0.1", "u\r\nDELE x", "p"), kEngineBadArgument);
  // Nothing that needs a login works without one.
  EXPECT_EQ(engine->fceSetServerDir(0, "x"), kEngineNotConnected);
  EXPECT_EQ(engine.Check("x"), kEngineNotConnected);
  EXPECT_EQ(engine->fceGetFile(0, "a:b"), kEngineNotConnected);
  EXPECT_EQ(engine->fcePutFile(0, "a"), kEngineNotConnected);
  EXPECT_EQ(engine->fceDelFile(0, "a"), kEngineNotConnected);
  EXPECT_EQ(engine->fceClose(0), 0);
}

TEST(WinInetEngineCallsTest, SecureSchemesAreRefusedAndNeverTriedInPlainFtp) {
  EngineSession engine;
  // Something listens there: a plain-FTP attempt would not fail the same way.
  for (const char* scheme : {"ftps", "ftpes", "sftp"}) {
    const int32_t refused =
        engine->fceConnect(0, std::string(scheme) + "://127.0.0.1:21", "u", "p");
    EXPECT_EQ(refused, kEngineBadHostText) << scheme;
    const std::string text = engine.Text(refused);
    EXPECT_NE(text.find(std::string(scheme) + "://"), std::string::npos) << text;
    EXPECT_NE(text.find("not supported"), std::string::npos) << text;
  }
  EXPECT_EQ(engine->fceSetServerDir(0, ""), kEngineNotConnected);
}

TEST(WinInetEngineCallsTest, ErrorTextsFitTheBufferAndMatchTheCode) {
  EngineSession engine;
  EXPECT_EQ(engine->fceSetLocalDir(0, "Z:\\no\\such\\zuno\\directory"),
            kEngineLocalDirectoryMissing);
  const std::string text = engine.Text(kEngineLocalDirectoryMissing);
  EXPECT_NE(text.find("No such local directory"), std::string::npos) << text;
  EXPECT_NE(text.find("zuno\\directory"), std::string::npos) << text;
  char small[12];
  std::memset(small, 'x', sizeof(small));
  engine->fceErrorText(0, kEngineLocalDirectoryMissing, small, sizeof(small));
  EXPECT_EQ(std::string(small), text.substr(0, 11));
  std::set<std::string> texts;
  for (int32_t code = -1; code >= kEngineStalled; --code) {
    const std::string meaning = engine.Text(code);
    EXPECT_FALSE(meaning.empty()) << code;
    texts.insert(meaning);
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(-kEngineStalled));
  EXPECT_FALSE(engine.Text(-999).empty());
}

TEST(WinInetEngineCallsTest, ConnectFailsQuicklyWhereNothingListens) {
  EngineSession engine;
  const auto start = Clock::now();
  // Port 1 of the loopback address: nothing listens there.
  EXPECT_EQ(engine->fceConnect(0, "127.0.0.1:1", "u", "p"), kEngineCannotConnect);
  EXPECT_LT(Clock::now() - start, kCallCeiling);
  EXPECT_EQ(engine->fceSetServerDir(0, ""), kEngineNotConnected);
}

// --- The contract, against pyftpdlib and vsftpd ---------------------------------

class WinInetEngineServerTest : public testing::ListedServerTest,
                                public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    ListedServerTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(UseServer(GetParam()));
  }
};

INSTANTIATE_TEST_SUITE_P(BothServers, WinInetEngineServerTest,
                         ::testing::Values("pyftpd", "vsftpd"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(WinInetEngineServerTest, RefusedLoginShowsTheServersReplyButNeverThePassword) {
  // PAM behind vsftpd answers a wrong password only after about two seconds.
  ASSERT_EQ(engine_->fceSetInteger(0, 1, 6000), 0);
  ASSERT_EQ(engine_->fceSetInteger(0, 3, 6000), 0);
  const int32_t refused =
      engine_->fceConnect(0, server().host_text, server().user, "Wrong-Pass-77");
  EXPECT_EQ(refused, kEngineLoginRefused);
  const std::string text = engine_.Text(refused);
  EXPECT_NE(text.find("530"), std::string::npos) << text;
  EXPECT_EQ(engine_->fceSetServerDir(0, ""), kEngineNotConnected);

  // A later connect is a login of its own and works, also with the plain scheme.
  ASSERT_EQ(engine_->fceConnect(0, "ftp://" + server().host_text, server().user, server().password),
            0);
  EXPECT_EQ(engine_->fceSetServerDir(0, dir_name_), 0);
  EXPECT_EQ(engine_->fceClose(0), 0);
  EXPECT_EQ(engine_->fceSetServerDir(0, dir_name_), kEngineNotConnected);
  for (int32_t code = -1; code >= -40; --code) {
    const std::string any = engine_.Text(code);
    EXPECT_EQ(any.find("Wrong-Pass-77"), std::string::npos) << any;
    EXPECT_EQ(any.find(server().password), std::string::npos) << any;
  }
}

TEST_P(WinInetEngineServerTest, ServerDirectoryIsTakenAsWritten) {
  WriteFile(server_dir_ / "only-here.txt", "here");
  WriteFile(server().login_dir / (dir_name_ + ".top"), "top");
  ASSERT_EQ(engine_.Connect(server()), 0);

  // Relative: below the login directory, also when set twice in a row.
  ASSERT_EQ(engine_->fceSetServerDir(0, dir_name_), 0);
  EXPECT_GT(engine_.Check("only-here.txt"), 0);
  ASSERT_EQ(engine_->fceSetServerDir(0, dir_name_), 0);
  EXPECT_GT(engine_.Check("only-here.txt"), 0);
  // Absolute: from the server's "/", which is not the login directory.
  ASSERT_EQ(engine_->fceSetServerDir(0, server().login_path + "/" + dir_name_), 0);
  EXPECT_GT(engine_.Check("only-here.txt"), 0);
  EXPECT_EQ(engine_->fceSetServerDir(0, "/" + dir_name_), kEngineNoServerDirectory);
  // Empty: the login directory itself.
  ASSERT_EQ(engine_->fceSetServerDir(0, ""), 0);
  EXPECT_GT(engine_.Check(dir_name_ + ".top"), 0);
  EXPECT_EQ(engine_.Check("only-here.txt"), 0);

  // A missing directory fails with the server's reply, is never created, and leaves
  // the earlier server directory in use.
  ASSERT_EQ(engine_->fceSetServerDir(0, dir_name_), 0);
  const int32_t missing = engine_->fceSetServerDir(0, dir_name_ + "/missing/deeper");
  EXPECT_EQ(missing, kEngineNoServerDirectory);
  EXPECT_NE(engine_.Text(missing).find("550"), std::string::npos) << engine_.Text(missing);
  EXPECT_FALSE(std::filesystem::exists(server_dir_ / "missing"));
  EXPECT_GT(engine_.Check("only-here.txt"), 0);
  EXPECT_EQ(engine_->fceSetServerDir(0, "dir\r\nDELE x"), kEngineBadDirectoryText);
  std::filesystem::remove(server().login_dir / (dir_name_ + ".top"));
}

TEST_P(WinInetEngineServerTest, FileCheckComparesWholeNamesExactly) {
  for (const char* name : {"bookmarks.html", ".hidden", "with blank.html", "odd #1 100%.html"}) {
    WriteFile(server_dir_ / name, name);
  }
  // A name in the system's code page here is UTF-8 on the server's disk; the engine
  // is given the name as the server spells it, byte for byte.
  {
    std::ofstream umlaut(server_dir_.string() + "\\Lesezeichen-\xE4.html", std::ios::binary);
    umlaut << "umlaut";
    ASSERT_TRUE(umlaut.good());
  }
  std::filesystem::create_directory(server_dir_ / "folder");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  const std::pair<std::string, bool> files[] = {
      {"bookmarks.html", true},
      {".hidden", true},
      {"with blank.html", true},
      {"odd #1 100%.html", true},
      {"Lesezeichen-\xC3\xA4.html", true},
      {"Bookmarks.html", false},
      {"bookmarks.htm", false},
      {"bookmarks.html ", false},
      {".absent", false},
      {"no such file.html", false},
  };
  for (const auto& [name, present] : files) {
    const int32_t result = engine_.Check(name);
    if (present) {
      EXPECT_GT(result, 0) << name << ": " << engine_.Text(result);
    } else {
      EXPECT_EQ(result, 0) << name << ": " << engine_.Text(result);
    }
  }
  // A directory of that name is no file: not there, and not absent either.
  EXPECT_LT(engine_.Check("folder"), 0);
  // A listing that cuts names at blanks shows a "with" that is not there; it is never
  // taken for a file.
  EXPECT_LE(engine_.Check("with"), 0);
  for (const std::string name : {"a/b", "", "x\r\nDELE bookmarks.html", "..", "/"}) {
    EXPECT_EQ(engine_.Check(name), kEngineBadName) << name;
  }
  EXPECT_EQ(engine_->fceGetList(0, 1, nullptr, 0), kEngineUnsupportedListKind);
  EXPECT_TRUE(std::filesystem::exists(server_dir_ / "bookmarks.html"));
}

TEST_P(WinInetEngineServerTest, DownloadReplacesTheLocalFileByteForByte) {
  const std::string content = BinaryContent(300000, 1);
  WriteFile(server_dir_ / "data file #1.bin", content);
  WriteFile(local_.path() / "local.html", "the browser's old copy");
  WriteFile(local_.path() / "other.txt", "untouched");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  const int32_t got = engine_->fceGetFile(0, "data file #1.bin:local.html");
  ASSERT_EQ(got, 0) << engine_.Text(got);
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", content));
  EXPECT_EQ(NamesIn(local_.path()), (std::set<std::string>{"local.html", "other.txt"}));

  // Names are passed whole: a local name far beyond 127 characters arrives as it is.
  const std::string long_name = std::string(150, 'n') + ".html";
  ASSERT_EQ(engine_->fceGetFile(0, "data file #1.bin:" + long_name), 0);
  EXPECT_TRUE(FileHolds(local_.path() / long_name, content));

  // A failed download leaves the local file as it was, and nothing else behind.
  WriteFile(local_.path() / "local.html", "kept");
  EXPECT_EQ(engine_->fceGetFile(0, "missing.bin:local.html"), kEngineServerFileMissing);
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", "kept"));
  EXPECT_EQ(NamesIn(local_.path()), (std::set<std::string>{"local.html", "other.txt", long_name}));

  EXPECT_EQ(engine_->fceGetFile(0, "no colon"), kEngineBadTransferText);
  EXPECT_EQ(engine_->fceGetFile(0, "data file #1.bin:"), kEngineBadTransferText);
  EXPECT_EQ(engine_->fceGetFile(0, ":local.html"), kEngineBadName);
  EXPECT_EQ(engine_->fceGetFile(0, "../x:local.html"), kEngineBadName);
}

TEST_P(WinInetEngineServerTest, UploadLandsByteForByteAndLeavesNoTemporaryFile) {
  const std::string name = "up load #2 100%.bin";
  const std::string content = BinaryContent(200000, 7);
  WriteFile(local_.path() / name, content);
  WriteFile(server_dir_ / name, "the server's older copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  const int32_t put = engine_->fcePutFile(0, name);
  ASSERT_EQ(put, 0) << engine_.Text(put);
  EXPECT_TRUE(FileHolds(server_dir_ / name, content));
  EXPECT_EQ(NamesIn(server_dir_), std::set<std::string>{name});

  // The same again where the driver deleted the server's copy first.
  ASSERT_EQ(engine_->fceDelFile(0, name), 0);
  ASSERT_EQ(engine_->fcePutFile(0, name), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / name, content));
  EXPECT_EQ(NamesIn(server_dir_), std::set<std::string>{name});

  EXPECT_EQ(engine_->fcePutFile(0, "not-here.bin"), kEngineLocalFileMissing);
  EXPECT_EQ(engine_->fcePutFile(0, "a/b"), kEngineBadName);
  EXPECT_EQ(NamesIn(server_dir_), std::set<std::string>{name});
}

TEST_P(WinInetEngineServerTest, DeleteRemovesTheFileOfTheServerDirectoryOnly) {
  const std::filesystem::path elsewhere = server().login_dir / (dir_name_ + "-other");
  std::filesystem::create_directories(elsewhere);
  WriteFile(server_dir_ / "victim.txt", "in the server directory");
  WriteFile(elsewhere / "victim.txt", "in another directory");
  WriteFile(server().login_dir / (dir_name_ + "-victim.txt"), "in the login directory");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  EXPECT_EQ(engine_->fceDelFile(0, "victim.txt"), 0);
  EXPECT_FALSE(std::filesystem::exists(server_dir_ / "victim.txt"));
  EXPECT_TRUE(std::filesystem::exists(elsewhere / "victim.txt"));
  // A file that is not there counts as deleted.
  EXPECT_EQ(engine_->fceDelFile(0, "victim.txt"), 0);
  EXPECT_EQ(engine_->fceDelFile(0, "never there.txt"), 0);
  EXPECT_EQ(engine_->fceDelFile(0, "../" + dir_name_ + "-victim.txt"), kEngineBadName);
  EXPECT_TRUE(std::filesystem::exists(server().login_dir / (dir_name_ + "-victim.txt")));
  std::filesystem::remove(server().login_dir / (dir_name_ + "-victim.txt"));
}

}  // namespace
}  // namespace zuno
