#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zuno {
namespace {

struct SplitCase {
  const char* text;
  int count;
  std::vector<std::string> arguments;  // slots 1, 2, ...
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, FillsSlotsFromOneAndCounts) {
  const CommandArgs args = SplitCommandLine(GetParam().text);
  EXPECT_EQ(args.count, GetParam().count);
  EXPECT_EQ(args.slots[0], "");
  for (size_t i = 0; i < GetParam().arguments.size(); ++i) {
    EXPECT_EQ(args.slots[i + 1], GetParam().arguments[i]) << "slot " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    ::testing::Values(SplitCase{"D:\\cfg\\sync.txt", 1, {"D:\\cfg\\sync.txt"}},
                      SplitCase{"\"D:\\My Files\\sync.txt\" extra", 2,
                                {"D:\\My Files\\sync.txt", "extra"}},
                      SplitCase{"ab\"x y\"z", 3, {"ab", "x y", "z"}},
                      SplitCase{"\"a\"\"b\"", 2, {"a", "b"}},
                      SplitCase{"\"\"", 1, {""}},
                      SplitCase{"", 0, {}},
                      SplitCase{"   ", 0, {}},
                      SplitCase{"a\tb", 1, {"a\tb"}},
                      SplitCase{"\"open  ", 1, {"open"}}));

TEST(SplitCommandLineTest, StoresTenArgumentsAndKeepsCounting) {
  const CommandArgs args = SplitCommandLine("1 2 3 4 5 6 7 8 9 10 11 12");
  EXPECT_EQ(args.count, 12);
  EXPECT_EQ(args.slots[10], "10");
}

TEST(SkipProgramNameTest, SkipsQuotedOrPlainNameAndTheBlanksAfterIt) {
  EXPECT_EQ(SkipProgramName("zuno.exe  cfg.txt"), "cfg.txt");
  EXPECT_EQ(SkipProgramName("\"C:\\Program Files\\zuno.exe\"  \"a b\""), "\"a b\"");
  EXPECT_EQ(SkipProgramName("\"C:\\zuno.exe\"cfg"), "cfg");
  EXPECT_EQ(SkipProgramName("zuno.exe\tcfg"), "\tcfg");
  EXPECT_EQ(SkipProgramName("zuno.exe"), "");
  EXPECT_EQ(SkipProgramName("\"unclosed name"), "");
}

TEST(CommandArgsFromArgvTest, TakesEachArgumentAsDelivered) {
  const char* argv[] = {"zuno", "/path with blanks/cfg", "\"quoted\"", "x"};
  const CommandArgs args = CommandArgsFromArgv(4, argv);
  EXPECT_EQ(args.count, 3);
  EXPECT_EQ(args.slots[1], "/path with blanks/cfg");
  EXPECT_EQ(args.slots[2], "\"quoted\"");
  EXPECT_EQ(CommandArgsFromArgv(1, argv).count, 0);
}

}  // namespace
}  // namespace zuno
