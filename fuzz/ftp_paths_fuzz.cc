// Builds the URL paths and SFTP command paths of arbitrary server directories and
// file names, and checks that they hold only URL-safe bytes, that they say exactly
// the directory and name given (absolute or relative as written) once libcurl has
// read them, and that the names and directories accepted can split no command.

#include <curl/curl.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/ftp_paths.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::DirectoryUrlPath;
using zuno::EscapeUrlText;
using zuno::FileUrlPath;
using zuno::SftpDirectoryUrlPath;
using zuno::SftpFileUrlPath;
using zuno::SftpQuotedPath;

bool IsUnreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool IsUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// Whether the text holds only unreserved bytes, "%XX" escapes and (where allowed) '/'.
bool IsUrlSafe(std::string_view text, bool slash_allowed) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsUnreserved(c) || (slash_allowed && c == '/')) continue;
    if (c != '%' || i + 2 >= text.size() || !IsUpperHexDigit(text[i + 1]) ||
        !IsUpperHexDigit(text[i + 2])) {
      return false;
    }
    i += 2;
  }
  return true;
}

// The bytes a URL-safe text stands for.
std::string Unescaped(std::string_view text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

// The directory as the server should see it: its trailing separators dropped, the
// root alone staying "/".
std::string_view Trimmed(std::string_view directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  return directory;
}

// libcurl takes the URL path as it is (the engine sets CURLOPT_PATH_AS_IS): no
// rewriting, no dot segments removed.
void CheckCurlKeepsPath(const std::string& scheme, const std::string& path) {
  CURLU* url = curl_url();
  FUZZ_CHECK(url != nullptr);
  const std::string text = scheme + "://127.0.0.1:21/" + path;
  FUZZ_CHECK(curl_url_set(url, CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK);
  char* seen = nullptr;
  FUZZ_CHECK(curl_url_get(url, CURLUPART_PATH, &seen, 0) == CURLUE_OK);
  FUZZ_CHECK(std::string_view(seen) == "/" + path);
  curl_free(seen);
  curl_url_cleanup(url);
}

void CheckEscape(std::string_view text) {
  const std::string escaped = EscapeUrlText(text);
  FUZZ_CHECK(IsUrlSafe(escaped, false));
  FUZZ_CHECK(Unescaped(escaped) == text);
  size_t unreserved = 0;
  for (const char c : text) unreserved += IsUnreserved(c) ? 1 : 0;
  FUZZ_CHECK(escaped.size() == unreserved + 3 * (text.size() - unreserved));
}

// FTP: one change of directory to the directory up to the URL path's last '/'
// (libcurl's single-CWD method), and the file name after it.
void CheckFtpPaths(std::string_view directory, std::string_view name, bool name_usable) {
  const std::string path = DirectoryUrlPath(directory);
  FUZZ_CHECK(IsUrlSafe(path, true));
  const std::string_view wanted = Trimmed(directory);
  if (wanted.empty()) {
    FUZZ_CHECK(path.empty());
  } else {
    FUZZ_CHECK(path.back() == '/');
    // The separators stay separators, every other byte is escaped: the whole path
    // reads back as the directory and its final separator.
    FUZZ_CHECK(Unescaped(path) == std::string(wanted) + "/");
    // Absolute exactly when written so: only an escaped first '/' makes it absolute.
    FUZZ_CHECK(path.starts_with("%2F") == wanted.starts_with('/'));
    FUZZ_CHECK(path.front() != '/');
  }
  CheckCurlKeepsPath("ftp", path);

  if (!name_usable) return;
  const std::string file = FileUrlPath(directory, name);
  FUZZ_CHECK(file == path + EscapeUrlText(name));
  const size_t last_slash = file.rfind('/');
  const std::string_view file_part = last_slash == std::string::npos
                                         ? std::string_view(file)
                                         : std::string_view(file).substr(last_slash + 1);
  FUZZ_CHECK(Unescaped(file_part) == name);
  CheckCurlKeepsPath("ftp", file);
}

// SFTP: libcurl reads a URL path "/~" or "/~/..." (older versions: any that begins
// with "/~") as relative to the login directory, and any other as absolute. The path it hands the
// server, for a relative directory "/~/" and the directory; for an absolute one the directory
// itself, or by way of a "." step where it begins with '~'.
std::string SftpPathSeen(std::string_view directory, std::string_view rest) {
  const std::string_view wanted = Trimmed(directory);
  if (!wanted.starts_with('/')) {
    return "/~/" + (wanted.empty() ? std::string() : std::string(wanted) + "/") + std::string(rest);
  }
  std::string seen =
      (wanted == "/" ? std::string("/") : std::string(wanted) + "/") + std::string(rest);
  if (seen.starts_with("/~")) seen.insert(0, "/.");
  return seen;
}

void CheckSftpPaths(std::string_view directory, std::string_view name, bool name_usable) {
  const std::string path = SftpDirectoryUrlPath(directory);
  FUZZ_CHECK(IsUrlSafe(path, true));
  FUZZ_CHECK(path.empty() || path.back() == '/');
  const std::string_view wanted = Trimmed(directory);
  FUZZ_CHECK(path.starts_with("~/") == !wanted.starts_with('/'));
  FUZZ_CHECK("/" + Unescaped(path) == SftpPathSeen(directory, ""));
  CheckCurlKeepsPath("sftp", path);

  if (!name_usable) return;
  const std::string file = SftpFileUrlPath(directory, name);
  FUZZ_CHECK(IsUrlSafe(file, true));
  FUZZ_CHECK("/" + Unescaped(file) == SftpPathSeen(directory, name));
  CheckCurlKeepsPath("sftp", file);

  // The quoted form: in double quotes, every '"' and '\' escaped, and reading it
  // back gives the directory, one separator and the name.
  const std::string quoted = SftpQuotedPath(directory, name);
  FUZZ_CHECK(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
  std::string unquoted;
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    char c = quoted[i];
    if (c == '\\') {
      FUZZ_CHECK(i + 2 < quoted.size());
      c = quoted[++i];
      FUZZ_CHECK(c == '"' || c == '\\');
    } else {
      FUZZ_CHECK(c != '"');
    }
    unquoted += c;
  }
  std::string joined(wanted);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  FUZZ_CHECK(unquoted == joined + std::string(name));
}

bool HasAny(std::string_view text, std::string_view bytes) {
  return text.find_first_of(bytes) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string directory = input.ConsumeRandomLengthString(96);
  const std::string name = input.ConsumeRemainingBytesAsString();
  constexpr std::string_view kBreaks("\r\n\0", 3);

  // A name reaches no other directory and splits no command; a directory splits none.
  std::string problem;
  const bool name_usable = zuno::IsUsableServerName(name, &problem);
  FUZZ_CHECK(name_usable == (!name.empty() && name != "." && name != ".." && !HasAny(name, "/") &&
                             !HasAny(name, kBreaks)));
  FUZZ_CHECK(problem.empty() == name_usable);
  problem.clear();
  const bool directory_usable = zuno::IsUsableServerDirectory(directory, &problem);
  FUZZ_CHECK(directory_usable == !HasAny(directory, kBreaks));
  FUZZ_CHECK(problem.empty() == directory_usable);

  CheckEscape(name);
  CheckEscape(directory);
  if (!directory_usable) return 0;
  CheckFtpPaths(directory, name, name_usable);
  CheckSftpPaths(directory, name, name_usable);
  return 0;
}
