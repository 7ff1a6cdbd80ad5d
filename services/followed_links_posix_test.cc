#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "services/followed_links.h"
#include "tests/support/forked_test_child.h"
#include "tests/support/temp_dir.h"

namespace zuno {
namespace {

namespace fs = std::filesystem;
using ::zuno::testing::kNobodyUser;
using ::zuno::testing::kOtherUser;
using ::zuno::testing::MakeLinkAs;
using ::zuno::testing::TempDir;

// A directory layout with links of this user and of others:
//   shared/   world-writable and sticky, owned by this user, as /tmp is by root
//   nobody/   owned by the "nobody" user, writable by everyone
//   real/     this user's files
class FollowOwnLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(tmp_.path(), fs::perms(0755));
    fs::create_directory(tmp_.File("real"));
    fs::create_directory(tmp_.File("shared"));
    fs::permissions(tmp_.File("shared"), fs::perms(01777));
    fs::create_directory(tmp_.File("nobody"));
    ASSERT_EQ(chown(tmp_.File("nobody").c_str(), kNobodyUser, kNobodyUser), 0);
    fs::permissions(tmp_.File("nobody"), fs::perms(0777));
    tmp_.Write("real/file", "x");
  }

  void OwnLink(const std::string& text, const std::string& name) {
    fs::create_symlink(text, tmp_.File(name));
  }
  void LinkOf(unsigned uid, const std::string& text, const std::string& name) {
    std::string error;
    ASSERT_TRUE(MakeLinkAs(uid, text, tmp_.File(name), &error)) << error;
  }

  TempDir tmp_;
};

TEST_F(FollowOwnLinksTest, FollowsOnlyLinksOfThisUserOrOfTheDirectorysOwner) {
  OwnLink("real/file", "own-relative");
  OwnLink(tmp_.File("real/file"), "own-absolute");
  OwnLink("own-relative", "own-chain");
  OwnLink("real/missing", "own-dangling");
  OwnLink("../real/file", "real/up-and-back");
  OwnLink("../real/file", "shared/own-in-shared");
  LinkOf(kOtherUser, "../real/file", "shared/planted");
  OwnLink("shared/planted", "own-to-planted");
  LinkOf(kNobodyUser, "../real/file", "nobody/owners-link");
  LinkOf(kOtherUser, "../real/file", "nobody/strangers-link");

  struct Case {
    std::string name;
    std::string followed;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"real/file", "real/file"},
      {"real/missing", "real/missing"},
      {"missing-dir/file", "missing-dir/file"},
      {"own-relative", "real/file"},
      {"own-absolute", "real/file"},
      {"own-chain", "real/file"},
      {"own-dangling", "real/missing"},
      {"real/up-and-back", "real/../real/file"},
      {"shared/own-in-shared", "shared/../real/file"},
      {"shared/planted", ""},
      {"own-to-planted", ""},
      {"nobody/owners-link", "nobody/../real/file"},
      {"nobody/strangers-link", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FollowedPath result = FollowOwnLinks(tmp_.File(c.name));
    if (c.followed.empty()) {
      EXPECT_FALSE(result.ok) << result.path;
      EXPECT_TRUE(result.foreign_link);
      EXPECT_TRUE(result.reason.starts_with("another user's link, not followed: " + tmp_.File("")))
          << result.reason;
    } else {
      EXPECT_TRUE(result.ok) << result.reason;
      EXPECT_EQ(result.path, tmp_.File(c.followed));
    }
  }
}

TEST_F(FollowOwnLinksTest, AChainEndsAfterABoundedNumberOfLinks) {
  // link-0 -> real/file, link-n -> link-(n-1)
  OwnLink("real/file", "link-0");
  for (int i = 1; i <= kMaxFollowedLinks; ++i) {
    OwnLink("link-" + std::to_string(i - 1), "link-" + std::to_string(i));
  }
  const FollowedPath longest =
      FollowOwnLinks(tmp_.File("link-" + std::to_string(kMaxFollowedLinks - 1)));
  EXPECT_TRUE(longest.ok) << longest.reason;
  EXPECT_EQ(longest.path, tmp_.File("real/file"));

  const FollowedPath too_long =
      FollowOwnLinks(tmp_.File("link-" + std::to_string(kMaxFollowedLinks)));
  EXPECT_FALSE(too_long.ok);
  EXPECT_EQ(too_long.reason, "Too many levels of symbolic links");

  OwnLink("loop-b", "loop-a");
  OwnLink("loop-a", "loop-b");
  EXPECT_EQ(FollowOwnLinks(tmp_.File("loop-a")).reason, "Too many levels of symbolic links");
}

TEST_F(FollowOwnLinksTest, RelativeLinksAreTakenFromTheirOwnDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(tmp_.path());
  OwnLink("file", "real/here");
  const FollowedPath in_subdirectory = FollowOwnLinks("real/here");
  OwnLink("real/file", "top");
  const FollowedPath in_working_directory = FollowOwnLinks("top");
  fs::current_path(previous);
  EXPECT_EQ(in_subdirectory.path, "real/file");
  EXPECT_EQ(in_working_directory.path, "real/file");
}

}  // namespace
}  // namespace zuno
