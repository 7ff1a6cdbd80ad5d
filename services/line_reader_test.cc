#include "services/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zuno {
namespace {

// Longer than any line these tests read: whole lines are kept.
constexpr size_t kLongestLine = 100000;

// Bytes in memory, handed out at most `chunk` bytes per read. A read error can be
// injected for the read with a given number (0 is the first read).
class MemorySource final : public BlockSource {
 public:
  MemorySource(std::string bytes, size_t chunk, int failing_read = -1)
      : bytes_(std::move(bytes)), chunk_(chunk), failing_read_(failing_read) {}

  int64_t ReadBlock(uint64_t offset, char* buffer, size_t size) override {
    EXPECT_EQ(size, LineReader::kBlockSize);
    offsets_.push_back(offset);
    if (static_cast<int>(offsets_.size()) - 1 == failing_read_) return -1;
    if (offset >= bytes_.size()) return 0;
    const size_t count = std::min({size, chunk_, bytes_.size() - static_cast<size_t>(offset)});
    std::memcpy(buffer, bytes_.data() + offset, count);
    return static_cast<int64_t>(count);
  }

  const std::vector<uint64_t>& offsets() const { return offsets_; }

 private:
  std::string bytes_;
  size_t chunk_;
  int failing_read_;
  std::vector<uint64_t> offsets_;
};

// Reads the way the configuration reader does: AtEnd before every ReadLine. A
// bounded loop, so a reader that never ends fails the test instead of hanging it.
std::vector<std::string> ReadAllLines(LineReader& reader) {
  std::vector<std::string> lines;
  for (int i = 0; i < 10000 && !reader.AtEnd(); ++i) lines.push_back(reader.ReadLine(kLongestLine));
  return lines;
}

struct LinesCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> lines;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

std::vector<LinesCase> AllCases() {
  const std::string long_line = [] {
    std::string s;
    for (int i = 0; i < 300; ++i) s += static_cast<char>('a' + i % 26);
    return s;
  }();
  return {
      {"CrLf", "one\r\ntwo\r\n", {"one", "two"}},
      {"CrOnly", "one\rtwo\rthree", {"one", "two", "three"}},
      {"LfOnlyIsData", "one\ntwo\nthree\n", {"one\ntwo\nthree\n"}},
      {"CrThenCrLf", "a\r\r\n", {"a", ""}},
      {"LastLineWithoutTerminator", "one\r\nlast", {"one", "last"}},
      {"EndingCrLfGivesNoExtraLine", "one\r\n", {"one"}},
      {"EndingTwoCrLfGivesOneEmptyLine", "one\r\n\r\n", {"one", ""}},
      {"CtrlZEndsTheFile", "one\r\ntwo\x1Athree\r\nfour\r\n", {"one", "two"}},
      {"CtrlZAtLineStart", "one\r\n\x1Atwo", {"one"}},
      {"CtrlZAfterCr", "one\r\x1A\ntwo", {"one"}},
      {"EmptyInput", "", {}},
      {"NulAndHighBytesAreData",
       std::string("a\0b\x80\xFF\r\n", 7),
       {std::string("a\0b\x80\xFF", 5)}},
      {"LineOf300Bytes", long_line + "\r\nnext", {long_line, "next"}},
      {"CrLfAcrossBlocks", Repeat('x', 127) + "\r\nnext", {Repeat('x', 127), "next"}},
      {"CrEndingBlockThenCr", Repeat('x', 127) + "\r\rnext", {Repeat('x', 127), "", "next"}},
      {"LineOfExactlyOneBlock", Repeat('y', 128), {Repeat('y', 128)}},
  };
}

// Every case is read once with full 128-byte blocks and once from a source that
// hands out only a few bytes per read, so a reader that places its reads by
// block number instead of after the last byte consumed shows up.
struct ReadingCase {
  LinesCase lines;
  size_t chunk;
};

void PrintTo(const ReadingCase& c, std::ostream* os) {
  *os << c.lines.name << " in reads of " << c.chunk << " bytes";
}

class LineReaderLinesTest : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(LineReaderLinesTest, SplitsIntoLines) {
  const ReadingCase& c = GetParam();
  auto owned = std::make_unique<MemorySource>(c.lines.bytes, c.chunk);
  MemorySource* source = owned.get();
  LineReader reader(std::move(owned));
  ASSERT_TRUE(reader.Start());

  EXPECT_EQ(ReadAllLines(reader), c.lines.lines);

  // At the end it stays there, and a further ReadLine gives the empty text.
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(reader.ReadLine(kLongestLine), "");
  EXPECT_TRUE(reader.AtEnd());

  // Each read starts where the previous one ended: no byte is skipped or read twice.
  uint64_t expected = 0;
  for (uint64_t offset : source->offsets()) {
    EXPECT_EQ(offset, expected);
    expected = std::min<uint64_t>(offset + std::min(c.chunk, LineReader::kBlockSize),
                                  c.lines.bytes.size());
  }
}

std::vector<ReadingCase> AllReadings() {
  std::vector<ReadingCase> readings;
  for (const LinesCase& c : AllCases()) {
    readings.push_back({c, LineReader::kBlockSize});
    readings.push_back({c, 5});
  }
  return readings;
}

INSTANTIATE_TEST_SUITE_P(Cases, LineReaderLinesTest, ::testing::ValuesIn(AllReadings()),
                         [](const ::testing::TestParamInfo<ReadingCase>& info) {
                           return std::string(info.param.lines.name) +
                                  (info.param.chunk == LineReader::kBlockSize ? "_FullBlocks"
                                                                              : "_ShortReads");
                         });

// Lines cut to a kept length: the rest of each line is passed over, and the next
// line starts where it would have started.
TEST(LineReaderTest, KeepsOnlyTheFirstBytesOfEachLine) {
  struct Case {
    const char* name;
    std::string bytes;
    size_t keep;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"LongerLinesAreCut", "abcdef\r\nxy\r\nuvwxyz", 3, {"abc", "xy", "uvw"}},
      {"NothingKept", "abc\r\n\r\ndef", 0, {"", "", ""}},
      {"ExactLengthIsWhole", "abc\r\n", 3, {"abc"}},
      {"LoneLfIsStillData", "a\nb\nc\nd\r\ne", 3, {"a\nb", "e"}},
      {"CrAloneEndsACutLine", "abcdef\rghi", 2, {"ab", "gh"}},
      {"CtrlZInTheCutPartEndsTheFile", "abcdef\x1Aghi\r\nmore", 2, {"ab"}},
      {"CutAcrossBlocks",
       Repeat('x', 300) + "\r\n" + Repeat('y', 127) + "\r\nz",
       99,
       {Repeat('x', 99), Repeat('y', 99), "z"}},
      {"CrLfSplitByTheBlockEnd", Repeat('x', 127) + "\r\nnext", 5, {Repeat('x', 5), "next"}},
  };
  for (const Case& c : cases) {
    for (const size_t chunk : {LineReader::kBlockSize, size_t{5}}) {
      SCOPED_TRACE(std::string(c.name) + " in reads of " + std::to_string(chunk));
      LineReader reader(std::make_unique<MemorySource>(c.bytes, chunk));
      ASSERT_TRUE(reader.Start());
      std::vector<std::string> lines;
      for (int i = 0; i < 100 && !reader.AtEnd(); ++i) lines.push_back(reader.ReadLine(c.keep));
      EXPECT_EQ(lines, c.lines);
    }
  }
}

// A line far longer than anything kept, made up on the fly: the reader finds its end
// while the text it hands back (and the memory behind it) stays at the kept length.
class LongLineSource final : public BlockSource {
 public:
  explicit LongLineSource(uint64_t line_length) : line_length_(line_length) {}

  int64_t ReadBlock(uint64_t offset, char* buffer, size_t size) override {
    static constexpr std::string_view kEnd = "\r\nnext\r\n";
    size_t count = 0;
    for (; count < size; ++count) {
      const uint64_t at = offset + count;
      if (at < line_length_) {
        buffer[count] = static_cast<char>('a' + at % 26);
      } else if (at - line_length_ < kEnd.size()) {
        buffer[count] = kEnd[at - line_length_];
      } else {
        break;
      }
    }
    return static_cast<int64_t>(count);
  }

 private:
  uint64_t line_length_;
};

TEST(LineReaderTest, AVeryLongLineIsNeverHeldWhole) {
  LineReader reader(std::make_unique<LongLineSource>(8 * 1024 * 1024));
  ASSERT_TRUE(reader.Start());
  const std::string first = reader.ReadLine(99);
  EXPECT_EQ(first.size(), 99u);
  EXPECT_EQ(first.substr(0, 3), "abc");
  EXPECT_LT(first.capacity(), 1024u);
  EXPECT_EQ(reader.ReadLine(99), "next");
  EXPECT_TRUE(reader.AtEnd());
}

TEST(LineReaderTest, BytesAfterCtrlZAreNeverRead) {
  const std::string bytes = "one\r\n\x1A" + Repeat('z', 400);
  auto owned = std::make_unique<MemorySource>(bytes, LineReader::kBlockSize);
  MemorySource* source = owned.get();
  LineReader reader(std::move(owned));
  ASSERT_TRUE(reader.Start());
  EXPECT_EQ(ReadAllLines(reader), std::vector<std::string>{"one"});
  EXPECT_EQ(reader.ReadLine(kLongestLine), "");
  EXPECT_EQ(source->offsets(), std::vector<uint64_t>{0});
}

TEST(LineReaderTest, ErrorInTheFirstReadFailsTheStart) {
  LineReader reader(std::make_unique<MemorySource>("one\r\ntwo\r\n", LineReader::kBlockSize, 0));
  EXPECT_FALSE(reader.Start());
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(reader.ReadLine(kLongestLine), "");
}

TEST(LineReaderTest, ErrorMidFileEndsTheReading) {
  // The second read fails: the line in progress ends there and nothing more comes,
  // however often the caller asks.
  const std::string bytes = "first\r\n" + Repeat('x', 200) + "\r\nthird\r\n";
  auto owned = std::make_unique<MemorySource>(bytes, LineReader::kBlockSize, 1);
  MemorySource* source = owned.get();
  LineReader reader(std::move(owned));
  ASSERT_TRUE(reader.Start());
  EXPECT_EQ(reader.ReadLine(kLongestLine), "first");
  EXPECT_EQ(reader.ReadLine(kLongestLine), Repeat('x', LineReader::kBlockSize - 7));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(reader.ReadLine(kLongestLine), "");
  }
  // After the failure the reader does not go back to the source.
  EXPECT_EQ(source->offsets().size(), 2u);
}

}  // namespace
}  // namespace zuno
