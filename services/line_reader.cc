#include "services/line_reader.h"

#include <algorithm>
#include <utility>

namespace zuno {
namespace {

constexpr char kCarriageReturn = '\x0D';
constexpr char kLineFeed = '\x0A';
constexpr char kCtrlZ = '\x1A';

}  // namespace

LineReader::LineReader(std::unique_ptr<BlockSource> source) : source_(std::move(source)) {}

bool LineReader::Start() {
  block_start_ = 0;
  valid_ = 0;
  next_ = 0;
  failed_ = false;
  const int64_t got = source_->ReadBlock(0, block_, kBlockSize);
  if (got < 0) {
    failed_ = true;
    return false;
  }
  valid_ = static_cast<size_t>(got);
  return true;
}

bool LineReader::Fill() {
  if (failed_) return false;
  if (next_ < valid_) return true;
  // The next block starts just after the last byte consumed, wherever the
  // previous read ended.
  const uint64_t offset = block_start_ + valid_;
  const int64_t got = source_->ReadBlock(offset, block_, kBlockSize);
  if (got < 0) {
    // From now on the reader stays at its end, so a caller reading until AtEnd
    // always stops.
    failed_ = true;
    valid_ = 0;
    next_ = 0;
    return false;
  }
  block_start_ = offset;
  valid_ = static_cast<size_t>(got) < kBlockSize ? static_cast<size_t>(got) : kBlockSize;
  next_ = 0;
  return valid_ > 0;
}

bool LineReader::AtEnd() { return !Fill() || block_[next_] == kCtrlZ; }

std::string LineReader::ReadLine(size_t max_length) {
  std::string line;
  while (Fill()) {
    // Take the run of data bytes up to the next terminator or Ctrl-Z in one go;
    // what lies beyond the kept length is passed over.
    size_t end = next_;
    while (end < valid_ && block_[end] != kCarriageReturn && block_[end] != kCtrlZ) ++end;
    if (line.size() < max_length) {
      line.append(block_ + next_, std::min(end - next_, max_length - line.size()));
    }
    next_ = end;
    if (next_ == valid_) continue;
    if (block_[next_] == kCtrlZ) break;  // stays the next byte: the file ends here
    ++next_;                             // the carriage return
    if (Fill() && block_[next_] == kLineFeed) ++next_;
    break;
  }
  return line;
}

}  // namespace zuno
