#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "services/files.h"
#include "tests/support/forked_test_child.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

// Longer than any line these tests read: whole lines are kept.
constexpr size_t kLongestLine = 100000;

namespace fs = std::filesystem;
using ::zuno::testing::ChildOutcome;
using ::zuno::testing::DropRootPrivileges;
using ::zuno::testing::kNobodyUser;
using ::zuno::testing::kOtherUser;
using ::zuno::testing::MakeLinkAs;
using ::zuno::testing::ReadWholeFile;
using ::zuno::testing::RunInChild;
using ::zuno::testing::TempDir;

std::vector<std::string> ReadAllLines(TextReader& reader) {
  std::vector<std::string> lines;
  for (int i = 0; i < 10000 && !reader.AtEnd(); ++i) lines.push_back(reader.ReadLine(kLongestLine));
  return lines;
}

// The names in a directory, sorted.
std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Lets the "nobody" user of an unprivileged child into the test's directory.
void OpenToOthers(const TempDir& tmp) { fs::permissions(tmp.path(), fs::perms(0755)); }

class FindFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_.Write("plain.txt", "x");
    tmp_.Write(".hidden", "x");
    fs::create_directory(tmp_.File("sub"));
    fs::create_symlink("plain.txt", tmp_.File("link-to-plain"));
    fs::create_symlink("no-such-file", tmp_.File("dangling"));
    ASSERT_EQ(mkfifo(tmp_.File("fifo").c_str(), 0600), 0);

    fs::create_directories(tmp_.File("only-dirs/inner"));
    fs::create_directories(tmp_.File("with-file/d"));
    tmp_.Write("with-file/f.cfg", "x");

    // Everything that is not a plain file, and one dot-file.
    fs::create_directories(tmp_.File("mixed/dir"));
    fs::create_symlink("dir", tmp_.File("mixed/link-to-dir"));
    fs::create_symlink("gone", tmp_.File("mixed/broken"));
    ASSERT_EQ(mkfifo(tmp_.File("mixed/pipe").c_str(), 0600), 0);
    tmp_.Write("mixed/.rc", "x");

    fs::create_directory(tmp_.File("links"));
    fs::create_symlink("../plain.txt", tmp_.File("links/to-file"));
  }

  TempDir tmp_;
  std::unique_ptr<FileService> files_ = MakeLocalFileService();
};

TEST_F(FindFileTest, GivesTheBareNameOfTheFirstPlainFile) {
  struct Case {
    std::string path;  // inside the temporary directory
    std::string found;
  };
  const std::vector<Case> cases = {
      {"plain.txt", "plain.txt"},
      {".hidden", ".hidden"},
      {"sub", ""},
      {"link-to-plain", "link-to-plain"},
      {"dangling", ""},
      {"fifo", ""},
      {"missing", ""},
      {"missing-dir/plain.txt", ""},
      {"plain.txt/", ""},
      {"with-file/", "f.cfg"},
      {"only-dirs/", ""},
      {"missing-dir/", ""},
      {"with-file/*.cfg", "f.cfg"},
      {"with-file/f.c?g", "f.cfg"},
      {"with-file/*.txt", ""},
      {"mixed/", ".rc"},
      {"mixed/*", ".rc"},
      {"mixed/b*", ""},
      {"mixed/*dir", ""},
      {"links/*", "to-file"},
      {"missing-dir/*", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(files_->FindFile(tmp_.File(c.path)), c.found);
  }
}

TEST_F(FindFileTest, EmptyPathFindsNothing) { EXPECT_EQ(files_->FindFile(""), ""); }

TEST_F(FindFileTest, RelativePathsSearchTheWorkingDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(tmp_.path());
  const std::string plain = files_->FindFile("plain.txt");
  const std::string wild = files_->FindFile("pl*.txt");
  const std::string inside = files_->FindFile("with-file/");
  fs::current_path(previous);
  EXPECT_EQ(plain, "plain.txt");
  EXPECT_EQ(wild, "plain.txt");
  EXPECT_EQ(inside, "f.cfg");
}

TEST(OpenTextFileTest, ReadsAFileLineByLine) {
  TempDir tmp;
  const std::string long_line(300, 'L');
  const std::string path =
      tmp.Write("sync.cfg", "# comment\r\n" + long_line + "\r\nlast\x1Aignored");
  std::unique_ptr<TextReader> reader = MakeLocalFileService()->OpenTextFile(path);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(ReadAllLines(*reader), (std::vector<std::string>{"# comment", long_line, "last"}));
  EXPECT_EQ(reader->ReadLine(kLongestLine), "");
}

TEST(OpenTextFileTest, RefusesWhatIsNoReadableFile) {
  TempDir tmp;
  tmp.Write("plain.txt", "x\r\n");
  tmp.Write("what?", "x\r\n");
  fs::create_directory(tmp.File("dir"));
  std::unique_ptr<FileService> files = MakeLocalFileService();
  for (const std::string& path :
       {std::string(""), tmp.File("pl*.txt"), tmp.File("what?"), tmp.File("dir"), tmp.File("dir/"),
        tmp.File("missing"), tmp.File("plain.txt/")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(files->OpenTextFile(path), nullptr);
  }
}

TEST(OpenTextFileTest, AFifoIsRefusedWithoutBlocking) {
  TempDir tmp;
  const std::string fifo = tmp.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A fifo without a writer would block a plain open for good: try it in a child.
  const ChildOutcome outcome = RunInChild(
      [&] { return MakeLocalFileService()->OpenTextFile(fifo) == nullptr ? "refused" : "opened"; },
      std::chrono::seconds(10));
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.output, "refused");
}

TEST(OpenTextFileTest, AnUnreadableFileIsRefused) {
  TempDir tmp;
  OpenToOthers(tmp);
  const std::string path = tmp.Write("secret.cfg", "x\r\n");
  fs::permissions(path, fs::perms::none);
  const ChildOutcome outcome = RunInChild([&]() -> std::string {
    if (!DropRootPrivileges()) return "no unprivileged user";
    return MakeLocalFileService()->OpenTextFile(path) == nullptr ? "refused" : "opened";
  });
  if (outcome.output == "no unprivileged user") GTEST_SKIP() << "cannot drop root's powers here";
  EXPECT_EQ(outcome.output, "refused");
}

// Every byte value, over more than one buffer of the copy.
std::string SampleBytes() {
  std::string bytes;
  for (int round = 0; round < 1000; ++round) {
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  }
  return bytes;
}

TEST(CopyLocalFileTest, ReplacesTheTargetByteForByte) {
  TempDir tmp;
  const std::string bytes = SampleBytes();
  const std::string source = tmp.Write("bookmarks.html", bytes);
  fs::permissions(source, fs::perms(0640));
  const std::string target = tmp.Write("staging.html", std::string(500000, 'o'));
  fs::permissions(target, fs::perms(0604));

  const CopyStatus status = MakeLocalFileService()->CopyLocalFile(source, target);

  EXPECT_TRUE(status.ok) << status.reason;
  EXPECT_EQ(ReadWholeFile(target), bytes);
  EXPECT_EQ(ReadWholeFile(source), bytes);
  // The permissions of the file it replaces, not those of the source.
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0604));
  EXPECT_EQ(Names(tmp.path()), (std::vector<std::string>{"bookmarks.html", "staging.html"}));
}

TEST(CopyLocalFileTest, CreatesAMissingTargetForTheOwnerAlone) {
  TempDir tmp;
  const std::string source = tmp.Write("bookmarks.html", "<dl>\r\n");
  fs::permissions(source, fs::perms(0644));
  const mode_t mask = umask(0);  // a mask that would let everyone write
  const CopyStatus status = MakeLocalFileService()->CopyLocalFile(source, tmp.File("new.html"));
  umask(mask);
  EXPECT_TRUE(status.ok) << status.reason;
  EXPECT_EQ(ReadWholeFile(tmp.File("new.html")), "<dl>\r\n");
  EXPECT_EQ(fs::status(tmp.File("new.html")).permissions(), fs::perms(0600));
  EXPECT_EQ(Names(tmp.path()), (std::vector<std::string>{"bookmarks.html", "new.html"}));
}

TEST(CopyLocalFileTest, AFailedCopyLeavesTheTargetAsItWas) {
  TempDir tmp;
  tmp.Write("bookmarks.html", "new");
  fs::create_directory(tmp.File("a-dir"));
  struct Case {
    std::string source;
    std::string target;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"missing.html", "staging.html", "No such file or directory"},
      {"a-dir", "staging.html", "Is a directory"},
      {"bookmarks.html", "missing-dir/staging.html", "No such file or directory"},
      {"bookmarks.html", "a-dir", "Is a directory"},
  };
  std::unique_ptr<FileService> files = MakeLocalFileService();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " -> " + c.target);
    tmp.Write("staging.html", "old");
    const CopyStatus status = files->CopyLocalFile(tmp.File(c.source), tmp.File(c.target));
    EXPECT_FALSE(status.ok);
    EXPECT_EQ(status.reason, c.reason);
    EXPECT_EQ(ReadWholeFile(tmp.File("staging.html")), "old");
    EXPECT_TRUE(fs::is_directory(tmp.File("a-dir")));
    EXPECT_EQ(Names(tmp.path()),
              (std::vector<std::string>{"a-dir", "bookmarks.html", "staging.html"}));
    EXPECT_TRUE(Names(tmp.File("a-dir")).empty());
  }
}

TEST(CopyLocalFileTest, AFifoSourceIsRefusedWithoutBlocking) {
  TempDir tmp;
  const std::string fifo = tmp.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string target = tmp.Write("staging.html", "old");
  const ChildOutcome outcome = RunInChild(
      [&] {
        const CopyStatus status = MakeLocalFileService()->CopyLocalFile(fifo, target);
        return status.ok ? std::string("copied") : status.reason;
      },
      std::chrono::seconds(10));
  EXPECT_FALSE(outcome.timed_out);
  EXPECT_EQ(outcome.output, "Not a regular file");
  EXPECT_EQ(ReadWholeFile(target), "old");
}

TEST(CopyLocalFileTest, TheSameFileIsLeftUntouched) {
  TempDir tmp;
  const std::string file = tmp.Write("bookmarks.html", "precious");
  fs::create_symlink("bookmarks.html", tmp.File("link.html"));
  fs::create_hard_link(file, tmp.File("hard.html"));
  fs::create_directory(tmp.File("sub"));
  struct stat before;
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  std::unique_ptr<FileService> files = MakeLocalFileService();
  for (const std::string& other :
       {file, tmp.File("hard.html"), tmp.File("sub/../bookmarks.html")}) {
    SCOPED_TRACE(other);
    const CopyStatus status = files->CopyLocalFile(file, other);
    EXPECT_TRUE(status.ok) << status.reason;
    EXPECT_TRUE(files->CopyLocalFile(other, file).ok);
  }
  // A source that is a link to the target, or the very same link.
  EXPECT_TRUE(files->CopyLocalFile(tmp.File("link.html"), file).ok);
  EXPECT_TRUE(files->CopyLocalFile(tmp.File("link.html"), tmp.File("link.html")).ok);
  // Not even rewritten: still the same file, with both its names.
  struct stat after;
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, 2u);
  EXPECT_EQ(ReadWholeFile(file), "precious");
  EXPECT_TRUE(fs::is_symlink(tmp.File("link.html")));
  EXPECT_EQ(Names(tmp.path()),
            (std::vector<std::string>{"bookmarks.html", "hard.html", "link.html", "sub"}));
}

// The staging name is the program's own: whatever link stands there is replaced by
// the copy, and the file it pointed at is neither written nor changed in its mode.
TEST(CopyLocalFileTest, ALinkAtTheTargetNameIsReplacedNeverFollowed) {
  TempDir tmp;
  fs::create_directory(tmp.File("real"));
  const std::string real_file = tmp.Write("real/staging.html", "old");
  fs::permissions(real_file, fs::perms(0640));
  fs::create_symlink("real/staging.html", tmp.File("staging.html"));
  fs::create_symlink("bookmarks.html", tmp.File("to-source.html"));
  const std::string source = tmp.Write("bookmarks.html", "new");

  std::unique_ptr<FileService> files = MakeLocalFileService();
  for (const char* target : {"staging.html", "to-source.html"}) {
    SCOPED_TRACE(target);
    const CopyStatus status = files->CopyLocalFile(source, tmp.File(target));
    EXPECT_TRUE(status.ok) << status.reason;
    EXPECT_FALSE(fs::is_symlink(tmp.File(target)));
    EXPECT_EQ(ReadWholeFile(tmp.File(target)), "new");
    EXPECT_EQ(fs::status(tmp.File(target)).permissions(), fs::perms(0600));
  }
  EXPECT_EQ(ReadWholeFile(real_file), "old");
  EXPECT_EQ(fs::status(real_file).permissions(), fs::perms(0640));
  EXPECT_EQ(ReadWholeFile(source), "new");
  EXPECT_EQ(Names(tmp.File("real")), std::vector<std::string>{"staging.html"});
}

// Another user plants a link at the staging name in a directory that others may
// write to, pointing at a private file of the user. The private file keeps its
// bytes and its mode, whether the user may replace the planted link (root) or not.
TEST(CopyLocalFileTest, ALinkPlantedByAnotherUserNeverRedirectsTheCopy) {
  TempDir tmp;
  OpenToOthers(tmp);
  fs::create_directory(tmp.File("shared"));
  fs::permissions(tmp.File("shared"), fs::perms(01777));
  const std::string source = tmp.Write("shared/bookmarks.html", "bookmarks");
  const std::string secret = tmp.Write("secret.txt", "private");
  const std::string staging = tmp.File("shared/staging.html");
  std::string error;
  ASSERT_TRUE(MakeLinkAs(kOtherUser, secret, staging, &error)) << error;

  // Root may replace another user's entry even in a sticky directory: the copy
  // then takes the staging name, as a plain file.
  fs::permissions(secret, fs::perms(0600));
  CopyStatus status = MakeLocalFileService()->CopyLocalFile(source, staging);
  EXPECT_TRUE(status.ok) << status.reason;
  EXPECT_EQ(ReadWholeFile(secret), "private");
  EXPECT_EQ(fs::status(secret).permissions(), fs::perms(0600));
  EXPECT_FALSE(fs::is_symlink(staging));
  EXPECT_EQ(ReadWholeFile(staging), "bookmarks");

  // A user without that power cannot replace the link: the copy fails, with the
  // system's reason, and nothing is written.
  fs::remove(staging);
  ASSERT_TRUE(MakeLinkAs(kOtherUser, secret, staging, &error)) << error;
  ASSERT_EQ(chown(secret.c_str(), kNobodyUser, kNobodyUser), 0);
  ASSERT_EQ(chown(source.c_str(), kNobodyUser, kNobodyUser), 0);
  const ChildOutcome outcome = RunInChild([&]() -> std::string {
    if (!DropRootPrivileges()) return "no unprivileged user";
    const CopyStatus status = MakeLocalFileService()->CopyLocalFile(source, staging);
    return status.ok ? "copied" : status.reason;
  });
  if (outcome.output == "no unprivileged user") GTEST_SKIP() << "cannot drop root's powers here";
  EXPECT_EQ(outcome.output, "Operation not permitted");
  EXPECT_EQ(ReadWholeFile(secret), "private");
  EXPECT_EQ(fs::status(secret).permissions(), fs::perms(0600));
  EXPECT_TRUE(fs::is_symlink(staging));
  EXPECT_EQ(Names(tmp.File("shared")),
            (std::vector<std::string>{"bookmarks.html", "staging.html"}));
}

// The browser's file may be a link the user made (or the directory's owner); a link
// that another user planted there is not read through.
TEST(CopyLocalFileTest, TheSourceIsReadThroughOwnLinksOnly) {
  TempDir tmp;
  OpenToOthers(tmp);
  fs::create_directory(tmp.File("shared"));
  fs::permissions(tmp.File("shared"), fs::perms(01777));
  fs::create_directory(tmp.File("profile"));
  tmp.Write("profile/bookmarks.html", "the bookmarks");
  const std::string secret = tmp.Write("secret.txt", "private");
  fs::create_symlink("../profile/bookmarks.html", tmp.File("shared/own-link.html"));
  fs::create_symlink("own-link.html", tmp.File("shared/own-chain.html"));
  std::string error;
  ASSERT_TRUE(MakeLinkAs(kOtherUser, secret, tmp.File("shared/planted.html"), &error)) << error;

  std::unique_ptr<FileService> files = MakeLocalFileService();
  for (const char* source : {"shared/own-link.html", "shared/own-chain.html"}) {
    SCOPED_TRACE(source);
    const CopyStatus status = files->CopyLocalFile(tmp.File(source), tmp.File("shared/staging"));
    EXPECT_TRUE(status.ok) << status.reason;
    EXPECT_EQ(ReadWholeFile(tmp.File("shared/staging")), "the bookmarks");
  }

  tmp.Write("shared/staging", "old");
  const CopyStatus status =
      files->CopyLocalFile(tmp.File("shared/planted.html"), tmp.File("shared/staging"));
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.reason, "another user's link, not followed: " + tmp.File("shared/planted.html"));
  EXPECT_EQ(ReadWholeFile(tmp.File("shared/staging")), "old");
}

TEST(CopyLocalFileTest, AReadOnlyTargetDirectoryIsReportedAndLeftAsItWas) {
  TempDir tmp;
  OpenToOthers(tmp);
  const std::string source = tmp.Write("bookmarks.html", "new");
  fs::create_directory(tmp.File("locked"));
  const std::string target = tmp.Write("locked/staging.html", "old");
  fs::permissions(tmp.File("locked"), fs::perms(0555));

  const ChildOutcome outcome = RunInChild([&]() -> std::string {
    if (!DropRootPrivileges()) return "no unprivileged user";
    const CopyStatus status = MakeLocalFileService()->CopyLocalFile(source, target);
    return status.ok ? "copied" : status.reason;
  });
  if (outcome.output == "no unprivileged user") GTEST_SKIP() << "cannot drop root's powers here";

  EXPECT_EQ(outcome.output, "Permission denied");
  EXPECT_EQ(ReadWholeFile(target), "old");
  EXPECT_EQ(Names(tmp.File("locked")), std::vector<std::string>{"staging.html"});
}

TEST(LocalFilesTest, LongPathsAreUsedWhole) {
  // Well over 256 bytes: a shortened path would name another file or none.
  TempDir tmp;
  const std::string deep = tmp.File(std::string(120, 'd') + "/" + std::string(120, 'e'));
  fs::create_directories(deep);
  const std::string name = std::string(100, 'f') + ".cfg";
  const std::string path = deep + "/" + name;
  ASSERT_GT(path.size(), 300u);
  tmp.Write(fs::path(path).lexically_relative(tmp.path()).string(), "value\r\n");
  std::unique_ptr<FileService> files = MakeLocalFileService();

  EXPECT_EQ(files->FindFile(path), name);
  EXPECT_EQ(files->FindFile(deep + "/*.cfg"), name);
  std::unique_ptr<TextReader> reader = files->OpenTextFile(path);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->ReadLine(kLongestLine), "value");

  const std::string copy = deep + "/" + std::string(100, 'g') + ".cfg";
  const CopyStatus status = files->CopyLocalFile(path, copy);
  EXPECT_TRUE(status.ok) << status.reason;
  EXPECT_EQ(ReadWholeFile(copy), "value\r\n");
}

}  // namespace
}  // namespace zuno
