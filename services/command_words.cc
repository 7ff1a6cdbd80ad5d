#include "services/command_words.h"

namespace zuno {

namespace {

enum class SplitState { kBetween = 1, kQuoted = 2, kInWord = 3 };

constexpr char kBlank = ' ';
constexpr char kQuote = '"';

}  // namespace

std::vector<std::string> SplitCommandWords(std::string_view text) {
  while (!text.empty() && text.back() == kBlank) text.remove_suffix(1);

  std::vector<std::string> words;
  SplitState state = SplitState::kBetween;
  for (const char c : text) {
    switch (state) {
      case SplitState::kBetween:
      case SplitState::kInWord:
        if (c == kBlank) {
          state = SplitState::kBetween;
        } else if (c == kQuote) {
          words.emplace_back();
          state = SplitState::kQuoted;
        } else if (state == SplitState::kBetween) {
          words.emplace_back(1, c);
          state = SplitState::kInWord;
        } else {
          words.back().push_back(c);
        }
        break;
      case SplitState::kQuoted:
        if (c == kQuote) {
          state = SplitState::kBetween;
        } else {
          words.back().push_back(c);
        }
        break;
    }
  }
  return words;
}

}  // namespace zuno
