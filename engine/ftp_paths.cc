#include "engine/ftp_paths.h"

#include <string>

namespace zuno {
namespace {

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// libcurl reads an SFTP URL path "/~" or "/~/..." (older versions: any that begins
// with "/~") as relative to the login directory. An absolute path that would begin
// so goes by way of a "." step instead, which names the same directory.
std::string KeptAbsolute(std::string path) {
  if (!path.empty() && path.front() == '~') path.insert(0, "./");
  return path;
}

}  // namespace

bool IsUsableServerName(std::string_view name, std::string* problem) {
  if (name.empty()) {
    *problem = "the server file name is empty";
    return false;
  }
  if (name == "." || name == "..") {
    *problem = "\".\" and \"..\" are directories, not files";
    return false;
  }
  if (name.find('/') != std::string_view::npos) {
    *problem = "the server file name contains '/'";
    return false;
  }
  if (HasLineBreakOrNul(name)) {
    *problem = "the server file name contains a line break or NUL";
    return false;
  }
  return true;
}

bool IsUsableServerDirectory(std::string_view directory, std::string* problem) {
  if (HasLineBreakOrNul(directory)) {
    *problem = "the server directory contains a line break or NUL";
    return false;
  }
  return true;
}

std::string EscapeUrlText(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size() * 3);
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0x0F];
    }
  }
  return escaped;
}

std::string DirectoryUrlPath(std::string_view directory) {
  // Trailing separators change nothing for a change of directory; dropping them
  // keeps "x" and "x/" the same directory. The root alone stays "/".
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  if (directory.empty()) return "";
  std::string path;
  size_t start = 0;
  if (directory.front() == '/') {
    // An escaped first separator makes the path absolute instead of relative to
    // the login directory.
    path = "%2F";
    start = 1;
  }
  while (start <= directory.size()) {
    size_t slash = directory.find('/', start);
    if (slash == std::string_view::npos) slash = directory.size();
    path += EscapeUrlText(directory.substr(start, slash - start));
    path += '/';
    start = slash + 1;
  }
  return path;
}

std::string SftpDirectoryUrlPath(std::string_view directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  const bool absolute = !directory.empty() && directory.front() == '/';
  if (absolute) directory.remove_prefix(1);
  std::string path;
  size_t start = 0;
  while (start < directory.size()) {
    size_t slash = directory.find('/', start);
    if (slash == std::string_view::npos) slash = directory.size();
    path += EscapeUrlText(directory.substr(start, slash - start));
    path += '/';
    start = slash + 1;
  }
  return absolute ? KeptAbsolute(path) : "~/" + path;
}

std::string SftpFileUrlPath(std::string_view directory, std::string_view name) {
  const std::string path = SftpDirectoryUrlPath(directory);
  // Only the root's path is empty: there the name itself comes first.
  return path.empty() ? KeptAbsolute(EscapeUrlText(name)) : path + EscapeUrlText(name);
}

std::string SftpQuotedPath(std::string_view directory, std::string_view name) {
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

std::string FileUrlPath(std::string_view directory, std::string_view name) {
  return DirectoryUrlPath(directory) + EscapeUrlText(name);
}

}  // namespace zuno
