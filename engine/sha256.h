#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zuno {

// SHA-256 of a stream of bytes, fed in pieces. It tells two copies of a file apart
// where the server gives no size to check a transfer against.
class Sha256 {
 public:
  Sha256() { Reset(); }
  void Reset();
  void Add(const void* data, size_t size);
  // The digest of everything added since the last Reset; the object can go on
  // being fed afterwards only after a Reset.
  std::array<uint8_t, 32> Digest();
  // The digest as 64 lower-case hexadecimal digits.
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> buffer_;
  size_t buffered_ = 0;
  uint64_t length_ = 0;
};

// The hexadecimal SHA-256 of a text.
std::string Sha256Hex(std::string_view bytes);

}  // namespace zuno
