// Reads arbitrary files through the line reader, with reads that come in pieces of
// any size and may fail part-way, and then as a configuration file. Checks the
// lines against the text-file rules, the values against the configuration rules,
// and the lines ReadConfigFile prints.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/config_file.h"
#include "services/line_reader.h"
#include "tests/support/fakes.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::BlockSource;
using zuno::ConfigEntries;
using zuno::LineReader;

// How a file's reads go: each read gives at most the next of these sizes (the list
// repeated), and every read from `failing_offset` on fails.
struct ReadPattern {
  std::vector<size_t> piece_sizes;
  uint64_t failing_offset = UINT64_MAX;
};

// A file in memory whose reads follow a pattern.
class PatternSource final : public BlockSource {
 public:
  PatternSource(std::string bytes, ReadPattern pattern)
      : bytes_(std::move(bytes)), pattern_(std::move(pattern)) {}

  int64_t ReadBlock(uint64_t offset, char* buffer, size_t size) override {
    if (offset >= pattern_.failing_offset) return -1;
    if (offset >= bytes_.size()) return 0;
    size_t count = std::min(size, bytes_.size() - static_cast<size_t>(offset));
    // The bytes before the failing place come; the read that reaches it fails.
    count = std::min<uint64_t>(count, pattern_.failing_offset - offset);
    if (!pattern_.piece_sizes.empty()) {
      count = std::min(count, pattern_.piece_sizes[reads_++ % pattern_.piece_sizes.size()]);
    }
    std::memcpy(buffer, bytes_.data() + offset, count);
    return static_cast<int64_t>(count);
  }

 private:
  std::string bytes_;
  ReadPattern pattern_;
  size_t reads_ = 0;
};

// The files of the configuration reader: the one configuration file, read through
// a pattern.
class PatternFiles final : public zuno::FileService {
 public:
  PatternFiles(std::string bytes, ReadPattern pattern)
      : bytes_(std::move(bytes)), pattern_(std::move(pattern)) {}

  std::string FindFile(const std::string&) override { return {}; }
  std::unique_ptr<zuno::TextReader> OpenTextFile(const std::string&) override {
    auto reader = std::make_unique<LineReader>(std::make_unique<PatternSource>(bytes_, pattern_));
    if (!reader->Start()) return nullptr;
    return reader;
  }
  zuno::CopyStatus CopyLocalFile(const std::string&, const std::string&) override {
    return {false, "not here"};
  }

 private:
  std::string bytes_;
  ReadPattern pattern_;
};

// The lines of a file by the text-file rules, as far as the reads reach: CR LF or
// CR alone ends a line, a lone LF is data, Ctrl-Z ends the file, and a line end at
// the very end starts no further line. Each line is cut to its first `keep` bytes.
std::vector<std::string> ExpectedLines(std::string_view bytes, size_t keep) {
  bytes = bytes.substr(0, bytes.find('\x1A'));
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\r', start);
    if (end == std::string_view::npos) end = bytes.size();
    lines.emplace_back(bytes.substr(start, std::min(end - start, keep)));
    start = end + 1;
    if (start < bytes.size() && bytes[start] == '\n') ++start;
  }
  return lines;
}

std::vector<std::string> ReadAllLines(LineReader& reader, size_t keep) {
  std::vector<std::string> lines;
  while (!reader.AtEnd()) lines.push_back(reader.ReadLine(keep));
  // At the end the reader stays there and gives empty lines.
  FUZZ_CHECK(reader.ReadLine(keep).empty());
  FUZZ_CHECK(reader.AtEnd());
  return lines;
}

void CheckConfiguration(const std::string& bytes, const ReadPattern& pattern,
                        const std::vector<std::string>& lines) {
  zuno::testing::FakeWorld world;
  PatternFiles files(bytes, pattern);
  zuno::SyncServices services{world.console, world.clock, files, world.programs, world.engine};
  ConfigEntries entries;
  const zuno::Flow flow = zuno::ReadConfigFile(services, "zuno.cfg", entries);
  const std::vector<std::string> printed = world.transcript.Lines();

  if (pattern.failing_offset == 0) {
    FUZZ_CHECK(flow == zuno::Flow::kEndRun);
    FUZZ_CHECK(printed ==
               std::vector<std::string>({"Cannot open config file!", "Press any key to continue"}));
    return;
  }

  // Every line that does not begin with '#' is a value line, an empty one too;
  // a value is its line's first 99 characters, up to a NUL byte.
  std::vector<std::string> values;
  for (const std::string& line : lines) {
    if (!line.empty() && line.front() == '#') continue;
    std::string value = line.substr(0, ConfigEntries::kMaxValueLength);
    value.resize(std::strlen(value.c_str()));
    values.push_back(value);
  }
  for (size_t slot = 0; slot < std::min<size_t>(values.size(), ConfigEntries::kSlots); ++slot) {
    FUZZ_CHECK(entries.slots[slot] == values[slot]);
  }
  for (const std::string& slot : entries.slots) {
    FUZZ_CHECK(slot.size() <= ConfigEntries::kMaxValueLength);
    FUZZ_CHECK(slot.find_first_of(std::string_view("\r\0\x1A", 3)) == std::string::npos);
  }

  if (values.size() == ConfigEntries::kValues) {
    FUZZ_CHECK(flow == zuno::Flow::kGoOn);
    FUZZ_CHECK(printed.empty());
  } else {
    FUZZ_CHECK(flow == zuno::Flow::kEndRun);
    FUZZ_CHECK(printed == std::vector<std::string>({"Invalid config file - please read the docs!",
                                                    "Press any key to continue"}));
  }
  // Nothing of the engine or of the programs is touched.
  FUZZ_CHECK(world.transcript.Matching("[fce").empty());
  FUZZ_CHECK(world.transcript.Matching("[run").empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  ReadPattern pattern;
  const size_t pieces = input.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < pieces; ++i) {
    pattern.piece_sizes.push_back(input.ConsumeIntegralInRange<size_t>(1, LineReader::kBlockSize));
  }
  const bool reads_fail = input.ConsumeBool();
  const uint16_t failing_offset = input.ConsumeIntegral<uint16_t>();
  // How much of each line the reader keeps: all of it, or a few bytes.
  const size_t keep = input.ConsumeBool() ? SIZE_MAX : input.ConsumeIntegralInRange<size_t>(0, 300);
  const std::string bytes = input.ConsumeRemainingBytesAsString();
  if (reads_fail) pattern.failing_offset = failing_offset;

  // A read error ends the file where it happens; a failed first read opens nothing.
  LineReader reader(std::make_unique<PatternSource>(bytes, pattern));
  const bool started = reader.Start();
  FUZZ_CHECK(started == (pattern.failing_offset != 0));
  std::vector<std::string> lines;
  if (started) {
    const size_t readable = std::min<uint64_t>(bytes.size(), pattern.failing_offset);
    const std::string_view read = std::string_view(bytes).substr(0, readable);
    FUZZ_CHECK(ReadAllLines(reader, keep) == ExpectedLines(read, keep));
    lines = ExpectedLines(read, SIZE_MAX);
  }

  CheckConfiguration(bytes, pattern, lines);
  return 0;
}
