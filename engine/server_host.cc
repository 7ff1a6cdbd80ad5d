#include "engine/server_host.h"

#include <arpa/inet.h>

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

}  // namespace

bool ParseServerHost(std::string_view text, ServerAddress* address, std::string* problem) {
  ServerAddress parsed;
  if (text.empty()) {
    *problem = "the server host is empty";
    return false;
  }
  if (text.find("://") != std::string_view::npos) {
    *problem = "URL forms are not supported, give the host alone";
    return false;
  }
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      *problem = "the server host contains a blank";
      return false;
    }
    if (c == '/' || c == '@' || c == '\\') {
      *problem = std::string("the server host contains '") + c + "'";
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
