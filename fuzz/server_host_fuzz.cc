// Reads arbitrary ServerHost texts and checks every address accepted: a host that
// can only name a host, a port in range, a transport that fits its scheme and pin,
// and a server URL that reads back as the same address, to this reader and to
// libcurl alike.

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/server_host.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::ServerAddress;
using zuno::Transport;

bool IsBase64Digest(std::string_view text) {
  if (text.size() != 43) return false;
  for (const char c : text) {
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!base64) return false;
  }
  return true;
}

const char* SchemeOf(Transport transport) {
  switch (transport) {
    case Transport::kFtp:
    case Transport::kFtpExplicitTls:
      return "ftp";
    case Transport::kFtpImplicitTls:
      return "ftps";
    case Transport::kSftp:
      return "sftp";
  }
  return "";
}

void CheckHost(const ServerAddress& address) {
  FUZZ_CHECK(!address.host.empty());
  for (const char c : address.host) {
    const auto byte = static_cast<unsigned char>(c);
    // Nothing that could end the host early, split a line or change the URL.
    FUZZ_CHECK(byte > 0x20 && byte < 0x7F);
    FUZZ_CHECK(std::string_view("/@\\#[]?%").find(c) == std::string_view::npos);
  }
  if (address.ipv6) {
    in6_addr parsed;
    FUZZ_CHECK(inet_pton(AF_INET6, address.host.c_str(), &parsed) == 1);
  } else {
    FUZZ_CHECK(address.host.find(':') == std::string::npos);
  }
}

void CheckPin(const ServerAddress& address) {
  switch (address.transport) {
    case Transport::kFtp:
      FUZZ_CHECK(address.key_pin.empty());
      break;
    case Transport::kFtpExplicitTls:
    case Transport::kFtpImplicitTls:
      if (!address.key_pin.empty()) {
        FUZZ_CHECK(address.key_pin.starts_with("sha256//") && address.key_pin.ends_with("="));
        FUZZ_CHECK(IsBase64Digest(std::string_view(address.key_pin).substr(8, 43)));
        FUZZ_CHECK(address.key_pin.size() == 8 + 43 + 1);
      }
      break;
    case Transport::kSftp:
      FUZZ_CHECK(address.key_pin.empty() || IsBase64Digest(address.key_pin));
      break;
  }
}

// The server URL, without its final '/', is a ServerHost text of the same address.
void CheckUrlReadsBack(const ServerAddress& address, const std::string& url) {
  FUZZ_CHECK(url.ends_with(":" + std::to_string(address.port) + "/"));
  ServerAddress again;
  std::string problem;
  FUZZ_CHECK(
      zuno::ParseServerHost(std::string_view(url).substr(0, url.size() - 1), &again, &problem));
  FUZZ_CHECK(again.scheme == address.scheme && again.host == address.host &&
             again.ipv6 == address.ipv6 && again.port == address.port);
  // Explicit TLS is chosen by its own scheme; its URL is a plain ftp:// one.
  const Transport expected =
      address.transport == Transport::kFtpExplicitTls ? Transport::kFtp : address.transport;
  FUZZ_CHECK(again.transport == expected);

  // A pin written in its stored form is read as the same pin.
  if (!address.key_pin.empty() && address.transport != Transport::kFtpExplicitTls) {
    FUZZ_CHECK(zuno::ParseServerHost(url.substr(0, url.size() - 1) + "#" + address.key_pin, &again,
                                     &problem));
    FUZZ_CHECK(again.key_pin == address.key_pin);
  }
}

// libcurl reads the URL as the same scheme, host and port. It writes IPv4 numbers
// and IPv6 addresses in their usual form; the address must stay the same.
void CheckCurlReadsUrl(const ServerAddress& address, const std::string& url) {
  CURLU* parsed = curl_url();
  FUZZ_CHECK(parsed != nullptr);
  FUZZ_CHECK(curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK);
  char* scheme = nullptr;
  char* host = nullptr;
  char* port = nullptr;
  FUZZ_CHECK(curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK);
  FUZZ_CHECK(curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK);
  FUZZ_CHECK(curl_url_get(parsed, CURLUPART_PORT, &port, 0) == CURLUE_OK);
  FUZZ_CHECK(address.scheme == scheme);
  FUZZ_CHECK(std::to_string(address.port) == port);
  if (address.ipv6) {
    const size_t length = std::strlen(host);
    FUZZ_CHECK(length > 2 && host[0] == '[' && host[length - 1] == ']');
    const std::string bare(host + 1, length - 2);
    in6_addr ours;
    in6_addr theirs;
    FUZZ_CHECK(inet_pton(AF_INET6, address.host.c_str(), &ours) == 1);
    FUZZ_CHECK(inet_pton(AF_INET6, bare.c_str(), &theirs) == 1);
    FUZZ_CHECK(std::memcmp(&ours, &theirs, sizeof ours) == 0);
  } else if (address.host != host) {
    // Only a number in one of the IPv4 forms is rewritten, to the same address.
    in_addr ours;
    in_addr theirs;
    FUZZ_CHECK(inet_aton(address.host.c_str(), &ours) == 1);
    FUZZ_CHECK(inet_aton(host, &theirs) == 1);
    FUZZ_CHECK(ours.s_addr == theirs.s_addr);
  }
  curl_free(scheme);
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(parsed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ServerAddress address;
  std::string problem;
  if (!zuno::ParseServerHost(text, &address, &problem)) {
    // Every refusal says why.
    FUZZ_CHECK(!problem.empty());
    return 0;
  }
  FUZZ_CHECK(problem.empty());
  CheckHost(address);
  FUZZ_CHECK(address.port >= 1 && address.port <= 65535);
  FUZZ_CHECK(address.scheme == SchemeOf(address.transport));
  CheckPin(address);

  const std::string url = zuno::ServerUrl(address);
  FUZZ_CHECK(url.starts_with(address.scheme + "://"));
  CheckUrlReadsBack(address, url);
  CheckCurlReadsUrl(address, url);
  return 0;
}
