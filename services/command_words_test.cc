#include "services/command_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zuno {
namespace {

struct SplitCase {
  const char* text;
  std::vector<std::string> words;
};

class SplitCommandWordsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandWordsTest, SplitsByTheCommandLineRule) {
  EXPECT_EQ(SplitCommandWords(GetParam().text), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandWordsTest,
    ::testing::Values(
        SplitCase{"/cfg/sync.txt", {"/cfg/sync.txt"}},
        SplitCase{"\"/My Files/sync.txt\" extra", {"/My Files/sync.txt", "extra"}},
        SplitCase{"ab\"x y\"z", {"ab", "x y", "z"}},
        SplitCase{"\"a\"\"b\"", {"a", "b"}},
        SplitCase{"\"\"", {""}},
        SplitCase{"", {}},
        SplitCase{"    ", {}},
        SplitCase{"  a   b  ", {"a", "b"}},
        // A tab is no separator; trailing tabs stay.
        SplitCase{"a\tb\t", {"a\tb\t"}},
        // An unclosed quote runs to the end; trailing blanks go before splitting.
        SplitCase{"\"open quote  ", {"open quote"}},
        SplitCase{"x \"a b", {"x", "a b"}},
        // No escape character: a backslash is ordinary.
        SplitCase{"a\\\"b c\"", {"a\\", "b c"}}));

}  // namespace
}  // namespace zuno
