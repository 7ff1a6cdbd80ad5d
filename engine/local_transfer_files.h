#pragma once

#include <string>

#include "engine/ftp_connection.h"

namespace zuno {

// A download on its way to a local file: the bytes go into a temporary file in
// the same directory, which replaces the file only on Commit. Until then the
// local file stays exactly as it was, and the temporary file goes away with
// this object. A target that is a link the user made is followed (FollowOwnLinks):
// the file it leads to is replaced in its own directory and the link stays.
class LocalDownload : public TransferSink {
 public:
  explicit LocalDownload(std::string target);
  ~LocalDownload() override;
  LocalDownload(const LocalDownload&) = delete;
  LocalDownload& operator=(const LocalDownload&) = delete;

  // Follows the target's links and creates the temporary file next to the file
  // they lead to; false with the reason when it cannot, or when a link on the way
  // belongs to another user.
  bool Open(std::string* error);
  bool Write(const char* data, size_t size) override;
  bool Restart() override;
  long long bytes() const { return bytes_; }
  // Why the last write failed, or the empty text.
  const std::string& write_error() const { return write_error_; }
  // Puts the complete download in place of the target: flushed to the disk, with
  // the replaced file's permissions (0600 for a new file), renamed over it.
  bool Commit(std::string* error);

 private:
  std::string target_;
  std::string file_;  // the file the target names once its links are followed
  std::string temporary_;
  int fd_ = -1;
  long long bytes_ = 0;
  std::string write_error_;
};

// A local file that an upload reads, exactly as many bytes as it had when opened.
// A link at its name is followed only under the rule of FollowOwnLinks.
class LocalUpload : public TransferSource {
 public:
  LocalUpload() = default;
  ~LocalUpload() override;
  LocalUpload(const LocalUpload&) = delete;
  LocalUpload& operator=(const LocalUpload&) = delete;

  enum class OpenResult { kOpened, kMissing, kUnreadable };
  OpenResult Open(const std::string& path, std::string* error);
  long Read(char* data, size_t size) override;
  bool Restart() override;
  long long size() const { return size_; }
  const std::string& read_error() const { return read_error_; }

 private:
  int fd_ = -1;
  long long size_ = 0;
  long long offset_ = 0;
  std::string read_error_;
};

}  // namespace zuno
