// The local side of the engine's transfers against the real file system: where a
// download's bytes go and which file an upload reads, links included.

#include "engine/local_transfer_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/forked_test_child.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

namespace fs = std::filesystem;
using ::zuno::testing::ChildOutcome;
using ::zuno::testing::kOtherUser;
using ::zuno::testing::MakeLinkAs;
using ::zuno::testing::ReadWholeFile;
using ::zuno::testing::RunInChild;
using ::zuno::testing::TempDir;

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

fs::perms Mode(const std::string& path) { return fs::symlink_status(path).permissions(); }

// A whole download into the target: opened, written, committed.
bool Download(const std::string& target, const std::string& bytes, std::string* error) {
  LocalDownload download(target);
  return download.Open(error) && download.Write(bytes.data(), bytes.size()) &&
         download.Commit(error);
}

class LocalDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(tmp_.path(), fs::perms(0755));
    fs::create_directories(tmp_.File("profile"));
    fs::create_directories(tmp_.File("sync/real"));
  }
  TempDir tmp_;
};

TEST_F(LocalDownloadTest, ReplacesTheFileKeepingItsPermissions) {
  const std::string target = tmp_.Write("profile/bookmarks.html", "old");
  fs::permissions(target, fs::perms(0640));
  std::string error;
  ASSERT_TRUE(Download(target, "new", &error)) << error;
  EXPECT_EQ(ReadWholeFile(target), "new");
  EXPECT_EQ(Mode(target), fs::perms(0640));
  EXPECT_EQ(Names(tmp_.File("profile")), std::vector<std::string>{"bookmarks.html"});
}

TEST_F(LocalDownloadTest, ANewFileIsTheOwnersAloneWhateverTheMask) {
  const std::string target = tmp_.File("profile/bookmarks.html");
  const mode_t mask = umask(0);
  std::string error;
  const bool done = Download(target, "new", &error);
  umask(mask);
  ASSERT_TRUE(done) << error;
  EXPECT_EQ(ReadWholeFile(target), "new");
  EXPECT_EQ(Mode(target), fs::perms(0600));
}

// The user's own link, through a second link: the file at its end is replaced in
// its own directory (the temporary file stands there, never next to the links),
// and both links stay as they were.
TEST_F(LocalDownloadTest, AnOwnLinkIsFollowedToTheFileItLeadsTo) {
  const std::string real_file = tmp_.Write("sync/real/shared.html", "old");
  fs::permissions(real_file, fs::perms(0604));
  fs::create_symlink("real/shared.html", tmp_.File("sync/current"));
  fs::create_symlink("../sync/current", tmp_.File("profile/bookmarks.html"));
  const std::string target = tmp_.File("profile/bookmarks.html");

  LocalDownload download(target);
  std::string error;
  ASSERT_TRUE(download.Open(&error)) << error;
  ASSERT_TRUE(download.Write("new", 3));
  EXPECT_EQ(Names(tmp_.File("sync/real")).size(), 2u) << "the temporary file is next to the file";
  EXPECT_EQ(Names(tmp_.File("profile")), std::vector<std::string>{"bookmarks.html"});
  ASSERT_TRUE(download.Commit(&error)) << error;

  EXPECT_EQ(fs::read_symlink(target), "../sync/current");
  EXPECT_EQ(fs::read_symlink(tmp_.File("sync/current")), "real/shared.html");
  EXPECT_EQ(ReadWholeFile(target), "new");
  EXPECT_EQ(Mode(real_file), fs::perms(0604));
  EXPECT_EQ(Names(tmp_.File("sync/real")), std::vector<std::string>{"shared.html"});
  EXPECT_EQ(Names(tmp_.File("profile")), std::vector<std::string>{"bookmarks.html"});
}

TEST_F(LocalDownloadTest, ADanglingOwnLinkGetsItsFileCreated) {
  fs::create_symlink("../sync/real/new.html", tmp_.File("profile/bookmarks.html"));
  std::string error;
  ASSERT_TRUE(Download(tmp_.File("profile/bookmarks.html"), "new", &error)) << error;
  EXPECT_TRUE(fs::is_symlink(tmp_.File("profile/bookmarks.html")));
  EXPECT_EQ(ReadWholeFile(tmp_.File("sync/real/new.html")), "new");
  EXPECT_EQ(Mode(tmp_.File("sync/real/new.html")), fs::perms(0600));
}

// What cannot be replaced is refused before a byte arrives, and left as it was: a
// link that another user planted in a directory others may write to, a chain of
// links without end, a directory.
TEST_F(LocalDownloadTest, RefusedTargetsAreLeftAsTheyWere) {
  fs::create_directory(tmp_.File("shared"));
  fs::permissions(tmp_.File("shared"), fs::perms(01777));
  const std::string secret = tmp_.Write("secret.txt", "private");
  fs::permissions(secret, fs::perms(0600));
  std::string error;
  ASSERT_TRUE(MakeLinkAs(kOtherUser, secret, tmp_.File("shared/bookmarks.html"), &error)) << error;
  fs::create_symlink("loop-b", tmp_.File("profile/loop-a"));
  fs::create_symlink("loop-a", tmp_.File("profile/loop-b"));
  fs::create_directory(tmp_.File("profile/a-dir"));

  struct Case {
    std::string target;
    std::string error;
  };
  const std::vector<Case> cases = {
      {tmp_.File("shared/bookmarks.html"),
       "another user's link, not followed: " + tmp_.File("shared/bookmarks.html")},
      {tmp_.File("profile/loop-a"),
       "cannot write " + tmp_.File("profile/loop-a") + ": Too many levels of symbolic links"},
      {tmp_.File("profile/a-dir"),
       "cannot replace " + tmp_.File("profile/a-dir") + ": it is not a plain file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    LocalDownload download(c.target);
    std::string open_error;
    EXPECT_FALSE(download.Open(&open_error));
    EXPECT_EQ(open_error, c.error);
  }
  EXPECT_EQ(ReadWholeFile(secret), "private");
  EXPECT_EQ(Mode(secret), fs::perms(0600));
  EXPECT_EQ(Names(tmp_.path()),
            (std::vector<std::string>{"profile", "secret.txt", "shared", "sync"}));
  EXPECT_EQ(Names(tmp_.File("shared")), std::vector<std::string>{"bookmarks.html"});
  EXPECT_EQ(Names(tmp_.File("profile")), (std::vector<std::string>{"a-dir", "loop-a", "loop-b"}));
}

TEST_F(LocalDownloadTest, ADownloadThatIsNotCommittedLeavesNothingBehind) {
  const std::string target = tmp_.Write("profile/bookmarks.html", "old");
  {
    LocalDownload download(target);
    std::string error;
    ASSERT_TRUE(download.Open(&error)) << error;
    ASSERT_TRUE(download.Write("half", 4));
  }
  EXPECT_EQ(ReadWholeFile(target), "old");
  EXPECT_EQ(Names(tmp_.File("profile")), std::vector<std::string>{"bookmarks.html"});
}

// What an upload opened reads, all of it.
std::string ReadAll(LocalUpload& upload) {
  std::string bytes;
  char buffer[64];
  for (long got; (got = upload.Read(buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<size_t>(got));
  }
  return bytes;
}

// The staging copy as the upload opens it. A link at its name is read through only
// when it is the user's own (as when the staging name is the browser's file, and
// that is a link); one that another user planted after the copy is refused.
TEST(LocalUploadTest, OpensThePlainFileOrAnOwnLinkOnly) {
  TempDir tmp;
  fs::permissions(tmp.path(), fs::perms(0755));
  fs::create_directory(tmp.File("shared"));
  fs::permissions(tmp.File("shared"), fs::perms(01777));
  tmp.Write("shared/staging.html", "the bookmarks");
  tmp.Write("real.html", "the linked bookmarks");
  const std::string secret = tmp.Write("secret.txt", "private");
  fs::create_symlink("../real.html", tmp.File("shared/own-link.html"));
  std::string error;
  ASSERT_TRUE(MakeLinkAs(kOtherUser, secret, tmp.File("shared/planted.html"), &error)) << error;
  ASSERT_EQ(mkfifo(tmp.File("shared/fifo").c_str(), 0600), 0);
  fs::create_directory(tmp.File("shared/dir"));

  struct Case {
    std::string name;
    LocalUpload::OpenResult result;
    std::string bytes_or_error;
  };
  const std::string planted = tmp.File("shared/planted.html");
  const std::vector<Case> cases = {
      {"staging.html", LocalUpload::OpenResult::kOpened, "the bookmarks"},
      {"own-link.html", LocalUpload::OpenResult::kOpened, "the linked bookmarks"},
      {"planted.html", LocalUpload::OpenResult::kUnreadable,
       "another user's link, not followed: " + planted},
      {"missing.html", LocalUpload::OpenResult::kMissing,
       tmp.File("shared/missing.html") + ": No such file or directory"},
      {"fifo", LocalUpload::OpenResult::kUnreadable,
       tmp.File("shared/fifo") + " is not a plain file"},
      {"dir", LocalUpload::OpenResult::kUnreadable,
       tmp.File("shared/dir") + " is not a plain file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fifo without a writer would block a plain open for good: open in a child.
    const ChildOutcome outcome = RunInChild([&]() -> std::string {
      LocalUpload upload;
      std::string open_error;
      const LocalUpload::OpenResult result = upload.Open(tmp.File("shared/" + c.name), &open_error);
      if (result != c.result) return "result " + std::to_string(static_cast<int>(result));
      return result == LocalUpload::OpenResult::kOpened ? ReadAll(upload) : open_error;
    });
    EXPECT_FALSE(outcome.timed_out);
    EXPECT_EQ(outcome.output, c.bytes_or_error);
  }
  EXPECT_EQ(ReadWholeFile(secret), "private");
}

}  // namespace
}  // namespace zuno
