#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "tests/support/temp_dir.h"

namespace zuno::testing {

TempDir::TempDir() {
  char base[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof(base), base) == 0) return;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        std::string(base) + "zuno-test-" + std::to_string(GetCurrentProcessId()) + "-" +
        std::to_string(GetTickCount64() % 100000) + "-" + std::to_string(++counter);
    if (CreateDirectoryA(name.c_str(), nullptr)) {
      path_ = name;
      return;
    }
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code error;
  // Take away the attributes that a test may have set, so that everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(path_, error);
}

std::string TempDir::File(std::string_view name) const { return (path_ / name).string(); }

std::string TempDir::Write(std::string_view name, std::string_view bytes) const {
  const std::string file = File(name);
  WriteWholeFile(file, bytes);
  return file;
}

void WriteWholeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zuno::testing
