#include "engine/local_transfer_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace zuno {
namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string Reason(const std::string& what, int error) { return what + ": " + strerror(error); }

// The permissions a newly created file gets from this process.
mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
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
  std::string pattern = DirectoryOf(target_) + "/.zuno-download-XXXXXX";
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) {
    *error = Reason("cannot create a file in " + DirectoryOf(target_), errno);
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
  struct stat existing;
  const mode_t mode =
      stat(target_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
  if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0) {
    *error = Reason("cannot store " + temporary_, errno);
    return false;
  }
  const int closed = close(fd_);
  fd_ = -1;
  if (closed != 0) {
    *error = Reason("cannot store " + temporary_, errno);
    return false;
  }
  if (rename(temporary_.c_str(), target_.c_str()) != 0) {
    *error = Reason("cannot replace " + target_, errno);
    return false;
  }
  temporary_.clear();
  FlushDirectory(DirectoryOf(target_));
  return true;
}

LocalUpload::~LocalUpload() {
  if (fd_ >= 0) close(fd_);
}

LocalUpload::OpenResult LocalUpload::Open(const std::string& path, std::string* error) {
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    *error = Reason(path, errno);
    return errno == ENOENT ? OpenResult::kMissing : OpenResult::kUnreadable;
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
