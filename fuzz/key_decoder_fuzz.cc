// Feeds arbitrary terminal bytes to the key decoder and checks that it decodes them
// the same whether they arrive at once or one by one, never waits for more bytes
// without end, and always makes progress.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "services/key_decoder.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::DecodedKey;
using zuno::DecodeKey;
using Status = DecodedKey::Status;

// The decoder gives up on a sequence this long; below it, it may still wait.
constexpr size_t kLongestWait = 32;

bool SameDecoding(const DecodedKey& a, const DecodedKey& b) {
  return a.status == b.status && a.key == b.key && a.consumed == b.consumed;
}

// A key value is one character byte (never 0), or 0 and a scan code.
bool IsKeyValue(const zuno::KeyValue& key) {
  return (key.size() == 1 && key[0] != '\0') || (key.size() == 2 && key[0] == '\0');
}

// Checks one decoding step at the start of `bytes`; returns how many bytes the key
// took once no more bytes come.
size_t CheckStep(std::string_view bytes) {
  const DecodedKey waiting = DecodeKey(bytes, false);
  const DecodedKey final_key = DecodeKey(bytes, true);

  // Once no more bytes come, the decoder always decides.
  FUZZ_CHECK(final_key.status == Status::kKey);
  FUZZ_CHECK(final_key.consumed >= 1 && final_key.consumed <= bytes.size());
  FUZZ_CHECK(IsKeyValue(final_key.key));

  if (waiting.status == Status::kNeedMore) {
    // A key that has begun waits only within the longest sequence.
    FUZZ_CHECK(bytes.size() < kLongestWait);
    FUZZ_CHECK(waiting.consumed == 0 && waiting.key.empty());
  } else {
    // A complete key is the same whether or not more bytes may come.
    FUZZ_CHECK(SameDecoding(waiting, final_key));
  }

  // The bytes arriving one by one: a shorter piece either waits for more or already
  // gives the key that all the bytes give, and once it gives it, every longer piece
  // does too. So the keys never depend on how the bytes were split into reads.
  bool decided = false;
  for (size_t length = 1; length <= std::min(bytes.size(), kLongestWait + 2); ++length) {
    const DecodedKey piece = DecodeKey(bytes.substr(0, length), false);
    if (piece.status == Status::kNeedMore) {
      FUZZ_CHECK(!decided);
    } else {
      FUZZ_CHECK(SameDecoding(piece, waiting));
      decided = true;
    }
  }

  // A printable ASCII character is always its own key.
  const auto first = static_cast<unsigned char>(bytes[0]);
  if (first >= 0x20 && first <= 0x7E) {
    FUZZ_CHECK(final_key.consumed == 1 && final_key.key == std::string_view(bytes.data(), 1));
  }
  return final_key.consumed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view pending(reinterpret_cast<const char*>(data), size);

  const DecodedKey nothing = DecodeKey({}, false);
  FUZZ_CHECK(nothing.status == Status::kEmpty && nothing.consumed == 0 && nothing.key.empty());

  // The console's loop: decode, drop the key's bytes, go on with the rest.
  while (!pending.empty()) pending.remove_prefix(CheckStep(pending));
  return 0;
}
