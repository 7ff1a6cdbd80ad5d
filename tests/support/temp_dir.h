#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zuno::testing {

// A fresh directory under the system's temporary directory, removed with all its
// contents when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of a name inside the directory, as text.
  std::string File(std::string_view name) const;
  // Writes bytes into a file inside the directory and gives its path.
  std::string Write(std::string_view name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

// The whole content of a file, or the empty text when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);

// Writes bytes as the whole content of a file, replacing what it held.
void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace zuno::testing
