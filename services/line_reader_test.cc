#include "services/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace zuno {
namespace {

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
  for (int i = 0; i < 10000 && !reader.AtEnd(); ++i) lines.push_back(reader.ReadLine());
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
  EXPECT_EQ(reader.ReadLine(), "");
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

TEST(LineReaderTest, BytesAfterCtrlZAreNeverRead) {
  const std::string bytes = "one\r\n\x1A" + Repeat('z', 400);
  auto owned = std::make_unique<MemorySource>(bytes, LineReader::kBlockSize);
  MemorySource* source = owned.get();
  LineReader reader(std::move(owned));
  ASSERT_TRUE(reader.Start());
  EXPECT_EQ(ReadAllLines(reader), std::vector<std::string>{"one"});
  EXPECT_EQ(reader.ReadLine(), "");
  EXPECT_EQ(source->offsets(), std::vector<uint64_t>{0});
}

TEST(LineReaderTest, ErrorInTheFirstReadFailsTheStart) {
  LineReader reader(std::make_unique<MemorySource>("one\r\ntwo\r\n", LineReader::kBlockSize, 0));
  EXPECT_FALSE(reader.Start());
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(reader.ReadLine(), "");
}

TEST(LineReaderTest, ErrorMidFileEndsTheReading) {
  // The second read fails: the line in progress ends there and nothing more comes,
  // however often the caller asks.
  const std::string bytes = "first\r\n" + Repeat('x', 200) + "\r\nthird\r\n";
  auto owned = std::make_unique<MemorySource>(bytes, LineReader::kBlockSize, 1);
  MemorySource* source = owned.get();
  LineReader reader(std::move(owned));
  ASSERT_TRUE(reader.Start());
  EXPECT_EQ(reader.ReadLine(), "first");
  EXPECT_EQ(reader.ReadLine(), Repeat('x', LineReader::kBlockSize - 7));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(reader.ReadLine(), "");
  }
  // After the failure the reader does not go back to the source.
  EXPECT_EQ(source->offsets().size(), 2u);
}

}  // namespace
}  // namespace zuno
