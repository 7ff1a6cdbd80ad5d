// Splits arbitrary command-line texts into words and checks the splitting rules
// that the program's own command line and the browser command rely on.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "services/command_words.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::SplitCommandWords;

// The characters that the words hold, in order: those of the text without its
// trailing blanks, less every quote and every blank outside a quoted group.
std::string WordCharacters(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  std::string kept;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c != ' ' || quoted) {
      kept += c;
    }
  }
  return kept;
}

std::string Joined(const std::vector<std::string>& words, bool quote_each) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    text += quote_each ? "\"" + word + "\"" : word;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> words = SplitCommandWords(text);
  const bool has_quote = text.find('"') != std::string_view::npos;

  std::string characters;
  bool blank_or_empty_word = false;
  for (const std::string& word : words) {
    // The quotes only group; they never reach a word.
    FUZZ_CHECK(word.find('"') == std::string::npos);
    // Without quotes a word is a run of non-blank characters.
    if (!has_quote) FUZZ_CHECK(!word.empty() && word.find(' ') == std::string::npos);
    if (word.empty() || word.find(' ') != std::string::npos) blank_or_empty_word = true;
    characters += word;
  }
  // No character is lost, added or moved; only blanks outside quotes separate.
  FUZZ_CHECK(characters == WordCharacters(text));

  // Blanks before and after the text are separators only.
  FUZZ_CHECK(SplitCommandWords(" " + std::string(text) + "  ") == words);

  // Any words, each put in quotes and joined by blanks, split back into themselves:
  // the form the documentation gives for a path with blanks always works.
  FUZZ_CHECK(SplitCommandWords(Joined(words, true)) == words);
  if (!blank_or_empty_word) FUZZ_CHECK(SplitCommandWords(Joined(words, false)) == words);
  return 0;
}
