#pragma once

#include <string>
#include <string_view>

namespace zuno {

// How the server is spoken to.
enum class Transport {
  kFtp,             // plain FTP: "host", "host:port", "ftp://host"
  kFtpExplicitTls,  // "ftpes://": FTP that must switch to TLS (AUTH TLS) before the login
  kFtpImplicitTls,  // "ftps://": FTP inside TLS from the first byte
  kSftp,            // "sftp://": SFTP over SSH
};

// Where the server is, as the ServerHost text of the configuration names it.
struct ServerAddress {
  // The URL scheme that reaches the server: "ftp" (plain FTP and explicit TLS),
  // "ftps" (implicit TLS) or "sftp".
  std::string scheme = "ftp";
  // A host name, an IPv4 address or an IPv6 address (without brackets).
  std::string host;
  bool ipv6 = false;
  int port = 21;
  Transport transport = Transport::kFtp;
  // The server key that the user pinned, empty when none. TLS: the SHA-256 of the
  // certificate's public key as "sha256//BASE64=" (libcurl's pinned-key form);
  // SSH: the SHA-256 fingerprint of the host key, base64 without padding.
  std::string key_pin;
};

// Whether the transport is FTP over TLS (explicit or implicit).
bool IsTlsTransport(Transport transport);

// Reads a ServerHost text: "host", "host:port", "[IPv6]" or "[IPv6]:port" for plain
// FTP (port 21), optionally after "ftp://"; "ftpes://" (FTP with explicit TLS, port
// 21), "ftps://" (implicit TLS, port 990) or "sftp://" (port 22) before the same
// forms. After "#" a TLS transport takes the pin "sha256:BASE64" (also written
// "sha256//BASE64"), SFTP the host-key fingerprint "SHA256:BASE64" (the prefix and
// the "=" padding may be left out). Any other text (blanks, a path, a user or
// password, an unknown scheme, a malformed pin, an empty host, a bad port) is
// refused: the result is false and problem says what is wrong with it.
// This is the one place that knows the forms of the text.
bool ParseServerHost(std::string_view text, ServerAddress* address, std::string* problem);

// The URL of the server's root, "scheme://host:port/", IPv6 in brackets.
std::string ServerUrl(const ServerAddress& address);

}  // namespace zuno
