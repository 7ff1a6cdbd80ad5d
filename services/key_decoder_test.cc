#include "services/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace zuno {
namespace {

using Status = DecodedKey::Status;
using namespace std::string_literals;

// A key that produces no character: byte 0 and the scan code.
KeyValue Scan(int code) { return KeyValue{'\0', static_cast<char>(code)}; }

struct KeyCase {
  std::string bytes;
  KeyValue key;
  size_t consumed;
};

void ExpectKeys(const std::vector<KeyCase>& cases, bool no_more_bytes) {
  for (const KeyCase& c : cases) {
    const DecodedKey decoded = DecodeKey(c.bytes, no_more_bytes);
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    EXPECT_EQ(decoded.status, Status::kKey);
    EXPECT_EQ(decoded.key, c.key);
    EXPECT_EQ(decoded.consumed, c.consumed);
  }
}

TEST(DecodeKeyTest, SingleBytes) {
  ExpectKeys(
      {
          {"\r", "\r", 1},
          {"\n", "\r", 1},
          {"\x7f", "\x08", 1},
          {"\x08", "\x08", 1},
          {"\t", "\t", 1},
          {"\x01", "\x01", 1},
          {"\x03", "\x03", 1},
          {"\x1a", "\x1a", 1},
          {"a", "a", 1},
          {"Y", "Y", 1},
          {" ", " ", 1},
          {"~", "~", 1},
          {"\0"s, Scan(0x03), 1},
          {"ab", "a", 1},
          {"\r\n", "\r", 1},
      },
      false);
}

TEST(DecodeKeyTest, EscAloneWaitsThenIsEsc) {
  EXPECT_EQ(DecodeKey("\x1b", false).status, Status::kNeedMore);
  ExpectKeys({{"\x1b", "\x1b", 1}, {"\x1b\x1b", "\x1b", 1}, {"\x1b\x1b[A", "\x1b", 1}}, true);
  ExpectKeys({{"\x1b\x1b", "\x1b", 1}}, false);
}

TEST(DecodeKeyTest, AltWithEveryLetterGivesThatKeysScanCode) {
  // The letter keys of the PC keyboard, row by row, with the scan code of each row's first key.
  const std::vector<std::pair<std::string_view, int>> rows = {
      {"qwertyuiop", 0x10}, {"asdfghjkl", 0x1E}, {"zxcvbnm", 0x2C}};
  for (const auto& [letters, first_code] : rows) {
    for (size_t i = 0; i < letters.size(); ++i) {
      const char lower = letters[i];
      const char upper = static_cast<char>(lower - 'a' + 'A');
      // Esc O may still become a longer sequence; it is Alt+O once no more bytes come.
      ExpectKeys({{"\x1b"s + lower, Scan(first_code + static_cast<int>(i)), 2},
                  {"\x1b"s + upper, Scan(first_code + static_cast<int>(i)), 2}},
                 /*no_more_bytes=*/upper == 'O');
    }
  }
}

TEST(DecodeKeyTest, EscWithAnotherKeyIsThatKey) {
  ExpectKeys({{"\x1b"
               "1",
               "1", 2},
              {"\x1b\r", "\r", 2},
              {"\x1b\x7f", "\x08", 2},
              {"\x1b\x03", "\x03", 2},
              {"\x1b\xc3\xbc", "\x81", 3},
              {"\x1bOx", Scan(0), 3}},
             false);
  // Esc O on its own is Alt+O, not the start of a sequence that never came.
  EXPECT_EQ(DecodeKey("\x1bO", false).status, Status::kNeedMore);
  ExpectKeys({{"\x1bO", Scan(0x18), 2}, {"\x1bO\x03", Scan(0x18), 2}}, true);
}

TEST(DecodeKeyTest, FunctionAndCursorKeysInEveryForm) {
  ExpectKeys(
      {
          // F1-F4
          {"\x1bOP", Scan(0x3B), 3},
          {"\x1bOS", Scan(0x3E), 3},
          {"\x1b[11~", Scan(0x3B), 5},
          {"\x1b[12~", Scan(0x3C), 5},
          {"\x1b[13~", Scan(0x3D), 5},
          {"\x1b[14~", Scan(0x3E), 5},
          {"\x1b[[A", Scan(0x3B), 4},
          {"\x1b[[D", Scan(0x3E), 4},
          // F5-F12
          {"\x1b[15~", Scan(0x3F), 5},
          {"\x1b[[E", Scan(0x3F), 4},
          {"\x1b[17~", Scan(0x40), 5},
          {"\x1b[18~", Scan(0x41), 5},
          {"\x1b[19~", Scan(0x42), 5},
          {"\x1b[20~", Scan(0x43), 5},
          {"\x1b[21~", Scan(0x44), 5},
          {"\x1b[23~", Scan(0x57), 5},
          {"\x1b[24~", Scan(0x58), 5},
          // arrows
          {"\x1b[A", Scan(0x48), 3},
          {"\x1b[B", Scan(0x50), 3},
          {"\x1b[C", Scan(0x4D), 3},
          {"\x1b[D", Scan(0x4B), 3},
          {"\x1bOA", Scan(0x48), 3},
          {"\x1bOD", Scan(0x4B), 3},
          // Home, End
          {"\x1b[H", Scan(0x47), 3},
          {"\x1b[F", Scan(0x4F), 3},
          {"\x1bOH", Scan(0x47), 3},
          {"\x1bOF", Scan(0x4F), 3},
          {"\x1b[1~", Scan(0x47), 4},
          {"\x1b[4~", Scan(0x4F), 4},
          {"\x1b[7~", Scan(0x47), 4},
          {"\x1b[8~", Scan(0x4F), 4},
          // Insert, Delete, Page Up, Page Down
          {"\x1b[2~", Scan(0x52), 4},
          {"\x1b[3~", Scan(0x53), 4},
          {"\x1b[5~", Scan(0x49), 4},
          {"\x1b[6~", Scan(0x51), 4},
          // with modifiers
          {"\x1b[1;5A", Scan(0x48), 6},
          {"\x1b[15;2~", Scan(0x3F), 7},
          {"\x1b[1;2P", Scan(0x3B), 6},
          {"\x1b[3;5~", Scan(0x53), 6},
          {"\x1bO5P", Scan(0x3B), 4},
          {"\x1b[Z", "\t", 3},
          // rxvt's forms with modifiers
          {"\x1b[5$", Scan(0x49), 4},
          {"\x1b[11^", Scan(0x3B), 5},
          {"\x1b[3@", Scan(0x53), 4},
          {"\x1b[a", Scan(0x48), 3},
          {"\x1bOd", Scan(0x4B), 3},
          // only the sequence is taken; what follows is the next key
          {"\x1b[Ax", Scan(0x48), 3},
          {"\x1b[15~\x1b[15~", Scan(0x3F), 5},
      },
      false);
}

TEST(DecodeKeyTest, UnknownSequenceIsOneKeyWithoutCharacter) {
  ExpectKeys(
      {
          {"\x1b[99~", Scan(0), 5},
          {"\x1b[?1;2c", Scan(0), 7},
          {"\x1b[2A", Scan(0), 4},
          {"\x1b[[Z", Scan(0), 4},
          {"\x1bOx", Scan(0), 3},
          {"\x1b[~", Scan(0), 3},
          {"\x1b[5;5Q", Scan(0), 6},
          {"\x1b[1 q", Scan(0), 5},
          {"\x1b[E", Scan(0), 3},
          // a byte that cannot be part of a sequence ends it and stays for the next key
          {"\x1b[1\x03", Scan(0), 3},
          {"\x1b[[\r", Scan(0), 3},
          {"\x1bO1\x1b", Scan(0), 3},
      },
      false);
}

TEST(DecodeKeyTest, UnfinishedSequenceWaitsThenIsOneKey) {
  const std::vector<KeyCase> unfinished = {
      {"\x1b[", Scan(0), 2},   {"\x1b[1", Scan(0), 3}, {"\x1b[15", Scan(0), 4},
      {"\x1b[1;", Scan(0), 4}, {"\x1b[[", Scan(0), 3}, {"\x1bO1", Scan(0), 3},
  };
  for (const KeyCase& c : unfinished) {
    EXPECT_EQ(DecodeKey(c.bytes, false).status, Status::kNeedMore)
        << ::testing::PrintToString(c.bytes);
  }
  ExpectKeys(unfinished, true);
}

TEST(DecodeKeyTest, EndlessSequenceIsGivenUpAsOneKey) {
  const std::string endless = "\x1b[" + std::string(100, '1');
  const DecodedKey decoded = DecodeKey(endless, false);
  EXPECT_EQ(decoded.status, Status::kKey);
  EXPECT_EQ(decoded.key, Scan(0));
  EXPECT_GT(decoded.consumed, 2u);
  EXPECT_LE(decoded.consumed, 40u);
}

TEST(DecodeKeyTest, Utf8CharacterIsOneKeyInCodePage437) {
  ExpectKeys(
      {
          {"\xc3\xbc", "\x81", 2},       // u umlaut
          {"\xc3\xa9", "\x82", 2},       // e acute
          {"\xc3\x84", "\x8e", 2},       // A umlaut
          {"\xc3\x9f", "\xe1", 2},       // sharp s
          {"\xc2\xa0", "\xff", 2},       // no-break space
          {"\xe2\x96\x88", "\xdb", 3},   // full block
          {"\xe2\x82\xac", "?", 3},      // euro sign: not in the set
          {"\xf0\x9f\x98\x80", "?", 4},  // emoji
          {"\xd0\xaf", "?", 2},          // Cyrillic
          {"\xc3\xbcx", "\x81", 2},      // the next key stays
      },
      false);
}

TEST(DecodeKeyTest, BrokenUtf8IsOneKeyPerStrayByte) {
  ExpectKeys(
      {
          {"\x80", "\x80", 1},
          {"\xbf", "\xbf", 1},
          {"\xff", "\xff", 1},
          {"\xc0\x80", "\xc0", 1},      // overlong form
          {"\xc3\x41", "\xc3", 1},      // lead byte without its continuation
          {"\xed\xa0\x80", "\xed", 1},  // surrogate
          {"\xf4\x90\x80\x80", "\xf4", 1},
          {"\xe2\x82\x41", "?", 2},  // torn after one continuation byte
      },
      false);
  EXPECT_EQ(DecodeKey("\xc3", false).status, Status::kNeedMore);
  EXPECT_EQ(DecodeKey("\xe2\x82", false).status, Status::kNeedMore);
  EXPECT_EQ(DecodeKey("\xf0\x9f\x98", false).status, Status::kNeedMore);
  ExpectKeys({{"\xc3", "\xc3", 1}, {"\xe2\x82", "?", 2}, {"\xf0\x9f\x98", "?", 3}}, true);
}

TEST(DecodeKeyTest, EmptyInputIsNoKey) {
  EXPECT_EQ(DecodeKey("", false).status, Status::kEmpty);
  EXPECT_EQ(DecodeKey("", true).status, Status::kEmpty);
}

TEST(DecodeKeyTest, TypedAheadKeysComeOutOneByOne) {
  std::string bytes =
      "a\x1b[15~\x1bOP\xc3\xbc\x1b\x1bq\x1b[1;5A\x1b[99~\x03\x1b[[B\r\x1b"
      "1";
  const std::vector<KeyValue> expected = {"a",    Scan(0x3F), Scan(0x3B), "\x81",
                                          "\x1b", Scan(0x10), Scan(0x48), Scan(0),
                                          "\x03", Scan(0x3C), "\r",       "1"};
  std::vector<KeyValue> keys;
  while (!bytes.empty()) {
    const DecodedKey decoded = DecodeKey(bytes, false);
    ASSERT_EQ(decoded.status, Status::kKey) << keys.size();
    keys.push_back(decoded.key);
    bytes.erase(0, decoded.consumed);
  }
  EXPECT_EQ(keys, expected);
}

// Whatever the terminal sends, a decided key takes at least one byte and no more
// than it was given, and with no more bytes to come nothing is left undecided.
TEST(DecodeKeyTest, EveryInputDecidesWithinItsBytes) {
  const std::vector<std::string> prefixes = {"", "\x1b", "\x1b[", "\x1bO", "\x1b[[", "\x1b[1;"};
  for (const std::string& prefix : prefixes) {
    for (int first = 0; first < 256; ++first) {
      for (int second = 0; second < 256; ++second) {
        const std::string bytes = prefix + static_cast<char>(first) + static_cast<char>(second);
        for (bool no_more_bytes : {false, true}) {
          const DecodedKey decoded = DecodeKey(bytes, no_more_bytes);
          if (decoded.status == Status::kNeedMore && !no_more_bytes) continue;
          ASSERT_EQ(decoded.status, Status::kKey) << ::testing::PrintToString(bytes);
          ASSERT_GE(decoded.consumed, 1u) << ::testing::PrintToString(bytes);
          ASSERT_LE(decoded.consumed, bytes.size()) << ::testing::PrintToString(bytes);
          ASSERT_FALSE(decoded.key.empty()) << ::testing::PrintToString(bytes);
          ASSERT_LE(decoded.key.size(), 2u) << ::testing::PrintToString(bytes);
        }
      }
    }
  }
}

}  // namespace
}  // namespace zuno
