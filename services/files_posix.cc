#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "services/files.h"
#include "services/followed_links.h"
#include "services/line_reader.h"

namespace zuno {
namespace {

// A file descriptor that is closed when it goes away.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded (a late write error of
  // some file systems only shows here).
  bool Close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || close(fd) == 0;
  }

 private:
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != text.npos; }

// Opens a file for reading without ever blocking on the open itself (a fifo
// would wait for a writer) and without making a terminal our controlling one.
Fd OpenForReading(const std::string& path, int extra_flags = 0) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | extra_flags));
  if (!fd.valid()) return fd;
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags >= 0) fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// The first regular file (links followed) in the directory whose name matches
// the pattern; an empty pattern matches every name.
std::string FirstRegularFile(const std::string& directory, const std::string& pattern) {
  DirHandle dir(opendir(directory.c_str()));
  if (!dir) return "";
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // No FNM_PERIOD: names beginning with a dot are plain files like any other.
    if (!pattern.empty() && fnmatch(pattern.c_str(), entry->d_name, 0) != 0) continue;
    struct stat st;
    if (fstatat(dirfd(dir.get()), entry->d_name, &st, 0) != 0) continue;
    if (S_ISREG(st.st_mode)) return std::string(name);
  }
  return "";
}

// Reads the text file by explicit offsets, as the line reader asks.
class FileBlockSource final : public BlockSource {
 public:
  explicit FileBlockSource(Fd fd) : fd_(std::move(fd)) {}

  int64_t ReadBlock(uint64_t offset, char* buffer, size_t size) override {
    for (;;) {
      const ssize_t got = pread(fd_.get(), buffer, size, static_cast<off_t>(offset));
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }

 private:
  Fd fd_;
};

CopyStatus Failure(int error) { return {.ok = false, .reason = strerror(error)}; }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {  // no progress: give up rather than spin
      errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// The temporary copy next to the target. Removed when it goes away, unless it
// has been renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& directory)
      : path_((directory == "/" ? "" : directory) + "/.zuno-copy-XXXXXX") {
    fd_ = Fd(mkostemp(path_.data(), O_CLOEXEC));
    if (!fd_.valid()) path_.clear();
  }
  ~TemporaryFile() {
    fd_.Close();
    if (!path_.empty()) unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  bool Close() { return fd_.Close(); }
  // Moves the copy over the target; from then on it is no longer ours to remove.
  bool RenameTo(const std::string& target) {
    if (rename(path_.c_str(), target.c_str()) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  std::string path_;
  Fd fd_;
};

// The permissions of the file that a new copy replaces, or the owner's alone when
// there is none: a link at the name is replaced itself, so it gives none.
mode_t ReplacedFileMode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 0777;
  return 0600;
}

class LocalFileService final : public FileService {
 public:
  std::string FindFile(const std::string& path) override {
    if (path.empty()) return "";
    if (path.back() == '/') return FirstRegularFile(path, "");
    const PathParts parts = SplitPath(path);
    if (HasWildcard(parts.name)) return FirstRegularFile(parts.directory, parts.name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    return parts.name;
  }

  std::unique_ptr<TextReader> OpenTextFile(const std::string& path) override {
    if (path.empty() || HasWildcard(path)) return nullptr;
    Fd fd = OpenForReading(path);
    if (!fd.valid()) return nullptr;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    auto reader = std::make_unique<LineReader>(std::make_unique<FileBlockSource>(std::move(fd)));
    if (!reader->Start()) return nullptr;
    return reader;
  }

  CopyStatus CopyLocalFile(const std::string& source, const std::string& target) override {
    // The browser's file may be a link the user made; one that another user
    // planted is not followed.
    const FollowedPath followed = FollowOwnLinks(source);
    if (!followed.ok) return {.ok = false, .reason = followed.reason};
    Fd in = OpenForReading(followed.path, O_NOFOLLOW);
    if (!in.valid()) return Failure(errno);
    struct stat source_st;
    if (fstat(in.get(), &source_st) != 0) return Failure(errno);
    if (S_ISDIR(source_st.st_mode)) return Failure(EISDIR);
    if (!S_ISREG(source_st.st_mode)) return {.ok = false, .reason = "Not a regular file"};

    // Copying a file onto itself would only risk it: leave it as it is. The target
    // name is never followed, so only the entry itself counts: the same name, a
    // hard link, or the file that the source's link leads to.
    struct stat target_st;
    struct stat source_entry_st;
    if (lstat(target.c_str(), &target_st) == 0 &&
        ((target_st.st_dev == source_st.st_dev && target_st.st_ino == source_st.st_ino) ||
         (lstat(source.c_str(), &source_entry_st) == 0 &&
          target_st.st_dev == source_entry_st.st_dev &&
          target_st.st_ino == source_entry_st.st_ino))) {
      return {};
    }

    // The copy is made next to the target and renamed over it. Whatever stands at
    // the target name, a link included, is replaced and never written through, so
    // a link planted there cannot send the bookmarks over another file.
    const std::string directory = SplitPath(target).directory;
    TemporaryFile copy(directory);
    if (!copy.valid()) return Failure(errno);

    char buffer[64 * 1024];
    for (;;) {
      const ssize_t got = read(in.get(), buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR) continue;
        return Failure(errno);
      }
      if (got == 0) break;
      if (!WriteAll(copy.fd(), buffer, static_cast<size_t>(got))) return Failure(errno);
    }
    if (fchmod(copy.fd(), ReplacedFileMode(target)) != 0) return Failure(errno);
    if (fsync(copy.fd()) != 0) return Failure(errno);
    if (!copy.Close()) return Failure(errno);
    if (!copy.RenameTo(target)) return Failure(errno);

    // Make the rename itself durable. The copy is already in place, so a file
    // system that cannot sync a directory changes nothing about the outcome.
    Fd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) fsync(dir.get());
    return {};
  }
};

}  // namespace

std::unique_ptr<FileService> MakeLocalFileService() { return std::make_unique<LocalFileService>(); }

}  // namespace zuno
