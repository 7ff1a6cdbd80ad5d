#pragma once

#include <string>
#include <string_view>

namespace zuno {

// Where the server is, as the ServerHost text of the configuration names it.
struct ServerAddress {
  // How the server is spoken to; "ftp" (plain FTP) is the only way so far.
  std::string scheme = "ftp";
  // A host name, an IPv4 address or an IPv6 address (without brackets).
  std::string host;
  bool ipv6 = false;
  int port = 21;
};

// Reads a ServerHost text: "host", "host:port", "[IPv6]" or "[IPv6]:port", the port
// defaulting to 21. Any other text (blanks, "/", "@", an empty host, a bad port, a
// URL) is refused: the result is false and problem says what is wrong with it.
// This is the one place that knows the forms of the text.
bool ParseServerHost(std::string_view text, ServerAddress* address, std::string* problem);

// The URL of the server's login directory, "ftp://host:port/", IPv6 in brackets.
std::string ServerUrl(const ServerAddress& address);

}  // namespace zuno
