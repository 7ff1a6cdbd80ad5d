#pragma once

#include <string>
#include <string_view>

namespace zuno {

// Whether a text can name a file inside the server directory. Refused: the empty
// text, "." and "..", and any text with '/', CR, LF or NUL (such a name would reach
// another directory or split the command that carries it). Problem says why.
bool IsUsableServerName(std::string_view name, std::string* problem);

// Whether a text can be a server directory: anything without CR, LF or NUL.
bool IsUsableServerDirectory(std::string_view directory, std::string* problem);

// The URL path, after the server's "ftp://host:port/", that reaches a directory
// with one change of directory to exactly the text given: an absolute directory
// ("/x") stays absolute, a relative one is relative to the login directory, the
// empty text is the login directory itself. Ends in "/" unless empty. Every byte
// except the separators is percent-escaped, so blanks, '#', '%', ';' and non-ASCII
// bytes reach the server unchanged.
std::string DirectoryUrlPath(std::string_view directory);

// The URL path of a file in that directory.
std::string FileUrlPath(std::string_view directory, std::string_view name);

// SFTP: the URL path, after "sftp://host:port/", of a directory: a relative one is
// relative to the login directory (libcurl's "~/"), an absolute one is as written
// (by way of "./" where its first name begins with '~', so that libcurl does not
// read it as the login directory), the empty text is the login directory. Ends in "/"
// except for the root, whose path is empty; bytes escaped as above.
std::string SftpDirectoryUrlPath(std::string_view directory);

// SFTP: the URL path of a file in that directory.
std::string SftpFileUrlPath(std::string_view directory, std::string_view name);

// SFTP: the path of a file in that directory as a command argument, in double
// quotes with '"' and '\' escaped; relative to the login directory unless absolute.
std::string SftpQuotedPath(std::string_view directory, std::string_view name);

// The text with every byte outside A-Z a-z 0-9 - . _ ~ percent-escaped.
std::string EscapeUrlText(std::string_view text);

}  // namespace zuno
