// The upload pass joins the local directory and the file names with this system's
// own separator, whichever system it runs on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/passes.h"
#include "services/path_separator.h"
#include "tests/support/fakes.h"
#include "tests/support/sync_fixture.h"

namespace zuno {
namespace {

using testing::FakeWorld;
using testing::TestConfig;
using Lines = std::vector<std::string>;

const std::string kSeparator(1, kPathSeparator);
// The other system's separator, which counts as an ordinary character here.
const std::string kForeign = kPathSeparator == '/' ? "\\" : "/";

struct JoinCase {
  const char* label;
  std::string local_dir;
  std::string joined_dir;  // what both paths begin with
};

class UploadSeparatorTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(UploadSeparatorTest, AddsTheSystemsSeparatorOnlyWhereItIsMissing) {
  FakeWorld world;
  TestConfig config;
  config.local_dir = GetParam().local_dir;
  RunState run = config.State();
  const std::string local_file_path = GetParam().joined_dir + config.local_file;
  world.files.files[local_file_path] = "bookmarks";

  UploadPass(world.services, run);

  // The engine always gets the directory as configured.
  EXPECT_EQ(world.transcript.Matching("[fceSetLocalDir"),
            Lines{"[fceSetLocalDir 0, " + GetParam().local_dir + "]"});
  EXPECT_EQ(world.transcript.Matching("[copy"),
            Lines{"[copy " + local_file_path + " -> " + GetParam().joined_dir + config.server_file +
                  "]"});
  EXPECT_EQ(world.files.files[GetParam().joined_dir + config.server_file], "bookmarks");
}

INSTANTIATE_TEST_SUITE_P(Dirs, UploadSeparatorTest,
                         ::testing::Values(JoinCase{"Letter", "profile", "profile" + kSeparator},
                                           JoinCase{"Separator", "profile" + kSeparator,
                                                    "profile" + kSeparator},
                                           JoinCase{"ForeignSeparator", "profile" + kForeign,
                                                    "profile" + kForeign + kSeparator},
                                           JoinCase{"Blank", "profile ", "profile " + kSeparator},
                                           JoinCase{"Empty", "", kSeparator}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zuno
