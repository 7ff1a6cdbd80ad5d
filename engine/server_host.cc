#include "engine/server_host.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <string>

namespace zuno {
namespace {

bool IsHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// A host name or IPv4 address: labels of letters, digits, '-' and '_' between dots.
bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > 253 || host.front() == '.' || host.front() == '-') {
    return false;
  }
  char previous = 0;
  for (char c : host) {
    if (!IsHostNameCharacter(c)) return false;
    if (c == '.' && previous == '.') return false;
    previous = c;
  }
  return true;
}

bool IsIpv6Address(const std::string& host) {
  // inet_pton reads up to a NUL byte: the text after one would go unchecked.
  if (host.find('\0') != std::string::npos) return false;
  in6_addr parsed;
  return inet_pton(AF_INET6, host.c_str(), &parsed) == 1;
}

// A decimal port number from 1 to 65535, digits only.
bool ParsePort(std::string_view text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

bool IsBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// The base64 text of a SHA-256 digest (32 bytes): 43 characters, the last of which
// carries only two bits, with or without the one "=" of padding. The result has
// the padding removed.
bool ParseDigest(std::string_view text, std::string* digest) {
  if (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() != 43) return false;
  for (char c : text) {
    if (!IsBase64Character(c)) return false;
  }
  if (std::string_view("AEIMQUYcgkosw048").find(text.back()) == std::string_view::npos) {
    return false;
  }
  *digest = std::string(text);
  return true;
}

bool ParsePin(Transport transport, std::string_view pin, std::string* key_pin,
              std::string* problem) {
  std::string digest;
  if (transport == Transport::kFtp) {
    *problem = "a key pin after '#' needs ftpes://, ftps:// or sftp://";
    return false;
  }
  if (transport == Transport::kSftp) {
    if (StartsWithNoCase(pin, "sha256:")) pin.remove_prefix(7);
    if (!ParseDigest(pin, &digest)) {
      *problem = "the host key pin is not SHA256:BASE64 (as ssh-keygen -lf shows it)";
      return false;
    }
    *key_pin = digest;
    return true;
  }
  if (StartsWithNoCase(pin, "sha256//")) {
    pin.remove_prefix(8);
  } else if (StartsWithNoCase(pin, "sha256:")) {
    pin.remove_prefix(7);
  } else {
    *problem = "the certificate pin is not sha256:BASE64";
    return false;
  }
  if (!ParseDigest(pin, &digest)) {
    *problem = "the certificate pin is not sha256:BASE64 of a SHA-256 digest";
    return false;
  }
  *key_pin = "sha256//" + digest + "=";
  return true;
}

// The scheme before "://", which chooses the transport and its usual port.
bool ParseScheme(std::string_view* text, ServerAddress* parsed, std::string* problem) {
  const size_t end = text->find("://");
  if (end == std::string_view::npos) return true;
  const std::string scheme = Lower(text->substr(0, end));
  if (scheme == "ftp") {
    parsed->transport = Transport::kFtp;
  } else if (scheme == "ftpes") {
    parsed->transport = Transport::kFtpExplicitTls;
  } else if (scheme == "ftps") {
    parsed->transport = Transport::kFtpImplicitTls;
    parsed->scheme = "ftps";
    parsed->port = 990;
  } else if (scheme == "sftp") {
    parsed->transport = Transport::kSftp;
    parsed->scheme = "sftp";
    parsed->port = 22;
  } else {
    *problem = "unknown scheme '" + std::string(text->substr(0, end)) +
               "://' (use ftp://, ftpes://, ftps:// or sftp://)";
    return false;
  }
  text->remove_prefix(end + 3);
  return true;
}

}  // namespace

bool IsTlsTransport(Transport transport) {
  return transport == Transport::kFtpExplicitTls || transport == Transport::kFtpImplicitTls;
}

bool ParseServerHost(std::string_view text, ServerAddress* address, std::string* problem) {
  ServerAddress parsed;
  if (text.empty()) {
    *problem = "the server host is empty";
    return false;
  }
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      *problem = "the server host contains a blank";
      return false;
    }
  }
  if (!ParseScheme(&text, &parsed, problem)) return false;
  if (const size_t hash = text.find('#'); hash != std::string_view::npos) {
    if (!ParsePin(parsed.transport, text.substr(hash + 1), &parsed.key_pin, problem)) return false;
    text = text.substr(0, hash);
  }
  if (text.empty()) {
    *problem = "the server host has no host name";
    return false;
  }
  for (char c : text) {
    if (c == '@') {
      *problem = "no user or password in the server host: give them as UserName and Password";
      return false;
    }
    if (c == '/') {
      *problem = "no path in the server host: give the directory as ServerDir";
      return false;
    }
    if (c == '\\') {
      *problem = "the server host contains '\\'";
      return false;
    }
  }
  std::string_view rest;
  if (text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
      *problem = "the IPv6 address has no closing ']'";
      return false;
    }
    parsed.host = std::string(text.substr(1, close - 1));
    parsed.ipv6 = true;
    if (!IsIpv6Address(parsed.host)) {
      *problem = "the text in brackets is not an IPv6 address";
      return false;
    }
    rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      *problem = "unexpected text after the IPv6 address";
      return false;
    }
  } else {
    const size_t colon = text.find(':');
    parsed.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) rest = text.substr(colon);
    if (rest.find(':', 1) != std::string_view::npos) {
      *problem = "an IPv6 address must be written in brackets: [address] or [address]:port";
      return false;
    }
    if (!IsHostName(parsed.host)) {
      *problem = "the host name is not valid";
      return false;
    }
  }
  if (!rest.empty() && !ParsePort(rest.substr(1), &parsed.port)) {
    *problem = "the port is not a number from 1 to 65535";
    return false;
  }
  *address = parsed;
  return true;
}

std::string ServerUrl(const ServerAddress& address) {
  std::string host = address.ipv6 ? "[" + address.host + "]" : address.host;
  return address.scheme + "://" + host + ":" + std::to_string(address.port) + "/";
}

}  // namespace zuno
