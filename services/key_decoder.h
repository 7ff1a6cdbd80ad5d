#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "services/console.h"

namespace zuno {

// One step of turning the bytes a terminal sends into key values.
struct DecodedKey {
  enum class Status {
    kKey,       // `key` is the next key; `consumed` bytes were used for it
    kNeedMore,  // the bytes so far may be the start of a longer sequence
    kEmpty,     // no bytes at all
  };
  Status status = Status::kEmpty;
  KeyValue key;
  size_t consumed = 0;
};

// Decodes the first key in `bytes`. With `no_more_bytes` set (about 30 ms passed
// without another byte), an incomplete sequence is decided now: a lone Esc is the
// key 27, an unfinished escape sequence is one key that produces no character.
DecodedKey DecodeKey(std::string_view bytes, bool no_more_bytes);

}  // namespace zuno
