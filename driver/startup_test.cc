#include "driver/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fakes.h"

namespace zuno {
namespace {

using testing::FakeWorld;
using Events = std::vector<std::string>;

const Events kBanner = {kTitleLine, kAttributionLine, ""};

Events WithBanner(Events rest) {
  Events all = kBanner;
  all.insert(all.end(), rest.begin(), rest.end());
  return all;
}

TEST(StartUpTest, NoArgumentEndsAfterTheMessageAndOneKey) {
  FakeWorld world;
  world.console.QueueKey("x");
  EXPECT_EQ(StartUp(world.services, CommandArgs{}), std::nullopt);
  EXPECT_EQ(world.transcript.events(),
            WithBanner({"Missing command line parm - drive, path, filename of config file!",
                        "Press any key to continue", "[wait key x]"}));
}

TEST(StartUpTest, ArgumentNamingNoFileEndsWithCannotOpen) {
  for (const char* argument : {"/nowhere/zuno.cfg", ""}) {
    FakeWorld world;
    world.console.QueueKey("x");
    EXPECT_EQ(StartUp(world.services, SplitCommandLine(std::string("\"") + argument + "\"")),
              std::nullopt);
    EXPECT_EQ(world.transcript.events(), WithBanner({"Cannot open config file!",
                                                     "Press any key to continue", "[wait key x]"}))
        << argument;
  }
}

TEST(StartUpTest, ExistingFileIsAnnouncedAndItsPathGiven) {
  FakeWorld world;
  world.files.files["/home/u/zuno.cfg"] = "";
  EXPECT_EQ(StartUp(world.services, SplitCommandLine("/home/u/zuno.cfg extra")),
            "/home/u/zuno.cfg");
  EXPECT_EQ(world.transcript.events(), WithBanner({"opening /home/u/zuno.cfg"}));
}

// The path is tested, shown and opened whole, so a long one cannot turn into another file.
TEST(StartUpTest, LongPathIsShownAndGivenWhole) {
  FakeWorld world;
  const std::string path = "/" + std::string(120, 'p') + "/zuno.cfg";
  world.files.files[path] = "";
  EXPECT_EQ(StartUp(world.services, SplitCommandLine(path)), path);
  EXPECT_EQ(world.transcript.Lines().back(), "opening " + path);
}

}  // namespace
}  // namespace zuno
