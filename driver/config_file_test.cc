#include "driver/config_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fakes.h"

namespace zuno {
namespace {

using testing::FakeWorld;
using Values = std::vector<std::string>;

const Values kExampleValues = {"192.0.2.10",  "sync",         "the account's password",
                               "D:\\Browser\\Profile", "/bookmarks", "bookmark.htm",
                               "bookmark-shared.htm", "D:\\Browser\\browser.exe"};

std::string Lines(const Values& lines, const std::string& end = "\r\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

const std::string kExample =
    Lines({"#FTP server, user and password", "192.0.2.10", "sync", "the account's password",
           "#local side and server side", "D:\\Browser\\Profile", "/bookmarks", "bookmark.htm",
           "bookmark-shared.htm", "D:\\Browser\\browser.exe"});

Values Replace(Values values, size_t slot, const std::string& value) {
  values[slot] = value;
  return values;
}

struct ConfigCase {
  const char* name;
  std::string text;
  Values values;  // empty: the file is refused
};

class ReadConfigFileTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ReadConfigFileTest, AcceptsExactlyEightValueLines) {
  FakeWorld world;
  world.files.files["/cfg"] = GetParam().text;
  world.console.QueueKey("x");
  ConfigEntries entries;

  const Flow flow = ReadConfigFile(world.services, "/cfg", entries);

  if (GetParam().values.empty()) {
    EXPECT_EQ(flow, Flow::kEndRun);
    EXPECT_EQ(world.transcript.events(),
              (std::vector<std::string>{"Invalid config file - please read the docs!",
                                        "Press any key to continue", "[wait key x]"}));
  } else {
    EXPECT_EQ(flow, Flow::kGoOn);
    EXPECT_TRUE(world.transcript.events().empty());
    const Values read(entries.slots.begin(), entries.slots.begin() + 8);
    EXPECT_EQ(read, GetParam().values);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ReadConfigFileTest,
    ::testing::Values(
        ConfigCase{"WorkedExample", kExample, kExampleValues},
        ConfigCase{"CommentsAnywhere",
                   Lines({"#a", "#b", "192.0.2.10", "sync", "#c", "the account's password",
                          "D:\\Browser\\Profile", "/bookmarks", "bookmark.htm", "#d",
                          "bookmark-shared.htm", "D:\\Browser\\browser.exe", "#e", "#"}),
                   kExampleValues},
        ConfigCase{"TrailingEmptyLineIsANinthValue", kExample + "\r\n", {}},
        ConfigCase{"LastLineWithoutLineEnd", kExample.substr(0, kExample.size() - 2),
                   kExampleValues},
        ConfigCase{"LinesEndedByCarriageReturnAlone", Lines(kExampleValues, "\r"),
                   kExampleValues},
        ConfigCase{"LinesEndedByLineFeedAloneAreOneLine", Lines(kExampleValues, "\n"), {}},
        ConfigCase{"BlankOnlyValueKeepsItsBlanks", Lines(Replace(kExampleValues, 2, "   ")),
                   Replace(kExampleValues, 2, "   ")},
        ConfigCase{"HashAfterABlankIsAValue", Lines(Replace(kExampleValues, 2, " #secret")),
                   Replace(kExampleValues, 2, " #secret")},
        ConfigCase{"LongLineKeepsNinetyNineCharacters",
                   Lines(Replace(kExampleValues, 7, std::string(99, 'b') + "rest-of-line")),
                   Replace(kExampleValues, 7, std::string(99, 'b'))},
        ConfigCase{"ValueEndsAtANulByte",
                   Lines(Replace(kExampleValues, 1, std::string("sy\0nc", 5))),
                   Replace(kExampleValues, 1, "sy")},
        ConfigCase{"SevenValues", Lines(Values(kExampleValues.begin(), kExampleValues.end() - 1)),
                   {}},
        ConfigCase{"NineValues", Lines(kExampleValues) + "extra\r\n", {}},
        ConfigCase{"ElevenValues", Lines(kExampleValues) + Lines({"a", "b", "c"}), {}},
        ConfigCase{"CommentsOnly", Lines({"#a", "#b"}), {}},
        ConfigCase{"EmptyFile", "", {}},
        ConfigCase{"CtrlZHidesTheLastValue",
                   Lines(Values(kExampleValues.begin(), kExampleValues.end() - 1)) + "\x1a" +
                       "D:\\Browser\\browser.exe\r\n",
                   {}}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST(ReadConfigFileTest, NinthValueLandsInTheLastSlot) {
  FakeWorld world;
  world.files.files["/cfg"] = Lines(kExampleValues) + "ninth\r\ntenth\r\n";
  ConfigEntries entries;
  EXPECT_EQ(ReadConfigFile(world.services, "/cfg", entries), Flow::kEndRun);
  EXPECT_EQ(entries.slots[8], "ninth");
}

TEST(ReadConfigFileTest, FileThatCannotBeOpenedEndsWithCannotOpen) {
  FakeWorld world;
  world.files.files["/cfg"] = kExample;
  world.files.unreadable.insert("/cfg");
  world.console.QueueKey("x");
  ConfigEntries entries;

  EXPECT_EQ(ReadConfigFile(world.services, "/cfg", entries), Flow::kEndRun);
  EXPECT_EQ(world.transcript.events(),
            (std::vector<std::string>{"Cannot open config file!", "Press any key to continue",
                                      "[wait key x]"}));
}

}  // namespace
}  // namespace zuno
