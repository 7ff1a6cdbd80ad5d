// The local file service against the real Windows file system (under Wine here).

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "services/files.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

// Longer than any line these tests read: whole lines are kept.
constexpr size_t kLongestLine = 100000;

using testing::ReadWholeFile;
using testing::TempDir;

std::set<std::string> NamesIn(const std::filesystem::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::vector<std::string> ReadAll(TextReader& reader) {
  std::vector<std::string> lines;
  for (int guard = 0; guard < 1000 && !reader.AtEnd(); ++guard)
    lines.push_back(reader.ReadLine(kLongestLine));
  return lines;
}

void SetAttributes(const std::string& path, DWORD attributes) {
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
}

class FilesWin32Test : public ::testing::Test {
 protected:
  std::unique_ptr<FileService> files_ = MakeLocalFileService();
  TempDir dir_;
};

TEST_F(FilesWin32Test, FindFileReportsPlainFilesOnly) {
  dir_.Write("plain.cfg", "x");
  SetAttributes(dir_.Write("readonly.cfg", "x"), FILE_ATTRIBUTE_READONLY);
  SetAttributes(dir_.Write("hidden.cfg", "x"), FILE_ATTRIBUTE_HIDDEN);
  SetAttributes(dir_.Write("system.cfg", "x"), FILE_ATTRIBUTE_SYSTEM);
  std::filesystem::create_directory(dir_.path() / "folder.cfg");

  EXPECT_EQ(files_->FindFile(dir_.File("plain.cfg")), "plain.cfg");
  EXPECT_EQ(files_->FindFile(dir_.File("readonly.cfg")), "readonly.cfg");
  EXPECT_EQ(files_->FindFile(dir_.File("hidden.cfg")), "");
  EXPECT_EQ(files_->FindFile(dir_.File("system.cfg")), "");
  EXPECT_EQ(files_->FindFile(dir_.File("folder.cfg")), "");
  EXPECT_EQ(files_->FindFile(dir_.File("missing.cfg")), "");
  EXPECT_EQ(files_->FindFile(dir_.File("no such dir\\plain.cfg")), "");
  EXPECT_EQ(files_->FindFile(""), "");
}

TEST_F(FilesWin32Test, FindFileSearchesADirectoryAndWildcards) {
  std::filesystem::create_directory(dir_.path() / "only-hidden");
  std::filesystem::create_directory(dir_.path() / "only-hidden" / "sub");
  SetAttributes(dir_.Write("only-hidden\\h.txt", "x"), FILE_ATTRIBUTE_HIDDEN);
  std::filesystem::create_directory(dir_.path() / "one");
  dir_.Write("one\\zuno.cfg", "x");
  dir_.Write("notes.txt", "x");

  EXPECT_EQ(files_->FindFile(dir_.File("one") + "\\"), "zuno.cfg");
  EXPECT_EQ(files_->FindFile(dir_.File("only-hidden") + "\\"), "");
  EXPECT_EQ(files_->FindFile(dir_.File("*.txt")), "notes.txt");
  EXPECT_EQ(files_->FindFile(dir_.File("n?tes.*")), "notes.txt");
  EXPECT_EQ(files_->FindFile(dir_.File("*.none")), "");
  // A drive that does not exist gives nothing, and no dialog box asks for it.
  EXPECT_EQ(files_->FindFile("Q:\\zuno.cfg"), "");
}

TEST_F(FilesWin32Test, LongPathsAreUsedWhole) {
  // Beyond 256 bytes, yet within what the system's narrow calls take.
  std::string deep = dir_.path().string();
  while (deep.size() < 200) {
    deep += "\\dddddddddddddddddddd";
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
  }
  const std::string name = std::string(257 - deep.size() - 1, 'n') + "x";
  const std::string path = deep + "\\" + name;
  ASSERT_GT(path.size(), 256u);
  ASSERT_LT(path.size(), static_cast<size_t>(MAX_PATH));
  dir_.Write(path.substr(dir_.path().string().size() + 1), "a\r\nb\r\n");
  // The same path cut to 256 bytes names another file, which must not be found.
  dir_.Write(path.substr(dir_.path().string().size() + 1, 256 - dir_.path().string().size() - 1),
             "the wrong file");

  EXPECT_EQ(files_->FindFile(path), name);
  std::unique_ptr<TextReader> reader = files_->OpenTextFile(path);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(ReadAll(*reader), (std::vector<std::string>{"a", "b"}));
}

TEST_F(FilesWin32Test, TextFileIsReadInBlocksWithItsLineRules) {
  const std::string long_line(300, 'L');
  const std::string path = dir_.Write(
      "zuno.cfg", "# comment\r\n" + long_line + "\r\nlf\nin line\rcr alone\r\n\x1A" + "after");
  std::unique_ptr<TextReader> reader = files_->OpenTextFile(path);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(ReadAll(*reader),
            (std::vector<std::string>{"# comment", long_line, "lf\nin line", "cr alone"}));
  EXPECT_TRUE(reader->AtEnd());
  EXPECT_EQ(reader->ReadLine(kLongestLine), "");

  const std::string empty = dir_.Write("empty.cfg", "");
  std::unique_ptr<TextReader> empty_reader = files_->OpenTextFile(empty);
  ASSERT_NE(empty_reader, nullptr);
  EXPECT_TRUE(empty_reader->AtEnd());
}

TEST_F(FilesWin32Test, OpenRefusesWhatIsNoReadablePlainFile) {
  const std::string path = dir_.Write("zuno.cfg", "line\r\n");
  EXPECT_EQ(files_->OpenTextFile(""), nullptr);
  EXPECT_EQ(files_->OpenTextFile(dir_.File("*.cfg")), nullptr);
  EXPECT_EQ(files_->OpenTextFile(dir_.File("zuno.cf?")), nullptr);
  EXPECT_EQ(files_->OpenTextFile(dir_.File("missing.cfg")), nullptr);
  EXPECT_EQ(files_->OpenTextFile(dir_.path().string()), nullptr);
  EXPECT_EQ(files_->OpenTextFile(dir_.path().string() + "\\"), nullptr);
  EXPECT_EQ(files_->OpenTextFile("NUL"), nullptr);

  // Another program writing the file keeps it closed to the reader ...
  {
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(files_->OpenTextFile(path), nullptr);
    CloseHandle(writer);
  }
  // ... and while the reader has it open, others may read it but not write it.
  std::unique_ptr<TextReader> reader = files_->OpenTextFile(path);
  ASSERT_NE(reader, nullptr);
  HANDLE other_reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(other_reader, INVALID_HANDLE_VALUE);
  if (other_reader != INVALID_HANDLE_VALUE) CloseHandle(other_reader);
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_EQ(reader->ReadLine(kLongestLine), "line");
}

TEST_F(FilesWin32Test, CopyReplacesTheTargetWholeAndLeavesNothingElse) {
  std::string bytes;
  for (int i = 0; i < 200000; ++i) bytes += static_cast<char>((i * 7919) % 256);
  bytes += "\r\n\x1A\0end";
  const std::string source = dir_.Write("bookmarks.html", bytes);
  const std::string target = dir_.Write("bookmarks-shared.html", "the old staging copy");

  const CopyStatus status = files_->CopyLocalFile(source, target);
  ASSERT_TRUE(status.ok) << status.reason;
  EXPECT_EQ(ReadWholeFile(target), bytes);
  EXPECT_EQ(ReadWholeFile(source), bytes);
  EXPECT_EQ(NamesIn(dir_.path()),
            (std::set<std::string>{"bookmarks.html", "bookmarks-shared.html"}));

  // A new target is made as well.
  const std::string fresh = dir_.File("fresh.html");
  ASSERT_TRUE(files_->CopyLocalFile(source, fresh).ok);
  EXPECT_EQ(ReadWholeFile(fresh), bytes);
}

TEST_F(FilesWin32Test, CopyOntoItselfLeavesTheFileUntouched) {
  const std::string source = dir_.Write("bookmarks.html", "the browser's file");
  EXPECT_TRUE(files_->CopyLocalFile(source, source).ok);
  // The same file under another spelling of its path.
  EXPECT_TRUE(files_->CopyLocalFile(source, dir_.path().string() + "\\.\\BOOKMARKS.HTML").ok);
  EXPECT_EQ(ReadWholeFile(source), "the browser's file");
  EXPECT_EQ(NamesIn(dir_.path()), std::set<std::string>{"bookmarks.html"});
}

TEST_F(FilesWin32Test, FailedCopyGivesTheSystemsReasonAndKeepsTheTarget) {
  const std::string target = dir_.Write("bookmarks-shared.html", "kept");
  const CopyStatus missing = files_->CopyLocalFile(dir_.File("missing.html"), target);
  EXPECT_FALSE(missing.ok);
  EXPECT_FALSE(missing.reason.empty());
  EXPECT_EQ(ReadWholeFile(target), "kept");

  const std::string source = dir_.Write("bookmarks.html", "new");
  SetAttributes(target, FILE_ATTRIBUTE_READONLY);
  const CopyStatus read_only = files_->CopyLocalFile(source, target);
  EXPECT_FALSE(read_only.ok);
  EXPECT_FALSE(read_only.reason.empty());
  EXPECT_EQ(ReadWholeFile(target), "kept");
  EXPECT_EQ(NamesIn(dir_.path()),
            (std::set<std::string>{"bookmarks.html", "bookmarks-shared.html"}));

  const CopyStatus no_directory = files_->CopyLocalFile(source, dir_.File("no such dir\\x.html"));
  EXPECT_FALSE(no_directory.ok);
  EXPECT_FALSE(no_directory.reason.empty());
}

}  // namespace
}  // namespace zuno
