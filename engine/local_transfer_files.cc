#include "engine/local_transfer_files.h"

#include <errno.h>
#include <string.h>

#include <string>
#include <utility>

#include "engine/engine_platform.h"
#include "services/followed_links.h"
#include "services/path_separator.h"

namespace zuno {
namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of(kPathSeparators);
  if (slash == std::string::npos) return ".";
  // The root of the file system, or of a drive ("C:\").
  if (slash == 0 || path[slash - 1] == ':') return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string Reason(const std::string& what, int error) { return what + ": " + strerror(error); }

}  // namespace

LocalDownload::LocalDownload(std::string target) : target_(std::move(target)) {}

LocalDownload::~LocalDownload() {
  if (fd_ >= 0) CloseFile(fd_);
  if (!temporary_.empty()) RemoveFile(temporary_);
}

bool LocalDownload::Open(std::string* error) {
  // A local file that is a link the user made stays that link: the file it leads
  // to is the one replaced, in its own directory.
  const FollowedPath followed = FollowOwnLinks(target_);
  if (!followed.ok) {
    *error = followed.foreign_link ? followed.reason
                                   : "cannot write " + target_ + ": " + followed.reason;
    return false;
  }
  file_ = followed.path;
  if (StandsAsOtherThanPlainFile(file_)) {
    *error = "cannot replace " + file_ + ": it is not a plain file";
    return false;
  }
  // The unique name is created exclusively: a link planted at it is never followed.
  std::string pattern = DirectoryOf(file_) + "/.zuno-download-XXXXXX";
  fd_ = CreateUniqueFile(&pattern);
  if (fd_ < 0) {
    *error = Reason("cannot create a file in " + DirectoryOf(file_), errno);
    return false;
  }
  temporary_ = pattern;
  return true;
}

bool LocalDownload::Write(const char* data, size_t size) {
  while (size > 0) {
    const long written = WriteSome(fd_, data, size);
    if (written < 0) {
      write_error_ = Reason("cannot write " + temporary_, errno);
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
    bytes_ += written;
  }
  return true;
}

bool LocalDownload::Restart() {
  if (!EmptyFile(fd_)) {
    write_error_ = Reason("cannot empty " + temporary_, errno);
    return false;
  }
  bytes_ = 0;
  return true;
}

bool LocalDownload::Commit(std::string* error) {
  if (!TakePermissionsOf(fd_, file_) || !FlushToDisk(fd_)) {
    *error = Reason("cannot store " + temporary_, errno);
    return false;
  }
  const int closed = CloseFile(fd_);
  fd_ = -1;
  if (closed != 0) {
    *error = Reason("cannot store " + temporary_, errno);
    return false;
  }
  // The rename replaces the name itself; it never writes through a link there.
  if (!RenameOver(temporary_, file_)) {
    *error = Reason("cannot replace " + file_, errno);
    return false;
  }
  temporary_.clear();
  FlushDirectory(DirectoryOf(file_));
  return true;
}

LocalUpload::~LocalUpload() {
  if (fd_ >= 0) CloseFile(fd_);
}

LocalUpload::OpenResult LocalUpload::Open(const std::string& path, std::string* error) {
  // The staging copy is a plain file that the program made. A link at its name is
  // followed only when this user (or the directory's owner) made it, as when the
  // staging name is the browser's own file; one that another user planted after
  // the copy is refused, so it cannot send a file of that user's choosing.
  fd_ = OpenForReading(path);
  if (fd_ < 0 && errno == ELOOP) {
    const FollowedPath followed = FollowOwnLinks(path);
    if (!followed.ok) {
      *error = followed.foreign_link ? followed.reason : path + ": " + followed.reason;
      return OpenResult::kUnreadable;
    }
    fd_ = OpenForReading(followed.path);
  }
  if (fd_ < 0) {
    const int open_error = errno;
    *error = Reason(path, open_error);
    return open_error == ENOENT ? OpenResult::kMissing : OpenResult::kUnreadable;
  }
  bool plain_file = false;
  if (!OpenFileSize(fd_, &size_, &plain_file)) {
    *error = Reason(path, errno);
    return OpenResult::kUnreadable;
  }
  if (!plain_file) {
    *error = path + " is not a plain file";
    return OpenResult::kUnreadable;
  }
  return OpenResult::kOpened;
}

long LocalUpload::Read(char* data, size_t size) {
  const long long left = size_ - offset_;
  if (left <= 0) return 0;
  if (static_cast<long long>(size) > left) size = static_cast<size_t>(left);
  const long got = ReadSome(fd_, data, size);
  if (got < 0) {
    read_error_ = Reason("cannot read the local file", errno);
    return -1;
  }
  offset_ += got;
  return got;
}

bool LocalUpload::Restart() {
  if (!SeekToStart(fd_)) {
    read_error_ = Reason("cannot read the local file again", errno);
    return false;
  }
  offset_ = 0;
  return true;
}

}  // namespace zuno
