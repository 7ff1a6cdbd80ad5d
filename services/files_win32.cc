// The local files on Windows. Every file call runs with the system's message boxes
// for critical errors and missing files switched off, so no dialog ever appears;
// paths are used whole, since a shortened path names another file.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "services/files.h"
#include "services/line_reader.h"
#include "services/win32_util.h"

namespace zuno {
namespace {

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != text.npos; }

bool IsPlainFile(const WIN32_FIND_DATAA& entry) {
  const std::string_view name = entry.cFileName;
  if (name == "." || name == "..") return false;
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return (entry.dwFileAttributes & kNotPlain) == 0;
}

// A directory search that is closed when it goes away.
class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (valid()) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Reads the text file at explicit offsets, as the line reader asks.
class FileBlockSource final : public BlockSource {
 public:
  explicit FileBlockSource(OwnedHandle file) : file_(std::move(file)) {}

  int64_t ReadBlock(uint64_t offset, char* buffer, size_t size) override {
    QuietErrorMode quiet;
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low =
        SetFilePointer(file_.get(), static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
    DWORD got = 0;
    if (!ReadFile(file_.get(), buffer, static_cast<DWORD>(size), &got, nullptr)) return -1;
    return got;
  }

 private:
  OwnedHandle file_;
};

// The directory part of a path, up to and including its last "\", "/" or drive
// colon; "" when the path has none (the current directory).
std::string DirectoryPart(const std::string& path) {
  const size_t end = path.find_last_of("\\/:");
  return end == std::string::npos ? "" : path.substr(0, end + 1);
}

// The identity of an open file: two handles with the same one are the same file.
struct FileIdentity {
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  bool operator==(const FileIdentity&) const = default;
};

bool IdentityOf(HANDLE file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  *identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

bool SameFile(const std::string& target, const FileIdentity& source) {
  QuietErrorMode quiet;
  OwnedHandle file(CreateFileA(target.c_str(), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileIdentity identity;
  return file.valid() && IdentityOf(file.get(), &identity) && identity == source;
}

CopyStatus Failure(DWORD error) { return {.ok = false, .reason = SystemErrorText(error)}; }

// The copy on its way, under a name of its own next to the target. Removed when it
// goes away, unless it has been moved over the target.
class TemporaryCopy {
 public:
  explicit TemporaryCopy(const std::string& directory) {
    QuietErrorMode quiet;
    char name[MAX_PATH + 1] = {};
    const std::string where = directory.empty() ? "." : directory;
    if (GetTempFileNameA(where.c_str(), "zun", 0, name) == 0) {
      error_ = GetLastError();
      return;
    }
    path_ = name;
    file_ = OwnedHandle(CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.valid()) error_ = GetLastError();
  }
  ~TemporaryCopy() {
    file_.Reset();
    if (!path_.empty()) {
      QuietErrorMode quiet;
      DeleteFileA(path_.c_str());
    }
  }
  TemporaryCopy(const TemporaryCopy&) = delete;
  TemporaryCopy& operator=(const TemporaryCopy&) = delete;

  bool valid() const { return file_.valid(); }
  DWORD error() const { return error_; }
  HANDLE file() const { return file_.get(); }
  // Flushes and closes the copy; the reason for a failure, or 0.
  DWORD Finish() {
    QuietErrorMode quiet;
    if (!FlushFileBuffers(file_.get())) return GetLastError();
    const HANDLE file = file_.Release();
    if (!CloseHandle(file)) return GetLastError();
    return 0;
  }
  // Puts the copy in place of the target in one step; from then on it is no longer
  // ours to remove. The reason for a failure, or 0.
  DWORD MoveOver(const std::string& target) {
    QuietErrorMode quiet;
    if (!MoveFileExA(path_.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return GetLastError();
    }
    path_.clear();
    return 0;
  }

 private:
  std::string path_;
  OwnedHandle file_;
  DWORD error_ = 0;
};

class LocalFileService final : public FileService {
 public:
  std::string FindFile(const std::string& path) override {
    if (path.empty()) return "";
    std::string pattern = path;
    // A directory or drive alone: the search lists what is inside it.
    if (pattern.back() == ':' || pattern.back() == '\\') pattern += "*.*";
    QuietErrorMode quiet;
    WIN32_FIND_DATAA entry;
    FindHandle search(FindFirstFileA(pattern.c_str(), &entry));
    if (!search.valid()) return "";
    do {
      if (IsPlainFile(entry)) return entry.cFileName;
    } while (FindNextFileA(search.get(), &entry));
    return "";
  }

  std::unique_ptr<TextReader> OpenTextFile(const std::string& path) override {
    if (path.empty() || HasWildcard(path)) return nullptr;
    OwnedHandle file;
    {
      QuietErrorMode quiet;
      file = OwnedHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return nullptr;
    }
    auto reader = std::make_unique<LineReader>(std::make_unique<FileBlockSource>(std::move(file)));
    if (!reader->Start()) return nullptr;
    return reader;
  }

  CopyStatus CopyLocalFile(const std::string& source, const std::string& target) override {
    OwnedHandle in;
    FileIdentity source_identity;
    {
      QuietErrorMode quiet;
      in = OwnedHandle(CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      if (!in.valid()) return Failure(GetLastError());
      if (GetFileType(in.get()) != FILE_TYPE_DISK) {
        return {.ok = false, .reason = "Not a regular file"};
      }
      if (!IdentityOf(in.get(), &source_identity)) return Failure(GetLastError());
    }
    // Copying a file onto itself would only risk it: leave it as it is.
    if (source == target || SameFile(target, source_identity)) return {};

    // A read-only target stays as it is, as the system's own copy leaves it.
    {
      QuietErrorMode quiet;
      const DWORD attributes = GetFileAttributesA(target.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return Failure(ERROR_ACCESS_DENIED);
      }
    }
    TemporaryCopy copy(DirectoryPart(target));
    if (!copy.valid()) return Failure(copy.error());
    char buffer[64 * 1024];
    for (;;) {
      QuietErrorMode quiet;
      DWORD got = 0;
      if (!ReadFile(in.get(), buffer, sizeof buffer, &got, nullptr)) return Failure(GetLastError());
      if (got == 0) break;
      DWORD done = 0;
      while (done < got) {
        DWORD written = 0;
        if (!WriteFile(copy.file(), buffer + done, got - done, &written, nullptr)) {
          return Failure(GetLastError());
        }
        if (written == 0) return Failure(ERROR_WRITE_FAULT);
        done += written;
      }
    }
    in.Reset();
    if (const DWORD error = copy.Finish(); error != 0) return Failure(error);
    if (const DWORD error = copy.MoveOver(target); error != 0) return Failure(error);
    return {};
  }
};

}  // namespace

std::unique_ptr<FileService> MakeLocalFileService() { return std::make_unique<LocalFileService>(); }

}  // namespace zuno
