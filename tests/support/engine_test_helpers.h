#pragma once

// Helpers that every engine's tests against real servers share, whatever the
// engine and however the servers were started.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "tests/support/temp_dir.h"

namespace zuno::testing {

// The limits the tests give the engine, so that failing calls come back quickly.
inline constexpr int32_t kTestLimitMs = 2000;
// No call made with those limits may take longer than this.
inline constexpr auto kCallCeiling = std::chrono::seconds(15);

// Bytes that any text-mode handling would change: CR, LF, CR LF, NUL, 0xFF, Ctrl-Z.
inline std::string BinaryContent(size_t size, unsigned seed) {
  static const char kSpecial[] = {'\r', '\n', '\0', '\xFF', '\r', '\r', '\n', '\x1A'};
  std::string bytes;
  bytes.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes += (i % 7 == 0) ? kSpecial[(seed >> 16) % sizeof(kSpecial)]
                          : static_cast<char>((seed >> 16) & 0xFF);
  }
  return bytes;
}

inline std::set<std::string> NamesIn(const std::filesystem::path& directory) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Whether the file holds exactly these bytes; a mismatch is told briefly, since
// the bytes themselves are binary.
inline ::testing::AssertionResult FileHolds(const std::filesystem::path& path,
                                            const std::string& bytes) {
  const std::string actual = ReadWholeFile(path);
  if (actual == bytes) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < bytes.size() && actual[at] == bytes[at]) ++at;
  return ::testing::AssertionFailure() << path << " holds " << actual.size() << " bytes instead of "
                                       << bytes.size() << ", the first difference at byte " << at;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

}  // namespace zuno::testing
