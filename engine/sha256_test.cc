#include "engine/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace zuno {
namespace {

// The published test vectors, and a long input fed in uneven pieces that cross
// the 64-byte blocks, so the buffering between pieces is covered too.
TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Sha256 pieces;
  const std::string a(1001, 'a');
  for (int i = 0; i < 1000; ++i) pieces.Add(a.data(), i % 2 == 0 ? 999 : 1001);
  EXPECT_EQ(pieces.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace zuno
