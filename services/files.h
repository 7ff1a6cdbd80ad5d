#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zuno {

// A text file opened for reading line by line. Closing is destroying the reader.
class TextReader {
 public:
  virtual ~TextReader() = default;
  // True when no byte remains or the next byte is Ctrl-Z (0x1A). Also true after
  // a read error, so a caller that reads until AtEnd always comes to an end.
  virtual bool AtEnd() = 0;
  // The next line without its terminator (CR LF, or CR alone; a lone LF is data),
  // cut to its first `max_length` bytes: the rest of the line is read past and
  // never held, so a line of any length takes no more memory than that. At the end
  // of the file: the empty text.
  virtual std::string ReadLine(size_t max_length) = 0;
};

// The outcome of a file copy: ok, or the system's reason for the failure.
struct CopyStatus {
  bool ok = true;
  std::string reason;
};

// The local files the driver touches: the configuration file and the staging copy.
class FileService {
 public:
  virtual ~FileService() = default;
  // The bare name of the first plain file that matches the path (wildcards "*" and
  // "?" in its last component; a path ending in "/" searches that directory), or
  // the empty text. Never reports an error.
  virtual std::string FindFile(const std::string& path) = 0;
  // Opens an existing file for reading; null when it cannot be opened or read.
  virtual std::unique_ptr<TextReader> OpenTextFile(const std::string& path) = 0;
  // Copies source to target, replacing an existing target only once the new copy
  // is complete. When both name the same file it is left untouched. Whatever
  // stands at the target name, a link included, is replaced and never written
  // through; a source that is a link is read through only when the link is the
  // user's own (or its directory owner's). The copy gets the permissions of the
  // file it replaces, and the owner's alone when there is none.
  virtual CopyStatus CopyLocalFile(const std::string& source, const std::string& target) = 0;
};

// The real local file system.
std::unique_ptr<FileService> MakeLocalFileService();

}  // namespace zuno
