// Symbolic links in the browser's directory, met by the real zuno binary in a
// pseudo-terminal against a real FTP server on loopback (a whole cycle takes the
// program's full 30 s flush wait): a link another user planted at the staging name
// or at the browser's file is never written through, and the user's own link at the
// browser's file keeps pointing at the file that the download and the browser updated.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/forked_test_child.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/pty_session.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kServerBookmarks =
    "<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<DT><A "
    "HREF=\"https://example.org/shared\">Shared</A>\r\n";
const std::string kAddedBookmark =
    "<DT><A HREF=\"https://example.org/added\">Added by the browser</A>\r\n";
const std::string kPrivateText = "the user's private notes\n";
constexpr const char* kServerFile = "shared-bookmarks.html";
constexpr const char* kLocalFile = "bookmarks.html";
// Paths from the test's directory: a value holds at most 99 characters.
constexpr const char* kBrowserCommand = "browser/fake_browser.sh profile/bookmarks.html found.html";

std::set<std::string> Names(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

fs::perms Mode(const fs::path& path) { return fs::symlink_status(path).permissions(); }

// The browser's directory is one that every user may write to (sticky, as /tmp).
class LocalLinksTest : public ::testing::Test {
 protected:
  LocalLinksTest()
      : server_dir_(dir_.path() / "server" / "bookmarks"), profile_(dir_.path() / "profile") {
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::create_directories(server_dir_);
    fs::create_directories(profile_);
    fs::permissions(profile_, fs::perms(01777));
    fs::create_directories(dir_.path() / "browser");
    fs::copy_file(fs::path(ZUNO_SOURCE_DIR) / "tests/programs/fake_browser.sh",
                  dir_.path() / "browser" / "fake_browser.sh");
    WriteWholeFile(server_dir_ / kServerFile, kServerBookmarks);
  }

  // Starts the server and zuno; null when either did not start.
  std::unique_ptr<PtySession> StartServerAndZuno() {
    PyFtpdOptions options;
    options.login_dir = dir_.path() / "server";
    std::string error;
    server_ = FtpServer::StartPyFtpd(options, &error);
    if (!server_) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    std::string text;
    for (const std::string& line :
         {std::string("# ZUNO test configuration"), server_->host_text(), server_->user(),
          server_->password(), profile_.string(), std::string("bookmarks"), std::string(kLocalFile),
          std::string(kServerFile), std::string(kBrowserCommand)}) {
      text += line + "\r\n";
    }
    const std::string config = dir_.Write("zuno.cfg", text);
    PtyOptions pty;
    pty.working_directory = dir_.path().string();
    auto zuno = PtySession::Start({ZUNO_BINARY, config}, pty);
    EXPECT_TRUE(zuno) << "zuno did not start";
    return zuno;
  }

  // Runs zuno for a whole cycle; false when it did not end well.
  bool RunWholeCycle() {
    auto zuno = StartServerAndZuno();
    if (!zuno) return false;
    const int status = zuno->WaitExit(120s);
    lines_ = zuno->Lines();
    EXPECT_EQ(status, 0) << zuno->Output();
    return status == 0;
  }

  // The cycle's lines after the start-up lines: nothing failed, nothing was retried.
  Lines CycleLines() const {
    const std::string connecting =
        "Connecting to " + server_->host_text() + " as user '" + server_->user() + "' ...";
    return {connecting,
            std::string("Downloading ") + kServerFile,
            std::string("Running (synchronous) ") + kBrowserCommand,
            "Awaiting the final buffer flush of bookmark file from browser...",
            connecting,
            std::string("Uploading ") + kServerFile};
  }
  Lines LinesAfterStartUp() const {
    return lines_.size() < 4 ? Lines{} : Lines(lines_.begin() + 4, lines_.end());
  }

  TempDir dir_;
  fs::path server_dir_;
  fs::path profile_;
  std::unique_ptr<FtpServer> server_;
  Lines lines_;
};

// Another user plants a link at the staging name, pointing at a private file of the
// user. The staging copy takes the name as a plain file of its own; the private file
// keeps its bytes and its mode, and the server receives the bookmarks, never it.
TEST_F(LocalLinksTest, ALinkPlantedAtTheStagingNameIsNotFollowed) {
  const fs::path secret = dir_.path() / "private.txt";
  WriteWholeFile(secret, kPrivateText);
  fs::permissions(secret, fs::perms(0600));
  std::string error;
  ASSERT_TRUE(MakeLinkAs(kOtherUser, secret.string(), (profile_ / kServerFile).string(), &error))
      << error;

  ASSERT_TRUE(RunWholeCycle());

  EXPECT_EQ(LinesAfterStartUp(), CycleLines());
  EXPECT_EQ(ReadWholeFile(secret), kPrivateText);
  EXPECT_EQ(Mode(secret), fs::perms(0600));
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kServerBookmarks + kAddedBookmark);
  EXPECT_FALSE(fs::is_symlink(profile_ / kServerFile));
  EXPECT_EQ(ReadWholeFile(profile_ / kServerFile), kServerBookmarks + kAddedBookmark);
  EXPECT_EQ(Mode(profile_ / kServerFile), fs::perms(0600));
  EXPECT_EQ(Names(profile_), (std::set<std::string>{kLocalFile, kServerFile}));
}

// The browser's file itself is a link that another user planted. The download is
// refused before a byte arrives, as a local write failure that is retried until a
// key ends it, and the file the link points at is never written.
TEST_F(LocalLinksTest, APlantedLinkAtTheBrowsersFileIsRefusedAndRetried) {
  const fs::path secret = dir_.path() / "private.txt";
  WriteWholeFile(secret, kPrivateText);
  fs::permissions(secret, fs::perms(0600));
  const fs::path link = profile_ / kLocalFile;
  std::string error;
  ASSERT_TRUE(MakeLinkAs(kOtherUser, secret.string(), link.string(), &error)) << error;

  auto zuno = StartServerAndZuno();
  ASSERT_TRUE(zuno);
  ASSERT_TRUE(zuno->WaitFor("Press any key to abort", 30s)) << zuno->Output();
  zuno->Type("q");
  EXPECT_EQ(zuno->WaitExit(30s), 0) << zuno->Output();

  const Lines lines = zuno->Lines();
  ASSERT_GE(lines.size(), 9u) << zuno->Output();
  EXPECT_EQ(lines[5], std::string("Downloading ") + kServerFile);
  EXPECT_TRUE(lines[6].starts_with("ERROR -")) << lines[6];
  EXPECT_TRUE(lines[6].ends_with("another user's link, not followed: " + link.string()))
      << lines[6];
  EXPECT_EQ(lines[7], "Error downloading - Retrying...");
  EXPECT_EQ(lines[8], "Press any key to abort");
  EXPECT_EQ(lines.back(), "Aborting");
  EXPECT_EQ(ReadWholeFile(secret), kPrivateText);
  EXPECT_EQ(Mode(secret), fs::perms(0600));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Names(profile_), std::set<std::string>{kLocalFile});
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kServerBookmarks);
}

// The browser's file is the user's own link, through a second link, to a file kept
// elsewhere. The download replaces that file in its own directory with its mode,
// the browser edits it through the link, and the edit is what goes up.
TEST_F(LocalLinksTest, AnOwnLinkAtTheBrowsersFileKeepsPointingAtTheUpdatedFile) {
  const fs::path synced = dir_.path() / "synced";
  fs::create_directories(synced / "store");
  WriteWholeFile(synced / "store" / "bookmarks.html", "<DL><p>\r\nthe old local copy\r\n");
  fs::permissions(synced / "store" / "bookmarks.html", fs::perms(0640));
  fs::create_symlink("store/bookmarks.html", synced / "current.html");
  fs::create_symlink("../synced/current.html", profile_ / kLocalFile);

  ASSERT_TRUE(RunWholeCycle());

  EXPECT_EQ(LinesAfterStartUp(), CycleLines());
  ASSERT_TRUE(fs::is_symlink(profile_ / kLocalFile));
  EXPECT_EQ(fs::read_symlink(profile_ / kLocalFile), "../synced/current.html");
  EXPECT_EQ(fs::read_symlink(synced / "current.html"), "store/bookmarks.html");
  // The browser found the download through the link, and its edit stands in the file.
  EXPECT_EQ(ReadWholeFile(dir_.path() / "found.html"), kServerBookmarks);
  EXPECT_EQ(ReadWholeFile(synced / "store" / "bookmarks.html"), kServerBookmarks + kAddedBookmark);
  EXPECT_EQ(Mode(synced / "store" / "bookmarks.html"), fs::perms(0640));
  EXPECT_EQ(ReadWholeFile(server_dir_ / kServerFile), kServerBookmarks + kAddedBookmark);
  // No temporary file stays anywhere.
  EXPECT_EQ(Names(synced / "store"), std::set<std::string>{"bookmarks.html"});
  EXPECT_EQ(Names(synced), (std::set<std::string>{"current.html", "store"}));
  EXPECT_EQ(Names(profile_), (std::set<std::string>{kLocalFile, kServerFile}));
}

}  // namespace
}  // namespace zuno::testing
