#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zuno {

// Splits a command-line text into its words: the blank is the only separator, a
// double quote starts or ends a group in which blanks are ordinary characters (the
// quotes themselves are dropped), there is no escape character, and blanks at the
// very end of the text are removed first. Tabs and all other characters are
// ordinary characters. A quote directly after a word starts a new word.
std::vector<std::string> SplitCommandWords(std::string_view text);

}  // namespace zuno
