#include <gtest/gtest.h>

#include <string>

#include "engine/ftp_listing.h"
#include "engine/ftp_paths.h"
#include "engine/server_host.h"

namespace zuno {
namespace {

struct HostCase {
  std::string text;
  bool accepted;
  std::string url;  // the server URL when accepted
};

TEST(ServerHostTest, ReadsTheFourFormsAndRefusesEverythingElse) {
  const HostCase cases[] = {
      {"ftp.example.org", true, "ftp://ftp.example.org:21/"},
      {"ftp.example.org:2121", true, "ftp://ftp.example.org:2121/"},
      {"127.0.0.1", true, "ftp://127.0.0.1:21/"},
      {"127.0.0.1:65535", true, "ftp://127.0.0.1:65535/"},
      {"my_host-1", true, "ftp://my_host-1:21/"},
      {"[::1]", true, "ftp://[::1]:21/"},
      {"[::1]:2121", true, "ftp://[::1]:2121/"},
      {"[2001:db8::7]:21", true, "ftp://[2001:db8::7]:21/"},
      {"", false, ""},
      {"host name", false, ""},
      {" host", false, ""},
      {"host/dir", false, ""},
      {"user@host", false, ""},
      {"ftp://host", false, ""},
      {"sftp://host:22", false, ""},
      {"host:", false, ""},
      {"host:0", false, ""},
      {"host:65536", false, ""},
      {"host:21x", false, ""},
      {"host:-1", false, ""},
      {":21", false, ""},
      {"::1", false, ""},
      {"[::1", false, ""},
      {"[::1]x", false, ""},
      {"[not-v6]:21", false, ""},
      {"[]", false, ""},
      {"host..name", false, ""},
      {"-host", false, ""},
      {"h\xC3\xB6st", false, ""},
  };
  for (const HostCase& c : cases) {
    ServerAddress address;
    std::string problem;
    EXPECT_EQ(ParseServerHost(c.text, &address, &problem), c.accepted) << "'" << c.text << "'";
    if (c.accepted) {
      EXPECT_EQ(ServerUrl(address), c.url) << c.text;
    } else {
      EXPECT_FALSE(problem.empty()) << c.text;
    }
  }
}

TEST(ServerNameTest, RefusesNamesThatLeaveTheDirectoryOrSplitACommand) {
  const std::pair<std::string, bool> cases[] = {
      {"bookmarks.html", true},
      {".hidden", true},
      {"with blank #1 100%.html", true},
      {"Lesezeichen-\xC3\xA4.html", true},
      {"", false},
      {".", false},
      {"..", false},
      {"dir/file", false},
      {"/file", false},
      {"line\rbreak", false},
      {"line\nbreak", false},
      {std::string("nul\0byte", 8), false},
  };
  for (const auto& [name, usable] : cases) {
    std::string problem;
    EXPECT_EQ(IsUsableServerName(name, &problem), usable) << name;
    EXPECT_EQ(problem.empty(), usable) << name;
  }
  std::string problem;
  EXPECT_TRUE(IsUsableServerDirectory("/any dir/even ../this", &problem));
  EXPECT_FALSE(IsUsableServerDirectory("dir\r\nDELE x", &problem));
}

TEST(ServerPathTest, KeepsAbsoluteAndRelativeDirectoriesAsWritten) {
  const std::pair<std::string, std::string> directories[] = {
      {"", ""},
      {"/", "%2F/"},
      {"/pub", "%2Fpub/"},
      {"/pub/zuno/", "%2Fpub/zuno/"},
      {"pub", "pub/"},
      {"pub//", "pub/"},
      {"pub/../x", "pub/../x/"},
      {"my dir/#1", "my%20dir/%231/"},
      {"100%/;type=a", "100%25/%3Btype%3Da/"},
  };
  for (const auto& [directory, path] : directories) {
    EXPECT_EQ(DirectoryUrlPath(directory), path) << directory;
  }
  EXPECT_EQ(FileUrlPath("", "a b.html"), "a%20b.html");
  EXPECT_EQ(FileUrlPath("/x", "\xC3\xA4?.html"), "%2Fx/%C3%A4%3F.html");
  EXPECT_EQ(EscapeUrlText("AZaz09-._~"), "AZaz09-._~");
}

TEST(ListingTest, MachineListingFindsExactNamesAndTellsDirectories) {
  const std::string listing =
      "type=cdir;modify=20240101000000; .\r\n"
      "Type=File;Size=10; bookmarks.html\r\n"
      "type=file;size=3; .hidden\r\n"
      "type=dir;size=4096; folder\r\n"
      "type=file;size=1; with  two blanks\r\n"
      "type=OS.unix=slink:/x;size=1; link\n"
      " no-facts\r\n";
  EXPECT_EQ(FindInMachineListing(listing, "bookmarks.html"), ListedAs::kFile);
  EXPECT_EQ(FindInMachineListing(listing, ".hidden"), ListedAs::kFile);
  EXPECT_EQ(FindInMachineListing(listing, "with  two blanks"), ListedAs::kFile);
  EXPECT_EQ(FindInMachineListing(listing, "link"), ListedAs::kFile);
  EXPECT_EQ(FindInMachineListing(listing, "no-facts"), ListedAs::kFile);
  EXPECT_EQ(FindInMachineListing(listing, "folder"), ListedAs::kDirectory);
  EXPECT_EQ(FindInMachineListing(listing, "."), ListedAs::kDirectory);
  EXPECT_EQ(FindInMachineListing(listing, "Bookmarks.html"), ListedAs::kAbsent);
  EXPECT_EQ(FindInMachineListing(listing, "bookmarks"), ListedAs::kAbsent);
  EXPECT_EQ(FindInMachineListing(listing, "with two blanks"), ListedAs::kAbsent);
  EXPECT_EQ(FindInMachineListing("", "x"), ListedAs::kAbsent);
}

TEST(ListingTest, NameListComparesWholeNamesAndSeesDotEntries) {
  const std::string listing = ".\r\n..\r\n.hidden\r\nbookmarks.html\r\nsub/inner.txt\nlast";
  EXPECT_TRUE(NameListHas(listing, ".hidden"));
  EXPECT_TRUE(NameListHas(listing, "bookmarks.html"));
  EXPECT_TRUE(NameListHas(listing, "inner.txt"));
  EXPECT_TRUE(NameListHas(listing, "last"));
  EXPECT_FALSE(NameListHas(listing, "BOOKMARKS.html"));
  EXPECT_FALSE(NameListHas(listing, "bookmarks"));
  EXPECT_FALSE(NameListHas(listing, ""));
  EXPECT_TRUE(NameListShowsDotEntries(listing));
  EXPECT_FALSE(NameListShowsDotEntries("a\r\n.b\r\n"));
}

}  // namespace
}  // namespace zuno
