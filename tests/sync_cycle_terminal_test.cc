// The real zuno binary in a pseudo-terminal, against a real FTP server on loopback,
// with a stand-in browser. Each run takes the program's full 30 s flush wait.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ftp_servers.h"
#include "tests/support/pty_session.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Lines = std::vector<std::string>;

// Bytes that a text-mode transfer or a careless copy would change.
const std::string kServerBookmarks =
    "<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<DL><p>\n\x00\xff\xfe\r\r\n"
    "<DT><A HREF=\"https://example.org/shared\">Shared</A>\r\n"s;
const std::string kLocalBookmarks = "<DL><p>\r\n<DT>the local copy\r\n";
const std::string kAddedBookmark =
    "<DT><A HREF=\"https://example.org/added\">Added by the browser</A>\r\n";
constexpr const char* kServerFile = "shared bookmarks.html";
constexpr const char* kLocalFile = "bookmarks.html";
// The browser's path has a blank, so it is quoted; paths are from the test's directory.
constexpr const char* kBrowserCommand = "\"my browser/browser\" profile/bookmarks.html found.html";

std::set<std::string> Names(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A server whose login directory is not its "/", a browser profile, the stand-in
// browser in a directory whose name has a blank, and the configuration file.
class SyncCycleTest : public ::testing::Test {
 protected:
  SyncCycleTest()
      : server_root_(dir_.path() / "server"),
        server_dir_(server_root_ / "home" / "zuno" / "bookmarks"),
        profile_(dir_.path() / "profile"),
        record_(dir_.path() / "found.html") {
    fs::create_directories(server_dir_);
    fs::create_directories(profile_);
    fs::create_directories(dir_.path() / "my browser");
    fs::copy_file(fs::path(ZUNO_SOURCE_DIR) / "tests/programs/fake_browser.sh",
                  dir_.path() / "my browser" / "browser");
    WriteWholeFile(profile_ / kLocalFile, kLocalBookmarks);
  }

  bool StartServer(int port = 0) {
    PyFtpdOptions options;
    options.port = port;
    options.root = server_root_;
    options.login_dir = server_root_ / "home" / "zuno";
    std::string error;
    server_ = FtpServer::StartPyFtpd(options, &error);
    EXPECT_TRUE(server_) << error;
    return server_ != nullptr;
  }

  std::string WriteConfig(const std::string& host, const std::string& password,
                          const std::string& user = "zuno") {
    // Run from the test's directory: a value holds at most 99 characters.
    const std::string browser = kBrowserCommand;
    const std::vector<std::string> lines = {"# ZUNO test configuration",
                                            host,
                                            user,
                                            password,
                                            profile_.string(),
                                            "# relative to the login directory",
                                            "bookmarks",
                                            kLocalFile,
                                            kServerFile,
                                            browser};
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return dir_.Write("zuno.cfg", text);
  }

  std::unique_ptr<PtySession> StartZuno(const std::string& config,
                                        std::vector<std::string> environment = {}) {
    PtyOptions options;
    options.working_directory = dir_.path().string();
    options.environment = std::move(environment);
    auto session = PtySession::Start({ZUNO_BINARY, config}, options);
    EXPECT_TRUE(session);
    return session;
  }

  Lines StartUpLines(const std::string& config) const {
    return {"ZUNO .045W (Win)-Velmora",
            "Keeps one bookmark file the same on every machine, by way of an FTP server", "",
            "opening " + config};
  }
  std::string ConnectingLine(const std::string& host = "") const {
    return "Connecting to " + (host.empty() ? server_->host_text() : host) + " as user '" +
           server_->user() + "' ...";
  }
  std::string RunningLine() const {
    return std::string("Running (synchronous) ") + kBrowserCommand;
  }

  TempDir dir_;
  fs::path server_root_;
  fs::path server_dir_;
  fs::path profile_;
  fs::path record_;
  std::unique_ptr<FtpServer> server_;
};

constexpr const char* kFlushLine =
    "Awaiting the final buffer flush of bookmark file from browser...";

TEST_F(SyncCycleTest, WholeCycleDownloadsRunsTheBrowserAndUploadsItsEdit) {
  WriteWholeFile(server_dir_ / kServerFile, kServerBookmarks);
  ASSERT_TRUE(StartServer());
  const std::string config = WriteConfig(server_->host_text(), server_->password());
  auto zuno = StartZuno(config);
  ASSERT_TRUE(zuno);

  EXPECT_EQ(zuno->WaitExit(120s), 0) << zuno->Output();

  Lines expected = StartUpLines(config);
  expected.insert(expected.end(),
                  {ConnectingLine(), std::string("Downloading ") + kServerFile, RunningLine(),
                   kFlushLine, ConnectingLine(), std::string("Uploading ") + kServerFile});
  EXPECT_EQ(zuno->Lines(), expected);
  // The browser found the server's copy, byte for byte, and the server now holds its edit.
  EXPECT_EQ(ReadWholeFile(record_), kServerBookmarks);
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kServerBookmarks + kAddedBookmark);
  EXPECT_EQ(ReadWholeFile(profile_ / kServerFile), kServerBookmarks + kAddedBookmark);
  // Nothing else is left behind: no temporary files on either side. The replaced
  // copy is in the history.
  EXPECT_EQ(Names(server_dir_), (std::set<std::string>{kServerFile, "zuno-history"}));
  const std::set<std::string> kept = Names(server_dir_ / "zuno-history");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadWholeFile(server_dir_ / "zuno-history" / *kept.begin()), kServerBookmarks);
  EXPECT_EQ(Names(profile_), (std::set<std::string>{kLocalFile, kServerFile}));
  EXPECT_EQ(zuno->Output().find(server_->password()), std::string::npos);
}

// A download that stops moving would hold the program for the engine's 80 s
// limits; a key cuts it short, and the retry's poll then ends the run.
TEST_F(SyncCycleTest, KeyDuringAStalledDownloadAbortsWithinSeconds) {
  WriteWholeFile(server_dir_ / kServerFile, std::string(200000, 'b'));
  PyFtpdOptions options;
  options.root = server_root_;
  options.login_dir = server_root_ / "home" / "zuno";
  options.stall_download_after = 1000;
  std::string error;
  server_ = FtpServer::StartPyFtpd(options, &error);
  ASSERT_TRUE(server_) << error;
  const std::string config = WriteConfig(server_->host_text(), server_->password());
  auto zuno = StartZuno(config);
  ASSERT_TRUE(zuno);

  ASSERT_TRUE(zuno->WaitFor(std::string("Downloading ") + kServerFile, 30s)) << zuno->Output();
  std::this_thread::sleep_for(2s);
  const auto pressed = std::chrono::steady_clock::now();
  zuno->Type("q");
  EXPECT_EQ(zuno->WaitExit(30s), 0) << zuno->Output();
  // The failure's lines and the 5 s pause of the retry, and no more.
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, 9s);

  const Lines lines = zuno->Lines();
  ASSERT_GE(lines.size(), 4u) << zuno->Output();
  EXPECT_TRUE(lines[lines.size() - 4].starts_with("ERROR -34 ")) << zuno->Output();
  EXPECT_EQ(lines[lines.size() - 3], "Error downloading - Retrying...");
  EXPECT_EQ(lines[lines.size() - 2], "Press any key to abort");
  EXPECT_EQ(lines.back(), "Aborting");
  EXPECT_EQ(ReadWholeFile(profile_ / kLocalFile), kLocalBookmarks);
  EXPECT_EQ(Names(profile_), std::set<std::string>{kLocalFile});
}

TEST_F(SyncCycleTest, MissingServerFileDeclinedLeavesTheServerEmpty) {
  ASSERT_TRUE(StartServer());
  const std::string config = WriteConfig(server_->host_text(), server_->password());
  auto zuno = StartZuno(config);
  ASSERT_TRUE(zuno);

  ASSERT_TRUE(zuno->WaitFor("Press any key to continue", 30s)) << zuno->Output();
  zuno->Type(" ");
  ASSERT_TRUE(zuno->WaitFor("do upload (Y/N)?", 60s)) << zuno->Output();
  zuno->Type("n");
  EXPECT_EQ(zuno->WaitExit(20s), 0);

  Lines expected = StartUpLines(config);
  expected.insert(expected.end(), {ConnectingLine(),
                                   std::string("Remote file ") + kServerFile +
                                       " not found, will use local copy (if any)",
                                   "Press any key to continue", RunningLine(), kFlushLine,
                                   "Previous download failed - do upload (Y/N)?"});
  EXPECT_EQ(zuno->Lines(), expected);
  EXPECT_EQ(ReadWholeFile(record_), kLocalBookmarks);  // the local file was kept
  EXPECT_TRUE(Names(server_dir_).empty());
}

TEST_F(SyncCycleTest, MissingServerFileAnsweredYesUploadsTheLocalCopy) {
  ASSERT_TRUE(StartServer());
  const std::string config = WriteConfig(server_->host_text(), server_->password());
  auto zuno = StartZuno(config);
  ASSERT_TRUE(zuno);

  ASSERT_TRUE(zuno->WaitFor("Press any key to continue", 30s)) << zuno->Output();
  zuno->Type(" ");
  // Typed during the browser run and the flush wait: it answers the question.
  zuno->Type("Y");
  EXPECT_EQ(zuno->WaitExit(120s), 0) << zuno->Output();

  const Lines lines = zuno->Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"Previous download failed - do upload (Y/N)?", ConnectingLine(),
                   std::string("Uploading ") + kServerFile}));
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kLocalBookmarks + kAddedBookmark);
  EXPECT_EQ(Names(server_dir_), std::set<std::string>{kServerFile});
}

TEST_F(SyncCycleTest, ServerThatComesUpDuringTheRetriesIsSyncedWith) {
  WriteWholeFile(server_dir_ / kServerFile, kServerBookmarks);
  const int port = FindFreeLoopbackPort();
  ASSERT_NE(port, 0);
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string config = WriteConfig(host, "Secret-Pass-42");
  auto zuno = StartZuno(config);
  ASSERT_TRUE(zuno);

  ASSERT_TRUE(zuno->WaitFor("Error connecting to " + host + " Retrying...", 60s)) << zuno->Output();
  ASSERT_TRUE(StartServer(port));
  EXPECT_EQ(zuno->WaitExit(150s), 0) << zuno->Output();

  const Lines lines = zuno->Lines();
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[4], ConnectingLine());
  EXPECT_TRUE(lines[5].starts_with("ERROR -")) << lines[5];
  EXPECT_EQ(lines[6], "Error connecting to " + host + " Retrying...");
  EXPECT_EQ(lines[7], "Press any key to abort");
  EXPECT_EQ(lines.back(), std::string("Uploading ") + kServerFile);
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kServerBookmarks + kAddedBookmark);
  EXPECT_EQ(zuno->Output().find("Secret-Pass-42"), std::string::npos);
}

// The encrypted transports, against real servers that need a system account (root).
enum class Secure { kExplicitTls, kSftp };

class SecureSyncCycleTest : public SyncCycleTest, public ::testing::WithParamInterface<Secure> {
 protected:
  // Starts the server on the account's login directory; the server directory and the
  // shared file then belong to the account, as on a real server.
  bool StartSecureServer() {
    const fs::path login = server_root_ / "home" / "zuno";
    std::string error;
    if (GetParam() == Secure::kExplicitTls) {
      TestCertificate certificate;
      if (!MakeTestCertificate(dir_.path(), &certificate, &error)) {
        ADD_FAILURE() << error;
        return false;
      }
      VsftpdOptions options;
      options.login_dir = login;
      options.tls = FtpTls::kExplicit;
      options.tls_certificate = certificate.server_pem;
      options.tls_pin = certificate.pin;
      server_ = FtpServer::StartVsftpd(options, &error);
    } else {
      SshdOptions options;
      options.login_dir = login;
      server_ = FtpServer::StartSshd(options, &error);
    }
    EXPECT_TRUE(server_) << error;
    if (!server_) return false;
    struct stat owner;
    if (stat(login.c_str(), &owner) != 0) return false;
    for (const auto& entry : fs::recursive_directory_iterator(login)) {
      EXPECT_EQ(lchown(entry.path().c_str(), owner.st_uid, owner.st_gid), 0);
    }
    return true;
  }
};

TEST_P(SecureSyncCycleTest, WholeCycleOverAVerifiedEncryptedConnection) {
  std::string why;
  if (GetParam() == Secure::kExplicitTls ? !FtpServer::CanRunVsftpd(&why)
                                         : !FtpServer::CanRunSshd(&why)) {
    GTEST_SKIP() << why;
  }
  WriteWholeFile(server_dir_ / kServerFile, kServerBookmarks);
  ASSERT_TRUE(StartSecureServer());

  // TLS: the self-signed server is trusted by its pinned key. SSH: by a known_hosts
  // entry in the home directory that the program is given.
  std::string host = server_->host_text();
  std::vector<std::string> environment;
  if (GetParam() == Secure::kExplicitTls) {
    host = server_->pinned_host_text();
  } else {
    fs::create_directories(dir_.path() / "home" / ".ssh");
    WriteWholeFile(dir_.path() / "home" / ".ssh" / "known_hosts",
                   server_->known_hosts_line() + "\n");
    environment.push_back("HOME=" + (dir_.path() / "home").string());
  }
  const std::string config = WriteConfig(host, server_->password(), server_->user());
  auto zuno = StartZuno(config, environment);
  ASSERT_TRUE(zuno);

  EXPECT_EQ(zuno->WaitExit(120s), 0) << zuno->Output();

  Lines expected = StartUpLines(config);
  expected.insert(expected.end(),
                  {ConnectingLine(host), std::string("Downloading ") + kServerFile, RunningLine(),
                   kFlushLine, ConnectingLine(host), std::string("Uploading ") + kServerFile});
  EXPECT_EQ(zuno->Lines(), expected);
  EXPECT_EQ(ReadWholeFile(record_), kServerBookmarks);
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kServerBookmarks + kAddedBookmark);
  EXPECT_EQ(Names(server_dir_), (std::set<std::string>{kServerFile, "zuno-history"}));
  EXPECT_EQ(zuno->Output().find(server_->password()), std::string::npos);
}

// A server whose key is not the expected one is never logged in to: the run stops at
// the connect step, and the error line shows the key the user could pin after checking it.
TEST_P(SecureSyncCycleTest, UnexpectedServerKeyStopsAtTheConnectStep) {
  std::string why;
  if (GetParam() == Secure::kExplicitTls ? !FtpServer::CanRunVsftpd(&why)
                                         : !FtpServer::CanRunSshd(&why)) {
    GTEST_SKIP() << why;
  }
  WriteWholeFile(server_dir_ / kServerFile, kServerBookmarks);
  ASSERT_TRUE(StartSecureServer());

  // TLS: a pin of another key. SSH: a home directory without any known_hosts file.
  std::string host = server_->host_text();
  if (GetParam() == Secure::kExplicitTls) {
    host += "#sha256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
  }
  fs::create_directories(dir_.path() / "home");
  const std::string config = WriteConfig(host, server_->password(), server_->user());
  auto zuno = StartZuno(config, {"HOME=" + (dir_.path() / "home").string()});
  ASSERT_TRUE(zuno);

  ASSERT_TRUE(zuno->WaitFor("Press any key to abort", 30s)) << zuno->Output();
  zuno->Type("q");
  EXPECT_EQ(zuno->WaitExit(30s), 0);

  const Lines lines = zuno->Lines();
  ASSERT_GE(lines.size(), 9u) << zuno->Output();
  EXPECT_EQ(lines[4], ConnectingLine(host));
  EXPECT_TRUE(lines[5].starts_with("ERROR -")) << lines[5];
  EXPECT_NE(lines[5].find(server_->key_pin()), std::string::npos) << lines[5];
  EXPECT_EQ(lines[6], "Error connecting to " + host + " Retrying...");
  EXPECT_EQ(lines.back(), "Aborting");
  EXPECT_EQ(ReadWholeFile(profile_ / kLocalFile), kLocalBookmarks);
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kServerBookmarks);
  EXPECT_EQ(zuno->Output().find(server_->password()), std::string::npos);
}

// --- Two machines, one server ---------------------------------------------------

// Machine A downloads; while its browser is open, machine B runs a whole cycle
// (started from A's browser, detached from the terminal); then A's upload finds
// that the server copy changed.
enum class Answer { kNo, kYes, kNoTerminal };

class TwoMachinesTest : public ::testing::TestWithParam<Answer> {
 protected:
  TwoMachinesTest() : server_dir_(dir_.path() / "server" / "sync") {
    fs::create_directories(server_dir_);
    for (const char* machine : {"a", "b"}) fs::create_directories(dir_.path() / machine);
    WriteWholeFile(server_dir_ / "shared.html", kServerBookmarks);
  }

  std::string Config(const std::string& machine, const std::string& browser) {
    const std::vector<std::string> lines = {server_->host_text(),
                                            server_->user(),
                                            server_->password(),
                                            (dir_.path() / machine).string(),
                                            "sync",
                                            kLocalFile,
                                            "shared.html",
                                            browser};
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return dir_.Write(machine + ".cfg", text);
  }

  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir_.Write(name, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }

  void SetUpMachines() {
    PyFtpdOptions options;
    options.root = dir_.path() / "server";
    options.login_dir = dir_.path() / "server";
    std::string error;
    server_ = FtpServer::StartPyFtpd(options, &error);
    ASSERT_TRUE(server_) << error;
    const fs::path b_file = dir_.path() / "b" / kLocalFile;
    const std::string b_config = Config(
        "b", Script("b-browser", "printf '" + kEditOfB + "' >> '" + b_file.string() + "'\n"));
    const fs::path a_file = dir_.path() / "a" / kLocalFile;
    a_config_ = Config("a", Script("a-browser", "printf '" + kEditOfA + "' >> '" + a_file.string() +
                                                    "'\n" + "setsid -w '" + ZUNO_BINARY + "' '" +
                                                    b_config + "' </dev/null >'" +
                                                    (dir_.path() / "b.log").string() + "' 2>&1\n"));
  }

  std::set<std::string> History() const {
    return fs::exists(server_dir_ / "zuno-history") ? Names(server_dir_ / "zuno-history")
                                                    : std::set<std::string>{};
  }
  std::vector<std::string> HistoryContents() const {
    std::vector<std::string> contents;
    for (const std::string& name : History()) {
      contents.push_back(ReadWholeFile(server_dir_ / "zuno-history" / name));
    }
    return contents;
  }

  const std::string kEditOfA = "<DT>added on machine A\\r\\n";
  const std::string kEditOfB = "<DT>added on machine B\\r\\n";
  TempDir dir_;
  fs::path server_dir_;
  std::unique_ptr<FtpServer> server_;
  std::string a_config_;
};

TEST_P(TwoMachinesTest, OverlappingRunsNeverLoseEitherMachinesEdits) {
  ASSERT_NO_FATAL_FAILURE(SetUpMachines());
  const std::string a_copy = kServerBookmarks + "<DT>added on machine A\r\n";
  const std::string b_copy = kServerBookmarks + "<DT>added on machine B\r\n";
  std::string output;
  if (GetParam() == Answer::kNoTerminal) {
    const DetachedRun run = RunWithoutTerminal({ZUNO_BINARY, a_config_}, 180s);
    EXPECT_EQ(run.status, 0) << run.standard_error;
    output = run.standard_output + run.standard_error;
  } else {
    PtyOptions options;
    options.working_directory = dir_.path().string();
    auto zuno = PtySession::Start({ZUNO_BINARY, a_config_}, options);
    ASSERT_TRUE(zuno);
    ASSERT_TRUE(zuno->WaitFor("replace it (Y/N)?", 180s)) << zuno->Output();
    zuno->Type(GetParam() == Answer::kYes ? "Y" : "n");
    EXPECT_EQ(zuno->WaitExit(60s), 0) << zuno->Output();
    output = zuno->Output();
  }
  EXPECT_NE(output.find("Server copy of shared.html was uploaded by another machine since the "
                        "download"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Server copy of shared.html changed since the download - replace it "
                        "(Y/N)?"),
            std::string::npos);
  EXPECT_EQ(output.find(server_->password()), std::string::npos);

  std::set<std::string> names = Names(server_dir_);
  EXPECT_EQ(names.erase("shared.html"), 1u);
  EXPECT_EQ(names.erase("zuno-history"), 1u);
  if (GetParam() == Answer::kYes) {
    // A's copy is on the server; B's, and the copy before it, are in the history.
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(ReadWholeFile(server_dir_ / "shared.html"), a_copy);
    EXPECT_EQ(HistoryContents(), (std::vector<std::string>{kServerBookmarks, b_copy}));
  } else {
    // B's copy stays; A's is the conflict copy, named on the last line.
    ASSERT_EQ(names.size(), 1u) << output;
    const std::string conflict = *names.begin();
    EXPECT_TRUE(conflict.starts_with("shared.conflict-")) << conflict;
    EXPECT_EQ(ReadWholeFile(server_dir_ / conflict), a_copy);
    EXPECT_EQ(ReadWholeFile(server_dir_ / "shared.html"), b_copy);
    EXPECT_EQ(HistoryContents(), std::vector<std::string>{kServerBookmarks});
    EXPECT_NE(output.find("Server copy kept; this machine's copy is on the server as " + conflict +
                          " - import it in the browser and sync again"),
              std::string::npos)
        << output;
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, TwoMachinesTest,
                         ::testing::Values(Answer::kNo, Answer::kYes, Answer::kNoTerminal),
                         [](const ::testing::TestParamInfo<Answer>& info) {
                           return info.param == Answer::kNo    ? "No"
                                  : info.param == Answer::kYes ? "Yes"
                                                               : "NoTerminal";
                         });

INSTANTIATE_TEST_SUITE_P(Transports, SecureSyncCycleTest,
                         ::testing::Values(Secure::kExplicitTls, Secure::kSftp),
                         [](const ::testing::TestParamInfo<Secure>& info) {
                           return info.param == Secure::kExplicitTls ? "ExplicitTls" : "Sftp";
                         });

}  // namespace
}  // namespace zuno::testing
