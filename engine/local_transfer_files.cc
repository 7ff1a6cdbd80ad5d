#include "engine/local_transfer_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "services/followed_links.h"

namespace zuno {
namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string Reason(const std::string& what, int error) { return what + ": " + strerror(error); }

// The permissions of the file that the download replaces, or the owner's alone
// when there is none.
mode_t ReplacedFileMode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 0777;
  return 0600;
}

// Opens a file for reading without following a link at its name, without
// blocking on a fifo and without making a terminal the controlling one.
int OpenForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Makes a rename inside the directory durable.
void FlushDirectory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

LocalDownload::LocalDownload(std::string target) : target_(std::move(target)) {}

LocalDownload::~LocalDownload() {
  if (fd_ >= 0) close(fd_);
  if (!temporary_.empty()) unlink(temporary_.c_str());
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
  struct stat existing;
  if (lstat(file_.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
    *error = "cannot replace " + file_ + ": it is not a plain file";
    return false;
  }
  // mkostemp creates the name exclusively: a link planted at it is never followed.
  std::string pattern = DirectoryOf(file_) + "/.zuno-download-XXXXXX";
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) {
    *error = Reason("cannot create a file in " + DirectoryOf(file_), errno);
    return false;
  }
  temporary_ = pattern;
  return true;
}

bool LocalDownload::Write(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
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
  if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) {
    write_error_ = Reason("cannot empty " + temporary_, errno);
    return false;
  }
  bytes_ = 0;
  return true;
}

bool LocalDownload::Commit(std::string* error) {
  if (fchmod(fd_, ReplacedFileMode(file_)) != 0 || fsync(fd_) != 0) {
    *error = Reason("cannot store " + temporary_, errno);
    return false;
  }
  const int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) {
    *error = Reason("cannot store " + temporary_, errno);
    return false;
  }
  // The rename replaces the name itself; it never writes through a link there.
  if (rename(temporary_.c_str(), file_.c_str()) != 0) {
    *error = Reason("cannot replace " + file_, errno);
    return false;
  }
  temporary_.clear();
  FlushDirectory(DirectoryOf(file_));
  return true;
}

LocalUpload::~LocalUpload() {
  if (fd_ >= 0) close(fd_);
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
  struct stat status;
  if (fstat(fd_, &status) != 0) {
    *error = Reason(path, errno);
    return OpenResult::kUnreadable;
  }
  if (!S_ISREG(status.st_mode)) {
    *error = path + " is not a plain file";
    return OpenResult::kUnreadable;
  }
  size_ = status.st_size;
  return OpenResult::kOpened;
}

long LocalUpload::Read(char* data, size_t size) {
  const long long left = size_ - offset_;
  if (left <= 0) return 0;
  if (static_cast<long long>(size) > left) size = static_cast<size_t>(left);
  while (true) {
    const ssize_t got = read(fd_, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      read_error_ = Reason("cannot read the local file", errno);
      return -1;
    }
    offset_ += got;
    return static_cast<long>(got);
  }
}

bool LocalUpload::Restart() {
  if (lseek(fd_, 0, SEEK_SET) != 0) {
    read_error_ = Reason("cannot read the local file again", errno);
    return false;
  }
  offset_ = 0;
  return true;
}

}  // namespace zuno
