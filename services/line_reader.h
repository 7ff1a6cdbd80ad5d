#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "services/files.h"

namespace zuno {

// Where a LineReader takes its bytes from: a block read placed at an explicit offset.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Reads up to size bytes at offset into buffer: the number read, 0 at the end of
  // the data, negative on a read error.
  virtual int64_t ReadBlock(uint64_t offset, char* buffer, size_t size) = 0;
};

// The text-file reading rules over any block source, in blocks of 128 bytes:
// CR LF or CR alone ends a line, a lone LF is data, Ctrl-Z ends the file and is
// never consumed, NUL and bytes 0x80-0xFF are data, lines have no length limit
// (only the part a caller keeps is held). A read error counts as the end of the file.
class LineReader final : public TextReader {
 public:
  static constexpr size_t kBlockSize = 128;

  explicit LineReader(std::unique_ptr<BlockSource> source);
  // Reads the first block; false when that read fails.
  bool Start();

  bool AtEnd() override;
  std::string ReadLine(size_t max_length) override;

 private:
  // Makes the next unread byte available; false at the end of the data or on error.
  bool Fill();

  std::unique_ptr<BlockSource> source_;
  char block_[kBlockSize] = {};
  size_t valid_ = 0;
  size_t next_ = 0;
  uint64_t block_start_ = 0;
  bool failed_ = false;
};

}  // namespace zuno
