// The engine's contract, the same on every platform: the calls and results that
// the driver relies on, against real servers on loopback.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_errors.h"
#include "engine/ftp_engine.h"
#include "tests/support/engine_test_session.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_servers.h"

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

TEST(CurlEngineCallsTest, RefusesCallsBeforeAttachAndOnOtherChannels) {
  std::unique_ptr<FtpEngine> engine = MakeFtpEngine();
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

TEST(CurlEngineCallsTest, RefusesBadArgumentsWithTheirOwnCodes) {
  EngineSession engine;
  TempDir local;
  const std::string file = local.Write("plain", "x");
  EXPECT_EQ(engine->fceSetInteger(0, 2, 1000), kEngineUnknownParameter);
  EXPECT_EQ(engine->fceSetInteger(0, 1, 0), kEngineBadArgument);
  EXPECT_EQ(engine->fceSetLocalDir(0, local.File("missing")), kEngineLocalDirectoryMissing);
  EXPECT_EQ(engine->fceSetLocalDir(0, file), kEngineLocalDirectoryMissing);
  EXPECT_EQ(engine->fceSetLocalDir(0, ""), kEngineLocalDirectoryMissing);
  EXPECT_EQ(engine->fceSetLocalDir(0, local.path().string()), 0);
  for (const char* host : {"", "host name", "host/x", "user@host", "gopher://host", "host:99999",
                           "::1", "[::1", "sftp://host#SHA256:short"}) {
    EXPECT_EQ(engine->fceConnect(0, host, "u", "p"), kEngineBadHostText) << host;
  }
  EXPECT_NE(engine.Text(kEngineBadHostText).find("host"), std::string::npos);
  // Nothing that needs a login works without one.
  EXPECT_EQ(engine->fceSetServerDir(0, "x"), kEngineNotConnected);
  EXPECT_EQ(engine.Check("x"), kEngineNotConnected);
  EXPECT_EQ(engine->fceGetFile(0, "a:b"), kEngineNotConnected);
  EXPECT_EQ(engine->fcePutFile(0, "a"), kEngineNotConnected);
  EXPECT_EQ(engine->fceDelFile(0, "a"), kEngineNotConnected);
  EXPECT_EQ(engine->fceClose(0), 0);
}

TEST(CurlEngineCallsTest, ErrorTextsFitTheBufferAndMatchTheCode) {
  EngineSession engine;
  TempDir local;
  const std::string missing = local.File("no such zuno directory");
  EXPECT_EQ(engine->fceSetLocalDir(0, missing), kEngineLocalDirectoryMissing);
  const std::string text = engine.Text(kEngineLocalDirectoryMissing);
  EXPECT_NE(text.find("No such local directory"), std::string::npos) << text;
  EXPECT_NE(text.find("no such zuno directory"), std::string::npos) << text;
  char small[12];
  std::memset(small, 'x', sizeof(small));
  engine->fceErrorText(0, kEngineLocalDirectoryMissing, small, sizeof(small));
  EXPECT_EQ(std::string(small), text.substr(0, 11));
  // Every code has a text of its own; an unknown number still gets one.
  std::set<std::string> texts;
  for (int32_t code = -1; code >= kEngineLastError; --code) {
    const std::string meaning = engine.Text(code);
    EXPECT_FALSE(meaning.empty()) << code;
    texts.insert(meaning);
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(-kEngineLastError));
  EXPECT_FALSE(engine.Text(-999).empty());
}

TEST(CurlEngineCallsTest, ConnectFailsQuicklyWhereNothingListens) {
  EngineSession engine;
  const int port = testing::UnusedLoopbackPort();
  ASSERT_NE(port, 0);
  const auto start = Clock::now();
  EXPECT_EQ(engine->fceConnect(0, "127.0.0.1:" + std::to_string(port), "u", "p"),
            kEngineCannotConnect);
  EXPECT_LT(Clock::now() - start, kCallCeiling);
  EXPECT_EQ(engine->fceSetServerDir(0, ""), kEngineNotConnected);
}

// The password never goes into a text, so the texts need no masking: a password
// that is also a word or a number of the text leaves the text as it is.
TEST(CurlEngineCallsTest, PasswordThatIsAWordOfTheTextLeavesItWhole) {
  const int port = testing::UnusedLoopbackPort();
  ASSERT_NE(port, 0);
  for (const std::string& password :
       std::vector<std::string>{"p", "connect", "127", std::to_string(port)}) {
    EngineSession engine;
    const int32_t failed =
        engine->fceConnect(0, "127.0.0.1:" + std::to_string(port), "u", password);
    ASSERT_EQ(failed, kEngineCannotConnect);
    EXPECT_NE(
        engine.Text(failed).find("Failed to connect to 127.0.0.1 port " + std::to_string(port)),
        std::string::npos)
        << password << ": " << engine.Text(failed);
  }
}

// --- The contract, against pyftpdlib, vsftpd and OpenSSH -------------------------

// Each transport against a real server: plain FTP, explicit TLS on both FTP
// servers, implicit TLS on vsftpd, and SFTP on OpenSSH. The TLS servers have a
// certificate from a throwaway CA and are reached through the key's pin; the SSH
// server through its host key's pin. Neither FTP server has its login directory at
// "/".
class CurlEngineServerTest : public testing::EngineServerTest,
                             public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(UseServer(GetParam()));
    name_ = dir_name_;
  }
  // SFTP states failures in words of its own, without FTP's reply codes.
  bool Ftp() const { return std::string(GetParam()) != "sshd"; }

  std::string name_;  // the test's own server directory, relative
};

INSTANTIATE_TEST_SUITE_P(EveryTransport, CurlEngineServerTest,
                         ::testing::Values("pyftpd", "vsftpd", "pyftpd-tls", "vsftpd-tls",
                                           "vsftpd-implicit-tls", "sshd"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

TEST_P(CurlEngineServerTest, RefusedLoginShowsTheServersReplyButNeverThePassword) {
  // PAM behind vsftpd answers a wrong password only after about two seconds.
  ASSERT_EQ(engine_->fceSetInteger(0, 1, 6000), 0);
  ASSERT_EQ(engine_->fceSetInteger(0, 3, 6000), 0);
  const int32_t refused =
      engine_->fceConnect(0, server().pinned_host_text(), server().user, "Wrong-Pass-77");
  EXPECT_EQ(refused, kEngineLoginRefused);
  const std::string text = engine_.Text(refused);
  if (Ftp()) {
    EXPECT_NE(text.find("530"), std::string::npos) << text;
  }
  EXPECT_EQ(engine_->fceSetServerDir(0, ""), kEngineNotConnected);

  // A later connect is a login of its own and works.
  ASSERT_EQ(engine_.Connect(server()), 0);
  EXPECT_EQ(engine_->fceSetServerDir(0, name_), 0);
  EXPECT_EQ(engine_->fceClose(0), 0);
  EXPECT_EQ(engine_->fceSetServerDir(0, name_), kEngineNotConnected);
  for (int32_t code = -1; code >= -40; --code) {
    const std::string any = engine_.Text(code);
    EXPECT_EQ(any.find("Wrong-Pass-77"), std::string::npos) << any;
    EXPECT_EQ(any.find(server().password), std::string::npos) << any;
  }
}

TEST_P(CurlEngineServerTest, ServerDirectoryIsTakenAsWritten) {
  WriteFile(server_dir_ / "only-here.txt", "here");
  WriteFile(server().login_dir / (name_ + ".top"), "top");
  ASSERT_EQ(engine_.Connect(server()), 0);

  // Relative: below the login directory.
  ASSERT_EQ(engine_->fceSetServerDir(0, name_), 0);
  EXPECT_GT(engine_.Check("only-here.txt"), 0);
  // Absolute: from the server's "/", which is not the login directory.
  ASSERT_EQ(engine_->fceSetServerDir(0, server().login_path + "/" + name_), 0);
  EXPECT_GT(engine_.Check("only-here.txt"), 0);
  EXPECT_EQ(engine_->fceSetServerDir(0, "/" + name_), kEngineNoServerDirectory);
  // Empty: the login directory itself.
  ASSERT_EQ(engine_->fceSetServerDir(0, ""), 0);
  EXPECT_GT(engine_.Check(name_ + ".top"), 0);
  EXPECT_EQ(engine_.Check("only-here.txt"), 0);

  // A missing directory fails with the server's reply, and is never created.
  const int32_t missing = engine_->fceSetServerDir(0, name_ + "/missing/deeper");
  EXPECT_EQ(missing, kEngineNoServerDirectory);
  if (Ftp()) {
    EXPECT_NE(engine_.Text(missing).find("550"), std::string::npos) << engine_.Text(missing);
  }
  EXPECT_FALSE(std::filesystem::exists(server_dir_ / "missing"));
  EXPECT_EQ(engine_->fceSetServerDir(0, "dir\r\nDELE x"), kEngineBadDirectoryText);
  std::filesystem::remove(server().login_dir / (name_ + ".top"));
}

TEST_P(CurlEngineServerTest, FileCheckComparesWholeNamesExactly) {
  for (const char* name : {"bookmarks.html", ".hidden", "with blank.html", "odd #1 100%.html",
                           "Lesezeichen-\xC3\xA4.html"}) {
    WriteFile(testing::ServerFile(server_dir_, name), name);
  }
  std::filesystem::create_directory(server_dir_ / "folder");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), name_));

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
  for (const std::string name : {"a/b", "", "x\r\nDELE bookmarks.html", "..", "/"}) {
    EXPECT_EQ(engine_.Check(name), kEngineBadName) << name;
  }
  EXPECT_EQ(engine_->fceGetList(0, 1, nullptr, 0), kEngineUnsupportedListKind);
  EXPECT_EQ(engine_->fceSetMode(0, 'C'), kEngineBadMode);
  EXPECT_EQ(engine_->fceSetMode(0, 'A'), 0);
  EXPECT_TRUE(std::filesystem::exists(server_dir_ / "bookmarks.html"));
}

TEST_P(CurlEngineServerTest, DownloadReplacesTheLocalFileByteForByte) {
  const std::string content = BinaryContent(300000, 1);
  WriteFile(server_dir_ / "data file #1.bin", content);
  WriteFile(local_.path() / "local.html", "the browser's old copy");
  WriteFile(local_.path() / "other.txt", "untouched");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), name_));

  ASSERT_EQ(engine_->fceGetFile(0, "data file #1.bin:local.html"), 0)
      << engine_.Text(kEngineServerRefused);
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
  // The first colon splits; the server name has none, the local name may.
  ASSERT_EQ(engine_->fceGetFile(0, "data file #1.bin:with:colon"), 0);
  EXPECT_TRUE(FileHolds(local_.path() / "with:colon", content));
}

TEST_P(CurlEngineServerTest, UploadLandsByteForByteAndLeavesNoTemporaryFile) {
  const std::string name = "up load \xC3\xA4 #2.bin";
  const std::string content = BinaryContent(200000, 7);
  WriteFile(local_.path() / name, content);
  WriteFile(testing::ServerFile(server_dir_, name), "the server's older copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), name_));

  const int32_t put = engine_->fcePutFile(0, name);
  ASSERT_EQ(put, 0) << engine_.Text(put);
  EXPECT_TRUE(FileHolds(testing::ServerFile(server_dir_, name), content));
  EXPECT_EQ(testing::ServerNamesIn(server_dir_), (std::set<std::string>{name, "zuno-history"}));
  // The replaced copy is kept, under its name with the time before the extension.
  std::set<std::string> kept = testing::ServerNamesIn(server_dir_ / "zuno-history");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept.begin()->starts_with("up load \xC3\xA4 #2.20")) << *kept.begin();
  EXPECT_TRUE(kept.begin()->ends_with("Z.bin")) << *kept.begin();
  EXPECT_TRUE(FileHolds(testing::ServerFile(server_dir_ / "zuno-history", *kept.begin()),
                        "the server's older copy"));

  // The same again where the driver deleted the server's copy first.
  ASSERT_EQ(engine_->fceDelFile(0, name), 0);
  const int32_t again = engine_->fcePutFile(0, name);
  ASSERT_EQ(again, 0) << engine_.Text(again);
  EXPECT_TRUE(FileHolds(testing::ServerFile(server_dir_, name), content));
  EXPECT_EQ(testing::ServerNamesIn(server_dir_), (std::set<std::string>{name, "zuno-history"}));
  EXPECT_EQ(testing::ServerNamesIn(server_dir_ / "zuno-history").size(), 2u);

  EXPECT_EQ(engine_->fcePutFile(0, "not-here.bin"), kEngineLocalFileMissing);
  EXPECT_EQ(engine_->fcePutFile(0, "a/b"), kEngineBadName);
  EXPECT_EQ(testing::ServerNamesIn(server_dir_), (std::set<std::string>{name, "zuno-history"}));
}

// The delete makes way for the upload of the same name, which replaces the file
// of the server directory, and only that one, once the new copy is complete.
TEST_P(CurlEngineServerTest, DeleteAndUploadReplaceTheFileOfTheServerDirectoryOnly) {
  const std::filesystem::path elsewhere = testing::MakeServerDirectory(server(), name_ + "-other");
  const std::filesystem::path in_login = server().login_dir / "victim.txt";
  WriteFile(server_dir_ / "victim.txt", "in the server directory");
  WriteFile(elsewhere / "victim.txt", "in another directory");
  WriteFile(in_login, "in the login directory");
  WriteFile(local_.path() / "victim.txt", "the new copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), name_));

  EXPECT_EQ(engine_->fceDelFile(0, "victim.txt"), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / "victim.txt", "in the server directory"));
  EXPECT_EQ(engine_->fcePutFile(0, "victim.txt"), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / "victim.txt", "the new copy"));
  EXPECT_EQ(NamesIn(server_dir_), (std::set<std::string>{"victim.txt", "zuno-history"}));
  const std::set<std::string> kept = NamesIn(server_dir_ / "zuno-history");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(FileHolds(server_dir_ / "zuno-history" / *kept.begin(), "in the server directory"));
  EXPECT_TRUE(FileHolds(elsewhere / "victim.txt", "in another directory"));
  EXPECT_TRUE(FileHolds(in_login, "in the login directory"));
  // A file that is not there counts as deleted.
  EXPECT_EQ(engine_->fceDelFile(0, "never there.txt"), 0);
  EXPECT_EQ(engine_->fceDelFile(0, "../victim.txt"), kEngineBadName);
  std::filesystem::remove(in_login);
}

// Before an upload replaces the server copy, it is compared with what was
// downloaded: another machine's upload in between is told, and so is a file that
// appeared while this run found none, or an empty local copy over a full one.
TEST_P(CurlEngineServerTest, ServerCopyCheckTellsAnotherMachinesUpload) {
  const std::string name = "shared.html";
  WriteFile(server_dir_ / name, "downloaded copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), name_));
  ASSERT_GT(engine_.Check(name), 0);
  ASSERT_EQ(engine_->fceGetFile(0, name + ":local.html"), 0);
  ASSERT_EQ(engine_->fceClose(0), 0);
  WriteFile(local_.path() / name, "this machine's edit");

  // The upload pass: nobody else wrote.
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), name_));
  EXPECT_EQ(engine_->fceCheckServerCopy(0, name), 0);
  // Another machine uploads a copy of the same size; its time is another.
  WriteFile(server_dir_ / name, "another machine");
  std::filesystem::last_write_time(
      server_dir_ / name,
      std::filesystem::last_write_time(server_dir_ / name) + std::chrono::seconds(90));
  const int32_t changed = engine_->fceCheckServerCopy(0, name);
  EXPECT_EQ(changed, 1) << engine_.Text(changed);
  // This machine's copy then goes beside it; the other one stays.
  char conflict[256] = {};
  const int32_t sent = engine_->fcePutConflictCopy(0, name, conflict, sizeof(conflict));
  ASSERT_EQ(sent, 0) << engine_.Text(sent);
  const std::string conflict_name = conflict;
  EXPECT_TRUE(conflict_name.starts_with("shared.conflict-")) << conflict_name;
  EXPECT_TRUE(conflict_name.ends_with("Z.html")) << conflict_name;
  EXPECT_TRUE(FileHolds(server_dir_ / conflict_name, "this machine's edit"));
  EXPECT_TRUE(FileHolds(server_dir_ / name, "another machine"));

  // An empty local copy over a full, unchanged server copy.
  ASSERT_EQ(engine_->fceClose(0), 0);
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), name_));
  ASSERT_GT(engine_.Check(name), 0);
  ASSERT_EQ(engine_->fceGetFile(0, name + ":local.html"), 0);
  WriteFile(local_.path() / name, "");
  EXPECT_EQ(engine_->fceCheckServerCopy(0, name), 2);

  // Absent at the download, made since.
  ASSERT_EQ(engine_.Check("new.html"), 0);
  EXPECT_EQ(engine_->fceCheckServerCopy(0, "new.html"), 0);
  WriteFile(server_dir_ / "new.html", "made meanwhile");
  EXPECT_EQ(engine_->fceCheckServerCopy(0, "new.html"), 1);
}

}  // namespace
}  // namespace zuno
